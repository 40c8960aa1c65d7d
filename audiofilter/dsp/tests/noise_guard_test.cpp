// NoiseGuard: gains on stationary noise, tones above the floor, rates.
#include <gtest/gtest.h>

#include <cmath>

#include "audiofilter/dsp/noise_guard.h"
#include "audiofilter/dsp/tests/dsp_test_util.h"
#include "sim/sound/speech.h"

namespace qk::dsp {
namespace {

using testing::Decibels;
using testing::Energy;
using testing::RunMono;

constexpr double kPi = 3.14159265358979323846;

TEST(NoiseGuard, RatesAndBandPlans) {
    struct Row { ULONG rate; ULONG processing; ULONG bands; bool ready; } rows[] = {
        {8000, 8000, 16, true},     {12000, 12000, 16, true},   {16000, 16000, 32, true},
        {24000, 24000, 32, true},   {32000, 16000, 32, true},   {44100, 14700, 32, true},
        {48000, 16000, 32, true},   {3999, 3999, 16, false},    {48001, 48001, 32, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        NoiseGuard ng;
        EXPECT_EQ(ng.Setup(row.rate), row.ready);
        EXPECT_EQ(ng.processingRate(), row.processing);
        EXPECT_EQ(ng.plan().bands, row.bands);
    }
}

TEST(NoiseGuard, StationaryWhiteNoiseSitsAtTheGainFloor) {
    NoiseGuard ng;
    ng.Setup(8000);
    std::vector<float> x = qk::sim::WhiteNoise(8000 * 12, 3);
    for (float& v : x) v *= 300.0f;
    std::vector<float> y = RunMono(ng, x);
    double sum = 0;
    for (size_t b = 0; b < ng.plan().uniqueBands(); ++b) sum += ng.tracker().gain(b);
    EXPECT_LT(sum / ng.plan().uniqueBands(), 0.3);
    // About -14 dB over the last seconds.
    double reduction = Decibels(Energy(x, 8000 * 8, y.size()) / Energy(y, 8000 * 8, y.size()));
    EXPECT_GT(reduction, 10.0);
}

TEST(NoiseGuard, ToneStartingAboveTheFloorPassesNearUnity) {
    NoiseGuard ng;
    ng.Setup(8000);
    std::vector<float> x = qk::sim::WhiteNoise(8000 * 8, 4);
    for (float& v : x) v *= 100.0f;
    const size_t start = 8000 * 6;
    for (size_t i = start; i < x.size(); ++i) x[i] += float(8000 * std::sin(2 * kPi * 1250 * i / 8000.0));
    std::vector<float> y = RunMono(ng, x);
    // 1250 Hz is the centre of band 2 at 8000 Hz.
    EXPECT_GT(ng.tracker().gain(2), 0.9f);
    std::vector<float> tone(x.size(), 0.0f);
    for (size_t i = start; i < x.size(); ++i) tone[i] = float(8000 * std::sin(2 * kPi * 1250 * i / 8000.0));
    double level = Decibels(Energy(y, start + 2000, start + 10000) / Energy(tone, start + 2000, start + 10000));
    EXPECT_NEAR(level, 0.0, 1.0);
}

TEST(NoiseGuard, OutputLinesUpWithInputAtEveryRate) {
    // With suppression off the stage is a delay-compensated pass-through.
    for (ULONG rate : {8000u, 11025u, 16000u, 32000u, 44100u, 48000u}) {
        SCOPED_TRACE(rate);
        NoiseGuard ng;
        ng.Setup(rate);
        ng.SetEnabled(false);
        std::vector<float> x(rate * 2);
        for (size_t i = 0; i < x.size(); ++i) x[i] = float(3000 * std::sin(2 * kPi * 440 * i / rate));
        std::vector<float> y = RunMono(ng, x, 4096);
        EXPECT_EQ(y.size(), x.size() - ng.Delay());
        std::vector<float> diff(y.size());
        for (size_t i = 0; i < y.size(); ++i) diff[i] = y[i] - x[i];
        EXPECT_LT(Decibels(Energy(diff, rate / 2, y.size()) / Energy(x, rate / 2, y.size())), -30.0);
    }
}

TEST(NoiseGuard, NeverGivesBackMoreThanItWasGiven) {
    NoiseGuard ng;
    ng.Setup(44100);
    std::vector<float> x = qk::sim::WhiteNoise(20000, 5);
    size_t total = 0;
    for (size_t n : {1u, 7u, 300u, 4096u, 5000u, 13u}) {
        std::vector<float> buf(x.begin(), x.begin() + n);
        size_t got = ng.Process(buf.data(), n, buf.data());  // in place
        EXPECT_LE(got, n);
        total += got;
    }
    EXPECT_GT(total, 0u);
}

}  // namespace
}  // namespace qk::dsp
