// The array codec as the machine builds it: a two-microphone codec on the
// high-definition audio bus, its audio function bound to the codec function
// driver by the installation's entry, K0340Aud above it, and the audio engine
// recording through the top of the stack on the bus's period.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/audio/tests/playback_check.h"
#include "audiofilter/capture_processor.h"
#include "audiofilter/k0340aud.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/registry_paths.h"
#include "platform/audio/engine.h"
#include "platform/audio/audio_function.h"
#include "platform/audio/hdaudio_function.h"
#include "platform/hdaudio/hdaudio_bus.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/testing/bus_fixture.h"
#include "sim/microphone/array_codec.h"
#include "sim/sound/scene.h"
#include "tools/install/install.h"
#include "tools/install/install_table.h"
#include "windows.h"

namespace {

namespace reg = qk::nt::reg;
using namespace k0340aud;
using qk::audio::Format;
using qk::audio::Stream;

// Silence to the microphones; keeps what the loudspeaker plays.
class PlayedSource : public qk::sim::SoundSource {
public:
    void Capture(int, int64_t, std::span<float> interleaved) override { std::fill(interleaved.begin(), interleaved.end(), 0.0f); }
    void Play(int, int64_t, std::span<const float> interleaved) override {
        std::lock_guard guard(lock);
        for (float v : interleaved) samples.push_back(static_cast<int16_t>(std::lround(v * 32768.0)));
    }
    std::string Describe() const override { return "played"; }
    std::mutex lock;
    std::vector<int16_t> samples;  // guarded by lock
};

// The codec, keeping every frame its input converter delivered in order.
class TapCodec : public qk::sim::ArrayCodec {
public:
    explicit TapCodec(std::shared_ptr<qk::sim::SoundSource> source) : ArrayCodec({}, std::move(source)) {}
    void Capture(uint32_t rate, int64_t start, std::span<int16_t> interleaved) override {
        ArrayCodec::Capture(rate, start, interleaved);
        std::lock_guard guard(lock);
        delivered.insert(delivered.end(), interleaved.begin(), interleaved.end());
    }
    std::mutex lock;
    std::vector<int16_t> delivered;  // guarded by lock
};

class ArrayCodecTest : public qk::usb::testing::UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        qk::install::Options options;  // no module files: the registry entries alone
        qk::install::Result result;
        std::string error;
        ASSERT_TRUE(qk::install::Install(options, &result, &error)) << error;
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        ASSERT_EQ(qk::audio::RegisterHdFunctionDriver(), STATUS_SUCCESS);
        ASSERT_EQ(qk::hdaudio::WriteInstallationEntries(), STATUS_SUCCESS);
        codec_ = std::make_shared<TapCodec>(std::make_shared<qk::sim::TwoMicrophoneScene>());
    }
    void TearDown() override {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
        if (address_ >= 0) qk::hdaudio::Unplug(address_);
        UsbBusTest::TearDown();
    }
    void Plug() {
        address_ = qk::hdaudio::Plug(codec_);
        ASSERT_GE(address_, 0);
        qk::nt::Kernel::Get().FlushWork();
        qk::nt::pnp::WaitIdle();
        auto filters = qk::audio::AudioFilters();
        ASSERT_EQ(filters.size(), 1u);
        filter_ = filters[0];
        control_ = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    }
    DWORD Call(uint32_t code, void* in, DWORD inBytes, void* out, DWORD outBytes) {
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(control_, code, in, inBytes, out, outBytes, &returned, nullptr)) << std::hex << code;
        return returned;
    }
    FeatureRequest Feature(uint32_t feature) {
        FeatureRequest r{};
        r.feature = feature;
        Call(IOCTL_AUDFLT_GET_FEATURE, &r, sizeof r, &r, sizeof r);
        return r;
    }
    static std::optional<ULONG> Value(const char16_t* key, const char16_t* name) {
        HANDLE h;
        if (!NT_SUCCESS(reg::OpenPath(key, KEY_READ, &h))) return std::nullopt;
        auto v = reg::QueryDword(h, name);
        ZwClose(h);
        return v;
    }
    // The key of the interface K0340Aud registered for the codec.
    HANDLE InterfaceKey() {
        static constexpr GUID kFilterInterface = {0x56907941, 0x3AFE, 0x11D4,
                                                  {0xAE, 0x2C, 0x00, 0xA0, 0xCC, 0x24, 0x2D, 0x2C}};
        auto interfaces = qk::nt::pnp::Interfaces(kFilterInterface);
        EXPECT_EQ(interfaces.size(), 1u);
        if (interfaces.empty()) return nullptr;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, interfaces[0].symbolicLink.c_str());
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
        return key;
    }
    NTSTATUS Record(const Format& format, size_t frames, std::vector<int16_t>* pcm, qk::audio::StreamStats* stats) {
        std::unique_ptr<Stream> s;
        NTSTATUS status = Stream::Open(filter_.link, qk::audio::kCapturePin, format, {}, &s);
        if (!NT_SUCCESS(status)) return status;
        status = s->Record(frames, pcm, [this] { Advance(1); });
        *stats = s->Stats();
        return status;
    }
    std::shared_ptr<TapCodec> codec_;
    qk::audio::FilterInfo filter_;
    HANDLE control_ = INVALID_HANDLE_VALUE;
    int address_ = -1;
};

