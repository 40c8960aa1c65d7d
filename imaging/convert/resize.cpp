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

void PlanPairs(PairPlan& plan, size_t firstPair, size_t pairs, size_t dstWidth, size_t srcWidth) {
    const Axis ax = MakeAxis(srcWidth, dstWidth);
    const size_t lineBytes = 2 * srcWidth;
    plan.pairs = pairs;
    for (size_t p = 0; p < pairs; ++p) {
        const uint32_t s0 = ax.At(2 * (firstPair + p)), s1 = ax.At(2 * (firstPair + p) + 1);
        plan.luma[2 * p] = 2 * s0;
        plan.luma[2 * p + 1] = 2 * s1;
        plan.u[p] = 4 * (s0 >> 1) + 1;
        plan.v[p] = 4 * (s1 >> 1) + 3;
    }
    // Sampled bytes are at most three after their luma byte or one before
    // it. A luma byte less than 32 past a listed one shares its cache line
    // or the next listed one's, so listing one in 32 bytes covers the line.
    plan.prefetches = 0;
    for (size_t i = 0; i < 2 * pairs; ++i) {
        const uint32_t at = plan.luma[i];
        if (plan.prefetches == 0 || at >= plan.prefetch[plan.prefetches - 1] + 32 || i + 1 == 2 * pairs) {
            plan.prefetch[plan.prefetches++] = at;
        }
    }

    for (size_t p = 0; p < pairs; ++p) {
        const uint32_t bytes[4] = {plan.luma[2 * p], plan.luma[2 * p + 1], plan.u[p], plan.v[p]};
        const uint32_t lo = *std::min_element(bytes, bytes + 4), hi = *std::max_element(bytes, bytes + 4);
        // Pairs at the end of the line take the line's last 16 bytes.
        const bool fits = lineBytes >= 16 && hi - std::min<size_t>(lo, lineBytes - 16) < 16;
        const uint32_t base = fits ? uint32_t(std::min<size_t>(lo, lineBytes - 16)) : 0;
        plan.base[p] = base;
        const size_t g = p / 8, j = p % 4, half = (p % 8) / 4;
        if (g >= pairs / 8) continue;  // the tail goes through the plain kernel
        if (p % 8 == 0) plan.groupUsable[g] = true;
        plan.groupUsable[g] = plan.groupUsable[g] && fits;
        uint8_t* control = plan.control[g][j] + 16 * half;
        std::memset(control, 0x80, 16);
        if (!fits) continue;
        control[2 * j] = uint8_t(bytes[0] - base);
        control[2 * j + 1] = uint8_t(bytes[1] - base);
        control[8 + j] = uint8_t(bytes[2] - base);
        control[12 + j] = uint8_t(bytes[3] - base);
    }
}

void PairSpan_Reference(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, size_t first, size_t last,
                        uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v) {
    for (size_t p = first; p < last; ++p) {
        const uint32_t a = plan.luma[2 * p], b = plan.luma[2 * p + 1];
        y0[2 * p] = line0[a];
        y0[2 * p + 1] = line0[b];
        y1[2 * p] = line1[a];
        y1[2 * p + 1] = line1[b];
        u[p] = uint8_t((line0[plan.u[p]] + line1[plan.u[p]]) >> 1);
        v[p] = uint8_t((line0[plan.v[p]] + line1[plan.v[p]]) >> 1);
    }
}

void PairRows_Reference(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, uint8_t* y0, uint8_t* y1,
                        uint8_t* u, uint8_t* v) {
    PairSpan_Reference(line0, line1, plan, 0, plan.pairs, y0, y1, u, v);
}

void LumaRow_Reference(const uint8_t* line, const PairPlan& plan, uint8_t* y) {
    for (size_t i = 0; i < 2 * plan.pairs; ++i) y[i] = line[plan.luma[i]];
}

