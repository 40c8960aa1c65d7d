// Nearest-neighbour resize. Positions are 16.16 fixed point: the step maps
// the first output sample onto the first source sample and the last one onto
// the last source sample or just before it, starting half a sample in.
#include <cstring>

#include "imaging/convert/convert.h"

namespace {

struct Axis {
    uint64_t step;
    // Source index of output index i.
    size_t At(size_t i) const { return size_t((32768 + uint64_t(i) * step) >> 16); }
};

Axis MakeAxis(int srcSize, int dstSize) {
    return Axis{((uint64_t(uint32_t(srcSize)) << 16) - 65536) / uint64_t(uint32_t(dstSize))};
}

// One plane of 1- or 3-byte pixels. Output lines that sample the same source
// line as the line above are copied from it.
template <size_t kBytes>
void ResizePlane(uint8_t* dst, size_t dstW, size_t dstH, size_t dstPitch, const uint8_t* src, size_t srcW, size_t srcH,
                 size_t srcPitch) {
    const Axis ax = MakeAxis(int(srcW), int(dstW)), ay = MakeAxis(int(srcH), int(dstH));
    size_t previous = SIZE_MAX;
    for (size_t y = 0; y < dstH; ++y) {
        uint8_t* out = dst + y * dstPitch;
        const size_t sy = ay.At(y);
        if (sy == previous) {
            std::memcpy(out, out - dstPitch, dstW * kBytes);
            continue;
        }
        previous = sy;
        const uint8_t* in = src + sy * srcPitch;
        uint64_t position = 32768;
        if constexpr (kBytes == 1) {
            for (size_t x = 0; x < dstW; ++x, position += ax.step) out[x] = in[position >> 16];
        } else {
            // Four-byte moves where both the source pixel and the destination
            // pixel have a successor on the line to absorb the extra byte.
            for (size_t x = 0; x < dstW; ++x, position += ax.step) {
                const size_t sx = size_t(position >> 16);
                if (x + 1 < dstW && sx + 1 < srcW) {
                    std::memcpy(out + 3 * x, in + 3 * sx, 4);
                } else {
                    std::memcpy(out + 3 * x, in + 3 * sx, 3);
                }
            }
        }
    }
}

// YUY2 pairs: each output pixel takes its source pixel's luma, the first of a
// pair the U and the second the V of the source pair holding its pixel.
void ResizeYuy2(uint8_t* dst, size_t dstW, size_t dstH, size_t dstPitch, const uint8_t* src, size_t srcW, size_t srcH,
                size_t srcPitch) {
    const Axis ax = MakeAxis(int(srcW), int(dstW)), ay = MakeAxis(int(srcH), int(dstH));
    size_t previous = SIZE_MAX;
    for (size_t y = 0; y < dstH; ++y) {
        uint8_t* out = dst + y * dstPitch;
        const size_t sy = ay.At(y);
        if (sy == previous) {
            std::memcpy(out, out - dstPitch, dstW * 2);
            continue;
        }
        previous = sy;
        const uint8_t* in = src + sy * srcPitch;
        uint64_t position = 32768;
        for (size_t x = 0; x < dstW; x += 2, position += 2 * ax.step) {
            const size_t s0 = size_t(position >> 16);
            const size_t s1 = size_t((position + ax.step) >> 16);
            out[2 * x + 0] = in[2 * s0];
            out[2 * x + 1] = in[4 * (s0 >> 1) + 1];
            out[2 * x + 2] = in[2 * s1];
            out[2 * x + 3] = in[4 * (s1 >> 1) + 3];
        }
    }
}

}  // namespace

int ResizeNearest(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                  int srcHeight, int srcPitch, int mediaType) {
    if (dst == nullptr || src == nullptr || dstWidth <= 0 || dstHeight <= 0 || srcWidth <= 0 || srcHeight <= 0 ||
        dstPitch < dstWidth || srcPitch < srcWidth) {
        return IMG_INVALID_PARAM;
    }
    const size_t dw = size_t(dstWidth), dh = size_t(dstHeight), sw = size_t(srcWidth), sh = size_t(srcHeight);
    switch (mediaType) {
    case MT_RGB24:
        if (dstPitch / 3 < dstWidth || srcPitch / 3 < srcWidth) return IMG_INVALID_PARAM;
        ResizePlane<3>(dst, dw, dh, size_t(dstPitch), src, sw, sh, size_t(srcPitch));
        return IMG_SUCCESS;
    case MT_YUY2:
        if ((dstWidth & 1) != 0 || (srcWidth & 1) != 0 || dstPitch / 2 < dstWidth || srcPitch / 2 < srcWidth) {
            return IMG_INVALID_PARAM;
        }
        ResizeYuy2(dst, dw, dh, size_t(dstPitch), src, sw, sh, size_t(srcPitch));
        return IMG_SUCCESS;
    case MT_I420: {
        if (dstPitch != dstWidth || srcPitch != srcWidth) return IMG_PITCH_NOT_WIDTH;
        const size_t dcw = dw / 2, dch = dh / 2, scw = sw / 2, sch = sh / 2;
        const bool chroma = dcw > 0 && dch > 0;
        if (chroma && (scw == 0 || sch == 0)) return IMG_INVALID_PARAM;
        ResizePlane<1>(dst, dw, dh, dw, src, sw, sh, sw);
        if (chroma) {
            const uint8_t* su = src + sw * sh;
            const uint8_t* sv = su + scw * sch;
            uint8_t* du = dst + dw * dh;
            uint8_t* dv = du + dcw * dch;
            ResizePlane<1>(du, dcw, dch, dcw, su, scw, sch, scw);
            ResizePlane<1>(dv, dcw, dch, dcw, sv, scw, sch, scw);
        }
        return IMG_SUCCESS;
    }
    default:
        return IMG_SUCCESS;
    }
}
