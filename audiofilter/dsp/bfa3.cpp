#include "audiofilter/dsp/bfa3.h"

#include <new>

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "audiofilter/dsp/bin_kernels.h"
#include "audiofilter/dsp/noise_guard.h"

namespace qk::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNominalRateHz = 8000.0f;
constexpr float kOverflowQuotient = 1.0e6f;
// A floor or minimum below this is no estimate. Our samples are integer PCM
// values, so one step of quantisation noise already gives bin magnitudes of
// several units through the 256-point transform; only digital silence or a
// smoothed level decaying through a long mute comes below a hundredth.
constexpr float kNoFloor = 1.0e-2f;
constexpr size_t kMinFrontalBins = 40;
constexpr size_t kCountFromBin = 16;
// Sub-window and window of the minimum search: 22/88 frames while the stage
// starts, 88/264 afterwards.
constexpr size_t kStartSub = 22, kStartSlots = 4, kSub = 88, kSlots = 3;
// Canceller of the blocked signal: normalised step, and how close to the
// look direction a strong bin must be to pause adaptation there.
constexpr float kCancelStep = 0.05f;

// Complex products written out: std::complex's operator* checks its result
// for NaN (C99 Annex G) on every call, which the per-bin loops cannot use.
inline Complex Mul(Complex a, Complex b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}
inline Complex MulConj(Complex a, Complex b) {  // a conj(b)
    return Complex(a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag());
}

}  // namespace

const float Bfa3::kLookThreshold =
    float(std::sin(0.17697638) * kNominalRateHz * 62.831852 * 1.1837121e-7);

Bfa3::~Bfa3() {
    Release(forward_);
    Release(inverse_);
}

bool Bfa3::Setup(ULONG rateHz) {
    // A set-up that runs out of memory leaves the stage not ready (it passes
    // its input through) instead of throwing into the driver.
    try {
        ready_ = Configure(rateHz);
    } catch (const std::bad_alloc&) {
        ready_ = false;
    }
    return ready_;
}

