// Nearest-neighbour resize. Positions are 16.16 fixed point: the step maps
// the first output sample onto the first source sample and the last one onto
// the last source sample or just before it, starting half a sample in.
// Output lines that sample the same source line as the line above are
// copies of it.
#include <algorithm>
#include <cstring>

#include "imaging/convert/convert.h"
#include "imaging/convert/resize_row.h"

namespace qk::imaging::resize {
namespace {

struct Axis {
    uint64_t step;
    // Source index of output index i.
    uint32_t At(size_t i) const { return uint32_t((32768 + uint64_t(i) * step) >> 16); }
};

Axis MakeAxis(size_t srcSize, size_t dstSize) { return Axis{((uint64_t(srcSize) << 16) - 65536) / dstSize}; }

}  // namespace

struct Plane {
    uint8_t* data;
    size_t width, height, pitch;
};
struct Source {
    const uint8_t* data;
    size_t width, height, pitch;
};

void ResizePlane(const Plane& dst, const Source& src, Layout layout, const RowKernels& k) {
    const Axis ax = MakeAxis(src.width, dst.width), ay = MakeAxis(src.height, dst.height);
    const size_t bpp = BytesPerPixel(layout);
    ColumnPlan plan;
    for (size_t x0 = 0; x0 < dst.width; x0 += kColumnChunk) {
        plan.n = std::min(kColumnChunk, dst.width - x0);
        for (size_t i = 0; i < plan.n; ++i) plan.columns[i] = ax.At(x0 + i);
        if (k.needsGroups) PlanGroups(plan, layout, src.width);
        uint32_t previous = UINT32_MAX;
        for (size_t y = 0; y < dst.height; ++y) {
            uint8_t* out = dst.data + y * dst.pitch + x0 * bpp;
            const uint32_t sy = ay.At(y);
            if (sy == previous) {
                std::memcpy(out, out - dst.pitch, plan.n * bpp);
                continue;
            }
            previous = sy;
            k.row(out, src.data + sy * src.pitch, plan, layout);
        }
    }
}

void RowSpan_Reference(uint8_t* out, const uint8_t* in, const uint32_t* columns, size_t first, size_t last,
                       Layout layout) {
    switch (layout) {
    case Layout::kGray:
        for (size_t i = first; i < last; ++i) out[i] = in[columns[i]];
        break;
    case Layout::kRgb24:
        for (size_t i = first; i < last; ++i) std::memcpy(out + 3 * i, in + 3 * size_t(columns[i]), 3);
        break;
    case Layout::kYuy2:
        // Each output pixel takes its source pixel's luma; the first of a
        // pair takes the U and the second the V of the source pair that
        // holds its own source pixel.
        for (size_t i = first; i + 1 < last; i += 2) {
            const size_t s0 = columns[i], s1 = columns[i + 1];
            out[2 * i + 0] = in[2 * s0];
            out[2 * i + 1] = in[4 * (s0 >> 1) + 1];
            out[2 * i + 2] = in[2 * s1];
            out[2 * i + 3] = in[4 * (s1 >> 1) + 3];
        }
        break;
    }
}

void Row_Reference(uint8_t* out, const uint8_t* in, const ColumnPlan& plan, Layout layout) {
    RowSpan_Reference(out, in, plan.columns, 0, plan.n, layout);
}

void PlanGroups(ColumnPlan& plan, Layout layout, size_t srcWidth) {
    const size_t pixels = GroupPixels(layout), bpp = BytesPerPixel(layout);
    const size_t lineBytes = srcWidth * bpp, outBytes = plan.n * bpp;
    plan.groups = plan.n / pixels;
    for (size_t g = 0; g < plan.groups; ++g) {
        const uint32_t* c = plan.columns + g * pixels;
        uint8_t* control = plan.control[g];
        std::memset(control, 0x80, 16);
        // Byte offsets (in the source line) of every output byte.
        size_t offsets[16];
        size_t count = 0;
        for (size_t j = 0; j < pixels; ++j) {
            if (layout == Layout::kGray) {
                offsets[count++] = c[j];
            } else if (layout == Layout::kRgb24) {
                for (size_t b = 0; b < 3; ++b) offsets[count++] = 3 * size_t(c[j]) + b;
            } else if (j % 2 == 0) {
                const size_t s0 = c[j], s1 = c[j + 1];
                offsets[count++] = 2 * s0;
                offsets[count++] = 4 * (s0 >> 1) + 1;
                offsets[count++] = 2 * s1;
                offsets[count++] = 4 * (s1 >> 1) + 3;
            }
        }
        const size_t base = *std::min_element(offsets, offsets + count);
        const size_t top = *std::max_element(offsets, offsets + count);
        plan.base[g] = uint32_t(base);
        plan.usable[g] = top - base < 16 && base + 16 <= lineBytes && g * pixels * bpp + 16 <= outBytes;
        if (!plan.usable[g]) continue;
        for (size_t i = 0; i < count; ++i) control[i] = uint8_t(offsets[i] - base);
    }
}

const RowKernels& ReferenceRowKernels() {
    static constexpr RowKernels kReference{false, Row_Reference};
    return kReference;
}

const RowKernels& ChosenRowKernels() {
    static const RowKernels& chosen = Avx2RowKernels() != nullptr ? *Avx2RowKernels() : ReferenceRowKernels();
    return chosen;
}

}  // namespace qk::imaging::resize

