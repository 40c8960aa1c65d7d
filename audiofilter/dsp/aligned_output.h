// Output side of a stage with a start-up delay. The stage's processed stream
// lags its input by `latency` samples; the first `latency` samples (the bank
// filling) are dropped, so the emitted stream lines up sample for sample with
// the input. Emission is held back by a further margin that covers the
// block quantisation of the banks and resamplers, and is then exactly one
// sample per input sample: a call never gives back more samples than it was
// given, so the stages can work in place.
#pragma once

#include <algorithm>
#include <cstddef>

#include "audiofilter/dsp/sample_ring.h"

namespace qk::dsp {

class AlignedOutput {
public:
    void Setup(size_t latency, size_t margin, size_t maxBlock) {
        latency_ = latency;
        margin_ = margin;
        ring_.Allocate(margin + 2 * maxBlock + 64);
        Reset();
    }
    void Reset() {
        ring_.Clear();
        toDrop_ = latency_;
        inputs_ = outputs_ = 0;
    }
    size_t latency() const { return latency_; }
    size_t holdBack() const { return latency_ + margin_; }

    void CountInput(size_t count) { inputs_ += count; }
    void Produce(const float* samples, size_t count) {
        size_t drop = std::min(toDrop_, count);
        toDrop_ -= drop;
        ring_.Write(samples + drop, count - drop);
    }
    // Emits what the input count allows; returns the count.
    size_t Emit(float* out) {
        unsigned long long allowed = inputs_ > holdBack() ? inputs_ - holdBack() : 0;
        size_t n = allowed > outputs_ ? size_t(allowed - outputs_) : 0;
        n = ring_.Read(out, n);
        outputs_ += n;
        return n;
    }

private:
    FloatRing ring_;
    size_t latency_ = 0;
    size_t margin_ = 0;
    size_t toDrop_ = 0;
    unsigned long long inputs_ = 0;
    unsigned long long outputs_ = 0;
};

// A two-microphone stage's processing: the half sum of the microphones while
// the stage is not set up, else blocks of at most `maxBlock` samples through
// `block`, emitting after each what lines up with the input.
template <class Block>
size_t ProcessStereoInBlocks(bool ready, AlignedOutput& output, size_t maxBlock, const float* left, const float* right,
                             size_t count, float* out, Block&& block) {
    if (!ready) {
        for (size_t i = 0; i < count; ++i) out[i] = 0.5f * (left[i] + right[i]);
        return count;
    }
    size_t written = 0;
    for (size_t done = 0; done < count;) {
        size_t n = std::min(maxBlock, count - done);
        block(left + done, right + done, n);
        done += n;
        written += output.Emit(out + written);
    }
    return written;
}

}  // namespace qk::dsp
