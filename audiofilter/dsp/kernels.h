// Inner loops of the banks and rate converters: a plain reference kernel and
// a fast kernel (four lanes, or eight lanes with fused multiply-add where the
// processor has them, chosen once at start-up); a test holds them equal
// within float rounding.
#pragma once

#include <cstddef>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace qk::dsp {

struct VectorKernels {
    // sum a[i] b[i]
    float (*dot)(const float* a, const float* b, size_t n);
    // acc[i] += a[i] b[i]
    void (*multiplyAdd)(float* acc, const float* a, const float* b, size_t n);
    // out[j] = sum_i x[j][i] c[j][i] for j < count, each over n taps: a
    // batch of independent dot products (a rate converter's outputs), so
    // the fast kernel can run several at once and reduce them together.
    void (*dots)(const float* const* x, const float* const* c, size_t n, size_t count, float* out);
};
const VectorKernels& ReferenceVectorKernels();
const VectorKernels& FastVectorKernels();

// The four-lane dot product, inline for short loops that cost no indirect
// call (the SSE kernel's dot is this same function).
float DotFastInline(const float* a, const float* b, size_t n);
inline float Dot(const float* a, const float* b, size_t n) { return DotFastInline(a, b, n); }
inline void MultiplyAdd(float* acc, const float* a, const float* b, size_t n) {
    FastVectorKernels().multiplyAdd(acc, a, b, n);
}

inline float DotFastInline(const float* a, const float* b, size_t n) {
#if defined(__SSE__)
    __m128 s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
        s1 = _mm_add_ps(s1, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
    }
    for (; i + 4 <= n; i += 4) s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    alignas(16) float t[4];
    _mm_store_ps(t, _mm_add_ps(s0, s1));
    float sum = (t[0] + t[1]) + (t[2] + t[3]);
    for (; i < n; ++i) sum += a[i] * b[i];
    return sum;
#else
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
#endif
}

}  // namespace qk::dsp
