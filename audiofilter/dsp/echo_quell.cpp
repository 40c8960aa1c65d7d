#include "audiofilter/dsp/echo_quell.h"

#include <new>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qk::dsp {

namespace {

constexpr ULONG kCalibrationRateHz = 8000;
constexpr size_t kDroppedCalibration = 120;
constexpr size_t kCalibrationSlack = 10;
constexpr float kMinErrorAverage = 10.0f;
constexpr float kDivergenceFactor = 1.2f;
constexpr float kDivergenceShrink = 0.97f;
// Far-end activity: frames of reference history that the echo tail can
// reach back.
constexpr size_t kReferenceHistoryFrames = 64;
// Double-talk detection. Per band, the error power and the residual the
// model expects are smoothed over a few band frames (kTalkBandSmoothing); a
// band is in excess when its error lies more than kTalkExcess times above
// the expected residual plus its own floor. Only bands whose filters leave
// at most kUsableCancellation of the microphone's power take part, or the
// kMinUsableBands best ones (elsewhere the residual model is too rough to
// tell talk from echo), and not while their error is coherent with the
// echo estimate (kEchoCoherence). Talk needs kTalkShare of the error power
// in excess, spread over at least kTalkBands bands (one band alone is more
// often a badly modelled echo than a talker), the microphone at
// kTalkMinLevel of its long-term level, and residual models that have
// learnt for kLeakSettleFrames. Talk relaxes the residual suppression for
// kSuppressHangFrames; talk over at least kFreezeBands bands also stops
// adaptation for kHangoverFrames.
constexpr float kTalkBandSmoothing = 0.8f;
constexpr float kEchoCoherence = 0.3f;
constexpr float kTalkExcess = 4.0f;
constexpr float kUsableCancellation = 0.1f;
constexpr size_t kMinUsableBands = 6;
constexpr float kTalkShare = 0.2f;
constexpr size_t kTalkBands = 2;
constexpr size_t kFreezeBands = 3;
constexpr float kTalkSmoothing = 0.9f;
constexpr float kTalkMinLevel = 0.05f;
constexpr unsigned long long kLeakSettleFrames = 1000;
constexpr ULONG kSuppressHangFrames = 30;
constexpr ULONG kHangoverFrames = 40;
// The error floor of a band follows its minimum and rises this much per
// band frame.
constexpr float kFloorRise = 1.002f;
// A detector that fires for this many frames in a row stands down for the
// second count (an echo path change looks like endless talk).
constexpr ULONG kMaxTalkFrames = 600;
constexpr ULONG kReleaseFrames = 300;
// Residual echo suppression after the filters: the residual is the larger
// of two learnt models (a leak times the held power of the echo estimate, a
// leak times the held power of the delayed reference), counted this many
// times over (far less while near-end talk is detected); Wiener gain with
// decision-directed a-priori smoothing, and its floor (-26 dB).
constexpr float kResidualOver = 8.0f;
constexpr float kTalkResidualOver = 0.1f;
constexpr float kResidualFloor = 0.05f;
constexpr float kPriorSmoothing = 0.8f;
constexpr float kEchoHoldDecay = 0.98f;
constexpr float kLeakSmoothing = 0.998f;
constexpr float kMaxLeak = 4.0f;
// The microphone must be within this factor of the echo estimate for the
// leak to be learnt.
constexpr float kLeakMicExcess = 1.5f;
// High band (above the reduced rate): power blocks of 32 samples, the hold
// of the reference's high-band power over the echo tail, and the smoothing
// of its learnt leak.
constexpr size_t kHighBlock = 32;
constexpr float kHighHoldDecay = 0.9f;
constexpr float kHighLeakSmoothing = 0.995f;

struct TailRow {
    ULONG upToRateHz;
    size_t samples;
};
constexpr TailRow kTails[] = {{8000, 3200},   {12000, 4400},  {16000, 6400}, {24000, 8800},
                              {32000, 12800}, {44100, 17600}};
constexpr size_t kTailAbove = 19200;

size_t ResponseTail(ULONG rateHz) {
    for (const TailRow& row : kTails)
        if (rateHz <= row.upToRateHz) return row.samples;
    return kTailAbove;
}

ULONG DelayDecimation(ULONG rateHz) {
    if (rateHz <= 12000) return 1;
    if (rateHz <= 24000) return 2;
    if (rateHz <= 44100) return 4;
    return 6;
}

struct CalibrationStore {
    int16_t samples[kCalibrationTableLength];
    CalibrationStore() {
        // xorshift noise, fixed seed; 64-sample raised-cosine fades keep the
        // loudspeaker from clicking.
        uint32_t state = 0x2545F491u;
        for (size_t i = 0; i < kCalibrationTableLength; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            double v = (double(state) / 4294967296.0 - 0.5) * 2.0;
            double fade = 1.0;
            constexpr size_t kFade = 64;
            if (i < kFade) fade = 0.5 - 0.5 * std::cos(3.14159265358979 * i / kFade);
            if (i >= kCalibrationTableLength - kFade)
                fade = 0.5 - 0.5 * std::cos(3.14159265358979 * (kCalibrationTableLength - 1 - i) / kFade);
            samples[i] = int16_t(std::lround(v * 12000.0 * fade));
        }
    }
};

int16_t ToInt16(float v) {
    if (v > 32767.0f) return 32767;
    if (v < -32767.0f) return -32767;
    if (!(v == v)) return 0;
    return int16_t(std::lround(v));
}

}  // namespace

