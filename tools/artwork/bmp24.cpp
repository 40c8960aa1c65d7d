#include "tools/artwork/bmp24.h"

#include <cstdio>
#include <cstring>

namespace qk::artwork {
namespace {

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    Put16(out, at, v & 0xFFFF);
    Put16(out, at + 2, v >> 16);
}

}  // namespace

std::vector<uint8_t> EncodeBmp24(const uint8_t* pixels, int width, int height, int stride) {
    const size_t line = (size_t(width) * 3 + 3) & ~size_t(3);
    const size_t imageBytes = line * size_t(height);
    std::vector<uint8_t> out(54 + imageBytes, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out, 2, uint32_t(out.size()));  // bfSize
    Put32(out, 10, 54);                   // bfOffBits: the pixels follow the headers
    Put32(out, 14, 40);                   // biSize
    Put32(out, 18, uint32_t(width));
    Put32(out, 22, uint32_t(height));     // positive: bottom-up
    Put16(out, 26, 1);                    // biPlanes
    Put16(out, 28, 24);                   // biBitCount
    Put32(out, 30, 0);                    // BI_RGB
    Put32(out, 34, uint32_t(imageBytes));
    Put32(out, 38, 2835);                 // 72 dots an inch, in dots a metre
    Put32(out, 42, 2835);
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = pixels + size_t(height - 1 - y) * size_t(stride);
        uint8_t* row = out.data() + 54 + size_t(y) * line;
        for (int x = 0; x < width; ++x) {
            uint32_t pixel;
            std::memcpy(&pixel, source + size_t(x) * 4, 4);
            row[x * 3] = uint8_t(pixel);
            row[x * 3 + 1] = uint8_t(pixel >> 8);
            row[x * 3 + 2] = uint8_t(pixel >> 16);
        }
    }
    return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot create " + path;
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace qk::artwork
