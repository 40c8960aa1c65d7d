// Voice effects: ring modulator, telephone band, Schroeder reverberator
// (four parallel feedback combs into two all-passes, M. R. Schroeder,
// "Natural sounding artificial reverberation", 1962) and a muffled swell.
#include "outside/K0340Afx/effects.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace k0340afx {
namespace {

constexpr EffectInfo kEffects[] = {
    {.key = "robot", .displayName = "Robot", .kind = EffectKind::Robot},
    {.key = "telephone", .displayName = "Telephone Line", .kind = EffectKind::Telephone},
    {.key = "hall", .displayName = "Concert Hall", .kind = EffectKind::Hall},
    {.key = "underwater", .displayName = "Underwater", .kind = EffectKind::Underwater},
};

constexpr double kRobotHz = 70.0;      // low enough to keep speech intelligible
constexpr double kSwellHz = 3.0;
constexpr float kSwellDepth = 0.3f;
// Comb delays with no common factor, so their echoes never pile up on one
// beat; all-passes thicken the echo density without colouring it.
constexpr double kCombSeconds[4] = {0.0297, 0.0371, 0.0411, 0.0437};
constexpr float kCombFeedback = 0.77f;
constexpr double kAllpassSeconds[2] = {0.0050, 0.0017};
constexpr float kAllpassGain = 0.7f;
constexpr float kHallWet = 0.3f;

Biquad Section(float cornerHz, float rateHz, bool high) {
    const double w = 2.0 * std::numbers::pi * std::min<double>(cornerHz, rateHz * 0.45) / rateHz;
    constexpr double kQ = 1.0 / std::numbers::sqrt2;  // Butterworth: flat to the corner
    const double alpha = std::sin(w) / (2.0 * kQ);
    const double cw = std::cos(w);
    const double a0 = 1.0 + alpha;
    Biquad q;
    if (high) {
        q.b0 = static_cast<float>((1.0 + cw) / 2.0 / a0);
        q.b1 = static_cast<float>(-(1.0 + cw) / a0);
    } else {
        q.b0 = static_cast<float>((1.0 - cw) / 2.0 / a0);
        q.b1 = static_cast<float>((1.0 - cw) / a0);
    }
    q.b2 = q.b0;
    q.a1 = static_cast<float>(-2.0 * cw / a0);
    q.a2 = static_cast<float>((1.0 - alpha) / a0);
    return q;
}

void Size(std::vector<float>& line, double seconds, ULONG rateHz) {
    line.assign(std::max<size_t>(1, static_cast<size_t>(seconds * rateHz + 0.5)), 0.0f);
}

}  // namespace

std::span<const EffectInfo> Effects() { return kEffects; }

Biquad Biquad::LowPass(float cornerHz, float rateHz) { return Section(cornerHz, rateHz, false); }
Biquad Biquad::HighPass(float cornerHz, float rateHz) { return Section(cornerHz, rateHz, true); }

void EffectProcessor::Configure(EffectKind kind, ULONG rateHz, ULONG channels) {
    if (kind == kind_ && rateHz == rateHz_ && channels == channels_) return;
    kind_ = kind;
    rateHz_ = rateHz;
    channels_ = channels;
    const float rate = static_cast<float>(rateHz);
    chain_.clear();
    switch (kind) {
        case EffectKind::Telephone:
            // Two sections each side: 24 dB an octave outside the band.
            chain_ = {Biquad::HighPass(300, rate), Biquad::HighPass(300, rate), Biquad::LowPass(3400, rate),
                      Biquad::LowPass(3400, rate)};
            break;
        case EffectKind::Underwater: chain_ = {Biquad::LowPass(500, rate), Biquad::LowPass(500, rate)}; break;
        case EffectKind::Robot:
        case EffectKind::Hall: break;
    }
    state_.assign(channels, Channel{});
    if (kind == EffectKind::Hall) {
        for (Channel& c : state_) {
            for (int i = 0; i < 4; ++i) Size(c.combs[i].line, kCombSeconds[i], rateHz);
            for (int i = 0; i < 2; ++i) Size(c.allpasses[i].line, kAllpassSeconds[i], rateHz);
        }
    }
    phase_ = 0;
    phaseStep_ = (kind == EffectKind::Robot ? kRobotHz : kSwellHz) / rateHz;
}

float EffectProcessor::Filter(Channel& c, float x) {
    for (size_t i = 0; i < chain_.size(); ++i) {
        const Biquad& q = chain_[i];
        auto& s = c.biquadState[i];
        const float y = q.b0 * x + s[0];
        s[0] = q.b1 * x - q.a1 * y + s[1];
        s[1] = q.b2 * x - q.a2 * y;
        x = y;
    }
    return x;
}

float EffectProcessor::Reverberate(Channel& c, float x) {
    float sum = 0;
    for (Delay& d : c.combs) {
        const float out = d.line[d.at];
        d.line[d.at] = x + kCombFeedback * out;
        d.at = d.at + 1 == d.line.size() ? 0 : d.at + 1;
        sum += out;
    }
    float y = sum * 0.25f;
    for (Delay& d : c.allpasses) {
        const float delayed = d.line[d.at];
        const float in = y + kAllpassGain * delayed;
        d.line[d.at] = in;
        d.at = d.at + 1 == d.line.size() ? 0 : d.at + 1;
        y = delayed - kAllpassGain * in;
    }
    return (1.0f - kHallWet) * x + kHallWet * y;
}

void EffectProcessor::Process(SHORT* samples, ULONG frames) {
    for (ULONG f = 0; f < frames; ++f) {
        const float oscillator = static_cast<float>(std::sin(2.0 * std::numbers::pi * phase_));
        phase_ += phaseStep_;
        if (phase_ >= 1.0) phase_ -= 1.0;
        for (ULONG ch = 0; ch < channels_; ++ch) {
            SHORT& sample = samples[static_cast<size_t>(f) * channels_ + ch];
            float x = sample;
            switch (kind_) {
                case EffectKind::Robot: x *= oscillator; break;
                case EffectKind::Telephone: x = Filter(state_[ch], x); break;
                case EffectKind::Hall: x = Reverberate(state_[ch], x); break;
                case EffectKind::Underwater:
                    x = Filter(state_[ch], x) * (1.0f - kSwellDepth * 0.5f * (1.0f + oscillator));
                    break;
            }
            sample = static_cast<SHORT>(std::lrint(std::clamp(x, -32768.0f, 32767.0f)));
        }
    }
}

}  // namespace k0340afx
