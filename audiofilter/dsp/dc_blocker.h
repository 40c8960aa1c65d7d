// First-order DC removal: y[n] = r (x[n] - x[n-1] + y[n-1]).
#pragma once

#include <cstddef>

#include "ntdef.h"

namespace qk::dsp {

class DcBlocker {
public:
    // The pole moves closer to 1 as the rate grows so that the corner stays
    // near 25 Hz, below the voice band.
    static float CoefficientForRate(ULONG rateHz);

    // Recomputes r for the rate and clears the state.
    void SetRate(ULONG rateHz);
    void Reset() { x1_ = 0.0f; y1_ = 0.0f; }
    float coefficient() const { return r_; }

    float Process(float x) {
        float y = r_ * (x - x1_ + y1_);
        x1_ = x;
        y1_ = y;
        return y;
    }
    void Process(float* samples, size_t count);
    void Process(const float* in, float* out, size_t count);

private:
    float r_ = 0.98f;
    float x1_ = 0.0f;
    float y1_ = 0.0f;
};

}  // namespace qk::dsp
