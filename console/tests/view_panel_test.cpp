// The picture panel and its advanced dialog on the real driver with the
// simulated camera: a control moved reaches the driver's property, the
// camera's control and the setting the driver stores; snapping, the
// automatic exposure box, defaults, Cancel, and a panel without a camera.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include "commctrl.h"
#include "console/panels/panels.h"
#include "console/resources/resource_ids.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"
#include "platform/ui/presentation.h"
#include "sim/camera/uvc.h"

namespace k0340cvw {
namespace {

using qk::sim::Unit;
namespace uvc = qk::sim::uvc;

constexpr char kCamera[] = "QK0340 Camera";
constexpr char16_t kProcAmpKey[] = u"Settings\\VideoProcAmp";
constexpr char16_t kCameraControlKey[] = u"Settings\\CameraControl";

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Keeps a picture when the run asks for them (QK_TEST_ARTEFACTS).
void Keep(HWND hwnd, const char* name) {
    const char* folder = std::getenv("QK_TEST_ARTEFACTS");
    if (folder == nullptr) return;
    std::string error;
    EXPECT_TRUE(qk::ui::SaveWindowPng(hwnd, std::string(folder) + "/" + name, &error)) << error;
}

class ViewPanelTest : public testing::PanelHostTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        OpenHost(300);
    }
    void MakePanel(const std::string& device) {
        panel_ = MakeViewPanel();
        ASSERT_TRUE(panel_->Create(parent_, resources_->Module(), ConsoleMode::Standalone));
        ShowWindow(panel_->Window(), SW_SHOW);
        panel_->SetDevice(device);
        Pump();
    }
    HWND Item(int id) const { return GetDlgItem(panel_->Window(), id); }
    static LONG Pos(HWND slider) { return static_cast<LONG>(SendMessageW(slider, TBM_GETPOS, 0, 0)); }
    // A key on a slider, as the user presses it with the slider focused.
    static void Key(HWND slider, UINT key) {
        SendMessageW(slider, WM_KEYDOWN, key, 0);
        SendMessageW(slider, WM_KEYUP, key, 0);
    }
    // The thumb dropped at `position`.
    static void Drop(HWND dialog, HWND slider, LONG position) {
        SendMessageW(slider, TBM_SETPOS, TRUE, position);
        SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(slider));
        SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
    }
    ControlSetting Driver(int interfaceId, LONG property) {
        ControlSetting s{};
        DeviceSession session{};
        EXPECT_TRUE(OpenDeviceSession(kCamera, &session));
        EXPECT_TRUE(ReadControl(&session, interfaceId, property, &s));
        CloseDeviceSession(&session);
        return s;
    }

};

TEST_F(ViewPanelTest, ASliderMovedReachesTheDriverTheCameraAndTheStoredSetting) {
    qk::sim::CameraConfig config;
    config.overrides[{Unit::ProcessingUnit, uvc::kPuContrast}].resolution = 4;
    PlugCamera(config);
    ASSERT_FALSE(FilterLink().empty());
    MakePanel(kCamera);

    HWND brightness = Item(IDC_VIEW_BRIGHTNESS);
    ASSERT_TRUE(IsWindowEnabled(brightness));
    const ControlSetting before = Driver(kVideoProcAmp, VideoProcAmp_Brightness);
    EXPECT_EQ(SendMessageW(brightness, TBM_GETRANGEMIN, 0, 0), before.minimum);
    EXPECT_EQ(SendMessageW(brightness, TBM_GETRANGEMAX, 0, 0), before.maximum);
    EXPECT_EQ(Pos(brightness), before.value);
    EXPECT_EQ(SendMessageW(brightness, TBM_GETPAGESIZE, 0, 0), PageSize(&before));

    Key(brightness, VK_RIGHT);
    const LONG wanted = before.value + before.step;
    EXPECT_EQ(Pos(brightness), wanted);
    EXPECT_EQ(Driver(kVideoProcAmp, VideoProcAmp_Brightness).value, wanted);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuBrightness), wanted);
    EXPECT_EQ(DeviceValue(kProcAmpKey, u"Brightness"), static_cast<ULONG>(wanted));

    // A thumb dropped between two steps lands on the nearest one and that is written.
    HWND contrast = Item(IDC_VIEW_CONTRAST);
    const ControlSetting grid = Driver(kVideoProcAmp, VideoProcAmp_Contrast);
    ASSERT_EQ(grid.step, 4);
    const LONG off = grid.minimum + 4 * 5 + 1;  // one past a grid point
    Drop(panel_->Window(), contrast, off);
    EXPECT_EQ(Pos(contrast), off - 1);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuContrast), off - 1);
    // A key step from off the grid keeps its direction: down rounds down.
    Drop(panel_->Window(), contrast, off + 2);  // nearest: off + 3
    EXPECT_EQ(Pos(contrast), off + 3);
    SendMessageW(contrast, TBM_SETPOS, TRUE, off + 1);
    SendMessageW(panel_->Window(), WM_HSCROLL, MAKEWPARAM(TB_LINEUP, 0), reinterpret_cast<LPARAM>(contrast));
    EXPECT_EQ(Pos(contrast), off - 1);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuContrast), off - 1);
}

