// BFA3: readiness, framing and directional suppression.
#include <gtest/gtest.h>

#include <cmath>

#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/bin_kernels.h"
#include "audiofilter/dsp/tests/dsp_test_util.h"
#include "sim/sound/scene.h"

namespace qk::dsp {
namespace {

using testing::Decibels;
using testing::Energy;
using testing::RunStereo;

TEST(Bfa3, ReadyOnlyWithinEightToFortyEightKilohertz) {
    struct Row { ULONG rate; bool ready; } rows[] = {{7999, false}, {4000, false}, {8000, true}, {11025, true},
                                                     {44100, true}, {48000, true}, {48001, false}, {9000, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        Bfa3 b;
        EXPECT_EQ(b.Setup(row.rate), row.ready);
        std::vector<float> l(1000, 100.0f), r(1000, 300.0f), out(1000);
        size_t n = b.Process(l.data(), r.data(), 1000, out.data());
        if (!row.ready) {
            ASSERT_EQ(n, 1000u);
            EXPECT_FLOAT_EQ(out[10], 200.0f);
        }
    }
    EXPECT_NEAR(Bfa3::kLookThreshold, 0.01048f, 1e-5f);
}

TEST(Bfa3, OneOutputPerInputOnceFilledAtEveryRate) {
    for (ULONG rate : {8000u, 11025u, 12000u, 22050u, 44100u, 48000u}) {
        SCOPED_TRACE(rate);
        Bfa3 b;
        ASSERT_TRUE(b.Setup(rate));
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = 1.5});
        std::vector<float> y = RunStereo(b, s.talker[0], s.talker[1], 777);
        EXPECT_EQ(y.size(), s.size() - b.Delay());
        // The front talker passes: the output follows the input.
        std::vector<float> diff(y.size());
        for (size_t i = 0; i < y.size(); ++i) diff[i] = y[i] - s.talker[0][i];
        EXPECT_LT(Decibels(Energy(diff, rate / 2, y.size()) / Energy(s.talker[0], rate / 2, y.size())), -10.0);
    }
}

TEST(Bfa3, SideNoiseIsSuppressedBeyondTheBeamAndTheTalkerKept) {
    qk::sim::Scene s = qk::sim::RenderScene(
        {.rateHz = 16000, .seconds = 8, .talkerLevel = 3000, .noise = {{.angleDeg = -60, .level = 600}}});
    Bfa3 b;
    b.Setup(16000);
    std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
    std::vector<float> y = RunStereo(b, l, r);
    // Output in the talker's pauses against the beam of the noise there.
    double outPause = 0, beamPause = 0;
    for (size_t i = 16000 * 4; i < y.size(); ++i) {
        if (s.talkerActive[i]) continue;
        double beam = 0.5 * (s.side[0][i] + s.side[1][i]);
        outPause += double(y[i]) * y[i];
        beamPause += beam * beam;
    }
    EXPECT_GT(Decibels(beamPause / outPause), 10.0);
    // The talker's share of the output stays (at 8000 Hz, where the stage
    // keeps the whole band).
    qk::sim::Scene n = qk::sim::RenderScene(
        {.rateHz = 8000, .seconds = 8, .talkerLevel = 3000, .noise = {{.angleDeg = -60, .level = 600}}});
    auto make = [] {
        auto stage = MakeStage<Bfa3>();
        stage->Setup(8000);
        return stage;
    };
    EXPECT_LT(testing::TalkerDistortion(make, n.talker[0], n.talker[1], n.side[0], n.side[1], n.talkerActive,
                                        8000 * 2),
              -10.0);
}

TEST(Bfa3, FrontalFramesTeachTheRelativeTransferFunction) {
    // A loud talker in front: frames with many strong frontal bins update
    // the RTF, which stays near 1 for matched microphones.
    qk::sim::Scene s = qk::sim::RenderScene(
        {.rateHz = 8000, .seconds = 8, .talkerLevel = 8000, .noise = {{.angleDeg = -60, .level = 50}}});
    Bfa3 b;
    b.Setup(8000);
    std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
    RunStereo(b, l, r);
    EXPECT_GT(b.rtfUpdates(), 10u);
    for (size_t k : {20u, 40u, 60u}) EXPECT_NEAR(std::abs(b.rtf(k)), 1.0, 0.15) << k;
    EXPECT_FALSE(b.overflowed());
}

// Side-noise suppression in the talker's pauses from `fromSample` on:
// the beam of the side noise against what the stage left of the scene.
double SideSuppressionDb(const qk::sim::Scene& s, const std::vector<float>& l, const std::vector<float>& r,
                         size_t leading, size_t fromSample) {
    Bfa3 b;
    b.Setup(ULONG(s.rateHz));
    std::vector<float> y = RunStereo(b, l, r);
    double out = 0, beam = 0;
    for (size_t i = leading + fromSample; i < y.size(); ++i) {
        const size_t j = i - leading;
        if (j >= s.size() || s.talkerActive[j]) continue;
        const double side = 0.5 * (s.side[0][j] + s.side[1][j]);
        out += double(y[i]) * y[i];
        beam += side * side;
    }
    EXPECT_FALSE(b.overflowed());
    return Decibels(beam / out);
}

TEST(Bfa3, DigitalSilenceAtTheStartOrAMuteDoesNotShutTheStageOff) {
    // A muted or silent start is normal for a microphone: the stage must go
    // on suppressing the side noise once sound arrives, as it does without.
    qk::sim::Scene s = qk::sim::RenderScene(
        {.rateHz = 16000, .seconds = 20, .talkerLevel = 3000, .noise = {{.angleDeg = -60, .level = 600}}});
    std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
    const double plain = SideSuppressionDb(s, l, r, 0, 16000 * 16);
    struct Row { const char* name; size_t leading; size_t muteFrom, muteTo; } rows[] = {
        {"20 ms of silence first", 320, 0, 0},
        {"2 s of silence first", 32000, 0, 0},
        {"a 1.5 s mute after 1 s", 0, 16000, 40000},
        {"a 12 s mute after 1 s", 0, 16000, 16000 * 13},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<float> ls(row.leading, 0.0f), rs(row.leading, 0.0f);
        ls.insert(ls.end(), l.begin(), l.end());
        rs.insert(rs.end(), r.begin(), r.end());
        for (size_t i = row.muteFrom; i < row.muteTo; ++i) ls[i] = rs[i] = 0.0f;
        const double db = SideSuppressionDb(s, ls, rs, row.leading, 16000 * 16);
        EXPECT_GT(db, 10.0);
        EXPECT_GT(db, plain - 3.0) << "without silence: " << plain;
    }
}

TEST(Bfa3, AQuotientBeyondAMillionOverARealFloorSetsTheOverflowFlag) {
    Bfa3 b;
    b.Setup(8000);
    // A whisper of noise makes a floor; a burst twenty million times louder
    // breaks it, and the stage passes the half sum until it is set up again.
    std::vector<float> quiet = qk::sim::WhiteNoise(8000 * 2, 5), out(8000 * 2);
    for (float& v : quiet) v *= 0.02f;
    b.Process(quiet.data(), quiet.data(), quiet.size(), out.data());
    EXPECT_FALSE(b.overflowed());
    std::vector<float> loud(8000, 0.0f), right(8000, 0.0f);
    for (size_t i = 0; i < loud.size(); ++i) {
        loud[i] = float(20000 * std::sin(0.3 * double(i)));
        right[i] = 0.5f * loud[i];
    }
    size_t n = b.Process(loud.data(), right.data(), loud.size(), out.data());
    EXPECT_TRUE(b.overflowed());
    ASSERT_EQ(n, loud.size());
    // Half a second later the output carries the half sum at its full level.
    const double rms = std::sqrt(Energy(out, 4000, 8000) / 4000.0);
    EXPECT_NEAR(rms, 0.75 * 20000 / std::sqrt(2.0), 0.05 * 0.75 * 20000 / std::sqrt(2.0));
    b.Setup(8000);
    EXPECT_FALSE(b.overflowed());
}

TEST(Bfa3, FastBinKernelMatchesTheReference) {
    // Random spectra, zero bins (no direction at all) and thresholds of
    // either sign, over ranges that leave partial groups of four.
    const size_t bins = 129;
    std::vector<float> x1 = qk::sim::WhiteNoise(2 * bins, 31), x2 = qk::sim::WhiteNoise(2 * bins, 32);
    std::vector<float> t1 = qk::sim::WhiteNoise(bins, 33), t2(bins), t3(bins);
    for (size_t k = 0; k < bins; ++k) {
        t2[k] = t1[k] * 0.5f - 0.3f;
        t3[k] = k % 7 == 0 ? -2.0f : t1[k] - 1.0f;
    }
    for (size_t k = 10; k < 14; ++k) x1[2 * k] = x1[2 * k + 1] = x2[2 * k] = x2[2 * k + 1] = 0.0f;
    for (auto [from, to] : {std::pair<size_t, size_t>{0, bins}, {1, 128}, {3, 6}}) {
        SCOPED_TRACE(from);
        std::vector<float> crossA = qk::sim::WhiteNoise(2 * bins, 34), crossB = crossA;
        for (size_t k = 10; k < 14; ++k) crossA[2 * k] = crossA[2 * k + 1] = crossB[2 * k] = crossB[2 * k + 1] = 0.0f;
        std::vector<float> m1a(bins, -1), m2a(bins, -1), m1b = m1a, m2b = m2a;
        std::vector<int32_t> da(bins, -1), db = da;
        BinAnalysis a{x1.data(), x2.data(), 0.4f, 0.6f, crossA.data(), t1.data(), t2.data(), t3.data(),
                      m1a.data(), m2a.data(), da.data()};
        BinAnalysis b = a;
        b.cross = crossB.data();
        b.magnitude1 = m1b.data();
        b.magnitude2 = m2b.data();
        b.direction = db.data();
        AnalyseBinsReference(a, from, to);
        AnalyseBinsFast(b, from, to);
        for (size_t k = 0; k < bins; ++k) {
            SCOPED_TRACE(k);
            ASSERT_FLOAT_EQ(m1a[k], m1b[k]);
            ASSERT_FLOAT_EQ(m2a[k], m2b[k]);
            ASSERT_FLOAT_EQ(crossA[2 * k], crossB[2 * k]);
            ASSERT_FLOAT_EQ(crossA[2 * k + 1], crossB[2 * k + 1]);
            ASSERT_EQ(da[k], db[k]);
            if (k >= from && k < to) {
                ASSERT_TRUE(da[k] >= 1 && da[k] <= 4);
            } else {
                ASSERT_EQ(da[k], -1);
            }
        }
    }
}

}  // namespace
}  // namespace qk::dsp
