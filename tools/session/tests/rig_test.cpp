// The session on a fresh machine: installing, plugging the camera, finding
// (or failing to find) its capture filter, and streaming through a stand-in
// capture driver whose every sample is known, so that the session's own
// mechanics (queued reads, order, headers, stop) are checked apart from the
// real driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "capture/formats.h"
#include "capture/k0340dev_entry.h"
#include "platform/nt/kernel.h"
#include "ks.h"
#include "platform/nt/testing/machine_test.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_stream.h"
#include "tools/session/stream_stats.h"

namespace qk::session {
namespace {

// ---- The stand-in: one capture pin with the variant-2 ranges ----------------------------------------

constexpr int64_t kStubInterval = 333333;

struct Stub {
    KS_DATARANGE_VIDEO ranges[13];
    PKSDATARANGE pointers[13];
    ULONG rangeCount = 0;
    std::atomic<int64_t> samples{0};
    std::atomic<int> entryCalls{0};
} g_stub;

void BuildStubRanges() {
    k0340::FormatTable table = k0340::FormatTableForVariant(2);
    g_stub.rangeCount = table.count;
    for (uint32_t i = 0; i < table.count; ++i) {
        k0340::BuildDataRange(table.records[i], &g_stub.ranges[i]);
        g_stub.pointers[i] = &g_stub.ranges[i].DataRange;
    }
}

NTSTATUS StubIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE ours, ULONG bytes, PVOID data,
                       PULONG size) {
    return k0340::IntersectRange(caller, caller->FormatSize, reinterpret_cast<const KS_DATARANGE_VIDEO*>(ours), data,
                                 bytes, size);
}

// The first sample is cancelled, as the real driver's first ones are; the
// others carry their own number in every byte and in their frame info.
NTSTATUS StubProcess(PKSPIN pin) {
    PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (p == nullptr) return STATUS_PENDING;
    int64_t n = g_stub.samples++;
    PKSSTREAM_HEADER header = p->StreamHeader;
    ULONG used = 0;
    if (n == 0) {
        KsStreamPointerSetStatusCode(p, STATUS_CANCELLED);
    } else {
        used = p->OffsetOut.Remaining;
        std::memset(p->OffsetOut.Data, static_cast<int>(n & 0xFF), used);
        header->PresentationTime.Time = n * kStubInterval;
        header->Duration = kStubInterval;
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
        if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
            auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
            info->PictureNumber = n - 1;
            info->DropCount = 0;
        }
    }
    header->DataUsed = used;
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, used, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS StubSetFormat(PKSPIN, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH g_stubPinDispatch = {nullptr, nullptr, StubProcess, nullptr, StubSetFormat, nullptr};
KSPIN_DESCRIPTOR_EX g_stubPins[1];
const GUID g_stubCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
KSFILTER_DESCRIPTOR g_stubFilter;

NTSTATUS StubStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    g_stubPins[0] = {&g_stubPinDispatch,
                     nullptr,
                     {0, nullptr, 0, nullptr, g_stub.rangeCount, g_stub.pointers, KSPIN_DATAFLOW_OUT,
                      KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE, &PINNAME_VIDEO_CAPTURE, {0}},
                     KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL |
                         KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
                     1,
                     1,
                     nullptr,
                     StubIntersect};
    g_stubFilter = {nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter, 1, sizeof(KSPIN_DESCRIPTOR_EX),
                    g_stubPins, 2, g_stubCategories};
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &g_stubFilter, const_cast<PWSTR>(u"GLOBAL"),
                                            nullptr, 0, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

const KSDEVICE_DISPATCH g_stubDeviceDispatch = {nullptr, StubStart};
const KSDEVICE_DESCRIPTOR g_stubDevice = {&g_stubDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

NTSTATUS StubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    g_stub.entryCalls++;
    return KsInitializeDriver(driver, path, &g_stubDevice);
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    g_stub.entryCalls++;
    return STATUS_UNSUCCESSFUL;
}

// A driver that starts the device and offers no filter.
NTSTATUS SilentStart(PKSDEVICE, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return STATUS_SUCCESS; }
const KSDEVICE_DISPATCH g_silentDispatch = {nullptr, SilentStart};
const KSDEVICE_DESCRIPTOR g_silentDevice = {&g_silentDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};
NTSTATUS SilentEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &g_silentDevice);
}

class RigTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        BuildStubRanges();
        g_stub.samples = 0;
        g_stub.entryCalls = 0;
    }
};

TEST_F(RigTest, InstallsPlugsAndFindsTheFilter) {
    EXPECT_FALSE(PackageInstalled());
    std::string error;
    auto rig = CameraRig::Start(StubEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    EXPECT_TRUE(rig->InstalledPackage());
    EXPECT_TRUE(PackageInstalled());
    EXPECT_EQ(g_stub.entryCalls.load(), 1);
    EXPECT_EQ(VideoFunctionId(rig->Camera().Config()), u"USB\\VID_FA57&PID_0340&MI_00");
    EXPECT_EQ(rig->VideoFunction().rfind(u"USB\\VID_FA57&PID_0340&MI_00\\", 0), 0u);
    EXPECT_EQ(rig->FilterLink().substr(rig->FilterLink().size() - 7), u"\\GLOBAL");
    EXPECT_EQ(DescribeDeviceState(rig->VideoFunction()), "it started, but its driver registered no capture filter");
    std::unique_ptr<ks::client::Filter> filter;
    EXPECT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    filter.reset();
    EXPECT_TRUE(rig->Unplug());
    EXPECT_FALSE(rig->Unplug());
    // A second rig on the same machine finds the package installed.
    auto again = CameraRig::Start(StubEntry, {}, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_FALSE(again->InstalledPackage());
}

TEST_F(RigTest, NoFilterIsAClearError) {
    struct Case {
        const char* name;
        PDRIVER_INITIALIZE entry;
        uint16_t vendor;
        const char* says;
    };
    const Case cases[] = {
        // No entry: the installed module is wanted, and the build folder lacks it.
        {"no module to install", nullptr, ids::kCameraVendorId, "cannot copy"},
        {"another camera", StubEntry, 0x1234, "no driver is installed for it"},
        {"driver fails to load", FailingEntry, ids::kCameraVendorId, "could not be loaded"},
        {"driver offers no filter", SilentEntry, ids::kCameraVendorId, "registered no capture filter"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RigOptions options;
        options.camera.vendorId = c.vendor;
        options.moduleFolder = Root() / "no-modules";
        std::string error;
        auto rig = CameraRig::Start(c.entry, options, &error);
        EXPECT_FALSE(rig);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        if (c.entry != nullptr) {
            EXPECT_NE(error.find("no capture filter appeared"), std::string::npos) << error;
        }
    }
    EXPECT_EQ(g_stub.entryCalls.load(), 1);  // the other camera's function never loads the driver
}

TEST_F(RigTest, StreamsInOrderThroughQueuedReads) {
    std::string error;
    auto rig = CameraRig::Start(StubEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    StreamOptions options;
    options.queuedReads = 3;
    options.maxSamples = 12;
    std::unique_ptr<CaptureStream> stream;
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Yuy2, 160, 120, 15}, options, &stream, &error)) << error;
    EXPECT_EQ(stream->Format().format, PixelFormat::Yuy2);
    EXPECT_EQ(stream->Format().width, 160);
    EXPECT_EQ(stream->Format().interval100ns, 666666);
    EXPECT_EQ(stream->Format().sampleBytes, 160u * 120 * 2);
    EXPECT_EQ(stream->Offers().size(), 13u);

    std::vector<SampleReport> reports;
    std::vector<uint8_t> firstBytes;
    StreamStats stats(kStubInterval);
    ASSERT_TRUE(stream->Run(
        [&](const SampleReport& s) {
            reports.push_back(s);
            firstBytes.push_back(s.data.empty() ? 0 : s.data[0]);
            stats.Add(s);
            return true;
        },
        &error))
        << error;
    ASSERT_EQ(reports.size(), 12u);
    EXPECT_EQ(reports[0].status, STATUS_CANCELLED);
    EXPECT_EQ(reports[0].dataUsed, 0u);
    for (size_t i = 1; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].index, i);
        EXPECT_TRUE(reports[i].Delivered());
        EXPECT_EQ(reports[i].dataUsed, 160u * 120 * 2);
        EXPECT_EQ(firstBytes[i], i);
        EXPECT_EQ(reports[i].pictureNumber, static_cast<int64_t>(i - 1));
        EXPECT_EQ(reports[i].presentationTime, static_cast<int64_t>(i) * kStubInterval);
        EXPECT_TRUE(reports[i].TimeValid());
    }
    EXPECT_TRUE(stats.Regular());
    EXPECT_EQ(stats.Delivered(), 11u);
    // Stopped, nothing left queued: the same pin runs again.
    reports.clear();
    ASSERT_TRUE(stream->Run(
        [&](const SampleReport& s) {
            reports.push_back(s);
            return reports.size() < 2;  // the caller ends the run
        },
        &error))
        << error;
    EXPECT_EQ(reports.size(), 2u);
    // The stand-in has no dropped-frames property.
    DroppedFrames dropped;
    EXPECT_FALSE(NT_SUCCESS(stream->QueryDroppedFrames(&dropped)));
}

