// `qk0340 dsp eval --speech`: scenes built from espeak-ng speech (a talker in
// front, a second talker to the side, noise, a far end through the room) and
// each feature's figures from the stages alone and, where a driver runner is
// given, from the same scene recorded through the whole audio stack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/sound_file.h"

namespace qk::dsp {

struct SpeechRow {
    std::string stage;
    int rateHz;
    std::string figure;
    double stages;  // the stages alone
    double driver;  // through the driver (NaN without a runner)
};

// Records `mic` (stereo, the scene at the camera's microphones) through the
// audio stack with only `feature` switched on; `out` gets the recording's
// first channel, starting where the scene starts (the processing's latency
// included). Empty on success, else why not.
using DriverCapture = std::function<std::string(Feature feature, const Sound& mic, Sound* out)>;

// A room for a call: what the far end says and how the loudspeaker reaches
// each microphone.
struct CallRoom {
    int rateHz = 16000;
    std::vector<float> farEnd;       // 16-bit scale
    std::vector<float> echoPath[2];  // impulse responses, loudspeaker to microphone
};

// A call through the audio stack: the headset's loudspeaker plays the room's
// far end while its microphones hear it through the room's echo paths,
// EchoQuell on or off; `out` gets the recording's first channel.
using DriverCall = std::function<std::string(const CallRoom& room, bool cancel, Sound* out)>;

// Empty `skipped` and the rows, or the reason there are none (espeak-ng
// missing). `progress` gets steps done and the total. The echo scene runs at
// 16000 Hz, the headset's call rate, whatever `rates` holds.
std::vector<SpeechRow> EvaluateSpeech(const std::vector<int>& rates, double seconds, const DriverCapture& driver,
                                      const DriverCall& call, std::string* skipped,
                                      const std::function<void(size_t, size_t)>& progress = {});

// The lag (0..maxLag) by which `late` trails `early` best, by correlation.
size_t Latency(const std::vector<float>& early, const std::vector<float>& late, size_t maxLag);

}  // namespace qk::dsp
