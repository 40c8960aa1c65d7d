// The fast row kernel of ResizeNearest: groups of output pixels whose
// sources share a 16-byte window are one load, one byte shuffle and one
// store (always the case when enlarging); the other pixels, and the row's
// tail, go through the reference kernel. Gives exactly its bytes (tested).
#include "imaging/convert/colour_avx2.h"
#include "imaging/convert/resize_row.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::imaging::resize {
namespace {

QK_AVX2 void Row_Shuffled(uint8_t* out, const uint8_t* in, const ColumnPlan& plan, Layout layout) {
    const size_t pixels = GroupPixels(layout), bytes = pixels * BytesPerPixel(layout);
    // A group's store may spill into the next group's bytes; that group is
    // written after it, so every byte ends up right.
    for (size_t g = 0; g < plan.groups; ++g) {
        if (plan.usable[g]) {
            const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + plan.base[g]));
            const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.control[g]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * bytes), _mm_shuffle_epi8(window, control));
        } else {
            RowSpan_Reference(out, in, plan.columns, g * pixels, (g + 1) * pixels, layout);
        }
    }
    RowSpan_Reference(out, in, plan.columns, plan.groups * pixels, plan.n, layout);
}

}  // namespace

const RowKernels* Avx2RowKernels() {
    static constexpr RowKernels kFast{true, Row_Shuffled};
    return simd::CpuHasAvx2() ? &kFast : nullptr;
}

}  // namespace qk::imaging::resize

#else

namespace qk::imaging::resize {
const RowKernels* Avx2RowKernels() { return nullptr; }
}  // namespace qk::imaging::resize

#endif
