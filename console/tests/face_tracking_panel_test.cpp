// The face tracking panel and its options dialog on the real driver: the box
// and the radios move the driver's tracking mode (and the camera is asked for
// the larger picture tracking needs), every change is broadcast with 4 and
// wakes the other consoles, and the panel follows what others change.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "capture/formats.h"
#include "console/resources/resource_ids.h"
#include "console/tests/panels_fixture.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"

namespace k0340cvw {
namespace {

using testing::kCamera;

class FaceTrackingPanelTest : public testing::PanelsTest {};

TEST_F(FaceTrackingPanelTest, TheBoxAndRadiosSwitchTheDriversTrackingAndAreBroadcastWith4) {
    PlugAndWait();
    auto* panel = Make<FaceTrackingPanel>();
    ASSERT_NE(panel, nullptr);
    // The driver starts with tracking off: box clear, radios and settings unavailable.
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 0);
    EXPECT_EQ(panel->ShownMode(), 1);
    EXPECT_TRUE(Enabled(IDC_TRACKING));
    EXPECT_FALSE(Checked(IDC_TRACKING));
    EXPECT_FALSE(Enabled(IDC_TRACK_MODE_1));
    EXPECT_FALSE(Enabled(IDC_TRACK_MODE_2));
    EXPECT_FALSE(Enabled(IDC_TRACK_SETTINGS));
    Picture(host_, "face_tracking_panel_off.png");

    // Ticking with nothing remembered: the third mode.
    Click(IDC_TRACKING);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 2);
    EXPECT_TRUE(Checked(IDC_TRACK_MODE_2));
    EXPECT_FALSE(Checked(IDC_TRACK_MODE_1));
    EXPECT_TRUE(Enabled(IDC_TRACK_MODE_1));
    EXPECT_TRUE(Enabled(IDC_TRACK_SETTINGS));
    Picture(host_, "face_tracking_panel_on.png");

    Click(IDC_TRACK_MODE_1);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 1);
    EXPECT_EQ(panel->ShownMode(), 2);
    Click(IDC_TRACK_MODE_2);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 2);

    // Cleared in mode 3 and ticked again: mode 3 comes back, not the default.
    Click(IDC_TRACK_MODE_1);
    Click(IDC_TRACK_MODE_2);
    Click(IDC_TRACKING);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 0);
    EXPECT_FALSE(Enabled(IDC_TRACK_MODE_2));
    SendMessageW(panel->Window(), WM_KEYDOWN, VK_TAB, 0);
    EXPECT_EQ(GetFocus(), Item(IDC_TRACKING));
    Click(IDC_TRACKING);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 2);
    // And mode 2 likewise.
    Click(IDC_TRACK_MODE_1);
    Click(IDC_TRACKING);
    Click(IDC_TRACKING);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_MODE), 1);
    EXPECT_TRUE(Checked(IDC_TRACK_MODE_1));

    // Tab into the panel: the checked radio, or the box while tracking is off.
    SendMessageW(panel->Window(), WM_KEYDOWN, VK_TAB, 0);
    EXPECT_EQ(GetFocus(), Item(IDC_TRACK_MODE_1));

    // Every change told the other applications, with 4.
    EXPECT_TRUE(PumpUntil([&] { return broadcasts_.size() >= 10; }));
    EXPECT_EQ(Broadcasts(), std::vector<WPARAM>(10, 4));
}

TEST_F(FaceTrackingPanelTest, TrackingSwitchedOnInThePanelShowsInWhatTheCameraIsAskedFor) {
    PlugAndWait();
    ASSERT_NE(Make<FaceTrackingPanel>(), nullptr);
    filter_ = OpenFilter();
    ASSERT_NE(filter_, nullptr);
    const auto small = Format(*filter_, k0340::kFormatYuy2, 160, 120, 30);
    const auto captured = [&] {
        auto stream = k0340::testing::LiveStream::Start(*filter_, small);
        EXPECT_NE(stream, nullptr);
        if (!stream) return std::pair{0, 0};
        EXPECT_EQ(stream->NextDelivered().data.size(), 160u * 120 * 2);
        const auto sent = camera_->SentFrames();
        return sent.empty() ? std::pair{0, 0} : std::pair{sent.back().width, sent.back().height};
    };
    EXPECT_EQ(captured(), (std::pair{160, 120}));
    // Tracking needs room to follow a face in: the driver captures larger.
    Click(IDC_TRACKING);
    EXPECT_EQ(captured(), (std::pair{320, 240}));
    Click(IDC_TRACKING);
    EXPECT_EQ(captured(), (std::pair{160, 120}));
}

