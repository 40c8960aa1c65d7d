// The window system used from several threads at once, as the console uses
// it: a window belongs to its thread, but others move, show, enable, find,
// invalidate and read it, and GDI objects (stock objects, a shared picture)
// are drawn with on every thread. Run under ThreadSanitizer, these cases
// fail on any field read or written without its lock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/nt/testing/machine_test.h"
#include "platform/ui/presentation.h"
#include "windows.h"
#include "wingdi.h"
#include "winuser.h"

namespace {

using UiThreadTest = qk::testing::MachineTest;

constexpr uint32_t kGrey = 0x808080;  // GRAY_BRUSH
constexpr uint32_t kRed = 0xFF0000;

LRESULT CALLBACK GreyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(hdc, &r, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void RegisterGrey() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = GreyProc;
    wc.lpszClassName = u"QkThreadGrey";
    RegisterClassExW(&wc);
}

// A 16 x 16 red picture, one object for every window that shows it.
HBITMAP RedPicture() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 16;
    info.bmiHeader.biHeight = -16;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP b = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    auto* p = static_cast<uint32_t*>(bits);
    for (int i = 0; i < 16 * 16; ++i) p[i] = 0xFF000000u | kRed;
    return b;
}

HWND GreyWindowWithPicture(const char16_t* title, HBITMAP picture, HWND* pictureControl) {
    HWND top = CreateWindowExW(0, u"QkThreadGrey", title, WS_POPUP | WS_VISIBLE, 0, 0, 100, 80, nullptr, nullptr, nullptr,
                               nullptr);
    HWND image = CreateWindowExW(0, u"Static", nullptr, WS_CHILD | WS_VISIBLE | SS_BITMAP, 40, 30, 16, 16, top, nullptr,
                                 nullptr, nullptr);
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
    if (pictureControl) *pictureControl = image;
    return top;
}

void PumpUntil(const std::atomic<bool>& done) {
    MSG m;
    while (!done) {
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        std::this_thread::yield();
    }
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

TEST_F(UiThreadTest, AnotherThreadMovesShowsEnablesFindsAndReadsAWindowWhileItsOwnerPaints) {
    RegisterGrey();
    HBITMAP picture = RedPicture();
    HWND image = nullptr;
    HWND top = GreyWindowWithPicture(u"Watched", picture, &image);
    std::atomic<bool> done{false};
    std::atomic<int> found{0}, textRead{0}, badRects{0};
    constexpr int kRounds = 200;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            // A new width each time: the window's surface is made anew
            // while its owner may be drawing on the old one.
            SetWindowPos(top, nullptr, i % 7, 3, 100 + i % 5, 80, SWP_NOZORDER | SWP_NOACTIVATE);
            RECT r{};
            GetWindowRect(top, &r);
            if (r.right - r.left < 100 || r.right - r.left > 104 || r.bottom - r.top != 80) ++badRects;
            ShowWindow(image, i % 3 == 0 ? SW_HIDE : SW_SHOWNA);
            EnableWindow(image, i % 2);
            InvalidateRect(top, nullptr, TRUE);
            RedrawWindow(image, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
            if (FindWindowW(u"QkThreadGrey", u"Watched") == top && IsWindowVisible(top)) ++found;
            if (i % 25 == 0) {
                char16_t text[16] = {};
                if (GetWindowTextW(top, text, 16) == 7 && std::u16string(text) == u"Watched") ++textRead;
            }
        }
        ShowWindow(image, SW_SHOWNA);
        done = true;
    });
    PumpUntil(done);
    other.join();
    EXPECT_EQ(badRects.load(), 0);
    EXPECT_EQ(found.load(), kRounds);
    EXPECT_EQ(textRead.load(), kRounds / 25);
    RECT r{};
    GetWindowRect(top, &r);
    EXPECT_EQ(r.left, (kRounds - 1) % 7);
    EXPECT_EQ(r.right - r.left, 100 + (kRounds - 1) % 5);
    // Whatever was interrupted, the picture is whole once everything is drawn.
    InvalidateRect(top, nullptr, TRUE);
    const qk::ui::Picture p = qk::ui::CaptureWindow(top);
    ASSERT_EQ(p.width, r.right - r.left);
    EXPECT_EQ(p.At(2, 2), kGrey);
    EXPECT_EQ(p.At(48, 38), kRed);
    DestroyWindow(top);
    DeleteObject(picture);
}

TEST_F(UiThreadTest, OnePictureIsDrawnByWindowsOfTwoThreadsAtOnce) {
    RegisterGrey();
    HBITMAP picture = RedPicture();
    constexpr int kRounds = 300;
    std::atomic<int> wrong{0}, drawn{0}, ready{0};
    auto paintOften = [&](const char16_t* title) {
        HWND image = nullptr;
        HWND top = GreyWindowWithPicture(title, picture, &image);
        // Both start drawing together (answering what the other sends
        // meanwhile: activating its window deactivates this one).
        ++ready;
        MSG m;
        while (ready < 2) {
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            std::this_thread::yield();
        }
        for (int i = 0; i < kRounds; ++i) {
            InvalidateRect(image, nullptr, TRUE);
            const qk::ui::Picture p = qk::ui::CaptureWindow(image);
            ++drawn;
            // A picture another thread holds selected must still be drawn.
            if (p.width != 16 || p.At(0, 0) != kRed || p.At(15, 15) != kRed) ++wrong;
        }
        DestroyWindow(top);
    };
    std::thread a(paintOften, u"first");
    std::thread b(paintOften, u"second");
    a.join();
    b.join();
    EXPECT_EQ(drawn.load(), 2 * kRounds);
    EXPECT_EQ(wrong.load(), 0);
    // Drawn from and no longer selected anywhere, the picture can go.
    EXPECT_TRUE(DeleteObject(picture));
}

}  // namespace
