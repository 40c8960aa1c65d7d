// The two-microphone scene (each part measured on its own), WAV files at
// other rates, and the audio function's requests and packets.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <numeric>

#include "platform/usb/configuration.h"
#include "sim/microphone/microphone.h"
#include "sim/microphone/usb_microphone.h"

namespace qk::sim {
namespace {

using qk::usb::Handshake;
using qk::usb::IsoResult;
using qk::usb::SetupPacket;

constexpr double kPi = 3.14159265358979323846;

std::vector<float> Channel(const std::vector<float>& interleaved, int channel) {
    std::vector<float> out;
    for (size_t i = channel; i < interleaved.size(); i += 2) out.push_back(interleaved[i]);
    return out;
}

double Energy(const std::vector<float>& x) {
    return std::accumulate(x.begin(), x.end(), 0.0, [](double a, float v) { return a + double(v) * v; });
}

double Correlation(const std::vector<float>& a, const std::vector<float>& b, int lag) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int64_t j = int64_t(i) + lag;
        if (j >= 0 && j < int64_t(b.size())) sum += double(a[i]) * b[j];
    }
    return sum;
}

TEST(SoundSceneTest, TalkerIsTheSameAtBothMicrophonesAndTheNoiseArrivesLaterAtTheSecond) {
    TwoMicrophoneScene scene;
    std::vector<float> talker(2 * 16000);
    scene.CaptureComponent(kSceneTalker, 16000, 0, talker);
    EXPECT_EQ(Channel(talker, 0), Channel(talker, 1));
    EXPECT_GT(Energy(Channel(talker, 0)), 10.0);

    // The noise source's delay, measured by the peak of the cross-correlation
    // refined with a parabola, at two rates.
    double expected = scene.NoiseDelaySeconds();
    EXPECT_NEAR(expected, 0.10 * std::sin(60 * kPi / 180) / 343.0, 1e-12);
    for (int rate : {16000, 48000}) {
        SCOPED_TRACE(rate);
        std::vector<float> noise(2 * rate);
        scene.CaptureComponent(kSceneNoise, rate, 12345, noise);
        auto left = Channel(noise, 0), right = Channel(noise, 1);
        int best = 0;
        for (int lag = -20; lag <= 20; ++lag) {
            if (Correlation(left, right, lag) > Correlation(left, right, best)) best = lag;
        }
        double ym = Correlation(left, right, best - 1), y0 = Correlation(left, right, best),
               yp = Correlation(left, right, best + 1);
        double peak = best + 0.5 * (ym - yp) / (ym - 2 * y0 + yp);
        EXPECT_NEAR(peak / rate, expected, 0.05 / rate);
    }
    // Diffuse noise has little in common between the microphones.
    std::vector<float> diffuse(2 * 16000);
    scene.CaptureComponent(kSceneDiffuse, 16000, 0, diffuse);
    auto l = Channel(diffuse, 0), r = Channel(diffuse, 1);
    EXPECT_LT(std::abs(Correlation(l, r, 0)) / std::sqrt(Energy(l) * Energy(r)), 0.1);
    // The whole scene is the sum of its parts (no echo without a loudspeaker).
    std::vector<float> all(2 * 1600), sum(2 * 1600, 0.0f), part(2 * 1600);
    scene.Capture(16000, 800, all);
    for (auto c : {kSceneTalker, kSceneNoise, kSceneDiffuse, kSceneEcho}) {
        scene.CaptureComponent(c, 16000, 800, part);
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += part[i];
    }
    for (size_t i = 0; i < all.size(); ++i) ASSERT_NEAR(all[i], sum[i], 1e-6);
}

TEST(SoundSceneTest, EchoIsWhatTheLoudspeakerPlayedDelayedAndSmeared) {
    SceneParameters p;
    p.echoDelayMs = 10;
    p.echoGain = 0.5;
    TwoMicrophoneScene scene(p);
    std::vector<float> click(2 * 100, 0.0f);
    click[0] = click[1] = 1.0f;  // an impulse at frame 1000
    scene.Play(16000, 1000, click);
    std::vector<float> echo(2 * 2000);
    scene.CaptureComponent(kSceneEcho, 16000, 1000, echo);
    auto left = Channel(echo, 0);
    EXPECT_EQ(left[159], 0.0f);
    EXPECT_NEAR(left[160], 0.5f, 1e-6);  // 10 ms later at 16 kHz
    double tail = 0;
    for (size_t i = 161; i < left.size(); ++i) tail += std::abs(left[i]);
    EXPECT_GT(tail, 0.0);
    EXPECT_EQ(Channel(echo, 1), left);
}

std::string WriteSine(int rate, double frequency, int channels) {
    auto path = std::filesystem::temp_directory_path() / ("qk-sine-" + std::to_string(::getpid()) + ".wav");
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> samples(size_t(rate) * channels);
    for (int i = 0; i < rate; ++i) {
        for (int c = 0; c < channels; ++c) samples[size_t(i) * channels + c] = 0.5f * std::sin(2 * kPi * frequency * i / rate);
    }
    sf_writef_float(file, samples.data(), rate);
    sf_close(file);
    return path.string();
}

