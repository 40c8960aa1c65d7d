#include <algorithm>
#include <cstring>

#include "imaging/convert/convert.h"
#include "wdm.h"

namespace {

// Reverses the order of `lines` lines of `bytes` bytes, `pitch` apart. When
// dst is src the lines are swapped pairwise through a small stack buffer, so
// the capture pin can flip a frame where it lies.
void ReverseLines(uint8_t* dst, const uint8_t* src, size_t bytes, size_t pitch, size_t lines) {
    if (lines == 0 || bytes == 0) return;
    if (dst != src) {
        for (size_t i = 0; i < lines; ++i) std::memcpy(dst + (lines - 1 - i) * pitch, src + i * pitch, bytes);
        return;
    }
    uint8_t scratch[1024];
    for (size_t top = 0, bottom = lines - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = dst + top * pitch;
        uint8_t* b = dst + bottom * pitch;
        for (size_t done = 0; done < bytes; done += sizeof scratch) {
            const size_t n = std::min(sizeof scratch, bytes - done);
            std::memcpy(scratch, a + done, n);
            std::memcpy(a + done, b + done, n);
            std::memcpy(b + done, scratch, n);
        }
    }
}

}  // namespace

int FlipTopBottom(uint8_t* dst, const uint8_t* src, int width, int height, int pitch, int mediaType) {
    if (dst == nullptr || src == nullptr || width < 0 || height < 0 || pitch < width) {
        // The target prints the low 32 bits of each pointer with %x.
        DbgPrint("VPE: FlipTopBottom InvalidParam %x %x %d %d %d %d\n", ULONG(reinterpret_cast<uintptr_t>(dst)),
                 ULONG(reinterpret_cast<uintptr_t>(src)), width, height, pitch, mediaType);
        return IMG_INVALID_PARAM;
    }
    const size_t w = size_t(width), h = size_t(height);
    if (mediaType != MT_RGB24 && mediaType != MT_YUY2 && mediaType != MT_I420) return IMG_UNKNOWN_MEDIA_TYPE;
    // An empty picture has no lines to move, however long its pitch.
    if (w == 0 || h == 0) return IMG_SUCCESS;
    switch (mediaType) {
    case MT_RGB24:
    case MT_YUY2:
        // Whole lines of pitch bytes, including the bytes of a line length
        // that is not a multiple of four, so no destination byte is left stale.
        ReverseLines(dst, src, size_t(pitch), size_t(pitch), h);
        return IMG_SUCCESS;
    case MT_I420: {
        const size_t chromaW = w / 2, chromaH = h / 2;
        ReverseLines(dst, src, w, w, h);
        const size_t uAt = w * h, vAt = uAt + chromaW * chromaH;
        ReverseLines(dst + uAt, src + uAt, chromaW, chromaW, chromaH);
        ReverseLines(dst + vAt, src + vAt, chromaW, chromaW, chromaH);
        return IMG_SUCCESS;
    }
    default:
        return IMG_UNKNOWN_MEDIA_TYPE;
    }
}
