// AVX2 row kernels of the bilinear zoom; each gives exactly the bytes of its
// reference kernel and hands the tail of a row to it.
#include <algorithm>
#include <cstring>

#include "imaging/convert/colour_avx2.h"
#include "imaging/vpe/zoom.h"

#if QK_IMAGING_HAVE_AVX2

namespace qk::vpe::row {
namespace {

// Eight horizontal sums: each 128-bit lane loads the 16 source bytes at its
// base, picks (near, far) byte pairs as 16-bit values and multiplies them by
// their weights in one pmaddwd (bytes and weights up to 256 fit in int16).
template <typename Workspace>
QK_AVX2_INLINE __m256i Sums8(const uint8_t* line, const Workspace& t, int s) {
    const int lane = s / 4;
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + t.laneBase[lane]));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + t.laneBase[lane + 1]));
    const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    const __m256i picks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.laneShuffle + 16 * lane));
    const __m256i weights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.weights + 2 * s));
    return _mm256_madd_epi16(_mm256_shuffle_epi8(bytes, picks), weights);
}

template <typename Workspace>
QK_AVX2 void HorizontalRow_Avx2(const uint8_t* line, const Workspace& t, int n, uint16_t* out) {
    const int fast = t.fastSamples < n ? t.fastSamples : n;
    int s = 0;
    for (; s + 16 <= fast; s += 16) {
        const __m256i packed = _mm256_packus_epi32(Sums8(line, t, s), Sums8(line, t, s + 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    for (; s + 8 <= fast; s += 8) {
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(Sums8(line, t, s), _mm256_setzero_si256()), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + s), _mm256_castsi256_si128(packed));
    }
    for (; s < n; ++s) {
        const uint8_t* near = line + t.offset[s];
        out[s] = uint16_t(t.weights[2 * s] * near[0] + t.weights[2 * s + 1] * near[t.distance]);
    }
}

// Sixteen blended samples as 16-bit values. The sums reach 65280, beyond
// int16, so they are offset by -32768 for pmaddwd and the offset is added
// back with the rounding constant: exact.
QK_AVX2_INLINE __m256i Blend16(const uint16_t* a, const uint16_t* b, __m256i weights, __m256i bias) {
    const __m256i flip = _mm256_set1_epi16(int16_t(0x8000));
    const __m256i va = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)), flip);
    const __m256i vb = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), flip);
    const __m256i lo = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(va, vb), weights), bias), 16);
    const __m256i hi = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(va, vb), weights), bias), 16);
    return _mm256_packus_epi32(lo, hi);  // lane order is preserved: unpack and pack are both per lane
}

QK_AVX2 void VerticalRow_Avx2(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                              uint8_t* out) {
    const __m256i weights = _mm256_set1_epi32(int32_t(uint32_t(nearWeight) | (uint32_t(farWeight) << 16)));
    const __m256i bias = _mm256_set1_epi32(32768 * (nearWeight + farWeight) + 32768);
    int s = 0;
    for (; s + 32 <= n; s += 32) {
        const __m256i packed = _mm256_packus_epi16(Blend16(a + s, b + s, weights, bias),
                                                   Blend16(a + s + 16, b + s + 16, weights, bias));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    VerticalRow_Reference(a + s, b + s, n - s, nearWeight, farWeight, out + s);
}

// Zooming in, four output pairs find their chroma within 16 bytes of the
// line and one pshufb picks them. Otherwise U and V of the source pairs the
// strip uses are packed once per line (pshufb keeps bytes 1 and 3 of each
// pair), then each group of eight output pairs picks its bytes from 16 packed
// pairs with one pshufb per plane.
template <typename Workspace>
QK_AVX2 void ChromaPairsRow_Avx2(const uint8_t* line, Workspace& t, int n, uint8_t* out) {
    Workspace& ws = t;
    const int pairs = n / 2;
    int p = 0;
    if (t.chromaDirect != 0) {
        // Zooming in: eight output pairs from two 16-byte windows of the line.
        for (; p + 8 <= pairs; p += 8) {
            const int g = p / 4;
            const __m256i window = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(line + t.chromaWindow[g + 1]),
                                                       reinterpret_cast<const __m128i*>(line + t.chromaWindow[g]));
            const __m256i picks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.chromaPick[g]));
            const __m256i uv = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(window, picks), 0x08);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * p), _mm256_castsi256_si128(uv));
        }
    } else if (t.chromaFastPairs > 0) {
        const uint8_t* first = line + 4 * size_t(t.chromaFirstPair);
        const int count = t.chromaPairCount;
        // Eight pairs at a time: each lane gathers U0..U3 into its dword 0
        // and V0..V3 into dword 1, then the dwords are ordered U U V V.
        const __m256i split = _mm256_setr_epi8(1, 5, 9, 13, 3, 7, 11, 15, -128, -128, -128, -128, -128, -128, -128, -128,
                                               1, 5, 9, 13, 3, 7, 11, 15, -128, -128, -128, -128, -128, -128, -128, -128);
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5);
        int k = 0;
        for (; k + 8 <= count; k += 8) {
            const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 4 * k));
            const __m128i uv = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pairs, split), order));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(ws.compactU + k), uv);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(ws.compactV + k), _mm_unpackhi_epi64(uv, uv));
        }
        for (; k < count; ++k) {
            ws.compactU[k] = first[4 * k + 1];
            ws.compactV[k] = first[4 * k + 3];
        }
        // Bytes past the last pair are loaded with a group but never picked.
        std::memset(ws.compactU + count, 0, 16);
        std::memset(ws.compactV + count, 0, 16);
        for (; p + 8 <= t.chromaFastPairs; p += 8) {
            const int base = t.groupBase[p / 8];
            const __m128i picksU = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t.groupPickU + p));
            const __m128i picksV = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t.groupPickV + p));
            const __m128i u = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ws.compactU + base)), picksU);
            const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ws.compactV + base)), picksV);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * p), _mm_unpacklo_epi8(u, v));
        }
    }
    for (; p < pairs; ++p) {
        out[2 * p] = line[t.chromaU[p]];
        out[2 * p + 1] = line[t.chromaV[p]];
    }
}