TEST_F(RigTest, FormatsTheCameraLacksAreRefusedWithTheOffers) {
    std::string error;
    auto rig = CameraRig::Start(StubEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    std::unique_ptr<CaptureStream> stream;
    EXPECT_FALSE(CaptureStream::Open(*filter, {PixelFormat::Mjpg, 640, 480, 30}, {}, &stream, &error));
    EXPECT_NE(error.find("does not offer MJPG; it offers YUY2 640x480"), std::string::npos) << error;
    EXPECT_FALSE(CaptureStream::Open(*filter, {PixelFormat::Rgb24, 1600, 1200, 30}, {}, &stream, &error));
    EXPECT_NE(error.find("RGB24 1600x1200 at 5 fps, not at 30 fps"), std::string::npos) << error;
    // A refused request leaves the pin free for the next.
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Rgb24, 1600, 1200, 5}, {}, &stream, &error)) << error;
    EXPECT_EQ(stream->Format().sampleBytes, 1600u * 1200 * 3);
}

// ---- The same session on the real capture driver ---------------------------------------------------

class DriverSessionTest : public RigTest {
protected:
    void SetUp() override {
        RigTest::SetUp();
        qk::nt::Kernel::Get().TheClock().SetRealTime(2.0);
    }
};

TEST_F(DriverSessionTest, StreamsAndReadsTheDroppedFramesProperty) {
    std::string error;
    auto rig = CameraRig::Start(K0340DevDriverEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    std::unique_ptr<CaptureStream> stream;
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Yuy2, 320, 240, 30}, {}, &stream, &error)) << error;
    StreamStats stats(stream->Format().interval100ns);
    ASSERT_TRUE(stream->Run(
        [&](const SampleReport& s) {
            stats.Add(s);
            if (s.Delivered()) {
                EXPECT_EQ(s.dataUsed, 320u * 240 * 2);
                EXPECT_TRUE(s.TimeValid());
                EXPECT_EQ(s.duration, 333333);
            }
            return stats.Delivered() < 5;
        },
        &error))
        << error;
    EXPECT_EQ(stats.Delivered(), 5u);
    EXPECT_GE(stats.Cancelled(), 2u);  // the pin's first two samples at least
    DroppedFrames dropped;
    ASSERT_EQ(stream->QueryDroppedFrames(&dropped), STATUS_SUCCESS);
    EXPECT_EQ(dropped.averageFrameSize, 320u * 240 * 2);
    EXPECT_GE(dropped.pictureNumber, 4);
}