std::span<const int16_t> CalibrationTable() {
    static const CalibrationStore store;
    return store.samples;
}

bool EchoQuell::Setup(ULONG rateHz, const BandKernels& kernels) {
    // A set-up that runs out of memory leaves the stage not ready (it passes
    // its input through) instead of throwing into the driver.
    try {
        ready_ = Configure(rateHz, kernels);
    } catch (const std::bad_alloc&) {
        ready_ = false;
    }
    return ready_;
}

bool EchoQuell::Configure(ULONG rateHz, const BandKernels& kernels) {
    configured_ = false;
    ready_ = rateHz >= 8000 && rateHz <= kMaxRateHz;
    rateHz_ = rateHz;
    lost_ = 0;
    dc_.SetRate(rateHz);
    reduction_ = ready_ && rateHz > 24000 ? 2 : 1;
    ULONG processingRate = rateHz / reduction_;
    BandPlan plan = EchoPlanForRate(processingRate);

    // The probe at the capture rate: up from 8000 Hz along the reverse of
    // the conversion path, into rate * 2721 / 8000 + 10 samples, less the
    // first 120 (the filters' rise).
    calibration_.clear();
    if (ready_) {
        EightKiloHertzPath path = PathTo8000(rateHz);
        DspVector<float> signal(CalibrationTable().begin(), CalibrationTable().end());
        signal.resize(signal.size() + 256, 0.0f);
        for (size_t s = path.count; s-- > 0;) {
            Resampler r;
            r.Setup(RateRatio{path.steps[s].down, path.steps[s].up});
            DspVector<float> next(r.MaxOutput(signal.size()));
            next.resize(r.Process(signal.data(), signal.size(), next.data()));
            signal.swap(next);
        }
        size_t total = size_t(rateHz) * kCalibrationTableLength / kCalibrationRateHz + kCalibrationSlack;
        signal.resize(std::max(total, signal.size()), 0.0f);
        for (size_t i = kDroppedCalibration; i < total; ++i) calibration_.push_back(ToInt16(signal[i]));
    }
    calibrationPosition_ = 0;
    response_.assign(calibration_.size() + (ready_ ? ResponseTail(rateHz) : 0), 0);
    responseCount_.store(0);
    delay_.store(-1);
    calibrating_.store(true);
    echoReduction_.store(0);

    decimateMic_.Setup(RateRatio{1, reduction_});
    decimateReference_.Setup(RateRatio{1, reduction_});
    interpolator_.Setup(RateRatio{reduction_, 1});
    bool banks = analyzerMic_.Setup(plan);
    banks = analyzerReference_.Setup(plan) && banks;
    banks = synthesizer_.Setup(plan) && banks;
    bands_.clear();
    bands_.resize(plan.uniqueBands());
    size_t maxDelayBands = response_.size() / reduction_ / plan.decimation + 1;
    for (size_t j = 0; j < bands_.size(); ++j) {
        size_t length = BandFilterLength(plan.bands, j);
        bands_[j].filter.Setup(length, kernels);
        bands_[j].twoMu = 2.0f * kStepConstant / float(length);
        bands_[j].delayLine.Allocate(maxDelayBands + 1);
    }
    delayed_.assign(plan.uniqueBands(), Complex());
    frame_.assign(plan.uniqueBands(), Complex());
    hp_.assign(kMaxStep, 0.0f);
    ref_.assign(kMaxStep, 0.0f);
    lowMic_.assign(kMaxStep / reduction_ + 4, 0.0f);
    lowReference_.assign(lowMic_.size(), 0.0f);
    lowOut_.assign(lowMic_.size() + plan.decimation, 0.0f);
    high_.assign(lowOut_.size() * reduction_ + 4, 0.0f);
    // Keep exactly one output per input: the ring starts with enough zeros
    // to cover a hop of the bank and a step of the rate converters.
    size_t margin = size_t(plan.decimation) * reduction_ + 2 * reduction_;
    output_.Allocate(margin + 2 * kMaxStep + high_.size());
    DspVector<float> zeros(margin, 0.0f);
    Keep(output_.Write(zeros.data(), margin), margin);
    latency_ = margin + size_t(std::lround(decimateMic_.Delay() * reduction_ + interpolator_.Delay())) +
               size_t(plan.delay() - plan.decimation + 1) * reduction_;
    referenceHistory_.assign(kReferenceHistoryFrames, 0.0f);
    bright_ = false;
    referenceLow_ = referenceHigh_ = 0;
    leakFrames_ = 0;
    suppressHang_ = 0;
    referenceHistoryPos_ = 0;
    micLevel_ = referenceLevel_ = referencePeak_ = echoLevel_ = 0;
    referenceFloor_ = 0;
    talkMic_ = micLongTerm_ = 0;
    talkFrames_ = release_ = 0;
    echoes_.assign(plan.uniqueBands(), Complex());
    cancellation_.assign(plan.uniqueBands(), 0.0f);
    hangover_ = 0;
    frames_ = adaptingFrames_ = 0;
    sumIn_ = sumOut_ = 0;
    figureCount_ = 0;
    SetupHighBand();
    configured_ = true;
    return ready_ && banks;
}

