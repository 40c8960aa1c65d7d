#include "audiofilter/dsp/noise_tracker.h"

#include <algorithm>

namespace qk::dsp {

namespace {

constexpr float kInitialMinimum = 32767.0f;

}  // namespace

void NoiseTracker::Setup(size_t bands) {
    bands_.assign(bands, Band{});
    Reset();
}

void NoiseTracker::Reset() {
    for (Band& b : bands_) b = Band{.level = 0, .minimum = kInitialMinimum, .candidate = kInitialMinimum, .noise = 0, .gain = 1};
    counter_ = 0;
    window_ = kFirstWindow;
}

void NoiseTracker::Apply(Complex* frame) {
    if (!enabled_) return;
    bool restart = false;
    if (++counter_ > window_) {
        counter_ = 0;
        restart = true;
        if (window_ < kLastWindow) {
            window_ *= 2;
            if (window_ >= kLastWindow - 1) window_ = kLastWindow;
        }
    }
    const bool startUp = window_ < 500;
    for (size_t j = 0; j < bands_.size(); ++j) {
        Band& b = bands_[j];
        float e = 0.05f * Magnitude(frame[j]) + 0.95f * b.level;
        b.level = e;
        if (!restart) {
            b.minimum = std::min(b.minimum, e);
            b.candidate = std::min(b.candidate, e);
        } else {
            b.minimum = b.candidate;
            b.candidate = e;
        }
        if (startUp) {
            b.noise = 0.99f * e;
        } else if (b.minimum > 0.5f * e) {
            b.noise = e > b.noise ? 0.0005f * e + 0.9995f * b.noise : 0.005f * e + 0.995f * b.noise;
        }
        float raw = e - b.noise > 0.0f ? (e - b.noise) / e : 0.0f;
        b.gain = 0.5f * e >= b.noise ? raw : 0.95f * b.gain + 0.05f * raw;
        b.gain = std::max(b.gain, kGainFloor);
        frame[j] *= b.gain;
    }
}

}  // namespace qk::dsp
