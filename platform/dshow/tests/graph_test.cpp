// Capture graphs as a DirectShow application builds them: the camera's
// proxy filter connected to a renderer in the filter graph, run, stopped,
// and the faults around it (an unplugged camera, a renderer that refuses,
// wrong calls). Pictures are compared with the scene the camera sees.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "capture/formats.h"
#include "platform/com/com_runtime.h"
#include "platform/dshow/base_classes.h"
#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/nt/pnp.h"

namespace {

using namespace qk::dshow::testing;
using k0340::testing::PatternSource;

// What the renderer saw: the count, the last picture and its times.
struct Received {
    std::mutex lock;
    std::condition_variable arrived;
    size_t count = 0;
    std::vector<uint8_t> last;
    REFERENCE_TIME lastStart = -1;
    bool timesIncrease = true;
    LONG lastLength = 0;

    HRESULT Take(IMediaSample* sample) {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        LONG length = sample->GetActualDataLength();
        REFERENCE_TIME start = 0, end = 0;
        bool timed = sample->GetTime(&start, &end) == S_OK;
        {
            std::lock_guard guard(lock);
            last.assign(data, data + length);
            lastLength = length;
            if (!timed || start <= lastStart || end <= start) timesIncrease = false;
            lastStart = start;
            ++count;
        }
        arrived.notify_all();
        return S_OK;
    }
    // Waits for `more` samples beyond those seen so far.
    bool WaitMore(size_t more, int seconds = 20) {
        std::unique_lock guard(lock);
        size_t target = count + more;
        return arrived.wait_for(guard, std::chrono::seconds(seconds), [&] { return count >= target; });
    }
};

class GraphTest : public DshowTest {
protected:
    // The camera's filter and a renderer in a new graph, not yet connected.
    void Build(int variant = 2, HRESULT (*refuse)(IMediaSample*) = nullptr) {
        qk::sim::CameraConfig config;
        config.variant = variant;
        port_ = PlugCamera(config);
        FilterLink();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(&graph_)),
                  S_OK);
        ASSERT_EQ(graph_->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control_)), S_OK);
        ASSERT_EQ(graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events_)), S_OK);
        camera_ = CameraFilter();
        ASSERT_NE(camera_, nullptr);
        ASSERT_EQ(graph_->AddFilter(camera_, u"Capture"), S_OK);
        auto* received = &received_;
        renderer_ = qk::dshow::CreateCallbackRenderer(MEDIATYPE_Video, [received, refuse](IMediaSample* s) {
            return refuse != nullptr ? refuse(s) : received->Take(s);
        });
        ASSERT_EQ(graph_->AddFilter(renderer_, u"Sink"), S_OK);
        output_ = OutputPin(camera_);
        ASSERT_NE(output_, nullptr);
        ASSERT_EQ(renderer_->FindPin(u"In", &input_), S_OK);
        ASSERT_EQ(output_->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config_)), S_OK);
    }
    // Stops the graph and lets go of everything, as an application ends.
    void ReleaseAll() {
        if (control_ != nullptr) control_->Stop();
        for (IUnknown** p : std::initializer_list<IUnknown**>{
                 reinterpret_cast<IUnknown**>(&config_), reinterpret_cast<IUnknown**>(&input_),
                 reinterpret_cast<IUnknown**>(&output_), reinterpret_cast<IUnknown**>(&renderer_),
                 reinterpret_cast<IUnknown**>(&camera_), reinterpret_cast<IUnknown**>(&events_),
                 reinterpret_cast<IUnknown**>(&control_), reinterpret_cast<IUnknown**>(&graph_)}) {
            if (*p != nullptr) (*p)->Release();
            *p = nullptr;
        }
    }
    void TearDown() override {
        ReleaseAll();
        DshowTest::TearDown();
    }

    IGraphBuilder* graph_ = nullptr;
    IMediaControl* control_ = nullptr;
    IMediaEvent* events_ = nullptr;
    IBaseFilter* camera_ = nullptr;
    IBaseFilter* renderer_ = nullptr;
    IPin* output_ = nullptr;
    IPin* input_ = nullptr;
    IAMStreamConfig* config_ = nullptr;
    Received received_;
    int port_ = 0;
};

