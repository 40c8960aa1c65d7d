// Windows and messages: the order of the messages around creation, showing,
// painting and destruction; sending and posting across threads; timers on
// the platform clock; registered messages and broadcasts; hit tests.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/ui/tests/ui_test.h"

namespace qk::ui::testing {
namespace {

using Names = std::vector<std::string>;

class WindowTest : public UiTest {};

TEST_F(WindowTest, CreatingShowingPaintingAndDestroyingSendMessagesInOrder) {
    HWND top = CreateWindowExW(0, u"Recorder", u"Top", WS_POPUP, 10, 20, 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(SameMessages({"WM_NCCREATE", "WM_NCCALCSIZE", "WM_CREATE", "WM_SIZE", "WM_MOVE"}, Log().Names(top)));

    Log().Clear();
    HWND child = CreateWindowExW(0, u"Recorder", u"Child", WS_CHILD | WS_VISIBLE, 5, 5, 50, 30, top,
                                 reinterpret_cast<HMENU>(7), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(SameMessages({"WM_NCCREATE", "WM_NCCALCSIZE", "WM_CREATE", "WM_SIZE", "WM_MOVE", "WM_SHOWWINDOW",
                              "WM_WINDOWPOSCHANGING", "WM_WINDOWPOSCHANGED"},
                             Log().Names(child)));
    EXPECT_TRUE(SameMessages({"WM_PARENTNOTIFY"}, Log().Names(top)));

    Log().Clear();
    ShowWindow(top, SW_SHOW);
    EXPECT_TRUE(SameMessages({"WM_SHOWWINDOW", "WM_WINDOWPOSCHANGING", "WM_WINDOWPOSCHANGED", "WM_ACTIVATE"},
                             Log().Names(top)));

    // The parent paints before the child, each erasing first.
    Log().Clear();
    UpdateWindow(top);
    EXPECT_TRUE(SameMessages({"WM_PAINT", "WM_NCPAINT", "WM_ERASEBKGND", "WM_PAINT", "WM_NCPAINT", "WM_ERASEBKGND"},
                             Log().Names()));
    EXPECT_EQ(Log().Entries()[0].hwnd, top);
    EXPECT_EQ(Log().Entries()[3].hwnd, child);
    Log().Clear();
    UpdateWindow(top);
    EXPECT_TRUE(Log().Names().empty()) << "nothing is invalid any more";

    // Children get WM_DESTROY after their parent and WM_NCDESTROY before it.
    Log().Clear();
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_TRUE(SameMessages({"WM_WINDOWPOSCHANGING", "WM_WINDOWPOSCHANGED", "WM_DESTROY", "WM_DESTROY",
                              "WM_NCDESTROY", "WM_NCDESTROY"},
                             Log().Names(nullptr, {WM_ACTIVATE})));
    EXPECT_EQ(Log().Entries()[3].hwnd, child);
    EXPECT_FALSE(IsWindow(top));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_FALSE(DestroyWindow(top));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, ClassesAreFoundWithoutCaseAndRefusedTwice) {
    HWND w = CreateWindowExA(0, "RECORDER", "x", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(w, nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"recorder";
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_EQ(CreateWindowExW(0, u"Recorder", u"", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr)
        << "a child needs a parent";
    EXPECT_FALSE(UnregisterClassW(u"Recorder", nullptr)) << "a window of the class exists";
    DestroyWindow(w);
    EXPECT_TRUE(UnregisterClassW(u"Recorder", nullptr));
}

TEST_F(WindowTest, TextGeometryAndTheWindowTree) {
    HWND top = CreateWindowExW(0, u"Recorder", u"Title", WS_POPUP | WS_BORDER, 100, 50, 300, 200, nullptr, nullptr,
                               nullptr, nullptr);
    HWND a = CreateWindowExW(0, u"Recorder", u"A", WS_CHILD, 10, 20, 30, 40, top, reinterpret_cast<HMENU>(1), nullptr, nullptr);
    HWND b = CreateWindowExW(0, u"Recorder", u"B", WS_CHILD, 0, 0, 5, 5, top, reinterpret_cast<HMENU>(2), nullptr, nullptr);
    char16_t text[16];
    EXPECT_EQ(GetWindowTextW(top, text, 16), 5);
    EXPECT_EQ(std::u16string(text), u"Title");
    EXPECT_EQ(GetWindowTextW(top, text, 3), 2) << "truncated to the buffer";
    EXPECT_EQ(std::u16string(text), u"Ti");

    RECT r;
    GetClientRect(top, &r);
    EXPECT_EQ(r.right, 298) << "a one-pixel border on each side";
    GetWindowRect(a, &r);
    EXPECT_EQ(r.left, 100 + 1 + 10);
    EXPECT_EQ(r.top, 50 + 1 + 20);
    POINT p{0, 0};
    ClientToScreen(a, &p);
    EXPECT_EQ(p.x, 111);
    ScreenToClient(top, &p);
    EXPECT_EQ(p.x, 10);
    EXPECT_EQ(p.y, 20);

    EXPECT_EQ(GetDlgItem(top, 2), b);
    EXPECT_EQ(GetDlgCtrlID(a), 1);
    EXPECT_EQ(GetParent(a), top);
    EXPECT_EQ(GetWindow(top, GW_CHILD), a) << "children keep the order of their creation";
    EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), b);
    EXPECT_TRUE(IsChild(top, b));
    SetWindowLongPtrW(a, GWLP_USERDATA, 1234);
    EXPECT_EQ(GetWindowLongPtrW(a, GWLP_USERDATA), 1234);
    EXPECT_TRUE(SetPropA(a, "Thing", reinterpret_cast<HANDLE>(5)));
    EXPECT_EQ(GetPropW(a, u"THING"), reinterpret_cast<HANDLE>(5));
    DestroyWindow(top);
}

TEST_F(WindowTest, PostedMessagesWaitForTheLoopAndQuitEndsIt) {
    HWND w = CreateWindowExW(0, u"Recorder", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    Log().Clear();
    PostMessageW(w, WM_USER, 1, 2);
    PostMessageW(w, WM_USER + 1, 3, 4);
    EXPECT_TRUE(Log().Names().empty());
    PostQuitMessage(9);
    MSG m;
    int dispatched = 0;
    while (GetMessageW(&m, nullptr, 0, 0)) {
        DispatchMessageW(&m);
        ++dispatched;
    }
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 9u);
    EXPECT_TRUE(SameMessages({"WM_USER", "0x401"}, Log().Names(w)));
    EXPECT_EQ(dispatched, 2);
    DestroyWindow(w);
}

TEST_F(WindowTest, SendingFromAnotherThreadIsAnsweredByTheOwner) {
    HWND w = CreateWindowExW(0, u"Recorder", u"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    Log().Clear();
    std::atomic<LRESULT> length{-1};
    std::thread other([&] { length = SendMessageW(w, WM_GETTEXTLENGTH, 0, 0); });
    // The owner answers while it waits for messages.
    MSG m;
    while (length == -1) {
        PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
        std::this_thread::yield();
    }
    other.join();
    EXPECT_EQ(length.load(), 5);
    DestroyWindow(w);
}

struct ThreadNumbers {
    DWORD own = 0;
    DWORD ofWindow = 0;
};

DWORD WINAPI MakeWindowAndNumber(LPVOID parameter) {
    auto* numbers = static_cast<ThreadNumbers*>(parameter);
    HWND w = CreateWindowExW(0, u"Recorder", u"t", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    numbers->own = GetCurrentThreadId();
    numbers->ofWindow = GetWindowThreadProcessId(w, nullptr);
    DestroyWindow(w);
    return 0;
}

TEST_F(WindowTest, AThreadHasOneNumberForItselfItsWindowsAndItsCreator) {
    HWND here = CreateWindowExW(0, u"Recorder", u"here", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DWORD process = 0;
    EXPECT_EQ(GetWindowThreadProcessId(here, &process), GetCurrentThreadId());
    EXPECT_EQ(process, GetCurrentProcessId());
    EXPECT_NE(GetCurrentThreadId(), 0u);

    ThreadNumbers numbers;
    DWORD created = 0;
    HANDLE thread = CreateThread(nullptr, 0, MakeWindowAndNumber, &numbers, 0, &created);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(numbers.own, created);
    EXPECT_EQ(numbers.ofWindow, created);
    EXPECT_NE(created, GetCurrentThreadId());

    // A thread the host made is numbered too, and apart from the others.
    DWORD hostThread = 0;
    std::thread([&] { hostThread = GetCurrentThreadId(); }).join();
    EXPECT_NE(hostThread, 0u);
    EXPECT_NE(hostThread, created);
    EXPECT_NE(hostThread, GetCurrentThreadId());
    EXPECT_EQ(GetWindowThreadProcessId(nullptr, nullptr), 0u);
    DestroyWindow(here);
}

TEST_F(WindowTest, SystemCursorsAreDistinctSharedAndTheDesktopHasOne) {
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    const HCURSOR hand = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND));
    const HCURSOR sizing = LoadCursorW(nullptr, IDC_SIZENWSE);
    ASSERT_NE(arrow, nullptr);
    ASSERT_NE(hand, nullptr);
    ASSERT_NE(sizing, nullptr);
    EXPECT_NE(arrow, hand);
    EXPECT_NE(arrow, sizing);
    EXPECT_NE(hand, sizing);
    EXPECT_EQ(LoadCursorW(nullptr, IDC_HAND), hand) << "the system's cursors are shared";

    // One pointer for the desktop: set on one thread, seen from another,
    // each call answering the one it replaced.
    const HCURSOR before = GetCursor();
    EXPECT_EQ(SetCursor(arrow), before);
    HCURSOR seen = nullptr, replaced = nullptr;
    std::thread([&] {
        seen = GetCursor();
        replaced = SetCursor(sizing);
    }).join();
    EXPECT_EQ(seen, arrow);
    EXPECT_EQ(replaced, arrow);
    EXPECT_EQ(GetCursor(), sizing);
    EXPECT_EQ(SetCursor(nullptr), sizing);
    EXPECT_EQ(GetCursor(), nullptr);
}

struct CursorAsk {
    HWND receiver;
    HWND under;
    int hit;
    UINT mouse;
};
std::vector<CursorAsk> g_cursorAsks;
BOOL g_parentChooses = FALSE;

LRESULT CALLBACK CursorParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETCURSOR) {
        g_cursorAsks.push_back({hwnd, reinterpret_cast<HWND>(wParam), static_cast<SHORT>(LOWORD(lParam)), HIWORD(lParam)});
        if (g_parentChooses) return TRUE;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(WindowTest, TheWindowUnderThePointerChoosesItsShapeBeforeEachMouseMessage) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = CursorParentProc;
    wc.lpszClassName = u"CursorParent";
    wc.style = 0;
    ASSERT_TRUE(RegisterClassExW(&wc));
    wc.lpszClassName = u"CursorChild";
    wc.hCursor = LoadCursorW(nullptr, IDC_HAND);
    ASSERT_TRUE(RegisterClassExW(&wc));
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW), hand = LoadCursorW(nullptr, IDC_HAND);
    HWND parent = CreateWindowExW(0, u"CursorParent", u"p", WS_POPUP | WS_VISIBLE | WS_BORDER, 100, 100, 200, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    HWND child = CreateWindowExW(0, u"CursorChild", u"c", WS_CHILD | WS_VISIBLE, 10, 10, 50, 50, parent, nullptr, nullptr,
                                 nullptr);
    g_cursorAsks.clear();
    g_parentChooses = FALSE;
    SetCursor(arrow);

    // Over the child: it is asked (hit code and mouse message in lParam),
    // its parent first, and the child's class cursor is shown.
    InjectMouseMove(POINT{100 + 1 + 20, 100 + 1 + 20});
    Pump();
    ASSERT_EQ(g_cursorAsks.size(), 2u);
    EXPECT_EQ(g_cursorAsks[0].receiver, child);
    EXPECT_EQ(g_cursorAsks[1].receiver, parent);
    for (const CursorAsk& a : g_cursorAsks) {
        EXPECT_EQ(a.under, child);
        EXPECT_EQ(a.hit, HTCLIENT);
        EXPECT_EQ(a.mouse, static_cast<UINT>(WM_MOUSEMOVE));
    }
    EXPECT_EQ(GetCursor(), hand);

    // A parent that chooses ends the question: the shape stays its choice.
    SetCursor(arrow);
    g_parentChooses = TRUE;
    g_cursorAsks.clear();
    InjectMouseButton(POINT{100 + 1 + 20, 100 + 1 + 20}, 0, true);
    InjectMouseButton(POINT{100 + 1 + 20, 100 + 1 + 20}, 0, false);
    Pump();
    ASSERT_EQ(g_cursorAsks.size(), 2u);
    EXPECT_EQ(g_cursorAsks[0].mouse, static_cast<UINT>(WM_LBUTTONDOWN));
    EXPECT_EQ(g_cursorAsks[1].mouse, static_cast<UINT>(WM_LBUTTONUP));
    EXPECT_EQ(GetCursor(), arrow);
    g_parentChooses = FALSE;

    // Over the parent's frame: the hit code of the frame, and the arrow
    // (the parent's class has no cursor of its own for its client area).
    SetCursor(hand);
    g_cursorAsks.clear();
    InjectMouseMove(POINT{100, 150});
    Pump();
    ASSERT_EQ(g_cursorAsks.size(), 1u);
    EXPECT_EQ(g_cursorAsks[0].under, parent);
    EXPECT_EQ(g_cursorAsks[0].hit, HTBORDER);
    EXPECT_EQ(GetCursor(), arrow);
    SetCursor(hand);
    InjectMouseMove(POINT{250, 150});  // the parent's client area: no class cursor, nothing chosen
    Pump();
    EXPECT_EQ(GetCursor(), hand);

    // A window holding the capture is not asked.
    SetCapture(child);
    g_cursorAsks.clear();
    InjectMouseMove(POINT{250, 150});
    Pump();
    EXPECT_TRUE(g_cursorAsks.empty());
    ReleaseCapture();
    DestroyWindow(parent);
}

std::atomic<int> g_userMessages{0};

LRESULT CALLBACK CountUser(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER) {
        ++g_userMessages;
        return 42;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(WindowTest, SendingWithATimeoutGivesUpOnABusyThreadAndNothingWaitsForAThreadThatEnded) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = CountUser;
    wc.lpszClassName = u"CountUser";
    ASSERT_NE(RegisterClassExW(&wc), 0);
    g_userMessages = 0;

    // A thread that made its window and then does not look for messages
    // until told to.
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> pump{false}, stop{false};
    std::thread owner([&] {
        window = CreateWindowExW(0, u"CountUser", u"busy", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        while (!pump) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        MSG m;
        while (!stop) {
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        DestroyWindow(window);
    });
    while (window == nullptr) std::this_thread::yield();

    DWORD_PTR answer = 7;
    const auto start = std::chrono::steady_clock::now();
    SetLastError(0);
    EXPECT_EQ(SendMessageTimeoutW(window, WM_USER, 0, 0, SMTO_NORMAL, 100, &answer), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(answer, 7u) << "no answer is written when none came";
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(3));

    // The message given up is not delivered later; a patient one is answered.
    pump = true;
    EXPECT_EQ(SendMessageTimeoutW(window, WM_USER, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer), 1);
    EXPECT_EQ(answer, 42u);
    EXPECT_EQ(g_userMessages.load(), 1);
    stop = true;
    owner.join();

    // A window whose thread ended without destroying it: sending fails at once.
    std::atomic<HWND> orphan{nullptr};
    std::thread([&] {
        orphan = CreateWindowExW(0, u"CountUser", u"orphan", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    }).join();
    ASSERT_NE(orphan.load(), nullptr);
    SetLastError(0);
    EXPECT_EQ(SendMessageW(orphan, WM_USER, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendMessageTimeoutW(orphan, WM_USER, 0, 0, SMTO_NORMAL, 60000, &answer), 0);
    EXPECT_EQ(g_userMessages.load(), 1);
}

TEST_F(WindowTest, TopmostIsSetAndClearedByTheZOrderAndLeavingItGoesUnderTheBand) {
    HWND a = CreateWindowExW(0, u"Recorder", u"a", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND b = CreateWindowExW(0, u"Recorder", u"b", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    const auto topmost = [](HWND h) { return (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; };
    EXPECT_FALSE(topmost(a));
    ASSERT_TRUE(SetWindowPos(a, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE));
    ASSERT_TRUE(SetWindowPos(b, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE));
    EXPECT_TRUE(topmost(a));
    EXPECT_TRUE(topmost(b));
    // SWP_NOZORDER leaves the band alone.
    SetWindowPos(a, HWND_NOTOPMOST, 5, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(topmost(a));
    // Leaving the band puts it under b, which stays topmost.
    SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(a, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(WindowFromPoint(POINT{6, 6}), a);
    SetWindowPos(a, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_FALSE(topmost(a));
    EXPECT_TRUE(topmost(b));
    EXPECT_EQ(WindowFromPoint(POINT{6, 6}), b);
    DestroyWindow(a);
    DestroyWindow(b);
}

TEST_F(WindowTest, TimersFollowThePlatformClock) {
    auto& kernel = qk::nt::Kernel::Get();
    kernel.TheClock().SetManual();
    HWND w = CreateWindowExW(0, u"Recorder", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(SetTimer(w, 101, 100, nullptr), 1u);
    Log().Clear();
    Pump();
    EXPECT_TRUE(Log().Names(w).empty()) << "not due yet";
    kernel.Advance(99 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(Log().Names(w).empty());
    kernel.Advance(1 * qk::nt::kMillisecond);
    Pump();
    ASSERT_TRUE(SameMessages({"WM_TIMER"}, Log().Names(w)));
    EXPECT_EQ(Log().Entries().back().wParam, 101u);
    // However long the loop was away, one WM_TIMER comes.
    Log().Clear();
    kernel.Advance(1000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(SameMessages({"WM_TIMER"}, Log().Names(w)));
    EXPECT_TRUE(KillTimer(w, 101));
    EXPECT_FALSE(KillTimer(w, 101));
    Log().Clear();
    kernel.Advance(1000 * qk::nt::kMillisecond);
    Pump();
    EXPECT_TRUE(Log().Names(w).empty());

    // A blocked GetMessage wakes when the clock reaches the timer.
    SetTimer(w, 5, 50, nullptr);
    std::thread mover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        kernel.Advance(50 * qk::nt::kMillisecond);
    });
    MSG m;
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    mover.join();
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 5u);
    DestroyWindow(w);
}

TEST_F(WindowTest, RegisteredMessagesAreSharedAndBroadcastsReachEveryTopLevelWindow) {
    const UINT a = RegisterWindowMessageA("Lumora camera settings changed");
    const UINT b = RegisterWindowMessageW(u"LUMORA CAMERA SETTINGS CHANGED");
    EXPECT_EQ(a, b);
    EXPECT_GE(a, 0xC000u);
    EXPECT_NE(RegisterWindowMessageA("WM_HKBUTTON_FUNCTION"), a);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);

    HWND one = CreateWindowExW(0, u"Recorder", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND two = CreateWindowExW(0, u"Recorder", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND child = CreateWindowExW(0, u"Recorder", u"", WS_CHILD, 0, 0, 1, 1, one, nullptr, nullptr, nullptr);
    // A window of another thread of the machine hears it too.
    std::atomic<bool> heard{false};
    std::atomic<HWND> third{nullptr};
    std::thread other([&] {
        third = CreateWindowExW(0, u"Recorder", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0)) {
            if (m.message == a) {
                heard = true;
                break;
            }
        }
        DestroyWindow(third);
    });
    while (!third) std::this_thread::yield();
    Log().Clear();
    DWORD recipients = BSM_APPLICATIONS;
    EXPECT_EQ(BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, a, 4, 0), 1);
    Pump();
    other.join();
    EXPECT_TRUE(heard);
    EXPECT_EQ(Log().Names(one).size(), 1u);
    EXPECT_EQ(Log().Names(two).size(), 1u);
    EXPECT_TRUE(Log().Names(child).empty()) << "children are not top-level windows";
    DestroyWindow(one);
    DestroyWindow(two);
}

TEST_F(WindowTest, HitTestsFollowWindowRegions) {
    HWND top = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 100, 100, 100, 100, nullptr, nullptr, nullptr,
                               nullptr);
    HWND child = CreateWindowExW(0, u"Recorder", u"", WS_CHILD | WS_VISIBLE, 10, 10, 20, 20, top, nullptr, nullptr, nullptr);
    EXPECT_EQ(WindowFromPoint(POINT{115, 115}), child);
    EXPECT_EQ(WindowFromPoint(POINT{150, 150}), top);
    EXPECT_EQ(WindowFromPoint(POINT{250, 150}), nullptr);
    // A round window: its corners are not part of it.
    SetWindowRgn(top, CreateEllipticRgn(0, 0, 100, 100), TRUE);
    EXPECT_EQ(WindowFromPoint(POINT{101, 101}), nullptr);
    EXPECT_EQ(WindowFromPoint(POINT{150, 101}), top);
    HRGN copy = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(GetWindowRgn(top, copy), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(copy, 50, 50));
    EXPECT_FALSE(PtInRegion(copy, 2, 2));
    DeleteObject(copy);
    DestroyWindow(top);
}

TEST_F(WindowTest, InputReachesTheWindowUnderThePointInClientCoordinates) {
    HWND top = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE | WS_BORDER, 100, 100, 100, 100, nullptr,
                               nullptr, nullptr, nullptr);
    HWND child = CreateWindowExW(0, u"Recorder", u"", WS_CHILD | WS_VISIBLE, 10, 10, 20, 20, top, nullptr, nullptr, nullptr);
    Pump();
    Log().Clear();
    InjectMouseButton(POINT{115, 116}, 0, true);
    InjectMouseButton(POINT{115, 116}, 0, false);
    SetFocus(child);
    InjectKey('A', true);
    InjectKey('A', false);
    Pump();
    const auto names = Log().Names(child, {WM_NCHITTEST, WM_SETFOCUS});
    // The pointer's shape is asked for as the input arrives, before the
    // mouse messages are taken.
    EXPECT_TRUE(SameMessages({"WM_SETCURSOR", "WM_SETCURSOR", "WM_LBUTTONDOWN", "WM_LBUTTONUP", "WM_KEYDOWN", "WM_CHAR", "WM_KEYUP"},
                             names));
    for (const Recorded& r : Log().Entries()) {
        if (r.message == WM_LBUTTONDOWN) {
            EXPECT_EQ(GET_X_LPARAM(r.lParam), 115 - 100 - 1 - 10);
            EXPECT_EQ(GET_Y_LPARAM(r.lParam), 116 - 100 - 1 - 10);
        }
        if (r.message == WM_CHAR) {
            EXPECT_EQ(r.wParam, static_cast<WPARAM>('a'));
        }
    }
    DestroyWindow(top);
}

// A window that holds its height at 150 or more while it is sized.
LRESULT CALLBACK AtLeast150(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZING) {
        auto* r = reinterpret_cast<RECT*>(lParam);
        if (r->bottom - r->top < 150) r->bottom = r->top + 150;
        return TRUE;
    }
    Log().Add(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class SystemCommandTest : public UiTest {
protected:
    HWND MakeWindow() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = AtLeast150;
        wc.lpszClassName = u"AtLeast150";
        RegisterClassExW(&wc);
        HWND hwnd = CreateWindowExW(0, u"AtLeast150", u"sized", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 300, 200,
                                    nullptr, nullptr, nullptr, nullptr);
        Pump();
        Log().Clear();
        return hwnd;
    }
    static RECT Rect(HWND hwnd) {
        RECT r;
        GetWindowRect(hwnd, &r);
        return r;
    }
};

TEST_F(SystemCommandTest, MinimisingKeepsThePlaceForTheRestore) {
    HWND hwnd = MakeWindow();
    EXPECT_FALSE(IsIconic(hwnd));
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(hwnd));
    EXPECT_TRUE(IsWindowVisible(hwnd)) << "a minimised window stays shown, as its icon";
    EXPECT_LT(Rect(hwnd).right, 0) << "and off the screen";
    bool minimisedSize = false;
    for (const auto& e : Log().Entries()) minimisedSize |= e.message == WM_SIZE && e.wParam == SIZE_MINIMIZED;
    EXPECT_TRUE(minimisedSize);
    // Minimising again changes nothing; restoring puts it back where it was.
    ShowWindow(hwnd, SW_MINIMIZE);
    Log().Clear();
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(IsIconic(hwnd));
    const RECT r = Rect(hwnd);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.right, 400);
    EXPECT_EQ(r.bottom, 300);
    bool restoredSize = false;
    for (const auto& e : Log().Entries()) restoredSize |= e.message == WM_SIZE && e.wParam == SIZE_RESTORED;
    EXPECT_TRUE(restoredSize);
    // Child windows are never minimised.
    HWND child = CreateWindowExW(0, u"AtLeast150", u"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, hwnd, nullptr, nullptr, nullptr);
    ShowWindow(child, SW_MINIMIZE);
    EXPECT_FALSE(IsIconic(child));
    DestroyWindow(hwnd);
}

TEST_F(SystemCommandTest, TheSizeLoopFollowsThePointerAsTheWindowAllowsAndEscapePutsItBack) {
    HWND hwnd = MakeWindow();
    // Pressed on the bottom edge, dragged up by 120 and down by 40: the
    // window holds its height at 150, then follows.
    InjectMouseMove(POINT{250, 299});
    InjectMouseButton(POINT{250, 299}, 0, true);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        InjectMouseMove(POINT{250, 179});
        InjectMouseMove(POINT{250, 339});
        InjectMouseButton(POINT{250, 339}, 0, false);
    });
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_SIZE | WMSZ_BOTTOM, 0);
    RECT r = Rect(hwnd);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.bottom, 340);
    EXPECT_EQ(r.right - r.left, 300) << "the bottom edge alone moves";
    EXPECT_EQ(GetCapture(), nullptr);
    std::vector<UINT> seen;
    for (const auto& e : Log().Entries()) {
        if (e.message == WM_ENTERSIZEMOVE || e.message == WM_EXITSIZEMOVE) seen.push_back(e.message);
    }
    EXPECT_EQ(seen, (std::vector<UINT>{WM_ENTERSIZEMOVE, WM_EXITSIZEMOVE}));

    // Moving by the caption, then Escape: back where it started.
    InjectMouseMove(POINT{150, 110});
    InjectMouseButton(POINT{150, 110}, 0, true);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        InjectMouseMove(POINT{200, 160});
        InjectKey(VK_ESCAPE, true);
        InjectKey(VK_ESCAPE, false);
    });
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_MOVE | 1, 0);
    r = Rect(hwnd);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 100);
    InjectMouseButton(POINT{150, 110}, 0, false);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);

    // Without the button held the command does nothing (no loop to end).
    SendMessageW(hwnd, WM_SYSCOMMAND, SC_MOVE | 2, 0);
    EXPECT_EQ(Rect(hwnd).left, 100);
    DestroyWindow(hwnd);
}

}  // namespace
}  // namespace qk::ui::testing
