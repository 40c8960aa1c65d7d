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
// kHigh: where the upper lane's four pixels start in its 16 bytes (4 when
// they were loaded from 4 bytes earlier, so as not to read past a line).
template <int kHigh = 0>
QK_AVX2_INLINE __m256i BlueRed(__m256i px) {
    constexpr char h = char(kHigh);
    const __m256i mask = _mm256_setr_epi8(0, -128, 2, -128, 3, -128, 5, -128, 6, -128, 8, -128, 9, -128, 11, -128,  //
                                          char(0 + h), -128, char(2 + h), -128, char(3 + h), -128, char(5 + h), -128,
                                          char(6 + h), -128, char(8 + h), -128, char(9 + h), -128, char(11 + h), -128);
    return _mm256_shuffle_epi8(px, mask);
}

template <int kHigh = 0>
QK_AVX2_INLINE __m256i GreenGreen(__m256i px) {
    constexpr char h = char(kHigh);
    const __m256i mask = _mm256_setr_epi8(1, -128, 1, -128, 4, -128, 4, -128, 7, -128, 7, -128, 10, -128, 10, -128,  //
                                          char(1 + h), -128, char(1 + h), -128, char(4 + h), -128, char(4 + h), -128,
                                          char(7 + h), -128, char(7 + h), -128, char(10 + h), -128, char(10 + h), -128);
    return _mm256_shuffle_epi8(px, mask);
}

// Four pixels at lo in the lower lane and four at hi in the upper one.
QK_AVX2_INLINE __m256i LoadRgb4x2(const uint8_t* lo, const uint8_t* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
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

// The same from products of pixels (0-3 | 8-11) and (4-7 | 12-15): the packs
// leave each lane's eight bytes in order, one qword move joins them.
QK_AVX2_INLINE __m128i LumaBytesSplit(__m256i products0, __m256i products1) {
    const __m256i words = _mm256_packus_epi32(_mm256_srli_epi32(products0, 16), _mm256_srli_epi32(products1, 16));
    const __m256i bytes = _mm256_packus_epi16(words, words);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08));
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

// U and V of four 2 x 2 blocks from the two rows' sums of eight pixels:
// their unshifted luma products, and B and R as the 16-bit halves of each
// pixel's dword. Adding each odd dword to the even one below it gives the
// block sums there (no horizontal add, which is slow); (sum - sumY) * k >> 16
// is one pmulhw for both planes. Each even dword ends as U (low half) and V
// (high half); the odd ones are scrap.
QK_AVX2_INLINE __m256i BlockChroma(__m256i products, __m256i blueRed) {
    const __m256i sumY = _mm256_srli_epi32(_mm256_add_epi32(products, _mm256_srli_epi64(products, 32)), 16);
    const __m256i sums = _mm256_add_epi16(blueRed, _mm256_srli_epi64(blueRed, 32));
    const __m256i centred = _mm256_sub_epi16(sums, _mm256_or_si256(sumY, _mm256_slli_epi32(sumY, 16)));
    const __m256i factors = _mm256_set1_epi32(int32_t((uint32_t(kI420V) << 16) | uint32_t(kI420U)));
    return _mm256_add_epi16(_mm256_mulhi_epi16(centred, factors), _mm256_set1_epi16(128));
}

// Sixteen pixels of two lines: luma of both and U, V of their eight blocks.
// Group A holds pixels (0-3 | 8-11) by lane and group B (4-7 | 12-15), so
// that the packs keep the luma in order and the blocks fall into U and V
// runs with one permutation. kLast: the block ends its lines, and B's upper
// lane is loaded 4 bytes early so as not to read past them.
template <bool kLast>
QK_AVX2_INLINE void Rgb24ToI420Block16(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1,
                                       uint8_t* u, uint8_t* v) {
    constexpr int kHigh = kLast ? 4 : 0, kLastLoad = 36 - kHigh;
    // A's blocks (0, 1 | 4, 5) and B's (2, 3 | 6, 7): U to bytes 0-3 and V
    // to bytes 8-11 of each lane.
    const __m256i pickA = _mm256_setr_epi8(0, 8, -128, -128, -128, -128, -128, -128, 2, 10, -128, -128, -128, -128,
                                           -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, 2, 10, -128, -128,
                                           -128, -128, -128, -128);
    const __m256i pickB = _mm256_setr_epi8(-128, -128, 0, 8, -128, -128, -128, -128, -128, -128, 2, 10, -128, -128,
                                           -128, -128, -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, 2, 10,
                                           -128, -128, -128, -128);
    const __m256i a0 = LoadRgb4x2(rgb0, rgb0 + 24), a1 = LoadRgb4x2(rgb1, rgb1 + 24);
    const __m256i b0 = LoadRgb4x2(rgb0 + 12, rgb0 + kLastLoad), b1 = LoadRgb4x2(rgb1 + 12, rgb1 + kLastLoad);
    const __m256i brA0 = BlueRed(a0), brA1 = BlueRed(a1);
    const __m256i brB0 = BlueRed<kHigh>(b0), brB1 = BlueRed<kHigh>(b1);
    const __m256i pA0 = LumaProducts(brA0, GreenGreen(a0)), pB0 = LumaProducts(brB0, GreenGreen<kHigh>(b0));
    const __m256i pA1 = LumaProducts(brA1, GreenGreen(a1)), pB1 = LumaProducts(brB1, GreenGreen<kHigh>(b1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y0), LumaBytesSplit(pA0, pB0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y1), LumaBytesSplit(pA1, pB1));

    const __m256i uvA = BlockChroma(_mm256_add_epi32(pA0, pA1), _mm256_add_epi16(brA0, brA1));
    const __m256i uvB = BlockChroma(_mm256_add_epi32(pB0, pB1), _mm256_add_epi16(brB0, brB1));
    const __m256i runs = _mm256_or_si256(_mm256_shuffle_epi8(uvA, pickA), _mm256_shuffle_epi8(uvB, pickB));
    const __m128i planes =
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(runs, _mm256_setr_epi32(0, 4, 2, 6, 0, 4, 2, 6)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u), planes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v), _mm_unpackhi_epi64(planes, planes));
}

QK_AVX2 void Rgb24ToI420PairRow_Avx2(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                                     uint8_t* v, int width) {
    int x = 0;
    // A group of eight reads four bytes past its pixels, so the last block
    // of a line takes its own loads.
    for (; x + 18 <= width; x += 16) {
        Rgb24ToI420Block16<false>(rgb0 + 3 * x, rgb1 + 3 * x, y0 + x, y1 + x, u + x / 2, v + x / 2);
    }
    if (x + 16 <= width) {
        Rgb24ToI420Block16<true>(rgb0 + 3 * x, rgb1 + 3 * x, y0 + x, y1 + x, u + x / 2, v + x / 2);
        x += 16;
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
bool CpuHasAvx512Vbmi() {
    // The compiler's processor check counts a feature only when the
    // operating system saves its registers.
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
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