int ResizeNearest(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                  int srcHeight, int srcPitch, int mediaType) {
    using namespace qk::imaging::resize;
    if (dst == nullptr || src == nullptr || dstWidth <= 0 || dstHeight <= 0 || srcWidth <= 0 || srcHeight <= 0 ||
        dstPitch < dstWidth || srcPitch < srcWidth) {
        return IMG_INVALID_PARAM;
    }
    const size_t dw = size_t(dstWidth), dh = size_t(dstHeight), sw = size_t(srcWidth), sh = size_t(srcHeight);
    const RowKernels& k = ChosenRowKernels();
    switch (mediaType) {
    case MT_RGB24:
        if (dstPitch / 3 < dstWidth || srcPitch / 3 < srcWidth) return IMG_INVALID_PARAM;
        ResizePlane({dst, dw, dh, size_t(dstPitch)}, {src, sw, sh, size_t(srcPitch)}, Layout::kRgb24, k);
        return IMG_SUCCESS;
    case MT_YUY2:
        if ((dstWidth & 1) != 0 || (srcWidth & 1) != 0 || dstPitch / 2 < dstWidth || srcPitch / 2 < srcWidth) {
            return IMG_INVALID_PARAM;
        }
        ResizePlane({dst, dw, dh, size_t(dstPitch)}, {src, sw, sh, size_t(srcPitch)}, Layout::kYuy2, k);
        return IMG_SUCCESS;
    case MT_I420: {
        if (dstPitch != dstWidth || srcPitch != srcWidth) return IMG_PITCH_NOT_WIDTH;
        const size_t dcw = dw / 2, dch = dh / 2, scw = sw / 2, sch = sh / 2;
        const bool chroma = dcw > 0 && dch > 0;
        if (chroma && (scw == 0 || sch == 0)) return IMG_INVALID_PARAM;
        ResizePlane({dst, dw, dh, dw}, {src, sw, sh, sw}, Layout::kGray, k);
        if (chroma) {
            const uint8_t* su = src + sw * sh;
            uint8_t* du = dst + dw * dh;
            ResizePlane({du, dcw, dch, dcw}, {su, scw, sch, scw}, Layout::kGray, k);
            ResizePlane({du + dcw * dch, dcw, dch, dcw}, {su + scw * sch, scw, sch, scw}, Layout::kGray, k);
        }
        return IMG_SUCCESS;
    }
    default:
        return IMG_SUCCESS;
    }
}
