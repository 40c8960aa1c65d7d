// Any byte stream through jpgDecode, in any output kind, with and without
// smoothing and the fast paths, delivered whole or in chunks: the decoder
// must return a result without reading outside its input chunks or writing
// outside the destination it was given (exactly pitch * height bytes).
//
// Input: one control byte, then the stream.
//   bits 0-2  output kind (modulo 5)
//   bit 3     chroma smoothing
//   bit 4     fast paths off
//   bits 5-7  0: one final chunk; n: chunks of 1 + 3 * (n - 1) * n bytes
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/jpeg/jpeg.h"

namespace {

const uint8_t* g_data;
size_t g_size, g_offset, g_chunk;
std::vector<uint8_t> g_destination;
int g_bytesPerPixel;

int GetData(const uint8_t** chunk, uint32_t* length) {
    size_t n = g_size - g_offset;
    if (g_chunk != 0 && n > g_chunk) n = g_chunk;
    // Each chunk lives in its own allocation, so reading past it is caught.
    static std::vector<uint8_t> copy;
    copy.assign(g_data + g_offset, g_data + g_offset + n);
    *chunk = copy.data();
    *length = uint32_t(n);
    g_offset += n;
    return g_offset == g_size;
}

int GetImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    // Keep every run short: large pictures take time, not new paths.
    if (width <= 0 || height <= 0 || (long long)width * height > (1 << 18)) return 0;
    const int line = width * g_bytesPerPixel;
    if (line > 0xFFFF) return 0;
    g_destination.assign(size_t(line) * height, 0);
    *destination = g_destination.data();
    *pitch = uint16_t(line);
    return 1;
}

void Sink(const char* message) {
    if (std::strlen(message) > 511) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static constexpr int kBytes[] = {3, 2, 2, 4, 2};
    const uint8_t control = data[0];
    const int kind = (control & 7) % 5;
    const int chunking = control >> 5;
    g_data = data + 1;
    g_size = size - 1;
    g_offset = 0;
    g_chunk = chunking == 0 ? 0 : size_t(1 + 3 * (chunking - 1) * chunking);
    g_bytesPerPixel = kBytes[kind];
    jpgSetLogSink(Sink);
    jpgInit(JPG_VERSION, nullptr);
    jpgSetOption(JPG_OPT_OUTPUT_KIND, kind);
    jpgSetOption(JPG_OPT_SMOOTH_CHROMA, control & 8);
    jpgSetOption(JPG_OPT_FAST_PATH, !(control & 16));
    // The control byte is full; inputs of odd length decode bottom-up.
    jpgSetBottomUp(static_cast<int>(size & 1));
    jpgDecode(GetImage, GetData);
    return 0;
}
