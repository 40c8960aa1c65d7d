// The kernel-streaming proxy over the real capture driver, as a DirectShow
// application uses it: the pins and their category, every format of both
// camera variants through IAMStreamConfig, and the controls through
// IAMVideoProcAmp, IAMCameraControl, IAMVideoControl, IKsPropertySet and
// IKsControl, each checked against what the driver answers directly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/nt/pnp.h"

namespace {

using namespace qk::dshow::testing;
using k0340::testing::GetP;

class KsProxyTest : public DshowTest {
protected:
    void Open(int variant = 2) {
        qk::sim::CameraConfig config;
        config.variant = variant;
        port_ = PlugCamera(config);
        FilterLink();
        filter_ = CameraFilter();
        ASSERT_NE(filter_, nullptr);
        pin_ = OutputPin(filter_);
        ASSERT_NE(pin_, nullptr);
    }
    void TearDown() override {
        if (pin_ != nullptr) pin_->Release();
        if (filter_ != nullptr) filter_->Release();
        DshowTest::TearDown();
    }
    // The driver's own answer, for comparison, through a second handle.
    std::vector<qk::ks::client::Bytes> DriverRanges() {
        auto kernel = OpenFilter();
        std::vector<qk::ks::client::Bytes> ranges, video;
        EXPECT_EQ(kernel->DataRanges(0, &ranges), STATUS_SUCCESS);
        for (auto& r : ranges) {
            if (r.size() >= sizeof(KS_DATARANGE_VIDEO)) video.push_back(r);
        }
        return video;
    }
    IBaseFilter* filter_ = nullptr;
    IPin* pin_ = nullptr;
    int port_ = 0;
};

TEST_F(KsProxyTest, TheCapturePinIsFoundByCategoryAndName) {
    Open();
    IKsPropertySet* properties = Query<IKsPropertySet>(pin_, IID_IKsPropertySet);
    ASSERT_NE(properties, nullptr);
    GUID category = GUID_NULL;
    DWORD returned = 0;
    ASSERT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof category,
                              &returned),
              S_OK);
    EXPECT_TRUE(IsEqualGUID(category, PIN_CATEGORY_CAPTURE));
    EXPECT_EQ(returned, sizeof(GUID));
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, 7, nullptr, 0, &category, sizeof category, &returned),
              E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(properties->Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof category),
              E_PROP_ID_UNSUPPORTED);
    properties->Release();

    PIN_INFO info;
    ASSERT_EQ(pin_->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, filter_);
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    info.pFilter->Release();
    IPin* found = nullptr;
    ASSERT_EQ(filter_->FindPin(info.achName, &found), S_OK);
    EXPECT_EQ(found, pin_);
    found->Release();
    EXPECT_EQ(filter_->FindPin(u"No such pin", &found), VFW_E_NOT_FOUND);
    LPWSTR id = nullptr;
    ASSERT_EQ(pin_->QueryId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), std::u16string(info.achName));
    CoTaskMemFree(id);
    // Not connected yet: the connection questions say so.
    IPin* peer = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(pin_->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer, nullptr);
}

