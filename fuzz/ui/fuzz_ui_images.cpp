// Icons and bitmaps come from resource modules: the picture readers refuse
// damage and never read outside the bytes they are given. The first byte
// chooses the reader.
#include <cairo.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/ui/image_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t which = data[0] % 4;
    std::vector<uint8_t> bytes(data + 1, data + size);
    std::string error;
    cairo_surface_t* s = nullptr;
    switch (which) {
        case 0: s = qk::ui::DecodeDib(bytes, false, &error); break;
        case 1: s = qk::ui::DecodeDib(bytes, true, &error); break;
        case 2: s = qk::ui::DecodeIconImage(bytes, &error); break;
        case 3: qk::ui::PickIconFromGroup(bytes, 32); break;
    }
    if (s) cairo_surface_destroy(s);
    return 0;
}
