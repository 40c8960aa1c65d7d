// The audio stack as the machine builds it: a simulated USB microphone (or
// the camera's microphone function) on the bus, the USB audio function
// driver bound to it by Plug and Play, K0340Aud above it as an upper filter
// where the installation names it, and the audio engine recording and playing
// through the top of the stack on the bus clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/audio/tests/playback_check.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/registry_paths.h"
#include "common/usb_ids.h"
#include "platform/audio/engine.h"
#include "platform/audio/usb_audio.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/testing/bus_fixture.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"
#include "sim/sound/speech.h"
#include "audiofilter/k0340aud.h"
#include "windows.h"
#include <atomic>
#include <thread>

namespace {

namespace reg = qk::nt::reg;
using qk::audio::Format;
using qk::audio::Stream;

// Channel 0 counts frames of the device's timeline (mod 20000, centred),
// channel 1 is its negation: any lost, repeated or reordered frame shows.
// What the loudspeaker plays is kept.
class CounterSource : public qk::sim::SoundSource {
public:
    static int16_t Value(int64_t frame) { return static_cast<int16_t>(frame % 20000 - 10000); }
    void Capture(int, int64_t start, std::span<float> interleaved) override {
        for (size_t i = 0; i < interleaved.size() / 2; ++i) {
            const int16_t v = Value(start + static_cast<int64_t>(i));
            interleaved[2 * i] = static_cast<float>(v / 32767.0);
            interleaved[2 * i + 1] = static_cast<float>(-v / 32767.0);
        }
    }
    void Play(int, int64_t, std::span<const float> interleaved) override {
        std::lock_guard guard(lock);
        for (float v : interleaved) played.push_back(static_cast<int16_t>(std::lround(v * 32768.0)));
    }
    std::string Describe() const override { return "counter"; }
    std::mutex lock;
    std::vector<int16_t> played;  // guarded by lock
};

// How many frames of `pcm` (stereo or mono) do not follow the one before.
size_t Breaks(const std::vector<int16_t>& pcm, int channels) {
    size_t breaks = 0;
    for (size_t i = channels; i < pcm.size(); i += channels) {
        const int expected = pcm[i - channels] == 9999 ? -10000 : pcm[i - channels] + 1;
        if (pcm[i] != expected) ++breaks;
        if (channels == 2 && pcm[i + 1] != -pcm[i]) ++breaks;
    }
    return breaks;
}

class UsbAudioTest : public qk::usb::testing::UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        ASSERT_EQ(qk::audio::RegisterFunctionDriver(), STATUS_SUCCESS);
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\K0340Aud", KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\K0340Aud.sys", REG_EXPAND_SZ);
        ZwClose(key);
        source_ = std::make_shared<CounterSource>();
    }
    void TearDown() override {
        if (port_ >= 0) qk::usb::Unplug(port_);
        UsbBusTest::TearDown();
    }
    // Plugs a USB microphone; the driver database binds the function driver
    // to it, with K0340Aud above when `filtered`.
    void Plug(uint16_t vendor, uint16_t product, bool filtered, bool speaker = false,
              std::shared_ptr<qk::sim::SoundSource> source = nullptr) {
        std::u16string id = u"USB#VID_";
        const char16_t* digits = u"0123456789ABCDEF";
        for (int shift = 12; shift >= 0; shift -= 4) id += digits[(vendor >> shift) & 15];
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"Service", qk::audio::kFunctionService);
        if (filtered) reg::SetMultiString(key, u"UpperFilters", {u"K0340Aud"});
        reg::SetString(key, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
        reg::SetString(key, u"Class", u"MEDIA");
        reg::SetString(key, u"DeviceDesc", u"USB Microphone");
        ZwClose(key);
        qk::sim::UsbMicrophoneConfig config{.vendorId = vendor, .productId = product, .speaker = speaker};
        port_ = qk::usb::Plug(std::make_shared<qk::sim::UsbMicrophone>(config, source ? source : source_));
        auto filters = qk::audio::AudioFilters();
        ASSERT_EQ(filters.size(), 1u);
        filter_ = filters[0];
    }
    std::function<void()> Step() {
        return [this] { Advance(1); };
    }
    NTSTATUS Record(const Format& format, size_t frames, std::vector<int16_t>* pcm, qk::audio::StreamStats* stats = nullptr,
                    qk::audio::StreamOptions options = {}) {
        std::unique_ptr<Stream> s;
        NTSTATUS status = Stream::Open(filter_.link, qk::audio::kCapturePin, format, options, &s);
        if (!NT_SUCCESS(status)) return status;
        status = s->Record(frames, pcm, Step());
        if (stats) *stats = s->Stats();
        return status;
    }
    std::shared_ptr<CounterSource> source_;
    qk::audio::FilterInfo filter_;
    int port_ = -1;
};

