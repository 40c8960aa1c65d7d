// Synthetic sound scene at the camera's two microphones, 10 cm apart on a
// line across the front of the camera: a talker straight ahead, noise
// sources at other angles (fractional inter-microphone delays), diffuse
// noise (many uncorrelated sources all around) and the echo of the far-end
// signal from the camera's loudspeaker (a delay and a decaying impulse
// response). Every component is kept separately so tests can measure what
// processing removed. Any rate from 8000 to 48000 Hz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sound/speech.h"

namespace qk::sim {

struct NoiseSource {
    double angleDeg = 60;  // 0 = straight ahead, positive towards microphone 1
    double level = 500;    // RMS in 16-bit units
    uint32_t seed = 7;
    bool speechLike = false;  // another talker instead of noise
    // A recorded talker (at the scene's rate, used as it is) instead of
    // either; not owned, it outlives the rendering.
    const SpeechSignal* speech = nullptr;
};

struct SceneOptions {
    double rateHz = 16000;
    double seconds = 4;
    uint32_t seed = 1;
    double spacingM = 0.10;
    double speedOfSoundMps = 343;
    bool talker = true;
    double talkerLevel = 3000;
    double talkerStartS = 0, talkerEndS = 1e9;  // the talker talks only inside
    std::vector<NoiseSource> noise;
    double diffuseLevel = 0;  // RMS per microphone
    bool echo = false;
    double farLevel = 5000;
    double farStartS = 0, farEndS = 1e9;
    double echoDelayMs = 24;   // loudspeaker to microphone, first arrival
    double echoGain = 0.6;     // of the first arrival
    double echoDecayMs = 35;   // decay time constant of the reflections
    // Recorded speech (at the scene's rate, used at its own level) instead of
    // the synthetic talker and far end; not owned. Shorter signals end in silence.
    const SpeechSignal* talkerSpeech = nullptr;
    const SpeechSignal* farSpeech = nullptr;
};

struct Scene {
    double rateHz = 0;
    std::vector<float> talker[2], side[2], diffuse[2], echo[2];
    std::vector<float> farEnd;  // what the loudspeaker plays
    std::vector<uint8_t> talkerActive, farActive;
    long echoDelaySamples = 0;  // first arrival of the echo, in samples
    std::vector<float> echoPath[2];  // impulse responses, loudspeaker to microphone

    std::size_t size() const { return talker[0].size(); }
    // Sum of the chosen components at microphone `channel` (0 or 1).
    std::vector<float> Mix(int channel, bool withTalker, bool withSide, bool withDiffuse, bool withEcho,
                           float talkerSign = 1.0f) const;
    std::vector<float> Mic(int channel) const { return Mix(channel, true, true, true, true); }
    // What the microphone picks up of a signal the loudspeaker plays.
    std::vector<float> ThroughEchoPath(const std::vector<float>& played, int channel) const;
};

Scene RenderScene(const SceneOptions& options);

}  // namespace qk::sim
