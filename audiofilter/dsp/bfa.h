// BFA: two-microphone adaptive array. Per band, the beam (L + R) / 2 keeps
// the talker in front and the difference L - R, which holds no frontal sound,
// feeds an adaptive filter that predicts and removes what reaches the beam
// from the sides. Adaptation runs only in bands judged noise-dominated.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <vector>

#include "audiofilter/dsp/aligned_output.h"
#include "audiofilter/dsp/band_filter.h"
#include "audiofilter/dsp/filter_bank.h"
#include "audiofilter/dsp/noise_tracker.h"
#include "audiofilter/dsp/resampler.h"

namespace qk::dsp {

class Bfa : public Stage {
public:
    static constexpr size_t kCollectSamples = 205;
    static constexpr float kStepConstant = 0.0225f;

    Bfa() = default;

    bool Setup(ULONG rateHz, const BandKernels& kernels = FastKernels());

private:
    bool Configure(ULONG rateHz, const BandKernels& kernels);

public:
    bool ready() const { return ready_; }
    // NoiseGuard gains on the output bands.
    void SetNoiseGuard(bool on) { tracker_.SetEnabled(on); }

    // Left and right DC-free channels in, one channel out (may alias `left`);
    // returns the samples written, at most `count`, lined up with the input.
    size_t Process(const float* left, const float* right, size_t count, float* out);
    size_t Delay() const { return output_.holdBack(); }

    const BandPlan& plan() const { return analyzerLeft_.plan(); }
    size_t bandCount() const { return bands_.size(); }
    const BandFilter& filter(size_t band) const { return bands_[band].filter; }
    unsigned long long adaptations(size_t band) const { return bands_[band].adaptations; }

private:
    struct Level {
        float level = 0, minimum = 32767.0f, candidate = 32767.0f, noise = 0;
    };
    struct Band {
        BandFilter filter;
        float twoMu = 0;
        float ratio = 1.0f;  // c
        size_t collected = 0;
        float sumBeam = 0, sumReference = 0;
        float beamAverage = 1, referenceAverage = 1, errorAverage = 1;
        Level tracked[2];
        ULONG counter = 0;
        ULONG seen = 0;
        bool wasAdapting = false;
        unsigned long long adaptations = 0;
    };
    void ProcessBlock(const float* left, const float* right, size_t count);
    Complex ProcessBand(Band& band, Complex beam, Complex reference);
    static void Track(Level& t, float magnitude, bool restart, bool early);

    bool ready_ = false;
    Resampler decimateLeft_, decimateRight_, interpolator_;
    SubbandAnalyzer analyzerLeft_, analyzerRight_;
    SubbandSynthesizer synthesizer_;
    NoiseTracker tracker_;
    AlignedOutput output_;
    DspVector<Band> bands_;
    DspVector<float> lowLeft_, lowRight_, lowOut_, high_;
    DspVector<Complex> frame_;
};

}  // namespace qk::dsp