void EchoQuell::SetupHighBand() {
    const bool on = ready_ && reduction_ == 2;
    bypassMicUp_.Setup(RateRatio{on ? 2u : 1u, 1});
    bypassReferenceUp_.Setup(RateRatio{on ? 2u : 1u, 1});
    if (!on) {
        micWait_.Allocate(0);
        referenceWait_.Allocate(0);
        highLine_.Allocate(0);
        lowUpMic_.clear();
        lowUpReference_.clear();
        highOut_.clear();
        highReferenceBlocks_.clear();
        return;
    }
    // The low band of the input, down and up again, lags the input by the
    // two converters' delays; the high band is the input at that lag less it.
    const size_t chain = size_t(std::lround(decimateMic_.Delay() * 2 + bypassMicUp_.Delay()));
    const size_t extra = latency_ > chain ? latency_ - chain : 0;
    DspVector<float> zeros(std::max(chain, extra) + 1, 0.0f);
    micWait_.Allocate(chain + 2 * kMaxStep + 8);
    referenceWait_.Allocate(chain + 2 * kMaxStep + 8);
    Keep(micWait_.Write(zeros.data(), chain), chain);
    Keep(referenceWait_.Write(zeros.data(), chain), chain);
    highLine_.Allocate(extra + 2 * kMaxStep + 8);
    Keep(highLine_.Write(zeros.data(), extra), extra);
    lowUpMic_.assign(kMaxStep + 8, 0.0f);
    lowUpReference_.assign(kMaxStep + 8, 0.0f);
    highOut_.assign(kMaxStep + 8, 0.0f);
    highReferenceBlocks_.assign(response_.size() / kHighBlock + 4, 0.0f);
    highBlockPos_ = highBlockFill_ = 0;
    highMicSum_ = highReferenceSum_ = highHold_ = 0;
    highLeakMic_ = highLeakHold_ = highLeak_ = highLastClean_ = 0;
    highGain_ = highGainTarget_ = 1;
    lastLearn_ = false;
}

