// What every window does by default: text, frames and scroll bars of the
// non-client area, erasing with the class brush, closing, the size and move
// notices after a position change, and the colours of the machine.
#include <algorithm>
#include <cstring>

#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

COLORREF SystemColor(int index) {
    // A light, plain scheme: the colours the gallery's pictures are checked against.
    switch (index) {
        case COLOR_WINDOW: return RGB(255, 255, 255);
        case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
        case COLOR_BTNFACE: return RGB(240, 240, 240);
        case COLOR_BTNSHADOW: return RGB(160, 160, 160);
        case COLOR_BTNHIGHLIGHT: return RGB(255, 255, 255);
        case COLOR_3DDKSHADOW: return RGB(105, 105, 105);
        case COLOR_3DLIGHT: return RGB(227, 227, 227);
        case COLOR_BTNTEXT: return RGB(0, 0, 0);
        case COLOR_GRAYTEXT: return RGB(109, 109, 109);
        case COLOR_HIGHLIGHT: return RGB(0, 120, 215);
        case COLOR_HIGHLIGHTTEXT: return RGB(255, 255, 255);
        case COLOR_ACTIVECAPTION: return RGB(153, 180, 209);
        case COLOR_INACTIVECAPTION: return RGB(191, 205, 219);
        case COLOR_CAPTIONTEXT: return RGB(0, 0, 0);
        case COLOR_INFOBK: return RGB(255, 255, 225);
        case COLOR_INFOTEXT: return RGB(0, 0, 0);
        case COLOR_SCROLLBAR: return RGB(200, 200, 200);
        case COLOR_WINDOWFRAME: return RGB(100, 100, 100);
        case COLOR_ACTIVEBORDER: return RGB(180, 180, 180);
        case COLOR_HOTLIGHT: return RGB(0, 102, 204);
        case COLOR_MENU: return RGB(240, 240, 240);
        case COLOR_MENUTEXT: return RGB(0, 0, 0);
        case COLOR_APPWORKSPACE: return RGB(171, 171, 171);
        case COLOR_BACKGROUND: return RGB(58, 110, 165);
        default: return RGB(240, 240, 240);
    }
}

HBRUSH ResolveBrush(HBRUSH brush) {
    // Class brushes may be given as a system colour index plus one.
    const ULONG_PTR v = reinterpret_cast<ULONG_PTR>(brush);
    if (v > 0 && v <= 31) return GetSysColorBrush(static_cast<int>(v - 1));
    return brush;
}

namespace {

}  // namespace

