// The pan and tilt panel on the real driver: the buttons follow the camera's
// ranges, a click is one step written to the driver, a held button repeats
// ever faster and stops at once when let go or when it runs into the end of
// the range, another console holding the camera drops the move, and the
// settings-changed message re-reads as its code says.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "commctrl.h"
#include "console/resources/resource_ids.h"
#include "console/tests/panels_fixture.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "synchapi.h"

namespace k0340cvw {
namespace {

using testing::kCamera;

constexpr int kMovers[] = {IDC_PT_CENTER,  IDC_PT_LEFT,     IDC_PT_RIGHT,     IDC_PT_UP,        IDC_PT_DOWN,
                           IDC_PT_LEFT_UP, IDC_PT_RIGHT_UP, IDC_PT_LEFT_DOWN, IDC_PT_RIGHT_DOWN};

class PanTiltPanelTest : public testing::PanelsTest {
protected:
    // The camera's zoom, pan and tilt as the console reads them.
    struct Camera {
        ControlSetting zoom{}, pan{}, tilt{};
    };
    Camera Controls() {
        Camera c;
        DeviceSession session{};
        EXPECT_TRUE(OpenDeviceSession(kCamera, &session));
        ReadControl(&session, kCameraControl, CameraControl_Zoom, &c.zoom);
        ReadControl(&session, kCameraControl, CameraControl_Pan, &c.pan);
        ReadControl(&session, kCameraControl, CameraControl_Tilt, &c.tilt);
        CloseDeviceSession(&session);
        return c;
    }
    void Set(LONG property, LONG value) {
        DeviceSession session{};
        ControlSetting s{};
        ASSERT_TRUE(OpenDeviceSession(kCamera, &session));
        ASSERT_TRUE(ReadControl(&session, kCameraControl, property, &s));
        s.value = value;
        s.autoMode = 0;
        EXPECT_TRUE(WriteControl(&session, kCameraControl, property, &s));
        CloseDeviceSession(&session);
    }
    // A click: one step, the worker gone before it returns.
    void Press(int id) {
        Click(id);
        ASSERT_TRUE(PumpUntil([] { return !PanTiltPanel::Repeating(); }));
    }
    std::string Available() {
        std::string s;
        for (int id : kMovers) s += Enabled(id) ? 'o' : '.';
        return s + (Enabled(IDC_PT_ZOOM_IN) ? "+" : ".") + (Enabled(IDC_PT_ZOOM_OUT) ? "-" : ".");
    }
    // Answers the worker for `ms` of real time while the platform's stands still.
    void PumpFor(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) Pump();
    }
    POINT Centre(int id) {
        RECT r;
        GetWindowRect(Item(id), &r);
        return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
};

TEST_F(PanTiltPanelTest, TheButtonsFollowTheRangesAndAClickIsOneStepInTheDriver) {
    PlugAndWait();
    const Camera start = Controls();
    ASSERT_TRUE(start.zoom.valid && start.pan.valid && start.tilt.valid);
    ASSERT_EQ(start.zoom.value, start.zoom.minimum);
    auto* panel = Make<PanTiltPanel>();
    ASSERT_NE(panel, nullptr);
    // Not zoomed in: only zoom-in moves anything.
    EXPECT_EQ(Available(), ".........+.");
    Picture(host_, "pan_tilt_panel_whole_picture.png");

    Press(IDC_PT_ZOOM_IN);
    Camera now = Controls();
    EXPECT_EQ(now.zoom.value, start.zoom.minimum + start.zoom.step);
    EXPECT_EQ(Available(), "ooooooooo+-");
    Picture(host_, "pan_tilt_panel_zoomed.png");

    Press(IDC_PT_LEFT);
    Press(IDC_PT_UP);
    Press(IDC_PT_RIGHT_DOWN);
    Press(IDC_PT_RIGHT_DOWN);
    now = Controls();
    EXPECT_EQ(now.pan.value, start.pan.value + start.pan.step);
    EXPECT_EQ(now.tilt.value, start.tilt.value - start.tilt.step);

    // At the pan minimum the left side is unavailable; at the tilt maximum, up.
    Set(CameraControl_Pan, start.pan.minimum);
    Set(CameraControl_Tilt, start.tilt.maximum);
    panel->Refresh();
    EXPECT_EQ(Available(), "o.o.o.o.o+-");
    Press(IDC_PT_RIGHT);
    EXPECT_EQ(Controls().pan.value, start.pan.minimum + start.pan.step);
    EXPECT_TRUE(Enabled(IDC_PT_LEFT));

    // Centre: the defaults.
    Press(IDC_PT_CENTER);
    now = Controls();
    EXPECT_EQ(now.pan.value, start.pan.defaultValue);
    EXPECT_EQ(now.tilt.value, start.tilt.defaultValue);

    // Zooming out to the whole picture: the focus goes to zoom-in, everything else unavailable.
    while (Enabled(IDC_PT_ZOOM_OUT)) Press(IDC_PT_ZOOM_OUT);
    EXPECT_EQ(Controls().zoom.value, start.zoom.minimum);
    EXPECT_EQ(GetFocus(), Item(IDC_PT_ZOOM_IN));
    EXPECT_EQ(Available(), ".........+.");

    // Zooming all the way in: the focus goes to zoom-out.
    Set(CameraControl_Zoom, start.zoom.maximum - start.zoom.step);
    panel->Refresh();
    Press(IDC_PT_ZOOM_IN);
    EXPECT_EQ(Controls().zoom.value, start.zoom.maximum);
    EXPECT_FALSE(Enabled(IDC_PT_ZOOM_IN));
    EXPECT_EQ(GetFocus(), Item(IDC_PT_ZOOM_OUT));

    // Each move was told to the other applications with its button's code.
    std::map<WPARAM, int> codes;
    for (WPARAM code : Broadcasts()) ++codes[code];
    EXPECT_GE(codes[1], 2);
    EXPECT_GE(codes[2], 4);
    EXPECT_GE(codes[0], 1);
}

TEST_F(PanTiltPanelTest, EveryButtonHasItsTip) {
    PlugAndWait();
    auto* panel = Make<PanTiltPanel>();
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(panel->Tooltip(), nullptr);
    EXPECT_EQ(SendMessageW(panel->Tooltip(), TTM_GETTOOLCOUNT, 0, 0), 11);
    const auto tip = [&](int id) {
        char16_t text[128] = {};
        TOOLINFOW ti{sizeof ti, TTF_IDISHWND, panel->Window(), reinterpret_cast<UINT_PTR>(Item(id)), {}, nullptr, text, 0, nullptr};
        SendMessageW(panel->Tooltip(), TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&ti));
        return std::u16string(text);
    };
    EXPECT_EQ(tip(IDC_PT_LEFT), u"Pan left");
    EXPECT_EQ(tip(IDC_PT_ZOOM_OUT), u"Zoom out");
    EXPECT_EQ(tip(IDC_PT_RIGHT_DOWN), u"Pan right and tilt down");
    EXPECT_EQ(tip(IDC_PT_CENTER), u"Centre the picture");
}

TEST_F(PanTiltPanelTest, AHeldButtonRepeatsEverFasterAndStopsWhenLetGo) {
    PlugAndWait();
    Set(CameraControl_Zoom, Controls().zoom.maximum);
    auto* panel = Make<PanTiltPanel>();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(Enabled(IDC_PT_LEFT));
    auto& clock = qk::nt::Kernel::Get().TheClock();
    std::vector<int64_t> steps;  // platform times, on this thread
    panel->SetStepObserver([&](int id) {
        if (id == IDC_PT_LEFT) steps.push_back(clock.Now());
    });
    clock.SetManual();
    const POINT at = Centre(IDC_PT_LEFT);
    qk::ui::InjectMouseButton(at, 0, true);
    Pump();
    ASSERT_TRUE(PumpUntil([&] { return steps.size() == 1; }));
    const int64_t pressed = steps.front();
    ASSERT_TRUE(PumpUntil([&] { return panel->RepeatWaitsBegun() == 1; }));
    PumpFor(20);
    // 5 steps at 200 ms, 5 at 100, 5 at 50, 5 at 25, then 12 ms apart.
    const auto nominal = [](size_t gap) -> int64_t {
        const size_t round = (gap + 1) / 5;  // the 5th step halves the wait for the 6th
        return round >= 4 ? 12 : 200 >> round;
    };
    // Two seconds held. Time jumps to a millisecond before the next step is
    // due (a step before it would show there, too early), then moves a
    // millisecond at a time, each given real time for the worker to wake.
    const int64_t ms = qk::nt::kMillisecond;
    while (clock.Now() - pressed < 2000 * ms) {
        const size_t before = steps.size();
        const int64_t due = steps.back() + nominal(steps.size() - 1) * ms;
        qk::nt::Kernel::Get().Advance(clock.Now() < due - ms ? due - ms - clock.Now() : ms);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(clock.Now() >= due ? 200 : 2);
        while (steps.size() == before && std::chrono::steady_clock::now() < until) Pump();
        // After a step the worker may send more (every fifth step) and then
        // fixes when the next is due: let it, before time moves.
        if (steps.size() != before) {
            ASSERT_TRUE(PumpUntil([&] { return panel->RepeatWaitsBegun() == static_cast<int>(steps.size()); }));
            PumpFor(20);  // and is inside the wait (slow under the sanitizers)
        }
    }
    qk::ui::InjectMouseButton(at, 0, false);
    PumpFor(20);
    const size_t held = steps.size();
    // Let go: no further step, however long time runs.
    for (int i = 0; i < 30; ++i) {
        qk::nt::Kernel::Get().Advance(10 * ms);
        Pump();
    }
    EXPECT_TRUE(PumpUntil([] { return !PanTiltPanel::Repeating(); }));
    EXPECT_EQ(steps.size(), held);

    std::vector<int64_t> gaps;
    for (size_t i = 1; i < steps.size(); ++i) gaps.push_back((steps[i] - steps[i - 1]) / ms);
    ASSERT_GE(gaps.size(), 25u);
    for (size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], nominal(i)) << i;
        EXPECT_LE(gaps[i], nominal(i) + 2) << i;
    }
    // 800 + 500 + 250 + 125 ms for the first 19 gaps, then the rest of the
    // two seconds at 12 ms (27 more at most).
    EXPECT_GE(gaps.size(), 38u);
    EXPECT_LE(gaps.size(), 46u);
    EXPECT_EQ(Controls().pan.value, Controls().pan.defaultValue - static_cast<LONG>(steps.size()) * Controls().pan.step);
}

