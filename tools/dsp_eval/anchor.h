// The SpeexDSP comparison anchors (tests, `dsp eval`, benchmarks only).
#pragma once

#include <cstdint>
#include <vector>

namespace qk::dsp::anchor {

// Noise suppressor only (no gain control, no residual echo suppression).
std::vector<float> SpeexDenoise(const std::vector<float>& mono, int rateHz);
// Echo canceller with a filter of `filterMs`; 10 ms frames. With
// `suppressResidual` its preprocessor also suppresses the residual echo.
std::vector<float> SpeexEcho(const std::vector<float>& mic, const std::vector<float>& far, int rateHz, int filterMs,
                             bool suppressResidual = false);

}  // namespace qk::dsp::anchor