void DrawScrollBarTo(HDC hdc, const RECT& r, const ScrollBarState& s, bool vertical) {
    FillRect(hdc, &r, GetSysColorBrush(COLOR_SCROLLBAR));
    const LONG length = vertical ? r.bottom - r.top : r.right - r.left;
    const LONG thickness = vertical ? r.right - r.left : r.bottom - r.top;
    const LONG arrows = std::min<LONG>(thickness, length / 2);
    const LONG track = length - 2 * arrows;
    const int range = s.max - s.min + 1;
    RECT a1 = vertical ? RECT{r.left, r.top, r.right, r.top + arrows} : RECT{r.left, r.top, r.left + arrows, r.bottom};
    RECT a2 = vertical ? RECT{r.left, r.bottom - arrows, r.right, r.bottom}
                       : RECT{r.right - arrows, r.top, r.right, r.bottom};
    for (RECT* a : {&a1, &a2}) {
        FillRect(hdc, a, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(hdc, a, EDGE_RAISED, BF_RECT);
    }
    if (range <= 0 || track <= 8) return;
    const int page = std::max<int>(1, static_cast<int>(s.page));
    LONG thumb = std::max<LONG>(8, static_cast<LONG>(static_cast<int64_t>(track) * std::min(page, range) / range));
    const int span = std::max(1, range - page);
    const int pos = std::clamp(s.pos, s.min, s.min + span);
    const LONG at = arrows + static_cast<LONG>(static_cast<int64_t>(track - thumb) * (pos - s.min) / span);
    RECT t = vertical ? RECT{r.left, r.top + at, r.right, r.top + at + thumb}
                      : RECT{r.left + at, r.top, r.left + at + thumb, r.bottom};
    FillRect(hdc, &t, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(hdc, &t, EDGE_RAISED, BF_RECT);
}

namespace {

// The frame is drawn from a copy taken under the desktop's lock: other
// threads may change the window's style (EnableWindow) or text meanwhile.
struct FrameState {
    RECT client;
    RECT rect;
    DWORD style;
    DWORD exStyle;
    std::u16string text;
    ScrollBarState vscroll, hscroll;
};

void PaintFrame(HWND hwnd, Window& live) {
    FrameState w;
    {
        std::lock_guard guard(Desktop::Get().lock);
        w = FrameState{ClientRectInWindow(live), live.rect, live.style, live.exStyle, live.text, live.vscroll, live.hscroll};
    }
    HDC hdc = GetWindowDC(hwnd);
    const RECT client = w.client;
    const LONG width = w.rect.right - w.rect.left, height = w.rect.bottom - w.rect.top;
    RECT all{0, 0, width, height};
    if ((w.style & WS_THICKFRAME) || (w.style & WS_DLGFRAME) || (w.exStyle & WS_EX_DLGMODALFRAME)) {
        FillRect(hdc, &all, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(hdc, &all, EDGE_RAISED, BF_RECT);
    } else if (w.style & WS_BORDER) {
        FrameRect(hdc, &all, GetSysColorBrush(COLOR_WINDOWFRAME));
    }
    if (w.exStyle & WS_EX_CLIENTEDGE) {
        RECT edge{client.left - 2, client.top - 2, client.right + 2 + (w.vscroll.shown ? kScrollBarWidth : 0),
                  client.bottom + 2 + (w.hscroll.shown ? kScrollBarWidth : 0)};
        DrawEdge(hdc, &edge, EDGE_SUNKEN, BF_RECT);
    }
    if ((w.style & WS_CAPTION) == WS_CAPTION) {
        const RECT frame{client.left, 0, client.right, client.top};
        RECT caption{frame.left, std::max<LONG>(0, client.top - kCaptionHeight), frame.right, client.top};
        SetDCBrushColor(hdc, SystemColor(hwnd == GetActiveWindow() ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION));
        FillRect(hdc, &caption, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        LOGFONTW lf{};
        lf.lfHeight = -12;
        lf.lfWeight = FW_BOLD;
        HFONT bold = CreateFontIndirectW(&lf);
        HGDIOBJ old = SelectObject(hdc, bold);
        SetBkMode(hdc, TRANSPARENT);
        SetTextColor(hdc, SystemColor(COLOR_CAPTIONTEXT));
        RECT text = caption;
        text.left += 6;
        DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        SelectObject(hdc, old);
        DeleteObject(bold);
    }
    if (w.vscroll.shown) {
        DrawScrollBarTo(hdc, RECT{client.right, client.top, client.right + kScrollBarWidth, client.bottom}, w.vscroll, true);
    }
    if (w.hscroll.shown) {
        DrawScrollBarTo(hdc, RECT{client.left, client.bottom, client.right, client.bottom + kScrollBarWidth}, w.hscroll,
                      false);
    }
    ReleaseDC(hwnd, hdc);
}

// Which part of the window a screen point is over.
LRESULT HitTest(Window& w, POINT screen) {
    RECT wr;
    GetWindowRect(w.handle, &wr);
    const POINT p{screen.x - wr.left, screen.y - wr.top};
    if (p.x < 0 || p.y < 0 || p.x >= wr.right - wr.left || p.y >= wr.bottom - wr.top) return HTNOWHERE;
    std::lock_guard guard(Desktop::Get().lock);  // another thread may move it or show its bars
    const RECT c = ClientRectInWindow(w);
    if (p.x >= c.left && p.x < c.right && p.y >= c.top && p.y < c.bottom) return HTCLIENT;
    if (w.vscroll.shown && p.x >= c.right && p.x < c.right + kScrollBarWidth && p.y >= c.top && p.y < c.bottom) {
        return HTVSCROLL;
    }
    if (w.hscroll.shown && p.y >= c.bottom && p.y < c.bottom + kScrollBarWidth) return HTHSCROLL;
    if ((w.style & WS_CAPTION) == WS_CAPTION && p.y < c.top && p.y >= c.top - kCaptionHeight) return HTCAPTION;
    return HTBORDER;
}

// A click on a scroll bar of the frame: arrows step a line, the track a page,
// the thumb follows the mouse until the button goes up.
void ScrollBarClick(HWND hwnd, Window& w, bool vertical, POINT screen) {
    RECT wr;
    GetWindowRect(hwnd, &wr);
    RECT c;
    ScrollBarState s;  // a copy: another thread may set the bar's range meanwhile
    {
        std::lock_guard guard(Desktop::Get().lock);
        c = ClientRectInWindow(w);
        s = vertical ? w.vscroll : w.hscroll;
    }
    const LONG along = vertical ? screen.y - wr.top - c.top : screen.x - wr.left - c.left;
    const LONG length = vertical ? c.bottom - c.top : c.right - c.left;
    const LONG arrows = std::min<LONG>(kScrollBarWidth, length / 2);
    const UINT message = vertical ? WM_VSCROLL : WM_HSCROLL;
    WPARAM code;
    if (along < arrows) {
        code = SB_LINEUP;
    } else if (along >= length - arrows) {
        code = SB_LINEDOWN;
    } else {
        const LONG track = length - 2 * arrows;
        const int range = s.max - s.min + 1;
        const int page = std::max<int>(1, static_cast<int>(s.page));
        const LONG thumb = std::max<LONG>(8, range > 0 ? static_cast<LONG>(static_cast<int64_t>(track) * std::min(page, range) / range) : track);
        const int span = std::max(1, range - page);
        const LONG at = arrows + static_cast<LONG>(static_cast<int64_t>(track - thumb) * (std::clamp(s.pos, s.min, s.min + span) - s.min) / span);
        if (along < at) {
            code = SB_PAGEUP;
        } else if (along >= at + thumb) {
            code = SB_PAGEDOWN;
        } else {
            code = SB_THUMBTRACK;
        }
        if (code == SB_THUMBTRACK) {
            const int target = s.min + static_cast<int>(static_cast<int64_t>(along - arrows - thumb / 2) * span / std::max<LONG>(1, track - thumb));
            const int pos = std::clamp(target, s.min, s.min + span);
            SendMessageW(hwnd, message, MAKEWPARAM(SB_THUMBTRACK, pos), 0);
            SendMessageW(hwnd, message, MAKEWPARAM(SB_THUMBPOSITION, pos), 0);
            SendMessageW(hwnd, message, SB_ENDSCROLL, 0);
            return;
        }
    }
    SendMessageW(hwnd, message, code, 0);
    SendMessageW(hwnd, message, SB_ENDSCROLL, 0);
}

// The system's move and size loop: while the left button is held, the
// window follows the pointer (its edge `edge`, or all of it for 0), asking
// the window through WM_MOVING/WM_SIZING; releasing ends it, Escape puts
// the window back. Messages for other windows are dispatched meanwhile.
void MoveOrSize(HWND hwnd, int edge) {
    if (GetKeyState(VK_LBUTTON) >= 0 || IsIconic(hwnd)) return;
    RECT start;
    POINT origin;
    GetWindowRect(hwnd, &start);
    GetCursorPos(&origin);
    SetCapture(hwnd);
    SendMessageW(hwnd, WM_ENTERSIZEMOVE, 0, 0);
    bool cancelled = false;
    MSG msg;
    while (IsWindow(hwnd) && GetCapture() == hwnd) {
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (msg.message == WM_MOUSEMOVE || msg.message == WM_LBUTTONUP) {
            const int dx = msg.pt.x - origin.x, dy = msg.pt.y - origin.y;
            RECT r = start;
            if (edge == 0) {
                OffsetRect(&r, dx, dy);
                SendMessageW(hwnd, WM_MOVING, 0, reinterpret_cast<LPARAM>(&r));
            } else {
                if (edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT) r.left += dx;
                if (edge == WMSZ_RIGHT || edge == WMSZ_TOPRIGHT || edge == WMSZ_BOTTOMRIGHT) r.right += dx;
                if (edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT) r.top += dy;
                if (edge == WMSZ_BOTTOM || edge == WMSZ_BOTTOMLEFT || edge == WMSZ_BOTTOMRIGHT) r.bottom += dy;
                SendMessageW(hwnd, WM_SIZING, static_cast<WPARAM>(edge), reinterpret_cast<LPARAM>(&r));
                r.right = std::max(r.right, r.left + 1);
                r.bottom = std::max(r.bottom, r.top + 1);
            }
            SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                         SWP_NOZORDER | SWP_NOACTIVATE | (edge == 0 ? SWP_NOSIZE : 0));
            if (msg.message == WM_LBUTTONUP) break;
            continue;
        }
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_ESCAPE || msg.wParam == VK_RETURN)) {
            cancelled = msg.wParam == VK_ESCAPE;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (cancelled && IsWindow(hwnd)) {
        SetWindowPos(hwnd, nullptr, start.left, start.top, start.right - start.left, start.bottom - start.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (GetCapture() == hwnd) ReleaseCapture();
    if (IsWindow(hwnd)) SendMessageW(hwnd, WM_EXITSIZEMOVE, 0, 0);
}

}  // namespace

}  // namespace qk::ui

using namespace qk::ui;

DWORD GetSysColor(int index) { return SystemColor(index); }

HBRUSH GetSysColorBrush(int index) {
    static HBRUSH brushes[32] = {};
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < 32; ++i) brushes[i] = CreateSolidBrush(SystemColor(i));
    });
    return (index >= 0 && index < 32) ? brushes[index] : nullptr;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Desktop& d = Desktop::Get();
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) return 0;
    }
    switch (message) {
        case WM_NCCREATE: {
            auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            std::lock_guard guard(d.lock);  // FindWindow reads the text from any thread
            if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) w->text = cs->lpszName;
            if (w->style & WS_VSCROLL) w->vscroll.shown = true;
            if (w->style & WS_HSCROLL) w->hscroll.shown = true;
            return TRUE;
        }
        case WM_NCCALCSIZE: return 0;
        case WM_SETTEXT: {
            {
                std::lock_guard guard(d.lock);
                w->text = lParam ? reinterpret_cast<LPCWSTR>(lParam) : u"";
                w->ncDirty = true;
            }
            if ((w->style & WS_CAPTION) == WS_CAPTION) InvalidateRect(hwnd, nullptr, FALSE);
            return TRUE;
        }
        case WM_GETTEXT: {
            if (wParam == 0 || !lParam) return 0;
            auto* out = reinterpret_cast<LPWSTR>(lParam);
            const size_t n = std::min<size_t>(wParam - 1, w->text.size());
            std::memcpy(out, w->text.data(), n * sizeof(char16_t));
            out[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
        case WM_SETFONT:
            {
                std::lock_guard guard(d.lock);  // a DC made on another thread (GetDC) takes it
                w->font = reinterpret_cast<HFONT>(wParam);
            }
            if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
        case WM_NCPAINT: PaintFrame(hwnd, *w); return 0;
        case WM_ERASEBKGND: {
            HBRUSH brush = ResolveBrush(w->cls->background);
            if (!brush) return 0;
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
            return 1;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_CLOSE: DestroyWindow(hwnd); return 0;
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_MINIMIZE: ShowWindow(hwnd, SW_MINIMIZE); return 0;
                case SC_RESTORE: ShowWindow(hwnd, SW_RESTORE); return 0;
                case SC_CLOSE: SendMessageW(hwnd, WM_CLOSE, 0, 0); return 0;
                case SC_MOVE: MoveOrSize(hwnd, 0); return 0;
                case SC_SIZE: MoveOrSize(hwnd, (wParam & 0xF) != 0 ? static_cast<int>(wParam & 0xF) : WMSZ_BOTTOMRIGHT); return 0;
                default: return 0;
            }
        case WM_WINDOWPOSCHANGED: {
            auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
            RECT c, rect;
            {
                // Another thread may move the window again meanwhile.
                std::lock_guard guard(d.lock);
                c = ClientRectInWindow(*w);
                rect = w->rect;
                if (pos && !(pos->flags & SWP_NOSIZE)) w->ncDirty = true;
            }
            if (pos && !(pos->flags & SWP_NOSIZE)) {
                if (IsIconic(hwnd)) {
                    SendMessageW(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
                } else {
                    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(c.right - c.left, c.bottom - c.top));
                }
            }
            if (pos && !(pos->flags & SWP_NOMOVE)) SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(rect.left + c.left, rect.top + c.top));
            return 0;
        }
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORSCROLLBAR:
            SetTextColor(reinterpret_cast<HDC>(wParam), SystemColor(COLOR_WINDOWTEXT));
            SetBkColor(reinterpret_cast<HDC>(wParam), SystemColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
            SetTextColor(reinterpret_cast<HDC>(wParam), SystemColor(COLOR_WINDOWTEXT));
            SetBkColor(reinterpret_cast<HDC>(wParam), SystemColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        case WM_NCHITTEST: return HitTest(*w, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        case WM_NCLBUTTONDOWN:
            if (wParam == HTVSCROLL || wParam == HTHSCROLL) {
                ScrollBarClick(hwnd, *w, wParam == HTVSCROLL, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            }
            return 0;
        case WM_MOUSEWHEEL:
            // Unhandled turns of the wheel go up to the parent.
            if (w->parent) return SendMessageW(w->parent->handle, message, wParam, lParam);
            return 0;
        case WM_MOUSEACTIVATE: return MA_ACTIVATE;
        case WM_SETCURSOR: {
            // A child's parent chooses first; then the window under the
            // pointer (wParam) shows its class's cursor in its client area
            // and the arrow over a frame.
            HWND parent = nullptr;
            HCURSOR classCursor = nullptr;
            {
                std::lock_guard guard(d.lock);
                if (w->parent) parent = w->parent->handle;
                if (Window* under = d.Find(reinterpret_cast<HWND>(wParam))) classCursor = under->cls->cursor;
            }
            if (parent && SendMessageW(parent, WM_SETCURSOR, wParam, lParam)) return TRUE;
            const SHORT hit = static_cast<SHORT>(LOWORD(lParam));
            if (hit == HTCLIENT) {
                if (!classCursor) return FALSE;
                SetCursor(classCursor);
                return TRUE;
            }
            if (hit == HTERROR || hit == HTNOWHERE || hit == HTTRANSPARENT) return FALSE;
            SetCursor(LoadCursorW(nullptr, hit == HTTOPLEFT || hit == HTBOTTOMRIGHT ? IDC_SIZENWSE : IDC_ARROW));
            return TRUE;
        }
        case WM_GETDLGCODE: return 0;
        default: return 0;
    }
}

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    brush = ResolveBrush(brush);
    if (!rect || !brush) return 0;
    if (FillRectDirect(hdc, *rect, brush)) return 1;
    HGDIOBJ oldBrush = SelectObject(hdc, brush);
    HGDIOBJ oldPen = SelectObject(hdc, GetStockObject(NULL_PEN));
    if (!oldBrush) return 0;
    Rectangle(hdc, rect->left, rect->top, rect->right, rect->bottom);
    SelectObject(hdc, oldPen);
    SelectObject(hdc, oldBrush);
    return 1;
}

int FrameRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    if (!rect || RectEmpty(*rect)) return 0;
    const RECT sides[] = {{rect->left, rect->top, rect->right, rect->top + 1},
                          {rect->left, rect->bottom - 1, rect->right, rect->bottom},
                          {rect->left, rect->top, rect->left + 1, rect->bottom},
                          {rect->right - 1, rect->top, rect->right, rect->bottom}};
    for (const RECT& s : sides) FillRect(hdc, &s, brush);
    return 1;
}

BOOL DrawFocusRect(HDC hdc, const RECT* rect) {
    if (!rect) return FALSE;
    HPEN pen = CreatePen(PS_DOT, 1, RGB(0, 0, 0));
    HGDIOBJ oldPen = SelectObject(hdc, pen);
    HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(NULL_BRUSH));
    Rectangle(hdc, rect->left, rect->top, rect->right, rect->bottom);
    SelectObject(hdc, oldBrush);
    SelectObject(hdc, oldPen);
    DeleteObject(pen);
    return TRUE;
}