uint32_t FormatIndexOf(const GUID& subtype) {
    for (uint32_t i = 0; i < k0340::kFormatCount; ++i) {
        if (IsEqualGUID(*k0340::kSubFormats[i].subtype, subtype)) return i;
    }
    return k0340::kFormatCount;
}

// Sets capability `index` at its fastest rate and connects; returns its type.
AM_MEDIA_TYPE* Choose(IAMStreamConfig* config, int index) {
    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps;
    if (config->GetStreamCaps(index, &type, reinterpret_cast<BYTE*>(&caps)) != S_OK) return nullptr;
    reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->AvgTimePerFrame = caps.MinFrameInterval;
    if (FAILED(config->SetFormat(type))) {
        DeleteMediaType(type);
        return nullptr;
    }
    return type;
}

TEST_F(GraphTest, EveryFormatOfBothVariantsStreamsThePictureTheCameraSees) {
    for (int variant : {2, 1}) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        Build(variant);
        int count = 0, size = 0;
        ASSERT_EQ(config_->GetNumberOfCapabilities(&count, &size), S_OK);
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE* type = Choose(config_, i);
            ASSERT_NE(type, nullptr);
            auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
            const int w = info->bmiHeader.biWidth, h = info->bmiHeader.biHeight;
            SCOPED_TRACE(::testing::Message() << "capability " << i << ": " << w << "x" << h);
            ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
            AM_MEDIA_TYPE connected{};
            ASSERT_EQ(input_->ConnectionMediaType(&connected), S_OK);
            EXPECT_TRUE(IsEqualGUID(connected.subtype, type->subtype));
            FreeMediaType(connected);
            ASSERT_EQ(control_->Run(), S_OK);
            ASSERT_TRUE(received_.WaitMore(3));
            ASSERT_EQ(control_->Stop(), S_OK);
            {
                std::lock_guard guard(received_.lock);
                EXPECT_EQ(static_cast<ULONG>(received_.lastLength), type->lSampleSize);
                EXPECT_TRUE(received_.timesIncrease);
                uint32_t format = FormatIndexOf(type->subtype);
                ASSERT_LT(format, k0340::kFormatCount);
                k0340::testing::Sample sample{};
                sample.status = STATUS_SUCCESS;
                sample.header.DataUsed = static_cast<ULONG>(received_.last.size());
                sample.data = received_.last;
                auto expected = PatternSource::Expected(w, h);
                EXPECT_GT(k0340::testing::Psnr(expected, k0340::testing::AsTopDownBgr(sample, format, w, h).data(),
                                               expected.size()),
                          26.0);
                received_.lastStart = -1;
            }
            ASSERT_EQ(graph_->Disconnect(output_), S_OK);
            ASSERT_EQ(graph_->Disconnect(input_), S_OK);
            DeleteMediaType(type);
        }
        ReleaseAll();
        Unplug(port_);
        qk::nt::pnp::WaitIdle();
    }
}

