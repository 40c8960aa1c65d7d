// Row kernels of ResizeNearest. Every output line samples the same source
// columns, so a plan of the columns is made once per call (for a chunk of
// output columns that fits a small stack table) and serves every line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::imaging::resize {

// Output columns planned at a time.
inline constexpr size_t kColumnChunk = 256;
// Fast kernels move groups of output pixels whose sources lie within one
// 16-byte window of the source line: one load, one shuffle, one store.
inline constexpr size_t kMaxGroups = kColumnChunk / 5 + 1;

enum class Layout { kGray, kRgb24, kYuy2 };

struct ColumnPlan {
    size_t n;                         // output pixels of the chunk
    uint32_t columns[kColumnChunk];   // source column of each
    size_t groups;                    // whole groups in the chunk
    uint32_t base[kMaxGroups];        // byte offset of a group's source window
    bool usable[kMaxGroups];          // window and store stay inside their lines
    alignas(16) uint8_t control[kMaxGroups][16];  // pshufb control (0x80: unused byte)
};

// Pixels and output bytes of one group.
constexpr size_t GroupPixels(Layout l) { return l == Layout::kGray ? 16 : l == Layout::kRgb24 ? 5 : 6; }
constexpr size_t BytesPerPixel(Layout l) { return l == Layout::kGray ? 1 : l == Layout::kRgb24 ? 3 : 2; }

// Fills plan.groups, base, usable and control from plan.columns and n.
void PlanGroups(ColumnPlan& plan, Layout layout, size_t srcWidth);

struct RowKernels {
    bool needsGroups;
    // n output pixels from the source line `in` (for YUY2, n is even).
    void (*row)(uint8_t* out, const uint8_t* in, const ColumnPlan& plan, Layout layout);
};

// The plain kernel: each output pixel copied from its column.
void Row_Reference(uint8_t* out, const uint8_t* in, const ColumnPlan& plan, Layout layout);
// Pixels [first, last) of a line, as the plain kernel writes them.
void RowSpan_Reference(uint8_t* out, const uint8_t* in, const uint32_t* columns, size_t first, size_t last,
                       Layout layout);

const RowKernels& ReferenceRowKernels();
const RowKernels* Avx2RowKernels();  // null without AVX2
const RowKernels& ChosenRowKernels();

// ResizeYuy2ToI420 samples as ResizeNearest does in YUY2, but writes I420
// straight away: each pair of output lines takes its luma and the average of
// its two chroma samples from the two source lines it samples. A plan of the
// sampled bytes serves every line pair; it covers a chunk of output pairs.
inline constexpr size_t kPairChunk = 128;

struct PairPlan {
    size_t pairs;                       // output pixel pairs of the chunk
    uint32_t luma[2 * kPairChunk];      // byte of each output pixel's luma in the source line
    uint32_t u[kPairChunk];             // byte of each pair's U (from its first pixel's source pair)
    uint32_t v[kPairChunk];             // byte of each pair's V (from its second pixel's source pair)
    size_t prefetches;                  // bytes whose cache lines hold every sampled byte
    uint32_t prefetch[2 * kPairChunk];
    // Fast kernels: a pair's four bytes lie in the 16 bytes at base[p], and
    // control (pshufb) moves them to their place among four pairs' outputs.
    // Groups of eight pairs: control[g][j] holds the controls of pairs
    // 8g + j and 8g + 4 + j side by side.
    uint32_t base[kPairChunk];
    bool groupUsable[kPairChunk / 8];
    alignas(32) uint8_t control[kPairChunk / 8][4][32];
};

// Fills the plan of output pairs [firstPair, firstPair + pairs) of a
// dstWidth-pixel line sampling a srcWidth-pixel YUY2 line.
void PlanPairs(PairPlan& plan, size_t firstPair, size_t pairs, size_t dstWidth, size_t srcWidth);

struct PairKernels {
    // The planned pairs of two output lines from the source lines they
    // sample: luma into y0 and y1, (a + b) >> 1 of the chroma into u and v.
    void (*rows)(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, uint8_t* y0, uint8_t* y1,
                 uint8_t* u, uint8_t* v);
};

// Pairs [first, last) as the plain kernel writes them.
void PairSpan_Reference(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, size_t first, size_t last,
                        uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v);
void PairRows_Reference(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, uint8_t* y0, uint8_t* y1,
                        uint8_t* u, uint8_t* v);
// The luma of one output line (an odd picture's last line has no chroma).
void LumaRow_Reference(const uint8_t* line, const PairPlan& plan, uint8_t* y);

const PairKernels& ReferencePairKernels();
const PairKernels* Avx2PairKernels();  // null without AVX2
const PairKernels& ChosenPairKernels();

// ResizeYuy2ToI420 with the given kernels (arguments already checked).
void ResizeYuy2ToI420Planes(uint8_t* dst, size_t dstWidth, size_t dstHeight, const uint8_t* src, size_t srcWidth,
                            size_t srcHeight, size_t srcPitch, const PairKernels& kernels);

}  // namespace qk::imaging::resize
