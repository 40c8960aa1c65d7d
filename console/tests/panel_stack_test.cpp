// The three steering panels as the console window holds them: made through
// the library's panel table as children of a video stack, expanded one under
// the other, each showing the plugged camera.
#include <gtest/gtest.h>

#include "console/resources/resource_ids.h"
#include "console/skin/info_panel.h"
#include "console/tests/panels_fixture.h"

namespace k0340cvw {
namespace {

using testing::kCamera;

class PanelStackTest : public testing::PanelsTest {};

TEST_F(PanelStackTest, TheTableMakesTheThreePanelsAndTheyShowTheCameraInAStack) {
    PlugAndWait();
    MoveWindow(host_, 0, 0, 400, 620, FALSE);
    auto stack = console::InfoPanelWnd::Create(host_, 0, 201, MAKELONG(0, HIWORD(WS_VISIBLE)), console::SkinBundlePath(),
                                               "InfoPanelWnd.PNG");
    ASSERT_NE(stack, nullptr);
    MoveWindow(stack->Window(), 1, 1, 382, 580, FALSE);
    const PanelMakers& makers = ThePanelMakers();
    ASSERT_NE(makers.faceTracking, nullptr);
    ASSERT_NE(makers.panTilt, nullptr);
    ASSERT_NE(makers.autoFocus, nullptr);
    std::unique_ptr<Panel> panels[] = {makers.faceTracking(), makers.panTilt(), makers.autoFocus()};
    const char16_t* titles[] = {u"Face Tracking", u"Pan and Tilt", u"Focus"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(panels[i]->Create(stack->Window(), resources_->Module(), ConsoleMode::Standalone));
        ASSERT_TRUE(stack->Insert(panels[i]->Window(), -1, titles[i], static_cast<UINT>(i + 1)));
    }
    EXPECT_EQ(panels[0]->Title(), kFaceTrackingPanelTitle);
    EXPECT_EQ(panels[1]->Title(), kPanTiltPanelTitle);
    EXPECT_EQ(panels[2]->Title(), kAutoFocusPanelTitle);
    for (int i = 0; i < 3; ++i) stack->Expand(i, true, false);
    for (auto& panel : panels) panel->SetDevice(kCamera);
    Pump();
    for (auto& panel : panels) EXPECT_TRUE(IsWindowVisible(panel->Window())) << panel->Title();
    // Each shows the camera: tracking off, only zoom-in, the focus choice.
    const auto enabled = [](const std::unique_ptr<Panel>& p, int id) { return IsWindowEnabled(GetDlgItem(p->Window(), id)) != FALSE; };
    EXPECT_TRUE(enabled(panels[0], IDC_TRACKING));
    EXPECT_FALSE(enabled(panels[0], IDC_TRACK_MODE_1));
    EXPECT_TRUE(enabled(panels[1], IDC_PT_ZOOM_IN));
    EXPECT_FALSE(enabled(panels[1], IDC_PT_LEFT));
    EXPECT_TRUE(enabled(panels[2], IDC_FOCUS_AUTO));
    qk::ui::RenderWindow(host_);
    Picture(host_, "steering_panels_in_a_stack.png");
    for (auto& panel : panels) panel.reset();
    stack.reset();
}

}  // namespace
}  // namespace k0340cvw