TEST_F(ViewPanelTest, TheExposureBoxHidesTheManualValueAndBringsItBack) {
    PlugAndWait();
    MakePanel(kCamera);
    HWND slider = Item(IDC_VIEW_EXPOSURE);
    HWND box = Item(IDC_VIEW_EXPOSURE_AUTO);
    ASSERT_TRUE(IsWindowEnabled(box));
    // Manual first, at a value of our own.
    if (IsDlgButtonChecked(panel_->Window(), IDC_VIEW_EXPOSURE_AUTO) == BST_CHECKED) {
        SendMessageW(box, BM_CLICK, 0, 0);
    }
    ASSERT_TRUE(IsWindowEnabled(slider));
    Key(slider, VK_NEXT);
    const LONG manual = Pos(slider);
    ControlSetting driver = Driver(kCameraControl, CameraControl_Exposure);
    EXPECT_EQ(driver.value, manual);
    EXPECT_EQ(driver.appliedFlags & 3, kFlagManual);

    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(slider)) << "automatic exposure: the slider rests";
    EXPECT_EQ(Driver(kCameraControl, CameraControl_Exposure).appliedFlags & 3, kFlagAuto);
    EXPECT_EQ(DeviceValue(kCameraControlKey, u"ExposureFlag"), 1u);

    // The camera may move the exposure on its own meanwhile; clearing the box puts ours back.
    panel_->Refresh();
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowEnabled(slider));
    EXPECT_EQ(Pos(slider), manual);
    driver = Driver(kCameraControl, CameraControl_Exposure);
    EXPECT_EQ(driver.value, manual);
    EXPECT_EQ(driver.appliedFlags & 3, kFlagManual);
}

TEST_F(ViewPanelTest, WhiteBalancePrivacyAndDefaults) {
    PlugAndWait();
    MakePanel(kCamera);
    HWND hwnd = panel_->Window();
    HWND list = Item(IDC_VIEW_WHITE_BALANCE);
    ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 4);
    char16_t text[64] = {};
    SendMessageW(list, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::u16string(text), u"Automatic");
    SendMessageW(list, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::u16string(text), u"Incandescent");
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);

    SendMessageW(list, CB_SETCURSEL, 3, 0);
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_VIEW_WHITE_BALANCE, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    {
        DeviceSession session{};
        ASSERT_TRUE(OpenDeviceSession(kCamera, &session));
        ControlSetting choice{};
        EXPECT_TRUE(ReadWhiteBalanceChoice(&session, &choice));
        EXPECT_EQ(choice.value, 3);
        CloseDeviceSession(&session);
    }
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuWhiteBalanceTemperatureAuto), 0);

    SendMessageW(Item(IDC_VIEW_PRIVACY), BM_CLICK, 0, 0);
    EXPECT_EQ(Driver(kCameraControl, kPrivacyControl).value, 1);
    EXPECT_EQ(DeviceValue(nullptr, u"Privacy"), 1u);

    Key(Item(IDC_VIEW_SATURATION), VK_NEXT);
    Key(Item(IDC_VIEW_BRIGHTNESS), VK_PRIOR);
    SendMessageW(Item(IDC_VIEW_DEFAULTS), BM_CLICK, 0, 0);
    for (LONG property : {VideoProcAmp_Brightness, VideoProcAmp_Contrast, VideoProcAmp_Saturation}) {
        const ControlSetting s = Driver(kVideoProcAmp, property);
        EXPECT_EQ(s.value, s.defaultValue) << property;
    }
    const ControlSetting exposure = Driver(kCameraControl, CameraControl_Exposure);
    EXPECT_EQ(exposure.appliedFlags & 3, kFlagAuto);
    EXPECT_EQ(Driver(kCameraControl, kPrivacyControl).value, 0);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuWhiteBalanceTemperatureAuto), 1);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(IsDlgButtonChecked(hwnd, IDC_VIEW_PRIVACY), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(IsDlgButtonChecked(hwnd, IDC_VIEW_EXPOSURE_AUTO), static_cast<UINT>(BST_CHECKED));
    Keep(hwnd, "view_panel.png");
}

