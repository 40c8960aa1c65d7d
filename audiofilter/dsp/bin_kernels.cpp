#include "audiofilter/dsp/bin_kernels.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qk::dsp {

void AnalyseBinsReference(const BinAnalysis& a, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) {
        const float ar = a.x1[2 * k], ai = a.x1[2 * k + 1], br = a.x2[2 * k], bi = a.x2[2 * k + 1];
        a.magnitude1[k] = std::sqrt(ar * ar + ai * ai);
        a.magnitude2[k] = std::sqrt(br * br + bi * bi);
        const float re = a.fresh * (ar * br + ai * bi) + a.kept * a.cross[2 * k];
        const float im = a.fresh * (ai * br - ar * bi) + a.kept * a.cross[2 * k + 1];
        a.cross[2 * k] = re;
        a.cross[2 * k + 1] = im;
        const float magnitude = std::sqrt(re * re + im * im);
        // The cones are nested (a wider one holds whatever a narrower one
        // does), so the multiple is 4 less the number that hold.
        const int none = magnitude > 0 ? 0 : 1;
        a.direction[k] = 4 - (none | int(re > a.threshold1[k] * magnitude)) -
                         (none | int(re > a.threshold2[k] * magnitude)) - (none | int(re > a.threshold3[k] * magnitude));
    }
}

#if defined(__SSE2__)
void AnalyseBinsFast(const BinAnalysis& a, size_t from, size_t to) {
    const __m128 fresh = _mm_set1_ps(a.fresh), kept = _mm_set1_ps(a.kept), zero = _mm_setzero_ps();
    size_t k = from;
    for (; k + 4 <= to; k += 4) {
        // Four bins: split the interleaved pairs into real and imaginary parts.
        const __m128 p = _mm_loadu_ps(a.x1 + 2 * k), q = _mm_loadu_ps(a.x1 + 2 * k + 4);
        const __m128 ar = _mm_shuffle_ps(p, q, _MM_SHUFFLE(2, 0, 2, 0)), ai = _mm_shuffle_ps(p, q, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 u = _mm_loadu_ps(a.x2 + 2 * k), v = _mm_loadu_ps(a.x2 + 2 * k + 4);
        const __m128 br = _mm_shuffle_ps(u, v, _MM_SHUFFLE(2, 0, 2, 0)), bi = _mm_shuffle_ps(u, v, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 c = _mm_loadu_ps(a.cross + 2 * k), d = _mm_loadu_ps(a.cross + 2 * k + 4);
        const __m128 cr = _mm_shuffle_ps(c, d, _MM_SHUFFLE(2, 0, 2, 0)), ci = _mm_shuffle_ps(c, d, _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storeu_ps(a.magnitude1 + k, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(ar, ar), _mm_mul_ps(ai, ai))));
        _mm_storeu_ps(a.magnitude2 + k, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(br, br), _mm_mul_ps(bi, bi))));
        const __m128 re = _mm_add_ps(_mm_mul_ps(fresh, _mm_add_ps(_mm_mul_ps(ar, br), _mm_mul_ps(ai, bi))),
                                     _mm_mul_ps(kept, cr));
        const __m128 im = _mm_add_ps(_mm_mul_ps(fresh, _mm_sub_ps(_mm_mul_ps(ai, br), _mm_mul_ps(ar, bi))),
                                     _mm_mul_ps(kept, ci));
        _mm_storeu_ps(a.cross + 2 * k, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(a.cross + 2 * k + 4, _mm_unpackhi_ps(re, im));
        const __m128 magnitude = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im)));
        const __m128 none = _mm_cmple_ps(magnitude, zero);
        // Each test is all ones (-1) where it holds; 4 plus the three sums
        // is 4 less the number that hold.
        const __m128 h1 = _mm_or_ps(none, _mm_cmpgt_ps(re, _mm_mul_ps(_mm_loadu_ps(a.threshold1 + k), magnitude)));
        const __m128 h2 = _mm_or_ps(none, _mm_cmpgt_ps(re, _mm_mul_ps(_mm_loadu_ps(a.threshold2 + k), magnitude)));
        const __m128 h3 = _mm_or_ps(none, _mm_cmpgt_ps(re, _mm_mul_ps(_mm_loadu_ps(a.threshold3 + k), magnitude)));
        __m128i m = _mm_add_epi32(_mm_castps_si128(h1), _mm_castps_si128(h2));
        m = _mm_add_epi32(m, _mm_castps_si128(h3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a.direction + k), _mm_add_epi32(m, _mm_set1_epi32(4)));
    }
    AnalyseBinsReference(a, k, to);
}
#else
void AnalyseBinsFast(const BinAnalysis& a, size_t from, size_t to) { AnalyseBinsReference(a, from, to); }
#endif

}  // namespace qk::dsp