TEST(WavSourceTest, FileIsResampledToTheRateAskedAndLooped) {
    std::string path = WriteSine(44100, 1000.0, 1);
    WavSource source(path);
    EXPECT_EQ(source.FileRate(), 44100);
    std::vector<float> out(2 * 16000);
    source.Capture(16000, 0, out);
    auto left = Channel(out, 0);
    EXPECT_EQ(left, Channel(out, 1));  // mono reaches both microphones
    int crossings = 0;
    for (size_t i = 1; i < left.size(); ++i) crossings += (left[i - 1] < 0) != (left[i] < 0);
    EXPECT_NEAR(crossings, 2000, 4);  // still 1 kHz
    double rms = std::sqrt(Energy(left) / left.size());
    EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.01);
    // Past the end of the one-second file it starts again.
    std::vector<float> again(2 * 10);
    source.Capture(16000, 16000, again);
    EXPECT_NEAR(again[2], out[2], 0.02);
    std::filesystem::remove(path);
    EXPECT_THROW(WavSource("/nonexistent.wav"), std::runtime_error);
}

class MicrophoneTest : public ::testing::Test {
protected:
    MicrophoneTest() : function_(MicrophoneOptions{}, scene_) { function_.Attach(1000); }
    qk::usb::ControlResult Request(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                   std::vector<uint8_t>& data) {
        SetupPacket setup{type, request, value, index, static_cast<uint16_t>(data.size())};
        return function_.Request(setup, data);
    }
    std::shared_ptr<TwoMicrophoneScene> scene_ = std::make_shared<TwoMicrophoneScene>();
    MicrophoneFunction function_;
};

TEST_F(MicrophoneTest, SamplingRateMuteAndVolumeRequests) {
    std::vector<uint8_t> rate = {0x44, 0xAC, 0x00};  // 44100
    EXPECT_EQ(Request(0x22, 0x01, 0x0100, 0x82, rate).handshake, Handshake::Ack);
    std::vector<uint8_t> got(3);
    EXPECT_EQ(Request(0xA2, 0x81, 0x0100, 0x82, got).handshake, Handshake::Ack);
    EXPECT_EQ(got, rate);
    std::vector<uint8_t> odd = {0x10, 0x27, 0x00};  // 10000: the nearest rate offered is 11025
    Request(0x22, 0x01, 0x0100, 0x82, odd);
    EXPECT_EQ(function_.CaptureRate(), 11025u);
    std::vector<uint8_t> mute = {1};
    EXPECT_EQ(Request(0x21, 0x01, 0x0100, 0x0202, mute).handshake, Handshake::Ack);
    EXPECT_TRUE(function_.Muted());
    std::vector<uint8_t> volume(2);
    EXPECT_EQ(Request(0xA1, 0x83, 0x0200, 0x0202, volume).handshake, Handshake::Ack);
    EXPECT_EQ(static_cast<int16_t>(volume[0] | volume[1] << 8), MicrophoneFunction::kVolumeMax);
    std::vector<uint8_t> loud = {0x00, 0x7F};  // +127 dB: out of range
    EXPECT_EQ(Request(0x21, 0x01, 0x0200, 0x0202, loud).handshake, Handshake::Stall);
    std::vector<uint8_t> other(1);
    EXPECT_EQ(Request(0xA1, 0x81, 0x0100, 0x0702, other).handshake, Handshake::Stall);  // no unit 7
    EXPECT_EQ(Request(0xA1, 0x81, 0x0101, 0x0202, other).handshake, Handshake::Stall);  // per-channel: not offered
}

TEST_F(MicrophoneTest, PacketsCarryEveryMillisecondsSamplesAt441kHz) {
    std::vector<uint8_t> rate = {0x44, 0xAC, 0x00};
    Request(0x22, 0x01, 0x0100, 0x82, rate);
    std::vector<uint8_t> packet(192);
    EXPECT_EQ(function_.CaptureIn(1000, packet).status, IsoResult::Status::NoResponse);  // not streaming yet
    function_.SetInterface(3, 1, 1000);
    uint64_t bytes = 0;
    for (uint32_t frame = 1000; frame < 2000; ++frame) {
        IsoResult r = function_.CaptureIn(frame, packet);
        ASSERT_TRUE(r.length == 44 * 4 || r.length == 45 * 4) << r.length;
        bytes += r.length;
    }
    EXPECT_EQ(bytes, 44100u * 4);  // exactly a second's samples in a second
    // Muted: silence.
    std::vector<uint8_t> mute = {1};
    Request(0x21, 0x01, 0x0100, 0x0202, mute);
    IsoResult r = function_.CaptureIn(2000, packet);
    EXPECT_TRUE(std::all_of(packet.begin(), packet.begin() + r.length, [](uint8_t b) { return b == 0; }));
}

TEST(UsbMicrophoneTest, StandAloneMicrophoneHasValidFullSpeedDescriptors) {
    UsbMicrophoneConfig config;
    config.vendorId = 0xFA03;
    config.productId = 2;
    config.speaker = true;
    UsbMicrophone microphone(config, std::make_shared<TwoMicrophoneScene>());
    auto set = microphone.Descriptors();
    EXPECT_EQ(set.device[8] | set.device[9] << 8, 0xFA03);
    qk::usb::ConfigurationInfo info;
    std::string error;
    ASSERT_TRUE(qk::usb::ParseConfiguration(set.configuration, qk::usb::Speed::Full, &info, &error)) << error;
    EXPECT_EQ(info.interfaces.size(), 3u);
    EXPECT_EQ(info.Interface(1)->Alternate(1)->endpoints[0].interval, 1);
    EXPECT_EQ(info.Interface(2)->Alternate(1)->endpoints[0].address, 0x02);
    EXPECT_EQ(qk::usb::GroupFunctions(info).size(), 1u);  // one function: the association covers all three
}

}  // namespace
}  // namespace qk::sim
