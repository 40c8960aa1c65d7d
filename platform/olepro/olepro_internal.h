// Shared inside the property frame and the pages.
#pragma once

#include <string_view>
#include <vector>

#include "winuser.h"

namespace qk::olepro {

// A dialog template with no controls, its size set later in pixels: the
// frame and the pages place their controls themselves.
std::vector<WORD> BlankDialogTemplate(DWORD style, std::u16string_view caption);

// Copies `text` into task memory, as PROPPAGEINFO hands titles out.
LPOLESTR TaskString(std::u16string_view text);

}  // namespace qk::olepro
