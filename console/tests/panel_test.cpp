// The panel base and its notifier: one notifier per title and mode, and a
// change in one console window reaching the panels of the others that show
// what it moved.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "console/panel.h"
#include "console/skin/resource_library.h"
#include "console/tests/console_fixture.h"

namespace k0340cvw {
namespace {

class PanelTest : public testing::ConsoleTest {};

struct Counted {
    std::unique_ptr<PanelNotifier> notifier;
    std::atomic<int> refreshes{0};
};

TEST_F(PanelTest, AChangeReachesTheOtherConsoleAndThePanelsThatShowWhatItMoved) {
    const std::string titles[] = {kFaceTrackingPanelTitle, kPanTiltPanelTitle, kViewAdvancedTitle, kViewPanelTitle};
    std::map<std::pair<int, std::string>, Counted> panels;
    for (ConsoleMode mode : {ConsoleMode::Standalone, ConsoleMode::Integrated}) {
        for (const auto& title : titles) {
            auto& p = panels[{static_cast<int>(mode), title}];
            p.notifier = PanelNotifier::Create(title, mode, [&p] { ++p.refreshes; });
            ASSERT_NE(p.notifier, nullptr) << title;
            EXPECT_EQ(p.notifier->Tag(), 0x45524854u);
        }
    }
    const auto count = [&](ConsoleMode mode, const std::string& title) {
        return panels[{static_cast<int>(mode), title}].refreshes.load();
    };
    panels[{0, kFaceTrackingPanelTitle}].notifier->Notify();
    EXPECT_TRUE(Eventually([&] {
        return count(ConsoleMode::Integrated, kFaceTrackingPanelTitle) == 1 &&
               count(ConsoleMode::Standalone, kPanTiltPanelTitle) == 1 &&
               count(ConsoleMode::Integrated, kPanTiltPanelTitle) == 1 &&
               count(ConsoleMode::Standalone, kViewAdvancedTitle) == 1 &&
               count(ConsoleMode::Integrated, kViewAdvancedTitle) == 1;
    }));
    // The sender itself and the panels it does not concern stay as they were.
    EXPECT_EQ(count(ConsoleMode::Standalone, kFaceTrackingPanelTitle), 0);
    EXPECT_EQ(count(ConsoleMode::Standalone, kViewPanelTitle), 0);
    EXPECT_EQ(count(ConsoleMode::Integrated, kViewPanelTitle), 0);

    // The view panel wakes only its own kind in the other mode.
    panels[{1, kViewPanelTitle}].notifier->Notify();
    EXPECT_TRUE(Eventually([&] { return count(ConsoleMode::Standalone, kViewPanelTitle) == 1; }));
    EXPECT_EQ(count(ConsoleMode::Standalone, kPanTiltPanelTitle), 1);
    EXPECT_EQ(count(ConsoleMode::Standalone, kViewAdvancedTitle), 1);
}

TEST_F(PanelTest, OnlyOneConsoleWindowOfAModeHoldsAPanelsNotifier) {
    auto first = PanelNotifier::Create(kAudioPanelTitle, ConsoleMode::Standalone, [] {});
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(PanelNotifier::Create(kAudioPanelTitle, ConsoleMode::Standalone, [] {}), nullptr);
    EXPECT_NE(PanelNotifier::Create(kAudioPanelTitle, ConsoleMode::Integrated, [] {}), nullptr);
    // Once the first is gone its name is free again.
    first.reset();
    EXPECT_NE(PanelNotifier::Create(kAudioPanelTitle, ConsoleMode::Standalone, [] {}), nullptr);
    // Nobody listening: notifying wakes nothing and makes no event that would block a later panel.
    PanelNotifier::Notify(kAutoFocusPanelTitle, ConsoleMode::Integrated);
    EXPECT_NE(PanelNotifier::Create(kAutoFocusPanelTitle, ConsoleMode::Standalone, [] {}), nullptr);
}

// A panel that counts its reads.
class CountingPanel : public Panel {
public:
    CountingPanel() : Panel(kAutoFocusPanelTitle, 131) {}
    std::atomic<int> reads{0};
    std::string lastDevice;

protected:
    void ReadControls() override {
        ++reads;
        lastDevice = Device();
    }
};

TEST_F(PanelTest, APanelIsAChildDialogThatRereadsWhenShownAndWhenNotifiedWhileVisible) {
    console::ResourceLibrary resources;
    ASSERT_TRUE(resources.Loaded());
    HWND parent = CreateWindowExA(0, "STATIC", "stack", WS_OVERLAPPEDWINDOW, 0, 0, 300, 400, nullptr, nullptr, nullptr,
                                  nullptr);
    ASSERT_NE(parent, nullptr);
    auto panel = std::make_unique<CountingPanel>();
    ASSERT_TRUE(panel->Create(parent, resources.Module(), ConsoleMode::Integrated));
    ASSERT_NE(panel->Window(), nullptr);
    EXPECT_EQ(GetParent(panel->Window()), parent);
    ASSERT_NE(panel->Notifier(), nullptr);

    panel->SetDevice("QK0340 Camera");
    EXPECT_EQ(panel->reads.load(), 1);
    EXPECT_EQ(panel->lastDevice, "QK0340 Camera");

    // Hidden: a notification does not read.
    ShowWindow(parent, SW_HIDE);
    PanelNotifier::Notify(kAutoFocusPanelTitle, ConsoleMode::Standalone);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(panel->reads.load(), 1);
    ShowWindow(parent, SW_SHOW);
    ShowWindow(panel->Window(), SW_SHOW);
    const int shown = panel->reads.load();
    EXPECT_GE(shown, 2);
    PanelNotifier::Notify(kAutoFocusPanelTitle, ConsoleMode::Standalone);
    EXPECT_TRUE(Eventually([&] { return panel->reads.load() == shown + 1; }));

    // Closed by the window: the dialog goes, the object stays harmless.
    panel->Close();
    EXPECT_EQ(panel->Window(), nullptr);
    panel->Refresh();
    EXPECT_EQ(panel->reads.load(), shown + 1);
    panel.reset();
    DestroyWindow(parent);
}

}  // namespace
}  // namespace k0340cvw
