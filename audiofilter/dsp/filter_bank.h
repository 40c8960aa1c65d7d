// Complex-modulated (generalized DFT, odd-stacked) filter bank pair with K
// bands, decimation D = K / 2 and a prototype of 2M + 1 taps. The input is
// real, so band K-1-k is the conjugate of band k; the bank hands out and
// takes back only the K/2 bands that cover 0 .. rate/2, band 0 lowest.
//
// Analysis band samples are 8 times the band's share of the input; the
// synthesis scale is derived from the prototype so that analysis followed by
// synthesis has unity gain and a delay of 2M samples.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <cstddef>
#include <vector>

#include "audiofilter/dsp/stage.h"

struct kiss_fft_state;

namespace qk::dsp {

struct BandPlan {
    ULONG bands;       // K
    ULONG decimation;  // D = K / 2
    ULONG halfTaps;    // M; the prototype has 2M + 1 taps
    ULONG taps() const { return 2 * halfTaps + 1; }
    ULONG uniqueBands() const { return bands / 2; }
    ULONG delay() const { return 2 * halfTaps; }
};

constexpr BandPlan kPlan16{.bands = 16, .decimation = 8, .halfTaps = 64};
constexpr BandPlan kPlan32{.bands = 32, .decimation = 16, .halfTaps = 128};

// NoiseGuard and BFA choose from the capture rate; the echo canceller from
// its (possibly halved) processing rate.
inline BandPlan SuppressorPlanForRate(ULONG captureRateHz) { return captureRateHz <= 12000 ? kPlan16 : kPlan32; }
inline BandPlan EchoPlanForRate(ULONG processingRateHz) { return processingRateHz < 16000 ? kPlan16 : kPlan32; }

// The prototype h[i] = sinc(i/K) w[i], normalised to sum 1 (2M + 1 taps).
std::vector<float> MakePrototype(const BandPlan& plan);

// Holds the K-point transform shared by the two halves.
class KissTransform {
public:
    KissTransform() = default;
    ~KissTransform();
    KissTransform(const KissTransform&) = delete;
    KissTransform& operator=(const KissTransform&) = delete;
    bool Setup(size_t points, bool inverse);
    // out[k] = sum_n in[n] e^{+-j 2 pi k n / N}, unnormalised.
    void Run(const Complex* in, Complex* out) const;

private:
    kiss_fft_state* cfg_ = nullptr;
};

class SubbandAnalyzer {
public:
    static constexpr float kAnalysisScale = 8.0f;

    // False when the transform could not be made (no memory).
    bool Setup(const BandPlan& plan);
    void Reset();
    const BandPlan& plan() const { return plan_; }

    // Takes one sample; every D samples a new band frame is ready and the
    // call returns true. Bands() then holds K/2 band samples.
    bool Push(float sample) {
        history_[pos_++] = sample;
        if (++phase_ < plan_.decimation) return false;
        phase_ = 0;
        Analyze();
        return true;
    }
    const Complex* Bands() const { return bands_.data(); }

private:
    void Analyze();

    BandPlan plan_ = kPlan16;
    DspVector<float> reversedSigned_;  // prototype reversed, with the (-1)^q modulation signs
    DspVector<float> history_;
    DspVector<float> folded_;
    DspVector<float> reversedFold_;
    DspVector<Complex> twiddle_;  // e^{j pi r / K}
    DspVector<Complex> work_;
    DspVector<Complex> spectrum_;
    DspVector<Complex> bands_;
    KissTransform transform_;
    size_t pos_ = 0;
    ULONG phase_ = 0;
};

class SubbandSynthesizer {
public:
    // False when the transform could not be made (no memory).
    bool Setup(const BandPlan& plan);
    void Reset();
    const BandPlan& plan() const { return plan_; }

    // Takes K/2 band samples and writes D output samples.
    void Synthesize(const Complex* bands, float* out);

private:
    BandPlan plan_ = kPlan16;
    DspVector<float> signedPrototype_;
    DspVector<float> accumulator_;
    DspVector<float> modulation_;
    DspVector<Complex> twiddle_;
    DspVector<Complex> full_;
    DspVector<Complex> time_;
    KissTransform transform_;
    float scale_ = 1.0f;
    size_t accPos_ = 0;
};

}  // namespace qk::dsp