TEST_F(UsbAudioTest, TheFunctionDriverOffersTheDevicesFormatsOnACapturePin) {
    Plug(0x1111, 0x0001, false);
    EXPECT_TRUE(filter_.capture);
    EXPECT_FALSE(filter_.render);
    EXPECT_EQ(filter_.captureRange.MaximumChannels, 2u);
    EXPECT_EQ(filter_.captureRange.MinimumBitsPerSample, 16u);
    EXPECT_EQ(filter_.captureRange.MinimumSampleFrequency, 8000u);
    EXPECT_EQ(filter_.captureRange.MaximumSampleFrequency, 48000u);
    std::unique_ptr<Stream> s;
    struct Refused { const char* what; Format format; } refused[] = {
        {"a rate the device lacks", {12345, 2, 16}},
        {"24-bit samples", {16000, 2, 24}},
        {"three channels", {16000, 3, 16}},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(Stream::Open(filter_.link, qk::audio::kCapturePin, r.format, {}, &s), STATUS_NO_MATCH);
    }
    // No render pin on a microphone alone.
    EXPECT_NE(Stream::Open(filter_.link, qk::audio::kRenderPin, {48000, 2, 16}, {}, &s), STATUS_SUCCESS);
}

TEST_F(UsbAudioTest, RecordingDeliversEveryFrameInOrderAtEachRateAndChannelCount) {
    Plug(0x1111, 0x0001, false);
    struct Case { ULONG rate; USHORT channels; } cases[] = {{16000, 2}, {44100, 2}, {48000, 1}, {8000, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        std::vector<int16_t> pcm;
        qk::audio::StreamStats stats;
        ASSERT_EQ(Record({c.rate, c.channels, 16}, c.rate / 2, &pcm, &stats), STATUS_SUCCESS);
        ASSERT_EQ(pcm.size(), size_t{c.rate / 2} * c.channels);
        if (c.channels == 2) {
            EXPECT_EQ(Breaks(pcm, 2), 0u);
        } else {
            // Mono is the average of the two channels: here always 0 (and -0.5 rounds to 0).
            for (int16_t v : pcm) ASSERT_EQ(v, 0);
        }
        EXPECT_EQ(stats.completed, stats.queued);
        EXPECT_EQ(stats.failed, 0u);
        EXPECT_EQ(stats.bytes, size_t{c.rate / 2} * c.channels * 2);
    }
    EXPECT_EQ(qk::audio::ReadCounters().captureBytesDropped, 0u);
}

TEST_F(UsbAudioTest, ManyQueuedReadsOfOddSizesAllComeBackOnceWithTheirData) {
    Plug(0x1111, 0x0001, false);
    std::vector<int16_t> pcm;
    qk::audio::StreamStats stats;
    // 24 reads of 3 ms queued: more than the bus holds at once.
    ASSERT_EQ(Record({16000, 2, 16}, 7777, &pcm, &stats, {.queued = 24, .bufferMs = 3}), STATUS_SUCCESS);
    EXPECT_EQ(pcm.size(), 7777u * 2);
    EXPECT_EQ(Breaks(pcm, 2), 0u);
    // Reads still queued at the stop come back too (cancelled, or filled when
    // the bus got to them first: which depends on the threads' timing).
    EXPECT_EQ(stats.completed, stats.queued);
    EXPECT_LE(stats.cancelled, 24u);
    EXPECT_EQ(stats.failed, 0u);
}

TEST_F(UsbAudioTest, UnpluggedWhileRecordingEveryReadComesBackAndTheRecordingFails) {
    Plug(0x1111, 0x0001, false);
    std::unique_ptr<Stream> s;
    ASSERT_EQ(Stream::Open(filter_.link, qk::audio::kCapturePin, {16000, 2, 16}, {.queued = 8, .bufferMs = 10}, &s),
              STATUS_SUCCESS);
    int steps = 0;
    std::vector<int16_t> pcm;
    NTSTATUS status = s->Record(16000, &pcm, [&] {
        if (++steps == 200) qk::usb::Unplug(port_, qk::usb::Wait::No);
        Advance(1);
    });
    port_ = -1;
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_LT(pcm.size(), 16000u * 2);
    EXPECT_GT(pcm.size(), 0u);
    EXPECT_EQ(Breaks(pcm, 2), 0u);
    EXPECT_EQ(s->Stats().completed, s->Stats().queued);
    s.reset();
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(qk::audio::AudioFilters().empty());
}

TEST_F(UsbAudioTest, PlayingReachesTheLoudspeakerWholeAndInOrder) {
    Plug(0x2222, 0x0001, false, true);
    ASSERT_TRUE(filter_.render);
    std::unique_ptr<Stream> s;
    ASSERT_EQ(Stream::Open(filter_.link, qk::audio::kRenderPin, {48000, 2, 16}, {}, &s), STATUS_SUCCESS);
    const std::vector<int16_t> pcm = qk::audio::testing::MarkedStereo();
    ASSERT_EQ(s->Play(pcm, qk::audio::testing::SteppedClock([this](int ms) { Advance(ms); })), STATUS_SUCCESS);
    EXPECT_EQ(s->Stats().completed, s->Stats().queued);
    s.reset();
    std::lock_guard guard(source_->lock);
    EXPECT_TRUE(qk::audio::testing::PlayedWholeAndInOrder(source_->played, pcm));
}

// ---- Through K0340Aud ---------------------------------------------------------------------------

void SetFeatures(ULONG bfa, ULONG noiseGuard, ULONG bfa3) {
    HANDLE key;
    ASSERT_EQ(reg::CreatePath(qk::paths::kAudioFilterKeyKernel, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    reg::SetDword(key, u"BFA", bfa);
    reg::SetDword(key, u"NoiseGuard", noiseGuard);
    reg::SetDword(key, u"BFA3", bfa3);
    reg::SetDword(key, u"EchoQuell", 0);
    ZwClose(key);
}

TEST_F(UsbAudioTest, ThroughTheFilterWithEveryFeatureOffTheRecordingIsTheDevicesSamples) {
    SetFeatures(0, 0, 0);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId, true);
    auto streamOpen = [] {
        HANDLE key;
        EXPECT_EQ(reg::OpenPath(qk::paths::kAudioFilterKeyKernel, KEY_READ, &key), STATUS_SUCCESS);
        auto value = reg::QueryDword(key, u"AudioStreamOpen");
        ZwClose(key);
        return value;
    };
    std::unique_ptr<Stream> s;
    ASSERT_EQ(Stream::Open(filter_.link, qk::audio::kCapturePin, {16000, 2, 16}, {}, &s), STATUS_SUCCESS);
    std::vector<int16_t> pcm;
    ASSERT_EQ(s->Record(8000, &pcm, Step()), STATUS_SUCCESS);
    ASSERT_EQ(pcm.size(), 16000u);
    EXPECT_EQ(Breaks(pcm, 2), 0u);
    EXPECT_EQ(s->Stats().completed, s->Stats().queued);
    EXPECT_EQ(streamOpen(), 1u);  // the filter saw the stream's first read
    s.reset();
    EXPECT_EQ(streamOpen(), 0u);
}

TEST_F(UsbAudioTest, ThroughTheFilterTheCamerasDefaultProcessingChangesTheRecording) {
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId, true);  // BFA3 by default: stereo only
    std::vector<int16_t> pcm;
    EXPECT_EQ(Record({16000, 1, 16}, 1600, &pcm), STATUS_NO_MATCH);
    qk::audio::StreamStats stats;
    ASSERT_EQ(Record({16000, 2, 16}, 16000, &pcm, &stats), STATUS_SUCCESS);
    ASSERT_EQ(pcm.size(), 32000u);
    EXPECT_GT(Breaks(pcm, 2), 1000u);  // processed: no longer the device's counter
    EXPECT_EQ(stats.completed, stats.queued);
    EXPECT_EQ(stats.failed, 0u);
}

// ---- The echo path: a headset whose loudspeaker the microphones hear -----------------------------------

double Rms(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(pcm[i]) * pcm[i];
    return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

// A call: the far end plays through the headset's loudspeaker while its
// microphones record; the clock steps only while the recording waits.
struct CallResult {
    std::vector<int16_t> recorded;
    qk::audio::StreamStats mic, speaker;
    NTSTATUS recordStatus = STATUS_PENDING, playStatus = STATUS_PENDING;
};

class EchoPathTest : public UsbAudioTest {
protected:
    static constexpr ULONG kRate = 16000;
    void SetUp() override {
        UsbAudioTest::SetUp();
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(qk::paths::kAudioFilterKeyKernel, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
        reg::SetDword(key, u"EchoQuellSampleRate", kRate);
        ZwClose(key);
        // The room: only what the loudspeaker plays reaches the microphones, 12 ms later and decaying.
        room_ = std::make_shared<qk::sim::TwoMicrophoneScene>(qk::sim::SceneParameters{}, qk::sim::kSceneEcho);
        Plug(qk::ids::kPartnerVendorE, 1, true, true, room_);
        control_ = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(control_);
        UsbAudioTest::TearDown();
    }
    void SwitchEchoQuell(bool on) {
        k0340aud::FeatureRequest r{};
        r.feature = k0340aud::FEATURE_ECHOQUELL;
        r.enabled = on;
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(control_, k0340aud::IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0, &returned, nullptr));
    }
    uint32_t Read32(uint32_t code) {
        uint32_t v = 0xFFFFFFFF;
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(control_, code, nullptr, 0, &v, 4, &returned, nullptr));
        return v;
    }
    CallResult Call(const std::vector<int16_t>& far, size_t recordFrames) {
        CallResult r;
        std::unique_ptr<Stream> mic, speaker;
        EXPECT_EQ(Stream::Open(filter_.link, qk::audio::kCapturePin, {kRate, 2, 16}, {}, &mic), STATUS_SUCCESS);
        EXPECT_EQ(Stream::Open(filter_.link, qk::audio::kRenderPin, {kRate, 2, 16}, {}, &speaker), STATUS_SUCCESS);
        if (!mic || !speaker) return r;
        std::atomic<bool> played{false};
        std::thread player([&] {
            r.playStatus = speaker->Play(far, [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }, 600000);
            played = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto step = [this] {
            Advance(1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        };
        r.recordStatus = mic->Record(recordFrames, &r.recorded, step, 600000);
        while (!played) step();
        player.join();
        r.mic = mic->Stats();
        r.speaker = speaker->Stats();
        return r;
    }
    std::shared_ptr<qk::sim::TwoMicrophoneScene> room_;
    HANDLE control_ = INVALID_HANDLE_VALUE;
};

TEST_F(EchoPathTest, ACallThroughTheFilterCalibratesAndCancelsTheLoudspeakersEcho) {
    // A steady far end, so that any two seconds of it carry the same echo.
    const auto noise = qk::sim::WhiteNoise(kRate * 13 / 2, 7);
    std::vector<int16_t> far;
    for (float v : noise) far.insert(far.end(), 2, static_cast<int16_t>(std::clamp(v * 1500.0f, -32767.0f, 32767.0f)));
    const size_t frames = kRate * 6;

    // The same call without the canceller: what the microphones hear of the loudspeaker.
    SwitchEchoQuell(false);
    CallResult plain = Call(far, frames);
    ASSERT_EQ(plain.recordStatus, STATUS_SUCCESS);
    EXPECT_EQ(plain.playStatus, STATUS_SUCCESS);

    SwitchEchoQuell(true);
    CallResult call = Call(far, frames);
    ASSERT_EQ(call.recordStatus, STATUS_SUCCESS);
    EXPECT_EQ(call.playStatus, STATUS_SUCCESS);
    // Every request came back once.
    for (const auto* stats : {&call.mic, &call.speaker, &plain.mic, &plain.speaker}) {
        EXPECT_EQ(stats->completed, stats->queued);
        EXPECT_EQ(stats->failed, 0u);
    }
    const auto delay = static_cast<int32_t>(Read32(k0340aud::IOCTL_AUDFLT_GET_ECHO_DELAY));
    const uint32_t reduction = Read32(k0340aud::IOCTL_AUDFLT_GET_ECHO_REDUCTION);
    std::vector<uint8_t> trace(4000);
    DWORD traced = 0;
    EXPECT_TRUE(DeviceIoControl(control_, k0340aud::IOCTL_AUDFLT_READ_ECHO_TRACE, nullptr, 0, trace.data(),
                                DWORD(trace.size()), &traced, nullptr));
    EXPECT_EQ(traced, trace.size());

    ASSERT_EQ(call.recorded.size(), frames * 2);
    ASSERT_EQ(plain.recorded.size(), frames * 2);
    // Calibration: the application recorded silence while the probe played
    // (the first few buffers pass through until both sides have delivered).
    EXPECT_EQ(Rms(call.recorded, kRate * 15 / 100 * 2, kRate * 6 / 10 * 2), 0.0);
    EXPECT_GT(Rms(plain.recorded, kRate * 2, kRate * 3 * 2), 50.0);  // the echo is there without the canceller
    // The room's 12 ms lie within the measured delay, with the stack's latency on top.
    EXPECT_GE(delay, int32_t(kRate * 12 / 1000));
    EXPECT_LT(delay, int32_t(kRate / 4));
    // The last two seconds (EchoQuell's filters take some seconds to settle):
    // the echo against what it was without the canceller.
    const double before = Rms(plain.recorded, kRate * 4 * 2, frames * 2);
    const double after = Rms(call.recorded, kRate * 4 * 2, frames * 2);
    const double erle = 20 * std::log10(before / std::max(after, 1.0));
    std::printf("echo path at %lu Hz: delay %d samples, reduction figure %u, echo %.1f -> %.1f (%.1f dB)\n",
                static_cast<unsigned long>(kRate), delay, reduction, before, after, erle);
    EXPECT_GT(reduction, 50u);
    EXPECT_GT(erle, 15.0);
}


// ---- Device profiles: each kind of microphone plugged alone ----------------------------------------

// What a device of one profile must show through the control device, with no
// stored settings: the descriptor (with its marker), each feature's
// availability and default, what switching every feature on leaves on, and
// whether a recording comes back processed or as the device's samples.
struct ProfileCase {
    const char* what;
    uint16_t vendor, product;
    uint16_t reportedVendor;                 // after the filter's marker
    bool bfa, echoQuell, bfa3;               // available
    bool noiseGuardOn, bfaOn;                // defaults (BFA3 and EchoQuell start off on all of these)
    bool processed;                          // a stereo recording with the defaults is changed
    bool mono48000;                          // a mono capture at 48000 Hz is admitted at once
    bool bfaSwitches = bfa;                  // BFA goes on where it is not available (one microphone)
};

class ProfileTest : public UsbAudioTest {
protected:
    void TearDown() override {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
        UsbAudioTest::TearDown();
    }
    k0340aud::FeatureRequest Feature(uint32_t feature) {
        k0340aud::FeatureRequest r{};
        r.feature = feature;
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(control_, k0340aud::IOCTL_AUDFLT_GET_FEATURE, &r, sizeof r, &r, sizeof r, &returned,
                                    nullptr));
        return r;
    }
    void Switch(uint32_t feature, uint32_t on) {
        k0340aud::FeatureRequest r{};
        r.feature = feature;
        r.enabled = on;
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(control_, k0340aud::IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0, &returned, nullptr));
    }
    void Check(const ProfileCase& c) {
        SCOPED_TRACE(c.what);
        Plug(c.vendor, c.product, true);
        control_ = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control_, INVALID_HANDLE_VALUE);
        uint8_t descriptor[18] = {0};
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(control_, k0340aud::IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, descriptor, 1, descriptor,
                                    sizeof descriptor, &returned, nullptr));
        ASSERT_EQ(returned, 18u);
        EXPECT_EQ(descriptor[8] | descriptor[9] << 8, c.reportedVendor);
        EXPECT_EQ(descriptor[10] | descriptor[11] << 8, c.product);

        using namespace k0340aud;
        EXPECT_EQ(Feature(FEATURE_NOISEGUARD).available, 1u);
        EXPECT_EQ(Feature(FEATURE_BFA).available, c.bfa ? 1u : 0u);
        EXPECT_EQ(Feature(FEATURE_ECHOQUELL).available, c.echoQuell ? 1u : 0u);
        EXPECT_EQ(Feature(FEATURE_BFA3).available, c.bfa3 ? 1u : 0u);
        EXPECT_EQ(Feature(FEATURE_NOISEGUARD).enabled, c.noiseGuardOn ? 1u : 0u);
        EXPECT_EQ(Feature(FEATURE_BFA).enabled, c.bfaOn ? 1u : 0u);
        EXPECT_EQ(Feature(FEATURE_ECHOQUELL).enabled, 0u);
        EXPECT_EQ(Feature(FEATURE_BFA3).enabled, 0u);

        // The defaults at work: processed, or the device's own counter.
        std::vector<int16_t> pcm;
        qk::audio::StreamStats stats;
        ASSERT_EQ(Record({16000, 2, 16}, 8000, &pcm, &stats), STATUS_SUCCESS);
        ASSERT_EQ(pcm.size(), 16000u);
        EXPECT_EQ(stats.completed, stats.queued);
        if (c.processed) {
            EXPECT_GT(Breaks(pcm, 2), 1000u);
        } else {
            EXPECT_EQ(Breaks(pcm, 2), 0u);
        }
        EXPECT_EQ(Record({48000, 1, 16}, 480, &pcm) == STATUS_SUCCESS, c.mono48000);

        // Each feature switched on alone stays on exactly where it is available
        // (the off profile: nothing, NoiseGuard included).
        const bool off = c.reportedVendor == kMarkerOff;
        for (uint32_t feature : {FEATURE_NOISEGUARD, FEATURE_BFA, FEATURE_ECHOQUELL, FEATURE_BFA3}) {
            Switch(feature, 1);
            const bool canBeOn = feature == FEATURE_NOISEGUARD ? !off
                                 : feature == FEATURE_BFA      ? c.bfaSwitches
                                 : feature == FEATURE_ECHOQUELL ? c.echoQuell
                                                                : c.bfa3;
            EXPECT_EQ(Feature(feature).enabled, canBeOn ? 1u : 0u) << "feature " << feature;
            Switch(feature, 0);
        }
        // Saved for the next start, whatever the profile made of them.
        HANDLE key;
        ASSERT_EQ(reg::OpenPath(qk::paths::kAudioFilterKeyKernel, KEY_READ, &key), STATUS_SUCCESS);
        EXPECT_EQ(reg::QueryDword(key, u"BFA3"), 0u);
        EXPECT_EQ(reg::QueryDword(key, u"EchoQuell"), 0u);
        ZwClose(key);
    }
    HANDLE control_ = INVALID_HANDLE_VALUE;
};

