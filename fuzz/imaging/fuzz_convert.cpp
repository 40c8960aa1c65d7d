// The conversion routines' parameter checks: any sizes and pitches, with
// buffers sized exactly as each routine's contract describes them. A routine
// that accepts parameters must stay inside those buffers; one that refuses
// them must not touch anything. The one-pass YUY2-to-I420 resize is checked
// against the two routines it stands for; the I420 analysis resize rides
// along with the I420 resizes.
//
// Input: routine, width, height, pitch A, pitch B, media type, then fill.
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/convert/convert.h"

namespace {

int Signed(uint8_t b, int low, int high) { return low + int(b) % (high - low + 1); }

// Bytes a buffer of the given layout holds, or 1 for layouts that cannot
// exist (so that a routine accepting them would be caught).
size_t Packed(int width, int height, int pitch) {
    return width > 0 && height > 0 && pitch > 0 ? size_t(pitch) * size_t(height) : 1;
}
size_t Planar(int width, int height) {
    return width > 0 && height > 0 ? size_t(width) * height + 2 * size_t(width / 2) * size_t(height / 2) : 1;
}

std::vector<uint8_t> Buffer(size_t n, const uint8_t* fill, size_t fillSize) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n && fillSize > 0; ++i) b[i] = fill[i % fillSize];
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const int routine = data[0] % 7;
    const int w = Signed(data[1], -3, 70), h = Signed(data[2], -3, 40);
    const int a = Signed(data[3], -8, 240), b = Signed(data[4], -8, 240);
    const int w2 = Signed(data[5], -3, 90), h2 = Signed(data[6], -3, 50);
    const int mediaType = 99 + data[7] % 5;
    const bool inPlace = data[8] & 1;
    const uint8_t* fill = data + 9;
    const size_t fillSize = size - 9;

    switch (routine) {
    case 0: {  // FlipTopBottom(dst, src, w, h, pitch, type)
        const size_t n = mediaType == MT_I420 ? Planar(w, h) : Packed(w, h, a);
        auto src = Buffer(n, fill, fillSize);
        auto dst = Buffer(n, fill, fillSize);
        FlipTopBottom(inPlace ? src.data() : dst.data(), src.data(), w, h, a, mediaType);
        break;
    }
    case 1: {  // ConvertRgb24ToI420(dst, src, w, h, srcPitch)
        auto src = Buffer(Packed(w, h, a), fill, fillSize);
        auto dst = Buffer(Planar(w, h), fill, fillSize);
        ConvertRgb24ToI420(dst.data(), src.data(), w, h, a);
        break;
    }
    case 2: {  // ConvertRgb24ToYuy2(dst, dstPitch, src, w, h, srcPitch)
        auto src = Buffer(Packed(w, h, b), fill, fillSize);
        auto dst = Buffer(Packed(w, h, a), fill, fillSize);
        ConvertRgb24ToYuy2(dst.data(), a, src.data(), w, h, b);
        break;
    }
    case 3: {  // ConvertYuy2ToI420(dst, src, w, h, srcPitch)
        auto src = Buffer(Packed(w, h, a), fill, fillSize);
        auto dst = Buffer(Planar(w, h), fill, fillSize);
        ConvertYuy2ToI420(dst.data(), src.data(), w, h, a);
        break;
    }
    case 4: {  // ConvertYuy2ToRgb24(dst, dstPitch, src, w, h): source lines contiguous
        auto src = Buffer(w > 0 && h > 0 ? size_t(2 * w) * h : 1, fill, fillSize);
        auto dst = Buffer(Packed(w, h, a), fill, fillSize);
        ConvertYuy2ToRgb24(dst.data(), a, src.data(), w, h);
        break;
    }
    default: {  // ResizeNearest(dst, w2, h2, dstPitch, src, w, h, srcPitch, type)
        const bool planar = mediaType == MT_I420;
        auto src = Buffer(planar ? Planar(w, h) : Packed(w, h, a), fill, fillSize);
        auto dst = Buffer(planar ? Planar(w2, h2) : Packed(w2, h2, b), fill, fillSize);
        ResizeNearest(dst.data(), w2, h2, b, src.data(), w, h, a, mediaType);
        if (planar) {
            // The I420 analysis resize reads only the source picture and
            // writes only its own (tightly packed) picture.
            auto analysis = Buffer(Planar(w2, h2), fill, fillSize);
            ResizeI420AsYuy2(analysis.data(), w2, h2, src.data(), w, h);
        }
        if (mediaType == MT_YUY2) {
            // The one-pass YUY2-to-I420 resize must refuse what the two steps
            // refuse and otherwise give their bytes.
            auto oneStep = Buffer(Planar(w2, h2), fill, fillSize), twoSteps = oneStep;
            auto yuy2 = Buffer(Packed(w2, h2, 2 * w2), fill, fillSize);
            const int one = ResizeYuy2ToI420(oneStep.data(), w2, h2, src.data(), w, h, a);
            int two = ResizeNearest(yuy2.data(), w2, h2, 2 * w2, src.data(), w, h, a, MT_YUY2);
            if (two == IMG_SUCCESS) two = ConvertYuy2ToI420(twoSteps.data(), yuy2.data(), w2, h2, 2 * w2);
            if (one != two || oneStep != twoSteps) __builtin_trap();
        }
        break;
    }
    }
    return 0;
}
