// The property frame and the proxy's pages on a device object whose answers
// are known: rows only for the properties offered, a slider moved lands on
// the step grid and is written at Apply (and only then), the automatic box
// sends the automatic flag, Cancel writes nothing, the format page sets the
// size and rate chosen; pages that cannot be made or cannot take the object
// keep the frame from opening, and every page is released.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "commctrl.h"
#include "olectl.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/olepro/olepro.h"
#include "platform/olepro/tests/frame_driver.h"
#include "platform/ui/presentation.h"
#include "strmif.h"
#include "windows.h"
#include "winuser.h"

namespace {

using namespace qk::olepro;

struct Range {
    LONG property, min, max, step, def, caps, value, flags;
};

struct Written {
    char kind;  // 'p' proc amp, 'c' camera control
    LONG property, value, flags;
    bool operator==(const Written&) const = default;
};

class FakeDevice;

// The camera-control face of the device: the same method names as the
// video proc amp, so it is an object of its own sharing the device's count.
class CameraPart final : public IAMCameraControl {
public:
    explicit CameraPart(FakeDevice& d) : device_(d) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetRange(LONG p, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* cp) override;
    HRESULT Set(LONG p, LONG v, LONG f) override;
    HRESULT Get(LONG p, LONG* v, LONG* f) override;

private:
    FakeDevice& device_;
};

class FakeDevice final : public IAMVideoProcAmp, public IAMStreamConfig {
public:
    CameraPart cameraPart{*this};
    std::vector<Range> procAmp{{0, -64, 64, 1, 0, 2, 10, 2}, {1, 0, 100, 4, 32, 2, 32, 2}, {7, 2800, 6500, 10, 4600, 3, 4600, 1}};
    std::vector<Range> camera{{3, 100, 400, 10, 100, 2, 100, 2}, {4, -11, -2, 1, -6, 3, -6, 1}};
    std::vector<Written> writes;
    struct Cap {
        GUID subtype;
        LONG width, height;
    };
    std::vector<Cap> caps{{MEDIASUBTYPE_MJPG, 640, 480}, {MEDIASUBTYPE_MJPG, 1280, 720}, {MEDIASUBTYPE_YUY2, 640, 480}};
    int current = 0;
    LONGLONG currentInterval = 333333;
    std::vector<std::pair<int, LONGLONG>> formatsSet;  // (width, interval)

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IAMVideoProcAmp) {
            *ppv = static_cast<IAMVideoProcAmp*>(this);
        } else if (riid == IID_IAMCameraControl) {
            *ppv = static_cast<IAMCameraControl*>(&cameraPart);
        } else if (riid == IID_IAMStreamConfig) {
            *ppv = static_cast<IAMStreamConfig*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        ++references;
        return S_OK;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
    std::atomic<ULONG> references{1};

    static Range* Find(std::vector<Range>& rows, LONG p) {
        for (Range& r : rows) {
            if (r.property == p) return &r;
        }
        return nullptr;
    }
    HRESULT Ranges(std::vector<Range>& rows, LONG p, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* cp) {
        Range* r = Find(rows, p);
        if (!r) return E_PROP_ID_UNSUPPORTED;
        *mn = r->min, *mx = r->max, *st = r->step, *df = r->def, *cp = r->caps;
        return S_OK;
    }
    HRESULT GetRange(LONG p, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* cp) override { return Ranges(procAmp, p, mn, mx, st, df, cp); }
    HRESULT Set(LONG p, LONG v, LONG f) override {
        writes.push_back({'p', p, v, f});
        return S_OK;
    }
    HRESULT Get(LONG p, LONG* v, LONG* f) override {
        Range* r = Find(procAmp, p);
        if (!r) return E_PROP_ID_UNSUPPORTED;
        *v = r->value, *f = r->flags;
        return S_OK;
    }

    // IAMStreamConfig
    AM_MEDIA_TYPE* Type(int i, LONGLONG interval) {
        auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        std::memset(mt, 0, sizeof *mt);
        mt->majortype = MEDIATYPE_Video;
        mt->subtype = caps[i].subtype;
        mt->formattype = FORMAT_VideoInfo;
        mt->cbFormat = sizeof(VIDEOINFOHEADER);
        mt->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(mt->cbFormat));
        std::memset(mt->pbFormat, 0, mt->cbFormat);
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
        vih->bmiHeader.biWidth = caps[i].width;
        vih->bmiHeader.biHeight = caps[i].height;
        vih->AvgTimePerFrame = interval;
        return mt;
    }
    HRESULT SetFormat(AM_MEDIA_TYPE* mt) override {
        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
        formatsSet.push_back({vih->bmiHeader.biWidth, vih->AvgTimePerFrame});
        return S_OK;
    }
    HRESULT GetFormat(AM_MEDIA_TYPE** mt) override {
        *mt = Type(current, currentInterval);
        return S_OK;
    }
    HRESULT GetNumberOfCapabilities(int* count, int* size) override {
        *count = static_cast<int>(caps.size());
        *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return S_OK;
    }
    HRESULT GetStreamCaps(int i, AM_MEDIA_TYPE** mt, BYTE* scc) override {
        if (i < 0 || i >= static_cast<int>(caps.size())) return S_FALSE;
        *mt = Type(i, 333333);
        auto* c = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(scc);
        std::memset(c, 0, sizeof *c);
        c->MinFrameInterval = caps[i].width > 640 ? 666666 : 333333;  // 15 or 30 frames a second at most
        c->MaxFrameInterval = 2000000;                                // 5 at least
        return S_OK;
    }
};