bool Bfa3::Configure(ULONG rateHz) {
    EightKiloHertzPath path = PathTo8000(rateHz);
    ready_ = path.ok;
    overflow_ = false;
    stepsDown_ = path.count;
    double ratio = 1.0;  // capture samples per 8000 Hz-family sample
    double delayCapture = 0.0;
    for (size_t s = 0; s < 2; ++s) {
        RateRatio r = s < path.count ? path.steps[s] : RateRatio{};
        downLeft_[s].Setup(r);
        downRight_[s].Setup(r);
        delayCapture += downLeft_[s].Delay() * ratio * r.down / r.up;
        ratio *= double(r.down) / r.up;
    }
    // Back up along the reverse path.
    double upRatio = ratio;
    for (size_t s = 0; s < 2; ++s) {
        size_t step = path.count > s ? path.count - 1 - s : 0;
        RateRatio r = s < path.count ? RateRatio{path.steps[step].down, path.steps[step].up} : RateRatio{};
        up_[s].Setup(r);
        upRatio *= double(r.down) / r.up;
        delayCapture += up_[s].Delay() * upRatio;
    }
    dcLeft_.SetRate(8000);
    dcRight_.SetRate(8000);
    window_.resize(kFrame);
    // Periodic Hann: shifted copies at the 128-sample hop add up to one, so
    // plain overlap-add of the inverse transforms restores the signal.
    for (size_t i = 0; i < kFrame; ++i) window_[i] = float(0.5 - 0.5 * std::cos(2 * kPi * i / kFrame));
    Release(forward_);
    Release(inverse_);
    forward_ = inverse_ = nullptr;
    // The transforms' memory from the stages' source as well.
    for (kiss_fftr_cfg* cfg : {&forward_, &inverse_}) {
        size_t bytes = 0;
        kiss_fftr_alloc(int(kFrame), cfg == &inverse_ ? 1 : 0, nullptr, &bytes);
        void* memory = Allocate(bytes);
        *cfg = kiss_fftr_alloc(int(kFrame), cfg == &inverse_ ? 1 : 0, memory, &bytes);
        if (*cfg == nullptr) Release(memory);
    }
    historyLeft_.assign(kFrame, 0.0f);
    historyRight_.assign(kFrame, 0.0f);
    fill_ = kFrame - kHop;
    frame_.assign(kFrame, 0.0f);
    x1_.assign(kBins, Complex());
    x2_.assign(kBins, Complex());
    y_.assign(kBins, Complex());
    m1_.assign(kBins, 0.0f);
    class_.assign(kBins, 0);
    m2_.assign(kBins, 0.0f);
    overlap_.assign(kFrame, 0.0f);
    ola_.assign(kHop, 0.0f);
    for (Floor* f : {&floor1_, &floor2_}) {
        f->smoothed.assign(kBins, 0.0f);
        f->noise.assign(kBins, 0.0f);
        f->subMinimum.assign(kBins, 0.0f);
        f->current.assign(kBins, 0.0f);
        f->kept.assign(kBins * kStartSlots, 0.0f);
        f->keptMinimum.assign(kBins, std::numeric_limits<float>::max());
    }
    cross_.assign(kBins, Complex());
    direction_.assign(kBins, 1);
    cosThreshold_.assign(3 * kBins, -2.0f);
    for (size_t m = 1; m <= 3; ++m)
        for (size_t k = 1; k < kBins; ++k) {
            double angle = double(m) * kLookThreshold * double(k);
            cosThreshold_[(m - 1) * kBins + k] = angle >= kPi ? -2.0f : float(std::cos(angle));
        }
    rtf_.assign(kBins, Complex(1.0f, 0.0f));
    canceller_.assign(kBins, Complex());
    blockedPower_.assign(kBins, 0.0f);
    frames_ = rtfUpdates_ = 0;
    subWindow_ = kStartSub;
    keptSlots_ = kStartSlots;
    subWindowCount_ = 0;
    filledSlots_ = 0;

    size_t lowMax = size_t(double(kMaxBlock) / ratio) + 8;
    a1_.assign(lowMax * 2 + kMaxBlock, 0.0f);
    a2_.assign(a1_.size(), 0.0f);
    b1_.assign(a1_.size(), 0.0f);
    b2_.assign(a1_.size(), 0.0f);
    low_.assign(lowMax + kHop + 8, 0.0f);
    up1_.assign(size_t(double(low_.size()) * ratio * 2) + 16, 0.0f);
    up2_.assign(up1_.size(), 0.0f);
    size_t latency = size_t(std::lround(delayCapture + double(kHop) * ratio));
    size_t margin = size_t(std::ceil(double(kHop) * ratio)) + 8;
    output_.Setup(latency, margin, kMaxBlock);
    return ready_ && forward_ != nullptr && inverse_ != nullptr;
}

size_t Bfa3::Process(const float* left, const float* right, size_t count, float* out) {
    return ProcessStereoInBlocks(ready_, output_, kMaxBlock, left, right, count, out,
                                 [this](const float* l, const float* r, size_t n) { ProcessBlock(l, r, n); });
}

