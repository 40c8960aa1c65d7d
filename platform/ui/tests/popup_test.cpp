// Popups over a window: the dropped list of a combo box (opened by a click
// or the keys, chosen from with the mouse or the keys, put away) and the
// tooltips of controls (shown after resting on a tool, hidden by a press,
// by leaving and by time), checked on the screen's picture where they lie
// over their window. The pictures are kept as artefacts for a person.
#include <filesystem>

#include "commctrl.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/ui/presentation.h"
#include "platform/ui/tests/ui_test.h"

#ifndef QK_UI_ARTEFACTS
#error "QK_UI_ARTEFACTS must name the folder for the pictures"
#endif

namespace qk::ui::testing {
namespace {

constexpr uint32_t kHighlight = 0x0078D7, kWhite = 0xFFFFFF, kInfo = 0xFFFFE1, kTipFrame = 0x646464;

class PopupTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        host_ = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 100, 100, 300, 220, nullptr, nullptr, nullptr, nullptr);
        SetRecorderColour(host_, RGB(240, 240, 240));
    }
    // The WM_COMMAND notification codes the host got from control `id`.
    std::vector<WORD> Codes(WORD id) const {
        std::vector<WORD> codes;
        for (const Recorded& r : Log().Entries()) {
            if (r.hwnd == host_ && r.message == WM_COMMAND && LOWORD(r.wParam) == id) codes.push_back(HIWORD(r.wParam));
        }
        return codes;
    }
    static void Click(POINT p) {
        InjectMouseMove(p);
        InjectMouseButton(p, 0, true);
        InjectMouseButton(p, 0, false);
        Pump();
    }
    static void Key(UINT vk) {
        InjectKey(vk, true);
        InjectKey(vk, false);
        Pump();
    }
    static void Save(const RECT& area, const char* name) {
        std::filesystem::create_directories(QK_UI_ARTEFACTS);
        std::string error;
        EXPECT_TRUE(SaveScreenPng(area, std::string(QK_UI_ARTEFACTS) + "/" + name, &error)) << error;
    }
    HWND host_ = nullptr;
};

TEST_F(PopupTest, AComboBoxDropsItsListOverTheWindowAndChoosesFromIt) {
    HWND combo = CreateWindowExW(0, u"ComboBox", u"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST, 10, 10, 150, 90,
                                 host_, reinterpret_cast<HMENU>(40), nullptr, nullptr);
    ASSERT_NE(combo, nullptr);
    for (const char16_t* item : {u"Camera", u"Microphone", u"Speakers", u"Headset", u"Line in", u"Monitor", u"Window"}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    RECT box;
    GetWindowRect(combo, &box);
    const int boxHeight = box.bottom - box.top;
    EXPECT_LT(boxHeight, 90) << "the box is one line; the template's height is the list's";
    const POINT onBox{box.left + 40, box.top + boxHeight / 2};

    Log().Clear();
    Click(onBox);
    ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(Codes(40), std::vector<WORD>({CBN_SETFOCUS, CBN_DROPDOWN}));
    HWND list = GetCapture();
    ASSERT_NE(list, nullptr);
    char16_t name[32] = {};
    GetClassNameW(list, name, 32);
    EXPECT_EQ(std::u16string(name), u"ComboLBox");
    RECT dropped;
    GetWindowRect(list, &dropped);
    EXPECT_EQ(dropped.left, box.left);
    EXPECT_EQ(dropped.right, box.right);
    EXPECT_EQ(dropped.top, box.bottom) << "right below the box";
    const int itemHeight = boxHeight - 6;
    const int lines = (dropped.bottom - dropped.top - 2) / itemHeight;
    EXPECT_EQ(lines, (90 - boxHeight) / itemHeight) << "as many lines as the template's height leaves";
    EXPECT_LT(lines, 7) << "fewer lines than items: the list scrolls";

    // On the screen the list lies over the window: the chosen item lit, the next white,
    // and a scroll bar at its right edge.
    const RECT area{100, 100, 400, 320};
    Picture screen = CaptureScreen(area);
    const int x = dropped.right - 35 - area.left;  // right of the texts, left of the scroll bar
    const int row0 = dropped.top + 1 + itemHeight / 2 - area.top;
    EXPECT_EQ(screen.At(x, row0), kHighlight);
    EXPECT_EQ(screen.At(x, row0 + itemHeight), kWhite);
    EXPECT_NE(screen.At(dropped.right - 8 - area.left, row0 + itemHeight), kWhite) << "the scroll bar";
    EXPECT_EQ(screen.At(dropped.left + 30 - area.left, dropped.bottom + 5 - area.top), 0xF0F0F0u) << "the window below the list";
    EXPECT_EQ(CaptureWindow(host_).At(x, row0), 0xF0F0F0u) << "the list is a window of its own, not drawn on the host";

    // The pointer lights the item under it; a press and release there chooses it.
    const POINT third{dropped.left + 30, dropped.top + 1 + 2 * itemHeight + itemHeight / 2};
    InjectMouseMove(third);
    Pump();
    screen = CaptureScreen(area);
    EXPECT_EQ(screen.At(x, row0 + 2 * itemHeight), kHighlight);
    EXPECT_EQ(screen.At(x, row0), kWhite);
    Save(area, "combo_dropped.png");
    Log().Clear();
    Click(third);
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_FALSE(IsWindow(list));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(Codes(40), std::vector<WORD>({CBN_SELENDOK, CBN_CLOSEUP, CBN_SELCHANGE}));
    EXPECT_EQ(CaptureScreen(area).At(x, row0 + 2 * itemHeight), 0xF0F0F0u) << "the list is gone from the screen";

    // From the keys: F4 drops it, the arrows move the light (down past the last line
    // scrolls), Return chooses; Escape puts it away unchosen.
    Key(VK_F4);
    ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    for (int i = 0; i < 4; ++i) Key(VK_DOWN);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 2) << "the light moves, not the choice";
    Key(VK_RETURN);
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 6);
    Key(VK_F4);
    Key(VK_UP);
    Log().Clear();
    Key(VK_ESCAPE);
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 6);
    EXPECT_EQ(Codes(40), std::vector<WORD>({CBN_SELENDCANCEL, CBN_CLOSEUP}));

    // A press elsewhere puts the list away; so does the program.
    Click(onBox);
    ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    Click(POINT{350, 300});
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 6);
    EXPECT_TRUE(SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0));
    ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    list = GetCapture();
    DestroyWindow(combo);
    EXPECT_FALSE(IsWindow(list)) << "the list goes with its box";
}

