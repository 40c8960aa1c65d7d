// The same windows on a real X server: an X server in memory (Xvfb), a
// window of ours shown on it, a click and key presses sent by xdotool
// reaching the right controls as messages, and the X screen's pixels equal
// to the headless picture of the same window.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "commctrl.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "winuser.h"

// Last: the X11 headers define names (None, Bool) the others must not see.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

constexpr char kDisplay[] = ":57";

bool Installed(const char* program) {
    const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// The X server for the whole run.
class XServer {
public:
    XServer() {
        if (!Installed("Xvfb") || !Installed("xdotool")) return;
        const char* argv[] = {"Xvfb", kDisplay, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", nullptr};
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return;
        for (int i = 0; i < 100; ++i) {
            if (Display* d = XOpenDisplay(kDisplay)) {
                XCloseDisplay(d);
                ready_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~XServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

std::vector<std::pair<WORD, WORD>> g_commands;

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) g_commands.push_back({LOWORD(wParam), HIWORD(wParam)});
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class X11Test : public qk::testing::MachineTest {
protected:
    static XServer& Server() {
        static XServer server;
        return server;
    }
    void SetUp() override {
        if (!Server().Ready()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
        setenv("DISPLAY", kDisplay, 1);
        unsetenv("QK_UI_HEADLESS");
        MachineTest::SetUp();
        g_commands.clear();
    }
    void TearDown() override {
        if (Server().Ready()) MachineTest::TearDown();
        unsetenv("DISPLAY");
    }
    // Runs the message loop until `done` or five seconds pass.
    template <typename Done>
    bool PumpUntil(Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    // Whether the X screen shows `area` exactly as the headless screen picture
    // does, waiting for the presenter to copy what was drawn.
    template <typename Loop>
    bool ScreenMatches(const RECT& area, Loop pump) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            pump([] { return true; });
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            const qk::ui::Picture picture = qk::ui::CaptureScreen(area);
            Display* d = XOpenDisplay(kDisplay);
            if (!d) return false;
            XImage* image = XGetImage(d, DefaultRootWindow(d), area.left, area.top, static_cast<unsigned>(picture.width),
                                      static_cast<unsigned>(picture.height), AllPlanes, ZPixmap);
            int differing = 0;
            for (int y = 0; image && y < picture.height; ++y) {
                for (int x = 0; x < picture.width; ++x) {
                    if ((XGetPixel(image, x, y) & 0xFFFFFF) != picture.At(x, y)) ++differing;
                }
            }
            if (image) XDestroyImage(image);
            XCloseDisplay(d);
            if (image && differing == 0) return true;
        }
        return false;
    }
};

TEST_F(X11Test, ClicksAndKeysReachTheControlsAndTheScreenShowsTheWindow) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostProc;
    wc.lpszClassName = u"X11Host";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    RegisterClassExW(&wc);
    HWND host = CreateWindowExW(0, u"X11Host", u"On a display", WS_POPUP | WS_BORDER, 200, 150, 300, 160, nullptr, nullptr,
                                nullptr, nullptr);
    HWND button = CreateWindowExW(0, u"Button", u"Press", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 20, 20, 100, 30, host,
                                  reinterpret_cast<HMENU>(7), nullptr, nullptr);
    HWND edit = CreateWindowExW(0, u"Edit", u"", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 80, 200, 24, host,
                                reinterpret_cast<HMENU>(8), nullptr, nullptr);
    (void)button;
    ShowWindow(host, SW_SHOW);
    ASSERT_TRUE(PumpUntil([&] { return qk::ui::PresentedOnDisplay(host); })) << "the window never reached the display";

    // The button lies at screen (200 + 1 + 20, 150 + 1 + 20) and is 100 x 30.
    Run(std::string("DISPLAY=") + kDisplay + " xdotool mousemove 270 186 click 1");
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& c : g_commands) {
            if (c == std::pair<WORD, WORD>{7, BN_CLICKED}) return true;
        }
        return false;
    })) << "the click did not press the button";

    Run(std::string("DISPLAY=") + kDisplay + " xdotool mousemove 300 243 click 1");
    ASSERT_TRUE(PumpUntil([&] { return GetFocus() == edit; })) << "the click did not focus the edit";
    Run(std::string("DISPLAY=") + kDisplay + " xdotool key q k 0 shift+z");
    char16_t text[16] = {};
    EXPECT_TRUE(PumpUntil([&] {
        GetWindowTextW(edit, text, 16);
        return std::u16string(text) == u"qk0Z";
    })) << "the edit holds '" << std::string(text, text + std::char_traits<char16_t>::length(text)) << "'";

    // The X screen shows exactly the window's picture.
    const qk::ui::Picture picture = qk::ui::CaptureWindow(host);
    const uint64_t wanted = qk::ui::PaintGeneration();
    (void)wanted;
    bool same = false;
    for (int attempt = 0; attempt < 50 && !same; ++attempt) {
        PumpUntil([] { return true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        Display* d = XOpenDisplay(kDisplay);
        ASSERT_NE(d, nullptr);
        XImage* image = XGetImage(d, DefaultRootWindow(d), 200, 150, 300, 160, AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        int differing = 0;
        for (int y = 0; y < picture.height; ++y) {
            for (int x = 0; x < picture.width; ++x) {
                if ((XGetPixel(image, x, y) & 0xFFFFFF) != picture.At(x, y)) ++differing;
            }
        }
        XDestroyImage(image);
        XCloseDisplay(d);
        same = differing == 0;
    }
    EXPECT_TRUE(same) << "the X screen differs from the headless picture";
    DestroyWindow(host);
}

TEST_F(X11Test, TooltipsAndDroppedListsAppearOverTheirWindowOnTheDisplay) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostProc;
    wc.lpszClassName = u"X11PopupHost";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    RegisterClassExW(&wc);
    HWND host = CreateWindowExW(0, u"X11PopupHost", u"", WS_POPUP | WS_BORDER, 300, 200, 320, 220, nullptr, nullptr, nullptr,
                                nullptr);
    HWND button = CreateWindowExW(0, u"Button", u"Lock", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 20, 150, 80, 24, host,
                                  reinterpret_cast<HMENU>(7), nullptr, nullptr);
    HWND combo = CreateWindowExW(0, u"ComboBox", u"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 20, 20, 160, 100, host,
                                 reinterpret_cast<HMENU>(9), nullptr, nullptr);
    for (const char16_t* item : {u"Camera", u"Microphone", u"Speakers"}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0, host, nullptr, nullptr, nullptr);
    char16_t text[] = u"Lock the camera";
    TOOLINFOW ti{sizeof ti, TTF_IDISHWND | TTF_SUBCLASS, host, reinterpret_cast<UINT_PTR>(button), {}, nullptr, text, 0, nullptr};
    SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    ShowWindow(host, SW_SHOW);
    ASSERT_TRUE(PumpUntil([&] { return qk::ui::PresentedOnDisplay(host); }));
    auto pump = [&](auto done) { return PumpUntil(done); };

    // Resting on the button: its tip on the display below the pointer.
    Run(std::string("DISPLAY=") + kDisplay + " xdotool mousemove 360 362");
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(tip) && qk::ui::PresentedOnDisplay(tip); })) << "no tip on the display";
    RECT r;
    GetWindowRect(tip, &r);
    EXPECT_EQ(r.top, 382);
    EXPECT_TRUE(ScreenMatches(RECT{300, 200, 620, 420}, pump)) << "the display differs from the screen picture with the tip";

    // A click on the box drops its list over the window; a click on an item chooses it.
    Run(std::string("DISPLAY=") + kDisplay + " xdotool mousemove 360 230 click 1");
    ASSERT_TRUE(PumpUntil([&] {
        HWND list = GetCapture();
        return SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) && list && qk::ui::PresentedOnDisplay(list);
    })) << "no list on the display";
    EXPECT_FALSE(IsWindowVisible(tip)) << "the press put the tip away";
    RECT list;
    GetWindowRect(GetCapture(), &list);
    EXPECT_TRUE(ScreenMatches(RECT{300, 200, 620, 420}, pump)) << "the display differs from the screen picture with the list";
    const int itemHeight = (list.bottom - list.top - 2) / 3;
    Run(std::string("DISPLAY=") + kDisplay + " xdotool mousemove 360 " + std::to_string(list.top + 1 + 2 * itemHeight + 3) +
        " click 1");
    EXPECT_TRUE(PumpUntil([&] { return SendMessageW(combo, CB_GETCURSEL, 0, 0) == 2; })) << "the click did not choose";
    EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_TRUE(ScreenMatches(RECT{300, 200, 620, 420}, pump)) << "the list stays on the display";
    DestroyWindow(host);
}

}  // namespace