void Bfa3::ProcessBlock(const float* left, const float* right, size_t count) {
    output_.CountInput(count);
    // To the 8000 Hz family.
    size_t n = count;
    const float* l = left;
    const float* r = right;
    float* bufL[2] = {a1_.data(), b1_.data()};
    float* bufR[2] = {a2_.data(), b2_.data()};
    for (size_t s = 0; s < 2; ++s) {
        size_t m = downLeft_[s].Process(l, n, bufL[s]);
        downRight_[s].Process(r, n, bufR[s]);
        l = bufL[s];
        r = bufR[s];
        n = m;
    }
    size_t produced = 0;
    for (size_t i = 0; i < n;) {
        // DC removal straight into the frame, a run at a time.
        const size_t take = std::min(n - i, kFrame - fill_);
        dcLeft_.Process(l + i, historyLeft_.data() + fill_, take);
        dcRight_.Process(r + i, historyRight_.data() + fill_, take);
        fill_ += take;
        i += take;
        if (fill_ < kFrame) continue;
        ProcessFrame();
        std::copy(ola_.begin(), ola_.end(), low_.begin() + produced);
        produced += kHop;
        std::memmove(historyLeft_.data(), historyLeft_.data() + kHop, (kFrame - kHop) * sizeof(float));
        std::memmove(historyRight_.data(), historyRight_.data() + kHop, (kFrame - kHop) * sizeof(float));
        fill_ = kFrame - kHop;
    }
    // Back to the capture rate.
    const float* src = low_.data();
    float* dst[2] = {up1_.data(), up2_.data()};
    size_t m = produced;
    for (size_t s = 0; s < 2; ++s) {
        m = up_[s].Process(src, m, dst[s]);
        src = dst[s];
    }
    output_.Produce(src, m);
}

void Bfa3::SmoothAndTrack(const float* magnitude, Floor& f, bool first) {
    // Smoothing over three neighbouring bins and over time, then minimum
    // statistics: the running minimum of the current sub-window and the
    // minima of the previous ones; the noise follows the level wherever the
    // level is within four times that minimum. One pass over the bins.
    const bool restart = subWindowCount_ == 0;
    const bool start = frames_ == 1;
    float* __restrict smoothed = f.smoothed.data();
    float* __restrict subMinimum = f.subMinimum.data();
    float* __restrict noise = f.noise.data();
    const float* __restrict keptMinimum = f.keptMinimum.data();
    // Three equal weights over the bin and its neighbours; the end bins
    // take their one neighbour twice.
    auto spread = [magnitude](size_t k) {
        float below = magnitude[k == 0 ? 1 : k - 1];
        float above = magnitude[k + 1 == kBins ? kBins - 2 : k + 1];
        return (below + magnitude[k] + above) * (1.0f / 3.0f);
    };
    auto step = [&](size_t k, float value) {
        float level = first ? value : 0.3f * value + 0.7f * smoothed[k];
        smoothed[k] = level;
        // A microphone often starts muted or in digital silence, or is muted
        // for a while: a floor or minimum learnt there would make every later
        // level an endless multiple of it. Below kNoFloor they count as not
        // known yet, and the first level heard seeds them.
        const float minimum = restart || subMinimum[k] < kNoFloor ? level : std::min(level, subMinimum[k]);
        subMinimum[k] = minimum;
        const float tracked = std::min(minimum, keptMinimum[k]);
        const float before = start || noise[k] < kNoFloor ? level : noise[k];
        const float follow = 0.05f * level + 0.95f * before;
        noise[k] = 4.0f * tracked > level ? follow : before;
    };
    step(0, spread(0));
    for (size_t k = 1; k + 1 < kBins; ++k)
        step(k, (magnitude[k - 1] + magnitude[k] + magnitude[k + 1]) * (1.0f / 3.0f));
    step(kBins - 1, spread(kBins - 1));
}

void Bfa3::CloseSubWindow(Floor& f) {
    for (size_t s = keptSlots_ - 1; s > 0; --s)
        std::copy_n(f.kept.begin() + long((s - 1) * kBins), kBins, f.kept.begin() + long(s * kBins));
    std::copy_n(f.subMinimum.begin(), kBins, f.kept.begin());
    size_t filled = std::min(filledSlots_ + 1, keptSlots_);
    for (size_t k = 0; k < kBins; ++k) {
        // Silent sub-windows hold no minimum (see kNoFloor).
        float m = std::numeric_limits<float>::max();
        for (size_t s = 0; s < filled; ++s) {
            const float v = f.kept[s * kBins + k];
            if (v >= kNoFloor) m = std::min(m, v);
        }
        f.keptMinimum[k] = m;
    }
}

