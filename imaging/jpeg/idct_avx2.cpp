// AVX2 inverse DCT: the reference's flow graph on eight columns (then eight
// rows) at once, with the same wrapping 32-bit arithmetic (vpmulld keeps the
// low 32 bits of each product), so it gives exactly the reference's bytes.
#include "imaging/convert/colour_avx2.h"
#include "imaging/jpeg/jpeg_private.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::jpeg {
namespace {

QK_AVX2_INLINE __m256i Scale(__m256i a, int32_t constant) {
    return _mm256_srai_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(constant)), 9);
}

// One 1-D pass in place on x0..x7.
QK_AVX2_INLINE void Pass(__m256i& x0, __m256i& x1, __m256i& x2, __m256i& x3, __m256i& x4, __m256i& x5, __m256i& x6,
                         __m256i& x7) {
    const __m256i l = Scale(_mm256_sub_epi32(x2, x6), 362);
    const __m256i s04 = _mm256_add_epi32(x0, x4), d04 = _mm256_sub_epi32(x0, x4);
    const __m256i s26 = _mm256_add_epi32(x2, x6);
    const __m256i e0 = _mm256_add_epi32(_mm256_add_epi32(s04, s26), l);
    const __m256i e1 = _mm256_add_epi32(d04, l);
    const __m256i e2 = _mm256_sub_epi32(d04, l);
    const __m256i e3 = _mm256_sub_epi32(_mm256_sub_epi32(s04, s26), l);
    const __m256i d17 = _mm256_sub_epi32(x1, x7), d53 = _mm256_sub_epi32(x5, x3);
    const __m256i s17 = _mm256_add_epi32(x1, x7), s35 = _mm256_add_epi32(x3, x5);
    const __m256i z = Scale(_mm256_add_epi32(d17, d53), -196);
    const __m256i d = _mm256_add_epi32(z, Scale(d17, 669));
    const __m256i e = _mm256_add_epi32(d, _mm256_add_epi32(s17, s35));
    const __m256i f = Scale(_mm256_sub_epi32(s17, s35), 362);
    const __m256i g = _mm256_add_epi32(z, Scale(d53, -277));
    x0 = _mm256_add_epi32(e0, e);
    x7 = _mm256_sub_epi32(e0, e);
    x1 = _mm256_add_epi32(_mm256_add_epi32(e1, f), d);
    x6 = _mm256_sub_epi32(_mm256_sub_epi32(e1, f), d);
    x2 = _mm256_sub_epi32(_mm256_add_epi32(e2, f), g);
    x5 = _mm256_add_epi32(_mm256_sub_epi32(e2, f), g);
    x3 = _mm256_sub_epi32(e3, g);
    x4 = _mm256_add_epi32(e3, g);
}

QK_AVX2_INLINE void Transpose(__m256i& r0, __m256i& r1, __m256i& r2, __m256i& r3, __m256i& r4, __m256i& r5,
                              __m256i& r6, __m256i& r7) {
    const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
    const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
    const __m256i t4 = _mm256_unpacklo_epi32(r4, r5), t5 = _mm256_unpackhi_epi32(r4, r5);
    const __m256i t6 = _mm256_unpacklo_epi32(r6, r7), t7 = _mm256_unpackhi_epi32(r6, r7);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    r0 = _mm256_permute2x128_si256(u0, u4, 0x20);
    r1 = _mm256_permute2x128_si256(u1, u5, 0x20);
    r2 = _mm256_permute2x128_si256(u2, u6, 0x20);
    r3 = _mm256_permute2x128_si256(u3, u7, 0x20);
    r4 = _mm256_permute2x128_si256(u0, u4, 0x31);
    r5 = _mm256_permute2x128_si256(u1, u5, 0x31);
    r6 = _mm256_permute2x128_si256(u2, u6, 0x31);
    r7 = _mm256_permute2x128_si256(u3, u7, 0x31);
}

QK_AVX2_INLINE __m256i Load(const int32_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }

QK_AVX2_INLINE __m256i Descale(__m256i v) {
    return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(256)), 9), _mm256_set1_epi32(128));
}

// Eight output columns (lanes: rows 0-7, as the row pass leaves them) to
// eight rows of bytes. Packing first and transposing bytes takes a third of
// the shuffles a 32-bit transpose would: the packs leave, in each 128-bit
// half, columns 0-3 (then 4-7) of four rows column by column, one pshufb
// turns each 4x4 to rows, and dword unpacks join the two halves of a row.
// Saturating packs are the clamp to 0..255.
QK_AVX2_INLINE void StoreColumns(uint8_t* out, int stride, __m256i c0, __m256i c1, __m256i c2, __m256i c3, __m256i c4,
                                 __m256i c5, __m256i c6, __m256i c7) {
    const __m256i left = _mm256_packus_epi16(_mm256_packs_epi32(c0, c1), _mm256_packs_epi32(c2, c3));
    const __m256i right = _mm256_packus_epi16(_mm256_packs_epi32(c4, c5), _mm256_packs_epi32(c6, c7));
    const __m256i toRows = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                            0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i l = _mm256_shuffle_epi8(left, toRows), r = _mm256_shuffle_epi8(right, toRows);
    const __m256i rows01 = _mm256_unpacklo_epi32(l, r);  // rows 0, 1 | rows 4, 5
    const __m256i rows23 = _mm256_unpackhi_epi32(l, r);  // rows 2, 3 | rows 6, 7
    const __m128i a = _mm256_castsi256_si128(rows01), b = _mm256_castsi256_si128(rows23);
    const __m128i c = _mm256_extracti128_si256(rows01, 1), d = _mm256_extracti128_si256(rows23, 1);
    // Rows go out as unaligned 8-byte stores (a row of a picture has no alignment).
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), a);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_unpackhi_epi64(a, a));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * stride), b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * stride), _mm_unpackhi_epi64(b, b));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * stride), c);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 5 * stride), _mm_unpackhi_epi64(c, c));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6 * stride), d);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 7 * stride), _mm_unpackhi_epi64(d, d));
}

// `inputs` is 32-byte aligned (the record's block).
QK_AVX2 void IdctAvx2(const int32_t* inputs, uint8_t* out, int stride) {
    __m256i x0 = Load(inputs), x1 = Load(inputs + 8), x2 = Load(inputs + 16), x3 = Load(inputs + 24);
    __m256i x4 = Load(inputs + 32), x5 = Load(inputs + 40), x6 = Load(inputs + 48), x7 = Load(inputs + 56);
    Pass(x0, x1, x2, x3, x4, x5, x6, x7);  // columns: x[k] is workspace row k
    Transpose(x0, x1, x2, x3, x4, x5, x6, x7);
    Pass(x0, x1, x2, x3, x4, x5, x6, x7);  // rows: x[j] is output column j of every row
    StoreColumns(out, stride, Descale(x0), Descale(x1), Descale(x2), Descale(x3), Descale(x4), Descale(x5),
                 Descale(x6), Descale(x7));
}

}  // namespace

IdctFn Avx2Idct() { return qk::imaging::simd::CpuHasAvx2() ? IdctAvx2 : nullptr; }

}  // namespace qk::jpeg

#else

namespace qk::jpeg {
IdctFn Avx2Idct() { return nullptr; }
}  // namespace qk::jpeg

#endif
