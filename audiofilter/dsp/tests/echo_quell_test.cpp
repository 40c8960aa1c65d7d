// EchoQuell: calibration, delay measurement, cancellation, echo reduction.
#include <gtest/gtest.h>

#include <cstdlib>

#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/tests/dsp_test_util.h"
#include "sim/sound/scene.h"

namespace qk::dsp {
namespace {

using testing::Decibels;
using testing::Energy;

// Plays the probe through the scene's echo path and measures the delay.
LONG Calibrate(EchoQuell& eq, const qk::sim::Scene& s) {
    std::vector<float> played(eq.Response().size() + 200000, 0.0f);
    size_t n = 0;
    std::vector<int16_t> response;
    for (size_t guard = 0; !eq.ResponseFull() && guard < 10; ++guard) {
        size_t total = 0;
        for (; total < 48000 * 2; ++total) played[n + total] = eq.NextCalibrationSample();
        n += total;
        played.resize(n);
        std::vector<float> mic = s.ThroughEchoPath(played, 0);
        std::vector<int16_t> mic16(mic.size());
        for (size_t i = 0; i < mic.size(); ++i) mic16[i] = int16_t(std::lround(mic[i]));
        eq.RecordResponse(mic16.data(), mic16.size());
    }
    return eq.EstimateDelay();
}

TEST(EchoQuell, CalibrationBuffersFollowTheRate) {
    struct Row { ULONG rate; size_t tail; } rows[] = {{8000, 3200}, {11025, 4400}, {16000, 6400}, {22050, 8800},
                                                      {32000, 12800}, {44100, 17600}, {48000, 19200}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        EchoQuell eq;
        ASSERT_TRUE(eq.Setup(row.rate));
        size_t expected = size_t(row.rate) * 2721 / 8000 + 10 - 120;
        EXPECT_EQ(eq.CalibrationSignal().size(), expected);
        EXPECT_EQ(eq.delay(), -1);
        EXPECT_TRUE(eq.calibrating());
        EXPECT_EQ(CalibrationTable().size(), 2721u);
        EXPECT_FALSE(eq.ResponseFull());
        std::vector<int16_t> zeros(expected + row.tail + 100, 0);
        EXPECT_EQ(eq.RecordResponse(zeros.data(), zeros.size()), expected + row.tail);
        EXPECT_TRUE(eq.ResponseFull());
    }
    EchoQuell low;
    EXPECT_FALSE(low.Setup(7999));
}

TEST(EchoQuell, MeasuresTheEchoDelay) {
    // Within one sample at 8000 Hz, within the decimation factor above.
    struct Row { ULONG rate; double delayMs; long tolerance; } rows[] = {
        {8000, 37.0, 1}, {16000, 52.5, 2}, {44100, 61.0, 4}, {48000, 20.0, 6}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(row.rate), .seconds = 0.1, .talker = false,
                                                 .echo = true, .echoDelayMs = row.delayMs});
        EchoQuell eq;
        eq.Setup(row.rate);
        LONG measured = Calibrate(eq, s);
        EXPECT_NEAR(double(measured), double(s.echoDelaySamples), double(row.tolerance));
        EXPECT_EQ(eq.delay(), measured);
        EXPECT_FALSE(eq.calibrating());
    }
}

TEST(EchoQuell, CancelsTheEchoAndReportsTheReduction) {
    const ULONG rate = 8000;
    qk::sim::Scene s = qk::sim::RenderScene(
        {.rateHz = rate, .seconds = 16, .talker = false, .diffuseLevel = 10, .echo = true, .echoDelayMs = 30});
    EchoQuell eq;
    eq.Setup(rate);
    eq.SetDelay(s.echoDelaySamples);
    std::vector<int16_t> mic(s.size()), ref(s.size()), out(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        mic[i] = int16_t(std::lround(s.echo[0][i]));
        ref[i] = int16_t(std::lround(s.farEnd[i]));
    }
    std::vector<ULONG> figures;
    for (size_t at = 0; at + 2048 <= s.size(); at += 2048) {
        eq.Process(mic.data() + at, ref.data() + at, 2048, out.data() + at);
        figures.push_back(eq.EchoReduction());
    }
    for (ULONG f : figures) EXPECT_LE(f, 100u);
    EXPECT_GT(figures.back(), 50u);
    std::vector<float> in(mic.begin(), mic.end()), o(out.begin(), out.end());
    double erle = Decibels(Energy(in, rate * 12, s.size()) / Energy(o, rate * 12, s.size()));
    EXPECT_GT(erle, 20.0);
}

