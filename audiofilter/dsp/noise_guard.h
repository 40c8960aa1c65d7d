// NoiseGuard: single-channel noise suppression by per-band gains from the
// NoiseTracker. Above 24000 Hz it runs at a reduced rate (rate / 2 up to
// 44099 Hz, rate / 3 from 44100 Hz) between a decimator and an interpolator.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <vector>

#include "audiofilter/dsp/aligned_output.h"
#include "audiofilter/dsp/filter_bank.h"
#include "audiofilter/dsp/noise_tracker.h"
#include "audiofilter/dsp/resampler.h"

namespace qk::dsp {

// The rate reduction shared by NoiseGuard and BFA.
ULONG SuppressorReduction(ULONG captureRateHz);

// Largest block one Process call takes; larger blocks are split.
constexpr size_t kMaxBlock = 4096;

class NoiseGuard : public Stage {
public:
    NoiseGuard() = default;

    // Allocates everything for the rate; false (and the stage passes its
    // input through) for rates outside 4000..48000 Hz.
    bool Setup(ULONG rateHz);

private:
    bool Configure(ULONG rateHz);

public:
    bool ready() const { return ready_; }
    // Suppression on or off; the bank runs (with the same delay) either way.
    void SetEnabled(bool on) { tracker_.SetEnabled(on); }
    bool enabled() const { return tracker_.enabled(); }

    // Consumes `count` samples and writes at most `count` samples to `out`
    // (which may be `in`); returns the number written. The output lines up
    // with the input; the first Delay() samples are held back.
    size_t Process(const float* in, size_t count, float* out);
    size_t Delay() const { return output_.holdBack(); }

    ULONG processingRate() const { return processingRateHz_; }
    const BandPlan& plan() const { return analyzer_.plan(); }
    const NoiseTracker& tracker() const { return tracker_; }

private:
    void ProcessBlock(const float* in, size_t count);

    bool ready_ = false;
    ULONG rateHz_ = 0;
    ULONG processingRateHz_ = 0;
    Resampler decimator_;
    Resampler interpolator_;
    SubbandAnalyzer analyzer_;
    SubbandSynthesizer synthesizer_;
    NoiseTracker tracker_;
    AlignedOutput output_;
    DspVector<float> low_;
    DspVector<float> lowOut_;
    DspVector<float> high_;
    DspVector<Complex> frame_;
};

}  // namespace qk::dsp
