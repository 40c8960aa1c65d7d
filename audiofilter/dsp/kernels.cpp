#include "audiofilter/dsp/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QK_DSP_X86_WIDE 1
#endif

namespace qk::dsp {

namespace {

float DotReference(const float* a, const float* b, size_t n) {
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

void MultiplyAddReference(float* acc, const float* a, const float* b, size_t n) {
    for (size_t i = 0; i < n; ++i) acc[i] += a[i] * b[i];
}

void DotsReference(const float* const* x, const float* const* c, size_t n, size_t count, float* out) {
    for (size_t j = 0; j < count; ++j) out[j] = DotReference(x[j], c[j], n);
}

#if defined(__SSE__)
float DotFast(const float* a, const float* b, size_t n) { return DotFastInline(a, b, n); }

void MultiplyAddFast(float* acc, const float* a, const float* b, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        _mm_storeu_ps(acc + i, _mm_add_ps(_mm_loadu_ps(acc + i), _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i))));
    for (; i < n; ++i) acc[i] += a[i] * b[i];
}

void DotsFast(const float* const* x, const float* const* c, size_t n, size_t count, float* out) {
    for (size_t j = 0; j < count; ++j) out[j] = DotFastInline(x[j], c[j], n);
}
constexpr VectorKernels kFast{&DotFast, &MultiplyAddFast, &DotsFast};
#else
constexpr VectorKernels kFast{&DotReference, &MultiplyAddReference, &DotsReference};
#endif

#if defined(QK_DSP_X86_WIDE)
// Eight lanes with fused multiply-add. Four dot products run side by side
// (independent accumulators hide the latency of the fused operations) and
// are reduced together with three horizontal adds.
__attribute__((target("avx2,fma"))) float DotWideOne(const float* x, const float* c, size_t n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(c + i), s0);
        s1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i + 8), _mm256_loadu_ps(c + i + 8), s1);
    }
    for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(c + i), s0);
    __m256 s = _mm256_add_ps(s0, s1);
    __m128 h = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
    h = _mm_hadd_ps(h, h);
    h = _mm_hadd_ps(h, h);
    float sum = _mm_cvtss_f32(h);
    for (; i < n; ++i) sum += x[i] * c[i];
    return sum;
}

__attribute__((target("avx2,fma"))) void DotsWide(const float* const* x, const float* const* c, size_t n,
                                                  size_t count, float* out) {
    size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        const float *x0 = x[j], *x1 = x[j + 1], *x2 = x[j + 2], *x3 = x[j + 3];
        const float *c0 = c[j], *c1 = c[j + 1], *c2 = c[j + 2], *c3 = c[j + 3];
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
               a3 = _mm256_setzero_ps();
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            a0 = _mm256_fmadd_ps(_mm256_loadu_ps(x0 + i), _mm256_loadu_ps(c0 + i), a0);
            a1 = _mm256_fmadd_ps(_mm256_loadu_ps(x1 + i), _mm256_loadu_ps(c1 + i), a1);
            a2 = _mm256_fmadd_ps(_mm256_loadu_ps(x2 + i), _mm256_loadu_ps(c2 + i), a2);
            a3 = _mm256_fmadd_ps(_mm256_loadu_ps(x3 + i), _mm256_loadu_ps(c3 + i), a3);
        }
        // [a0 a1 a2 a3] lane sums: pairwise horizontal adds, then the two
        // 128-bit halves.
        __m256 t = _mm256_hadd_ps(_mm256_hadd_ps(a0, a1), _mm256_hadd_ps(a2, a3));
        __m128 r = _mm_add_ps(_mm256_castps256_ps128(t), _mm256_extractf128_ps(t, 1));
        alignas(16) float v[4];
        _mm_store_ps(v, r);
        for (; i < n; ++i) {
            v[0] += x0[i] * c0[i];
            v[1] += x1[i] * c1[i];
            v[2] += x2[i] * c2[i];
            v[3] += x3[i] * c3[i];
        }
        out[j] = v[0];
        out[j + 1] = v[1];
        out[j + 2] = v[2];
        out[j + 3] = v[3];
    }
    for (; j < count; ++j) out[j] = DotWideOne(x[j], c[j], n);
}

__attribute__((target("avx2,fma"))) float DotWide(const float* a, const float* b, size_t n) {
    return DotWideOne(a, b, n);
}

__attribute__((target("avx2,fma"))) void MultiplyAddWide(float* acc, const float* a, const float* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(acc + i,
                         _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), _mm256_loadu_ps(acc + i)));
    for (; i < n; ++i) acc[i] += a[i] * b[i];
}

constexpr VectorKernels kWide{&DotWide, &MultiplyAddWide, &DotsWide};

const VectorKernels& ChooseFast() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return kWide;
    return kFast;
}
#else
const VectorKernels& ChooseFast() { return kFast; }
#endif

constexpr VectorKernels kReference{&DotReference, &MultiplyAddReference, &DotsReference};

}  // namespace

const VectorKernels& ReferenceVectorKernels() { return kReference; }
const VectorKernels& FastVectorKernels() {
    static const VectorKernels& chosen = ChooseFast();
    return chosen;
}

}  // namespace qk::dsp
