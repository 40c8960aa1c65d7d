// Rational rate change up/down for one channel with the stored low-pass
// filters of 32 k taps (k = max(up, down), 2..7), cut off at half the lower
// of the two rates. Streaming: any number of samples per call.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <span>
#include <vector>

#include "audiofilter/dsp/kernels.h"
#include "audiofilter/dsp/stage.h"

namespace qk::dsp {

// The stored low-pass for factor k (2..7): 32 k taps, sum 1; empty otherwise.
std::span<const float> ResamplingFilter(ULONG factor);

// A conversion as a ratio out/in.
struct RateRatio {
    ULONG up = 1;
    ULONG down = 1;
    bool identity() const { return up == 1 && down == 1; }
};

// Steps that bring a capture rate to the 8000 Hz family (the 11025 Hz family
// ends at 7875 Hz). Rates outside 8000..48000 Hz give no steps and `ok` false.
struct EightKiloHertzPath {
    bool ok = false;
    RateRatio steps[2];
    size_t count = 0;
};
EightKiloHertzPath PathTo8000(ULONG rateHz);

class Resampler {
public:
    void Setup(RateRatio ratio, const VectorKernels& kernels = FastVectorKernels());
    void Reset();
    RateRatio ratio() const { return ratio_; }

    // Upper bound of outputs for `count` inputs.
    size_t MaxOutput(size_t count) const { return (count * ratio_.up) / ratio_.down + 2; }
    // Returns the number of samples written to `out`.
    size_t Process(const float* in, size_t count, float* out);
    // Delay in output samples.
    double Delay() const;

private:
    RateRatio ratio_;
    const VectorKernels* kernels_ = &FastVectorKernels();
    ULONG taps_ = 0;
    DspVector<float> phases_;  // up phases of taps_/up coefficients, reversed, times up
    ULONG phaseLength_ = 0;
    DspVector<float> history_;
    size_t pos_ = 0;
    ULONG offset_ = 0;
};

}  // namespace qk::dsp
