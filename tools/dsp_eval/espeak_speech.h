// Synthesized speech for the evaluation's speech scenes: sentences spoken by
// espeak-ng (a Debian package that scripts/deps.sh installs; the scenes are
// skipped when it is absent), resampled to the scene's rate, joined with
// pauses to the length asked for and scaled to a talking level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sound/speech.h"

namespace qk::dsp {

struct SpokenOptions {
    std::string voice = "en-us";  // an espeak-ng voice ("en-gb+f3" and the like)
    std::vector<std::string> sentences;
    int words = 150;              // per minute
    double rateHz = 16000;
    double seconds = 8;
    double level = 3000;          // RMS while talking, 16-bit units
    double pauseS = 0.5;          // between sentences (and before the first)
};

// Where espeak-ng is (the environment's QK_ESPEAK_NG when set), or empty when
// it is not installed.
std::string EspeakProgram();

// Empty on success, else why there is no speech (the program missing or failing).
std::string Speak(const SpokenOptions& options, qk::sim::SpeechSignal* out);

// Band-limited resampling (windowed sinc) of a mono signal.
std::vector<float> Resample(const std::vector<float>& x, double fromHz, double toHz);

}  // namespace qk::dsp