// A format set on a connected, stopped pin is the connection's at once, is
// kept when the graph connects the pins again, and is what streams.
TEST_F(GraphTest, AFormatSetOnAConnectedPinSurvivesAReconnect) {
    Build();
    int count = 0, size = 0;
    ASSERT_EQ(config_->GetNumberOfCapabilities(&count, &size), S_OK);
    ASSERT_GE(count, 2);
    AM_MEDIA_TYPE* first = Choose(config_, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    // A capability of another picture size than the first.
    AM_MEDIA_TYPE* other = nullptr;
    for (int i = 1; i < count && other == nullptr; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps;
        AM_MEDIA_TYPE* type = nullptr;
        ASSERT_EQ(config_->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
        if (type->lSampleSize != first->lSampleSize) {
            other = type;
        } else {
            DeleteMediaType(type);
        }
    }
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(config_->SetFormat(other), S_OK);
    auto sizeOf = [](const AM_MEDIA_TYPE& t) { return reinterpret_cast<VIDEOINFOHEADER*>(t.pbFormat)->bmiHeader.biWidth; };
    const LONG wanted = sizeOf(*other);
    AM_MEDIA_TYPE connected{};
    ASSERT_EQ(input_->ConnectionMediaType(&connected), S_OK);
    EXPECT_EQ(sizeOf(connected), wanted) << "the connection carries the new format";
    EXPECT_TRUE(IsEqualGUID(connected.subtype, other->subtype));
    FreeMediaType(connected);

    ASSERT_EQ(graph_->Reconnect(output_), S_OK);
    ASSERT_EQ(input_->ConnectionMediaType(&connected), S_OK);
    EXPECT_EQ(sizeOf(connected), wanted) << "a reconnect keeps it";
    FreeMediaType(connected);
    AM_MEDIA_TYPE* now = nullptr;
    ASSERT_EQ(config_->GetFormat(&now), S_OK);
    EXPECT_EQ(sizeOf(*now), wanted);
    DeleteMediaType(now);

    ASSERT_EQ(control_->Run(), S_OK);
    EXPECT_EQ(config_->SetFormat(first), VFW_E_NOT_STOPPED);
    ASSERT_TRUE(received_.WaitMore(2));
    ASSERT_EQ(control_->Stop(), S_OK);
    {
        std::lock_guard guard(received_.lock);
        EXPECT_EQ(static_cast<ULONG>(received_.lastLength), other->lSampleSize);
    }
    DeleteMediaType(first);
    DeleteMediaType(other);
}

// The system clock: its time is the platform's, an advice sets its event
// when its time has come and not before, a periodic one releases its
// semaphore each period, and a cancelled one never fires.
TEST_F(GraphTest, TheSystemClockAdvisesOnThePlatformClock) {
    IReferenceClock* clock = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               reinterpret_cast<void**>(&clock)),
              S_OK);
    REFERENCE_TIME before = 0, now = 0;
    const auto platformBefore = static_cast<REFERENCE_TIME>(KeQueryInterruptTime());
    ASSERT_EQ(clock->GetTime(&before), S_OK);
    const auto platformAfter = static_cast<REFERENCE_TIME>(KeQueryInterruptTime());
    EXPECT_GE(before, platformBefore) << "the platform clock";
    EXPECT_LE(before, platformAfter) << "the platform clock";
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD_PTR cookie = 0;
    const REFERENCE_TIME in = 50 * 10000;  // 50 ms of platform time
    ASSERT_EQ(clock->AdviseTime(before, in, event, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(clock->GetTime(&now), S_OK);
    EXPECT_GE(now, before + in) << "not before its time";
    EXPECT_EQ(clock->Unadvise(cookie), S_FALSE) << "a one-shot advice is gone once it fired";

    // Cancelled before its time: never set.
    ASSERT_EQ(clock->GetTime(&now), S_OK);
    ASSERT_EQ(clock->AdviseTime(now, in, event, &cookie), S_OK);
    EXPECT_EQ(clock->Unadvise(cookie), S_OK);
    EXPECT_EQ(WaitForSingleObject(event, 150), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1000, nullptr);
    ASSERT_NE(semaphore, nullptr);
    ASSERT_EQ(clock->GetTime(&now), S_OK);
    const REFERENCE_TIME period = 20 * 10000;
    ASSERT_EQ(clock->AdvisePeriodic(now + period, period, semaphore, &cookie), S_OK);
    REFERENCE_TIME first = 0;
    for (int tick = 0; tick < 4; ++tick) {
        ASSERT_EQ(WaitForSingleObject(semaphore, 5000), static_cast<DWORD>(WAIT_OBJECT_0)) << "tick " << tick;
        if (tick == 0) clock->GetTime(&first);
    }
    REFERENCE_TIME fourth = 0;
    clock->GetTime(&fourth);
    EXPECT_GE(fourth - now, 4 * period) << "one release a period, not faster";
    EXPECT_EQ(clock->Unadvise(cookie), S_OK);
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) {
    }
    EXPECT_EQ(WaitForSingleObject(semaphore, 100), static_cast<DWORD>(WAIT_TIMEOUT)) << "no release after Unadvise";

    EXPECT_EQ(clock->AdviseTime(now, in, nullptr, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->AdviseTime(now, in, event, nullptr), E_POINTER);
    EXPECT_EQ(clock->AdviseTime(0, 0, event, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->AdvisePeriodic(now, 0, semaphore, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->AdvisePeriodic(now, period, nullptr, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
    EXPECT_EQ(clock->Unadvise(12345), S_FALSE);
    CloseHandle(event);
    CloseHandle(semaphore);
    clock->Release();
}

// The graph takes the system clock at its first pause and gives it to every
// filter; an application can choose none, but not while the graph runs.
TEST_F(GraphTest, TheGraphHandsItsClockToEveryFilter) {
    Build();
    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    IMediaFilter* graphFilter = nullptr;
    ASSERT_EQ(graph_->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&graphFilter)), S_OK);
    IReferenceClock* clock = reinterpret_cast<IReferenceClock*>(0x1);
    ASSERT_EQ(graphFilter->GetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock, nullptr) << "no clock before the first pause";
    ASSERT_EQ(control_->Run(), S_OK);
    ASSERT_TRUE(received_.WaitMore(2));
    ASSERT_EQ(graphFilter->GetSyncSource(&clock), S_OK);
    ASSERT_NE(clock, nullptr);
    for (IBaseFilter* f : {camera_, renderer_}) {
        IReferenceClock* held = nullptr;
        ASSERT_EQ(f->GetSyncSource(&held), S_OK);
        EXPECT_EQ(held, clock);
        if (held != nullptr) held->Release();
    }
    EXPECT_EQ(graphFilter->SetSyncSource(nullptr), VFW_E_NOT_STOPPED);
    ASSERT_EQ(control_->Stop(), S_OK);

    // Without a clock the graph still streams; the filters hold none.
    ASSERT_EQ(graphFilter->SetSyncSource(nullptr), S_OK);
    IReferenceClock* held = reinterpret_cast<IReferenceClock*>(0x1);
    ASSERT_EQ(camera_->GetSyncSource(&held), S_OK);
    EXPECT_EQ(held, nullptr);
    ASSERT_EQ(control_->Run(), S_OK);
    ASSERT_TRUE(received_.WaitMore(2));
    ASSERT_EQ(control_->Stop(), S_OK);
    ASSERT_EQ(graphFilter->GetSyncSource(&held), S_OK);
    EXPECT_EQ(held, nullptr) << "the application's choice stays";
    clock->Release();
    graphFilter->Release();
}

// A renderer class of a test server, registered through the filter mapper:
// what an application's own sink filter would be.
const CLSID kTestSinkClass = {0x3F1A2B4C, 0x5D6E, 0x4F70, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8}};
Received* g_sinkReceived = nullptr;
class TestSinkFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = (riid == IID_IUnknown || riid == IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        Received* received = g_sinkReceived;
        IBaseFilter* sink = qk::dshow::CreateCallbackRenderer(MEDIATYPE_Video, [received](IMediaSample* s) {
            return received->Take(s);
        });
        HRESULT hr = sink->QueryInterface(riid, ppv);
        sink->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};
HRESULT TestSinkGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    static TestSinkFactory factory;
    if (clsid != kTestSinkClass) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}
// Its renderers are the platform's and count among quartz.dll's objects.
HRESULT TestSinkCanUnloadNow() { return S_OK; }

// Render takes the registered filter of the highest merit that takes the
// pin's type, never one at MERIT_DO_NOT_USE, and connects it.
TEST_F(GraphTest, RenderConnectsTheBestRegisteredFilterThatTakesThePin) {
    Build();
    ASSERT_EQ(graph_->RemoveFilter(renderer_), S_OK);
    EXPECT_EQ(graph_->Render(output_), VFW_E_CANNOT_RENDER) << "nothing registered renders video";

    qk::com::RegisterBuiltinServer(u"qktestsink.dll", {TestSinkGetClassObject, TestSinkCanUnloadNow});
    ASSERT_EQ(qk::com::RegisterInprocClass(kTestSinkClass, u"Test Sink", u"qktestsink.dll", u"Both"), S_OK);
    g_sinkReceived = &received_;
    IFilterMapper2* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void**>(&mapper)),
              S_OK);
    const REGPINTYPES video{&MEDIATYPE_Video, &GUID_NULL};
    const REGPINTYPES audio{&KSDATAFORMAT_TYPE_AUDIO, &GUID_NULL};
    auto registerAs = [&](const char16_t* instance, const char16_t* name, DWORD merit, const REGPINTYPES* type) {
        REGFILTERPINS2 pin{REG_PINFLAG_B_RENDERER, 1, 1, type, 0, nullptr, nullptr};
        REGFILTER2 filter{};
        filter.dwVersion = 2;
        filter.dwMerit = merit;
        filter.cPins2 = 1;
        filter.rgPins2 = &pin;
        return mapper->RegisterFilter(kTestSinkClass, name, nullptr, nullptr, instance, &filter);
    };
    ASSERT_EQ(registerAs(u"never", u"Never Used", MERIT_DO_NOT_USE, &video), S_OK);
    ASSERT_EQ(registerAs(u"audio", u"Audio Only", MERIT_PREFERRED, &audio), S_OK);
    EXPECT_EQ(graph_->Render(output_), VFW_E_CANNOT_RENDER) << "neither may render the camera";
    ASSERT_EQ(registerAs(u"sink", u"Test Sink", MERIT_NORMAL, &video), S_OK);
    // A registration another program left broken is passed over.
    HKEY broken = nullptr;
    std::u16string brokenPath = u"CLSID\\" + qk::com::GuidString(CLSID_LegacyAmFilterCategory) + u"\\Instance\\broken";
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, brokenPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &broken, nullptr),
              ERROR_SUCCESS);
    std::u16string clsid = qk::com::GuidString(kTestSinkClass);
    RegSetValueExW(broken, u"CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()),
                   static_cast<DWORD>((clsid.size() + 1) * 2));
    const BYTE garbage[] = {2, 0, 0, 0, 0, 0, 0x90, 0, 0xFF, 0xFF, 0xFF, 0x7F, 8};
    RegSetValueExW(broken, u"FilterData", 0, REG_BINARY, garbage, sizeof garbage);
    RegCloseKey(broken);

    ASSERT_EQ(graph_->Render(output_), S_OK);
    IBaseFilter* added = nullptr;
    ASSERT_EQ(graph_->FindFilterByName(u"Test Sink", &added), S_OK);
    IBaseFilter* never = nullptr;
    EXPECT_EQ(graph_->FindFilterByName(u"Never Used", &never), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph_->Render(output_), VFW_E_ALREADY_CONNECTED);
    ASSERT_EQ(control_->Run(), S_OK);
    EXPECT_TRUE(received_.WaitMore(3));
    ASSERT_EQ(control_->Stop(), S_OK);
    EXPECT_EQ(graph_->Render(input_), VFW_E_NOT_FOUND) << "the removed renderer's pin is not in the graph";
    renderer_->Release();
    renderer_ = added;  // released at the end

    // The device enumerator lists the registrations of a category.
    ICreateDevEnum* devices = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(&devices)),
              S_OK);
    IEnumMoniker* list = nullptr;
    ASSERT_EQ(devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, &list, 0), S_OK);
    std::vector<std::u16string> names;
    IMoniker* moniker = nullptr;
    while (list->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr))) names.push_back(v.bstrVal);
        VariantClear(&v);
        bag->Release();
        moniker->Release();
    }
    list->Release();
    devices->Release();
    EXPECT_NE(std::find(names.begin(), names.end(), u"Test Sink"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), u"Audio Only"), names.end());

    EXPECT_EQ(mapper->UnregisterFilter(nullptr, u"sink", kTestSinkClass), S_OK);
    EXPECT_EQ(mapper->UnregisterFilter(nullptr, u"sink", kTestSinkClass), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    mapper->Release();
}