TEST_F(PanTiltPanelTest, TheButtonsKeyKeepsItRepeatingUntilReleased) {
    PlugAndWait();
    Set(CameraControl_Zoom, Controls().zoom.maximum);
    auto* panel = Make<PanTiltPanel>();
    ASSERT_NE(panel, nullptr);
    int up = 0;
    panel->SetStepObserver([&](int id) { up += id == IDC_PT_UP; });
    qk::nt::Kernel::Get().TheClock().SetManual();
    // The focus on any of the panel's buttons: the up arrow moves up.
    SetFocus(Item(IDC_PT_CENTER));
    qk::ui::InjectKey(VK_UP, true);
    ASSERT_TRUE(PumpUntil([&] { return up == 1; }));
    EXPECT_TRUE(SendMessageW(Item(IDC_PT_UP), BM_GETSTATE, 0, 0) & BST_PUSHED);
    ASSERT_TRUE(PumpUntil([&] { return panel->RepeatWaitsBegun() == 1; }));
    PumpFor(20);
    qk::nt::Kernel::Get().Advance(200 * qk::nt::kMillisecond);
    EXPECT_TRUE(PumpUntil([&] { return up == 2; }));
    ASSERT_TRUE(PumpUntil([&] { return panel->RepeatWaitsBegun() == 2; }));
    qk::ui::InjectKey(VK_UP, false);
    PumpFor(5);
    EXPECT_FALSE(SendMessageW(Item(IDC_PT_UP), BM_GETSTATE, 0, 0) & BST_PUSHED);
    qk::nt::Kernel::Get().Advance(400 * qk::nt::kMillisecond);
    EXPECT_TRUE(PumpUntil([] { return !PanTiltPanel::Repeating(); }));
    EXPECT_EQ(up, 2);
    EXPECT_EQ(GetFocus(), Item(IDC_PT_CENTER));  // the arrow did not move the focus
}

