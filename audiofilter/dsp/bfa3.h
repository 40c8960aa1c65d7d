// BFA3: directional two-microphone mode at 8000 Hz in the short-time
// Fourier domain (256-point frames, hop 128). It learns the relative
// transfer function (RTF) between the microphones for the talker in front
// from frames in which strong bins arrive from within about 10 degrees of the
// front axis. X1 - RTF X2 then holds everything except the talker; an
// adaptive canceller per bin removes what of it leaks into the talker-aligned
// beam, so sound from the sides is suppressed and the talker kept.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audiofilter/dsp/aligned_output.h"
#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/resampler.h"

struct kiss_fftr_state;

namespace qk::dsp {

class Bfa3 : public Stage {
public:
    static constexpr size_t kFrame = 256;
    static constexpr size_t kHop = 128;
    static constexpr size_t kBins = kFrame / 2 + 1;
    // Phase slope per bin of a source 10.14 degrees off the front axis for
    // microphones 10 cm apart at the nominal 8000 Hz.
    static const float kLookThreshold;

    Bfa3() = default;
    ~Bfa3() override;

    // Rates outside 8000..48000 Hz leave the stage not ready (it then
    // passes the half sum of the channels through).
    bool Setup(ULONG rateHz);

private:
    bool Configure(ULONG rateHz);

public:
    bool ready() const { return ready_; }
    bool overflowed() const { return overflow_; }

    size_t Process(const float* left, const float* right, size_t count, float* out);
    size_t Delay() const { return output_.holdBack(); }

    // For tests: the learned relative transfer function of a bin and how
    // many frames updated it.
    Complex rtf(size_t bin) const { return rtf_[bin]; }
    unsigned long long rtfUpdates() const { return rtfUpdates_; }

private:
    struct Floor {
        DspVector<float> smoothed, noise, subMinimum, current;
        DspVector<float> kept;  // minima of the last sub-windows
        DspVector<float> keptMinimum;
    };
    void ProcessBlock(const float* left, const float* right, size_t count);
    void ProcessFrame();
    void AnalyseFrame(bool first);
    void SmoothAndTrack(const float* magnitude, Floor& f, bool first);
    void CloseSubWindow(Floor& f);

    bool ready_ = false;
    bool overflow_ = false;
    size_t stepsDown_ = 0;
    Resampler downLeft_[2], downRight_[2], up_[2];
    DcBlocker dcLeft_, dcRight_;
    DspVector<float> window_;
    kiss_fftr_state* forward_ = nullptr;
    kiss_fftr_state* inverse_ = nullptr;
    DspVector<float> historyLeft_, historyRight_;  // last kFrame samples at 8000 Hz
    size_t fill_ = 0;
    DspVector<float> frame_;
    DspVector<Complex> x1_, x2_, y_;
    DspVector<float> m1_, m2_, overlap_, ola_;
    Floor floor1_, floor2_;
    DspVector<Complex> cross_, rtf_, canceller_;
    DspVector<int32_t> direction_;  // smallest multiple of T within which the bin lies (4: none)
    DspVector<int32_t> class_;
    DspVector<float> cosThreshold_;
    DspVector<float> blockedPower_;
    unsigned long long frames_ = 0;
    unsigned long long rtfUpdates_ = 0;
    size_t subWindow_ = 22, subWindowCount_ = 0, keptSlots_ = 4, filledSlots_ = 0;
    AlignedOutput output_;
    DspVector<float> a1_, a2_, b1_, b2_, low_, up1_, up2_;
};

}  // namespace qk::dsp
