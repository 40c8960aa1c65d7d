// The sub-band filter bank reconstructs its input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "audiofilter/dsp/filter_bank.h"
#include "sim/sound/speech.h"

namespace qk::dsp {
namespace {

TEST(FilterBank, BandPlansByRate) {
    EXPECT_EQ(SuppressorPlanForRate(12000).bands, 16u);
    EXPECT_EQ(SuppressorPlanForRate(12001).bands, 32u);
    EXPECT_EQ(EchoPlanForRate(15999).bands, 16u);
    EXPECT_EQ(EchoPlanForRate(16000).bands, 32u);
    EXPECT_EQ(kPlan16.taps(), 129u);
    EXPECT_EQ(kPlan32.taps(), 257u);
}

TEST(FilterBank, PrototypeIsSymmetricAndSumsToOne) {
    for (const BandPlan& plan : {kPlan16, kPlan32}) {
        std::vector<float> p = MakePrototype(plan);
        double sum = 0;
        for (size_t i = 0; i < p.size(); ++i) {
            sum += p[i];
            EXPECT_FLOAT_EQ(p[i], p[p.size() - 1 - i]);
        }
        EXPECT_NEAR(sum, 1.0, 1e-5);
        EXPECT_EQ(*std::max_element(p.begin(), p.end()), p[plan.halfTaps]);
    }
}

TEST(FilterBank, WhiteNoiseComesBackWithinMinus40Decibels) {
    for (const BandPlan& plan : {kPlan16, kPlan32}) {
        SCOPED_TRACE(plan.bands);
        SubbandAnalyzer a;
        SubbandSynthesizer s;
        a.Setup(plan);
        s.Setup(plan);
        std::vector<float> x = qk::sim::WhiteNoise(40000, 9);
        std::vector<float> y;
        std::vector<float> hop(plan.decimation);
        for (float v : x)
            if (a.Push(v)) {
                s.Synthesize(a.Bands(), hop.data());
                y.insert(y.end(), hop.begin(), hop.end());
            }
        // y[e] = x[e - (2M - D + 1)]
        const size_t lag = plan.delay() - plan.decimation + 1;
        double err = 0, ref = 0;
        for (size_t e = lag + 2000; e < y.size(); ++e) {
            double d = y[e] - x[e - lag];
            err += d * d;
            ref += double(x[e - lag]) * x[e - lag];
        }
        EXPECT_LT(10 * std::log10(err / ref), -40.0);
    }
}

TEST(FilterBank, ToneLandsInItsBand) {
    SubbandAnalyzer a;
    a.Setup(kPlan16);
    // Band k spans [k, k+1] * rate / 16; at 8000 Hz band 3 holds 1750 Hz.
    double energy[8] = {};
    for (int i = 0; i < 8000; ++i) {
        if (a.Push(float(1000 * std::sin(2 * 3.14159265358979 * 1750 * i / 8000.0))) && i > 1000)
            for (int b = 0; b < 8; ++b) energy[b] += std::norm(a.Bands()[b]);
    }
    for (int b = 0; b < 8; ++b) {
        // Neighbours overlap (the bank is twice oversampled); bands further
        // away are in the prototype's stop band.
        if (b == 2 || b == 4) {
            EXPECT_LT(energy[b], energy[3] * 0.1) << b;
        } else if (b != 3) {
            EXPECT_LT(energy[b], energy[3] * 3e-3) << b;
        }
    }
}

}  // namespace
}  // namespace qk::dsp