BOOL DrawEdge(HDC hdc, LPRECT rect, UINT edge, UINT flags) {
    if (!rect) return FALSE;
    RECT r = *rect;
    auto line = [&](COLORREF topLeft, COLORREF bottomRight) {
        SetDCBrushColor(hdc, topLeft);
        HBRUSH dcBrush = static_cast<HBRUSH>(GetStockObject(DC_BRUSH));
        if (flags & BF_TOP) {
            RECT s{r.left, r.top, r.right, r.top + 1};
            FillRect(hdc, &s, dcBrush);
        }
        if (flags & BF_LEFT) {
            RECT s{r.left, r.top, r.left + 1, r.bottom};
            FillRect(hdc, &s, dcBrush);
        }
        SetDCBrushColor(hdc, bottomRight);
        if (flags & BF_BOTTOM) {
            RECT s{r.left, r.bottom - 1, r.right, r.bottom};
            FillRect(hdc, &s, dcBrush);
        }
        if (flags & BF_RIGHT) {
            RECT s{r.right - 1, r.top, r.right, r.bottom};
            FillRect(hdc, &s, dcBrush);
        }
        if (flags & BF_LEFT) ++r.left;
        if (flags & BF_TOP) ++r.top;
        if (flags & BF_RIGHT) --r.right;
        if (flags & BF_BOTTOM) --r.bottom;
    };
    if (edge & BDR_RAISEDOUTER) line(SystemColor(COLOR_3DLIGHT), SystemColor(COLOR_3DDKSHADOW));
    if (edge & BDR_SUNKENOUTER) line(SystemColor(COLOR_BTNSHADOW), SystemColor(COLOR_BTNHIGHLIGHT));
    if (edge & BDR_RAISEDINNER) line(SystemColor(COLOR_BTNHIGHLIGHT), SystemColor(COLOR_BTNSHADOW));
    if (edge & BDR_SUNKENINNER) line(SystemColor(COLOR_3DDKSHADOW), SystemColor(COLOR_3DLIGHT));
    if (flags & BF_ADJUST) *rect = r;
    return TRUE;
}

int DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) {
    if (!text || !rect) return 0;
    std::u16string s = count < 0 ? std::u16string(text) : std::u16string(text, static_cast<size_t>(count));
    // "&" marks the mnemonic; it is not drawn (the underline is left out).
    std::u16string shown;
    if (!(format & DT_NOPREFIX)) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == u'&' && i + 1 < s.size()) {
                if (s[i + 1] == u'&') shown.push_back(u'&');
                ++i;
                if (s[i] != u'&') shown.push_back(s[i]);
                continue;
            }
            shown.push_back(s[i]);
        }
    } else {
        shown = s;
    }
    TEXTMETRICW tm;
    GetTextMetricsW(hdc, &tm);
    const LONG lineHeight = tm.tmHeight;
    const LONG width = rect->right - rect->left;
    // Lines: explicit breaks, and word wrapping within the width when asked.
    std::vector<std::u16string> lines;
    auto extent = [&](const std::u16string& t) {
        SIZE sz;
        GetTextExtentPoint32W(hdc, t.c_str(), static_cast<int>(t.size()), &sz);
        return sz.cx;
    };
    if (format & DT_SINGLELINE) {
        std::u16string one;
        for (char16_t c : shown) one.push_back(c == u'\n' || c == u'\r' ? u' ' : c);
        lines.push_back(one);
    } else {
        size_t start = 0;
        while (start <= shown.size()) {
            size_t end = shown.find(u'\n', start);
            if (end == std::u16string::npos) end = shown.size();
            std::u16string paragraph = shown.substr(start, end - start);
            if (!paragraph.empty() && paragraph.back() == u'\r') paragraph.pop_back();
            if (!(format & DT_WORDBREAK)) {
                lines.push_back(paragraph);
            } else {
                std::u16string current;
                size_t i = 0;
                while (i < paragraph.size()) {
                    size_t wordEnd = paragraph.find(u' ', i);
                    if (wordEnd == std::u16string::npos) wordEnd = paragraph.size();
                    const std::u16string word = paragraph.substr(i, wordEnd - i);
                    const std::u16string tryLine = current.empty() ? word : current + u" " + word;
                    if (!current.empty() && extent(tryLine) > width) {
                        lines.push_back(current);
                        current = word;
                    } else {
                        current = tryLine;
                    }
                    i = wordEnd + 1;
                }
                lines.push_back(current);
            }
            start = end + 1;
        }
    }
    LONG widest = 0;
    for (const auto& l : lines) widest = std::max(widest, extent(l));
    const LONG total = lineHeight * static_cast<LONG>(lines.size());
    if (format & DT_CALCRECT) {
        rect->right = rect->left + widest;
        rect->bottom = rect->top + total;
        return total;
    }
    LONG y = rect->top;
    if (format & DT_SINGLELINE) {
        if (format & DT_VCENTER) y = rect->top + (rect->bottom - rect->top - lineHeight) / 2;
        if (format & DT_BOTTOM) y = rect->bottom - lineHeight;
    }
    const int saved = SaveDC(hdc);
    if (!(format & DT_NOCLIP)) IntersectClipRect(hdc, rect->left, rect->top, rect->right, rect->bottom);
    for (std::u16string line : lines) {
        if ((format & DT_END_ELLIPSIS) && extent(line) > width) {
            while (!line.empty() && extent(line + u"...") > width) line.pop_back();
            line += u"...";
        }
        const LONG w = extent(line);
        LONG x = rect->left;
        if (format & DT_CENTER) x = rect->left + (width - w) / 2;
        if (format & DT_RIGHT) x = rect->right - w;
        TextOutW(hdc, x, y, line.c_str(), static_cast<int>(line.size()));
        y += lineHeight;
    }
    RestoreDC(hdc, saved);
    return total;
}