TEST_F(FaceTrackingPanelTest, ThePanelFollowsOtherConsolesAndWakesThem) {
    PlugAndWait();
    // The integrated console's twin and both pan/tilt panels listen.
    std::atomic<int> twin{0}, panTilt{0};
    auto twinNotifier = PanelNotifier::Create(kFaceTrackingPanelTitle, ConsoleMode::Integrated, [&] { ++twin; });
    auto panTiltNotifier = PanelNotifier::Create(kPanTiltPanelTitle, ConsoleMode::Standalone, [&] { ++panTilt; });
    ASSERT_NE(twinNotifier, nullptr);
    ASSERT_NE(panTiltNotifier, nullptr);
    auto* panel = Make<FaceTrackingPanel>();
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(panel->Notifier(), nullptr);
    Click(IDC_TRACKING);
    EXPECT_TRUE(Eventually([&] { return twin.load() == 1 && panTilt.load() == 1; }));

    // The twin changes the camera and notifies: this panel re-reads on its own thread.
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_MODE, 1);
    twinNotifier->Notify();
    EXPECT_TRUE(PumpUntil([&] { return panel->ShownMode() == 2; }));
    EXPECT_TRUE(Checked(IDC_TRACK_MODE_1));

    // A value outside 1-3 is not shown; the controls stay as they were.
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_MODE, 0);
    panel->Refresh();
    EXPECT_EQ(panel->ShownMode(), 1);

    // No camera: everything unavailable. A camera that went away: a failed
    // read leaves what was shown.
    panel->SetDevice("");
    EXPECT_EQ(panel->ShownMode(), 0);
    EXPECT_FALSE(Enabled(IDC_TRACKING));
    panel->SetDevice(kCamera);
    EXPECT_TRUE(Enabled(IDC_TRACKING));
    filter_.reset();
    Unplug(0);
    panel->Refresh();
    EXPECT_TRUE(Enabled(IDC_TRACKING));
    EXPECT_EQ(panel->ShownMode(), 1);
    // Ticking without a camera changes nothing anywhere and is kept as the pending choice.
    Click(IDC_TRACKING);
    EXPECT_EQ(panel->ShownMode(), 3);
}

TEST_F(FaceTrackingPanelTest, TheTimerRereadsEveryOneAndAHalfSecondsWhileVisible) {
    PlugAndWait();
    auto* panel = Make<FaceTrackingPanel>();
    ASSERT_NE(panel, nullptr);
    ASSERT_EQ(panel->ShownMode(), 1);
    qk::nt::Kernel::Get().TheClock().SetManual();
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_MODE, 2);
    qk::nt::Kernel::Get().Advance(1400 * qk::nt::kMillisecond);
    Pump();
    EXPECT_EQ(panel->ShownMode(), 1);
    qk::nt::Kernel::Get().Advance(100 * qk::nt::kMillisecond);
    EXPECT_TRUE(PumpUntil([&] { return panel->ShownMode() == 3; }));
    // Hidden, it leaves the camera alone.
    ShowWindow(panel->Window(), SW_HIDE);
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_MODE, 1);
    qk::nt::Kernel::Get().Advance(3000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_EQ(panel->ShownMode(), 3);
}

TEST_F(FaceTrackingPanelTest, TheOptionsDialogWritesAtOnceAndCancelPutsBackWhatItOpenedWith) {
    PlugAndWait();
    ASSERT_NE(Make<FaceTrackingPanel>(), nullptr);
    Click(IDC_TRACKING);
    // The driver takes the options while it tracks.
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_SPEED, 1);
    SetDriverTracking(KSPROPERTY_K0340_TRACKING_PIP, 0);
    ASSERT_TRUE(Enabled(IDC_TRACK_SETTINGS));

    // The dialog is modal on this thread; a second thread plays the user.
    std::mutex lock;
    std::vector<std::string> seen;  // under lock
    std::atomic<bool> cancelled{false};
    auto note = [&](const std::string& what) {
        std::lock_guard guard(lock);
        seen.push_back(what);
    };
    std::thread user([&] {
        HWND dialog = nullptr;
        // Shown once its controls are made and initialised.
        for (int i = 0; i < 1000 && (dialog == nullptr || !IsWindowVisible(dialog)); ++i) {
            dialog = FindWindowA(nullptr, "Face Tracking Settings");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!dialog) return;
        const auto state = [&] {
            std::string s;
            for (int id : {IDC_SPEED_SLOW, IDC_SPEED_NORMAL, IDC_SPEED_FAST, IDC_PIP, IDC_PIP_2, IDC_PIP_1}) {
                s += IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 'x' : '.';
                s += IsWindowEnabled(GetDlgItem(dialog, id)) ? "" : "-";
            }
            return s + " " + std::to_string(DriverTracking(KSPROPERTY_K0340_TRACKING_SPEED)) + " " +
                   std::to_string(DriverTracking(KSPROPERTY_K0340_TRACKING_PIP));
        };
        const auto click = [&](int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); };
        note(state());
        click(IDC_SPEED_FAST);
        note(state());
        click(IDC_PIP);  // nothing remembered: radio 1080, value 1
        note(state());
        click(IDC_PIP_2);
        note(state());
        click(IDC_PIP);  // off; the choice is kept
        note(state());
        click(IDC_PIP);
        note(state());
        Picture(dialog, "tracking_options.png");
        click(IDCANCEL);
        cancelled = true;
    });
    Click(IDC_TRACK_SETTINGS);  // returns when the dialog closes
    user.join();
    ASSERT_TRUE(cancelled.load());
    std::lock_guard guard(lock);
    const std::vector<std::string> expected = {
        ".x...-x- 1 0",  // normal speed; picture-in-picture off, its radios unavailable (1080 the one it would bring)
        "..x..-x- 2 0",  // fast, written at once
        "..xx.x 2 1",    // on: radio 1080, value 1
        "..xxx. 2 2",    // radio 1079: value 2
        "..x.x-.- 2 0",  // off: the radio kept but unavailable
        "..xxx. 2 2",    // on again: the kept radio
    };
    EXPECT_EQ(seen, expected);
    // Cancel wrote back what the dialog opened with.
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_SPEED), 1);
    EXPECT_EQ(DriverTracking(KSPROPERTY_K0340_TRACKING_PIP), 0);
}

}  // namespace
}  // namespace k0340cvw
