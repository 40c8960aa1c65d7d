#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "ks.h"
#include "platform/ks/client.h"
#include "platform/ks/clock.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/nt/testing/machine_test.h"

namespace {

namespace client = qk::ks::client;
using qk::verifier::Violation;

// ---- A minimal streaming minidriver: one capture pin of counter frames ------------------

DEFINE_GUID(kTestSubtype, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
DEFINE_GUID(kTestMajor, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(kTestPropertySet, 0xAAAAAAAA, 0xBBBB, 0xCCCC, 0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE);
constexpr ULONG kFrameBytes = 64;

struct Driver {
    std::atomic<int> startCalls{0}, postStartCalls{0}, processCalls{0};
    std::vector<std::pair<KSSTATE, KSSTATE>> transitions;
    ULONG counter = 0;
    LONG knob = 7;
    bool rejectFormats = false;
    PKSFILTERFACTORY factory = nullptr;
} g;

KSDATARANGE MakeRange() {
    KSDATARANGE r{};
    r.FormatSize = sizeof(KSDATARANGE);
    r.SampleSize = kFrameBytes;
    r.MajorFormat = kTestMajor;
    r.SubFormat = kTestSubtype;
    r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return r;
}
KSDATARANGE g_range = MakeRange();
const PKSDATARANGE g_ranges[] = {&g_range};

NTSTATUS PinSetFormat(PKSPIN, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
    return g.rejectFormats ? STATUS_NO_MATCH : STATUS_SUCCESS;
}

NTSTATUS PinSetState(PKSPIN, KSSTATE to, KSSTATE from) {
    g.transitions.emplace_back(from, to);
    return STATUS_SUCCESS;
}

NTSTATUS PinProcess(PKSPIN pin) {
    g.processCalls++;
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (p == nullptr) return STATUS_PENDING;
    ULONG n = p->OffsetOut.Remaining < kFrameBytes ? p->OffsetOut.Remaining : kFrameBytes;
    std::memset(p->OffsetOut.Data, static_cast<int>(g.counter & 0xFF), n);
    p->StreamHeader->DataUsed = n;
    p->StreamHeader->PresentationTime.Time = g.counter;
    if (g.counter % 3 == 2) KsStreamPointerSetStatusCode(p, STATUS_CANCELLED);
    g.counter++;
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, n, TRUE);
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH g_pinDispatch = {nullptr, nullptr, PinProcess, nullptr, PinSetFormat, PinSetState};

NTSTATUS GetKnob(PIRP, PKSIDENTIFIER, PVOID data) {
    *static_cast<LONG*>(data) = g.knob;
    return STATUS_SUCCESS;
}

NTSTATUS SetKnob(PIRP, PKSIDENTIFIER, PVOID data) {
    g.knob = *static_cast<LONG*>(data);
    return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG g_knobRange[] = {{2, 0, {{{0, 10}}}}};
const LONG g_knobDefault = 4;
const KSPROPERTY_MEMBERSLIST g_knobMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, g_knobRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &g_knobDefault},
};
KSPROPERTY_VALUES MakeKnobValues() {
    KSPROPERTY_VALUES v{};
    v.PropTypeSet.Set = KSPROPTYPESETID_General;
    v.PropTypeSet.Id = 3;  // VT_I4
    v.MembersListCount = 2;
    v.MembersList = g_knobMembers;
    return v;
}
const KSPROPERTY_VALUES g_knobValues = MakeKnobValues();
const KSPROPERTY_ITEM g_items[] = {
    {0, {GetKnob}, sizeof(KSPROPERTY), sizeof(LONG), {SetKnob}, &g_knobValues, 0, nullptr, nullptr, sizeof(LONG)},
};
const KSPROPERTY_SET g_sets[] = {{&kTestPropertySet, 1, g_items, 0, nullptr}};
const KSAUTOMATION_TABLE g_filterAutomation = {1, sizeof(KSPROPERTY_ITEM), g_sets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

const KSPIN_DESCRIPTOR_EX g_pins[] = {{
    &g_pinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &KSCATEGORY_CAPTURE, nullptr, {0}},
    KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    nullptr,
    nullptr,
}};
const GUID g_categories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
const KSFILTER_DESCRIPTOR g_filter = {nullptr, &g_filterAutomation, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter,
                                      1, sizeof(KSPIN_DESCRIPTOR_EX), g_pins, 2, g_categories};

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    g.startCalls++;
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &g_filter, const_cast<PWSTR>(u"GLOBAL"),
                                            nullptr, 0, nullptr, nullptr, &g.factory);
    KsReleaseDevice(device);
    return status;
}

NTSTATUS DevicePostStart(PKSDEVICE) {
    g.postStartCalls++;
    return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH g_deviceDispatch = {nullptr, DeviceStart, DevicePostStart};
const KSDEVICE_DESCRIPTOR g_device = {&g_deviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &g_device);
}

class KsTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g.startCalls = g.postStartCalls = g.processCalls = 0;
        g.transitions.clear();
        g.counter = 0;
        g.rejectFormats = false;
        qk::nt::io::RegisterStaticDriver(u"KsTest.sys", TestDriverEntry);
        HANDLE key;
        ASSERT_EQ(qk::nt::reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KsTest",
                                          KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        qk::nt::reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\KsTest.sys");
        ZwClose(key);
        ASSERT_EQ(qk::nt::reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\ROOT#KSTEST",
                                          KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        qk::nt::reg::SetString(key, u"Service", u"KsTest");
        qk::nt::reg::SetString(key, u"ClassGUID", u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
        ZwClose(key);
        path_ = qk::nt::pnp::AddRootDevice(u"ROOT\\KSTEST", {u"ROOT\\KSTEST"}, u"Streaming test");
        qk::nt::io::RegisterStaticDriver(u"KsTest.sys", TestDriverEntry);
    }
    std::u16string FilterPath() {
        auto list = qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE);
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? u"" : list[0].symbolicLink;
    }
    std::u16string path_;
};

TEST_F(KsTest, StartRegistersTheFilterUnderItsCategories) {
    EXPECT_EQ(g.startCalls.load(), 1);
    qk::nt::pnp::WaitIdle();
    qk::nt::Kernel::Get().FlushWork();
    EXPECT_EQ(g.postStartCalls.load(), 1);
    EXPECT_EQ(qk::nt::pnp::Interfaces(KSCATEGORY_VIDEO).size(), 1u);
    std::u16string path = FilterPath();
    EXPECT_NE(path.find(u"\\GLOBAL"), std::u16string::npos);
}

