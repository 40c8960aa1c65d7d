// AVX2 kernels. Each gives exactly the bytes of its reference kernel (see
// row_reference.cpp) and hands the tail of a row to it.
#include "imaging/convert/colour_avx2.h"
#include "imaging/convert/row.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::imaging::row {
namespace {

using simd::CenteredChroma16;
using simd::StoreBgr16;

QK_AVX2 void Yuy2ToRgb24Row_Avx2(const uint8_t* yuy2, uint8_t* bgr, int width) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(yuy2 + 2 * x));
        const __m256i y = _mm256_and_si256(s, _mm256_set1_epi16(0x00FF));
        // U0 V0 U1 V1 ... as int16, centred and doubled.
        const __m256i uv = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_srli_epi16(s, 8), _mm256_set1_epi16(128)), 1);
        const __m256i u = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xA0), 0xA0);
        const __m256i v = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xF5), 0xF5);
        StoreBgr16(bgr + 3 * x, y, u, v);
    }
    Yuy2ToRgb24Row_Reference(yuy2 + 2 * x, bgr + 3 * x, width - x);
}

// Eight RGB24 pixels (24 bytes; 28 bytes are read) arranged so that each
// 128-bit lane holds four whole pixels.
QK_AVX2_INLINE __m256i LoadRgb8(const uint8_t* rgb) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 12));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// Per pixel, as 32-bit lanes: B in the low half and R in the high half.
QK_AVX2_INLINE __m256i BlueRed(__m256i px) {
    const __m256i mask = _mm256_setr_epi8(0, -128, 2, -128, 3, -128, 5, -128, 6, -128, 8, -128, 9, -128, 11, -128,  //
                                          0, -128, 2, -128, 3, -128, 5, -128, 6, -128, 8, -128, 9, -128, 11, -128);
    return _mm256_shuffle_epi8(px, mask);
}

QK_AVX2_INLINE __m256i GreenGreen(__m256i px) {
    const __m256i mask = _mm256_setr_epi8(1, -128, 1, -128, 4, -128, 4, -128, 7, -128, 7, -128, 10, -128, 10, -128,  //
                                          1, -128, 1, -128, 4, -128, 4, -128, 7, -128, 7, -128, 10, -128, 10, -128);
    return _mm256_shuffle_epi8(px, mask);
}

// The unshifted luma products of eight pixels. 38443 does not fit a signed
// 16-bit weight, so green is weighted twice with 19222 and 19221.
QK_AVX2_INLINE __m256i LumaProducts(__m256i blueRed, __m256i greenGreen) {
    const __m256i wBR = _mm256_set1_epi32((kLumaR << 16) | kLumaB);
    const __m256i wGG = _mm256_set1_epi32((19221 << 16) | 19222);
    static_assert(19221 + 19222 == kLumaG);
    return _mm256_add_epi32(_mm256_madd_epi16(blueRed, wBR), _mm256_madd_epi16(greenGreen, wGG));
}

// Sixteen luma bytes from two groups of eight products: after the packs the
// four-pixel runs sit in dwords 0, 4, 1, 5 (groups A and B by lane).
QK_AVX2_INLINE __m128i LumaBytes(__m256i products0, __m256i products1) {
    const __m256i words = _mm256_packus_epi32(_mm256_srli_epi32(products0, 16), _mm256_srli_epi32(products1, 16));
    const __m256i bytes = _mm256_packus_epi16(words, words);
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5)));
}

QK_AVX2 void Rgb24ToYRow_Avx2(const uint8_t* rgb, uint8_t* y, int width) {
    int x = 0;
    // Each group of eight reads four bytes past its pixels.
    for (; x + 18 <= width; x += 16) {
        const __m256i a = LoadRgb8(rgb + 3 * x);
        const __m256i b = LoadRgb8(rgb + 3 * x + 24);
        const __m128i luma = LumaBytes(LumaProducts(BlueRed(a), GreenGreen(a)), LumaProducts(BlueRed(b), GreenGreen(b)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), luma);
    }
    Rgb24ToYRow_Reference(rgb + 3 * x, y + x, width - x);
}