// Every range of the driver is a capability, and each one set is the pin's
// format afterwards, with the size the driver computes for it.
TEST_F(KsProxyTest, EveryFormatOfBothVariantsIsOfferedAndTaken) {
    for (int variant : {1, 2}) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        Open(variant);
        auto ranges = DriverRanges();
        IAMStreamConfig* config = Query<IAMStreamConfig>(pin_, IID_IAMStreamConfig);
        ASSERT_NE(config, nullptr);
        int count = 0, size = 0;
        ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
        EXPECT_EQ(size, static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)));
        ASSERT_EQ(count, static_cast<int>(ranges.size()));
        ASSERT_GT(count, 0);
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE("capability " + std::to_string(i));
            const auto& range = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[i].data());
            AM_MEDIA_TYPE* type = nullptr;
            std::vector<BYTE> caps(size + 8, 0xCD);
            ASSERT_EQ(config->GetStreamCaps(i, &type, caps.data()), S_OK);
            EXPECT_EQ(std::memcmp(caps.data(), &range.ConfigCaps, size), 0);
            EXPECT_EQ(caps[size], 0xCD);  // nothing beyond the structure
            EXPECT_TRUE(IsEqualGUID(type->majortype, MEDIATYPE_Video));
            EXPECT_TRUE(IsEqualGUID(type->subtype, range.DataRange.SubFormat));
            EXPECT_TRUE(IsEqualGUID(type->formattype, FORMAT_VideoInfo));
            ASSERT_EQ(type->cbFormat, sizeof(VIDEOINFOHEADER));
            EXPECT_EQ(pin_->QueryAccept(type), S_OK);

            // The fastest rate the range allows.
            auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
            info->AvgTimePerFrame = range.ConfigCaps.MinFrameInterval;
            ASSERT_EQ(config->SetFormat(type), S_OK);
            AM_MEDIA_TYPE* current = nullptr;
            ASSERT_EQ(config->GetFormat(&current), S_OK);
            auto* chosen = reinterpret_cast<VIDEOINFOHEADER*>(current->pbFormat);
            EXPECT_TRUE(IsEqualGUID(current->subtype, range.DataRange.SubFormat));
            EXPECT_EQ(chosen->bmiHeader.biWidth, range.VideoInfoHeader.bmiHeader.biWidth);
            EXPECT_EQ(chosen->AvgTimePerFrame, range.ConfigCaps.MinFrameInterval);
            // The driver's intersection decides the image size.
            std::vector<uint8_t> format;
            auto kernel = OpenFilter();
            ASSERT_EQ(kernel->Intersect(0, ranges[i], &format), STATUS_SUCCESS);
            auto* expected = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
            EXPECT_EQ(chosen->bmiHeader.biSizeImage, expected->VideoInfoHeader.bmiHeader.biSizeImage);
            EXPECT_EQ(current->lSampleSize, expected->VideoInfoHeader.bmiHeader.biSizeImage);
            EXPECT_GT(current->lSampleSize, 0u);
            DeleteMediaType(current);
            DeleteMediaType(type);
        }
        AM_MEDIA_TYPE* beyond = nullptr;
        std::vector<BYTE> unused(size);
        EXPECT_EQ(config->GetStreamCaps(count, &beyond, unused.data()), S_FALSE);
        EXPECT_EQ(beyond, nullptr);
        config->Release();
        pin_->Release();
        pin_ = nullptr;
        filter_->Release();
        filter_ = nullptr;
        Unplug(port_);
        qk::nt::pnp::WaitIdle();
    }
}

