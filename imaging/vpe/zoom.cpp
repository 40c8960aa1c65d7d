#include "imaging/vpe/zoom.h"

#include <algorithm>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/limits.h"
#include "imaging/vpe/vpe.h"

namespace qk::vpe {
namespace {

constexpr int kPrefetchRows = 4;  // output rows ahead whose source lines are asked for
constexpr int kBlockWindow = 128;  // source bytes one AVX-512 block picks from

int BytesPerSampleStep(ZoomLayout layout) {
    switch (layout) {
    case ZoomLayout::kGray: return 1;
    case ZoomLayout::kBgr: return 3;
    case ZoomLayout::kYuy2: return 2;
    }
    return 1;
}

// The AVX-512 blocks: 32 samples (or output pairs) whose near and far bytes
// all lie within 128 bytes of the line, taken from the left while they fit
// (always when enlarging; a block at the line's end takes its last 128 bytes).
template <typename Workspace>
void BuildBlocks(ZoomLayout layout, int n, int lineBytes, Workspace& ws) {
    auto& blocks = ws.blocks;
    const int distance = ws.distance;
    blocks.samples = 0;
    for (int b = 0; 32 * b + 32 <= n && lineBytes >= kBlockWindow; ++b) {
        const int* offset = ws.offset + 32 * b;
        const auto [lo, hi] = std::minmax_element(offset, offset + 32);
        const int base = std::min(*lo, lineBytes - kBlockWindow);
        if (*hi + distance - base >= kBlockWindow) break;
        blocks.base[b] = base;
        uint8_t* pick = blocks.pick + 64 * b;
        for (int j = 0; j < 32; ++j) {
            pick[2 * j] = uint8_t(offset[j] - base);
            pick[2 * j + 1] = 0;
            blocks.nearWeight[32 * b + j] = ws.weights[2 * (32 * b + j)];
            blocks.farWeight[32 * b + j] = ws.weights[2 * (32 * b + j) + 1];
        }
        blocks.samples = 32 * b + 32;
    }
    blocks.chromaPairs = 0;
    if (layout != ZoomLayout::kYuy2) return;
    for (int b = 0; 32 * b + 32 <= n / 2 && lineBytes >= kBlockWindow; ++b) {
        const int32_t* u = ws.chromaU + 32 * b;
        const int32_t* v = ws.chromaV + 32 * b;
        const int lo = std::min(*std::min_element(u, u + 32), *std::min_element(v, v + 32));
        const int hi = std::max(*std::max_element(u, u + 32), *std::max_element(v, v + 32));
        const int base = std::min(lo, lineBytes - kBlockWindow);
        if (hi - base >= kBlockWindow) break;
        blocks.chromaBase[b] = base;
        uint8_t* pick = blocks.chromaPick + 64 * b;
        for (int j = 0; j < 32; ++j) {
            pick[2 * j] = uint8_t(u[j] - base);
            pick[2 * j + 1] = uint8_t(v[j] - base);
        }
        blocks.chromaPairs = 32 * b + 32;
    }
}

}  // namespace

// Positions advance by `step` per output pixel from rect.x, exactly as the
// accumulated 16.16 position would.
template <typename Workspace>
void BuildZoomColumns(ZoomLayout layout, int64_t rectX, int64_t step, int first, int n, int lineBytes,
                      Workspace& ws) {
    const typename Workspace::TableKey key{1, int32_t(layout), first, n, lineBytes, rectX, step};
    if (ws.tables == key) return;
    const int distance = BytesPerSampleStep(layout);
    ws.distance = distance;
    for (int s = 0; s < n; ++s) {
        const int sample = first + s;
        int64_t position;
        int offset;
        if (layout == ZoomLayout::kBgr) {
            position = rectX + int64_t(sample / 3) * step;
            offset = 3 * int(position >> 16) + sample % 3;
        } else {
            position = rectX + int64_t(sample) * step;
            offset = distance * int(position >> 16);
        }
        const Weights w = WeightsAt(position);
        ws.offset[s] = offset;
        ws.weights[2 * s] = int16_t(w.near);
        ws.weights[2 * s + 1] = int16_t(w.far);
        if (layout == ZoomLayout::kYuy2 && (s & 1) == 0) {
            // U of the source pair holding this pixel, V of the pair holding the next.
            const int64_t next = position + step;
            ws.chromaU[s / 2] = 4 * int((position >> 16) >> 1) + 1;
            ws.chromaV[s / 2] = 4 * int((next >> 16) >> 1) + 3;
        }
    }
    if (layout == ZoomLayout::kYuy2) {
        const int pairs = n / 2;
        ws.chromaDirect = pairs >= 8 && lineBytes >= 16;
        for (int g = 0; ws.chromaDirect && 4 * g + 4 <= (pairs & ~7); ++g) {
            int lo = INT32_MAX, hi = 0;
            for (int j = 4 * g; j < 4 * g + 4; ++j) {
                lo = std::min({lo, ws.chromaU[j], ws.chromaV[j]});
                hi = std::max({hi, ws.chromaU[j], ws.chromaV[j]});
            }
            const int base = std::min(lo, lineBytes - 16);  // the line's last 16 bytes at its end
            if (hi - base > 15 || lo < base) {
                ws.chromaDirect = 0;
                break;
            }
            ws.chromaWindow[g] = base;
            std::fill_n(ws.chromaPick[g], 16, uint8_t(0x80));
            for (int j = 0; j < 4; ++j) {
                ws.chromaPick[g][2 * j] = uint8_t(ws.chromaU[4 * g + j] - base);
                ws.chromaPick[g][2 * j + 1] = uint8_t(ws.chromaV[4 * g + j] - base);
            }
        }
        // Chroma groups of eight output pairs, each picking from 16 packed
        // source pairs; taken from the left while they fit.
        ws.chromaFastPairs = 0;
        ws.chromaFirstPair = pairs > 0 ? std::min(ws.chromaU[0], ws.chromaV[0]) / 4 : 0;
        const int lastPair = pairs > 0 ? std::max(ws.chromaU[pairs - 1], ws.chromaV[pairs - 1]) / 4 : 0;
        ws.chromaPairCount = pairs > 0 ? lastPair - ws.chromaFirstPair + 1 : 0;
        if (ws.chromaPairCount <= Workspace::kCompactPairs) {
            for (int g = 0; 8 * g + 8 <= pairs; ++g) {
                int lo = INT32_MAX, hi = 0;
                for (int j = 8 * g; j < 8 * g + 8; ++j) {
                    lo = std::min({lo, ws.chromaU[j] / 4, ws.chromaV[j] / 4});
                    hi = std::max({hi, ws.chromaU[j] / 4, ws.chromaV[j] / 4});
                }
                if (hi - lo > 15) break;
                ws.groupBase[g] = lo - ws.chromaFirstPair;
                for (int j = 8 * g; j < 8 * g + 8; ++j) {
                    ws.groupPickU[j] = uint8_t(ws.chromaU[j] / 4 - lo);
                    ws.groupPickV[j] = uint8_t(ws.chromaV[j] / 4 - lo);
                }
                ws.chromaFastPairs = 8 * g + 8;
            }
        }
    }
    // Lanes of four samples for the fast kernel: each loads 16 bytes from its
    // base, so every near and far byte must lie within them and the 16 bytes
    // within the line. Lanes are used in pairs, from the left, while they fit.
    int fast = 0;
    for (int lane = 0; 4 * lane + 4 <= n; ++lane) {
        int lo = ws.offset[4 * lane], hi = lo;
        for (int j = 1; j < 4; ++j) {
            lo = std::min(lo, ws.offset[4 * lane + j]);
            hi = std::max(hi, ws.offset[4 * lane + j]);
        }
        if (hi + distance - lo > 15 || lo + 16 > lineBytes) break;
        ws.laneBase[lane] = lo;
        for (int j = 0; j < 4; ++j) {
            const int rel = ws.offset[4 * lane + j] - lo;
            uint8_t* pick = &ws.laneShuffle[16 * lane + 4 * j];
            pick[0] = uint8_t(rel);
            pick[1] = 0x80;  // pshufb writes zero for a set top bit
            pick[2] = uint8_t(rel + distance);
            pick[3] = 0x80;
        }
        if ((lane & 1) == 1) fast = 4 * lane + 4;
    }
    ws.fastSamples = fast;
    if constexpr (decltype(ws.blocks)::kPresent) BuildBlocks(layout, n, lineBytes, ws);
    ws.tables = key;
}

namespace {

// The slot holding `line`, computing it into a slot other than `keep` if needed.
template <typename Workspace>
int RowSlot(const row::StripKernels<Workspace>& k, ZoomLayout layout, const SourcePlane& src, int line, int keep,
            int n, Workspace& ws) {
    if (ws.rowLine[0] == line) return 0;
    if (ws.rowLine[1] == line) return 1;
    const int slot = keep == 0 ? 1 : 0;
    k.horizontal(src.data + size_t(line) * src.pitch, ws, n, ws.rows[slot]);
    if (layout == ZoomLayout::kYuy2) k.chromaPairs(src.data + size_t(line) * src.pitch, ws, n, ws.chromaRows[slot]);
    ws.rowLine[slot] = line;
    return slot;
}

}  // namespace

template <typename Workspace>
void ZoomPlane(ZoomLayout layout, const SourcePlane& src, const DestinationPlane& dst, const RectQ16& rect,
               Workspace& ws) {
    const auto& k = row::ZoomKernelsInUse();
    const auto& strip = row::StripKernelsOf<Workspace>(k);
    // The rectangle is narrowed by two source pixels so that the far
    // neighbour of the last sample stays inside it.
    const int64_t stepX = std::max<int64_t>(0, (rect.width - 2 * kQ16One) / dst.width);
    const int64_t stepY = std::max<int64_t>(0, (rect.height - 2 * kQ16One) / dst.height);
    const int samples = layout == ZoomLayout::kBgr ? 3 * dst.width : dst.width;
    const int lineBytes = BytesPerSampleStep(layout) * src.width;
    const int lastLine = std::max(src.height - 2, 0);

    // The source lines an output row uses; the last lines are not
    // interpolated vertically.
    struct Lines {
        int line, below;
    };
    const auto linesOf = [&](int y) {
        const int64_t whole = (rect.y + int64_t(y) * stepY) >> 16;
        const int line = int(std::min<int64_t>(whole, lastLine));
        return Lines{line, whole + 1 < src.height - 2 ? line + 1 : line};
    };
    for (int first = 0; first < samples; first += Workspace::kStrip) {
        const int n = std::min(Workspace::kStrip, samples - first);
        BuildZoomColumns(layout, rect.x, stepX, first, n, lineBytes, ws);
        ws.rowLine[0] = ws.rowLine[1] = -1;
        // The strip's bytes of the lines that the row kPrefetchRows further
        // down will use are asked for ahead: a frame fresh from the camera is
        // not in the cache, and each line's run is too short for the
        // hardware prefetcher to ramp up.
        const int spanFirst = ws.offset[0], spanLast = ws.offset[n - 1] + 4;
        int prefetched = -1;
        const auto prefetch = [&](int l) {
            if (l <= prefetched) return;
            prefetched = l;
            const uint8_t* p = src.data + size_t(l) * src.pitch;
            for (int at = spanFirst; at < spanLast; at += 64) __builtin_prefetch(p + at);
            __builtin_prefetch(p + spanLast);
        };
        const auto prefetchRow = [&](int y) {
            const Lines lines = linesOf(y);
            prefetch(lines.line);
            prefetch(lines.below);
        };
        for (int y = 0; y < kPrefetchRows && y < dst.height; ++y) prefetchRow(y);
        for (int y = 0; y < dst.height; ++y) {
            if (y + kPrefetchRows < dst.height) prefetchRow(y + kPrefetchRows);
            const int64_t position = rect.y + int64_t(y) * stepY;
            const auto [line, below] = linesOf(y);
            const Weights w = WeightsAt(position);
            const int slotA = RowSlot(strip, layout, src, line, -1, n, ws);
            const int slotB = RowSlot(strip, layout, src, below, slotA, n, ws);
            uint8_t* out = dst.data + size_t(y) * dst.pitch;
            if (layout != ZoomLayout::kYuy2) {
                k.vertical(ws.rows[slotA], ws.rows[slotB], n, w.near, w.far, out + first);
                continue;
            }
            // U and V come from the upper line, without interpolation.
            k.verticalYuy2(ws.rows[slotA], ws.rows[slotB], n, w.near, w.far, ws.chromaRows[slotA],
                           out + 2 * size_t(first));
        }
    }
}

bool ZoomArgumentsValid(int mediaType, const uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                        const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, const RectQ16& rect) {
    if (dst == nullptr || src == nullptr) return false;
    if (!SideAccepted(dstWidth) || !SideAccepted(dstHeight) || !SideAccepted(srcWidth) || !SideAccepted(srcHeight)) {
        return false;
    }
    int64_t minSide = 2;
    switch (mediaType) {
    case MT_RGB24:
        if (int64_t(dstPitch) < 3 * int64_t(dstWidth) || int64_t(srcPitch) < 3 * int64_t(srcWidth)) return false;
        break;
    case MT_YUY2:
        if ((dstWidth & 1) != 0 || (srcWidth & 1) != 0) return false;
        if (int64_t(dstPitch) < 2 * int64_t(dstWidth) || int64_t(srcPitch) < 2 * int64_t(srcWidth)) return false;
        break;
    case MT_I420:
        // Even source width keeps the halved rectangle inside the chroma planes.
        if ((srcWidth & 1) != 0 || dstPitch < dstWidth || srcPitch < srcWidth) return false;
        minSide = 4;
        break;
    default:
        return false;
    }
    return rect.x >= 0 && rect.y >= 0 && rect.width >= ToQ16(minSide) && rect.height >= ToQ16(minSide) &&
           rect.x + rect.width <= ToQ16(srcWidth) && rect.y + rect.height <= ToQ16(srcHeight);
}

template <typename Workspace>
void ZoomRgb24(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
               int srcHeight, int srcPitch, const RectQ16& rect, Workspace& ws) {
    ZoomPlane(ZoomLayout::kBgr, SourcePlane{src, srcWidth, srcHeight, size_t(srcPitch)},
              DestinationPlane{dst, dstWidth, dstHeight, size_t(dstPitch)}, rect, ws);
}

template <typename Workspace>
void ZoomYuy2(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
              int srcHeight, int srcPitch, const RectQ16& rect, Workspace& ws) {
    ZoomPlane(ZoomLayout::kYuy2, SourcePlane{src, srcWidth, srcHeight, size_t(srcPitch)},
              DestinationPlane{dst, dstWidth, dstHeight, size_t(dstPitch)}, rect, ws);
}

template <typename Workspace>
void ZoomI420(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
              int srcHeight, int srcPitch, const RectQ16& rect, Workspace& ws) {
    const size_t sp = size_t(srcPitch), dp = size_t(dstPitch);
    ZoomPlane(ZoomLayout::kGray, SourcePlane{src, srcWidth, srcHeight, sp},
              DestinationPlane{dst, dstWidth, dstHeight, dp}, rect, ws);
    const int dcw = dstWidth / 2, dch = dstHeight / 2;
    if (dcw == 0 || dch == 0) return;
    const int scw = srcWidth / 2, sch = srcHeight / 2;
    const RectQ16 half{rect.x >> 1, rect.y >> 1, rect.width >> 1, rect.height >> 1};
    const uint8_t* su = src + size_t(srcHeight) * sp;
    const uint8_t* sv = su + size_t(sch) * (sp / 2);
    uint8_t* du = dst + size_t(dstHeight) * dp;
    uint8_t* dv = du + size_t(dch) * (dp / 2);
    ZoomPlane(ZoomLayout::kGray, SourcePlane{su, scw, sch, sp / 2}, DestinationPlane{du, dcw, dch, dp / 2}, half, ws);
    ZoomPlane(ZoomLayout::kGray, SourcePlane{sv, scw, sch, sp / 2}, DestinationPlane{dv, dcw, dch, dp / 2}, half, ws);
}

template void BuildZoomColumns(ZoomLayout, int64_t, int64_t, int, int, int, ZoomWorkspace&);
template void ZoomPlane(ZoomLayout, const SourcePlane&, const DestinationPlane&, const RectQ16&, ZoomWorkspace&);
template void ZoomRgb24(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, ZoomWorkspace&);
template void ZoomI420(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, ZoomWorkspace&);
template void ZoomYuy2(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, ZoomWorkspace&);
template void BuildZoomColumns(ZoomLayout, int64_t, int64_t, int, int, int, StackZoomWorkspace&);
template void ZoomPlane(ZoomLayout, const SourcePlane&, const DestinationPlane&, const RectQ16&, StackZoomWorkspace&);
template void ZoomRgb24(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, StackZoomWorkspace&);
template void ZoomI420(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, StackZoomWorkspace&);
template void ZoomYuy2(uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, StackZoomWorkspace&);

}  // namespace qk::vpe