TEST(EchoQuell, NearEndAlonePassesThrough) {
    // With the far end silent nothing adapts and nothing is suppressed: the
    // near-end talker comes out as it went in (less its DC), after the
    // canceller's delay. At 48000 Hz the bands run at half the rate; the
    // band above passes around them, so the whole talker still comes out.
    for (ULONG rate : {16000u, 48000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = 3, .talkerLevel = 3000});
        EchoQuell eq;
        eq.Setup(rate);
        eq.SetDelay(LONG(rate / 40));
        std::vector<int16_t> mic(s.size()), ref(s.size(), 0), out(s.size());
        for (size_t i = 0; i < s.size(); ++i) mic[i] = int16_t(std::lround(s.talker[0][i]));
        for (size_t at = 0; at + 1024 <= s.size(); at += 1024)
            eq.Process(mic.data() + at, ref.data() + at, 1024, out.data() + at);
        EXPECT_EQ(eq.AdaptingShare(), 0.0);
        DcBlocker dc;
        dc.SetRate(rate);
        std::vector<float> clean(mic.begin(), mic.end());
        dc.Process(clean.data(), clean.data(), clean.size());
        const size_t lag = eq.Latency();
        double err = 0, energy = 0;
        for (size_t i = rate; i + lag < s.size() - 1024; ++i) {
            double d = double(out[i + lag]) - clean[i];
            err += d * d;
            energy += double(clean[i]) * clean[i];
        }
        EXPECT_LT(Decibels(err / energy), -25.0);
    }
}

TEST(EchoQuell, DoubleTalkKeepsTheNearEndAndTheFilters) {
    // The far end talks alone for 12 s, then the near end joins. Run once
    // with the talker added and once subtracted: half the difference of the
    // outputs is what came through of the talker, which must stay close to
    // the talker itself, and the echo alone must still be removed. At 16000
    // Hz the filters cancel far less of the echo than at 8000 Hz, so the
    // residual suppression does most of the work and must step aside while
    // the near end talks.
    for (ULONG rate : {8000u, 16000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = 16, .seed = 5,
                                                 .talkerLevel = 2500, .talkerStartS = 12, .diffuseLevel = 10,
                                                 .echo = true, .echoDelayMs = 28});
        std::vector<int16_t> ref(s.size());
        for (size_t i = 0; i < s.size(); ++i) ref[i] = int16_t(std::lround(s.farEnd[i]));
        std::vector<float> outs[2];
        for (int sign : {1, -1}) {
            EchoQuell eq;
            eq.Setup(rate);
            eq.SetDelay(s.echoDelaySamples);
            std::vector<int16_t> mic(s.size()), out(s.size());
            for (size_t i = 0; i < s.size(); ++i)
                mic[i] = int16_t(std::lround(s.echo[0][i] + float(sign) * s.talker[0][i]));
            for (size_t at = 0; at + 2048 <= s.size(); at += 2048)
                eq.Process(mic.data() + at, ref.data() + at, 2048, out.data() + at);
            outs[sign > 0 ? 0 : 1].assign(out.begin(), out.end());
            // After 12 s the 16000 Hz filters and residual models are still
            // settling; the echo alone is checked where they have.
            if (sign > 0 && rate == 8000) {
                std::vector<float> echo(s.echo[0].begin(), s.echo[0].end());
                EXPECT_GT(Decibels(Energy(echo, rate * 8, rate * 12) / Energy(outs[0], rate * 8, rate * 12)), 20.0);
            }
        }
        EchoQuell probe;
        probe.Setup(rate);
        const size_t delay = probe.Latency();
        double err = 0, energy = 0;
        for (size_t i = rate * 12; i + delay + 2048 < s.size(); ++i) {
            if (!s.talkerActive[i] || !s.farActive[i]) continue;
            double talker = 0.5 * (double(outs[0][i + delay]) - double(outs[1][i + delay]));
            double d = talker - s.talker[0][i];
            err += d * d;
            energy += double(s.talker[0][i]) * s.talker[0][i];
        }
        ASSERT_GT(energy, 0.0);
        EXPECT_LT(Decibels(err / energy), -10.0);
    }
}

