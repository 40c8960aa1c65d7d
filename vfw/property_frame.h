// The dialogs' property frames, apart from the driver's own declarations:
// the window system's structures share names with the capture structures
// the driver uses (BITMAPINFOHEADER, RECT), so the two never meet in one
// file.
#pragma once

#include "objbase.h"

typedef struct HWND__* HWND;

namespace k0340vfw {

// Whether `object` names any property pages.
bool HasPropertyPages(IUnknown* object);

// Shows the pages `object` names in a modal property frame at (30, 30) of
// `parent`, under `caption`; S_FALSE when it names none.
HRESULT ShowPropertyPages(IUnknown* object, const char16_t* caption, HWND parent);

}  // namespace k0340vfw
