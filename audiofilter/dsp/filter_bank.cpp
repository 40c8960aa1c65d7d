#include "audiofilter/dsp/filter_bank.h"

#include <kiss_fft.h>

#include <cmath>
#include <cstring>

#include "audiofilter/dsp/prototype_windows.h"

namespace qk::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// The analyzer keeps this many hops of history before it slides back.
constexpr size_t kHistoryHops = 64;

}  // namespace

std::vector<float> MakePrototype(const BandPlan& plan) {
    const float* window = plan.halfTaps == 64 ? kPrototypeWindow129 : kPrototypeWindow257;
    int m = int(plan.halfTaps);
    std::vector<double> h(plan.taps());
    double sum = 0.0;
    for (int i = -m; i <= m; ++i) {
        h[size_t(i + m)] = Sinc(double(i) / plan.bands) * window[i + m];
        sum += h[size_t(i + m)];
    }
    std::vector<float> out(h.size());
    for (size_t i = 0; i < h.size(); ++i) out[i] = float(h[i] / sum);
    return out;
}

KissTransform::~KissTransform() { kiss_fft_free(cfg_); }

bool KissTransform::Setup(size_t points, bool inverse) {
    kiss_fft_free(cfg_);
    cfg_ = kiss_fft_alloc(int(points), inverse ? 1 : 0, nullptr, nullptr);
    return cfg_ != nullptr;
}

void KissTransform::Run(const Complex* in, Complex* out) const {
    static_assert(sizeof(Complex) == sizeof(kiss_fft_cpx));
    kiss_fft(cfg_, reinterpret_cast<const kiss_fft_cpx*>(in), reinterpret_cast<kiss_fft_cpx*>(out));
}

void SubbandAnalyzer::Setup(const BandPlan& plan) {
    plan_ = plan;
    std::vector<float> p = MakePrototype(plan);
    size_t n = p.size();
    reversedSigned_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        float sign = ((i / plan.bands) & 1) ? -1.0f : 1.0f;
        reversedSigned_[n - 1 - i] = p[i] * sign * kAnalysisScale;
    }
    history_.assign(n - 1 + kHistoryHops * plan.decimation, 0.0f);
    folded_.assign(plan.bands, 0.0f);
    twiddle_.resize(plan.bands);
    for (ULONG r = 0; r < plan.bands; ++r)
        twiddle_[r] = Complex(float(std::cos(kPi * r / plan.bands)), float(std::sin(kPi * r / plan.bands)));
    work_.assign(plan.bands, Complex());
    spectrum_.assign(plan.bands, Complex());
    bands_.assign(plan.uniqueBands(), Complex());
    transform_.Setup(plan.bands, true);
    Reset();
}

void SubbandAnalyzer::Reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    std::fill(bands_.begin(), bands_.end(), Complex());
    pos_ = reversedSigned_.empty() ? 0 : reversedSigned_.size() - 1;
    phase_ = 0;
}

void SubbandAnalyzer::Analyze() {
    // Band k at hop time t: sum_i x[t - i] p[i] e^{j pi (2k + 1) i / K}. With
    // i = r + qK this is a K-point transform of the folded, twiddled sums.
    const size_t n = reversedSigned_.size();
    const float* x = history_.data() + pos_ - n;  // oldest sample of the window
    const float* p = reversedSigned_.data();
    const ULONG k = plan_.bands;
    std::fill(folded_.begin(), folded_.end(), 0.0f);
    // x[j] pairs with tap i = n - 1 - j, whose fold index is i mod K.
    for (size_t j = 0; j < n; ++j) folded_[(n - 1 - j) % k] += x[j] * p[j];
    for (ULONG r = 0; r < k; ++r) work_[r] = twiddle_[r] * folded_[r];
    transform_.Run(work_.data(), spectrum_.data());
    for (ULONG b = 0; b < plan_.uniqueBands(); ++b) bands_[b] = spectrum_[b];
    if (pos_ == history_.size()) {
        std::memmove(history_.data(), history_.data() + pos_ - (n - 1), (n - 1) * sizeof(float));
        pos_ = n - 1;
    }
}

void SubbandSynthesizer::Setup(const BandPlan& plan) {
    plan_ = plan;
    std::vector<float> p = MakePrototype(plan);
    size_t n = p.size();
    signedPrototype_.resize(n);
    for (size_t i = 0; i < n; ++i) signedPrototype_[i] = p[i] * (((i / plan.bands) & 1) ? -1.0f : 1.0f);
    // Unity overall gain: analysis (scale 8) and synthesis through the same
    // prototype give K times the mean power of the prototype's D-phase
    // components.
    double rho = 0.0;
    for (float v : p) rho += double(v) * v;
    rho /= plan.decimation;
    scale_ = float(1.0 / (SubbandAnalyzer::kAnalysisScale * plan.bands * rho));
    accumulator_.assign(n + plan.decimation, 0.0f);
    modulation_.assign(plan.bands, 0.0f);
    twiddle_.resize(plan.bands);
    for (ULONG r = 0; r < plan.bands; ++r)
        twiddle_[r] = Complex(float(std::cos(kPi * r / plan.bands)), float(std::sin(kPi * r / plan.bands)));
    full_.assign(plan.bands, Complex());
    time_.assign(plan.bands, Complex());
    transform_.Setup(plan.bands, true);
    Reset();
}

void SubbandSynthesizer::Reset() { std::fill(accumulator_.begin(), accumulator_.end(), 0.0f); }

void SubbandSynthesizer::Synthesize(const Complex* bands, float* out) {
    const ULONG k = plan_.bands, half = plan_.uniqueBands(), d = plan_.decimation;
    for (ULONG b = 0; b < half; ++b) {
        full_[b] = bands[b];
        full_[k - 1 - b] = std::conj(bands[b]);
    }
    transform_.Run(full_.data(), time_.data());
    for (ULONG r = 0; r < k; ++r) modulation_[r] = scale_ * (time_[r] * twiddle_[r]).real();
    const size_t n = signedPrototype_.size();
    float* acc = accumulator_.data();
    const float* p = signedPrototype_.data();
    for (size_t i = 0; i < n; ++i) acc[i] += p[i] * modulation_[i % k];
    std::memcpy(out, acc, d * sizeof(float));
    std::memmove(acc, acc + d, (accumulator_.size() - d) * sizeof(float));
    std::fill(acc + accumulator_.size() - d, acc + accumulator_.size(), 0.0f);
}

}  // namespace qk::dsp
