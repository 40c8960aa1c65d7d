// AVX2 inverse DCT: the reference's flow graph on eight columns at once,
// with the same wrapping 32-bit arithmetic (vpmulld keeps the low 32 bits),
// so it gives exactly the reference's bytes.
#include "imaging/convert/colour_avx2.h"
#include "imaging/jpeg/jpeg_private.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::jpeg {
namespace {

QK_AVX2_INLINE __m256i Scale(__m256i a, int32_t constant) {
    return _mm256_srai_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(constant)), 9);
}

QK_AVX2_INLINE void Pass(const __m256i x[8], __m256i y[8]) {
    const __m256i l = Scale(_mm256_sub_epi32(x[2], x[6]), 362);
    const __m256i s04 = _mm256_add_epi32(x[0], x[4]), d04 = _mm256_sub_epi32(x[0], x[4]);
    const __m256i s26 = _mm256_add_epi32(x[2], x[6]);
    const __m256i e0 = _mm256_add_epi32(_mm256_add_epi32(s04, s26), l);
    const __m256i e1 = _mm256_add_epi32(d04, l);
    const __m256i e2 = _mm256_sub_epi32(d04, l);
    const __m256i e3 = _mm256_sub_epi32(_mm256_sub_epi32(s04, s26), l);
    const __m256i d17 = _mm256_sub_epi32(x[1], x[7]), d53 = _mm256_sub_epi32(x[5], x[3]);
    const __m256i z = Scale(_mm256_add_epi32(d17, d53), -196);
    const __m256i d = _mm256_add_epi32(z, Scale(d17, 669));
    const __m256i e = _mm256_add_epi32(d, _mm256_add_epi32(_mm256_add_epi32(x[1], x[3]), _mm256_add_epi32(x[5], x[7])));
    const __m256i f = Scale(_mm256_sub_epi32(_mm256_add_epi32(x[1], x[7]), _mm256_add_epi32(x[3], x[5])), 362);
    const __m256i g = _mm256_add_epi32(z, Scale(d53, -277));
    y[0] = _mm256_add_epi32(e0, e);
    y[1] = _mm256_add_epi32(_mm256_add_epi32(e1, f), d);
    y[2] = _mm256_sub_epi32(_mm256_add_epi32(e2, f), g);
    y[3] = _mm256_sub_epi32(e3, g);
    y[4] = _mm256_add_epi32(e3, g);
    y[5] = _mm256_add_epi32(_mm256_sub_epi32(e2, f), g);
    y[6] = _mm256_sub_epi32(_mm256_sub_epi32(e1, f), d);
    y[7] = _mm256_sub_epi32(e0, e);
}

QK_AVX2_INLINE void Transpose(__m256i r[8]) {
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

QK_AVX2 void IdctAvx2(const int16_t* coefficients, const int32_t* multipliers, uint8_t* out, int stride) {
    __m256i x[8], y[8];
    for (int k = 0; k < 8; ++k) {
        const __m256i c = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * k)));
        x[k] = _mm256_mullo_epi32(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(multipliers + 8 * k)));
    }
    Pass(x, y);  // columns: y[k] is workspace row k
    Transpose(y);
    Pass(y, x);  // rows: x[j] holds output column j of every row
    const __m256i round = _mm256_set1_epi32(256), shift = _mm256_set1_epi32(128);
    for (int j = 0; j < 8; ++j) x[j] = _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(x[j], round), 9), shift);
    Transpose(x);  // x[row]
    // Saturating packs are the clamp to 0..255.
    const __m256i p01 = _mm256_packs_epi32(x[0], x[1]), p23 = _mm256_packs_epi32(x[2], x[3]);
    const __m256i p45 = _mm256_packs_epi32(x[4], x[5]), p67 = _mm256_packs_epi32(x[6], x[7]);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i rows0 = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(p01, p23), order);
    const __m256i rows1 = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(p45, p67), order);
    alignas(32) uint8_t bytes[64];
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), rows0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes + 32), rows1);
    for (int row = 0; row < 8; ++row) std::memcpy(out + row * stride, bytes + 8 * row, 8);
}

}  // namespace

IdctFn Avx2Idct() { return qk::imaging::simd::CpuHasAvx2() ? IdctAvx2 : nullptr; }

}  // namespace qk::jpeg

#else

namespace qk::jpeg {
IdctFn Avx2Idct() { return nullptr; }
}  // namespace qk::jpeg

#endif
