// A speech-like test signal: voiced segments (a glottal-like harmonic series
// with a gliding pitch, shaped by three formants) and a few noisy fricative
// segments, separated by pauses. Deterministic for a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qk::sim {

struct SpeechOptions {
    double rateHz = 16000;
    double seconds = 4;
    uint32_t seed = 1;
    double pitchHz = 120;       // mean fundamental
    double level = 3000;        // peak-ish amplitude in 16-bit units
    double pauseShare = 0.35;   // fraction of time in pauses
};

struct SpeechSignal {
    std::vector<float> samples;
    std::vector<uint8_t> active;  // 1 where the talker talks
};

SpeechSignal RenderSpeech(const SpeechOptions& options);

// Uniform white noise of unit variance, deterministic for a seed.
std::vector<float> WhiteNoise(std::size_t count, uint32_t seed);

}  // namespace qk::sim
