#include "audiofilter/dsp/dc_blocker.h"

namespace qk::dsp {

namespace {

struct DcRow {
    ULONG upToRateHz;
    float r;
};

constexpr DcRow kDcRows[] = {
    {.upToRateHz = 8000, .r = 0.98f},  {.upToRateHz = 11025, .r = 0.985f}, {.upToRateHz = 16000, .r = 0.99f},
    {.upToRateHz = 22050, .r = 0.993f},
};
constexpr float kDcAbove = 0.995f;

}  // namespace

float DcBlocker::CoefficientForRate(ULONG rateHz) {
    for (const DcRow& row : kDcRows)
        if (rateHz <= row.upToRateHz) return row.r;
    return kDcAbove;
}

void DcBlocker::SetRate(ULONG rateHz) {
    r_ = CoefficientForRate(rateHz);
    Reset();
}

void DcBlocker::Process(float* samples, size_t count) { Process(samples, samples, count); }

void DcBlocker::Process(const float* in, float* out, size_t count) {
    float r = r_, x1 = x1_, y1 = y1_;
    for (size_t i = 0; i < count; ++i) {
        float x = in[i];
        y1 = r * (x - x1 + y1);
        x1 = x;
        out[i] = y1;
    }
    x1_ = x1;
    y1_ = y1;
}

}  // namespace qk::dsp
