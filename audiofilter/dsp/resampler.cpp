#include "audiofilter/dsp/resampler.h"

#include "audiofilter/dsp/kernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace qk::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr ULONG kMinFactor = 2;
constexpr ULONG kMaxFactor = 7;
constexpr size_t kHistorySlack = 4096;

double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= (x / 2) / k;
        sum += term * term;
    }
    return sum;
}

// The six filters are computed once from the closed formula (Kaiser-windowed
// sinc, beta 8: about 80 dB stop band) and never change afterwards.
struct FilterTables {
    std::array<std::vector<float>, kMaxFactor + 1> byFactor;
    FilterTables() {
        for (ULONG k = kMinFactor; k <= kMaxFactor; ++k) {
            size_t taps = 32 * k;
            std::vector<double> f(taps);
            double centre = (double(taps) - 1) / 2, sum = 0;
            for (size_t i = 0; i < taps; ++i) {
                double t = double(i) - centre;
                double x = t / centre;
                double w = BesselI0(8.0 * std::sqrt(std::max(0.0, 1 - x * x))) / BesselI0(8.0);
                double arg = t / k;
                f[i] = (arg == 0 ? 1.0 : std::sin(kPi * arg) / (kPi * arg)) * w;
                sum += f[i];
            }
            byFactor[k].resize(taps);
            for (size_t i = 0; i < taps; ++i) byFactor[k][i] = float(f[i] / sum);
        }
    }
};

const FilterTables& Tables() {
    static const FilterTables tables;
    return tables;
}

struct PathRow {
    ULONG rateHz;
    EightKiloHertzPath path;
};

constexpr PathRow kPaths[] = {
    {12000, {true, {{2, 3}, {1, 1}}, 1}}, {16000, {true, {{1, 2}, {1, 1}}, 1}},
    {24000, {true, {{1, 3}, {1, 1}}, 1}}, {32000, {true, {{1, 4}, {1, 1}}, 1}},
    {48000, {true, {{1, 6}, {1, 1}}, 1}}, {11025, {true, {{5, 7}, {1, 1}}, 1}},
    {22050, {true, {{5, 7}, {1, 2}}, 2}}, {44100, {true, {{5, 7}, {1, 4}}, 2}},
};

}  // namespace

std::span<const float> ResamplingFilter(ULONG factor) {
    if (factor < kMinFactor || factor > kMaxFactor) return {};
    return Tables().byFactor[factor];
}

EightKiloHertzPath PathTo8000(ULONG rateHz) {
    if (rateHz < 8000 || rateHz > 48000) return {};
    for (const PathRow& row : kPaths)
        if (row.rateHz == rateHz) return row.path;
    return EightKiloHertzPath{.ok = true, .steps = {}, .count = 0};
}

void Resampler::Setup(RateRatio ratio, const VectorKernels& kernels) {
    kernels_ = &kernels;
    if (ratio.up == 0 || ratio.down == 0 || std::max(ratio.up, ratio.down) > kMaxFactor) ratio = RateRatio{};
    ratio_ = ratio;
    if (ratio.identity()) {
        taps_ = 0;
        phases_.clear();
        history_.clear();
        return;
    }
    std::span<const float> f = ResamplingFilter(std::max(ratio.up, ratio.down));
    taps_ = ULONG(f.size());
    phaseLength_ = (taps_ + ratio.up - 1) / ratio.up;
    phases_.assign(size_t(ratio.up) * phaseLength_, 0.0f);
    // Phase o, entry q (q = 0 newest input) holds up * f[o + q up]; stored
    // reversed so that the dot product runs over the history in order.
    for (ULONG o = 0; o < ratio.up; ++o)
        for (ULONG q = 0; q < phaseLength_; ++q) {
            size_t t = o + size_t(q) * ratio.up;
            phases_[size_t(o) * phaseLength_ + (phaseLength_ - 1 - q)] = t < taps_ ? float(ratio.up) * f[t] : 0.0f;
        }
    history_.assign(phaseLength_ + kHistorySlack, 0.0f);
    Reset();
}

void Resampler::Reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    pos_ = phaseLength_;
    offset_ = 0;
}

double Resampler::Delay() const {
    if (ratio_.identity()) return 0.0;
    return (double(taps_) - 1) / 2 / ratio_.down;
}

size_t Resampler::Process(const float* in, size_t count, float* out) {
    if (ratio_.identity()) {
        if (out != in) std::memmove(out, in, count * sizeof(float));
        return count;
    }
    const ULONG up = ratio_.up, down = ratio_.down, len = phaseLength_;
    // Only the outputs that are kept are computed: each is one phase of the
    // filter against the history ending at the input it follows. They are
    // gathered in batches so the kernel runs several at once.
    constexpr size_t kBatch = 64;
    const float* windows[kBatch];
    const float* coefficients[kBatch];
    size_t batch = 0, produced = 0;
    auto flush = [&] {
        kernels_->dots(windows, coefficients, len, batch, out + produced);
        produced += batch;
        batch = 0;
    };
    for (size_t i = 0; i < count;) {
        if (pos_ == history_.size()) {
            std::memmove(history_.data(), history_.data() + pos_ - len, len * sizeof(float));
            pos_ = len;
        }
        size_t n = std::min(count - i, history_.size() - pos_);
        std::memcpy(history_.data() + pos_, in + i, n * sizeof(float));
        if (up == 1) {
            // Decimation: one output every `down` inputs, offset_ inputs
            // from now.
            const size_t base = pos_;
            size_t k = offset_;
            for (; k < n; k += down) {
                windows[batch] = history_.data() + base + k + 1 - len;
                coefficients[batch] = phases_.data();
                if (++batch == kBatch) flush();
            }
            offset_ = ULONG(k - n);
            pos_ += n;
            if (batch) flush();
            i += n;
            continue;
        }
        for (size_t k = 0; k < n; ++k) {
            ++pos_;
            // Outputs at intermediate times i*up + offset, offset < up, need
            // no later input than this one.
            while (offset_ < up) {
                windows[batch] = history_.data() + pos_ - len;
                coefficients[batch] = phases_.data() + size_t(offset_) * len;
                if (++batch == kBatch) flush();
                offset_ += down;
            }
            offset_ -= up;
        }
        // The history may slide before the next chunk: finish the batch.
        if (batch) flush();
        i += n;
    }
    return produced;
}

}  // namespace qk::dsp
