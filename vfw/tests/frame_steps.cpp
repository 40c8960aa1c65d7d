#include "vfw/tests/frame_steps.h"

#include "commctrl.h"
#include "platform/olepro/olepro.h"
#include "platform/olepro/tests/frame_driver.h"

namespace k0340vfw::testing {

using qk::olepro::testing::PageHolding;

void WhenTheFrameShows(std::function<void()> step) { qk::olepro::testing::WhenTheFrameShows(std::move(step)); }

FrameSeen LookAtTheFrame() {
    FrameSeen seen;
    HWND frame = GetActiveWindow();
    if (frame == nullptr) return seen;
    RECT r{};
    GetWindowRect(frame, &r);
    seen.left = r.left;
    seen.top = r.top;
    char16_t text[128] = {};
    GetWindowTextW(frame, text, 128);
    seen.caption = text;
    seen.tabs = static_cast<int>(SendMessageW(GetDlgItem(frame, qk::olepro::kFrameTab), TCM_GETITEMCOUNT, 0, 0));
    return seen;
}

SliderMove MoveTheFirstSlider(long current) {
    SliderMove move;
    HWND page = PageHolding(GetActiveWindow(), qk::olepro::kSliderBase);
    if (page == nullptr) return move;
    HWND slider = GetDlgItem(page, qk::olepro::kSliderBase);
    move.minimum = static_cast<long>(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0));
    move.maximum = static_cast<long>(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0));
    move.target = current == move.maximum ? move.minimum : move.maximum;
    SendMessageW(slider, TBM_SETPOS, TRUE, move.target);
    SendMessageW(page, WM_HSCROLL, TB_THUMBPOSITION, reinterpret_cast<LPARAM>(slider));
    move.moved = true;
    return move;
}

void ChooseTheNextSize(long* width, long* height) {
    *width = *height = 0;
    HWND page = PageHolding(GetActiveWindow(), qk::olepro::kSizeCombo);
    if (page == nullptr) return;
    HWND sizes = GetDlgItem(page, qk::olepro::kSizeCombo);
    const LRESULT count = SendMessageW(sizes, CB_GETCOUNT, 0, 0);
    if (count < 2) return;
    const LRESULT next = (SendMessageW(sizes, CB_GETCURSEL, 0, 0) + 1) % count;
    SendMessageW(sizes, CB_SETCURSEL, next, 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(qk::olepro::kSizeCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(sizes));
    char16_t text[32] = {};
    SendMessageW(sizes, CB_GETLBTEXT, next, reinterpret_cast<LPARAM>(text));
    const char16_t* c = text;
    for (; *c >= u'0' && *c <= u'9'; ++c) *width = *width * 10 + (*c - u'0');
    while (*c == u' ' || *c == u'x') ++c;
    for (; *c >= u'0' && *c <= u'9'; ++c) *height = *height * 10 + (*c - u'0');
}

void Press(bool ok) {
    const int button = ok ? IDOK : IDCANCEL;
    SendMessageW(GetActiveWindow(), WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

}  // namespace k0340vfw::testing