TEST_F(KsTest, ClientReadsPinFactoriesAndIntersects) {
    std::unique_ptr<client::Filter> filter;
    ASSERT_EQ(client::Filter::Open(FilterPath(), &filter), STATUS_SUCCESS);
    ULONG pins = 0;
    ASSERT_EQ(filter->PinCount(&pins), STATUS_SUCCESS);
    EXPECT_EQ(pins, 1u);
    KSPIN_DATAFLOW flow;
    ASSERT_EQ(filter->DataFlow(0, &flow), STATUS_SUCCESS);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(filter->DataFlow(5, &flow), STATUS_INVALID_PARAMETER);
    std::vector<client::Bytes> ranges;
    ASSERT_EQ(filter->DataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(std::memcmp(ranges[0].data(), &g_range, sizeof g_range), 0);
    client::Bytes format;
    ASSERT_EQ(filter->Intersect(0, ranges[0], &format), STATUS_SUCCESS);  // the default: the pin's own range
    EXPECT_EQ(format.size(), sizeof(KSDATAFORMAT));
    KSDATARANGE other = g_range;
    other.SubFormat = kTestPropertySet;
    client::Bytes otherBytes(reinterpret_cast<uint8_t*>(&other), reinterpret_cast<uint8_t*>(&other) + sizeof other);
    EXPECT_EQ(filter->Intersect(0, otherBytes, &format), STATUS_NO_MATCH);
}

TEST_F(KsTest, AutomationTablePropertiesWithRangesAndDefaults) {
    std::unique_ptr<client::Filter> filter;
    ASSERT_EQ(client::Filter::Open(FilterPath(), &filter), STATUS_SUCCESS);
    LONG value = 0;
    ULONG got = 0;
    ASSERT_EQ(client::GetProperty(filter->Handle(), kTestPropertySet, 0, &value, sizeof value, &got), STATUS_SUCCESS);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(got, sizeof(LONG));
    value = 9;
    ASSERT_EQ(client::SetProperty(filter->Handle(), kTestPropertySet, 0, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(g.knob, 9);
    EXPECT_EQ(client::GetProperty(filter->Handle(), kTestPropertySet, 0, nullptr, 0, &got), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, sizeof(LONG));
    char tiny[2];
    EXPECT_EQ(client::GetProperty(filter->Handle(), kTestPropertySet, 0, tiny, sizeof tiny), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(client::GetProperty(filter->Handle(), kTestPropertySet, 99, &value, sizeof value), STATUS_NOT_FOUND);
    EXPECT_EQ(client::GetProperty(filter->Handle(), kTestSubtype, 0, &value, sizeof value), STATUS_PROPSET_NOT_FOUND);

    KSPROPERTY p{};
    p.Set = kTestPropertySet;
    p.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    ULONG access = 0;
    ASSERT_EQ(client::Property(filter->Handle(), &p, sizeof p, &access, sizeof access, &got), STATUS_SUCCESS);
    EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    struct {
        KSPROPERTY_DESCRIPTION d;
        KSPROPERTY_MEMBERSHEADER h;
        KSPROPERTY_STEPPING_LONG s;
        KSPROPERTY_MEMBERSHEADER h2;
        LONG def;
    } basic{};
    ASSERT_EQ(client::Property(filter->Handle(), &p, sizeof p, &basic, sizeof basic, &got), STATUS_SUCCESS);
    EXPECT_EQ(basic.d.MembersListCount, 2u);
    EXPECT_EQ(basic.s.SteppingDelta, 2u);
    EXPECT_EQ(basic.s.Bounds.SignedMaximum, 10);
    p.Flags = KSPROPERTY_TYPE_DEFAULTVALUES;
    struct {
        KSPROPERTY_DESCRIPTION d;
        KSPROPERTY_MEMBERSHEADER h;
        LONG def;
    } defaults{};
    ASSERT_EQ(client::Property(filter->Handle(), &p, sizeof p, &defaults, sizeof defaults, &got), STATUS_SUCCESS);
    EXPECT_EQ(defaults.d.MembersListCount, 1u);
    EXPECT_EQ(defaults.def, 4);
}

TEST_F(KsTest, PinStreamsThroughStatesAndDeliversEachSample) {
    std::unique_ptr<client::Filter> filter;
    ASSERT_EQ(client::Filter::Open(FilterPath(), &filter), STATUS_SUCCESS);
    client::Bytes format(reinterpret_cast<uint8_t*>(&g_range), reinterpret_cast<uint8_t*>(&g_range) + sizeof g_range);
    g.rejectFormats = true;
    std::unique_ptr<client::Pin> pin;
    EXPECT_EQ(filter->CreatePin(0, format, &pin), STATUS_NO_MATCH);
    g.rejectFormats = false;
    ASSERT_EQ(filter->CreatePin(0, format, &pin), STATUS_SUCCESS);
    std::unique_ptr<client::Pin> second;
    EXPECT_EQ(filter->CreatePin(0, format, &second), STATUS_TOO_MANY_OPENED_FILES);  // one instance possible

    std::vector<uint8_t> buffer(kFrameBytes);
    client::Pin::Sample sample;
    EXPECT_EQ(pin->Read(buffer.data(), kFrameBytes, sizeof(KSSTREAM_HEADER), &sample), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<std::pair<KSSTATE, KSSTATE>> up = {
        {KSSTATE_STOP, KSSTATE_ACQUIRE}, {KSSTATE_ACQUIRE, KSSTATE_PAUSE}, {KSSTATE_PAUSE, KSSTATE_RUN}};
    EXPECT_EQ(g.transitions, up);
    for (ULONG i = 0; i < 6; ++i) {
        NTSTATUS status = pin->Read(buffer.data(), kFrameBytes, sizeof(KSSTREAM_HEADER), &sample);
        if (i % 3 == 2) {
            EXPECT_EQ(status, STATUS_CANCELLED) << i;
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << i;
            EXPECT_EQ(sample.Header().DataUsed, kFrameBytes);
            EXPECT_EQ(sample.Header().PresentationTime.Time, static_cast<LONGLONG>(i));
            EXPECT_EQ(buffer[0], i);
        }
    }
    // Reads queued while paused wait; stopping cancels them.
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::atomic<NTSTATUS> queued{STATUS_PENDING};
    pin->QueueRead(buffer.data(), kFrameBytes, sizeof(KSSTREAM_HEADER),
                   [&](const client::Pin::Sample& s) { queued = s.status; });
    EXPECT_EQ(queued.load(), STATUS_PENDING);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    pin->WaitIdle();
    EXPECT_EQ(queued.load(), STATUS_CANCELLED);
}

TEST_F(KsTest, HostileStreamHeadersAreRefused) {
    std::unique_ptr<client::Filter> filter;
    ASSERT_EQ(client::Filter::Open(FilterPath(), &filter), STATUS_SUCCESS);
    client::Bytes format(reinterpret_cast<uint8_t*>(&g_range), reinterpret_cast<uint8_t*>(&g_range) + sizeof g_range);
    std::unique_ptr<client::Pin> pin;
    ASSERT_EQ(filter->CreatePin(0, format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    KSSTREAM_HEADER h{};
    h.Size = 1000;  // larger than the buffer it came in
    ULONG got;
    EXPECT_EQ(qk::nt::io::DeviceControl(pin->Handle(), IOCTL_KS_READ_STREAM, nullptr, 0, &h, sizeof h, &got),
              STATUS_INVALID_BUFFER_SIZE);
    h.Size = sizeof h;
    h.Data = nullptr;
    h.FrameExtent = 10;
    EXPECT_EQ(qk::nt::io::DeviceControl(pin->Handle(), IOCTL_KS_READ_STREAM, nullptr, 0, &h, sizeof h, &got),
              STATUS_INVALID_PARAMETER);
    char shortRequest[8] = {};
    EXPECT_EQ(qk::nt::io::DeviceControl(pin->Handle(), IOCTL_KS_PROPERTY, shortRequest, sizeof shortRequest, nullptr, 0, &got),
              STATUS_INVALID_BUFFER_SIZE);
}

}  // namespace
