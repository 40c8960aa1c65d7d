#include "audiofilter/dsp/band_filter.h"

#include <algorithm>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace qk::dsp {

namespace {

Complex DotReference(const float* wr, const float* wi, const float* xr, const float* xi, size_t n) {
    float re = 0.0f, im = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        re += wr[i] * xr[i] - wi[i] * xi[i];
        im += wr[i] * xi[i] + wi[i] * xr[i];
    }
    return Complex(re, im);
}

void AccumulateReference(float* gr, float* gi, const float* xr, const float* xi, size_t n, Complex s, bool keep) {
    const float sr = s.real(), si = s.imag();
    for (size_t i = 0; i < n; ++i) {
        float r = sr * xr[i] + si * xi[i];
        float m = si * xr[i] - sr * xi[i];
        gr[i] = keep ? gr[i] + r : r;
        gi[i] = keep ? gi[i] + m : m;
    }
}

void UpdateReference(float* wr, float* wi, const float* gr, const float* gi, size_t n, float step) {
    for (size_t i = 0; i < n; ++i) {
        wr[i] += step * gr[i];
        wi[i] += step * gi[i];
    }
}

void CompletePairReference(float* wr, float* wi, const float* gr, const float* gi, const float* xr, const float* xi,
                           size_t n, Complex s, float step) {
    const float sr = s.real(), si = s.imag();
    for (size_t i = 0; i < n; ++i) {
        wr[i] += step * (gr[i] + (sr * xr[i] + si * xi[i]));
        wi[i] += step * (gi[i] + (si * xr[i] - sr * xi[i]));
    }
}

#if defined(__SSE__)
float HorizontalSum(__m128 v) {
    alignas(16) float t[4];
    _mm_store_ps(t, v);
    return (t[0] + t[1]) + (t[2] + t[3]);
}

Complex DotFast(const float* wr, const float* wi, const float* xr, const float* xi, size_t n) {
    __m128 re = _mm_setzero_ps(), im = _mm_setzero_ps();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 a = _mm_loadu_ps(wr + i), b = _mm_loadu_ps(wi + i);
        __m128 c = _mm_loadu_ps(xr + i), d = _mm_loadu_ps(xi + i);
        re = _mm_add_ps(re, _mm_sub_ps(_mm_mul_ps(a, c), _mm_mul_ps(b, d)));
        im = _mm_add_ps(im, _mm_add_ps(_mm_mul_ps(a, d), _mm_mul_ps(b, c)));
    }
    Complex tail = DotReference(wr + i, wi + i, xr + i, xi + i, n - i);
    return Complex(HorizontalSum(re) + tail.real(), HorizontalSum(im) + tail.imag());
}

void AccumulateFast(float* gr, float* gi, const float* xr, const float* xi, size_t n, Complex s, bool keep) {
    const __m128 sr = _mm_set1_ps(s.real()), si = _mm_set1_ps(s.imag());
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 c = _mm_loadu_ps(xr + i), d = _mm_loadu_ps(xi + i);
        __m128 r = _mm_add_ps(_mm_mul_ps(sr, c), _mm_mul_ps(si, d));
        __m128 m = _mm_sub_ps(_mm_mul_ps(si, c), _mm_mul_ps(sr, d));
        if (keep) {
            r = _mm_add_ps(r, _mm_loadu_ps(gr + i));
            m = _mm_add_ps(m, _mm_loadu_ps(gi + i));
        }
        _mm_storeu_ps(gr + i, r);
        _mm_storeu_ps(gi + i, m);
    }
    AccumulateReference(gr + i, gi + i, xr + i, xi + i, n - i, s, keep);
}