void ResizeYuy2ToI420Planes(uint8_t* dst, size_t dstWidth, size_t dstHeight, const uint8_t* src, size_t srcWidth,
                            size_t srcHeight, size_t srcPitch, const PairKernels& k) {
    // Line pairs ahead whose sampled bytes are asked for: a frame fresh from
    // the camera is not in the cache, and lines `factor` apart are a stride
    // the hardware prefetcher does not follow.
    constexpr size_t kPrefetchAhead = 2;
    const Axis ay = MakeAxis(srcHeight, dstHeight);
    const size_t chromaWidth = dstWidth / 2, pairRows = dstHeight / 2;
    uint8_t* planeY = dst;
    uint8_t* planeU = dst + dstWidth * dstHeight;
    uint8_t* planeV = planeU + chromaWidth * pairRows;
    const auto line = [&](size_t y) { return src + size_t(ay.At(y)) * srcPitch; };
    PairPlan plan;
    const auto prefetch = [&](size_t pairRow) {
        for (size_t y = 2 * pairRow; y < 2 * pairRow + 2 && y < dstHeight; ++y) {
            const uint8_t* l = line(y);
            for (size_t i = 0; i < plan.prefetches; ++i) __builtin_prefetch(l + plan.prefetch[i]);
        }
    };
    for (size_t first = 0; first < chromaWidth; first += kPairChunk) {
        PlanPairs(plan, first, std::min(kPairChunk, chromaWidth - first), dstWidth, srcWidth);
        for (size_t r = 0; r < kPrefetchAhead; ++r) prefetch(r);
        for (size_t r = 0; r < pairRows; ++r) {
            prefetch(r + kPrefetchAhead);
            uint8_t* y0 = planeY + 2 * r * dstWidth + 2 * first;
            k.rows(line(2 * r), line(2 * r + 1), plan, y0, y0 + dstWidth, planeU + r * chromaWidth + first,
                   planeV + r * chromaWidth + first);
        }
        if (dstHeight % 2 != 0) LumaRow_Reference(line(dstHeight - 1), plan, planeY + (dstHeight - 1) * dstWidth + 2 * first);
    }
}

const PairKernels& ReferencePairKernels() {
    static constexpr PairKernels kReference{PairRows_Reference};
    return kReference;
}

const PairKernels& ChosenPairKernels() {
    static const PairKernels& chosen = Avx2PairKernels() != nullptr ? *Avx2PairKernels() : ReferencePairKernels();
    return chosen;
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

int ResizeYuy2ToI420(uint8_t* dst, int dstWidth, int dstHeight, const uint8_t* src, int srcWidth, int srcHeight,
                     int srcPitch) {
    using namespace qk::imaging::resize;
    if (dst == nullptr || src == nullptr || dstWidth <= 0 || dstHeight <= 0 || srcWidth <= 0 || srcHeight <= 0 ||
        (dstWidth & 1) != 0 || (srcWidth & 1) != 0 || srcPitch / 2 < srcWidth) {
        return IMG_INVALID_PARAM;
    }
    ResizeYuy2ToI420Planes(dst, size_t(dstWidth), size_t(dstHeight), src, size_t(srcWidth), size_t(srcHeight),
                           size_t(srcPitch), ChosenPairKernels());
    return IMG_SUCCESS;
}

int ResizeI420AsYuy2(uint8_t* dst, int dstWidth, int dstHeight, const uint8_t* src, int srcWidth, int srcHeight) {
    using namespace qk::imaging::resize;
    if (dst == nullptr || src == nullptr || dstWidth <= 0 || dstHeight <= 0 || srcWidth < 2 || srcHeight < 2 ||
        (dstWidth & 1) != 0 || (srcWidth & 1) != 0) {
        return IMG_INVALID_PARAM;
    }
    const size_t dw = size_t(dstWidth), dh = size_t(dstHeight), sw = size_t(srcWidth), sh = size_t(srcHeight);
    const Axis ax = MakeAxis(sw, dw), ay = MakeAxis(sh, dh);
    ResizePlane({dst, dw, dh, dw}, {src, sw, sh, sw}, Layout::kGray, ChosenRowKernels());
    // An odd last source line has no chroma of its own; it takes the pair above's.
    const size_t chromaWidth = sw / 2, chromaLines = sh / 2;
    const uint8_t* planeU = src + sw * sh;
    const uint8_t* planeV = planeU + chromaWidth * chromaLines;
    const auto chromaLine = [&](size_t line) { return std::min(line / 2, chromaLines - 1) * chromaWidth; };
    uint8_t* outU = dst + dw * dh;
    uint8_t* outV = outU + (dw / 2) * (dh / 2);
    for (size_t r = 0; r < dh / 2; ++r) {
        const size_t line0 = chromaLine(ay.At(2 * r)), line1 = chromaLine(ay.At(2 * r + 1));
        for (size_t p = 0; p < dw / 2; ++p) {
            const size_t u = ax.At(2 * p) / 2, v = ax.At(2 * p + 1) / 2;
            outU[r * (dw / 2) + p] = uint8_t((planeU[line0 + u] + planeU[line1 + u]) >> 1);
            outV[r * (dw / 2) + p] = uint8_t((planeV[line0 + v] + planeV[line1 + v]) >> 1);
        }
    }
    return IMG_SUCCESS;
}

