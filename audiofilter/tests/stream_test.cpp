// The filter in a device stack as the audio engine uses it: a scripted audio
// function driver below (pin 0 captures, pin 1 renders; reads are filled from
// a two-microphone scene and completed at once or held), K0340Aud above, and
// a kernel-streaming client on top that opens pins and reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "audiofilter/capture_processor.h"
#include "audiofilter/filter.h"
#include "audiofilter/k0340aud.h"
#include "audiofilter/k0340aud_entry.h"
#include "common/registry_paths.h"
#include "common/usb_ids.h"
#include "ksmedia.h"
#include "platform/ks/client.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/testing/bus_fixture.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"
#include "sim/sound/scene.h"

namespace {

using namespace k0340aud;
namespace reg = qk::nt::reg;
using qk::ks::client::Bytes;

// ---- The scripted audio function driver --------------------------------------------------------

struct Script {
    std::mutex lock;  // guards the members below
    std::vector<int16_t> stereo;  // the signal reads are filled from, interleaved
    size_t position = 0;          // in samples of `stereo`
    bool hold = false;            // hold reads until Release()
    std::deque<PIRP> held;
    std::atomic<int> reads{0}, writes{0}, refusedRender{0};
    NTSTATUS renderCreate = STATUS_SUCCESS;
    ULONG overstate = 0;  // bytes a read's DataUsed claims beyond its buffer
    bool noUsb = false;   // answer no URB: the device looks like the array codec
};
Script* g_script = nullptr;

struct AudioExtension {
    PDEVICE_OBJECT lower;
};

void FillRead(PIRP irp) {
    auto* header = static_cast<KSSTREAM_HEADER*>(irp->UserBuffer);
    auto* data = static_cast<int16_t*>(header->Data);
    const size_t samples = header->FrameExtent / 2;
    std::lock_guard guard(g_script->lock);
    for (size_t i = 0; i < samples; ++i) {
        data[i] = g_script->stereo.empty() ? 0 : g_script->stereo[g_script->position++ % g_script->stereo.size()];
    }
    header->DataUsed = header->FrameExtent + g_script->overstate;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(KSSTREAM_HEADER);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AudioDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<AudioExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE: {
            // A render pin create may be refused by the device.
            const auto& name = stack->FileObject->FileName;
            if (name.Length > 160) {
                KSPIN_CONNECT connect;
                std::memcpy(&connect, reinterpret_cast<const uint8_t*>(name.Buffer) + 78, sizeof connect);
                if (connect.PinId == 1 && g_script->renderCreate != STATUS_SUCCESS) {
                    ++g_script->refusedRender;
                    return Complete(irp, g_script->renderCreate);
                }
            }
            return Complete(irp, STATUS_SUCCESS);
        }
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP: return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL: {
            const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (code == IOCTL_KS_PROPERTY) {
                KSP_PIN p{};
                std::memcpy(&p, stack->Parameters.DeviceIoControl.Type3InputBuffer,
                            std::min<size_t>(sizeof p, stack->Parameters.DeviceIoControl.InputBufferLength));
                if (std::memcmp(&p.Property.Set, &KSPROPSETID_Pin, sizeof(GUID)) == 0 &&
                    p.Property.Id == KSPROPERTY_PIN_DATAFLOW) {
                    KSPIN_DATAFLOW flow = p.PinId == 0 ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
                    std::memcpy(irp->UserBuffer, &flow, sizeof flow);
                    return Complete(irp, STATUS_SUCCESS, sizeof flow);
                }
                return Complete(irp, STATUS_SUCCESS);
            }
            if (code == IOCTL_KS_READ_STREAM) {
                ++g_script->reads;
                {
                    std::lock_guard guard(g_script->lock);
                    if (g_script->hold) {
                        IoMarkIrpPending(irp);
                        g_script->held.push_back(irp);
                        return STATUS_PENDING;
                    }
                }
                FillRead(irp);
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            if (code == IOCTL_KS_WRITE_STREAM) {
                ++g_script->writes;
                return Complete(irp, STATUS_SUCCESS, sizeof(KSSTREAM_HEADER));
            }
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            if (g_script->noUsb) return Complete(irp, STATUS_NOT_SUPPORTED);
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(ext->lower, irp);
        case IRP_MJ_PNP:
            if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                IoSkipCurrentIrpStackLocation(irp);
                NTSTATUS status = IoCallDriver(ext->lower, irp);
                IoDetachDevice(ext->lower);
                IoDeleteDevice(device);
                return status;
            }
            if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) irp->IoStatus.Status = STATUS_SUCCESS;
            [[fallthrough]];
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS AudioAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(AudioExtension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<AudioExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS AudioEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = AudioDispatch;
    driver->DriverExtension->AddDevice = AudioAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// ---- Fixture ------------------------------------------------------------------------------------------

constexpr GUID kFilterInterface = {0x56907941, 0x3AFE, 0x11D4, {0xAE, 0x2C, 0x00, 0xA0, 0xCC, 0x24, 0x2D, 0x2C}};

Bytes WaveFormat(ULONG rate, USHORT channels, USHORT bits) {
    KSDATAFORMAT_WAVEFORMATEX f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = channels;
    f.WaveFormatEx.nSamplesPerSec = rate;
    f.WaveFormatEx.wBitsPerSample = bits;
    f.WaveFormatEx.nBlockAlign = USHORT(channels * bits / 8);
    f.WaveFormatEx.nAvgBytesPerSec = rate * f.WaveFormatEx.nBlockAlign;
    Bytes b(sizeof f);
    std::memcpy(b.data(), &f, sizeof f);
    return b;
}

class AudioStreamTest : public qk::usb::testing::UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        g_script = new Script;
        qk::nt::io::RegisterStaticDriver(u"K0340Aud.sys", K0340AudDriverEntry);
        qk::nt::io::RegisterStaticDriver(u"QkAudioTestFn.sys", AudioEntry);
        for (const char16_t* service : {u"K0340Aud", u"QkAudioTestFn"}) {
            HANDLE key;
            ASSERT_EQ(reg::CreatePath(std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + service,
                                      KEY_ALL_ACCESS, &key),
                      STATUS_SUCCESS);
            reg::SetString(key, u"ImagePath",
                           std::u16string(u"\\SystemRoot\\System32\\drivers\\") + service + u".sys", REG_EXPAND_SZ);
            ZwClose(key);
        }
    }
    void TearDown() override {
        pins_.clear();
        filter_.reset();
        UsbBusTest::TearDown();
        delete g_script;
        g_script = nullptr;
    }
    int Plug(uint16_t vendor, uint16_t product) {
        HANDLE key;
        std::u16string id = u"USB#VID_";
        const char16_t* digits = u"0123456789ABCDEF";
        for (int shift = 12; shift >= 0; shift -= 4) id += digits[(vendor >> shift) & 15];
        EXPECT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"Service", u"QkAudioTestFn");
        reg::SetMultiString(key, u"UpperFilters", {u"K0340Aud"});
        reg::SetString(key, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
        reg::SetString(key, u"Class", u"MEDIA");
        reg::SetString(key, u"DeviceDesc", u"USB Microphone");
        ZwClose(key);
        qk::sim::UsbMicrophoneConfig config{.vendorId = vendor, .productId = product};
        int port = qk::usb::Plug(std::make_shared<qk::sim::UsbMicrophone>(config, std::make_shared<qk::sim::TwoMicrophoneScene>()));
        auto interfaces = qk::nt::pnp::Interfaces(kFilterInterface);
        EXPECT_EQ(interfaces.size(), 1u);
        if (!interfaces.empty()) {
            EXPECT_EQ(qk::ks::client::Filter::Open(interfaces[0].symbolicLink + u"\\GLOBAL", &filter_), STATUS_SUCCESS);
        }
        return port;
    }
    FilterExtension* Filter() {
        auto* control = static_cast<ControlExtension*>(g_controlDevice->DeviceExtension);
        return CONTAINING_RECORD(control->devices.Flink, FilterExtension, link);
    }
    NTSTATUS OpenPin(ULONG pin, ULONG rate, USHORT channels, USHORT bits = 16) {
        std::unique_ptr<qk::ks::client::Pin> p;
        NTSTATUS status = filter_->CreatePin(pin, WaveFormat(rate, channels, bits), &p);
        if (NT_SUCCESS(status)) pins_.push_back(std::move(p));
        return status;
    }
    // Reads `count` buffers of `bytes` through the last pin; returns what came out.
    std::vector<uint8_t> Read(size_t count, ULONG bytes, std::vector<ULONG>* used = nullptr) {
        std::vector<uint8_t> out;
        std::vector<uint8_t> buffer(bytes);
        for (size_t i = 0; i < count; ++i) {
            std::memset(buffer.data(), 0xEE, bytes);
            qk::ks::client::Pin::Sample sample;
            EXPECT_EQ(pins_.back()->Read(buffer.data(), bytes, sizeof(KSSTREAM_HEADER), &sample), STATUS_SUCCESS);
            const ULONG n = sample.Header().DataUsed;
            EXPECT_LE(n, bytes);
            if (used) used->push_back(n);
            out.insert(out.end(), buffer.begin(), buffer.begin() + std::min(n, bytes));
        }
        return out;
    }
    void SetScene(ULONG rate, double seconds) {
        qk::sim::Scene s = qk::sim::RenderScene({.rateHz = double(rate), .seconds = seconds,
                                                 .noise = {{.angleDeg = 60, .level = 500}}});
        std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
        std::lock_guard guard(g_script->lock);
        g_script->stereo.clear();
        for (size_t i = 0; i < l.size(); ++i) {
            g_script->stereo.push_back(int16_t(std::lround(std::clamp(l[i], -32767.0f, 32767.0f))));
            g_script->stereo.push_back(int16_t(std::lround(std::clamp(r[i], -32767.0f, 32767.0f))));
        }
        g_script->position = 0;
    }
    // Steps the bus clock and gives the worker threads real time until `done` (10 s at most).
    template <typename Done>
    void WaitFor(Done done) {
        for (int i = 0; i < 10000 && !done(); ++i) {
            Advance(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::unique_ptr<qk::ks::client::Filter> filter_;
    std::vector<std::unique_ptr<qk::ks::client::Pin>> pins_;
};

std::optional<ULONG> StreamOpen() {
    HANDLE key;
    if (!NT_SUCCESS(reg::OpenPath(qk::paths::kAudioFilterKeyKernel, KEY_READ, &key))) return std::nullopt;
    auto v = reg::QueryDword(key, u"AudioStreamOpen");
    ZwClose(key);
    return v;
}

TEST_F(AudioStreamTest, TheCameraIsOpenedInStereoByTheMonoRule) {
    HANDLE key;
    ASSERT_EQ(reg::CreatePath(qk::paths::kAudioFilterKeyKernel, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    reg::SetDword(key, u"BFA3", 0);  // BFA3 would refuse every capture but stereo
    ZwClose(key);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    Filter()->osLevel = 3;
    struct Step { const char* name; ULONG rate; USHORT channels; NTSTATUS status; } steps[] = {
        {"mono 16000: no rule at that rate", 16000, 1, STATUS_SUCCESS},
        {"mono 44100: refused", 44100, 1, STATUS_NO_MATCH},
        {"stereo 44100, the remembered rate", 44100, 2, STATUS_SUCCESS},
        {"mono 48000: refused", 48000, 1, STATUS_NO_MATCH},
        {"mono 48000 again: refused", 48000, 1, STATUS_NO_MATCH},
        {"stereo at another rate: refused", 22050, 2, STATUS_NO_MATCH},
        {"stereo 48000, the remembered rate", 48000, 2, STATUS_SUCCESS},
        {"mono 11025: refused", 11025, 1, STATUS_NO_MATCH},
        {"stereo 48000: refused once", 48000, 2, STATUS_NO_MATCH},
        {"stereo 48000: the second chance", 48000, 2, STATUS_SUCCESS},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(OpenPin(0, step.rate, step.channels), step.status);
    }
    // With the second-oldest systems' level, mono is always refused and stereo admitted.
    Filter()->osLevel = 2;
    EXPECT_EQ(OpenPin(0, 16000, 1), STATUS_NO_MATCH);
    EXPECT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
}

TEST_F(AudioStreamTest, Bfa3AdmitsOnlyStereoCaptureAndOtherDevicesHaveNoMonoRule) {
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);  // BFA3 on by default
    EXPECT_EQ(OpenPin(0, 16000, 1), STATUS_NO_MATCH);
    EXPECT_EQ(OpenPin(0, 16000, 4), STATUS_NO_MATCH);
    EXPECT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    // A render pin of the camera is not the capture's business.
    EXPECT_EQ(OpenPin(1, 44100, 1), STATUS_SUCCESS);
}

TEST_F(AudioStreamTest, WithEchoQuellOnARenderRateIsRefusedSixTimesAndTakenTheSeventh) {
    HANDLE key;
    ASSERT_EQ(reg::CreatePath(qk::paths::kAudioFilterKeyKernel, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    reg::SetDword(key, u"EchoQuell", 1);
    ZwClose(key);
    Plug(qk::ids::kPartnerVendorE, 1);  // EchoQuell available
    ASSERT_EQ(Filter()->echoQuellOn, 1u);
    EXPECT_EQ(Filter()->echoQuellRate, 8000u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(OpenPin(1, 44100, 2), STATUS_NO_MATCH) << i;
    EXPECT_EQ(OpenPin(1, 44100, 2), STATUS_SUCCESS);
    EXPECT_EQ(Filter()->echoQuellRate, 44100u);
    ASSERT_EQ(reg::OpenPath(qk::paths::kAudioFilterKeyKernel, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(reg::QueryDword(key, u"EchoQuellSampleRate"), 44100u);
    ZwClose(key);
    // A capture at another rate than the echo rate is refused.
    EXPECT_EQ(OpenPin(0, 16000, 1), STATUS_NO_MATCH);
    EXPECT_EQ(OpenPin(0, 44100, 1), STATUS_SUCCESS);
    // The device itself refuses the render format: 48000 Hz is tried next.
    g_script->renderCreate = STATUS_NO_MATCH;
    EXPECT_EQ(OpenPin(1, 44100, 2), STATUS_NO_MATCH);
    qk::nt::pnp::WaitIdle();
    qk::nt::Kernel::Get().FlushWork();
    EXPECT_EQ(Filter()->echoQuellRate, 48000u);
    // Refused at 48000 too: echo cancellation gives up (not saved).
    for (int i = 0; i < 7; ++i) OpenPin(1, 48000, 2);
    EXPECT_EQ(Filter()->echoQuellOn, 0u);
}

TEST_F(AudioStreamTest, ReadsComeBackCleanedAsTheStagesAloneCleanThem) {
    SetScene(16000, 4);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    std::vector<ULONG> used;
    std::vector<uint8_t> got = Read(150, 640, &used);  // 3 s in 20 ms buffers
    EXPECT_EQ(StreamOpen(), 1u);
    EXPECT_EQ(g_script->reads.load(), 150);
    EXPECT_LT(used.front(), 640u);  // the stages fill first
    EXPECT_EQ(used.back(), 640u);

    // The same buffers through a capture processor of our own, with the camera's defaults.
    CaptureProcessor* p = CaptureProcessor::Create();
    p->SetFeature(FEATURE_NOISEGUARD, 1);
    p->SetFeature(FEATURE_BFA, 0);
    p->SetFeature(FEATURE_BFA3, 1);
    p->SetFormat(16000, 2, 16);
    p->RequestReset();
    std::vector<uint8_t> want;
    {
        std::lock_guard guard(g_script->lock);
        for (size_t b = 0; b < 150; ++b) {
            std::vector<uint8_t> buffer(640);
            std::memcpy(buffer.data(), g_script->stereo.data() + b * 320, 640);
            KFLOATING_SAVE save;
            ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
            ULONG n = p->Process(buffer.data(), 640);
            KeRestoreFloatingPointState(&save);
            want.insert(want.end(), buffer.begin(), buffer.begin() + n);
        }
    }
    CaptureProcessor::Destroy(p);
    EXPECT_EQ(got, want);
    pins_.clear();
    EXPECT_EQ(StreamOpen(), 0u);
}

}  // namespace

namespace {

void SetFeatureThroughControl(uint32_t feature, uint32_t on) {
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(kControlUserPath, GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
    FeatureRequest r{};
    r.feature = feature;
    r.enabled = on;
    ULONG returned = 0;
    EXPECT_EQ(qk::nt::io::DeviceControl(h, IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0, &returned), STATUS_SUCCESS);
    ZwClose(h);
}

TEST_F(AudioStreamTest, WithTheFeaturesOffThePathIsTransparentAndPushToTalkMutes) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    SetFeatureThroughControl(FEATURE_NOISEGUARD, 0);
    SetFeatureThroughControl(FEATURE_BFA3, 0);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    std::vector<ULONG> used;
    std::vector<uint8_t> got = Read(20, 640, &used);
    for (ULONG n : used) EXPECT_EQ(n, 640u);
    {
        std::lock_guard guard(g_script->lock);
        EXPECT_EQ(std::memcmp(got.data(), g_script->stereo.data(), got.size()), 0);
    }
    // Push-to-talk with the key up: zeros of the produced length; key down: the audio.
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(kControlUserPath, GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
    ULONG value = 1, returned = 0;
    ASSERT_EQ(qk::nt::io::DeviceControl(h, IOCTL_AUDFLT_SET_PUSH_TO_TALK, &value, 4, nullptr, 0, &returned), STATUS_SUCCESS);
    got = Read(5, 640);
    EXPECT_EQ(got, std::vector<uint8_t>(got.size(), 0));
    value = 2;
    ASSERT_EQ(qk::nt::io::DeviceControl(h, IOCTL_AUDFLT_SET_PUSH_TO_TALK, &value, 4, nullptr, 0, &returned), STATUS_SUCCESS);
    got = Read(5, 640);
    EXPECT_NE(got, std::vector<uint8_t>(got.size(), 0));
    // The capture meter follows the signal once switched on.
    ASSERT_EQ(qk::nt::io::DeviceControl(h, IOCTL_AUDFLT_ENABLE_METERS, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    Read(10, 640);
    ULONG level = 1;
    ASSERT_EQ(qk::nt::io::DeviceControl(h, IOCTL_AUDFLT_GET_LEVEL, &level, 4, &level, 4, &returned), STATUS_SUCCESS);
    EXPECT_GT(level, 100u);
    ZwClose(h);
}

TEST_F(AudioStreamTest, WhenTheFloatingPointStateCannotBeSavedTheBufferPassesUnprocessed) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);  // NoiseGuard and BFA3 on
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure([] { return true; });
    std::vector<ULONG> used;
    std::vector<uint8_t> got = Read(10, 640, &used);
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure(nullptr);
    for (ULONG n : used) EXPECT_EQ(n, 640u);
    std::lock_guard guard(g_script->lock);
    EXPECT_EQ(std::memcmp(got.data(), g_script->stereo.data(), got.size()), 0);
}

TEST_F(AudioStreamTest, TheStagesMemoryIsPoolOfTheFilterAndAStageWithoutMemoryPassesItsInputOn) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);  // NoiseGuard and BFA3 on
    const uint64_t before = qk::nt::pool::StatsFor(kPoolTag).outstandingBytes;
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    Read(3, 640);
    // The stages set up for the stream's rate: their tables are the filter's pool.
    EXPECT_GT(qk::nt::pool::StatsFor(kPoolTag).outstandingBytes, before + 100000);
    pins_.clear();
    // Out of memory for the filter's large blocks (the stages' tables): the
    // next stream, at a rate whose tables are larger, cannot set them up,
    // and the microphones pass on as they came.
    SetScene(48000, 1);
    qk::nt::pool::SetFailurePredicate([](ULONG tag, size_t bytes, POOL_TYPE) { return tag == kPoolTag && bytes > 2000; });
    ASSERT_EQ(OpenPin(0, 48000, 2), STATUS_SUCCESS);
    size_t at;
    {
        std::lock_guard guard(g_script->lock);
        at = g_script->position;
    }
    std::vector<ULONG> used;
    std::vector<uint8_t> got = Read(5, 1920, &used);
    qk::nt::pool::SetFailurePredicate(nullptr);
    for (ULONG n : used) EXPECT_EQ(n, 1920u);
    std::lock_guard guard(g_script->lock);
    // BFA3 and NoiseGuard not ready: what is left is the half sum of the two
    // microphones (DC removed), in both channels.
    std::vector<int16_t> out(got.size() / 2);
    std::memcpy(out.data(), got.data(), got.size());
    double error = 0, energy = 0;
    for (size_t f = 0; f < out.size() / 2; ++f) {
        ASSERT_EQ(out[2 * f], out[2 * f + 1]) << f;
        const double half = 0.5 * (g_script->stereo[at + 2 * f] + g_script->stereo[at + 2 * f + 1]);
        error += (out[2 * f] - half) * (out[2 * f] - half);
        energy += half * half;
    }
    EXPECT_LT(error, 0.05 * energy);  // the DC filter also takes the lowest frequencies
}

TEST_F(AudioStreamTest, WhenOnlyTheVectorStateCannotBeSavedTheBufferPassesUnprocessedAndTheOtherSaveIsUndone) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    // Every second save fails: the floating-point save succeeds, the extended one after it does not.
    std::atomic<int> calls{0};
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure([&] { return ++calls % 2 == 0; });
    std::vector<ULONG> used;
    std::vector<uint8_t> got = Read(10, 640, &used);
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure(nullptr);
    EXPECT_GE(calls.load(), 20);
    for (ULONG n : used) EXPECT_EQ(n, 640u);
    std::lock_guard guard(g_script->lock);
    EXPECT_EQ(std::memcmp(got.data(), g_script->stereo.data(), got.size()), 0);
    // The worker restored what it saved: no unbalanced state is reported when it ends.
}

TEST_F(AudioStreamTest, EveryHeldReadIsCompletedOnceUnderSurpriseRemoval) {
    SetScene(16000, 2);
    int port = Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    {
        std::lock_guard guard(g_script->lock);
        g_script->hold = true;
    }
    // 30 reads queued below the filter.
    constexpr int kReads = 30;
    std::vector<std::vector<uint8_t>> buffers(kReads, std::vector<uint8_t>(640));
    std::atomic<int> completions{0}, successes{0};
    for (auto& b : buffers) {
        pins_.back()->QueueRead(b.data(), 640, sizeof(KSSTREAM_HEADER), [&](const qk::ks::client::Pin::Sample& s) {
            ++completions;
            if (NT_SUCCESS(s.status)) ++successes;
        });
    }
    EXPECT_EQ(completions.load(), 0);
    // All come back at once: more than the semaphore's limit of 20 signals.
    std::deque<PIRP> held;
    {
        std::lock_guard guard(g_script->lock);
        held.swap(g_script->held);
        g_script->hold = false;
    }
    ASSERT_EQ(held.size(), size_t(kReads));
    for (PIRP irp : held) {
        FillRead(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    // The bus runs on a stepped clock: step it while the workers finish.
    WaitFor([&] { return completions.load() >= kReads; });
    EXPECT_EQ(completions.load(), kReads);
    EXPECT_EQ(successes.load(), kReads);

    // Ten more held while the device is pulled out: they fail below, and come back once each.
    {
        std::lock_guard guard(g_script->lock);
        g_script->hold = true;
    }
    completions = 0;
    for (int i = 0; i < 10; ++i) {
        pins_.back()->QueueRead(buffers[size_t(i)].data(), 640, sizeof(KSSTREAM_HEADER),
                                [&](const qk::ks::client::Pin::Sample&) { ++completions; });
    }
    ASSERT_TRUE(qk::usb::Unplug(port, qk::usb::Wait::No));
    {
        std::lock_guard guard(g_script->lock);
        for (PIRP irp : g_script->held) Complete(irp, STATUS_DEVICE_REMOVED);
        g_script->held.clear();
        g_script->hold = false;
    }
    WaitFor([&] { return completions.load() >= 10; });
    EXPECT_EQ(completions.load(), 10);
    pins_.clear();
    filter_.reset();
    qk::nt::pnp::WaitIdle();
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);
}

}  // namespace

namespace {

NTSTATUS Caught(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(AudioStreamTest, ARequestBuiltBeforeTheFilterAttachedStillReachesTheDevice) {
    Plug(qk::ids::kPartnerVendorA, 1);
    FilterExtension* f = Filter();
    // Stack locations for the device below only, as a request built for it.
    PIRP irp = IoAllocateIrp(f->lowerDevice->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KSP_PIN property{};
    property.Property.Set = KSPROPSETID_Pin;
    property.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = 1;
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW(0);
    irp->UserBuffer = &flow;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof property;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof flow;
    next->Parameters.DeviceIoControl.Type3InputBuffer = &property;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Caught, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(f->self, irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, sizeof flow);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_IN);
    IoFreeIrp(irp);
    EXPECT_EQ(qk::nt::io::LiveIrpCount(), 0u);
}

}  // namespace

namespace {

TEST_F(AudioStreamTest, AReadThatClaimsMoreThanItsBufferIsNotProcessed) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    g_script->overstate = 100000;
    std::vector<uint8_t> buffer(640, 0xEE);
    qk::ks::client::Pin::Sample sample;
    ASSERT_EQ(pins_.back()->Read(buffer.data(), 640, sizeof(KSSTREAM_HEADER), &sample), STATUS_SUCCESS);
    EXPECT_EQ(sample.Header().DataUsed, 640u + 100000u);  // passed on as the device said
    std::lock_guard guard(g_script->lock);
    EXPECT_EQ(std::memcmp(buffer.data(), g_script->stereo.data(), 640), 0);  // untouched by the filter
}

}  // namespace

namespace {

TEST_F(AudioStreamTest, AnArrayCodecTakesItsInstalledFormatAtTheFirstReadAndItsOwnSettingsKey) {
    g_script->noUsb = true;
    HANDLE key;
    ASSERT_EQ(reg::CreatePath(qk::paths::kArraySettingsKeyKernel, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    reg::SetDword(key, u"BeamArray Installed", 1);
    reg::SetDword(key, u"NoiseGuard", 1);
    ZwClose(key);
    SetScene(16000, 1);
    Plug(qk::ids::kPartnerVendorA, 1);
    FilterExtension* f = Filter();
    EXPECT_EQ(f->profile, Profile::ArrayCodec);
    EXPECT_EQ(f->captureChannels, 2);
    EXPECT_EQ(f->deviceDescriptor[8] | f->deviceDescriptor[9] << 8, 0x8086);
    // The installation's capture format for this device.
    auto interfaces = qk::nt::pnp::Interfaces(kFilterInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, interfaces[0].symbolicLink.c_str());
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    reg::SetDword(key, u"RecordSampleRate", 16000);
    reg::SetDword(key, u"RecordNumChannels", 0);  // zero keeps the pin's
    ZwClose(key);
    ASSERT_EQ(OpenPin(0, 48000, 2), STATUS_SUCCESS);
    EXPECT_EQ(f->captureRate, 48000u);
    Read(1, 640);
    EXPECT_EQ(f->captureRate, 16000u);
    EXPECT_EQ(f->captureChannels, 2);
    EXPECT_EQ(f->arrayInstalled, 1u);
    EXPECT_EQ(f->noiseGuardOn, 1u);
    EXPECT_EQ(f->echoQuellAvailable, 1u);
    EXPECT_EQ(f->echoQuellRate, 8000u);
}

}  // namespace

namespace {

TEST_F(AudioStreamTest, StreamEventsPropertiesAndHandshakesOnThePin) {
    SetScene(16000, 2);
    Plug(qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    HANDLE control;
    ASSERT_EQ(qk::nt::io::OpenDevice(kControlUserPath, GENERIC_READ | GENERIC_WRITE, &control), STATUS_SUCCESS);
    auto wait = [&](uint32_t mask, uint32_t* answer, std::atomic<int>* done) {
        answer[0] = mask;
        answer[1] = 0;
        return qk::nt::io::DeviceControlAsync(control, IOCTL_AUDFLT_WAIT_EVENT, answer, 8, answer, 8,
                                              [done](NTSTATUS, ULONG_PTR) { ++*done; });
    };
    uint32_t started[2], stopped[2], render[2];
    std::atomic<int> startedDone{0}, stoppedDone{0}, renderDone{0};
    EXPECT_EQ(wait(kWaitCaptureEvents, started, &startedDone), STATUS_PENDING);
    EXPECT_EQ(wait(kWaitRenderEvents, render, &renderDone), STATUS_PENDING);
    ASSERT_EQ(OpenPin(0, 16000, 2), STATUS_SUCCESS);
    EXPECT_EQ(startedDone.load(), 0);  // the create alone is no start
    Read(1, 640);
    WaitFor([&] { return startedDone.load() == 1; });
    EXPECT_EQ(started[0], kEventStream);
    EXPECT_EQ(started[1], 1u);
    EXPECT_EQ(StreamOpen(), 1u);
    ULONG state = 0, returned = 0;
    ASSERT_EQ(qk::nt::io::DeviceControl(control, IOCTL_AUDFLT_GET_STREAM_STATE, nullptr, 0, &state, 4, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(state, 1u);

    // Another recording input selected: the audio passes unchanged.
    ULONG input = 3;
    ASSERT_EQ(qk::ks::client::SetProperty(pins_.back()->Handle(), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE,
                                          &input, sizeof input),
              STATUS_SUCCESS);
    EXPECT_EQ(Filter()->muxSource, 3u);
    size_t at;
    {
        std::lock_guard guard(g_script->lock);
        at = g_script->position;
    }
    std::vector<uint8_t> got = Read(3, 640);
    {
        std::lock_guard guard(g_script->lock);
        EXPECT_EQ(std::memcmp(got.data(), g_script->stereo.data() + at, got.size()), 0);
    }
    // The pins do not connect to each other through the filter.
    ULONG ignored = 0;
    EXPECT_EQ(qk::nt::io::DeviceControl(pins_.back()->Handle(), IOCTL_KS_HANDSHAKE, &ignored, 4, &ignored, 4, &returned),
              STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(wait(kWaitCaptureEvents, stopped, &stoppedDone), STATUS_PENDING);
    pins_.clear();
    WaitFor([&] { return stoppedDone.load() == 1; });
    EXPECT_EQ(stopped[1], 3u);
    EXPECT_EQ(StreamOpen(), 0u);
    EXPECT_EQ(renderDone.load(), 0);  // no render pin ran
    ZwClose(control);
    WaitFor([&] { return renderDone.load() == 1; });  // the handle's close cancels it
    EXPECT_EQ(renderDone.load(), 1);
}

}  // namespace