TEST_F(KsProxyTest, FormatsTheDriverDoesNotOfferAreRefused) {
    Open();
    IAMStreamConfig* config = Query<IAMStreamConfig>(pin_, IID_IAMStreamConfig);
    ASSERT_NE(config, nullptr);
    AM_MEDIA_TYPE* type = nullptr;
    std::vector<BYTE> caps(sizeof(VIDEO_STREAM_CONFIG_CAPS));
    ASSERT_EQ(config->GetStreamCaps(0, &type, caps.data()), S_OK);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    auto* limits = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps.data());
    AM_MEDIA_TYPE* before = nullptr;
    ASSERT_EQ(config->GetFormat(&before), S_OK);

    struct Case {
        const char* name;
        void (*spoil)(AM_MEDIA_TYPE*, VIDEOINFOHEADER*, const VIDEO_STREAM_CONFIG_CAPS*);
    };
    const Case cases[] = {
        {"a size not offered", [](AM_MEDIA_TYPE*, VIDEOINFOHEADER* v, const VIDEO_STREAM_CONFIG_CAPS*) {
             v->bmiHeader.biWidth = 333;
         }},
        {"a rate too fast", [](AM_MEDIA_TYPE*, VIDEOINFOHEADER* v, const VIDEO_STREAM_CONFIG_CAPS* c) {
             v->AvgTimePerFrame = c->MinFrameInterval - 1;
         }},
        {"a rate too slow", [](AM_MEDIA_TYPE*, VIDEOINFOHEADER* v, const VIDEO_STREAM_CONFIG_CAPS* c) {
             v->AvgTimePerFrame = c->MaxFrameInterval + 1;
         }},
        {"another subtype", [](AM_MEDIA_TYPE* t, VIDEOINFOHEADER*, const VIDEO_STREAM_CONFIG_CAPS*) {
             t->subtype = MEDIASUBTYPE_YV12;
         }},
        {"audio", [](AM_MEDIA_TYPE* t, VIDEOINFOHEADER*, const VIDEO_STREAM_CONFIG_CAPS*) {
             t->majortype = KSDATAFORMAT_TYPE_AUDIO;
         }},
        {"a short format block", [](AM_MEDIA_TYPE* t, VIDEOINFOHEADER*, const VIDEO_STREAM_CONFIG_CAPS*) {
             t->cbFormat = 40;
         }},
        {"another format type", [](AM_MEDIA_TYPE* t, VIDEOINFOHEADER*, const VIDEO_STREAM_CONFIG_CAPS*) {
             t->formattype = GUID_NULL;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AM_MEDIA_TYPE* spoilt = CreateMediaType(type);
        ASSERT_NE(spoilt, nullptr);
        c.spoil(spoilt, reinterpret_cast<VIDEOINFOHEADER*>(spoilt->pbFormat), limits);
        EXPECT_EQ(config->SetFormat(spoilt), VFW_E_INVALIDMEDIATYPE);
        EXPECT_EQ(pin_->QueryAccept(spoilt), S_FALSE);
        spoilt->cbFormat = sizeof(VIDEOINFOHEADER);  // what CreateMediaType allocated
        DeleteMediaType(spoilt);
    }
    EXPECT_EQ(config->SetFormat(nullptr), E_POINTER);
    // A refused format leaves the pin's format as it was.
    AM_MEDIA_TYPE* after = nullptr;
    ASSERT_EQ(config->GetFormat(&after), S_OK);
    EXPECT_EQ(std::memcmp(after->pbFormat, before->pbFormat, sizeof(VIDEOINFOHEADER)), 0);
    (void)info;
    DeleteMediaType(after);
    DeleteMediaType(before);
    DeleteMediaType(type);
    // The pin's own list names the same types.
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(pin_->EnumMediaTypes(&types), S_OK);
    int count = 0, size = 0;
    config->GetNumberOfCapabilities(&count, &size);
    int listed = 0;
    AM_MEDIA_TYPE* listedType = nullptr;
    while (types->Next(1, &listedType, nullptr) == S_OK) {
        ++listed;
        DeleteMediaType(listedType);
    }
    EXPECT_EQ(listed, count);
    types->Release();
    config->Release();
}

// Every control that has a range reads and writes the driver's own value;
// the others are refused.
template <class Control>
void CheckControls(IBaseFilter* filter, HANDLE direct, REFIID iid, const GUID& set, LONG last, int* ranged) {
    Control* control = nullptr;
    ASSERT_EQ(filter->QueryInterface(iid, reinterpret_cast<void**>(&control)), S_OK);
    for (LONG property = 0; property <= last; ++property) {
        SCOPED_TRACE("property " + std::to_string(property));
        LONG minimum, maximum, step, defaultValue, caps;
        HRESULT hr = control->GetRange(property, &minimum, &maximum, &step, &defaultValue, &caps);
        auto support = k0340::testing::BasicSupport(direct, set, static_cast<ULONG>(property));
        if (FAILED(hr)) {
            EXPECT_FALSE(NT_SUCCESS(support.status) && support.ranged);
            LONG value, flags;
            EXPECT_TRUE(FAILED(control->Get(property, &value, &flags)) || !support.ranged);
            continue;
        }
        ++*ranged;
        ASSERT_TRUE(support.ranged);
        EXPECT_EQ(minimum, support.minimum);
        EXPECT_EQ(maximum, support.maximum);
        EXPECT_EQ(step, support.step);
        EXPECT_EQ(defaultValue, support.defaultValue);
        EXPECT_LE(minimum, defaultValue);
        EXPECT_LE(defaultValue, maximum);
        LONG value = 0, flags = 0;
        ASSERT_EQ(control->Get(property, &value, &flags), S_OK);
        auto answer = GetP(direct, set, static_cast<ULONG>(property));
        EXPECT_EQ(value, answer.value);
        EXPECT_EQ(caps, answer.capabilities);
        if (!(support.access & KSPROPERTY_TYPE_SET)) continue;
        // A manual value at each end reaches the driver.
        for (LONG target : {minimum, maximum}) {
            ASSERT_EQ(control->Set(property, target, 2), S_OK);
            EXPECT_EQ(GetP(direct, set, static_cast<ULONG>(property)).value, target);
        }
        EXPECT_EQ(control->Set(property, value, flags), S_OK);
    }
    EXPECT_TRUE(FAILED(control->Set(last + 50, 0, 2)));
    control->Release();
}

TEST_F(KsProxyTest, VideoProcAmpAndCameraControlReachTheDriver) {
    Open();
    auto direct = OpenFilter();
    int ranged = 0;
    CheckControls<IAMVideoProcAmp>(filter_, direct->Handle(), IID_IAMVideoProcAmp, PROPSETID_VIDCAP_VIDEOPROCAMP,
                                   VideoProcAmp_Gain, &ranged);
    EXPECT_GE(ranged, 4);  // brightness, contrast, saturation, sharpness at least
    int cameraRanged = 0;
    CheckControls<IAMCameraControl>(filter_, direct->Handle(), IID_IAMCameraControl, PROPSETID_VIDCAP_CAMERACONTROL,
                                    CameraControl_Focus, &cameraRanged);
    EXPECT_GE(cameraRanged, 1);
}

TEST_F(KsProxyTest, PropertiesPassThroughIKsPropertySetAndIKsControl) {
    Open();
    IKsPropertySet* properties = Query<IKsPropertySet>(filter_, IID_IKsPropertySet);
    ASSERT_NE(properties, nullptr);
    DWORD support = 0;
    ASSERT_EQ(properties->QuerySupported(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &support),
              S_OK);
    EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET));
    const GUID unknownSet = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(properties->QuerySupported(unknownSet, 0, &support), E_PROP_SET_UNSUPPORTED);

    // A value inside the range that is not the current one.
    IAMVideoProcAmp* procAmp = Query<IAMVideoProcAmp>(filter_, IID_IAMVideoProcAmp);
    ASSERT_NE(procAmp, nullptr);
    LONG minimum, maximum, step, defaultValue, caps;
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp_Brightness, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    const LONG target = defaultValue == maximum ? minimum : maximum;

    // The video structures are both the request and the data.
    KSPROPERTY_VIDEOPROCAMP_S s{};
    s.Value = target;
    s.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    const DWORD instance = sizeof(s) - sizeof(KSPROPERTY);
    ASSERT_EQ(properties->Set(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                              reinterpret_cast<BYTE*>(&s) + sizeof(KSPROPERTY), instance, &s, sizeof s),
              S_OK);
    LONG value = 0, flags = 0;
    ASSERT_EQ(procAmp->Get(VideoProcAmp_Brightness, &value, &flags), S_OK);
    EXPECT_EQ(value, target);
    procAmp->Release();
    KSPROPERTY_VIDEOPROCAMP_S back{};
    DWORD returned = 0;
    ASSERT_EQ(properties->Get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                              reinterpret_cast<BYTE*>(&back) + sizeof(KSPROPERTY), instance, &back, sizeof back,
                              &returned),
              S_OK);
    EXPECT_EQ(back.Value, target);
    EXPECT_EQ(returned, sizeof back);
    EXPECT_EQ(properties->Get(unknownSet, 0, nullptr, 0, &back, sizeof back, &returned), E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(properties->Get(PROPSETID_VIDCAP_VIDEOPROCAMP, 0, nullptr, 8, &back, sizeof back, &returned), E_POINTER);
    properties->Release();

    IKsControl* control = Query<IKsControl>(filter_, IID_IKsControl);
    ASSERT_NE(control, nullptr);
    KSPROPERTY_VIDEOPROCAMP_S k{};
    k.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    k.Property.Id = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS;
    k.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG got = 0;
    ASSERT_EQ(control->KsProperty(&k.Property, sizeof k, &k, sizeof k, &got), S_OK);
    EXPECT_EQ(k.Value, target);
    EXPECT_EQ(control->KsProperty(nullptr, 0, &k, sizeof k, &got), E_POINTER);
    control->Release();

    IKsObject* object = Query<IKsObject>(filter_, IID_IKsObject);
    ASSERT_NE(object, nullptr);
    EXPECT_NE(object->KsGetObjectHandle(), nullptr);
    object->Release();
}

