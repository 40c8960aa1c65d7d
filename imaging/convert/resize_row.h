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

}  // namespace qk::imaging::resize