void Bfa3::AnalyseFrame(bool first) {
    const Complex* __restrict x1 = x1_.data();
    const Complex* __restrict x2 = x2_.data();
    float* __restrict m1 = m1_.data();
    float* __restrict m2 = m2_.data();
    float* __restrict cross = reinterpret_cast<float*>(cross_.data());
    int32_t* __restrict direction = direction_.data();
    // Magnitudes, and the direction per bin from the smoothed cross-spectrum
    // C_k: |arg C_k| / k against T, 2T and 3T. For k >= 1 the test
    // |arg| < m T k is cos(arg) > cos(m T k), i.e. Re C > cos(m T k) |C|,
    // which needs neither an arctangent nor a division. Bin 0 keeps its
    // signed phase (below). The first frame takes the cross-spectrum as is
    // (the old one is zero).
    const BinAnalysis bins{.x1 = reinterpret_cast<const float*>(x1),
                           .x2 = reinterpret_cast<const float*>(x2),
                           .fresh = first ? 1.0f : 0.4f,
                           .kept = first ? 0.0f : 0.6f,
                           .cross = cross,
                           .threshold1 = cosThreshold_.data(),
                           .threshold2 = cosThreshold_.data() + kBins,
                           .threshold3 = cosThreshold_.data() + 2 * kBins,
                           .magnitude1 = m1,
                           .magnitude2 = m2,
                           .direction = direction};
    AnalyseBinsFast(bins, 0, kBins);
    {
        const float phase0 = std::atan2(cross[1], cross[0]);
        direction[0] = phase0 < kLookThreshold ? 1 : phase0 < 2 * kLookThreshold ? 2 : phase0 < 3 * kLookThreshold ? 3 : 4;
    }
    if (first) {
        // Both floors start from the half sum of the microphones.
        DspVector<float>& half = floor1_.current;
        for (size_t k = 0; k < kBins; ++k) half[k] = Magnitude(0.5f * (x1[k] + x2[k]));
        SmoothAndTrack(half.data(), floor1_, true);
        SmoothAndTrack(half.data(), floor2_, true);
    } else {
        SmoothAndTrack(m1, floor1_, false);
        SmoothAndTrack(m2, floor2_, false);
    }
    if (++subWindowCount_ >= subWindow_) {
        CloseSubWindow(floor1_);
        CloseSubWindow(floor2_);
        filledSlots_ = std::min(filledSlots_ + 1, keptSlots_);
        subWindowCount_ = 0;
        if (subWindow_ == kStartSub && frames_ >= kStartSub * kStartSlots) {
            subWindow_ = kSub;
            keptSlots_ = kSlots;
            filledSlots_ = std::min(filledSlots_, keptSlots_);
        }
    }

    // Signal classes, min(floor(|X1| / N1), floor(|X2| / N2)) limited to
    // 0..4, found by comparing with multiples of the floors; and the
    // frontal test.
    bool valid = true;
    size_t count = 0;
    auto ratioOk = [&](size_t k) {
        float a = m1[k], b = m2[k];
        return b > 0 && a >= 0.1f * b && a <= 10.0f * b;
    };
    int32_t* __restrict cls = class_.data();
    const float* __restrict n1 = floor1_.noise.data();
    const float* __restrict n2 = floor2_.noise.data();
    auto classOf = [](float m, float n) -> int {
        if (n < kNoFloor) return 0;  // no estimate yet: nothing stands out of it
        if (!(n > 0)) return 4;      // not a number: beyond every class
        return int(m >= n) + int(m >= 2.0f * n) + int(m >= 3.0f * n) + int(m >= 4.0f * n);
    };
    // Branch-free: a level beyond a million times a floor that exists (or a
    // floor that is not a number) means the floors are broken, which is rare.
    bool broken = false;
    for (size_t k = 1; k + 1 < kBins; ++k) {
        broken |= (m1[k] > 0 && !(n1[k] < kNoFloor) && !(m1[k] <= kOverflowQuotient * n1[k])) |
                  (m2[k] > 0 && !(n2[k] < kNoFloor) && !(m2[k] <= kOverflowQuotient * n2[k]));
        int c = std::min(classOf(m1[k], n1[k]), classOf(m2[k], n2[k]));
        cls[k] = c;
        const bool frontal = c >= 3 && direction[k] <= 1;
        valid &= !frontal || ratioOk(k);
        count += size_t(frontal && k >= kCountFromBin);
    }
    if (broken) {
        overflow_ = true;
        return;
    }
    for (size_t k : {size_t(0), kBins - 1}) {
        if (direction[k] <= 1) {
            if (!ratioOk(k)) valid = false;
            if (k == kBins - 1) ++count;
        }
    }
    Complex* __restrict rtf = rtf_.data();
    if (count > kMinFrontalBins && valid) {
        ++rtfUpdates_;
        for (size_t k = 0; k < kBins; ++k) {
            bool edge = k == 0 || k == kBins - 1;
            if ((edge || cls[k] >= 4) && direction[k] <= 3) {
                float p2 = std::norm(x2[k]);
                if (p2 > 0) {
                    Complex c = MulConj(x1[k], x2[k]);
                    rtf[k] = Complex(0.05f * c.real() / p2 + 0.95f * rtf[k].real(),
                                     0.05f * c.imag() / p2 + 0.95f * rtf[k].imag());
                }
            }
        }
    }
    // Output: the talker-aligned beam less what the canceller finds of the
    // blocked signal in it.
    Complex* __restrict canceller = canceller_.data();
    float* __restrict blockedPower = blockedPower_.data();
    Complex* __restrict y = y_.data();
    for (size_t k = 0; k < kBins; ++k) {
        Complex aligned = Mul(rtf[k], x2[k]);
        Complex beam(0.5f * (x1[k].real() + aligned.real()), 0.5f * (x1[k].imag() + aligned.imag()));
        Complex blocked = x1[k] - aligned;
        Complex out = beam - Mul(canceller[k], blocked);
        float pb = std::norm(blocked);
        blockedPower[k] = 0.9f * blockedPower[k] + 0.1f * pb;
        y[k] = out;
        const bool talker = (k == 0 || k == kBins - 1 || cls[k] >= 2) && direction[k] <= 2;
        const float step = !talker && blockedPower[k] > 0 ? kCancelStep / (blockedPower[k] + 1e-3f) : 0.0f;
        Complex g = MulConj(out, blocked);
        canceller[k] += Complex(step * g.real(), step * g.imag());
    }
}

