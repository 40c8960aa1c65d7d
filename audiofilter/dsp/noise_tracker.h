// Per-band noise estimation and suppression gain by minimum tracking on a
// smoothed band magnitude, with a search window that grows 125 -> 1000 band
// samples so that the estimate settles quickly after set-up and is steady
// later.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <vector>

#include "audiofilter/dsp/stage.h"

namespace qk::dsp {

class NoiseTracker {
public:
    static constexpr float kGainFloor = 0.2f;
    static constexpr ULONG kFirstWindow = 125;
    static constexpr ULONG kLastWindow = 1000;

    void Setup(size_t bands);
    void Reset();
    void SetEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }

    // Applies the rule to one frame of band samples (in place): advances the
    // frame counter, updates each band's estimate and multiplies it by its gain.
    // With the tracker off the frame passes unchanged.
    void Apply(Complex* bands);

    float gain(size_t band) const { return bands_[band].gain; }
    float noise(size_t band) const { return bands_[band].noise; }
    float level(size_t band) const { return bands_[band].level; }
    ULONG window() const { return window_; }

private:
    struct Band {
        float level;
        float minimum;
        float candidate;
        float noise;
        float gain;
    };
    DspVector<Band> bands_;
    ULONG counter_ = 0;
    ULONG window_ = kFirstWindow;
    bool enabled_ = true;
};

}  // namespace qk::dsp
