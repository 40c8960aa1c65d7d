// AVX2 helpers shared by the conversion kernels and the JPEG decoder's
// writers. Only for translation units that check the processor first.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define QK_IMAGING_HAVE_AVX2 1

#include <immintrin.h>

#include <array>
#include <cstdint>

#define QK_AVX2 __attribute__((target("avx2")))
#define QK_AVX2_INLINE static inline __attribute__((target("avx2"), always_inline))

namespace qk::imaging::simd {

// pmulhrsw((c - 128) * 2, K) = (d * 2 * K + 2^14) >> 15 reproduces the colour
// tables' round(k * (c - 128)) for every byte c with these K (the tests check
// all 256 values), so the fast kernels need no table lookups.
inline constexpr int16_t kMulUToB = 28213;
inline constexpr int16_t kMulUToG = 5634;
inline constexpr int16_t kMulVToG = 11703;
inline constexpr int16_t kMulVToR = 22971;

// pshufb masks that interleave three 16-byte planes (16 pixels of B, of G and
// of R) into 48 bytes B, G, R: mask[block][channel].
constexpr std::array<std::array<std::array<uint8_t, 16>, 3>, 3> MakeBgrInterleaveMasks() {
    std::array<std::array<std::array<uint8_t, 16>, 3>, 3> masks{};
    for (int block = 0; block < 3; ++block) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int j = 0; j < 16; ++j) {
                const int at = block * 16 + j;
                masks[block][channel][j] = at % 3 == channel ? uint8_t(at / 3) : uint8_t(0x80);
            }
        }
    }
    return masks;
}
alignas(16) inline constexpr auto kBgrInterleave = MakeBgrInterleaveMasks();

// Writes 48 bytes B, G, R for 16 pixels: y holds 16 luma values as int16,
// u2 and v2 the pixels' (chroma - 128) * 2 as int16.
QK_AVX2_INLINE void StoreBgr16(uint8_t* dst, __m256i y, __m256i u2, __m256i v2) {
    const __m256i b = _mm256_add_epi16(y, _mm256_mulhrs_epi16(u2, _mm256_set1_epi16(kMulUToB)));
    const __m256i g = _mm256_sub_epi16(_mm256_sub_epi16(y, _mm256_mulhrs_epi16(u2, _mm256_set1_epi16(kMulUToG))),
                                       _mm256_mulhrs_epi16(v2, _mm256_set1_epi16(kMulVToG)));
    const __m256i r = _mm256_add_epi16(y, _mm256_mulhrs_epi16(v2, _mm256_set1_epi16(kMulVToR)));
    // Saturating packs are the clamp: every sum lies within -512..511.
    const __m256i bg = _mm256_permute4x64_epi64(_mm256_packus_epi16(b, g), 0xD8);
    const __m256i rr = _mm256_permute4x64_epi64(_mm256_packus_epi16(r, r), 0xD8);
    const __m128i bBytes = _mm256_castsi256_si128(bg);
    const __m128i gBytes = _mm256_extracti128_si256(bg, 1);
    const __m128i rBytes = _mm256_castsi256_si128(rr);
    for (int block = 0; block < 3; ++block) {
        const auto& m = kBgrInterleave[block];
        __m128i out = _mm_shuffle_epi8(bBytes, _mm_load_si128(reinterpret_cast<const __m128i*>(m[0].data())));
        out = _mm_or_si128(out, _mm_shuffle_epi8(gBytes, _mm_load_si128(reinterpret_cast<const __m128i*>(m[1].data()))));
        out = _mm_or_si128(out, _mm_shuffle_epi8(rBytes, _mm_load_si128(reinterpret_cast<const __m128i*>(m[2].data()))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * block), out);
    }
}

// (c - 128) * 2 for 16 chroma bytes widened to int16.
QK_AVX2_INLINE __m256i CenteredChroma16(__m128i bytes) {
    return _mm256_slli_epi16(_mm256_sub_epi16(_mm256_cvtepu8_epi16(bytes), _mm256_set1_epi16(128)), 1);
}

// Each of 8 chroma bytes repeated for the two pixels it covers, centred and
// doubled as above.
QK_AVX2_INLINE __m256i CenteredChromaPairs(__m128i eightBytes) {
    return CenteredChroma16(_mm_unpacklo_epi8(eightBytes, eightBytes));
}

bool CpuHasAvx2();
// AVX-512 F, BW, VL and VBMI (byte permutes across 64 bytes), with the
// operating system saving the 512-bit registers.
bool CpuHasAvx512Vbmi();

}  // namespace qk::imaging::simd

#endif