HRESULT CameraPart::QueryInterface(REFIID riid, void** ppv) { return device_.QueryInterface(riid, ppv); }
ULONG CameraPart::AddRef() { return device_.AddRef(); }
ULONG CameraPart::Release() { return device_.Release(); }
HRESULT CameraPart::GetRange(LONG p, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* cp) {
    return device_.Ranges(device_.camera, p, mn, mx, st, df, cp);
}
HRESULT CameraPart::Set(LONG p, LONG v, LONG f) {
    device_.writes.push_back({'c', p, v, f});
    return S_OK;
}
HRESULT CameraPart::Get(LONG p, LONG* v, LONG* f) {
    Range* r = FakeDevice::Find(device_.camera, p);
    if (!r) return E_PROP_ID_UNSUPPORTED;
    *v = r->value, *f = r->flags;
    return S_OK;
}

using qk::olepro::testing::PageHolding;
using qk::olepro::testing::WhenTheFrameShows;

void MoveSlider(HWND page, int id, LONG position) {
    HWND slider = GetDlgItem(page, id);
    SendMessageW(slider, TBM_SETPOS, TRUE, position);
    SendMessageW(page, WM_HSCROLL, TB_THUMBPOSITION, reinterpret_cast<LPARAM>(slider));
}

void Click(HWND dialog, int id) { SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id))); }

void Choose(HWND page, int combo, int index) {
    HWND box = GetDlgItem(page, combo);
    SendMessageW(box, CB_SETCURSEL, index, 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(combo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(box));
}

void ChooseTab(HWND frame, int index) {
    HWND tab = GetDlgItem(frame, kFrameTab);
    SendMessageW(tab, TCM_SETCURSEL, index, 0);
    NMHDR header{tab, static_cast<UINT_PTR>(kFrameTab), TCN_SELCHANGE};
    SendMessageW(frame, WM_NOTIFY, kFrameTab, reinterpret_cast<LPARAM>(&header));
}

void Save(HWND window, const char* name) {
    std::filesystem::create_directories(QK_ARTEFACTS);
    std::string error;
    EXPECT_TRUE(qk::ui::SaveWindowPng(window, std::string(QK_ARTEFACTS) + "/" + name, &error)) << error;
}

class PropertyFrameTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(InstallPropertyPages(), S_OK);
        owner_ = CreateWindowExW(0, u"STATIC", u"owner", WS_POPUP | WS_VISIBLE, 100, 80, 400, 300, nullptr, nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        DestroyWindow(owner_);
        EXPECT_EQ(LivePageObjects(), 0) << "a page was leaked";
        EXPECT_EQ(device_.references.load(), 1u) << "a page kept a reference to the object";
        CoUninitialize();
        MachineTest::TearDown();
    }
    HRESULT Open(std::vector<CLSID> pages) {
        IUnknown* object = static_cast<IAMVideoProcAmp*>(&device_);
        return OleCreatePropertyFrame(owner_, 30, 30, u"QK0340 Camera", 1, &object, static_cast<ULONG>(pages.size()), pages.data(), 0, 0,
                                      nullptr);
    }
    FakeDevice device_;
    HWND owner_ = nullptr;
};

