// Runs one processing feature over a whole recording the way the capture
// processor and the echo path run it, and returns the mono result lined up
// with the input.
#pragma once

#include <functional>
#include <string>

#include "tools/dsp_eval/sound_file.h"

namespace qk::dsp {

enum class Feature { kNoiseGuard, kBfa, kBfa3, kEchoQuell };

// Parses "noiseguard", "bfa", "bfa3", "echoquell"; false otherwise.
bool ParseFeature(const std::string& name, Feature& feature);

// `progress` gets frames done and total. Returns an empty string or the
// reason the input cannot be processed. `reference` is needed for EchoQuell
// (the far-end signal as played, same rate); `knownDelay` is its echo delay
// in samples (-1: found by correlation) and `residualSuppression` false runs
// the linear canceller alone.
std::string RunFeature(Feature feature, const Sound& mic, const Sound* reference, Sound& out,
                       const std::function<void(size_t, size_t)>& progress = {}, long knownDelay = -1,
                       bool residualSuppression = true);

}  // namespace qk::dsp
