// Per-bin loop of the BFA3 stage: magnitudes of both microphones, the
// smoothed cross-spectrum and its direction code. A plain reference kernel
// and a four-lane one; a test holds them equal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::dsp {

struct BinAnalysis {
    const float* x1;  // first microphone's spectrum, real and imaginary interleaved
    const float* x2;  // second microphone's
    float fresh, kept;  // cross-spectrum smoothing: fresh * X1 conj(X2) + kept * old
    float* cross;       // smoothed cross-spectrum (interleaved), updated in place
    // cos(m T k) for m = 1, 2, 3: a bin lies within m T k of the front when
    // Re C > cos(m T k) |C|.
    const float* threshold1;
    const float* threshold2;
    const float* threshold3;
    float* magnitude1;
    float* magnitude2;
    int32_t* direction;  // smallest m that holds, 4 when none
};

void AnalyseBinsReference(const BinAnalysis& a, size_t from, size_t to);
void AnalyseBinsFast(const BinAnalysis& a, size_t from, size_t to);

}  // namespace qk::dsp