// Pulling the camera out while reads are queued ends the run at once with an
// error, and leaves nothing behind (the machine's shut-down checks).
TEST_F(DriverSessionTest, UnpluggingMidStreamEndsTheRun) {
    std::string error;
    auto rig = CameraRig::Start(K0340DevDriverEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    StreamOptions options;
    options.filterLink = rig->FilterLink();
    std::unique_ptr<CaptureStream> stream;
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Rgb24, 160, 120, 30}, options, &stream, &error)) << error;
    uint64_t delivered = 0, samples = 0;
    bool ran = stream->Run(
        [&](const SampleReport& s) {
            ++samples;
            if (s.Delivered() && ++delivered == 3) rig->Unplug();
            return samples < 200;
        },
        &error);
    EXPECT_FALSE(ran);
    // The driver keeps the queued reads until the pin stops; the removal
    // notification is what ends the run.
    EXPECT_NE(error.find("the camera went away"), std::string::npos) << error;
    EXPECT_EQ(delivered, 3u);
    stream.reset();
    filter.reset();
}

// The timed work of a caller runs on the streaming thread while the run goes
// on; pulled out from there, the camera comes back as a new one with its own
// filter, and streams again.
TEST_F(DriverSessionTest, ACameraPulledOutFromTheRunComesBackWithANewFilter) {
    std::string error;
    auto rig = CameraRig::Start(K0340DevDriverEntry, {}, &error);
    ASSERT_TRUE(rig) << error;
    EXPECT_FALSE(rig->Replug({}, &error));
    EXPECT_EQ(error, "the camera is still plugged in");
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    uint64_t delivered = 0, waits = 0;
    StreamOptions options;
    options.filterLink = rig->FilterLink();
    options.onWait = [&] {
        ++waits;
        if (delivered == 3 && rig->Plugged()) rig->Unplug();
    };
    std::unique_ptr<CaptureStream> stream;
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Yuy2, 160, 120, 30}, options, &stream, &error)) << error;
    EXPECT_FALSE(stream->Run([&](const SampleReport& s) { return !s.Delivered() || ++delivered < 100; }, &error));
    EXPECT_NE(error.find("the camera went away"), std::string::npos) << error;
    EXPECT_EQ(delivered, 3u);
    EXPECT_GE(waits, delivered);
    stream.reset();
    filter.reset();

    sim::Faults faults;
    faults.loseEveryNthPacket = 97;
    ASSERT_TRUE(rig->Replug(faults, &error)) << error;
    ASSERT_EQ(rig->Cameras().size(), 2u);
    EXPECT_EQ(rig->Cameras().back(), rig->SharedCamera());
    EXPECT_EQ(rig->Camera().Config().faults.loseEveryNthPacket, 97u);
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    options.onWait = nullptr;
    options.filterLink = rig->FilterLink();
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Yuy2, 160, 120, 30}, options, &stream, &error)) << error;
    delivered = 0;
    EXPECT_TRUE(stream->Run([&](const SampleReport& s) { return !s.Delivered() || ++delivered < 3; }, &error)) << error;
    EXPECT_EQ(delivered, 3u);
}

// A stall of the video endpoint halts the pipe; the driver resets it and the
// camera sees the host come back for video: the count the capture command
// reports as the driver's recoveries.
TEST_F(DriverSessionTest, TheCameraCountsTheDriversRecoveryFromAStall) {
    RigOptions rigOptions;
    rigOptions.camera.faults.stallAtPacket = 300;
    std::string error;
    auto rig = CameraRig::Start(K0340DevDriverEntry, rigOptions, &error);
    ASSERT_TRUE(rig) << error;
    std::unique_ptr<ks::client::Filter> filter;
    ASSERT_EQ(rig->OpenFilter(&filter), STATUS_SUCCESS);
    std::unique_ptr<CaptureStream> stream;
    StreamOptions options;
    options.filterLink = rig->FilterLink();
    ASSERT_TRUE(CaptureStream::Open(*filter, {PixelFormat::Yuy2, 160, 120, 30}, options, &stream, &error)) << error;
    uint64_t delivered = 0;
    // 30 frames take a second, well past packet 300.
    ASSERT_TRUE(stream->Run([&](const SampleReport& s) { return !s.Delivered() || ++delivered < 30; }, &error)) << error;
    sim::StreamCounters seen = rig->Camera().Counters();
    EXPECT_EQ(seen.stalls, 1u);
    EXPECT_EQ(seen.resumedAfterStall, 1u);
    EXPECT_EQ(seen.lostPackets, 0u);
}

}  // namespace
}  // namespace qk::session
