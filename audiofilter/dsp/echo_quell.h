// EchoQuell: acoustic echo canceller of the echo path. It starts in
// calibration: the render side plays a known probe and the capture side
// records the microphone, and the delay of the loudspeaker-to-microphone
// path is measured from the recording by normalised cross-correlation. Then
// per-band adaptive filters fed with the reference delayed by that amount
// estimate the echo and remove it.
//
// Threads: the canceller's worker calls Process(); the delay-estimation
// thread calls EstimateDelay() once ResponseFull() holds; the render and
// capture sides call the calibration calls. Until the delay is measured the
// worker must not call Process() (the echo path routes the microphone to the
// response buffer instead), and from then on calibration is over.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <atomic>
#include <cstddef>
#include <span>
#include <vector>

#include "audiofilter/dsp/band_filter.h"
#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/filter_bank.h"
#include "audiofilter/dsp/resampler.h"
#include "audiofilter/dsp/sample_ring.h"

namespace qk::dsp {

constexpr size_t kCalibrationTableLength = 2721;
// The stored probe at 8000 Hz: a deterministic broadband noise burst with
// short fades, whose autocorrelation has a single sharp peak.
std::span<const int16_t> CalibrationTable();

class EchoQuell : public Stage {
public:
    static constexpr size_t kCollectSamples = 205;
    static constexpr float kStepConstant = 0.0045f;
    static constexpr size_t kMaxStep = 2048;

    EchoQuell() = default;

    // False for rates outside 8000..48000 Hz; the canceller then passes the
    // DC-free microphone through.
    bool Setup(ULONG rateHz, const BandKernels& kernels = FastKernels());

private:
    bool Configure(ULONG rateHz, const BandKernels& kernels);

public:
    bool ready() const { return ready_; }
    ULONG rate() const { return rateHz_; }

    // Calibration: the probe at the capture rate, played once by the render
    // side; the microphone's response is recorded behind it.
    std::span<const int16_t> CalibrationSignal() const { return calibration_; }
    // Next render sample during calibration: the probe, then silence.
    int16_t NextCalibrationSample();
    // Records microphone samples; returns how many were taken.
    size_t RecordResponse(const int16_t* mic, size_t count);
    bool ResponseFull() const { return responseCount_.load(std::memory_order_acquire) == response_.size(); }
    std::span<const int16_t> Response() const { return {response_.data(), responseCount_.load()}; }

    // Delay-estimation thread: measures the delay from the full response,
    // hands it to the filters and ends calibration. Returns the delay.
    LONG EstimateDelay();
    // Ends calibration with a known delay (negative values count as 0).
    void SetDelay(LONG samples);
    LONG delay() const { return delay_.load(std::memory_order_acquire); }
    bool calibrating() const { return calibrating_.load(std::memory_order_acquire); }

    // Cancel (true) or pass the DC-free microphone through (false), through
    // the same bank either way: the output's latency does not change.
    void SetEnabled(bool on) { enabled_.store(on, std::memory_order_release); }
    // Suppression of the residual echo after the filters (on by default).
    void SetResidualSuppression(bool on) { residualSuppression_ = on; }
    bool enabled() const { return enabled_.load(std::memory_order_acquire); }