TEST_F(ArrayCodecTest, TheCodecFunctionTakesTheArrayCodecProfileWithItsInstalledDefaults) {
    Plug();
    EXPECT_EQ(filter_.instance.rfind(std::u16string(qk::install::kArrayCodecHardwareId) + u"\\", 0), 0u)
        << "the installation's hardware ID is the bus's";
    EXPECT_TRUE(filter_.capture);
    EXPECT_TRUE(filter_.render);
    EXPECT_EQ(filter_.captureRange.MaximumChannels, 2u);
    EXPECT_EQ(filter_.captureRange.MaximumSampleFrequency, 48000u);

    // No USB answer (and no USB request sent): the array codec's marker.
    uint8_t descriptor[18] = {0};
    ASSERT_EQ(Call(IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, descriptor, 1, descriptor, sizeof descriptor), 18u);
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, kMarkerArrayCodec);
    uint32_t has = 0;
    ASSERT_EQ(Call(IOCTL_AUDFLT_HAS_ARRAY_CODEC, nullptr, 0, &has, 4), 4u);
    EXPECT_EQ(has, 1u);
    EXPECT_EQ(qk::hdaudio::RefusedRequests(), 0u);

    // The profile's defaults with the installation's interface values:
    // stereo, so BFA3 is there and on; echo cancellation there and off.
    EXPECT_EQ(Feature(FEATURE_BFA3).available, 1u);
    EXPECT_EQ(Feature(FEATURE_BFA3).enabled, 1u);
    EXPECT_EQ(Feature(FEATURE_ECHOQUELL).available, 1u);
    EXPECT_EQ(Feature(FEATURE_ECHOQUELL).enabled, 0u);
    EXPECT_EQ(Feature(FEATURE_NOISEGUARD).enabled, 0u);
    EXPECT_EQ(Feature(FEATURE_BFA).enabled, 0u);

    // "BeamArray Installed" lives in the array settings key, both ways.
    uint32_t installed = 7;
    ASSERT_EQ(Call(IOCTL_AUDFLT_GET_ARRAY_INSTALLED, nullptr, 0, &installed, 4), 4u);
    EXPECT_EQ(installed, 0u);
    uint32_t one = 1;
    Call(IOCTL_AUDFLT_SET_ARRAY_INSTALLED, &one, 4, nullptr, 0);
    ASSERT_EQ(Call(IOCTL_AUDFLT_GET_ARRAY_INSTALLED, nullptr, 0, &installed, 4), 4u);
    EXPECT_EQ(installed, 1u);
    EXPECT_EQ(Value(qk::paths::kArraySettingsKeyKernel, u"BeamArray Installed"), 1u);

    // Feature switches go to the array settings key, never the camera's.
    FeatureRequest r{};
    r.feature = FEATURE_NOISEGUARD;
    r.enabled = 1;
    Call(IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0);
    EXPECT_EQ(Feature(FEATURE_NOISEGUARD).enabled, 1u);
    EXPECT_EQ(Value(qk::paths::kArraySettingsKeyKernel, u"NoiseGuard"), 1u);
    EXPECT_EQ(Value(qk::paths::kArraySettingsKeyKernel, u"EchoQuellSampleRate"), 48000u);  // the bus's fixed rate
    EXPECT_FALSE(Value(qk::paths::kAudioFilterKeyKernel, u"NoiseGuard").has_value());
}

TEST_F(ArrayCodecTest, WithoutStereoThereIsNoBfa3) {
    Plug();
    HANDLE key = InterfaceKey();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(reg::QueryDword(key, u"StereoSupported"), 1u);  // what the installation wrote
    reg::SetDword(key, u"StereoSupported", 0);
    ZwClose(key);
    // A fresh stack reads it at its first create.
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(qk::hdaudio::Unplug(address_));
    address_ = -1;
    Plug();
    EXPECT_EQ(Feature(FEATURE_BFA3).available, 0u);
    EXPECT_EQ(Feature(FEATURE_BFA3).enabled, 0u);
}

