// AVX-512 row kernels of the bilinear zoom for the context's workspace. A
// block of 32 output samples takes its near and far bytes from 128 source
// bytes with one two-register byte permute each (VBMI) and weighs them with
// 16-bit products (a byte times a weight of at most 256 stays below 2^16,
// and so does the sum); the vertical blends take 32 samples at a time. On
// processors that execute 512-bit operations at full width this halves the
// instructions and memory operations of the AVX2 kernels per output byte.
// Each kernel gives exactly its reference kernel's bytes; a row whose blocks
// do not all fit (a strong reduction) goes to the AVX2 kernels.
#include "imaging/convert/colour_avx2.h"
#include "imaging/vpe/zoom.h"

#if QK_IMAGING_HAVE_AVX2

#define QK_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi")))

namespace qk::vpe::row {
namespace {

constexpr __mmask64 kEvenBytes = 0x5555555555555555ull;  // the low byte of each 16-bit lane
constexpr __mmask32 kOddWords = 0xAAAAAAAAu;
// The zero-masked forms with every lane selected: the plain ones leave the
// compiler warning about their unset pass-through register.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask32 kAll32 = 0xFFFFFFFFu;

const ZoomKernels& Avx2() { return *Avx2ZoomKernels(); }

QK_AVX512 void HorizontalRow_Avx512(const uint8_t* line, const ZoomWorkspace& t, int n, uint16_t* out) {
    const int blocks = n / 32;
    if (t.blocks.samples < 32 * blocks) {
        Avx2().wide.horizontal(line, t, n, out);
        return;
    }
    const __m512i distance = _mm512_set1_epi8(char(t.distance));
    for (int b = 0; b < blocks; ++b) {
        const uint8_t* window = line + t.blocks.base[b];
        const __m512i lo = _mm512_loadu_si512(window), hi = _mm512_loadu_si512(window + 64);
        const __m512i pick = _mm512_loadu_si512(t.blocks.pick + 64 * b);
        // Bytes into the low half of each 16-bit lane, zero above.
        const __m512i near = _mm512_maskz_permutex2var_epi8(kEvenBytes, lo, pick, hi);
        const __m512i far = _mm512_maskz_permutex2var_epi8(kEvenBytes, lo, _mm512_add_epi8(pick, distance), hi);
        const __m512i sums = _mm512_add_epi16(_mm512_mullo_epi16(near, _mm512_loadu_si512(t.blocks.nearWeight + 32 * b)),
                                              _mm512_mullo_epi16(far, _mm512_loadu_si512(t.blocks.farWeight + 32 * b)));
        _mm512_storeu_si512(out + 32 * b, sums);
    }
    for (int s = 32 * blocks; s < n; ++s) {
        const uint8_t* near = line + t.offset[s];
        out[s] = uint16_t(t.weights[2 * s] * near[0] + t.weights[2 * s + 1] * near[t.distance]);
    }
}

QK_AVX512 void ChromaPairsRow_Avx512(const uint8_t* line, ZoomWorkspace& t, int n, uint8_t* out) {
    const int pairs = n / 2, blocks = pairs / 32;
    if (t.blocks.chromaPairs < 32 * blocks) {
        Avx2().wide.chromaPairs(line, t, n, out);
        return;
    }
    for (int b = 0; b < blocks; ++b) {
        const uint8_t* window = line + t.blocks.chromaBase[b];
        const __m512i lo = _mm512_loadu_si512(window), hi = _mm512_loadu_si512(window + 64);
        const __m512i pick = _mm512_loadu_si512(t.blocks.chromaPick + 64 * b);
        _mm512_storeu_si512(out + 64 * b, _mm512_permutex2var_epi8(lo, pick, hi));
    }
    for (int p = 32 * blocks; p < pairs; ++p) {
        out[2 * p] = line[t.chromaU[p]];
        out[2 * p + 1] = line[t.chromaV[p]];
    }
}

// 32 blended samples as 16-bit values in order. The sums reach 65280,
// beyond int16, so they are offset by -32768 for pmaddwd and the offset is
// added back with the rounding constant. Even samples are weighed in the low
// half of each 32-bit lane and odd ones in the high half, so the results
// (below 2^24) sit in their lanes' third bytes and one word blend puts them
// in order: no unpacking and packing.
struct BlendWeights {
    __m512i nearEven, farEven, nearOdd, farOdd, bias;
};

QK_AVX512 inline BlendWeights MakeBlendWeights(int nearWeight, int farWeight) {
    return BlendWeights{_mm512_set1_epi32(nearWeight), _mm512_set1_epi32(farWeight),
                        _mm512_set1_epi32(int32_t(uint32_t(nearWeight) << 16)),
                        _mm512_set1_epi32(int32_t(uint32_t(farWeight) << 16)),
                        _mm512_set1_epi32(32768 * (nearWeight + farWeight) + 32768)};
}

QK_AVX512 inline __m512i Blend32(const uint16_t* a, const uint16_t* b, const BlendWeights& w) {
    const __m512i flip = _mm512_set1_epi16(int16_t(0x8000));
    const __m512i va = _mm512_xor_si512(_mm512_loadu_si512(a), flip);
    const __m512i vb = _mm512_xor_si512(_mm512_loadu_si512(b), flip);
    const __m512i even =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(va, w.nearEven), _mm512_madd_epi16(vb, w.farEven)), w.bias);
    const __m512i odd =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(va, w.nearOdd), _mm512_madd_epi16(vb, w.farOdd)), w.bias);
    return _mm512_mask_blend_epi16(kOddWords, _mm512_maskz_srli_epi32(kAll16, even, 16), odd);
}