// The platform has no source filters: RenderFile tells a missing file from
// one it cannot read.
TEST_F(GraphTest, RenderFileRefusesWhatItCannotRead) {
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    EXPECT_EQ(graph->RenderFile(u"C:\\no-such-clip.avi", nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    // A photograph a Debian package ships, put on the machine.
    const std::filesystem::path photo = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
    if (std::filesystem::exists(photo)) {
        std::filesystem::copy_file(photo, Root() / "photo.jpg");
    } else {
        std::ofstream(Root() / "photo.jpg") << "not a picture";
    }
    EXPECT_EQ(graph->RenderFile(u"C:\\photo.jpg", nullptr), VFW_E_UNSUPPORTED_STREAM);
    EXPECT_EQ(graph->RenderFile(nullptr, nullptr), E_POINTER);
    graph->Release();
}

TEST_F(GraphTest, AGraphStartedAndStoppedAHundredTimesKeepsStreaming) {
    Build();
    int count = 0, size = 0;
    ASSERT_EQ(config_->GetNumberOfCapabilities(&count, &size), S_OK);
    AM_MEDIA_TYPE* type = Choose(config_, count > 4 ? 4 : 0);  // a small picture
    ASSERT_NE(type, nullptr);
    DeleteMediaType(type);
    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(control_->Run(), S_OK);
        // Every tenth round waits for pictures; the others stop at once.
        if (round % 10 == 9) {
            ASSERT_TRUE(received_.WaitMore(2));
        }
        if (round % 2 == 1) {
            ASSERT_EQ(control_->Pause(), S_OK);
        }
        ASSERT_EQ(control_->Stop(), S_OK);
        OAFilterState state;
        ASSERT_EQ(control_->GetState(0, &state), S_OK);
        ASSERT_EQ(state, State_Stopped);
    }
    std::lock_guard guard(received_.lock);
    EXPECT_GE(received_.count, 20u);
}

TEST_F(GraphTest, AnUnpluggedCameraEndsTheStreamWithDeviceLost) {
    Build();
    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    ASSERT_EQ(control_->Run(), S_OK);
    ASSERT_TRUE(received_.WaitMore(3));
    // An application waits on the graph's event handle, as a window's loop does.
    OAEVENT handle = 0;
    ASSERT_EQ(events_->GetEventHandle(&handle), S_OK);
    OAEVENT again = 0;
    ASSERT_EQ(events_->GetEventHandle(&again), S_OK);
    EXPECT_EQ(again, handle) << "one handle for the graph";
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Unplug(port_);
    ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    ASSERT_EQ(events_->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_DEVICE_LOST);
    EXPECT_EQ(p1, reinterpret_cast<LONG_PTR>(camera_));
    // The queue is empty again, and so is the handle.
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(events_->GetEventHandle(nullptr), E_POINTER);
    EXPECT_EQ(control_->Stop(), S_OK);
    // Everything is let go (the fixture's end checks COM objects and pool).
    ASSERT_EQ(graph_->RemoveFilter(camera_), S_OK);
    IPin* peer = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(input_->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    output_->Release();
    output_ = nullptr;
    config_->Release();
    config_ = nullptr;
    camera_->Release();
    camera_ = nullptr;
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE).empty());
}