TEST_F(PopupTest, AtTheFootOfTheScreenTheListDropsUpwards) {
    MoveWindow(host_, 100, 1024 - 60, 300, 60, TRUE);
    HWND combo = CreateWindowExW(0, u"ComboBox", u"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 10, 150, 120, host_,
                                 reinterpret_cast<HMENU>(40), nullptr, nullptr);
    for (const char16_t* item : {u"One", u"Two", u"Three"}) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) << "a second machine of the process drops lists too";
    RECT box, list;
    GetWindowRect(combo, &box);
    GetWindowRect(GetCapture(), &list);
    EXPECT_EQ(list.bottom, box.top) << "right above the box";
    EXPECT_LE(list.bottom, 1024);
    EXPECT_EQ((list.bottom - list.top - 2) / (box.bottom - box.top - 6), 3) << "three items, three lines";
    SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
}

TEST_F(PopupTest, ATooltipShowsAfterRestingOnItsToolAndGoesAway) {
    auto& kernel = qk::nt::Kernel::Get();
    kernel.TheClock().SetManual();
    HWND button = CreateWindowExW(0, u"Button", u"Lock", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 20, 60, 80, 24, host_,
                                  reinterpret_cast<HMENU>(41), nullptr, nullptr);
    HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0, host_, nullptr, nullptr, nullptr);
    ASSERT_NE(tip, nullptr);
    char16_t text[] = u"Lock the camera";
    TOOLINFOW ti{sizeof ti, TTF_IDISHWND | TTF_SUBCLASS, host_, reinterpret_cast<UINT_PTR>(button), {}, nullptr, text, 0, nullptr};
    ASSERT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)));

    const POINT onButton{100 + 50, 100 + 70};
    InjectMouseMove(onButton);
    Pump();
    kernel.Advance(499 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip)) << "not before the initial delay";
    Log().Clear();
    kernel.Advance(1 * qk::nt::kMillisecond);
    Pump();
    ASSERT_TRUE(IsWindowVisible(tip));
    RECT r;
    GetWindowRect(tip, &r);
    EXPECT_EQ(r.left, onButton.x);
    EXPECT_EQ(r.top, onButton.y + 20) << "below the pointer";
    SIZE extent{};
    HDC hdc = GetDC(tip);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    GetTextExtentPoint32W(hdc, text, 15, &extent);
    ReleaseDC(tip, hdc);
    EXPECT_EQ(r.right - r.left, extent.cx + 10) << "the text and its margins";

    const RECT area{100, 100, 400, 320};
    Picture screen = CaptureScreen(area);
    EXPECT_EQ(screen.At(r.left - area.left, r.top - area.top + 3), kTipFrame);
    EXPECT_EQ(screen.At(r.left - area.left + 2, r.top - area.top + 2), kInfo);
    int dark = 0;
    for (int y = r.top + 2; y < r.bottom - 2; ++y) {
        for (int x = r.left + 4; x < r.right - 4; ++x) dark += screen.At(x - area.left, y - area.top) < 0x404040u;
    }
    EXPECT_GT(dark, 20) << "the text is drawn";
    Save(area, "tooltip.png");

    // A press on the tool puts the tip away until the pointer comes back to it.
    InjectMouseButton(onButton, 0, true);
    InjectMouseButton(onButton, 0, false);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip));
    kernel.Advance(2000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip));
    InjectMouseMove(POINT{300, 250});  // the host's empty part: no tool
    Pump();
    InjectMouseMove(onButton);
    Pump();
    kernel.Advance(500 * qk::nt::kMillisecond);
    Pump();
    ASSERT_TRUE(IsWindowVisible(tip));

    // A longer text while shown: the tip grows with it.
    char16_t longer[] = u"Lock the camera for everyone else";
    ti.lpszText = longer;
    SendMessageW(tip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
    RECT grown;
    GetWindowRect(tip, &grown);
    EXPECT_GT(grown.right - grown.left, r.right - r.left);

    // By itself after the auto-pop delay.
    kernel.Advance(5000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip));

    // Leaving for a place no window of ours covers hides it too.
    InjectMouseMove(POINT{300, 250});
    Pump();
    InjectMouseMove(onButton);
    Pump();
    kernel.Advance(500 * qk::nt::kMillisecond);
    Pump();
    ASSERT_TRUE(IsWindowVisible(tip));
    InjectMouseMove(POINT{900, 900});
    Pump();
    kernel.Advance(100 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip));

    // Switched off, it stays away.
    SendMessageW(tip, TTM_ACTIVATE, FALSE, 0);
    InjectMouseMove(onButton);
    Pump();
    kernel.Advance(1000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_FALSE(IsWindowVisible(tip));
    DestroyWindow(tip);
}

}  // namespace
}  // namespace qk::ui::testing
