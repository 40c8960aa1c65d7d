// The auto focus panel and the focus settings dialog on the real driver:
// automatic and manual focus with the last manual value kept, the slider on
// the step grid, focus-once, and the dialog's area picture and sensitivity
// table.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "commctrl.h"
#include "console/resources/resource_ids.h"
#include "console/tests/panels_fixture.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"

namespace k0340cvw {
namespace {

using testing::kCamera;

TEST(FocusArea, TheQuadrantsTheCentreAndTheDividingLines) {
    struct {
        int x, y, area;
    } const cases[] = {
        {0, 0, 1},    {30, 54, 1},  {86, 10, 1},   {87, 10, 2},  {173, 0, 2},   {150, 54, 2},
        {10, 55, 3},  {86, 109, 3}, {87, 100, 4},  {150, 55, 4}, {173, 109, 4}, {58, 36, 5},
        {116, 72, 5}, {87, 55, 5},  {57, 36, 1},   {117, 72, 4}, {58, 35, 1},   {116, 73, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FocusAreaAt(c.x + 20, c.y + 30, 20, 30), c.area) << c.x << "," << c.y;
    }
}

TEST(FocusSensitivity, EveryPositionIsOnePairAndOtherPairsHaveNone) {
    for (int position = 1; position <= 10; ++position) {
        LONG scale = 0, windows = 0;
        SensitivityPair(position, &scale, &windows);
        EXPECT_EQ(SensitivityPosition(scale, windows), position);
    }
    EXPECT_EQ(SensitivityPosition(2, 9), 4);
    EXPECT_EQ(SensitivityPosition(5, 9), 0);
    EXPECT_EQ(SensitivityPosition(1, 16), 0);
}

class AutoFocusPanelTest : public testing::PanelsTest {
protected:
    ControlSetting Focus() {
        DeviceSession session{};
        ControlSetting s{};
        EXPECT_TRUE(OpenDeviceSession(kCamera, &session));
        ReadControl(&session, kCameraControl, CameraControl_Focus, &s);
        CloseDeviceSession(&session);
        return s;
    }
    LONG DriverFocus(ULONG id) {
        if (!filter_) filter_ = OpenFilter();
        const auto answer = k0340::testing::GetQ(filter_->Handle(), PROPSETID_K0340_FOCUS, id);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        return answer.value;
    }
    void SetDriverFocus(ULONG id, LONG value) {
        if (!filter_) filter_ = OpenFilter();
        ASSERT_EQ(k0340::testing::SetQ(filter_->Handle(), PROPSETID_K0340_FOCUS, id, value), STATUS_SUCCESS);
    }
    LONG SliderPosition() { return static_cast<LONG>(SendMessageW(Item(IDC_FOCUS_SLIDER), TBM_GETPOS, 0, 0)); }
    void Drag(LONG position, int code) {
        SendMessageW(Item(IDC_FOCUS_SLIDER), TBM_SETPOS, TRUE, position);
        SendMessageW(panel_->Window(), WM_HSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(Item(IDC_FOCUS_SLIDER)));
    }
};

TEST_F(AutoFocusPanelTest, AutomaticAndManualFocusWithTheLastManualValueKept) {
    PlugAndWait();
    const ControlSetting start = Focus();
    ASSERT_TRUE(start.valid);
    ASSERT_GT(start.maximum - start.minimum, 4 * start.step);
    auto* panel = Make<AutoFocusPanel>();
    ASSERT_NE(panel, nullptr);
    const bool automatic = start.autoMode != 0;
    EXPECT_EQ(Checked(IDC_FOCUS_AUTO), automatic);
    EXPECT_EQ(Enabled(IDC_FOCUS_SLIDER), !automatic);
    EXPECT_EQ(Enabled(IDC_FOCUS_ONCE), automatic);

    Click(IDC_FOCUS_MANUAL);
    EXPECT_EQ(Focus().autoMode, 0);
    EXPECT_TRUE(Enabled(IDC_FOCUS_SLIDER));
    EXPECT_FALSE(Enabled(IDC_FOCUS_ONCE));
    EXPECT_EQ(SendMessageW(Item(IDC_FOCUS_SLIDER), TBM_GETLINESIZE, 0, 0), start.step);
    EXPECT_EQ(SendMessageW(Item(IDC_FOCUS_SLIDER), TBM_GETPAGESIZE, 0, 0), PageSize(&start));
    Picture(host_, "auto_focus_panel_manual.png");

    // A drag lands on the step grid and reaches the driver.
    const LONG wanted = start.minimum + 3 * start.step;
    Drag(wanted, TB_THUMBTRACK);
    EXPECT_EQ(Focus().value, wanted);
    EXPECT_EQ(SliderPosition(), wanted);
    if (start.step > 1) {
        Drag(wanted + start.step / 2 + 1, TB_THUMBTRACK);  // nearer the next step
        EXPECT_EQ(SliderPosition(), wanted + start.step);
    }
    const LONG manual = Focus().value;

    // Automatic remembers the manual value; manual again brings it back.
    Click(IDC_FOCUS_AUTO);
    EXPECT_NE(Focus().autoMode, 0);
    EXPECT_FALSE(Enabled(IDC_FOCUS_SLIDER));
    EXPECT_TRUE(Enabled(IDC_FOCUS_ONCE));
    Click(IDC_FOCUS_MANUAL);
    EXPECT_EQ(Focus().autoMode, 0);
    EXPECT_EQ(Focus().value, manual);

    // No camera: nothing to change.
    panel->SetDevice("");
    EXPECT_FALSE(Enabled(IDC_FOCUS_AUTO));
    EXPECT_FALSE(Enabled(IDC_FOCUS_SLIDER));
}

TEST_F(AutoFocusPanelTest, FocusOnceEndsInManualFocusAtAValueTheCameraFoundOrWhereItStarted) {
    PlugAndWait();
    auto* panel = Make<AutoFocusPanel>();
    ASSERT_NE(panel, nullptr);
    if (!Checked(IDC_FOCUS_AUTO)) Click(IDC_FOCUS_AUTO);
    ASSERT_TRUE(Enabled(IDC_FOCUS_ONCE));
    const LONG before = Focus().value;
    // Two rounds of eleven one-second polls: run the platform's time fast.
    qk::nt::Kernel::Get().TheClock().SetRealTime(25.0);
    const auto began = std::chrono::steady_clock::now();
    Click(IDC_FOCUS_ONCE);  // blocks this thread while the camera looks for the focus
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    const ControlSetting after = Focus();
    EXPECT_EQ(after.autoMode, 0);
    EXPECT_EQ(SliderPosition(), after.value);
    EXPECT_TRUE(Checked(IDC_FOCUS_MANUAL));
    EXPECT_TRUE(Enabled(IDC_FOCUS_SLIDER));
    EXPECT_TRUE(Enabled(IDC_FOCUS_AUTO));
    // The simulated camera does not move its focus by itself: both rounds
    // ran out and the focus is back where it started, held by hand.
    EXPECT_EQ(after.value, before);
}

TEST_F(AutoFocusPanelTest, TheSettingsDialogShowsTheTableRowAndWritesTheAreaAndThePair) {
    PlugAndWait();
    SetDriverFocus(KSPROPERTY_K0340_FOCUS_SCALE, 2);
    SetDriverFocus(KSPROPERTY_K0340_FOCUS_WINDOWS, 9);
    SetDriverFocus(KSPROPERTY_K0340_FOCUS_AREA, 5);
    ASSERT_NE(Make<AutoFocusPanel>(), nullptr);
    ASSERT_TRUE(Enabled(IDC_FOCUS_SETTINGS));

    std::mutex lock;
    std::vector<LONG> seen;  // under lock
    const auto note = [&](LONG v) {
        std::lock_guard guard(lock);
        seen.push_back(v);
    };
    std::thread user([&] {
        HWND dialog = nullptr;
        // Shown once its controls are made and initialised.
        for (int i = 0; i < 1000 && (dialog == nullptr || !IsWindowVisible(dialog)); ++i) {
            dialog = FindWindowA(nullptr, "Focus Settings");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!dialog) return;
        HWND sensitivity = GetDlgItem(dialog, IDC_FOCUS_SENSITIVITY);
        note(static_cast<LONG>(SendMessageW(sensitivity, TBM_GETPOS, 0, 0)));
        // Over the picture the pointer is the hand.
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        SendMessageW(GetDlgItem(dialog, IDC_FOCUS_AREA), WM_MOUSEMOVE, 0, MAKELPARAM(150, 10));
        note(GetCursor() == LoadCursorW(nullptr, IDC_HAND) ? 1 : 0);
        // A click in the top-right quadrant is written at once.
        SendMessageW(GetDlgItem(dialog, IDC_FOCUS_AREA), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(150, 10));
        SendMessageW(GetDlgItem(dialog, IDC_FOCUS_AREA), WM_LBUTTONUP, 0, MAKELPARAM(150, 10));
        note(DriverFocus(KSPROPERTY_K0340_FOCUS_AREA));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the dialog's loop paints
        Picture(dialog, "focus_settings.png");
        // Position 9 is written as its pair on OK.
        SendMessageW(sensitivity, TBM_SETPOS, TRUE, 9);
        SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 9), reinterpret_cast<LPARAM>(sensitivity));
        note(DriverFocus(KSPROPERTY_K0340_FOCUS_SCALE));
        SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    });
    Click(IDC_FOCUS_SETTINGS);
    user.join();
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, (std::vector<LONG>{4, 1, 2, 2}));
    EXPECT_EQ(DriverFocus(KSPROPERTY_K0340_FOCUS_SCALE), 6);
    EXPECT_EQ(DriverFocus(KSPROPERTY_K0340_FOCUS_WINDOWS), 3);
    EXPECT_EQ(DriverFocus(KSPROPERTY_K0340_FOCUS_AREA), 2);
}

}  // namespace
}  // namespace k0340cvw
