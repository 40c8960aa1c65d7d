#include "audiofilter/dsp/kernels.h"

#if defined(__SSE__)
#include <xmmintrin.h>
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

#if defined(__SSE__)
float DotFast(const float* a, const float* b, size_t n) { return DotFastInline(a, b, n); }

void MultiplyAddFast(float* acc, const float* a, const float* b, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        _mm_storeu_ps(acc + i, _mm_add_ps(_mm_loadu_ps(acc + i), _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i))));
    for (; i < n; ++i) acc[i] += a[i] * b[i];
}
constexpr VectorKernels kFast{&DotFast, &MultiplyAddFast};
#else
constexpr VectorKernels kFast{&DotReference, &MultiplyAddReference};
#endif

constexpr VectorKernels kReference{&DotReference, &MultiplyAddReference};

}  // namespace

const VectorKernels& ReferenceVectorKernels() { return kReference; }
const VectorKernels& FastVectorKernels() { return kFast; }

}  // namespace qk::dsp
