// Dialog templates come from resource modules: a damaged one is refused,
// never read past its end; an accepted one keeps its item count.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "platform/ui/dialog_template.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so the address sanitizer sees a read one byte past.
    std::vector<uint8_t> bytes(data, data + size);
    qk::ui::DialogTemplate t;
    std::string error;
    if (!qk::ui::ParseDialogTemplate(bytes, &t, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    for (const auto& item : t.items) {
        if (item.windowClass.isOrdinal) qk::ui::PredefinedClassName(item.windowClass.ordinal);
    }
    return 0;
}
