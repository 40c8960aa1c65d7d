// Inner loops of the banks and rate converters: a plain reference kernel and
// a four-lane fast kernel chosen once at build time; a test holds them equal
// within float rounding.
#pragma once

#include <cstddef>

namespace qk::dsp {

struct VectorKernels {
    // sum a[i] b[i]
    float (*dot)(const float* a, const float* b, size_t n);
    // acc[i] += a[i] b[i]
    void (*multiplyAdd)(float* acc, const float* a, const float* b, size_t n);
};
const VectorKernels& ReferenceVectorKernels();
const VectorKernels& FastVectorKernels();

inline float Dot(const float* a, const float* b, size_t n) { return FastVectorKernels().dot(a, b, n); }
inline void MultiplyAdd(float* acc, const float* a, const float* b, size_t n) {
    FastVectorKernels().multiplyAdd(acc, a, b, n);
}

}  // namespace qk::dsp