TEST(EchoQuell, BypassPassesTheDcFreeMicrophoneWithTheSameLatencyAcrossSwitches) {
    // Switched off and on at block boundaries while a near-end talker talks:
    // every block comes out as the DC-free talker after the canceller's one
    // latency (the bypass used to skip the bank: each switch moved the output
    // by the latency, and stale samples from before came out after it).
    for (ULONG rate : {16000u, 48000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = 3, .talkerLevel = 3000});
        EchoQuell eq;
        eq.Setup(rate);
        eq.SetDelay(LONG(rate / 40));
        std::vector<int16_t> mic(s.size()), ref(s.size(), 0), out(s.size());
        for (size_t i = 0; i < s.size(); ++i) mic[i] = int16_t(std::lround(s.talker[0][i]));
        size_t block = 0;
        for (size_t at = 0; at + 1024 <= s.size(); at += 1024, ++block) {
            eq.SetEnabled(block % 3 != 1);
            eq.Process(mic.data() + at, ref.data() + at, 1024, out.data() + at);
        }
        EXPECT_LE(eq.EchoReduction(), 100u);
        DcBlocker dc;
        dc.SetRate(rate);
        std::vector<float> clean(mic.begin(), mic.end());
        dc.Process(clean.data(), clean.data(), clean.size());
        const size_t lag = eq.Latency();
        for (int mode = 0; mode < 2; ++mode) {
            double err = 0, energy = 0;
            for (size_t i = rate / 2; i + lag < s.size() - 1024; ++i) {
                const bool bypassed = ((i + lag) / 1024) % 3 == 1;
                if (bypassed != (mode == 1)) continue;
                double d = double(out[i + lag]) - clean[i];
                err += d * d;
                energy += double(clean[i]) * clean[i];
            }
            EXPECT_LT(Decibels(err / energy), -25.0) << (mode ? "bypassed" : "cancelling");
        }
    }
}

TEST(EchoQuell, NoRingEverDropsOrRunsDryAtAnyRateAndStepSize) {
    // Steps of any size up to the largest, switches included: every sample
    // that goes into the stage's rings comes out.
    for (ULONG rate : {8000u, 16000u, 32000u, 44100u, 48000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene(
            {.rateHz = double(rate), .seconds = 4, .talkerLevel = 2000, .echo = true, .echoDelayMs = 20});
        EchoQuell eq;
        ASSERT_TRUE(eq.Setup(rate));
        eq.SetDelay(s.echoDelaySamples);
        std::vector<int16_t> mic(s.size()), ref(s.size()), out(s.size());
        for (size_t i = 0; i < s.size(); ++i) {
            mic[i] = int16_t(std::lround(s.talker[0][i] + s.echo[0][i]));
            ref[i] = int16_t(std::lround(s.farEnd[i]));
        }
        std::srand(rate);
        for (size_t at = 0, k = 0; at < s.size(); ++k) {
            const size_t n = std::min<size_t>(s.size() - at, 1 + size_t(std::rand()) % EchoQuell::kMaxStep);
            eq.SetEnabled(k % 5 != 3);
            eq.Process(mic.data() + at, ref.data() + at, n, out.data() + at);
            at += n;
        }
        EXPECT_EQ(eq.Lost(), 0u);
    }
}

}  // namespace
}  // namespace qk::dsp