TEST_F(PropertyFrameTest, ASliderMovedIsWrittenOnTheStepGridAtApplyOnly) {
    bool sawFrame = false;
    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        char16_t caption[64] = {};
        GetWindowTextW(frame, caption, 64);
        EXPECT_EQ(std::u16string(caption), u"QK0340 Camera Properties");
        RECT at{};
        GetWindowRect(frame, &at);
        EXPECT_EQ(at.left, 130) << "at (30, 30) of the owner's client area";
        EXPECT_EQ(SendMessageW(GetDlgItem(frame, kFrameTab), TCM_GETITEMCOUNT, 0, 0), 2);
        HWND page = PageHolding(frame, kSliderBase);
        ASSERT_NE(page, nullptr);
        // Brightness, Contrast and White Balance: three rows, no fourth.
        EXPECT_NE(GetDlgItem(page, kSliderBase + 8), nullptr);
        EXPECT_EQ(GetDlgItem(page, kSliderBase + 12), nullptr);
        EXPECT_EQ(GetDlgItem(page, kSliderBase + 2), nullptr) << "no automatic box for brightness";
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, kSliderBase + 8))) << "white balance is automatic";
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(frame, kApplyButton)));

        MoveSlider(page, kSliderBase + 4, 45);  // contrast, step 4
        char16_t shown[16] = {};
        GetDlgItemTextW(page, kSliderBase + 5, shown, 16);
        EXPECT_EQ(std::u16string(shown), u"44");
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(frame, kApplyButton)));
        EXPECT_TRUE(device_.writes.empty()) << "nothing before Apply";
        Save(frame, "video_proc_amp.png");
        Click(frame, kApplyButton);
        EXPECT_EQ(device_.writes, (std::vector<Written>{{'p', 1, 44, 2}}));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(frame, kApplyButton)));

        ChooseTab(frame, 1);
        HWND camera = PageHolding(frame, kSliderBase + 6);  // exposure's automatic box (zoom is row 0)
        ASSERT_NE(camera, nullptr);
        Save(frame, "camera_control.png");
        CheckDlgButton(camera, kSliderBase + 6, BST_UNCHECKED);
        Click(camera, kSliderBase + 6);
        sawFrame = true;
        Click(frame, IDOK);
    });
    ASSERT_EQ(Open({CLSID_VideoProcAmpPropertyPage, CLSID_CameraControlPropertyPage}), S_OK);
    EXPECT_TRUE(sawFrame);
    // Exposure's automatic box cleared: written manual, at the value it had.
    EXPECT_EQ(device_.writes, (std::vector<Written>{{'p', 1, 44, 2}, {'c', 4, -6, 2}}));
}

TEST_F(PropertyFrameTest, CancelWritesNothingAndDefaultsComeBackOnlyWhenApplied) {
    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        HWND page = PageHolding(frame, kSliderBase);
        ASSERT_NE(page, nullptr);
        MoveSlider(page, kSliderBase, -20);
        Click(page, kDefaultButton);
        Click(frame, IDCANCEL);
    });
    ASSERT_EQ(Open({CLSID_VideoProcAmpPropertyPage}), S_OK);
    EXPECT_TRUE(device_.writes.empty());

    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        HWND page = PageHolding(frame, kSliderBase);
        ASSERT_NE(page, nullptr);
        Click(page, kDefaultButton);
        Click(frame, IDOK);
    });
    ASSERT_EQ(Open({CLSID_VideoProcAmpPropertyPage}), S_OK);
    // Brightness 10 -> 0 and white balance automatic -> manual at its default; contrast was at its default.
    EXPECT_EQ(device_.writes, (std::vector<Written>{{'p', 0, 0, 2}, {'p', 7, 4600, 2}}));
}

TEST_F(PropertyFrameTest, TheFormatPageSetsTheSizeAndRateChosen) {
    WhenTheFrameShows([&] {
        HWND frame = GetActiveWindow();
        HWND page = PageHolding(frame, kFormatCombo);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(SendDlgItemMessageW(page, kFormatCombo, CB_GETCOUNT, 0, 0), 2) << "MJPG and YUY2";
        EXPECT_EQ(SendDlgItemMessageW(page, kSizeCombo, CB_GETCOUNT, 0, 0), 2) << "MJPG's two sizes";
        Choose(page, kSizeCombo, 1);  // 1280 x 720: at most 15 a second
        EXPECT_EQ(SendDlgItemMessageW(page, kRateCombo, CB_GETCOUNT, 0, 0), 4) << "15, 10, 7 and 5";
        Choose(page, kRateCombo, 1);  // 10
        Save(frame, "stream_format.png");
        Click(frame, IDOK);
    });
    ASSERT_EQ(Open({CLSID_VideoStreamConfigPropertyPage}), S_OK);
    ASSERT_EQ(device_.formatsSet.size(), 1u);
    EXPECT_EQ(device_.formatsSet[0].first, 1280);
    EXPECT_EQ(device_.formatsSet[0].second, 1000000);
}

TEST_F(PropertyFrameTest, NoFrameOpensWhenAPageCannotBeMadeOrCannotTakeTheObject) {
    const CLSID unknown = {0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(Open({CLSID_VideoProcAmpPropertyPage, unknown}), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Open({}), E_INVALIDARG);

    struct Plain final : IUnknown {
        HRESULT QueryInterface(REFIID riid, void** ppv) override {
            *ppv = riid == IID_IUnknown ? this : nullptr;
            return *ppv ? S_OK : E_NOINTERFACE;
        }
        ULONG AddRef() override { return 2; }
        ULONG Release() override { return 1; }
    } plain;
    IUnknown* object = &plain;
    CLSID page = CLSID_VideoStreamConfigPropertyPage;
    EXPECT_EQ(OleCreatePropertyFrame(owner_, 0, 0, u"x", 1, &object, 1, &page, 0, 0, nullptr), E_NOINTERFACE);
    EXPECT_EQ(OleCreatePropertyFrame(owner_, 0, 0, u"x", 0, nullptr, 1, &page, 0, 0, nullptr), E_INVALIDARG);
}

}  // namespace