QK_AVX512 void VerticalRow_Avx512(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                                  uint8_t* out) {
    const BlendWeights w = MakeBlendWeights(nearWeight, farWeight);
    int s = 0;
    for (; s + 32 <= n; s += 32) {
        const __m256i bytes = _mm512_maskz_cvtepi16_epi8(kAll32, Blend32(a + s, b + s, w));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), bytes);
    }
    VerticalRow_Reference(a + s, b + s, n - s, nearWeight, farWeight, out + s);
}

QK_AVX512 void VerticalYuy2Row_Avx512(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                                      const uint8_t* chroma, uint8_t* out) {
    const BlendWeights w = MakeBlendWeights(nearWeight, farWeight);
    int s = 0;
    for (; s + 32 <= n; s += 32) {
        const __m512i luma = Blend32(a + s, b + s, w);  // Y0 | Y1 << 16 per pair
        const __m512i uv = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + s)));
        _mm512_storeu_si512(out + 2 * s, _mm512_or_si512(luma, _mm512_maskz_slli_epi16(kAll32, uv, 8)));
    }
    VerticalYuy2Row_Reference(a + s, b + s, n - s, nearWeight, farWeight, chroma + s, out + 2 * s);
}

}  // namespace

const ZoomKernels* Avx512ZoomKernels() {
    if (!qk::imaging::simd::CpuHasAvx512Vbmi() || Avx2ZoomKernels() == nullptr) return nullptr;
    // The stack workspace has no blocks: its strips keep the AVX2 kernels,
    // as do the analysis picture's kernels, which memory bounds.
    static const ZoomKernels kAvx512 = [] {
        ZoomKernels k = *Avx2ZoomKernels();
        k.wide = {HorizontalRow_Avx512, ChromaPairsRow_Avx512};
        k.vertical = VerticalRow_Avx512;
        k.verticalYuy2 = VerticalYuy2Row_Avx512;
        return k;
    }();
    return &kAvx512;
}

}  // namespace qk::vpe::row

#else

namespace qk::vpe::row {
const ZoomKernels* Avx512ZoomKernels() { return nullptr; }
}  // namespace qk::vpe::row

#endif