void EchoQuell::ProcessHighBand(size_t inputs, size_t lowCount, bool cancel) {
    // hp_ and ref_ hold `inputs` full-rate samples, lowMic_ and lowReference_
    // their `lowCount` decimated ones.
    Keep(micWait_.Write(hp_.data(), inputs), inputs);
    Keep(referenceWait_.Write(ref_.data(), inputs), inputs);
    size_t up = bypassMicUp_.Process(lowMic_.data(), lowCount, lowUpMic_.data());
    bypassReferenceUp_.Process(lowReference_.data(), lowCount, lowUpReference_.data());
    for (size_t i = 0; i < up; ++i) {
        float m = 0, r = 0;
        if (!micWait_.Pop(m)) Keep(0, 1);
        if (!referenceWait_.Pop(r)) Keep(0, 1);
        const float highMic = m - lowUpMic_[i], highReference = r - lowUpReference_[i];
        highMicSum_ += highMic * highMic;
        highReferenceSum_ += highReference * highReference;
        if (++highBlockFill_ == kHighBlock) HighBandBlock();
        // The gain glides to its target within a block, so block edges do
        // not click.
        highGain_ += 0.1f * (highGainTarget_ - highGain_);
        highOut_[i] = (cancel ? highGain_ : 1.0f) * highMic;
    }
    Keep(highLine_.Write(highOut_.data(), up), up);
}

void EchoQuell::HighBandBlock() {
    // The reference's high-band power as it reaches the microphone: the
    // block one echo delay ago, held over the tail.
    const size_t slots = highReferenceBlocks_.size();
    highReferenceBlocks_[highBlockPos_] = highReferenceSum_;
    const size_t back = std::min<size_t>(size_t(std::max<LONG>(delay(), 0)) / kHighBlock, slots - 1);
    const float arriving = highReferenceBlocks_[(highBlockPos_ + slots - back) % slots];
    highBlockPos_ = (highBlockPos_ + 1) % slots;
    highHold_ = std::max(arriving, kHighHoldDecay * highHold_);
    if (lastLearn_) {
        highLeakMic_ = kHighLeakSmoothing * highLeakMic_ + (1 - kHighLeakSmoothing) * highMicSum_;
        highLeakHold_ = kHighLeakSmoothing * highLeakHold_ + (1 - kHighLeakSmoothing) * highHold_;
        highLeak_ = highLeakHold_ > 1.0f ? std::min(highLeakMic_ / highLeakHold_, kMaxLeak) : 0.0f;
    }
    const float residual =
        (suppressHang_ > 0 ? kTalkResidualOver : kResidualOver) * highLeak_ * highHold_ + 1e-3f;
    const float posterior = highMicSum_ / residual;
    const float prior =
        kPriorSmoothing * highLastClean_ / residual + (1.0f - kPriorSmoothing) * std::max(posterior - 1.0f, 0.0f);
    float gain = std::clamp(prior / (1.0f + prior), kResidualFloor, 1.0f);
    if (!residualSuppression_) gain = 1.0f;
    highLastClean_ = gain * gain * highMicSum_;
    highGainTarget_ = gain;
    highMicSum_ = highReferenceSum_ = 0;
    highBlockFill_ = 0;
}

int16_t EchoQuell::NextCalibrationSample() {
    if (calibrationPosition_ < calibration_.size()) return calibration_[calibrationPosition_++];
    return 0;
}

size_t EchoQuell::RecordResponse(const int16_t* mic, size_t count) {
    size_t have = responseCount_.load(std::memory_order_relaxed);
    size_t n = std::min(count, response_.size() - have);
    std::memcpy(response_.data() + have, mic, n * sizeof(int16_t));
    responseCount_.store(have + n, std::memory_order_release);
    return n;
}

