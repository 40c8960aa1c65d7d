// The voice effects of the audio effects library: a table of what is offered
// and one processor that runs the chosen effect over interleaved 16-bit audio,
// keeping its filter and delay state between calls so blocks join seamlessly.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "minwindef.h"
#include "ntdef.h"

namespace k0340afx {

enum class EffectKind : ULONG {
    Robot = 1,       // ring modulation: every partial split into two beside it
    Telephone = 2,   // the 300-3400 Hz band of a telephone line
    Hall = 3,        // a large room's reverberation
    Underwater = 4,  // muffled, slowly swelling
};

struct EffectInfo {
    const char* key;
    const char* displayName;
    EffectKind kind;
};

std::span<const EffectInfo> Effects();

constexpr ULONG kMaxChannels = 8;
constexpr ULONG kMinRateHz = 8000;
constexpr ULONG kMaxRateHz = 192000;

// Second-order section in direct form II transposed (coefficients after the
// audio EQ cookbook of R. Bristow-Johnson), one state pair a channel.
struct Biquad {
    float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    static Biquad LowPass(float cornerHz, float rateHz);
    static Biquad HighPass(float cornerHz, float rateHz);
};

class EffectProcessor {
public:
    // A change of effect, rate or channel count starts from silence.
    void Configure(EffectKind kind, ULONG rateHz, ULONG channels);
    void Process(SHORT* samples, ULONG frames);

private:
    struct Delay {
        std::vector<float> line;
        size_t at = 0;
    };
    struct Channel {
        std::array<std::array<float, 2>, 4> biquadState{};
        std::array<Delay, 4> combs;
        std::array<Delay, 2> allpasses;
    };
    float Filter(Channel& c, float x);
    float Reverberate(Channel& c, float x);

    EffectKind kind_ = EffectKind::Robot;
    ULONG rateHz_ = 0;
    ULONG channels_ = 0;
    std::vector<Biquad> chain_;
    std::vector<Channel> state_;
    double phase_ = 0;      // of the modulating oscillator, in cycles
    double phaseStep_ = 0;  // cycles a frame
};

}  // namespace k0340afx
