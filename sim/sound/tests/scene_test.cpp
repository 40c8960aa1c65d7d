// The synthetic scene: geometry, components and the echo path.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/sound/scene.h"

namespace qk::sim {
namespace {

// Lag (in samples, fractional by parabolic interpolation) at which b best
// matches a.
double Lag(const std::vector<float>& a, const std::vector<float>& b, int maxLag) {
    std::vector<double> c(size_t(2 * maxLag + 1));
    for (int k = -maxLag; k <= maxLag; ++k) {
        double s = 0;
        for (size_t i = size_t(maxLag); i + size_t(maxLag) < a.size(); ++i) s += double(a[i]) * b[size_t(long(i) + k)];
        c[size_t(k + maxLag)] = s;
    }
    size_t best = 1;
    for (size_t i = 1; i + 1 < c.size(); ++i)
        if (c[i] > c[best]) best = i;
    double d = (c[best - 1] - c[best + 1]) / (2 * (c[best - 1] - 2 * c[best] + c[best + 1]));
    return double(best) - maxLag + d;
}

TEST(Scene, SourcesArriveWithTheirInterMicrophoneDelays) {
    struct Row { double angle; } rows[] = {{0}, {30}, {-60}, {90}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.angle);
        Scene s = RenderScene({.rateHz = 48000, .seconds = 0.5, .talker = false,
                               .noise = {{.angleDeg = row.angle, .level = 1000}}});
        // Microphone 1 hears the wave 0.1 sin(angle) / 343 s after microphone 0.
        double expected = 0.1 * std::sin(row.angle * 3.14159265358979 / 180) / 343 * 48000;
        EXPECT_NEAR(Lag(s.side[0], s.side[1], 20), expected, 0.1);
    }
}

TEST(Scene, TalkerIsIdenticalAtBothMicrophonesAndComponentsAddUp) {
    Scene s = RenderScene({.rateHz = 16000, .seconds = 2, .noise = {{.angleDeg = 45}}, .diffuseLevel = 100,
                           .echo = true});
    ASSERT_EQ(s.size(), 32000u);
    EXPECT_EQ(s.talker[0], s.talker[1]);
    std::vector<float> mic = s.Mic(1);
    for (size_t i = 0; i < s.size(); i += 997)
        EXPECT_FLOAT_EQ(mic[i], s.talker[1][i] + s.side[1][i] + s.diffuse[1][i] + s.echo[1][i]);
    size_t active = 0;
    for (uint8_t a : s.talkerActive) active += a;
    EXPECT_GT(active, s.size() / 4);  // talks
    EXPECT_LT(active, s.size());      // and pauses
    std::vector<float> flipped = s.Mix(0, true, false, false, false, -1.0f);
    EXPECT_FLOAT_EQ(flipped[20000], -s.talker[0][20000]);
}

TEST(Scene, EchoPathStartsAtItsDelayAndDecays) {
    Scene s = RenderScene({.rateHz = 8000, .seconds = 1, .talker = false, .echo = true, .echoDelayMs = 25});
    EXPECT_EQ(s.echoDelaySamples, 200);
    const std::vector<float>& h = s.echoPath[0];
    for (long i = 0; i < s.echoDelaySamples; ++i) ASSERT_EQ(h[size_t(i)], 0.0f);
    EXPECT_FLOAT_EQ(h[200], 0.6f);  // first arrival
    double early = 0, late = 0;
    for (size_t i = 202; i < 242; ++i) early += double(h[i]) * h[i];
    for (size_t i = h.size() - 40; i < h.size(); ++i) late += double(h[i]) * h[i];
    EXPECT_GT(early, 100 * late);
    // The echo is the far end through that path.
    std::vector<float> again = s.ThroughEchoPath(s.farEnd, 0);
    for (size_t i = 0; i < again.size(); i += 333) EXPECT_NEAR(again[i], s.echo[0][i], 1e-2);
}

TEST(Scene, SameSeedSameScene) {
    SceneOptions o{.rateHz = 11025, .seconds = 0.5, .noise = {{.angleDeg = 10}}, .diffuseLevel = 50};
    Scene a = RenderScene(o), b = RenderScene(o);
    EXPECT_EQ(a.Mic(0), b.Mic(0));
    o.seed = 2;
    EXPECT_NE(RenderScene(o).talker[0], a.talker[0]);
}

}  // namespace
}  // namespace qk::sim