int DrawTextA(HDC hdc, LPCSTR text, int count, LPRECT rect, UINT format) {
    const std::u16string wide = Widen(text ? text : "", count);
    return DrawTextW(hdc, wide.c_str(), static_cast<int>(wide.size()), rect, format);
}

HWND SetFocus(HWND hwnd) {
    Desktop& d = Desktop::Get();
    HWND previous;
    {
        std::lock_guard guard(d.lock);
        previous = d.focus;
        if (hwnd && !d.Find(hwnd)) return nullptr;
        if (previous == hwnd) return previous;
        d.focus = hwnd;
    }
    if (previous && IsWindow(previous)) SendMessageW(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    if (hwnd && IsWindow(hwnd)) SendMessageW(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND GetFocus() {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.focus;
}

HWND SetActiveWindow(HWND hwnd) {
    Desktop& d = Desktop::Get();
    HWND previous;
    {
        std::lock_guard guard(d.lock);
        previous = d.active;
        if (previous == hwnd) return previous;
        d.active = hwnd;
    }
    if (previous && IsWindow(previous)) SendMessageW(previous, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
    if (hwnd && IsWindow(hwnd)) SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(previous));
    return previous;
}

HWND GetActiveWindow() {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.active;
}

BOOL SetForegroundWindow(HWND hwnd) { return SetActiveWindow(hwnd) != hwnd || hwnd == GetActiveWindow(); }
HWND GetForegroundWindow() { return GetActiveWindow(); }

HWND SetCapture(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    HWND previous = d.capture;
    d.capture = hwnd;
    return previous;
}

BOOL ReleaseCapture() {
    Desktop& d = Desktop::Get();
    HWND previous;
    {
        std::lock_guard guard(d.lock);
        previous = d.capture;
        d.capture = nullptr;
    }
    if (previous && IsWindow(previous)) SendMessageW(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture() {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.capture;
}

SHORT GetKeyState(int virtualKey) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    if (virtualKey < 0 || virtualKey > 255) return 0;
    return static_cast<SHORT>((d.keys[virtualKey] & 0x80) ? 0x8000 : 0) | (d.keys[virtualKey] & 1);
}

SHORT GetAsyncKeyState(int virtualKey) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    if (virtualKey < 0 || virtualKey > 255) return 0;
    return static_cast<SHORT>((d.asyncKeys[virtualKey] & 0x80) ? 0x8000 : 0);
}

BOOL GetCursorPos(LPPOINT point) {
    if (!point) return FALSE;
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    *point = d.cursor;
    return TRUE;
}

int GetSystemMetrics(int index) {
    // The machine's desktop and the frame metrics of this window system.
    switch (index) {
        case SM_CXSCREEN: return 1280;
        case SM_CYSCREEN: return 1024;
        case SM_CXVSCROLL:
        case SM_CYHSCROLL: return kScrollBarWidth;
        case SM_CYCAPTION: return kCaptionHeight;
        case SM_CXBORDER:
        case SM_CYBORDER: return 1;
        case SM_CXICON:
        case SM_CYICON: return 32;
        case SM_CXSMICON:
        case SM_CYSMICON: return 16;
        default: return 0;
    }
}