TEST_F(KsProxyTest, VideoControlAnswersForTheCapturePinOnly) {
    Open();
    IAMVideoControl* video = Query<IAMVideoControl>(filter_, IID_IAMVideoControl);
    ASSERT_NE(video, nullptr);
    LONG caps = -1;
    ASSERT_EQ(video->GetCaps(pin_, &caps), S_OK);
    LONG mode = -1;
    ASSERT_EQ(video->GetMode(pin_, &mode), S_OK);
    EXPECT_EQ(mode & ~caps, 0);  // only modes the pin can do
    EXPECT_EQ(video->GetCaps(nullptr, &caps), E_INVALIDARG);
    EXPECT_EQ(video->GetCaps(reinterpret_cast<IPin*>(filter_), &caps), E_INVALIDARG);

    IAMStreamConfig* config = Query<IAMStreamConfig>(pin_, IID_IAMStreamConfig);
    ASSERT_NE(config, nullptr);
    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS limits;
    ASSERT_EQ(config->GetStreamCaps(0, &type, reinterpret_cast<BYTE*>(&limits)), S_OK);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    VIDEO_SIZE size{info->bmiHeader.biWidth, info->bmiHeader.biHeight};
    LONG listSize = 0;
    LONGLONG* rates = nullptr;
    ASSERT_EQ(video->GetFrameRateList(pin_, 0, size, &listSize, &rates), S_OK);
    ASSERT_GT(listSize, 0);
    for (LONG i = 0; i < listSize; ++i) {
        EXPECT_GE(rates[i], limits.MinFrameInterval);
        EXPECT_LE(rates[i], limits.MaxFrameInterval);
    }
    CoTaskMemFree(rates);
    LONG sizeOnly = 0;
    EXPECT_EQ(video->GetFrameRateList(pin_, 0, size, &sizeOnly, nullptr), S_OK);
    EXPECT_EQ(sizeOnly, listSize);
    DeleteMediaType(type);
    config->Release();
    video->Release();
}

TEST_F(KsProxyTest, AnUnpluggedCameraFailsItsCallsAndLeavesNothing) {
    int port = 0;
    {
        qk::sim::CameraConfig config;
        port = PlugCamera(config);
    }
    FilterLink();
    filter_ = CameraFilter();
    ASSERT_NE(filter_, nullptr);
    IAMVideoProcAmp* procAmp = Query<IAMVideoProcAmp>(filter_, IID_IAMVideoProcAmp);
    ASSERT_NE(procAmp, nullptr);
    LONG value, flags;
    ASSERT_EQ(procAmp->Get(VideoProcAmp_Brightness, &value, &flags), S_OK);
    Unplug(port);
    qk::nt::pnp::WaitIdle();
    HRESULT hr = procAmp->Get(VideoProcAmp_Brightness, &value, &flags);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_TRUE(FAILED(procAmp->Set(VideoProcAmp_Brightness, 1, 2)));
    procAmp->Release();
    // Releasing the last reference closes the handle, and the stack goes.
    filter_->Release();
    filter_ = nullptr;
    qk::nt::pnp::WaitIdle();
    EXPECT_TRUE(qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE).empty());
}

}  // namespace