QK_AVX2 void VerticalYuy2Row_Avx2(const uint16_t* a, const uint16_t* b, int n, int nearWeight, int farWeight,
                                  const uint8_t* chroma, uint8_t* out) {
    const __m256i weights = _mm256_set1_epi32(int32_t(uint32_t(nearWeight) | (uint32_t(farWeight) << 16)));
    const __m256i bias = _mm256_set1_epi32(32768 * (nearWeight + farWeight) + 32768);
    int s = 0;
    for (; s + 16 <= n; s += 16) {
        const __m256i luma = Blend16(a + s, b + s, weights, bias);  // Y0 | Y1 << 16 per pair
        const __m256i uv = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + s)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * s), _mm256_or_si256(luma, _mm256_slli_epi16(uv, 8)));
    }
    VerticalYuy2Row_Reference(a + s, b + s, n - s, nearWeight, farWeight, chroma + s, out + 2 * s);
}

QK_AVX2_INLINE __m256i SmoothBlend(__m256i fresh16, __m256i smoothed16) {
    const __m256i sum = _mm256_add_epi16(_mm256_slli_epi16(fresh16, 1), _mm256_add_epi16(_mm256_slli_epi16(smoothed16, 2),
                                                                                         _mm256_slli_epi16(smoothed16, 1)));
    return _mm256_srli_epi16(sum, 3);
}

// 2 * fresh + 6 * smoothed fits 16 bits; widening and packing are both per
// lane, so the byte order is kept.
QK_AVX2 void SmoothInTime_Avx2(uint8_t* smoothed, const uint8_t* fresh, size_t bytes) {
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fresh + i));
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(smoothed + i));
        const __m256i lo = SmoothBlend(_mm256_unpacklo_epi8(f, zero), _mm256_unpacklo_epi8(s, zero));
        const __m256i hi = SmoothBlend(_mm256_unpackhi_epi8(f, zero), _mm256_unpackhi_epi8(s, zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(smoothed + i), _mm256_packus_epi16(lo, hi));
    }
    SmoothInTime_Reference(smoothed + i, fresh + i, bytes - i);
}

// psadbw gives the sums; the squares of the byte differences are summed in
// 32-bit lanes, each taking at most 4 * 255^2 per block of 32 bytes, and
// widened to 64 bits before 8192 blocks could overflow them.
QK_AVX2 DifferenceSums AbsDifference_Avx2(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i sum = zero, squares = zero;
    size_t i = 0;
    while (i + 32 <= n) {
        __m256i lanes = zero;
        const size_t end = std::min(n, i + 32 * size_t(8192));
        for (; i + 32 <= end; i += 32) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
            const __m256i d = _mm256_or_si256(_mm256_subs_epu8(va, vb), _mm256_subs_epu8(vb, va));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), d);
            sum = _mm256_add_epi64(sum, _mm256_sad_epu8(va, vb));
            const __m256i lo = _mm256_unpacklo_epi8(d, zero), hi = _mm256_unpackhi_epi8(d, zero);
            lanes = _mm256_add_epi32(lanes, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
        }
        squares = _mm256_add_epi64(squares, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(lanes)));
        squares = _mm256_add_epi64(squares, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lanes, 1)));
    }
    alignas(32) uint64_t s[4], q[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(s), sum);
    _mm256_store_si256(reinterpret_cast<__m256i*>(q), squares);
    const DifferenceSums tail = AbsDifference_Reference(a + i, b + i, n - i, out + i);
    return DifferenceSums{s[0] + s[1] + s[2] + s[3] + tail.sum, q[0] + q[1] + q[2] + q[3] + tail.squares};
}

QK_AVX2 void ClampLuma_Avx2(uint8_t* out, const uint8_t* in, size_t n) {
    const __m256i low = _mm256_set1_epi8(16), high = _mm256_set1_epi8(char(235));
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_min_epu8(_mm256_max_epu8(v, low), high));
    }
    ClampLuma_Reference(out + i, in + i, n - i);
}

}  // namespace

const ZoomKernels* Avx2ZoomKernels() {
    static constexpr ZoomKernels kAvx2{
        .wide = {HorizontalRow_Avx2<ZoomWorkspace>, ChromaPairsRow_Avx2<ZoomWorkspace>},
        .narrow = {HorizontalRow_Avx2<StackZoomWorkspace>, ChromaPairsRow_Avx2<StackZoomWorkspace>},
        .vertical = VerticalRow_Avx2,
        .verticalYuy2 = VerticalYuy2Row_Avx2,
        .smooth = SmoothInTime_Avx2,
        .absDifference = AbsDifference_Avx2,
        .clampLuma = ClampLuma_Avx2,
    };
    return qk::imaging::simd::CpuHasAvx2() ? &kAvx2 : nullptr;
}

}  // namespace qk::vpe::row

#else

namespace qk::vpe::row {
const ZoomKernels* Avx2ZoomKernels() { return nullptr; }
}  // namespace qk::vpe::row

#endif