TEST_F(ArrayCodecTest, CaptureIsCleanedAsBfa3AloneCleansTheCodecsSamplesInTheInstalledFormat) {
    Plug();
    std::vector<int16_t> pcm;
    qk::audio::StreamStats stats;
    ASSERT_EQ(Record({48000, 2, 16}, 48000, &pcm, &stats), STATUS_SUCCESS);
    ASSERT_EQ(pcm.size(), 96000u);
    EXPECT_EQ(stats.completed, stats.queued);
    EXPECT_EQ(stats.failed, 0u);
    uint32_t formats[6] = {};
    ASSERT_EQ(Call(IOCTL_AUDFLT_GET_FORMATS, nullptr, 0, formats, sizeof formats), 24u);
    EXPECT_EQ(formats[0], 48000u);
    EXPECT_EQ(formats[1], 16u);
    EXPECT_EQ(formats[2], 2u);

    // The same samples through the stages alone, in the engine's 10 ms reads.
    std::vector<int16_t> raw;
    {
        std::lock_guard guard(codec_->lock);
        raw = codec_->delivered;
    }
    ASSERT_GE(raw.size(), pcm.size());
    CaptureProcessor* p = CaptureProcessor::Create();
    p->SetFeature(FEATURE_BFA, 0);
    p->SetFeature(FEATURE_NOISEGUARD, 0);
    p->SetFeature(FEATURE_BFA3, 1);
    p->SetFormat(48000, 2, 16);
    p->RequestReset();
    std::vector<int16_t> want;
    for (size_t at = 0; at + 960 <= raw.size() && want.size() < pcm.size(); at += 960) {
        std::vector<int16_t> buffer(raw.begin() + static_cast<ptrdiff_t>(at), raw.begin() + static_cast<ptrdiff_t>(at + 960));
        KFLOATING_SAVE save;
        ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
        const ULONG n = p->Process(reinterpret_cast<UCHAR*>(buffer.data()), 1920);
        KeRestoreFloatingPointState(&save);
        want.insert(want.end(), buffer.begin(), buffer.begin() + n / 2);
    }
    CaptureProcessor::Destroy(p);
    ASSERT_GE(want.size(), pcm.size());
    // BFA3's rate converters sum in batches bounded by the calls: a step apart here and there.
    size_t differ = 0, changed = 0;
    int worst = 0;
    for (size_t i = 0; i < pcm.size(); ++i) {
        const int d = std::abs(pcm[i] - want[i]);
        differ += d != 0;
        worst = std::max(worst, d);
        changed += pcm[i] != raw[i];
    }
    EXPECT_LE(worst, 1);
    EXPECT_LT(differ, pcm.size() / 1000);
    EXPECT_GT(changed, pcm.size() / 2) << "the recording was not processed";
}

TEST_F(ArrayCodecTest, TheInterfaceKeysRecordFormatOverridesThePinsAtTheFirstRead) {
    Plug();
    HANDLE key = InterfaceKey();
    ASSERT_NE(key, nullptr);
    reg::SetDword(key, u"RecordSampleRate", 16000);
    reg::SetDword(key, u"RecordNumChannels", 0);  // zero keeps the pin's
    ZwClose(key);
    std::vector<int16_t> pcm;
    qk::audio::StreamStats stats;
    ASSERT_EQ(Record({48000, 2, 16}, 960, &pcm, &stats), STATUS_SUCCESS);
    uint32_t formats[6] = {};
    ASSERT_EQ(Call(IOCTL_AUDFLT_GET_FORMATS, nullptr, 0, formats, sizeof formats), 24u);
    EXPECT_EQ(formats[0], 16000u);
    EXPECT_EQ(formats[1], 16u);
    EXPECT_EQ(formats[2], 2u);
}

TEST_F(ArrayCodecTest, PlayingThroughTheFilterReachesTheCodecsLoudspeakerWholeAndInOrder) {
    auto played = std::make_shared<PlayedSource>();
    codec_ = std::make_shared<TapCodec>(played);
    Plug();
    ASSERT_TRUE(filter_.render);
    std::unique_ptr<Stream> s;
    ASSERT_EQ(Stream::Open(filter_.link, qk::audio::kRenderPin, {48000, 2, 16}, {}, &s), STATUS_SUCCESS);
    const std::vector<int16_t> pcm = qk::audio::testing::MarkedStereo();
    ASSERT_EQ(s->Play(pcm, qk::audio::testing::SteppedClock([this](int ms) { Advance(ms); })), STATUS_SUCCESS);
    EXPECT_EQ(s->Stats().completed, s->Stats().queued);
    s.reset();
    std::lock_guard guard(played->lock);
    EXPECT_TRUE(qk::audio::testing::PlayedWholeAndInOrder(played->samples, pcm));
}

TEST_F(ArrayCodecTest, UnpluggedWithReadsQueuedEveryReadComesBackOnceAndNothingIsLeft) {
    Plug();
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<Stream> s;
    ASSERT_EQ(Stream::Open(filter_.link, qk::audio::kCapturePin, {48000, 2, 16}, {.queued = 24, .bufferMs = 10}, &s),
              STATUS_SUCCESS);
    int steps = 0;
    std::vector<int16_t> pcm;
    NTSTATUS status = s->Record(48000, &pcm, [&] {
        if (++steps == 300) qk::hdaudio::Unplug(address_, false);
        Advance(1);
    });
    address_ = -1;
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_GT(pcm.size(), 0u);
    EXPECT_LT(pcm.size(), 96000u);
    EXPECT_EQ(s->Stats().completed, s->Stats().queued);
    s.reset();
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(qk::audio::AudioFilters().empty());
    // The control device went with the last filter.
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(kControlUserPath), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

}  // namespace