TEST_F(ViewPanelTest, WithoutACameraEveryControlIsDisabledAndNothingIsWritten) {
    PlugAndWait();
    for (const char* device : {"", "Another Camera"}) {
        SCOPED_TRACE(device);
        MakePanel(device);
        for (int id : {IDC_VIEW_WHITE_BALANCE, IDC_VIEW_EXPOSURE, IDC_VIEW_EXPOSURE_AUTO, IDC_VIEW_BRIGHTNESS,
                       IDC_VIEW_CONTRAST, IDC_VIEW_SATURATION, IDC_VIEW_PRIVACY, IDC_VIEW_DEFAULTS}) {
            EXPECT_FALSE(IsWindowEnabled(Item(id))) << id;
        }
        const LONG brightness = camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuBrightness).value_or(-1);
        SendMessageW(panel_->Window(), WM_COMMAND, MAKEWPARAM(IDC_VIEW_DEFAULTS, BN_CLICKED), 0);
        SendMessageW(panel_->Window(), WM_HSCROLL, MAKEWPARAM(TB_PAGEDOWN, 0),
                     reinterpret_cast<LPARAM>(Item(IDC_VIEW_BRIGHTNESS)));
        EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuBrightness), brightness);
    }
    // The camera named again: the controls come back.
    panel_->SetDevice(kCamera);
    DeviceSession probe{};
    EXPECT_TRUE(OpenDeviceSession(kCamera, &probe));
    CloseDeviceSession(&probe);
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_VIEW_BRIGHTNESS)));
    Keep(panel_->Window(), "view_panel_connected.png");
}

TEST_F(ViewPanelTest, AChangeInTheOtherConsoleIsReadWhenTheNotifierWakesThePanel) {
    PlugAndWait();
    MakePanel(kCamera);
    ASSERT_NE(panel_->Notifier(), nullptr);
    HWND saturation = Item(IDC_VIEW_SATURATION);
    const LONG shown = Pos(saturation);
    ControlSetting s = Driver(kVideoProcAmp, VideoProcAmp_Saturation);
    s.value = s.value == s.maximum ? s.minimum : s.maximum;
    {
        DeviceSession session{};
        ASSERT_TRUE(OpenDeviceSession(kCamera, &session));
        ASSERT_TRUE(WriteControl(&session, kVideoProcAmp, VideoProcAmp_Saturation, &s));
        CloseDeviceSession(&session);
    }
    PanelNotifier::Notify(kViewPanelTitle, ConsoleMode::Integrated);
    EXPECT_TRUE(Eventually([&] {
        Pump();
        return Pos(saturation) == s.value;
    })) << "was " << shown;
}

class ViewAdvancedTest : public ViewPanelTest {
protected:
    HWND Open() {
        HWND dialog = CreateViewAdvancedDialog(resources_->Module(), parent_, kCamera, ConsoleMode::Standalone);
        EXPECT_NE(dialog, nullptr);
        ShowWindow(dialog, SW_SHOW);
        return dialog;
    }
};

