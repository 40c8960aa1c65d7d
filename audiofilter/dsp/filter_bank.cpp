#include "audiofilter/dsp/filter_bank.h"

#include <kiss_fft.h>

#include <cmath>
#include <cstring>

#include "audiofilter/dsp/kernels.h"
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

KissTransform::~KissTransform() { Release(cfg_); }

bool KissTransform::Setup(size_t points, bool inverse) {
    Release(cfg_);
    cfg_ = nullptr;
    // The transform's memory comes from the stages' source too.
    size_t bytes = 0;
    kiss_fft_alloc(int(points), inverse ? 1 : 0, nullptr, &bytes);
    void* memory = Allocate(bytes);
    cfg_ = kiss_fft_alloc(int(points), inverse ? 1 : 0, memory, &bytes);
    if (cfg_ == nullptr) Release(memory);
    return cfg_ != nullptr;
}

void KissTransform::Run(const Complex* in, Complex* out) const {
    static_assert(sizeof(Complex) == sizeof(kiss_fft_cpx));
    kiss_fft(cfg_, reinterpret_cast<const kiss_fft_cpx*>(in), reinterpret_cast<kiss_fft_cpx*>(out));
}

bool SubbandAnalyzer::Setup(const BandPlan& plan) {
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
    reversedFold_.assign(plan.bands, 0.0f);
    twiddle_.resize(plan.bands);
    for (ULONG r = 0; r < plan.bands; ++r)
        twiddle_[r] = Complex(float(std::cos(kPi * r / plan.bands)), float(std::sin(kPi * r / plan.bands)));
    work_.assign(plan.bands, Complex());
    spectrum_.assign(plan.bands, Complex());
    bands_.assign(plan.uniqueBands(), Complex());
    const bool made = transform_.Setup(plan.bands, true);
    Reset();
    return made;
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
    // x[j] pairs with tap i = n - 1 - j. Taps qK .. qK + K - 1 are the
    // contiguous samples j = base .. base + K - 1 (base = n - K - qK), with
    // fold index K - 1 - (j - base); the last tap (i = 8K, j = 0) folds to 0.
    // Accumulate reversed and read back reversed.
    std::fill(reversedFold_.begin(), reversedFold_.end(), 0.0f);
    const size_t blocks = (n - 1) / k;
    for (size_t q = 0; q < blocks; ++q) {
        size_t base = n - k - q * k;
        MultiplyAdd(reversedFold_.data(), x + base, p + base, k);
    }
    for (ULONG r = 0; r < k; ++r) folded_[r] = reversedFold_[k - 1 - r];
    folded_[0] += x[0] * p[0];
    for (ULONG r = 0; r < k; ++r) work_[r] = twiddle_[r] * folded_[r];
    transform_.Run(work_.data(), spectrum_.data());
    for (ULONG b = 0; b < plan_.uniqueBands(); ++b) bands_[b] = spectrum_[b];
    if (pos_ == history_.size()) {
        std::memmove(history_.data(), history_.data() + pos_ - (n - 1), (n - 1) * sizeof(float));
        pos_ = n - 1;
    }
}

bool SubbandSynthesizer::Setup(const BandPlan& plan) {
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
    accumulator_.assign(n + 64 * plan.decimation, 0.0f);
    modulation_.assign(plan.bands, 0.0f);
    twiddle_.resize(plan.bands);
    for (ULONG r = 0; r < plan.bands; ++r)
        twiddle_[r] = Complex(float(std::cos(kPi * r / plan.bands)), float(std::sin(kPi * r / plan.bands)));
    full_.assign(plan.bands, Complex());
    time_.assign(plan.bands, Complex());
    const bool made = transform_.Setup(plan.bands, true);
    Reset();
    return made;
}

void SubbandSynthesizer::Reset() {
    std::fill(accumulator_.begin(), accumulator_.end(), 0.0f);
    accPos_ = 0;
}

void SubbandSynthesizer::Synthesize(const Complex* bands, float* out) {
    const ULONG k = plan_.bands, half = plan_.uniqueBands(), d = plan_.decimation;
    for (ULONG b = 0; b < half; ++b) {
        full_[b] = bands[b];
        full_[k - 1 - b] = std::conj(bands[b]);
    }
    transform_.Run(full_.data(), time_.data());
    for (ULONG r = 0; r < k; ++r) modulation_[r] = scale_ * (time_[r] * twiddle_[r]).real();
    const size_t n = signedPrototype_.size();
    float* acc = accumulator_.data() + accPos_;
    const float* p = signedPrototype_.data();
    // Taps qK .. qK + K - 1 take the modulation in order; the last tap takes
    // modulation 0.
    const size_t blocks = (n - 1) / k;
    for (size_t q = 0; q < blocks; ++q) MultiplyAdd(acc + q * k, p + q * k, modulation_.data(), k);
    acc[n - 1] += p[n - 1] * modulation_[0];
    std::memcpy(out, acc, d * sizeof(float));
    std::fill(acc, acc + d, 0.0f);
    accPos_ += d;
    if (accPos_ + n > accumulator_.size()) {
        // Slide the pending tail back to the start; amortised over many hops.
        std::memmove(accumulator_.data(), accumulator_.data() + accPos_, (n - d) * sizeof(float));
        std::fill(accumulator_.begin() + long(n - d), accumulator_.end(), 0.0f);
        accPos_ = 0;
    }
}

}  // namespace qk::dsp