QK_AVX2 void Rgb24ToI420PairRow_Avx2(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                                     uint8_t* v, int width) {
    int x = 0;
    for (; x + 18 <= width; x += 16) {
        const __m256i a0 = LoadRgb8(rgb0 + 3 * x), b0 = LoadRgb8(rgb0 + 3 * x + 24);
        const __m256i a1 = LoadRgb8(rgb1 + 3 * x), b1 = LoadRgb8(rgb1 + 3 * x + 24);
        const __m256i brA0 = BlueRed(a0), brB0 = BlueRed(b0), brA1 = BlueRed(a1), brB1 = BlueRed(b1);
        const __m256i pA0 = LumaProducts(brA0, GreenGreen(a0)), pB0 = LumaProducts(brB0, GreenGreen(b0));
        const __m256i pA1 = LumaProducts(brA1, GreenGreen(a1)), pB1 = LumaProducts(brB1, GreenGreen(b1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x), LumaBytes(pA0, pB0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x), LumaBytes(pA1, pB1));

        // Sums over each 2x2 block; hadd leaves the pairs of the two groups
        // interleaved by lane, the permutation puts them in pixel order.
        const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
        const __m256i sumP = _mm256_permutevar8x32_epi32(
            _mm256_hadd_epi32(_mm256_add_epi32(pA0, pA1), _mm256_add_epi32(pB0, pB1)), order);
        const __m256i sumBR = _mm256_permutevar8x32_epi32(
            _mm256_hadd_epi32(_mm256_add_epi16(brA0, brA1), _mm256_add_epi16(brB0, brB1)), order);
        const __m256i sumY = _mm256_srli_epi32(sumP, 16);
        const __m256i sumB = _mm256_and_si256(sumBR, _mm256_set1_epi32(0xFFFF));
        const __m256i sumR = _mm256_srli_epi32(sumBR, 16);
        const __m256i bias = _mm256_set1_epi32(128);
        const __m256i uu = _mm256_add_epi32(
            _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(sumB, sumY), _mm256_set1_epi32(kI420U)), 16), bias);
        const __m256i vv = _mm256_add_epi32(
            _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(sumR, sumY), _mm256_set1_epi32(kI420V)), 16), bias);
        // [U0-3 V0-3 | U4-7 V4-7] as bytes in the low half of each lane.
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(uu, vv), _mm256_setzero_si256());
        const __m256i planar = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7));
        const __m128i low = _mm256_castsi256_si128(planar);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), low);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_unpackhi_epi64(low, low));
    }
    Rgb24ToI420PairRow_Reference(rgb0 + 3 * x, rgb1 + 3 * x, y0 + x, y1 + x, u + x / 2, v + x / 2, width - x);
}

QK_AVX2 void Yuy2ToYRow_Avx2(const uint8_t* yuy2, uint8_t* y, int width) {
    int x = 0;
    const __m256i low = _mm256_set1_epi16(0x00FF);
    for (; x + 32 <= width; x += 32) {
        const __m256i a = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(yuy2 + 2 * x)), low);
        const __m256i b = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(yuy2 + 2 * x + 32)), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    }
    Yuy2ToYRow_Reference(yuy2 + 2 * x, y + x, width - x);
}

// (a + b) >> 1 per byte: the rounding average minus the bit it rounded up.
QK_AVX2_INLINE __m256i FloorAverage(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

QK_AVX2 void Yuy2ToUvRow_Avx2(const uint8_t* line0, const uint8_t* line1, uint8_t* u, uint8_t* v, int width) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const auto* a = reinterpret_cast<const __m256i*>(line0 + 2 * x);
        const auto* b = reinterpret_cast<const __m256i*>(line1 + 2 * x);
        const __m256i c0 = _mm256_srli_epi16(FloorAverage(_mm256_loadu_si256(a), _mm256_loadu_si256(b)), 8);
        const __m256i c1 = _mm256_srli_epi16(FloorAverage(_mm256_loadu_si256(a + 1), _mm256_loadu_si256(b + 1)), 8);
        const __m256i uv = _mm256_permute4x64_epi64(_mm256_packus_epi16(c0, c1), 0xD8);  // U0 V0 ... U15 V15
        const __m256i planes = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(_mm256_and_si256(uv, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(uv, 8)), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(planes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2), _mm256_extracti128_si256(planes, 1));
    }
    Yuy2ToUvRow_Reference(line0 + 2 * x, line1 + 2 * x, u + x / 2, v + x / 2, width - x);
}

}  // namespace

const ConvertKernels* Avx2Kernels() {
    static constexpr ConvertKernels kAvx2{
        .yuy2ToRgb24 = Yuy2ToRgb24Row_Avx2,
        .rgb24ToI420Pair = Rgb24ToI420PairRow_Avx2,
        .rgb24ToY = Rgb24ToYRow_Avx2,
        .rgb24ToYuy2 = Rgb24ToYuy2Row_Reference,
        .yuy2ToY = Yuy2ToYRow_Avx2,
        .yuy2ToUv = Yuy2ToUvRow_Avx2,
    };
    return simd::CpuHasAvx2() ? &kAvx2 : nullptr;
}

}  // namespace qk::imaging::row

namespace qk::imaging::simd {
bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
}  // namespace qk::imaging::simd

#else

namespace qk::imaging::row {
const ConvertKernels* Avx2Kernels() { return nullptr; }
}  // namespace qk::imaging::row

#endif

namespace qk::imaging::row {

const ConvertKernels& Kernels() {
    static const ConvertKernels& chosen = Avx2Kernels() ? *Avx2Kernels() : ReferenceKernels();
    return chosen;
}

}  // namespace qk::imaging::row