TEST_F(PanTiltPanelTest, AHeldButtonStopsAtTheEndOfTheRangeAndAnotherConsolesMoveWins) {
    PlugAndWait();
    const Camera start = Controls();
    Set(CameraControl_Zoom, start.zoom.maximum);
    Set(CameraControl_Pan, start.pan.minimum + 3 * start.pan.step);
    auto* panel = Make<PanTiltPanel>();
    ASSERT_NE(panel, nullptr);
    int left = 0;
    panel->SetStepObserver([&](int id) { left += id == IDC_PT_LEFT; });
    const POINT at = Centre(IDC_PT_LEFT);
    qk::ui::InjectMouseButton(at, 0, true);
    Pump();
    // Held on: the repetition ends by itself at the pan minimum.
    EXPECT_TRUE(PumpUntil([&] { return left >= 1 && !PanTiltPanel::Repeating(); }));
    qk::ui::InjectMouseButton(at, 0, false);
    Pump();
    EXPECT_EQ(left, 3);
    EXPECT_EQ(Controls().pan.value, start.pan.minimum);
    EXPECT_EQ(Available().substr(0, 9), "o.ooo.o.o");

    // Another console holds the camera: a press moves nothing.
    std::atomic<bool> holding{false}, release{false};
    std::thread other([&] {
        HANDLE m = CreateMutexA(nullptr, FALSE, kPanTiltMutexName);
        WaitForSingleObject(m, INFINITE);
        holding = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ReleaseMutex(m);
        CloseHandle(m);
    });
    while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Press(IDC_PT_RIGHT);
    EXPECT_EQ(Controls().pan.value, start.pan.minimum);

    // While it moves, its broadcasts (codes 1-2) are not re-read here; code 4 is.
    Set(CameraControl_Pan, start.pan.minimum + start.pan.step);
    panel->SettingsChanged(2);
    EXPECT_FALSE(Enabled(IDC_PT_LEFT));
    panel->SettingsChanged(4);
    EXPECT_TRUE(Enabled(IDC_PT_LEFT));
    release = true;
    other.join();
    Set(CameraControl_Pan, start.pan.minimum);
    panel->SettingsChanged(2);
    EXPECT_FALSE(Enabled(IDC_PT_LEFT));
    Press(IDC_PT_RIGHT);
    EXPECT_EQ(Controls().pan.value, start.pan.minimum + start.pan.step);

    // Without a camera every button is unavailable.
    panel->SetDevice("");
    EXPECT_EQ(Available(), "...........");
}

}  // namespace
}  // namespace k0340cvw