LONG EchoQuell::EstimateDelay() {
    if (!ResponseFull() || calibration_.empty()) {
        SetDelay(0);
        return 0;
    }
    // Zero-mean response; reference and response decimated alike above
    // 12000 Hz, so the search costs about the same at every rate.
    ULONG factor = DelayDecimation(rateHz_);
    DspVector<float> response(response_.begin(), response_.end());
    double mean = 0;
    for (float v : response) mean += v;
    mean /= double(response.size());
    for (float& v : response) v -= float(mean);
    DspVector<float> reference(calibration_.begin(), calibration_.end());
    if (factor > 1) {
        Resampler a, b;
        a.Setup(RateRatio{1, factor});
        b.Setup(RateRatio{1, factor});
        DspVector<float> r2(a.MaxOutput(response.size())), c2(b.MaxOutput(reference.size()));
        r2.resize(a.Process(response.data(), response.size(), r2.data()));
        c2.resize(b.Process(reference.data(), reference.size(), c2.data()));
        response.swap(r2);
        reference.swap(c2);
    }
    LONG best = 0;
    if (response.size() > reference.size()) {
        double refEnergy = 0;
        for (float v : reference) refEnergy += double(v) * v;
        const size_t n = reference.size();
        double window = 0;
        for (size_t i = 0; i < n; ++i) window += double(response[i]) * response[i];
        double bestValue = -2.0;
        for (size_t k = 0; k + n <= response.size(); ++k) {
            if (k > 0) {
                double out = response[k - 1], in = response[k + n - 1];
                window += in * in - out * out;
            }
            double dot = 0;
            const float* r = response.data() + k;
            for (size_t i = 0; i < n; ++i) dot += double(reference[i]) * r[i];
            double denominator = std::sqrt(std::max(window, 0.0) * refEnergy);
            double value = denominator > 0 ? dot / denominator : 0.0;
            if (value > bestValue) {
                bestValue = value;
                best = LONG(k);
            }
        }
    }
    best *= LONG(factor);
    SetDelay(best);
    return best;
}

void EchoQuell::SetDelay(LONG samples) {
    if (samples < 0) samples = 0;
    const BandPlan& plan = analyzerMic_.plan();
    ULONG processingRate = rateHz_ / reduction_;
    size_t margin = (processingRate == 8000 || processingRate == 16000) ? 13 : 18;
    size_t bandsDelay = size_t(samples) / reduction_ / plan.decimation;
    bandsDelay = bandsDelay > margin ? bandsDelay - margin : 0;
    for (Band& b : bands_) {
        b.delayBands = std::min(bandsDelay, b.delayLine.capacity() - 1);
        b.delayLine.Clear();
        for (size_t i = 0; i < b.delayBands; ++i) Keep(b.delayLine.Push(Complex()) ? 1 : 0, 1);
    }
    delay_.store(samples, std::memory_order_release);
    calibrating_.store(false, std::memory_order_release);
}

void EchoQuell::Process(const int16_t* mic, const int16_t* reference, size_t count, int16_t* out) {
    if (!configured_) {
        // A set-up that ran out of memory: the DC-free microphone, and no work buffers touched.
        for (size_t i = 0; i < count; ++i) out[i] = ToInt16(dc_.Process(float(mic[i])));
        return;
    }
    for (size_t done = 0; done < count;) {
        size_t n = std::min(kMaxStep, count - done);
        const int16_t* m = mic + done;
        const int16_t* r = reference + done;
        for (size_t i = 0; i < n; ++i) {
            hp_[i] = dc_.Process(float(m[i]));
            ref_[i] = float(r[i]);
            sumIn_ += std::abs(int(m[i]));
        }
        // Switched off, the DC-free microphone still goes through the bank
        // (without echo removal), so the output keeps its latency and the
        // bands, delay lines and output ring stay current for the switch back.
        const bool cancel = enabled();
        if (!ready_) {
            for (size_t i = 0; i < n; ++i) out[done + i] = ToInt16(hp_[i]);
        } else {
            size_t lowCount = decimateMic_.Process(hp_.data(), n, lowMic_.data());
            decimateReference_.Process(ref_.data(), n, lowReference_.data());
            size_t produced = 0;
            const ULONG d = analyzerMic_.plan().decimation;
            for (size_t i = 0; i < lowCount; ++i) {
                bool frameReady = analyzerMic_.Push(lowMic_[i]);
                analyzerReference_.Push(lowReference_[i]);
                if (!frameReady) continue;
                if (cancel) {
                    ProcessFrame(analyzerMic_.Bands(), analyzerReference_.Bands(), frame_.data());
                } else {
                    BypassFrame(analyzerMic_.Bands(), analyzerReference_.Bands(), frame_.data());
                }
                synthesizer_.Synthesize(frame_.data(), lowOut_.data() + produced);
                produced += d;
            }
            size_t highCount = interpolator_.Process(lowOut_.data(), produced, high_.data());
            Keep(output_.Write(high_.data(), highCount), highCount);
            if (reduction_ == 2) ProcessHighBand(n, lowCount, cancel);
            size_t got = output_.Read(hp_.data(), n);
            Keep(got, n);  // an output ring that ran dry would put silence in
            std::fill(hp_.begin() + got, hp_.begin() + n, 0.0f);
            if (reduction_ == 2) {
                size_t extra = highLine_.Read(high_.data(), n);
                for (size_t i = 0; i < extra; ++i) hp_[i] += high_[i];
            }
            for (size_t i = 0; i < n; ++i) out[done + i] = ToInt16(hp_[i]);
        }
        for (size_t i = 0; i < n; ++i) {
            sumOut_ += std::abs(int(out[done + i]));
            if (++figureCount_ >= rateHz_ / 2) {
                double figure = sumIn_ > 0 ? 100.0 - 100.0 * sumOut_ / sumIn_ : 0.0;
                echoReduction_.store(figure >= 0.0 && figure <= 100.0 ? ULONG(figure) : 0, std::memory_order_release);
                sumIn_ = sumOut_ = 0;
                figureCount_ = 0;
            }
        }
        done += n;
    }
}