void Bfa3::ProcessFrame() {
    ++frames_;
    const bool first = frames_ == 1;
    for (size_t i = 0; i < kFrame; ++i) frame_[i] = historyLeft_[i] * window_[i];
    kiss_fftr(forward_, frame_.data(), reinterpret_cast<kiss_fft_cpx*>(x1_.data()));
    for (size_t i = 0; i < kFrame; ++i) frame_[i] = historyRight_[i] * window_[i];
    kiss_fftr(forward_, frame_.data(), reinterpret_cast<kiss_fft_cpx*>(x2_.data()));

    if (!overflow_) AnalyseFrame(first);
    if (overflow_) {
        for (size_t k = 0; k < kBins; ++k) y_[k] = 0.5f * (x1_[k] + x2_[k]);
    }
    kiss_fftri(inverse_, reinterpret_cast<kiss_fft_cpx*>(y_.data()), frame_.data());
    for (size_t i = 0; i < kFrame; ++i) overlap_[i] += frame_[i] * (1.0f / kFrame);
    std::copy_n(overlap_.begin(), kHop, ola_.begin());
    std::memmove(overlap_.data(), overlap_.data() + kHop, (kFrame - kHop) * sizeof(float));
    std::fill(overlap_.begin() + (kFrame - kHop), overlap_.end(), 0.0f);
}

}  // namespace qk::dsp
