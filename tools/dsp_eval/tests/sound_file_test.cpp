// The sound files of `qk0340 dsp run` and running a feature over them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/sound_file.h"

namespace qk::dsp {
namespace {

std::vector<uint8_t> Wav(int rate, int channels, int bits, const std::vector<int32_t>& samples, int tag = 1) {
    std::vector<uint8_t> out;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
    };
    uint32_t dataBytes = uint32_t(samples.size()) * uint32_t(bits / 8);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put(36 + dataBytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(uint32_t(tag), 2);
    put(uint32_t(channels), 2);
    put(uint32_t(rate), 4);
    put(uint32_t(rate * channels * bits / 8), 4);
    put(uint32_t(channels * bits / 8), 2);
    put(uint32_t(bits), 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put(dataBytes, 4);
    for (int32_t s : samples) put(uint32_t(s), bits / 8);
    return out;
}

TEST(SoundFile, ReadsSixteenAndThirtyTwoBitOnTheSixteenBitScale) {
    Sound s;
    std::vector<uint8_t> a = Wav(8000, 1, 16, {0, 1000, -32768, 32767});
    ASSERT_EQ(ReadSoundFromMemory(a.data(), a.size(), s), "");
    EXPECT_EQ(s.rateHz, 8000);
    EXPECT_EQ(s.channels, 1);
    EXPECT_EQ(s.samples, (std::vector<float>{0, 1000, -32768, 32767}));
    std::vector<uint8_t> b = Wav(48000, 2, 32, {65536 * 5, -65536 * 7, 0, 65536 * 100});
    ASSERT_EQ(ReadSoundFromMemory(b.data(), b.size(), s), "");
    EXPECT_EQ(s.channels, 2);
    EXPECT_EQ(s.frames(), 2u);
    EXPECT_EQ(s.samples, (std::vector<float>{5, -7, 0, 100}));
}

TEST(SoundFile, RefusesWhatTheFilterCannotTakeWithAReason) {
    struct Row { const char* name; std::vector<uint8_t> bytes; const char* reason; } rows[] = {
        {"rate below 8000", Wav(7999, 1, 16, {1, 2}), "sample rate"},
        {"rate above 48000", Wav(96000, 1, 16, {1, 2}), "sample rate"},
        {"three channels", Wav(16000, 3, 16, {1, 2, 3}), "mono or stereo"},
        {"8-bit", Wav(16000, 1, 8, {1, 2}), "16-bit or 32-bit"},
        {"not a sound file", std::vector<uint8_t>(100, 'x'), "cannot read"},
        {"empty", {}, "cannot read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sound s;
        std::string error = ReadSoundFromMemory(row.bytes.data(), row.bytes.size(), s);
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(SoundFile, WriteAndReadBack) {
    std::filesystem::path path = std::filesystem::temp_directory_path() / "qk_dsp_sound_file_test.wav";
    Sound s{16000, 2, {1, -2, 40000, -40000, 7.4f, 7.6f}};
    ASSERT_EQ(WriteSound(path.string(), s), "");
    Sound back;
    ASSERT_EQ(ReadSound(path.string(), back), "");
    EXPECT_EQ(back.samples, (std::vector<float>{1, -2, 32767, -32767, 7, 8}));  // clipped and rounded
    std::filesystem::remove(path);
    EXPECT_NE(ReadSound(path.string(), back), "");
}

TEST(FeatureRunner, EveryFeatureGivesOneLinedUpSamplePerFrame) {
    Sound mic{16000, 2, std::vector<float>(2 * 16000)};
    for (size_t i = 0; i < 16000; ++i) {
        float v = float(2000 * std::sin(0.05 * double(i)));
        mic.samples[2 * i] = v;
        mic.samples[2 * i + 1] = v;
    }
    Sound far{16000, 1, std::vector<float>(16000, 0.0f)};
    for (const char* name : {"noiseguard", "bfa", "bfa3", "echoquell"}) {
        SCOPED_TRACE(name);
        Feature f;
        ASSERT_TRUE(ParseFeature(name, f));
        Sound out;
        size_t lastDone = 0;
        ASSERT_EQ(RunFeature(f, mic, &far, out, [&](size_t done, size_t total) {
                      EXPECT_LE(done, total);
                      lastDone = done;
                  }),
                  "");
        EXPECT_EQ(out.frames(), 16000u);
        EXPECT_EQ(lastDone, 16000u);
    }
    Feature f;
    EXPECT_FALSE(ParseFeature("noise", f));
    Sound out;
    EXPECT_NE(RunFeature(Feature::kEchoQuell, mic, nullptr, out), "");
    Sound other{8000, 1, std::vector<float>(10)};
    EXPECT_NE(RunFeature(Feature::kEchoQuell, mic, &other, out), "");
}

}  // namespace
}  // namespace qk::dsp
