#include "platform/ui/tests/ui_test.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace qk::ui::testing {

std::string MessageName(UINT message) {
    static const std::map<UINT, const char*> names = {
        {WM_CREATE, "WM_CREATE"}, {WM_DESTROY, "WM_DESTROY"}, {WM_MOVE, "WM_MOVE"}, {WM_SIZE, "WM_SIZE"},
        {WM_ACTIVATE, "WM_ACTIVATE"}, {WM_SETFOCUS, "WM_SETFOCUS"}, {WM_KILLFOCUS, "WM_KILLFOCUS"},
        {WM_ENABLE, "WM_ENABLE"}, {WM_SETTEXT, "WM_SETTEXT"}, {WM_GETTEXT, "WM_GETTEXT"}, {WM_PAINT, "WM_PAINT"},
        {WM_CLOSE, "WM_CLOSE"}, {WM_QUIT, "WM_QUIT"}, {WM_ERASEBKGND, "WM_ERASEBKGND"},
        {WM_SHOWWINDOW, "WM_SHOWWINDOW"}, {WM_SETFONT, "WM_SETFONT"}, {WM_WINDOWPOSCHANGING, "WM_WINDOWPOSCHANGING"},
        {WM_WINDOWPOSCHANGED, "WM_WINDOWPOSCHANGED"}, {WM_NCCREATE, "WM_NCCREATE"}, {WM_NCDESTROY, "WM_NCDESTROY"},
        {WM_NCCALCSIZE, "WM_NCCALCSIZE"}, {WM_NCPAINT, "WM_NCPAINT"}, {WM_NCHITTEST, "WM_NCHITTEST"},
        {WM_KEYDOWN, "WM_KEYDOWN"}, {WM_KEYUP, "WM_KEYUP"}, {WM_CHAR, "WM_CHAR"}, {WM_INITDIALOG, "WM_INITDIALOG"},
        {WM_COMMAND, "WM_COMMAND"}, {WM_TIMER, "WM_TIMER"}, {WM_HSCROLL, "WM_HSCROLL"}, {WM_VSCROLL, "WM_VSCROLL"},
        {WM_MOUSEMOVE, "WM_MOUSEMOVE"}, {WM_LBUTTONDOWN, "WM_LBUTTONDOWN"}, {WM_LBUTTONUP, "WM_LBUTTONUP"},
        {WM_PARENTNOTIFY, "WM_PARENTNOTIFY"}, {WM_MOUSEWHEEL, "WM_MOUSEWHEEL"}, {WM_CTLCOLORSTATIC, "WM_CTLCOLORSTATIC"},
        {WM_CTLCOLORBTN, "WM_CTLCOLORBTN"}, {WM_CTLCOLOREDIT, "WM_CTLCOLOREDIT"}, {WM_CTLCOLORDLG, "WM_CTLCOLORDLG"},
        {WM_GETDLGCODE, "WM_GETDLGCODE"}, {WM_SETCURSOR, "WM_SETCURSOR"}, {WM_NOTIFY, "WM_NOTIFY"}, {WM_USER, "WM_USER"},
    };
    auto it = names.find(message);
    if (it != names.end()) return it->second;
    std::ostringstream s;
    s << "0x" << std::hex << message;
    return s.str();
}

std::vector<std::string> MessageLog::Names(HWND hwnd, std::vector<UINT> ignore) const {
    std::vector<std::string> out;
    for (const Recorded& r : entries_) {
        if (hwnd && r.hwnd != hwnd) continue;
        if (std::find(ignore.begin(), ignore.end(), r.message) != ignore.end()) continue;
        out.push_back(MessageName(r.message));
    }
    return out;
}

MessageLog& Log() {
    static MessageLog log;
    return log;
}

namespace {

LRESULT RecorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Log().Add(hwnd, message, wParam, lParam);
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hwnd, &ps);
        const COLORREF colour = static_cast<COLORREF>(reinterpret_cast<ULONG_PTR>(GetPropW(hwnd, u"colour")));
        if (GetPropW(hwnd, u"has colour")) {
            HBRUSH brush = CreateSolidBrush(colour);
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(hdc, &r, brush);
            DeleteObject(brush);
        }
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

void RegisterRecorder() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecorderProc;
    wc.lpszClassName = u"Recorder";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    RegisterClassExW(&wc);
}

void SetRecorderColour(HWND hwnd, COLORREF colour) {
    SetPropW(hwnd, u"colour", reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(colour)));
    SetPropW(hwnd, u"has colour", reinterpret_cast<HANDLE>(1));
    InvalidateRect(hwnd, nullptr, TRUE);
}

::testing::AssertionResult SameMessages(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    std::ostringstream s;
    s << "\n  expected                     actual\n";
    for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        const std::string e = i < expected.size() ? expected[i] : "-";
        const std::string a = i < actual.size() ? actual[i] : "-";
        s << (e == a ? "  " : "! ") << e << std::string(e.size() < 29 ? 29 - e.size() : 1, ' ') << a << "\n";
    }
    return ::testing::AssertionFailure() << s.str();
}

void Pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

}  // namespace qk::ui::testing