TEST_F(ViewAdvancedTest, EveryChangeIsWrittenAtOnceAndCancelPutsTheOpeningValuesBack) {
    PlugAndWait();
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    HWND gamma = GetDlgItem(dialog, IDC_GAMMA);
    const ControlSetting opened = Driver(kVideoProcAmp, VideoProcAmp_Gamma);
    ASSERT_EQ(opened.step, 10);
    EXPECT_EQ(SendMessageW(gamma, TBM_GETLINESIZE, 0, 0), 10);
    EXPECT_EQ(SendMessageW(gamma, TBM_GETPAGESIZE, 0, 0), PageSize(&opened));
    EXPECT_EQ(Pos(gamma), opened.value);

    Key(gamma, VK_RIGHT);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuGamma), opened.value + 10);
    EXPECT_EQ(DeviceValue(kProcAmpKey, u"Gamma"), static_cast<ULONG>(opened.value + 10));
    Drop(dialog, gamma, opened.value + 36);  // nearest grid point: +40
    EXPECT_EQ(Pos(gamma), opened.value + 40);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuGamma), opened.value + 40);

    // Power-line frequency through the driver's own property, as the camera counts it
    // (0 off, 1 50 Hz, 2 60 Hz).
    const LONG hertz = camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuPowerLineFrequency).value_or(-1);
    const int other = hertz == 2 ? IDC_POWER_50HZ : IDC_POWER_60HZ;
    SendMessageW(GetDlgItem(dialog, other), BM_CLICK, 0, 0);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuPowerLineFrequency), other == IDC_POWER_60HZ ? 2 : 1);
    SendMessageW(GetDlgItem(dialog, IDC_POWER_OFF), BM_CLICK, 0, 0);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuPowerLineFrequency), 0);
    EXPECT_EQ(DeviceValue(kCameraControlKey, u"PowerlineFreq"), 1u);
    SendMessageW(GetDlgItem(dialog, other), BM_CLICK, 0, 0);

    // Mirror: the pin's mode.
    ASSERT_TRUE(IsWindowVisible(GetDlgItem(dialog, IDC_MIRROR)));
    const bool mirrored = IsDlgButtonChecked(dialog, IDC_MIRROR) == BST_CHECKED;
    SendMessageW(GetDlgItem(dialog, IDC_MIRROR), BM_CLICK, 0, 0);
    {
        DeviceSession session{};
        ASSERT_TRUE(OpenDeviceSession(kCamera, &session));
        LONG mode = -1;
        ASSERT_EQ(session.videoControl->GetMode(session.pin, &mode), S_OK);
        EXPECT_EQ((mode & VideoControlFlag_FlipHorizontal) != 0, !mirrored);
        CloseDeviceSession(&session);
    }
    Keep(dialog, "view_advanced.png");

    SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuGamma), opened.value);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuPowerLineFrequency), hertz);
    DeviceSession session{};
    ASSERT_TRUE(OpenDeviceSession(kCamera, &session));
    LONG mode = -1;
    ASSERT_EQ(session.videoControl->GetMode(session.pin, &mode), S_OK);
    EXPECT_EQ((mode & VideoControlFlag_FlipHorizontal) != 0, mirrored);
    CloseDeviceSession(&session);
}

TEST_F(ViewAdvancedTest, DefaultsPutTheFourSlidersBackAndOkKeepsThem) {
    PlugAndWait();
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    for (int id : {IDC_GAMMA, IDC_SHARPNESS, IDC_BACKLIGHT, IDC_HUE}) Key(GetDlgItem(dialog, id), VK_NEXT);
    ASSERT_NE(Driver(kVideoProcAmp, VideoProcAmp_Hue).value, Driver(kVideoProcAmp, VideoProcAmp_Hue).defaultValue);
    SendMessageW(GetDlgItem(dialog, IDC_ADVANCED_DEFAULTS), BM_CLICK, 0, 0);
    for (LONG property : {VideoProcAmp_Gamma, VideoProcAmp_Sharpness, VideoProcAmp_BacklightCompensation,
                          VideoProcAmp_Hue}) {
        const ControlSetting s = Driver(kVideoProcAmp, property);
        EXPECT_EQ(s.value, s.defaultValue) << property;
    }
    Key(GetDlgItem(dialog, IDC_HUE), VK_RIGHT);
    const LONG hue = camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuHue).value_or(-1);
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuHue), hue) << "OK writes nothing back";
}

TEST_F(ViewAdvancedTest, WithoutASessionEveryControlIsDisabled) {
    PlugAndWait();
    HWND dialog = CreateViewAdvancedDialog(resources_->Module(), parent_, "Another Camera", ConsoleMode::Standalone);
    ASSERT_NE(dialog, nullptr);
    for (int id : {IDC_POWER_60HZ, IDC_POWER_50HZ, IDC_POWER_OFF, IDC_MIRROR, IDC_FLIP, IDC_GAMMA, IDC_SHARPNESS,
                   IDC_BACKLIGHT, IDC_HUE, IDC_ADVANCED_DEFAULTS}) {
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, id))) << id;
    }
    const LONG gamma = camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuGamma).value_or(-1);
    SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, uvc::kPuGamma), gamma);
}

TEST_F(ViewAdvancedTest, ThePanelsButtonRunsTheDialogModally) {
    PlugAndWait();
    MakePanel(kCamera);
    // Someone presses Cancel once the dialog shows.
    std::atomic<bool> found{false};
    std::thread user([&] {
        for (int i = 0; i < 500 && !found; ++i) {
            if (HWND dialog = FindWindowA(nullptr, "Advanced Picture Settings")) {
                found = true;
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    });
    SendMessageW(Item(IDC_VIEW_ADVANCED), BM_CLICK, 0, 0);
    user.join();
    EXPECT_TRUE(found.load());
    EXPECT_EQ(FindWindowA(nullptr, "Advanced Picture Settings"), nullptr);
}

}  // namespace
}  // namespace k0340cvw
