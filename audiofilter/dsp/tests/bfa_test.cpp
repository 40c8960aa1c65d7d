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

TEST(Bfa, SideNoiseIsSuppressedBeyondTheBeamAndTheTalkerKept) {
    for (ULONG rate : {8000u, 16000u}) {
        SCOPED_TRACE(rate);
        qk::sim::Scene s = qk::sim::RenderScene(
            {.rateHz = double(rate), .seconds = 8, .talkerLevel = 3000, .noise = {{.angleDeg = 70, .level = 800}}});
        Bfa bfa;
        bfa.Setup(rate);
        bfa.SetNoiseGuard(false);
        std::vector<float> noise0 = s.side[0], noise1 = s.side[1];
        std::vector<float> y = RunStereo(bfa, noise0, noise1);
        std::vector<float> beam(noise0.size());
        for (size_t i = 0; i < beam.size(); ++i) beam[i] = 0.5f * (noise0[i] + noise1[i]);
        const size_t from = rate * 5;
        double suppression = Decibels(Energy(beam, from, y.size()) / Energy(y, from, y.size()));
        EXPECT_GT(suppression, 6.0);
    }
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
