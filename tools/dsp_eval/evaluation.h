// `qk0340 dsp eval`: the stages and the SpeexDSP anchors on the synthetic
// scenes of the camera, with the figures the filter is judged by.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qk::dsp {

struct EvalRow {
    std::string stage;
    int rateHz;
    std::string figure;
    double ours;
    double anchor;  // NaN where there is no anchor
};

// `echoResidualSuppression` false evaluates the linear echo canceller alone;
// `variant` other than 0 renders other talkers, noises and echoes (another
// seed for every scene) to show how much the figures depend on the signals.
std::vector<EvalRow> Evaluate(const std::vector<int>& rates, double seconds,
                              const std::function<void(size_t, size_t)>& progress = {},
                              bool echoResidualSuppression = true, uint32_t variant = 0);

}  // namespace qk::dsp
