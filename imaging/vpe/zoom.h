// Bilinear zoom of a 16.16 rectangle, one plane at a time.
//
// Each output sample is
//   (fy * (gx * B[i] + fx * B[i+1]) + gy * (gx * A[i] + fx * A[i+1]) + 32768) >> 16
// with A the source line, B the line below and weights out of 256. The plane
// is zoomed in strips of output samples: a strip's column table (which source
// bytes and weights each output sample takes) is built once; each source line
// is interpolated horizontally once into a row of 16-bit sums (at most
// 256 * 255, so exact), and each output line blends the two rows it needs.
// That order gives the same integers as the formula and lets consecutive
// output lines share their horizontal work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::vpe {

enum class ZoomLayout {
    kGray,  // one byte per sample (luma or chroma plane)
    kBgr,   // three bytes per pixel, neighbours three bytes apart
    kYuy2,  // luma interpolated two bytes apart; U and V taken from the upper line
};

struct SourcePlane {
    const uint8_t* data;
    int width, height;  // pixels
    size_t pitch;       // bytes
};

struct DestinationPlane {
    uint8_t* data;
    int width, height;
    size_t pitch;
};

struct RectQ16 {
    int64_t x, y, width, height;
};

// Blocks of 32 output samples for the AVX-512 kernels, which only the
// context's workspace carries (the stack one keeps to the AVX2 lanes and its
// size): block b takes its bytes from the 128 source bytes at base[b];
// pick[64 b + 2 j] is the near byte of its sample j within them (the far one
// lies `distance` further), the odd bytes are unused. Chroma blocks are 32
// output pairs from 128 bytes, U and V picks in turn. samples and
// chromaPairs count the leading samples and pairs whose blocks fit.
template <int Strip, bool kBuilt = (Strip >= 1024)>
struct ZoomBlocksOf {
    static constexpr bool kPresent = true;
    static constexpr int kCount = Strip / 32;
    int32_t base[kCount];
    uint8_t pick[64 * kCount];
    int16_t nearWeight[Strip];  // the weights of the column table, apart
    int16_t farWeight[Strip];
    int32_t samples;
    int32_t chromaBase[kCount / 2];
    uint8_t chromaPick[32 * kCount];
    int32_t chromaPairs;
};
template <int Strip>
struct ZoomBlocksOf<Strip, false> {
    static constexpr bool kPresent = false;
};

// Column tables of one strip and the two cached horizontal rows, for strips
// of `Strip` output samples (a multiple of 16). The context's workspace
// (vpeFtk, vpeDigitalZoom) takes 1024, so a 640-pixel YUY2 line is one strip;
// the direct zoom calls keep theirs on the stack, where a kernel thread has
// 24 KB in all, and take 256 (about 8 KB instead of 32).
template <int Strip>
struct ZoomWorkspaceOf {
    static constexpr int kStrip = Strip;
    int32_t offset[kStrip];             // byte of the near sample in the source line
    int16_t weights[2 * kStrip];        // near, far for each sample
    int32_t chromaU[kStrip / 2];        // YUY2: byte of U and V for each output pair
    int32_t chromaV[kStrip / 2];
    int32_t laneBase[kStrip / 4];       // fast kernel: first byte of each 4-sample lane
    uint8_t laneShuffle[4 * kStrip];    // fast kernel: byte picks within a lane's 16 bytes
    uint16_t rows[2][kStrip];
    uint8_t chromaRows[2][kStrip];  // YUY2: U, V of each output pair, from the row's line
    // YUY2 fast chroma: U and V of the source pairs the strip uses, packed
    // (compactU[k] is pair chromaFirstPair + k), and for each group of eight
    // output pairs the base in them and the picks (pshufb) from 16 bytes there.
    static constexpr int kCompactPairs = 2 * kStrip;
    uint8_t compactU[kCompactPairs + 16];
    uint8_t compactV[kCompactPairs + 16];
    int32_t chromaFirstPair, chromaPairCount;
    int32_t chromaFastPairs;  // leading output pairs the fast kernel handles (a multiple of 8)
    int32_t groupBase[kStrip / 16];
    uint8_t groupPickU[kStrip / 2];
    uint8_t groupPickV[kStrip / 2];
    // YUY2 fast chroma when zooming in: each group of four output pairs takes
    // its U and V bytes straight from the 16 source bytes at chromaWindow[g]
    // (pshufb controls chromaPick[g], giving U V U V ...). Used when every
    // group of the strip's whole eights fits; else the packed pairs above.
    int32_t chromaDirect;
    int32_t chromaWindow[kStrip / 8];
    uint8_t chromaPick[kStrip / 8][16];
    int32_t rowLine[2];
    int32_t distance;     // bytes between the near and the far sample
    int32_t fastSamples;  // leading samples whose lanes the fast kernel may load
    [[no_unique_address]] ZoomBlocksOf<Strip> blocks;  // the AVX-512 kernels' tables (context only)
    // What the tables above were built for, so that a framing that has not
    // moved since the last frame reuses them. built 0: nothing yet; the
    // context is zeroed at creation, a workspace on the stack must be
    // cleared (plain data, no constructor: the context stays plain data).
    struct TableKey {
        int32_t built;
        int32_t layout, first, n, lineBytes;
        int64_t rectX, step;
        bool operator==(const TableKey&) const = default;
    };
    TableKey tables;
};
using ZoomWorkspace = ZoomWorkspaceOf<1024>;
using StackZoomWorkspace = ZoomWorkspaceOf<256>;