TEST_F(GraphTest, ARendererThatRefusesEndsTheStreamWithAnError) {
    Build(2, [](IMediaSample*) { return E_FAIL; });
    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    ASSERT_EQ(control_->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(events_->WaitForCompletion(10000, &code), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(control_->Stop(), S_OK);
}

TEST_F(GraphTest, TheCaptureGraphBuilderFindsTheCapturePinAndRendersIt) {
    Build();
    ICaptureGraphBuilder2* builder = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                               reinterpret_cast<void**>(&builder)),
              S_OK);
    IAMStreamConfig* found = nullptr;
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera_, IID_IAMStreamConfig,
                                     reinterpret_cast<void**>(&found)),
              S_OK);
    EXPECT_EQ(found, config_);
    if (found != nullptr) found->Release();
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_STILL, &MEDIATYPE_Video, camera_, IID_IAMStreamConfig,
                                     reinterpret_cast<void**>(&found)),
              E_NOINTERFACE);
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, camera_, IID_IAMStreamConfig,
                                     reinterpret_cast<void**>(&found)),
              E_NOINTERFACE);
    IPin* pin = nullptr;
    ASSERT_EQ(builder->FindPin(camera_, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, nullptr, TRUE, 0, &pin), S_OK);
    EXPECT_EQ(pin, output_);
    pin->Release();
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera_, nullptr, renderer_), E_UNEXPECTED);
    ASSERT_EQ(builder->SetFiltergraph(graph_), S_OK);
    // No renderer named: the graph's Render, and nothing registered renders video.
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera_, nullptr, nullptr),
              VFW_E_CANNOT_RENDER);
    // No file writer on the platform: refused, nothing handed out.
    IBaseFilter* mux = reinterpret_cast<IBaseFilter*>(0x1);
    IFileSinkFilter* sink = reinterpret_cast<IFileSinkFilter*>(0x1);
    EXPECT_EQ(builder->SetOutputFileName(&MEDIATYPE_Video, u"C:\\capture.avi", &mux, &sink), E_NOTIMPL);
    EXPECT_EQ(mux, nullptr);
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(builder->AllocCapFile(u"C:\\capture.avi", 1 << 20), E_NOTIMPL);
    ASSERT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera_, nullptr, renderer_), S_OK);
    EXPECT_EQ(builder->FindPin(camera_, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, nullptr, TRUE, 0, &pin), E_FAIL)
        << "the only capture pin is connected now";
    ASSERT_EQ(control_->Run(), S_OK);
    EXPECT_TRUE(received_.WaitMore(3));
    ASSERT_EQ(control_->Stop(), S_OK);
    builder->Release();
}