TEST_F(ProfileTest, AnotherProductOfTheCamerasMakerIsOffAndNothingCanBeSwitchedOn) {
    Check({.what = "sibling", .vendor = qk::ids::kCameraVendorId, .product = 0x0341, .reportedVendor = k0340aud::kMarkerOff,
           .bfa = false, .echoQuell = false, .bfa3 = false, .noiseGuardOn = false, .bfaOn = false, .processed = false,
           .mono48000 = true});
}

TEST_F(ProfileTest, PartnerDProduct9HasEveryFeatureAndNoMonoRule) {
    Check({.what = "D9", .vendor = qk::ids::kPartnerVendorD, .product = 9, .reportedVendor = qk::ids::kPartnerVendorD,
           .bfa = true, .echoQuell = true, .bfa3 = true, .noiseGuardOn = true, .bfaOn = true, .processed = true,
           .mono48000 = true});
}

TEST_F(ProfileTest, PartnerDProduct10HasNoEchoQuellAndTheCamerasMonoRule) {
    Check({.what = "D10", .vendor = qk::ids::kPartnerVendorD, .product = 10, .reportedVendor = qk::ids::kPartnerVendorD,
           .bfa = true, .echoQuell = false, .bfa3 = true, .noiseGuardOn = true, .bfaOn = true, .processed = true,
           .mono48000 = false});
}

TEST_F(ProfileTest, AnUnknownMicrophoneIsPassedThroughWithOnlyNoiseGuardToSwitch) {
    // One microphone by the filter's count: BFA (on by default) is reported not available.
    Check({.what = "unknown", .vendor = 0xFB10, .product = 1, .reportedVendor = 0xFB10, .bfa = false, .echoQuell = false,
           .bfa3 = false, .noiseGuardOn = true, .bfaOn = true, .processed = false, .mono48000 = true,
           .bfaSwitches = true});
}

}  // namespace
