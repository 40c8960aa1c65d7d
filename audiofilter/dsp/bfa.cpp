#include "audiofilter/dsp/bfa.h"

#include <new>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audiofilter/dsp/noise_guard.h"

namespace qk::dsp {

namespace {

constexpr ULONG kTrackWindow = 1000;
constexpr ULONG kEarlySamples = 10;

// Reference-to-beam level ratio c a band needs before it adapts: lower in the
// low bands, where the microphones' spacing leaves even side sound little
// difference signal.
float AdaptRatio(size_t band) {
    if (band == 1) return 0.75f;
    if (band == 2) return 0.5f;
    return 1.0f;
}

}  // namespace

bool Bfa::Setup(ULONG rateHz, const BandKernels& kernels) {
    // A set-up that runs out of memory leaves the stage not ready (it passes
    // its input through) instead of throwing into the driver.
    try {
        ready_ = Configure(rateHz, kernels);
    } catch (const std::bad_alloc&) {
        ready_ = false;
    }
    return ready_;
}

bool Bfa::Configure(ULONG rateHz, const BandKernels& kernels) {
    ready_ = rateHz >= kMinRateHz && rateHz <= kMaxRateHz;
    ULONG factor = ready_ ? SuppressorReduction(rateHz) : 1;
    BandPlan plan = SuppressorPlanForRate(rateHz);
    decimateLeft_.Setup(RateRatio{1, factor});
    decimateRight_.Setup(RateRatio{1, factor});
    interpolator_.Setup(RateRatio{factor, 1});
    bool banks = analyzerLeft_.Setup(plan);
    banks = analyzerRight_.Setup(plan) && banks;
    banks = synthesizer_.Setup(plan) && banks;
    tracker_.Setup(plan.uniqueBands());
    bands_.clear();
    bands_.resize(plan.uniqueBands());
    for (size_t j = 0; j < bands_.size(); ++j) {
        size_t length = BandFilterLength(plan.bands, j);
        bands_[j].filter.Setup(length, kernels);
        bands_[j].twoMu = 2.0f * kStepConstant / float(length);
        bands_[j].ratio = AdaptRatio(j);
    }
    frame_.assign(plan.uniqueBands(), Complex());
    lowLeft_.assign(kMaxBlock / factor + 4, 0.0f);
    lowRight_.assign(lowLeft_.size(), 0.0f);
    lowOut_.assign(lowLeft_.size() + plan.decimation, 0.0f);
    high_.assign(lowOut_.size() * factor + 4, 0.0f);
    size_t latency = size_t(std::lround(decimateLeft_.Delay() * factor + interpolator_.Delay())) +
                     size_t(plan.delay() - plan.decimation + 1) * factor;
    output_.Setup(latency, size_t(plan.decimation) * factor + factor, kMaxBlock);
    return ready_ && banks;
}

size_t Bfa::Process(const float* left, const float* right, size_t count, float* out) {
    return ProcessStereoInBlocks(ready_, output_, kMaxBlock, left, right, count, out,
                                 [this](const float* l, const float* r, size_t n) { ProcessBlock(l, r, n); });
}

void Bfa::ProcessBlock(const float* left, const float* right, size_t count) {
    output_.CountInput(count);
    size_t lowCount = decimateLeft_.Process(left, count, lowLeft_.data());
    decimateRight_.Process(right, count, lowRight_.data());
    size_t lowProduced = 0;
    const ULONG d = analyzerLeft_.plan().decimation;
    for (size_t i = 0; i < lowCount; ++i) {
        bool readyLeft = analyzerLeft_.Push(lowLeft_[i]);
        analyzerRight_.Push(lowRight_[i]);
        if (!readyLeft) continue;
        const Complex* l = analyzerLeft_.Bands();
        const Complex* r = analyzerRight_.Bands();
        for (size_t j = 0; j < bands_.size(); ++j) frame_[j] = ProcessBand(bands_[j], 0.5f * (l[j] + r[j]), l[j] - r[j]);
        tracker_.Apply(frame_.data());
        synthesizer_.Synthesize(frame_.data(), lowOut_.data() + lowProduced);
        lowProduced += d;
    }
    size_t highCount = interpolator_.Process(lowOut_.data(), lowProduced, high_.data());
    output_.Produce(high_.data(), highCount);
}

void Bfa::Track(Level& t, float magnitude, bool restart, bool early) {
    t.level = 0.1f * magnitude + 0.9f * t.level;
    if (!restart) {
        t.minimum = std::min(t.minimum, t.level);
        t.candidate = std::min(t.candidate, t.level);
    } else {
        t.minimum = t.candidate;
        t.candidate = t.level;
    }
    if (early)
        t.noise = t.level;
    else if (t.minimum > 0.5f * t.level)
        t.noise = 0.005f * t.level + 0.995f * t.noise;
}

Complex Bfa::ProcessBand(Band& band, Complex beam, Complex reference) {
    const float beamMagnitude = Magnitude(beam), referenceMagnitude = Magnitude(reference);
    bool restart = false;
    if (++band.counter > kTrackWindow) {
        band.counter = 0;
        restart = true;
    }
    bool early = band.seen < kEarlySamples;
    ++band.seen;
    Track(band.tracked[0], beamMagnitude, restart, early);
    Track(band.tracked[1], referenceMagnitude, restart, early);
    band.filter.PushReference(reference);

    if (band.collected < kCollectSamples) {
        band.sumBeam += beamMagnitude;
        band.sumReference += referenceMagnitude;
        if (++band.collected == kCollectSamples) {
            band.beamAverage = std::max(1.0f, band.sumBeam / kCollectSamples);
            band.referenceAverage = band.sumReference > 0 ? band.sumReference / kCollectSamples : 1.0f;
            band.errorAverage = band.beamAverage;
        }
        return beam;
    }

    const Complex e = beam - band.filter.Estimate();
    band.errorAverage = 0.1f * Magnitude(e) + 0.9f * band.errorAverage;
    const Level& b = band.tracked[0];
    const Level& x = band.tracked[1];
    const bool adapt = 2.0f * b.noise > b.level && band.ratio * b.level < x.level;
    if (adapt) {
        band.beamAverage = 0.001f * beamMagnitude + 0.999f * band.beamAverage;
        band.referenceAverage = 0.001f * referenceMagnitude + 0.999f * band.referenceAverage;
        float ratio = band.beamAverage / std::max(band.referenceAverage, 1e-3f);
        float scale = ratio * ratio / std::max(band.errorAverage, 1e-3f);
        band.filter.Adapt(ComplexSign(e) * scale, band.twoMu);
        ++band.adaptations;
    } else if (band.wasAdapting) {
        band.filter.StopAdapting();
    }
    band.wasAdapting = adapt;
    return e;
}

}  // namespace qk::dsp