TEST_F(GraphTest, WrongCallsAreRefused) {
    Build();
    // A filter outside the graph cannot be connected.
    IBaseFilter* outsider = qk::dshow::CreateCallbackRenderer(GUID_NULL, [](IMediaSample*) { return S_OK; });
    IPin* outsiderPin = nullptr;
    ASSERT_EQ(outsider->FindPin(u"In", &outsiderPin), S_OK);
    EXPECT_EQ(graph_->ConnectDirect(output_, outsiderPin, nullptr), VFW_E_NOT_IN_GRAPH);
    // A second filter of the same name gets a number.
    EXPECT_EQ(graph_->AddFilter(outsider, u"Sink"), VFW_S_DUPLICATE_NAME);
    IBaseFilter* found = nullptr;
    ASSERT_EQ(graph_->FindFilterByName(u"Sink 0001", &found), S_OK);
    EXPECT_EQ(found, outsider);
    found->Release();
    EXPECT_EQ(graph_->AddFilter(outsider, u"Again"), E_INVALIDARG);
    // A renderer of another major type refuses the camera.
    IBaseFilter* audio = qk::dshow::CreateCallbackRenderer(KSDATAFORMAT_TYPE_AUDIO, [](IMediaSample*) { return S_OK; });
    ASSERT_EQ(graph_->AddFilter(audio, nullptr), S_OK);
    IPin* audioPin = nullptr;
    ASSERT_EQ(audio->FindPin(u"In", &audioPin), S_OK);
    EXPECT_EQ(graph_->Connect(output_, audioPin), VFW_E_TYPE_NOT_ACCEPTED);
    IPin* peer = nullptr;
    EXPECT_EQ(output_->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    // A type the camera does not offer is no connection.
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = KSDATAFORMAT_TYPE_AUDIO;
    EXPECT_EQ(graph_->ConnectDirect(output_, input_, &wanted), VFW_E_NO_ACCEPTABLE_TYPES);

    ASSERT_EQ(graph_->Connect(output_, input_), S_OK);
    EXPECT_EQ(graph_->Connect(output_, outsiderPin), VFW_E_ALREADY_CONNECTED);
    ASSERT_EQ(control_->Run(), S_OK);
    AM_MEDIA_TYPE* type = nullptr;
    ASSERT_EQ(config_->GetFormat(&type), S_OK);
    EXPECT_EQ(config_->SetFormat(type), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph_->AddFilter(audio, u"Late"), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph_->Disconnect(output_), VFW_E_NOT_STOPPED);
    DeleteMediaType(type);
    ASSERT_EQ(control_->Stop(), S_OK);
    audioPin->Release();
    audio->Release();
    outsiderPin->Release();
    outsider->Release();
}

}  // namespace
