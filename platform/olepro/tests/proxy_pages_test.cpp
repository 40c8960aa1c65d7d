// The proxy's pages on the real camera: the filter names its control pages
// and the pin its format page; a slider moved in the VideoProcAmp page
// reaches the capture driver's property at OK, with the range the driver
// reports; the format page offers the driver's formats and sets the one
// chosen on the capture pin.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "commctrl.h"
#include "olectl.h"
#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/olepro/olepro.h"
#include "platform/olepro/tests/frame_driver.h"
#include "platform/ui/presentation.h"

namespace {

using namespace qk::dshow::testing;
using namespace qk::olepro;
using k0340::testing::GetP;

using qk::olepro::testing::PageHolding;
using qk::olepro::testing::WhenTheFrameShows;

class ProxyPagesTest : public DshowTest {
protected:
    void SetUp() override {
        DshowTest::SetUp();
        ASSERT_EQ(InstallPropertyPages(), S_OK);
        PlugCamera(qk::sim::CameraConfig{});
        FilterLink();
        filter_ = CameraFilter();
        ASSERT_NE(filter_, nullptr);
    }
    void TearDown() override {
        if (filter_) filter_->Release();
        EXPECT_EQ(LivePageObjects(), 0);
        DshowTest::TearDown();
    }
    IBaseFilter* filter_ = nullptr;
};

TEST_F(ProxyPagesTest, ASliderMovedInTheVideoProcAmpPageReachesTheDriver) {
    IAMVideoProcAmp* procAmp = nullptr;
    ASSERT_EQ(filter_->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void**>(&procAmp)), S_OK);
    LONG minimum, maximum, step, defaultValue, caps;
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp_Brightness, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    procAmp->Release();
    const LONG target = defaultValue == maximum ? minimum : maximum;

    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        HWND page = PageHolding(frame, kSliderBase);
        ASSERT_NE(page, nullptr);
        HWND slider = GetDlgItem(page, kSliderBase);  // brightness is the first row
        EXPECT_EQ(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0), minimum);
        EXPECT_EQ(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0), maximum);
        SendMessageW(slider, TBM_SETPOS, TRUE, target);
        SendMessageW(page, WM_HSCROLL, TB_THUMBPOSITION, reinterpret_cast<LPARAM>(slider));
        std::filesystem::create_directories(QK_ARTEFACTS);
        std::string error;
        EXPECT_TRUE(qk::ui::SaveWindowPng(frame, std::string(QK_ARTEFACTS) + "/camera_video_proc_amp.png", &error)) << error;
        SendMessageW(frame, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    IUnknown* object = filter_;
    CLSID page = CLSID_VideoProcAmpPropertyPage;
    ASSERT_EQ(OleCreatePropertyFrame(nullptr, 30, 30, u"QK0340 Camera", 1, &object, 1, &page, 0, 0, nullptr), S_OK);
    auto direct = OpenFilter();
    EXPECT_EQ(GetP(direct->Handle(), PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS).value, target);
}

TEST_F(ProxyPagesTest, TheFilterNamesItsControlPagesAndThePinItsFormatPage) {
    auto pagesOf = [](IUnknown* object) {
        std::vector<GUID> out;
        ISpecifyPropertyPages* specify = nullptr;
        EXPECT_EQ(object->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&specify)), S_OK);
        if (specify == nullptr) return out;
        CAUUID pages{};
        EXPECT_EQ(specify->GetPages(&pages), S_OK);
        out.assign(pages.pElems, pages.pElems + pages.cElems);
        CoTaskMemFree(pages.pElems);
        specify->Release();
        return out;
    };
    const std::vector<GUID> filterPages = pagesOf(filter_);
    ASSERT_EQ(filterPages.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(filterPages[0], CLSID_VideoProcAmpPropertyPage));
    EXPECT_TRUE(IsEqualGUID(filterPages[1], CLSID_CameraControlPropertyPage));
    IPin* pin = OutputPin(filter_);
    ASSERT_NE(pin, nullptr);
    const std::vector<GUID> pinPages = pagesOf(pin);
    ASSERT_EQ(pinPages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(pinPages[0], CLSID_VideoStreamConfigPropertyPage));
    pin->Release();

    // The frame built from what the filter names, as a capture application shows it.
    WhenTheFrameShows([] {
        HWND frame = GetActiveWindow();
        EXPECT_EQ(SendMessageW(GetDlgItem(frame, kFrameTab), TCM_GETITEMCOUNT, 0, 0), 2);
        SendMessageW(frame, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    IUnknown* object = filter_;
    std::vector<GUID> pages = filterPages;
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 30, 30, u"QK0340 Camera", 1, &object, static_cast<ULONG>(pages.size()), pages.data(), 0,
                                     0, nullptr),
              S_OK);
}

TEST_F(ProxyPagesTest, TheFormatPageSetsTheSizeChosenOnTheCapturePin) {
    IPin* pin = OutputPin(filter_);
    ASSERT_NE(pin, nullptr);
    LONG chosenWidth = 0;
    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        HWND page = PageHolding(frame, kSizeCombo);
        ASSERT_NE(page, nullptr);
        HWND sizes = GetDlgItem(page, kSizeCombo);
        const LRESULT count = SendMessageW(sizes, CB_GETCOUNT, 0, 0);
        ASSERT_GT(count, 1) << "the camera offers several sizes";
        const LRESULT next = (SendMessageW(sizes, CB_GETCURSEL, 0, 0) + 1) % count;
        SendMessageW(sizes, CB_SETCURSEL, next, 0);
        SendMessageW(page, WM_COMMAND, MAKEWPARAM(kSizeCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(sizes));
        char16_t text[32] = {};
        SendMessageW(sizes, CB_GETLBTEXT, next, reinterpret_cast<LPARAM>(text));
        for (const char16_t* c = text; *c >= u'0' && *c <= u'9'; ++c) chosenWidth = chosenWidth * 10 + (*c - u'0');
        SendMessageW(frame, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    IUnknown* object = pin;
    CLSID page = CLSID_VideoStreamConfigPropertyPage;
    ASSERT_EQ(OleCreatePropertyFrame(nullptr, 30, 30, u"Capture", 1, &object, 1, &page, 0, 0, nullptr), S_OK);
    IAMStreamConfig* config = nullptr;
    EXPECT_EQ(pin->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config)), S_OK);
    AM_MEDIA_TYPE* mt = nullptr;
    if (config && config->GetFormat(&mt) == S_OK) {
        EXPECT_NE(chosenWidth, 0);
        EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader.biWidth, chosenWidth);
        DeleteMediaType(mt);
    } else {
        ADD_FAILURE() << "no format on the pin";
    }
    if (config) config->Release();
    pin->Release();
}

}  // namespace