    // The worker step: `count` microphone and reference samples in, `count`
    // processed microphone samples out (`out` may be `mic`).
    void Process(const int16_t* mic, const int16_t* reference, size_t count, int16_t* out);
    // Echo reduction of the last half second, 0..100.
    ULONG EchoReduction() const { return echoReduction_.load(std::memory_order_acquire); }
    // Output delay of the cancelling path against its microphone input.
    size_t Latency() const { return latency_; }
    // Samples a ring could not take or give since set-up: 0 unless the
    // stage is broken; the echo path fails over to pass-through on any.
    size_t Lost() const { return lost_.load(std::memory_order_acquire); }
    // Share of band samples (since set-up) in which the filters adapted.
    double AdaptingShare() const { return frames_ ? double(adaptingFrames_) / frames_ : 0.0; }

private:
    struct Band {
        BandFilter filter;
        SampleRing<Complex> delayLine;  // reference band samples waiting out the delay
        size_t delayBands = 0;
        float twoMu = 0;
        size_t collected = 0;
        float sumMic = 0, sumReference = 0;
        float micAverage = 1, referenceAverage = 1, errorAverage = 10;
        float micSlow = 0, errorSlow = 0;
        // Residual echo model: held echo-estimate power and the learnt leak.
        float echoHold = 0, leakError = 0, leakEcho = 0, leak = 0, lastCleanPower = 0;
        // Reference-driven residual model: held reference power and, per
        // kind of far end (dark, bright), the learnt leak from it.
        float referenceHold = 0, leakMic = 0;
        float kindError[2] = {}, kindReference[2] = {}, referenceLeak[2] = {};
        // Double-talk statistic: smoothed error power, expected residual, the
        // error's floor, and the error's cross power with the echo estimate.
        float talkError = 0, talkResidual = 0, errorFloor = 0, talkEcho = 0;
        Complex talkCross;
    };
    void ProcessFrame(const Complex* mic, const Complex* reference, Complex* out);
    // Above 24000 Hz: the microphone band above the reduced rate, which the
    // bands never see, with its own residual echo suppression.
    void SetupHighBand();
    void ProcessHighBand(size_t inputs, size_t lowCount, bool cancel);
    // Switched off: the microphone's bands pass, the reference keeps flowing.
    void BypassFrame(const Complex* mic, const Complex* reference, Complex* out);
    void HighBandBlock();
    bool DecideAdaptation(const Complex* mic, const Complex* reference);

    void Keep(size_t done, size_t wanted) {
        if (done < wanted) lost_.fetch_add(wanted - done, std::memory_order_acq_rel);
    }
    std::atomic<size_t> lost_{0};
    bool configured_ = false;  // the last set-up ran to its end
    bool ready_ = false;
    ULONG rateHz_ = 0;
    ULONG reduction_ = 1;
    DspVector<int16_t> calibration_;
    size_t calibrationPosition_ = 0;
    DspVector<int16_t> response_;
    std::atomic<size_t> responseCount_{0};
    std::atomic<LONG> delay_{-1};
    std::atomic<bool> calibrating_{true};
    std::atomic<bool> enabled_{true};
    std::atomic<ULONG> echoReduction_{0};

    DcBlocker dc_;
    Resampler decimateMic_, decimateReference_, interpolator_;
    SubbandAnalyzer analyzerMic_, analyzerReference_;
    SubbandSynthesizer synthesizer_;
    DspVector<Band> bands_;
    DspVector<float> hp_, ref_, lowMic_, lowReference_, lowOut_, high_;
    DspVector<Complex> delayed_, frame_;
    FloatRing output_;
    size_t latency_ = 0;

    // Double-talk detection (whole frame).
    float micLevel_ = 0, referenceLevel_ = 0, referencePeak_ = 0, referenceFloor_ = 0;
    float echoLevel_ = 0;
    DspVector<Complex> echoes_;
    DspVector<float> cancellation_;  // scratch: per band error over microphone power
    bool residualSuppression_ = true;
    ULONG hangover_ = 0, talkFrames_ = 0, release_ = 0;
    ULONG suppressHang_ = 0;  // band frames the residual suppression stays relaxed for talk
    float talkMic_ = 0, micLongTerm_ = 0;
    float referenceLow_ = 0, referenceHigh_ = 0;
    bool bright_ = false;                // the far end's power lies mostly above its lowest quarter
    unsigned long long leakFrames_ = 0;  // band frames in which the residual leaks learnt
    DspVector<float> referenceHistory_;
    size_t referenceHistoryPos_ = 0;
    unsigned long long frames_ = 0, adaptingFrames_ = 0;

    // High band (reduction 2 only).
    Resampler bypassMicUp_, bypassReferenceUp_;
    FloatRing micWait_, referenceWait_;  // full-rate input waiting out the converters' delay
    FloatRing highLine_;                 // high band waiting out the bands' extra delay
    DspVector<float> lowUpMic_, lowUpReference_, highOut_;
    DspVector<float> highReferenceBlocks_;  // block powers of the reference's high band
    size_t highBlockPos_ = 0, highBlockFill_ = 0;
    float highMicSum_ = 0, highReferenceSum_ = 0, highHold_ = 0;
    float highLeakMic_ = 0, highLeakHold_ = 0, highLeak_ = 0, highLastClean_ = 0;
    float highGain_ = 1, highGainTarget_ = 1;
    bool lastLearn_ = false;

    // Echo reduction figure.
    double sumIn_ = 0, sumOut_ = 0;
    size_t figureCount_ = 0;
};

}  // namespace qk::dsp