// Fills the column table for output samples [first, first + n) of a line
// (kept when the workspace already holds the one asked for):
// output pixel k sits at rectX + k * step; lineBytes bounds the fast lanes.
template <typename Workspace>
void BuildZoomColumns(ZoomLayout layout, int64_t rectX, int64_t step, int first, int n, int lineBytes,
                      Workspace& workspace);

// Zooms rect (inside src, at least 2 x 2 source pixels) into the whole of dst.
template <typename Workspace>
void ZoomPlane(ZoomLayout layout, const SourcePlane& src, const DestinationPlane& dst, const RectQ16& rect,
               Workspace& workspace);

// Which pictures and rectangles the zooms accept (the buffers described by
// them are all a zoom touches). minSide is 2 source pixels, 4 for I420.
bool ZoomArgumentsValid(int mediaType, const uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                        const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, const RectQ16& rect);

// The three media types through ZoomPlane (arguments already checked). I420
// planes are laid out as described in vpe.h (chroma after height * pitch).
template <typename Workspace>
void ZoomRgb24(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
               int srcHeight, int srcPitch, const RectQ16& rect, Workspace& workspace);
template <typename Workspace>
void ZoomI420(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
              int srcHeight, int srcPitch, const RectQ16& rect, Workspace& workspace);
template <typename Workspace>
void ZoomYuy2(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
              int srcHeight, int srcPitch, const RectQ16& rect, Workspace& workspace);

namespace row {

// out[s] = near[s] * line[offset[s]] + far[s] * line[offset[s] + distance]
// for the strip's n samples.
template <typename Workspace>
using HorizontalFn = void (*)(const uint8_t* line, const Workspace& table, int n, uint16_t* out);
// out[s] = (near * a[s] + far * b[s] + 32768) >> 16.
using VerticalFn = void (*)(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                            uint8_t* out);

// YUY2: the U and V bytes the table picks from a source line, as n / 2
// pairs U, V (taken once per line, like the horizontal sums). The table's
// packed-pair arrays are scratch of the call.
template <typename Workspace>
using ChromaPairsFn = void (*)(const uint8_t* line, Workspace& table, int n, uint8_t* out);
// YUY2: blends n luma samples as VerticalFn does and interleaves them with
// the upper line's chroma pairs.
using VerticalYuy2Fn = void (*)(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                                const uint8_t* chroma, uint8_t* out);

// The analysis picture's time smoothing: s = (2 * fresh + 6 * s) >> 3.
using SmoothFn = void (*)(uint8_t* smoothed, const uint8_t* fresh, size_t bytes);
// The motion test's differences: out[i] = |a[i] - b[i]|, and the sums of
// the differences and of their squares.
struct DifferenceSums {
    uint64_t sum, squares;
};
using AbsDifferenceFn = DifferenceSums (*)(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out);

// The kernels that read a workspace's column tables, for one strip size.
template <typename Workspace>
struct StripKernels {
    HorizontalFn<Workspace> horizontal;
    ChromaPairsFn<Workspace> chromaPairs;
};

// Detection's luma: out[i] = in[i] clamped to 16..235.
using ClampLumaFn = void (*)(uint8_t* out, const uint8_t* in, size_t n);

struct ZoomKernels {
    StripKernels<ZoomWorkspace> wide;
    StripKernels<StackZoomWorkspace> narrow;
    VerticalFn vertical;
    VerticalYuy2Fn verticalYuy2;
    SmoothFn smooth;
    AbsDifferenceFn absDifference;
    ClampLumaFn clampLuma;
};

const ZoomKernels& ReferenceZoomKernels();
const ZoomKernels* Avx2ZoomKernels();    // null without AVX2
const ZoomKernels* Avx512ZoomKernels();  // null without AVX-512 (F, BW, VL, VBMI)
const ZoomKernels& ZoomKernelsInUse();

template <typename Workspace>
const StripKernels<Workspace>& StripKernelsOf(const ZoomKernels& k) {
    if constexpr (Workspace::kStrip == ZoomWorkspace::kStrip) {
        return k.wide;
    } else {
        static_assert(Workspace::kStrip == StackZoomWorkspace::kStrip);
        return k.narrow;
    }
}

template <typename Workspace>
void HorizontalRow_Reference(const uint8_t* line, const Workspace& table, int n, uint16_t* out);
void VerticalRow_Reference(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                           uint8_t* out);
void SmoothInTime_Reference(uint8_t* smoothed, const uint8_t* fresh, size_t bytes);
DifferenceSums AbsDifference_Reference(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out);
void ClampLuma_Reference(uint8_t* out, const uint8_t* in, size_t n);
template <typename Workspace>
void ChromaPairsRow_Reference(const uint8_t* line, Workspace& table, int n, uint8_t* out);
void VerticalYuy2Row_Reference(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                               const uint8_t* chroma, uint8_t* out);

}  // namespace row

}  // namespace qk::vpe
