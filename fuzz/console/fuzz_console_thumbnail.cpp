// The video effects panel's thumbnail decoder on any bytes under every
// format number it knows: a picture or a refusal, never a read outside them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "console/panels/thumbnails.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int format = data[0] % 16;
    std::vector<uint32_t> pixels;
    k0340cvw::DecodeThumbnail(format, data + 1, size - 1, k0340cvw::kThumbnailSide, &pixels);
    return 0;
}
