// The fast row kernels of ResizeNearest and ResizeYuy2ToI420: groups of
// output pixels whose sources share a 16-byte window are one load, one byte
// shuffle and one store (always the case when enlarging); the other pixels,
// and the row's tail, go through the reference kernel. Each gives exactly
// its reference kernel's bytes (tested).
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

// One group of eight output pairs from one source line: each pair's 16-byte
// window is shuffled into place (lane 0 pairs 0-3, lane 1 pairs 4-7) as
// Y Y Y Y Y Y Y Y U U U U V V V V.
QK_AVX2_INLINE __m256i GatherGroup(const uint8_t* line, const PairPlan& plan, size_t g) {
    const uint32_t* base = plan.base + 8 * g;
    __m256i out = _mm256_setzero_si256();
    for (size_t j = 0; j < 4; ++j) {
        const __m256i window =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(line + base[4 + j]),
                                reinterpret_cast<const __m128i*>(line + base[j]));
        const __m256i control = _mm256_load_si256(reinterpret_cast<const __m256i*>(plan.control[g][j]));
        out = _mm256_or_si256(out, _mm256_shuffle_epi8(window, control));
    }
    return out;
}

// (a + b) >> 1 per byte: the rounding average minus the bit it rounded up.
QK_AVX2_INLINE __m256i FloorAverage(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

QK_AVX2 void PairRows_Windows(const uint8_t* line0, const uint8_t* line1, const PairPlan& plan, uint8_t* y0,
                              uint8_t* y1, uint8_t* u, uint8_t* v) {
    const size_t groups = plan.pairs / 8;
    for (size_t g = 0; g < groups; ++g) {
        if (!plan.groupUsable[g]) {
            PairSpan_Reference(line0, line1, plan, 8 * g, 8 * g + 8, y0, y1, u, v);
            continue;
        }
        const __m256i a = GatherGroup(line0, plan, g), b = GatherGroup(line1, plan, g);
        // Luma: quadwords 0 and 2; chroma: dwords 2, 6 (U) and 3, 7 (V).
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + 16 * g), _mm256_castsi256_si128(_mm256_permute4x64_epi64(a, 0x08)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + 16 * g), _mm256_castsi256_si128(_mm256_permute4x64_epi64(b, 0x08)));
        const __m128i chroma = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(FloorAverage(a, b), _mm256_setr_epi32(2, 6, 3, 7, 2, 6, 3, 7)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + 8 * g), chroma);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + 8 * g), _mm_unpackhi_epi64(chroma, chroma));
    }
    PairSpan_Reference(line0, line1, plan, 8 * groups, plan.pairs, y0, y1, u, v);
}

}  // namespace

const RowKernels* Avx2RowKernels() {
    static constexpr RowKernels kFast{true, Row_Shuffled};
    return simd::CpuHasAvx2() ? &kFast : nullptr;
}

const PairKernels* Avx2PairKernels() {
    static constexpr PairKernels kFast{PairRows_Windows};
    return simd::CpuHasAvx2() ? &kFast : nullptr;
}

}  // namespace qk::imaging::resize

#else

namespace qk::imaging::resize {
const RowKernels* Avx2RowKernels() { return nullptr; }
const PairKernels* Avx2PairKernels() { return nullptr; }
}  // namespace qk::imaging::resize

#endif