bool EchoQuell::DecideAdaptation(const Complex* mic, const Complex* reference) {
    // Far end active: the delayed reference stands out of its own floor.
    float referenceNow = 0, micNow = 0, echoNow = 0, low = 0, high = 0;
    const size_t lowBands = bands_.size() / 4;
    for (size_t j = 0; j < bands_.size(); ++j) {
        referenceNow += Magnitude(reference[j]);
        micNow += std::norm(mic[j]);
        echoNow += std::norm(echoes_[j]);
        (j < lowBands ? low : high) += std::norm(reference[j]);
    }
    // Which of the two reference-driven residual models applies: the far
    // end is bright (most of its power above the lowest quarter, fricatives)
    // or dark (voiced). Short filters leave far more of a noise-like far end
    // than of a periodic one, so one leak for both would either miss the
    // residual of every fricative or overstate that of every vowel.
    referenceLow_ = 0.8f * referenceLow_ + 0.2f * low;
    referenceHigh_ = 0.8f * referenceHigh_ + 0.2f * high;
    bright_ = referenceHigh_ > referenceLow_;
    referenceLevel_ = 0.8f * referenceLevel_ + 0.2f * referenceNow;
    referenceHistory_[referenceHistoryPos_] = referenceLevel_;
    referenceHistoryPos_ = (referenceHistoryPos_ + 1) % referenceHistory_.size();
    referencePeak_ = *std::max_element(referenceHistory_.begin(), referenceHistory_.end());
    if (referenceFloor_ <= 0 || referenceLevel_ < referenceFloor_)
        referenceFloor_ = std::max(referenceLevel_, 1.0f);
    else
        referenceFloor_ = referenceFloor_ * 1.0005f;
    micLevel_ = 0.7f * micLevel_ + 0.3f * micNow;
    echoLevel_ = 0.7f * echoLevel_ + 0.3f * echoNow;

    const bool farActive = referencePeak_ > 3.0f * referenceFloor_ && referencePeak_ > 8.0f * bands_.size();
    if (!farActive) {
        // Nothing to suppress in a far-end pause; talk seen before it does
        // not carry over into the next far-end word.
        if (suppressHang_ > 0) --suppressHang_;
        return false;
    }
    // Near-end talk: the error rises far above the residual the model
    // expects from the far end, in several bands at once. The expected
    // residual is driven by the reference, not by the filters' estimate, so
    // it holds while a filter is still converging and does not feed back on
    // the adaptation it controls.
    float excess = 0, total = 0;
    size_t excessBands = 0;
    // Where few bands reach that cancellation (the upper bands of the
    // halved rates), the best-cancelling ones take part all the same.
    float usableRatio = kUsableCancellation;
    const size_t minUsable = std::min(kMinUsableBands, bands_.size());
    for (size_t j = 0; j < bands_.size(); ++j)
        cancellation_[j] = bands_[j].leakMic > 0 ? bands_[j].leakError / bands_[j].leakMic : 1e9f;
    std::nth_element(cancellation_.begin(), cancellation_.begin() + (minUsable - 1), cancellation_.end());
    usableRatio = std::max(usableRatio, cancellation_[minUsable - 1] * 1.0001f);
    for (size_t j = 0; j < bands_.size(); ++j) {
        Band& b = bands_[j];
        const float referenceHold = std::max(std::norm(reference[j]), kEchoHoldDecay * b.referenceHold);
        const float expected = b.referenceLeak[bright_] * referenceHold;
        const Complex e = mic[j] - echoes_[j];
        b.talkError = kTalkBandSmoothing * b.talkError + (1 - kTalkBandSmoothing) * std::norm(e);
        b.talkCross = kTalkBandSmoothing * b.talkCross + (1 - kTalkBandSmoothing) * e * std::conj(echoes_[j]);
        b.talkEcho = kTalkBandSmoothing * b.talkEcho + (1 - kTalkBandSmoothing) * std::norm(echoes_[j]);
        b.talkResidual = kTalkBandSmoothing * b.talkResidual + (1 - kTalkBandSmoothing) * expected;
        b.errorFloor = b.errorFloor <= 0 || b.talkError < b.errorFloor ? b.talkError : b.errorFloor * kFloorRise;
        if (!(b.leakError < usableRatio * b.leakMic)) continue;
        // An error coherent with the echo estimate is the filters' own
        // misadjustment (a loud far-end syllable they have not caught up
        // with), not a talker, whose speech is unrelated to the far end.
        if (std::norm(b.talkCross) > kEchoCoherence * b.talkError * b.talkEcho) {
            total += b.talkError;
            continue;
        }
        const float over = b.talkError - kTalkExcess * (b.talkResidual + b.errorFloor);
        if (over > 0) {
            excess += over;
            ++excessBands;
        }
        total += b.talkError;
    }
    talkMic_ = kTalkSmoothing * talkMic_ + (1 - kTalkSmoothing) * micNow;
    micLongTerm_ = 0.999f * micLongTerm_ + 0.001f * micNow;
    const bool talkSeen = leakFrames_ >= kLeakSettleFrames && excess > kTalkShare * total &&
                          excessBands >= kTalkBands && talkMic_ > kTalkMinLevel * micLongTerm_;
    if (talkSeen) suppressHang_ = kSuppressHangFrames + 1;
    if (suppressHang_ > 0) --suppressHang_;
    bool talk = talkSeen && excessBands >= kFreezeBands;
    // A detector that keeps firing for long is more likely looking at an
    // echo it has not learnt (a changed path) than at a talker: it then
    // stands down for a while so the filters and the residual model catch up.
    if (release_ > 0) {
        --release_;
        talk = false;
    } else if (talk && ++talkFrames_ > kMaxTalkFrames) {
        talkFrames_ = 0;
        release_ = kReleaseFrames;
        talk = false;
    } else if (!talk && hangover_ == 0) {
        talkFrames_ = 0;
    }
    if (talk) hangover_ = kHangoverFrames;
    if (hangover_ > 0) {
        --hangover_;
        return false;
    }
    return true;
}

