// The speech scenes' parts: espeak-ng speech (skipped when the program is
// absent), the resampler it goes through, recorded talkers in a scene, the
// lag search that lines a driver recording up, and the stage runner taking
// BFA3's input as the capture processor does.
#include <gtest/gtest.h>

#include <cmath>

#include "audiofilter/dsp/bfa3.h"
#include "sim/sound/scene.h"
#include "tools/dsp_eval/espeak_speech.h"
#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/speech_evaluation.h"

namespace qk::dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> Tone(double hz, double rate, size_t n, double amplitude = 1000) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = float(amplitude * std::sin(2 * kPi * hz * double(i) / rate));
    return x;
}

double Rms(const std::vector<float>& x, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to; ++i) e += double(x[i]) * x[i];
    return std::sqrt(e / double(to - from));
}

TEST(Resample, KeepsATonesLevelAndPitchAndStopsWhatTheNewRateCannotCarry) {
    // 1 kHz from espeak-ng's 22050 Hz to 16000 and 48000 Hz: same level, same phase track.
    for (double to : {16000.0, 48000.0}) {
        std::vector<float> y = Resample(Tone(1000, 22050, 22050), 22050, to);
        ASSERT_NEAR(double(y.size()), to, 1.0);
        std::vector<float> want = Tone(1000, to, y.size());
        double err = 0;
        for (size_t i = 100; i + 100 < y.size(); ++i) err += (double(y[i]) - want[i]) * (double(y[i]) - want[i]);
        EXPECT_LT(std::sqrt(err / double(y.size() - 200)), 10.0) << to;  // -40 dB of the tone
    }
    // 10 kHz lies above 16000 Hz's Nyquist: it must not fold down to 6 kHz.
    std::vector<float> folded = Resample(Tone(10000, 22050, 22050), 22050, 16000);
    EXPECT_LT(Rms(folded, 100, folded.size() - 100), 1000 / std::sqrt(2.0) * 0.05);
}

TEST(Speak, SaysTheSentencesAtTheLevelAndLengthAskedFor) {
    if (EspeakProgram().empty()) GTEST_SKIP() << "espeak-ng is not installed";
    qk::sim::SpeechSignal s;
    ASSERT_EQ(Speak({.sentences = {"One two three four five."}, .rateHz = 16000, .seconds = 4, .level = 2000}, &s), "");
    ASSERT_EQ(s.samples.size(), 64000u);
    ASSERT_EQ(s.active.size(), s.samples.size());
    double e = 0;
    size_t talking = 0;
    for (size_t i = 0; i < s.samples.size(); ++i) {
        if (!s.active[i]) continue;
        e += double(s.samples[i]) * s.samples[i];
        ++talking;
    }
    EXPECT_NEAR(std::sqrt(e / double(talking)), 2000.0, 1.0);
    EXPECT_GT(talking, s.samples.size() / 4);       // words were spoken
    EXPECT_LT(talking, s.samples.size() * 9 / 10);  // with pauses between
    // The lead-in pause is silence.
    EXPECT_EQ(Rms(s.samples, 0, 4000), 0.0);

    EXPECT_EQ(Speak({.sentences = {}}, &s), "nothing to say");
}

TEST(SpeechScene, ARecordedTalkerInFrontReachesBothMicrophonesAlikeAndASecondFromTheSideDoesNot) {
    qk::sim::SpeechSignal front{Tone(300, 16000, 8000), std::vector<uint8_t>(8000, 1)};
    qk::sim::SpeechSignal side{Tone(700, 16000, 16000), std::vector<uint8_t>(16000, 1)};
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = 16000, .seconds = 1,
                                             .noise = {{.angleDeg = 60, .level = 0, .speech = &side}},
                                             .talkerSpeech = &front});
    ASSERT_EQ(s.size(), 16000u);
    EXPECT_EQ(s.talker[0], s.talker[1]);
    EXPECT_NEAR(Rms(s.talker[0], 1000, 7000), 1000 / std::sqrt(2.0), 5.0);
    EXPECT_EQ(Rms(s.talker[0], 8100, 16000), 0.0);  // shorter than the scene: silence after
    EXPECT_NE(s.side[0], s.side[1]);
    EXPECT_NEAR(Rms(s.side[1], 1000, 15000), 1000 / std::sqrt(2.0), 5.0);
}

TEST(SpeechScene, TheLagSearchFindsHowFarARecordingTrails) {
    std::vector<float> x = Tone(313, 16000, 8000);
    for (size_t i = 0; i < x.size(); ++i) x[i] *= float(1 + (i / 700) % 3);  // not periodic
    for (size_t lag : {size_t(0), size_t(1), size_t(37), size_t(480)}) {
        std::vector<float> late(lag, 0.0f);
        late.insert(late.end(), x.begin(), x.end());
        EXPECT_EQ(Latency(x, late, 1000), lag);
    }
}

TEST(StageRunner, Bfa3TakesTheMicrophonesAsTheyComeWithoutDcRemoval) {
    // A constant offset on both microphones: the capture processor hands it
    // to BFA3 as it is, and so must the runner that stands in for it.
    const size_t n = 16000;
    std::vector<float> left = Tone(440, 16000, n), right = Tone(440, 16000, n, 800);
    Sound mic{16000, 2, std::vector<float>(2 * n)};
    for (size_t i = 0; i < n; ++i) {
        left[i] += 2000;
        right[i] += 2000;
        mic.samples[2 * i] = left[i];
        mic.samples[2 * i + 1] = right[i];
    }
    Sound out;
    ASSERT_EQ(RunFeature(Feature::kBfa3, mic, nullptr, out), "");
    Bfa3 direct;
    ASSERT_TRUE(direct.Setup(16000));
    std::vector<float> l = left, r = right, y(n + direct.Delay());
    l.resize(y.size(), 0.0f);
    r.resize(y.size(), 0.0f);
    const size_t got = direct.Process(l.data(), r.data(), l.size(), y.data());
    ASSERT_GE(got, n);
    for (size_t i = 0; i < n; i += 97) ASSERT_NEAR(out.samples[i], y[i], 0.5f) << i;
}

}  // namespace
}  // namespace qk::dsp
