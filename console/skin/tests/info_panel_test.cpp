// The skinned containers with the real skinning library and bundle: margins
// from the skin or their defaults, the stack's layout and its 15-pixel
// scroll bar, accordion mode, scrolling a panel into view, remembered
// states, the title font and what the title button tells the windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "commctrl.h"

#include "console/skin/info_panel.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "platform/win32/code_modules.h"
#include "wingdi.h"

namespace {

using console::InfoPanel;
using console::InfoPanelWnd;

constexpr char16_t kStateKey[] = u"Software\\Lumora Tech\\Web Cameras\\QK0340\\Console";

std::vector<std::pair<UINT, WPARAM>> g_holderLog;

LRESULT CALLBACK HolderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == console::kFirstPanelOpened || message == RegisterWindowMessageA("WM_INFOPANELWND_CALLBACK")) {
        g_holderLog.push_back({message, wParam});
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class InfoPanelTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        // The stack's timers run when a test moves the clock, never because
        // a slow run took long.
        qk::nt::Kernel::Get().TheClock().SetManual();
        qk::win32::RegisterStaticModule(u"SkinHook.DLL", skinhook::LookupExport);
        const auto system = Root() / "Windows" / "System32";
        const auto folder = Root() / "Windows" / "TWAIN_32" / "Lumora" / "QK0340";
        std::filesystem::create_directories(system);
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(QK_SKIN_BUNDLE, system / "K0340Cvw.bff");
        std::filesystem::copy_file(QK_CONSOLE_CRL, system / "K0340Cvw.crl");
        std::ofstream(folder / "SkinHook.DLL") << "linked into the test";
        // The console window has loaded the skinning library from its folder.
        consoleSkin_ = LoadLibraryA((console::SkinLibraryFolder() + "\\SkinHook.DLL").c_str());
        ASSERT_NE(consoleSkin_, nullptr);
        resources_ = LoadLibraryExW(u"K0340Cvw.crl", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        console::SetResourceModule(resources_);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = HolderProc;
        wc.lpszClassName = u"Holder";
        RegisterClassExW(&wc);
        holder_ = CreateWindowExW(0, u"Holder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
        g_holderLog.clear();
    }
    void TearDown() override {
        stack_.reset();
        DestroyWindow(holder_);
        console::SetResourceModule(nullptr);
        FreeLibrary(resources_);
        FreeLibrary(consoleSkin_);
        MachineTest::TearDown();
    }
    HWND Dialog(int width, int height, bool visible = false) {
        return CreateWindowExW(0, u"Static", u"panel", WS_CHILD | (visible ? WS_VISIBLE : 0), 0, 0, width, height, holder_,
                               nullptr, nullptr, nullptr);
    }
    void MakeStack(DWORD flags = 0, const char* piece = "InfoPanelWnd.PNG") {
        stack_ = InfoPanelWnd::Create(holder_, 0, 201, MAKELONG(flags, HIWORD(WS_VISIBLE)), console::SkinBundlePath(), piece);
        ASSERT_NE(stack_, nullptr);
    }
    void Pump() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    int Width(HWND hwnd) {
        RECT r;
        GetWindowRect(hwnd, &r);
        return r.right - r.left;
    }

    HMODULE consoleSkin_ = nullptr, resources_ = nullptr;
    HWND holder_ = nullptr;
    std::unique_ptr<InfoPanelWnd> stack_;
};

TEST_F(InfoPanelTest, MarginsComeFromTheSkinOrTheirDefaults) {
    MakeStack();
    ASSERT_TRUE(stack_->Insert(Dialog(200, 60), -1, u"Picture", 1));
    const InfoPanel::Margins& m = stack_->Panel(0)->GetMargins();
    EXPECT_EQ(m.left, 4);
    EXPECT_EQ(m.top, 24);
    EXPECT_EQ(m.indentLeft, 6);
    EXPECT_EQ(stack_->Panel(0)->TitleColour(), RGB(255, 255, 255));
    // A piece the bundle has no values for: the defaults.
    auto bare = InfoPanel::Create(stack_.get(), 0, 9, u"Bare", Dialog(100, 20), console::SkinBundlePath(), "Nothing.png", "DropDown.png");
    ASSERT_NE(bare, nullptr);
    const InfoPanel::Margins& d = bare->GetMargins();
    EXPECT_EQ(std::make_tuple(d.left, d.right, d.top, d.bottom, d.indentLeft, d.indentRight), std::make_tuple(1, 1, 24, 1, 5, 5));
    // Collapsed: only the title band; width: the child's plus the margins.
    EXPECT_EQ(stack_->Panel(0)->Size().cy, 24 + 4);
    EXPECT_EQ(stack_->Panel(0)->Size().cx, 200 + 8);
    LOGFONTW lf{};
    GetObjectW(stack_->Panel(0)->TitleFont(), sizeof lf, &lf);
    EXPECT_EQ(lf.lfHeight, -12);
    EXPECT_EQ(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(lf.lfCharSet, DEFAULT_CHARSET);
}

TEST_F(InfoPanelTest, JapaneseUsersGetShiftJisTitles) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Control Panel\\International", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    const char16_t locale[] = u"00000411";
    RegSetValueExW(key, u"Locale", 0, REG_SZ, reinterpret_cast<const BYTE*>(locale), sizeof locale);
    RegCloseKey(key);
    MakeStack();
    stack_->Insert(Dialog(200, 60), -1, u"Picture", 1);
    LOGFONTW lf{};
    GetObjectW(stack_->Panel(0)->TitleFont(), sizeof lf, &lf);
    EXPECT_EQ(lf.lfCharSet, SHIFTJIS_CHARSET);
}

TEST_F(InfoPanelTest, TheScrollBarComesWhenThePanelsDoNotFitAndGoesAgain) {
    MakeStack();
    stack_->Insert(Dialog(200, 60, true), -1, u"A", 1);
    stack_->Insert(Dialog(200, 60, true), -1, u"B", 2);
    const int total = stack_->TotalHeight();
    ASSERT_EQ(total, 2 * (60 + 28));
    const int width = Width(stack_->Panel(0)->Window());
    // One pixel too low for the panels: the bar shows, every panel narrows by 15.
    MoveWindow(stack_->Window(), 0, 0, 260, total - 1, TRUE);
    EXPECT_TRUE(stack_->ScrollBarShown());
    EXPECT_EQ(Width(stack_->Panel(0)->Window()), width - 15);
    EXPECT_EQ(Width(stack_->Panel(1)->Window()), width - 15);
    RECT client;
    GetClientRect(stack_->Window(), &client);
    EXPECT_EQ(client.right, 260 - 15);
    // One pixel more: the bar goes, the width comes back.
    MoveWindow(stack_->Window(), 0, 0, 260, total, TRUE);
    EXPECT_FALSE(stack_->ScrollBarShown());
    EXPECT_EQ(Width(stack_->Panel(0)->Window()), width);
}

TEST_F(InfoPanelTest, ScrollingMovesThePanelsAndStopsAtTheEnds) {
    MakeStack();
    for (UINT id = 1; id <= 4; ++id) stack_->Insert(Dialog(200, 60, true), -1, u"P", id);
    MoveWindow(stack_->Window(), 0, 0, 260, 150, TRUE);
    ASSERT_TRUE(stack_->ScrollBarShown());
    SendMessageW(stack_->Window(), WM_VSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(stack_->ScrollPosition(), 10);
    RECT r;
    GetWindowRect(stack_->Panel(0)->Window(), &r);
    POINT p{r.left, r.top};
    ScreenToClient(stack_->Window(), &p);
    EXPECT_EQ(p.y, -10);
    SendMessageW(stack_->Window(), WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), 0);
    EXPECT_EQ(stack_->ScrollPosition(), 10 + 24) << "a notch is 24 pixels";
    SendMessageW(stack_->Window(), WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(stack_->ScrollPosition(), stack_->TotalHeight() - 150) << "no space opens below the content";
    SendMessageW(stack_->Window(), WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(stack_->ScrollPosition(), 0);
    // Scrolling panel 3 into view puts it at the top.
    SendMessageW(stack_->Window(), console::kPanelSizeChanged, 3, 3);
    EXPECT_EQ(stack_->ScrollPosition(), 2 * 88);
}

TEST_F(InfoPanelTest, AccordionModeKeepsOnePanelOpen) {
    MakeStack(console::kAccordion);
    stack_->Insert(Dialog(200, 40, true), -1, u"A", 1);
    stack_->Insert(Dialog(200, 40), -1, u"B", 2);
    HWND titleB = GetDlgItem(stack_->Panel(1)->Window(), console::kTitleButtonId);
    SendMessageW(titleB, BM_CLICK, 0, 0);
    Pump();
    EXPECT_TRUE(stack_->IsExpanded(1));
    EXPECT_FALSE(stack_->IsExpanded(0)) << "opening B closed A";
    SendMessageW(titleB, BM_CLICK, 0, 0);
    Pump();
    EXPECT_TRUE(stack_->IsExpanded(1)) << "an open panel does not close by its own title";
}

TEST_F(InfoPanelTest, TitleClicksReportToTheHolderAndStatesAreRemembered) {
    MakeStack();
    stack_->SetStateKey(kStateKey, 0);
    stack_->Insert(Dialog(200, 40), -1, u"A", 1);
    stack_->Insert(Dialog(200, 40), -1, u"B", 2);
    HWND titleB = GetDlgItem(stack_->Panel(1)->Window(), console::kTitleButtonId);
    SendMessageW(titleB, BM_CLICK, 0, 0);
    const UINT callback = RegisterWindowMessageA("WM_INFOPANELWND_CALLBACK");
    ASSERT_FALSE(g_holderLog.empty());
    EXPECT_EQ(g_holderLog.back(), (std::pair<UINT, WPARAM>{callback, 1}));
    EXPECT_EQ(SendMessageW(titleB, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(titleB, BM_CLICK, 0, 0);
    EXPECT_EQ(g_holderLog.back(), (std::pair<UINT, WPARAM>{callback, 2}));
    SendMessageW(titleB, BM_CLICK, 0, 0);  // open again: stored as open
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kStateKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD a = 9, b = 9, size = sizeof(DWORD);
    RegQueryValueExA(key, "PanelState0", nullptr, nullptr, reinterpret_cast<BYTE*>(&a), &size);
    size = sizeof(DWORD);
    RegQueryValueExA(key, "PanelState1", nullptr, nullptr, reinterpret_cast<BYTE*>(&b), &size);
    RegCloseKey(key);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 1u);

    // A new stack applies them: B opens, A stays closed, no 4055.
    stack_.reset();
    g_holderLog.clear();
    MakeStack();
    stack_->SetStateKey(kStateKey, 0);
    stack_->Insert(Dialog(200, 40), -1, u"A", 1);
    stack_->Insert(Dialog(200, 40), -1, u"B", 2);
    stack_->ApplyStates();
    EXPECT_FALSE(stack_->IsExpanded(0));
    EXPECT_TRUE(stack_->IsExpanded(1));
    for (const auto& e : g_holderLog) EXPECT_NE(e.first, console::kFirstPanelOpened);
    // Tooltips follow the state.
    char16_t tip[64] = {};
    TOOLINFOW ti{sizeof ti, TTF_IDISHWND, stack_->Panel(1)->Window(),
                 reinterpret_cast<UINT_PTR>(GetDlgItem(stack_->Panel(1)->Window(), console::kTitleButtonId)), {}, nullptr, tip, 0, nullptr};
    SendMessageW(stack_->Panel(1)->Tooltip(), TTM_GETTEXTW, 64, reinterpret_cast<LPARAM>(&ti));
    char16_t expected[64] = {};
    LoadStringW(resources_, 57713, expected, 64);
    EXPECT_EQ(std::u16string(tip), std::u16string(expected));
}

TEST_F(InfoPanelTest, WithNoStoredStateTheFirstPanelOpensOnFirstShow) {
    MakeStack();
    stack_->SetStateKey(kStateKey, 0);
    stack_->Insert(Dialog(200, 40), -1, u"A", 1);
    stack_->Insert(Dialog(200, 40), -1, u"B", 2);
    // The stack's timer applies the states once its holder shows.
    qk::nt::Kernel::Get().Advance(100 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(stack_->IsExpanded(0));
    EXPECT_FALSE(stack_->IsExpanded(1));
    ASSERT_FALSE(g_holderLog.empty());
    EXPECT_EQ(g_holderLog.front().first, console::kFirstPanelOpened);
}

TEST_F(InfoPanelTest, ASkinnedStackShowsThePanelTitlesAndTheirBand) {
    MakeStack();
    stack_->Insert(Dialog(200, 40, true), -1, u"Picture", 1);
    MoveWindow(stack_->Window(), 0, 0, 260, 200, TRUE);
    qk::ui::Picture p = qk::ui::CaptureWindow(holder_);
    // The title band of the panel piece is blue; the title text white on it.
    const uint32_t band = p.At(120, 4);
    EXPECT_GT(band & 0xFF, ((band >> 16) & 0xFF) + 40) << std::hex << band;
    int white = 0;
    for (int x = 8; x < 120; ++x) {
        for (int y = 2; y < 22; ++y) white += p.At(x, y) == 0xFFFFFFu;
    }
    EXPECT_GT(white, 10) << "the title's text";
    if (const char* keep = std::getenv("QK_TEST_ARTEFACTS")) {
        std::string error;
        qk::ui::SaveWindowPng(holder_, std::string(keep) + "/info_panel.png", &error);
    }
}

}  // namespace
