#include "audiofilter/dsp/noise_guard.h"

#include <new>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qk::dsp {

ULONG SuppressorReduction(ULONG captureRateHz) {
    if (captureRateHz <= 24000) return 1;
    if (captureRateHz < 44100) return 2;
    return 3;
}

bool NoiseGuard::Setup(ULONG rateHz) {
    // A set-up that runs out of memory leaves the stage not ready (it passes
    // its input through) instead of throwing into the driver.
    try {
        ready_ = Configure(rateHz);
    } catch (const std::bad_alloc&) {
        ready_ = false;
    }
    return ready_;
}

bool NoiseGuard::Configure(ULONG rateHz) {
    ready_ = rateHz >= kMinRateHz && rateHz <= kMaxRateHz;
    rateHz_ = rateHz;
    ULONG factor = ready_ ? SuppressorReduction(rateHz) : 1;
    processingRateHz_ = rateHz / factor;
    BandPlan plan = SuppressorPlanForRate(rateHz);
    decimator_.Setup(RateRatio{1, factor});
    interpolator_.Setup(RateRatio{factor, 1});
    bool banks = analyzer_.Setup(plan);
    banks = synthesizer_.Setup(plan) && banks;
    tracker_.Setup(plan.uniqueBands());
    frame_.assign(plan.uniqueBands(), Complex());
    low_.assign(kMaxBlock / factor + 4, 0.0f);
    lowOut_.assign(low_.size() + plan.decimation, 0.0f);
    high_.assign(lowOut_.size() * factor + 4, 0.0f);
    // Decimator, bank and interpolator delays; the margin covers one hop of
    // the bank at the reduced rate and one step of the interpolator.
    size_t latency = size_t(std::lround(decimator_.Delay() * factor + interpolator_.Delay())) +
                     size_t(plan.delay() - plan.decimation + 1) * factor;
    size_t margin = size_t(plan.decimation) * factor + factor;
    output_.Setup(latency, margin, kMaxBlock);
    return ready_ && banks;
}

size_t NoiseGuard::Process(const float* in, size_t count, float* out) {
    if (!ready_) {
        if (out != in) std::memmove(out, in, count * sizeof(float));
        return count;
    }
    size_t written = 0;
    for (size_t done = 0; done < count;) {
        size_t n = std::min(kMaxBlock, count - done);
        ProcessBlock(in + done, n);
        done += n;
        written += output_.Emit(out + written);
    }
    return written;
}

void NoiseGuard::ProcessBlock(const float* in, size_t count) {
    output_.CountInput(count);
    size_t lowCount = decimator_.Process(in, count, low_.data());
    size_t lowProduced = 0;
    const ULONG d = analyzer_.plan().decimation;
    for (size_t i = 0; i < lowCount; ++i) {
        if (!analyzer_.Push(low_[i])) continue;
        std::copy_n(analyzer_.Bands(), frame_.size(), frame_.begin());
        tracker_.Apply(frame_.data());
        synthesizer_.Synthesize(frame_.data(), lowOut_.data() + lowProduced);
        lowProduced += d;
    }
    size_t highCount = interpolator_.Process(lowOut_.data(), lowProduced, high_.data());
    output_.Produce(high_.data(), highCount);
}

}  // namespace qk::dsp