void EchoQuell::BypassFrame(const Complex* mic, const Complex* reference, Complex* out) {
    for (size_t j = 0; j < bands_.size(); ++j) {
        Band& b = bands_[j];
        Keep(b.delayLine.Push(reference[j]) ? 1 : 0, 1);
        if (!b.delayLine.Pop(delayed_[j])) Keep(0, 1);
        b.filter.PushReference(delayed_[j]);
        out[j] = mic[j];
    }
}

void EchoQuell::ProcessFrame(const Complex* mic, const Complex* reference, Complex* out) {
    for (size_t j = 0; j < bands_.size(); ++j) {
        Band& b = bands_[j];
        Keep(b.delayLine.Push(reference[j]) ? 1 : 0, 1);
        if (!b.delayLine.Pop(delayed_[j])) Keep(0, 1);
    }
    for (size_t j = 0; j < bands_.size(); ++j) {
        bands_[j].filter.PushReference(delayed_[j]);
        echoes_[j] = bands_[j].collected < kCollectSamples ? Complex() : bands_[j].filter.Estimate();
    }
    const bool adapt = DecideAdaptation(mic, delayed_.data());
    // The residual leak is learnt only where the echo estimate explains
    // the microphone, so near-end speech the detector missed does not teach
    // the suppressor to remove speech.
    const bool learnLeak = adapt && micLevel_ < kLeakMicExcess * echoLevel_;
    lastLearn_ = learnLeak;
    if (learnLeak) ++leakFrames_;
    ++frames_;
    if (adapt) ++adaptingFrames_;
    for (size_t j = 0; j < bands_.size(); ++j) {
        Band& b = bands_[j];
        const Complex x = delayed_[j];
        const float micMagnitude = Magnitude(mic[j]), referenceMagnitude = Magnitude(x);
        if (b.collected < kCollectSamples) {
            b.sumMic += micMagnitude;
            b.sumReference += referenceMagnitude;
            if (++b.collected == kCollectSamples) {
                b.micAverage = std::max(1.0f, b.sumMic / kCollectSamples);
                b.referenceAverage = std::max(1.0f, b.sumReference / kCollectSamples);
            }
            out[j] = mic[j];
            continue;
        }
        Complex echo = echoes_[j];
        if (adapt && kDivergenceFactor * b.micSlow < b.errorSlow) {
            b.filter.ScaleWeights(kDivergenceShrink);
            echo *= kDivergenceShrink;
        }
        const Complex e = mic[j] - echo;
        const float errorMagnitude = Magnitude(e);
        b.errorAverage = std::max(kMinErrorAverage, 0.1f * errorMagnitude + 0.9f * b.errorAverage);
        if (adapt) {
            b.micSlow = 0.01f * micMagnitude + 0.99f * b.micSlow;
            b.errorSlow = 0.01f * errorMagnitude + 0.99f * b.errorSlow;
            b.micAverage = 0.001f * micMagnitude + 0.999f * b.micAverage;
            b.referenceAverage = 0.001f * referenceMagnitude + 0.999f * b.referenceAverage;
            float ratio = b.micAverage / std::max(b.referenceAverage, 1.0f);
            b.filter.Adapt(ComplexSign(e) * (ratio * ratio / b.errorAverage), b.twoMu);
        } else {
            b.filter.StopAdapting();
        }
        // Residual echo: what the filters leave is learnt, while only the
        // far end talks, as a leak from the echo estimate's power (held over
        // the tail), and that much is suppressed. Near-end speech raises the
        // error far above it and passes; while double talk is detected the
        // residual counts less, to spare the near end.
        const float errorPower = std::norm(e);
        b.echoHold = std::max(std::norm(echo), kEchoHoldDecay * b.echoHold);
        b.referenceHold = std::max(referenceMagnitude * referenceMagnitude, kEchoHoldDecay * b.referenceHold);
        if (learnLeak) {
            b.leakError = kLeakSmoothing * b.leakError + (1 - kLeakSmoothing) * errorPower;
            b.leakEcho = kLeakSmoothing * b.leakEcho + (1 - kLeakSmoothing) * b.echoHold;
            b.leakMic = kLeakSmoothing * b.leakMic + (1 - kLeakSmoothing) * micMagnitude * micMagnitude;
            b.leak = b.leakEcho > 1.0f ? std::min(b.leakError / b.leakEcho, kMaxLeak) : 0.0f;
            // The reference-driven leak of the far end's present kind.
            const int k = bright_;
            b.kindError[k] = kLeakSmoothing * b.kindError[k] + (1 - kLeakSmoothing) * errorPower;
            b.kindReference[k] = kLeakSmoothing * b.kindReference[k] + (1 - kLeakSmoothing) * b.referenceHold;
            b.referenceLeak[k] = b.kindReference[k] > 1.0f ? b.kindError[k] / b.kindReference[k] : 0.0f;
        }
        // The larger of the two models: the echo estimate follows the echo's
        // time course, the reference covers bands whose filters still miss
        // much of the echo.
        const float model = std::max(b.leak * b.echoHold, b.referenceLeak[bright_] * b.referenceHold);
        const float residual = (suppressHang_ > 0 ? kTalkResidualOver : kResidualOver) * model + 1e-3f;
        // Decision-directed Wiener gain against that residual: near-end
        // speech well above it keeps a gain near one, the residual alone is
        // pressed to the floor.
        const float posterior = errorPower / residual;
        const float prior = kPriorSmoothing * b.lastCleanPower / residual +
                            (1.0f - kPriorSmoothing) * std::max(posterior - 1.0f, 0.0f);
        float gain = std::clamp(prior / (1.0f + prior), kResidualFloor, 1.0f);
        if (!residualSuppression_) gain = 1.0f;
        b.lastCleanPower = gain * gain * errorPower;
        out[j] = e * gain;
    }
}

}  // namespace qk::dsp
