// BFA: the beam with its adaptive side-noise canceller.
#include <gtest/gtest.h>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/tests/dsp_test_util.h"
#include "sim/sound/scene.h"

namespace qk::dsp {
namespace {

using testing::Decibels;
using testing::Energy;
using testing::RunStereo;

TEST(Bfa, IdenticalChannelsGiveTheBeamAndLeaveTheFiltersAlone) {
    Bfa bfa;
    bfa.Setup(16000);
    bfa.SetNoiseGuard(false);
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = 16000, .seconds = 3, .noise = {{.angleDeg = 0}}});
    const std::vector<float>& x = s.talker[0];
    std::vector<float> mix = s.Mix(0, true, true, false, false);
    std::vector<float> y = RunStereo(bfa, mix, mix);
    ASSERT_EQ(y.size(), mix.size() - bfa.Delay());
    std::vector<float> diff(y.size());
    for (size_t i = 0; i < y.size(); ++i) diff[i] = y[i] - mix[i];
    EXPECT_LT(Decibels(Energy(diff, 4000, y.size()) / Energy(mix, 4000, y.size())), -30.0);
    for (size_t b = 0; b < bfa.bandCount(); ++b) {
        EXPECT_EQ(bfa.adaptations(b), 0u);
        EXPECT_EQ(bfa.filter(b).WeightEnergy(), 0.0);
    }
    (void)x;
}

TEST(Bfa, SideNoiseIsSuppressedBeyondTheBeamWhereTheBandsAdapt) {
    for (ULONG rate : {8000u, 16000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene(
            {.rateHz = double(rate), .seconds = 8, .talker = false, .noise = {{.angleDeg = 70, .level = 800}}});
        Bfa bfa;
        bfa.Setup(rate);
        bfa.SetNoiseGuard(false);
        std::vector<float> y = RunStereo(bfa, s.side[0], s.side[1]);
        std::vector<float> beam(y.size());
        for (size_t i = 0; i < beam.size(); ++i) beam[i] = 0.5f * (s.side[0][i] + s.side[1][i]);
        const size_t from = rate * 5;
        EXPECT_GT(Decibels(Energy(beam, from, y.size()) / Energy(y, from, y.size())), 2.0);
        // The lowest band carries too little difference signal at 10 cm to
        // adapt; the middle of the band plan adapts on stationary noise.
        EXPECT_EQ(bfa.adaptations(0), 0u);
        EXPECT_GT(bfa.adaptations(bfa.bandCount() / 2), 1000u);
        EXPECT_GT(bfa.filter(bfa.bandCount() / 2).WeightEnergy(), 0.0);
    }
}

TEST(Bfa, FrontTalkerPassesWhileSideNoiseIsCancelled) {
    qk::sim::Scene s = qk::sim::RenderScene(
        {.rateHz = 8000, .seconds = 6, .talkerLevel = 3000, .noise = {{.angleDeg = 70, .level = 500}}});
    auto make = [] {
        auto b = MakeStage<Bfa>();
        b->Setup(8000);
        b->SetNoiseGuard(false);
        return b;
    };
    double distortion = testing::TalkerDistortion(make, s.talker[0], s.talker[1], s.side[0], s.side[1],
                                                  s.talkerActive, 8000 * 2);
    EXPECT_LT(distortion, -15.0);
}

TEST(Bfa, ReferenceAndFastKernelsGiveTheSameOutput) {
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = 8000, .seconds = 3, .noise = {{.angleDeg = 50, .level = 600}}});
    std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
    Bfa a, b;
    a.Setup(8000, ReferenceKernels());
    b.Setup(8000, FastKernels());
    std::vector<float> ya = RunStereo(a, l, r), yb = RunStereo(b, l, r);
    ASSERT_EQ(ya.size(), yb.size());
    std::vector<float> diff(ya.size());
    for (size_t i = 0; i < ya.size(); ++i) diff[i] = ya[i] - yb[i];
    EXPECT_LT(Decibels((Energy(diff, 0, diff.size()) + 1e-20) / Energy(ya, 0, ya.size())), -60.0);
}

}  // namespace
}  // namespace qk::dsp
