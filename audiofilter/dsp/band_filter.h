// Complex adaptive FIR filter of one band with the paired sign-error update
// shared by BFA and EchoQuell. Coefficients and reference history are kept
// as split real/imaginary arrays so the inner loops run four taps at a time;
// a plain reference kernel stays beside the fast one and a test holds them
// equal within float rounding.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <vector>

#include "audiofilter/dsp/stage.h"

namespace qk::dsp {

struct BandKernels {
    // sum_i w_i x_i over n taps
    Complex (*dot)(const float* wr, const float* wi, const float* xr, const float* xi, size_t n);
    // g = (keep ? g : 0) + s conj(x)
    void (*accumulate)(float* gr, float* gi, const float* xr, const float* xi, size_t n, Complex s, bool keep);
    // w += step g
    void (*update)(float* wr, float* wi, const float* gr, const float* gi, size_t n, float step);
    // w += step (g + s conj(x)): the second half of a pair in one pass
    void (*completePair)(float* wr, float* wi, const float* gr, const float* gi, const float* xr, const float* xi,
                         size_t n, Complex s, float step);
};
const BandKernels& ReferenceKernels();
const BandKernels& FastKernels();

class BandFilter {
public:
    void Setup(size_t length, const BandKernels& kernels = FastKernels());
    void Reset();
    size_t length() const { return length_; }

    void PushReference(Complex x) {
        head_ = head_ == 0 ? length_ - 1 : head_ - 1;
        xr_[head_] = xr_[head_ + length_] = x.real();
        xi_[head_] = xi_[head_ + length_] = x.imag();
    }
    Complex Estimate() const { return kernels_->dot(wr_.data(), wi_.data(), xr_.data() + head_, xi_.data() + head_, length_); }

    // One adapting sample with normalised sign error s: the first of a pair
    // starts the gradient, the second completes it and moves the weights.
    void Adapt(Complex s, float twoMu) {
        if (pairOpen_)
            kernels_->completePair(wr_.data(), wi_.data(), gr_.data(), gi_.data(), xr_.data() + head_,
                                   xi_.data() + head_, length_, s, twoMu);
        else
            kernels_->accumulate(gr_.data(), gi_.data(), xr_.data() + head_, xi_.data() + head_, length_, s, false);
        pairOpen_ = !pairOpen_;
    }
    // Adaptation stopped: the half-built gradient is dropped (the next pair
    // starts a new one).
    void StopAdapting() { pairOpen_ = false; }
    void ScaleWeights(float factor);
    double WeightEnergy() const;
    Complex weight(size_t i) const { return Complex(wr_[i], wi_[i]); }

private:
    const BandKernels* kernels_ = nullptr;
    size_t length_ = 0;
    size_t head_ = 0;
    bool pairOpen_ = false;
    DspVector<float> wr_, wi_, gr_, gi_, xr_, xi_;
};

// Component-wise sign of a complex error (the sign-error update in both
// quadratures).
inline Complex ComplexSign(Complex e) {
    return Complex(e.real() > 0 ? 1.0f : (e.real() < 0 ? -1.0f : 0.0f),
                   e.imag() > 0 ? 1.0f : (e.imag() < 0 ? -1.0f : 0.0f));
}

// Filter length by band (0-based, lower half of the bank) for both plans.
size_t BandFilterLength(ULONG bands, size_t band);

}  // namespace qk::dsp