void UpdateFast(float* wr, float* wi, const float* gr, const float* gi, size_t n, float step) {
    const __m128 k = _mm_set1_ps(step);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_ps(wr + i, _mm_add_ps(_mm_loadu_ps(wr + i), _mm_mul_ps(k, _mm_loadu_ps(gr + i))));
        _mm_storeu_ps(wi + i, _mm_add_ps(_mm_loadu_ps(wi + i), _mm_mul_ps(k, _mm_loadu_ps(gi + i))));
    }
    UpdateReference(wr + i, wi + i, gr + i, gi + i, n - i, step);
}

void CompletePairFast(float* wr, float* wi, const float* gr, const float* gi, const float* xr, const float* xi, size_t n,
                      Complex s, float step) {
    const __m128 sr = _mm_set1_ps(s.real()), si = _mm_set1_ps(s.imag()), k = _mm_set1_ps(step);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 c = _mm_loadu_ps(xr + i), d = _mm_loadu_ps(xi + i);
        __m128 r = _mm_add_ps(_mm_loadu_ps(gr + i), _mm_add_ps(_mm_mul_ps(sr, c), _mm_mul_ps(si, d)));
        __m128 m = _mm_add_ps(_mm_loadu_ps(gi + i), _mm_sub_ps(_mm_mul_ps(si, c), _mm_mul_ps(sr, d)));
        _mm_storeu_ps(wr + i, _mm_add_ps(_mm_loadu_ps(wr + i), _mm_mul_ps(k, r)));
        _mm_storeu_ps(wi + i, _mm_add_ps(_mm_loadu_ps(wi + i), _mm_mul_ps(k, m)));
    }
    CompletePairReference(wr + i, wi + i, gr + i, gi + i, xr + i, xi + i, n - i, s, step);
}
#endif

constexpr BandKernels kReference{&DotReference, &AccumulateReference, &UpdateReference, &CompletePairReference};
#if defined(__SSE__)
constexpr BandKernels kFast{&DotFast, &AccumulateFast, &UpdateFast, &CompletePairFast};
#else
constexpr BandKernels kFast = kReference;
#endif

// Lengths by 1-based band number; the upper half of the bank mirrors the
// lower half, so only the lower half is listed.
constexpr size_t kLengths16[8] = {200, 200, 160, 160, 80, 80, 40, 40};
constexpr size_t kLengths32[16] = {100, 100, 100, 100, 80, 80, 80, 80, 40, 40, 40, 40, 20, 20, 20, 20};

}  // namespace

const BandKernels& ReferenceKernels() { return kReference; }
const BandKernels& FastKernels() { return kFast; }

size_t BandFilterLength(ULONG bands, size_t band) {
    if (bands == 16) return kLengths16[std::min<size_t>(band, 7)];
    return kLengths32[std::min<size_t>(band, 15)];
}

void BandFilter::Setup(size_t length, const BandKernels& kernels) {
    kernels_ = &kernels;
    length_ = length;
    wr_.assign(length, 0.0f);
    wi_.assign(length, 0.0f);
    gr_.assign(length, 0.0f);
    gi_.assign(length, 0.0f);
    xr_.assign(2 * length, 0.0f);
    xi_.assign(2 * length, 0.0f);
    Reset();
}

void BandFilter::Reset() {
    std::fill(wr_.begin(), wr_.end(), 0.0f);
    std::fill(wi_.begin(), wi_.end(), 0.0f);
    std::fill(gr_.begin(), gr_.end(), 0.0f);
    std::fill(gi_.begin(), gi_.end(), 0.0f);
    std::fill(xr_.begin(), xr_.end(), 0.0f);
    std::fill(xi_.begin(), xi_.end(), 0.0f);
    head_ = 0;
    pairOpen_ = false;
}

void BandFilter::ScaleWeights(float factor) {
    for (size_t i = 0; i < length_; ++i) {
        wr_[i] *= factor;
        wi_[i] *= factor;
    }
}

double BandFilter::WeightEnergy() const {
    double sum = 0;
    for (size_t i = 0; i < length_; ++i) sum += double(wr_[i]) * wr_[i] + double(wi_[i]) * wi_[i];
    return sum;
}

}  // namespace qk::dsp
