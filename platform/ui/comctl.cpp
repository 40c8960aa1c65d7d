// The list, combo and scroll-bar controls of user32 and the common
// controls of comctl32 the console uses: track bars, up-down controls, tab
// controls, tooltips and list views; and the scroll bars of windows.
// State and painting are kept apart as in the other controls.
#include <algorithm>
#include <cstring>

#include "commctrl.h"
#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

namespace {

template <typename T>
T& StateOf(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w->control) w->control = std::make_shared<T>();
    return *static_cast<T*>(w->control.get());
}

Window* Get(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.Find(hwnd);
}

HWND ParentOf(HWND hwnd) {
    Window* w = Get(hwnd);
    return (w && w->parent) ? w->parent->handle : nullptr;
}

void Command(HWND hwnd, WORD code) {
    Window* w = Get(hwnd);
    if (w && w->parent) SendMessageW(w->parent->handle, WM_COMMAND, MAKEWPARAM(w->id, code), reinterpret_cast<LPARAM>(hwnd));
}

LRESULT Notify(HWND hwnd, UINT code, NMHDR* header = nullptr) {
    Window* w = Get(hwnd);
    if (!w || !w->parent) return 0;
    NMHDR local{};
    NMHDR* h = header ? header : &local;
    h->hwndFrom = hwnd;
    h->idFrom = w->id;
    h->code = code;
    return SendMessageW(w->parent->handle, WM_NOTIFY, w->id, reinterpret_cast<LPARAM>(h));
}

HBRUSH Background(HWND hwnd, HDC hdc, UINT message) {
    HWND parent = ParentOf(hwnd);
    LRESULT r = parent ? SendMessageW(parent, message, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd)) : 0;
    if (!r) r = DefWindowProcW(hwnd, message, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd));
    return reinterpret_cast<HBRUSH>(r);
}

void SelectFont(HWND hwnd, HDC hdc) {
    Window* w = Get(hwnd);
    SelectObject(hdc, w && w->font ? static_cast<HGDIOBJ>(w->font) : GetStockObject(DEFAULT_GUI_FONT));
}

template <typename Paint>
LRESULT PaintWith(HWND hwnd, Paint paint) {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hwnd, &ps);
    SelectFont(hwnd, hdc);
    paint(hdc);
    EndPaint(hwnd, &ps);
    return 0;
}

bool Enabled(HWND hwnd) { return !(GetWindowLongW(hwnd, GWL_STYLE) & WS_DISABLED); }

// ---- Track bars -------------------------------------------------------------------------

struct TrackState {
    int min = 0, max = 100, pos = 0, line = 1, page = 20;
    bool dragging = false;
    bool focused = false;
};

constexpr int kThumbWidth = 11;

RECT TrackChannel(const RECT& r, bool vertical) {
    if (vertical) return RECT{r.left + (r.right - r.left) / 2 - 2, r.top + 8, r.left + (r.right - r.left) / 2 + 2, r.bottom - 8};
    return RECT{r.left + 8, r.top + (r.bottom - r.top) / 2 - 2, r.right - 8, r.top + (r.bottom - r.top) / 2 + 2};
}

int ThumbCentre(const TrackState& s, const RECT& channel, bool vertical) {
    const int span = std::max(1, s.max - s.min);
    const int length = vertical ? channel.bottom - channel.top : channel.right - channel.left;
    const int offset = static_cast<int>(static_cast<int64_t>(length) * (s.pos - s.min) / span);
    return (vertical ? channel.top : channel.left) + offset;
}

void PaintTrack(HWND hwnd, HDC hdc) {
    TrackState& s = StateOf<TrackState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const bool vertical = (GetWindowLongW(hwnd, GWL_STYLE) & TBS_VERT) != 0;
    if (HBRUSH b = Background(hwnd, hdc, WM_CTLCOLORSTATIC)) FillRect(hdc, &r, b);
    RECT channel = TrackChannel(r, vertical);
    DrawEdge(hdc, &channel, EDGE_SUNKEN, BF_RECT);
    const int c = ThumbCentre(s, channel, vertical);
    RECT thumb = vertical ? RECT{r.left + 2, c - kThumbWidth / 2 + 1, r.right - 2, c + kThumbWidth / 2}
                          : RECT{c - kThumbWidth / 2, r.top + 2, c + kThumbWidth / 2 + 1, r.bottom - 2};
    FillRect(hdc, &thumb, GetSysColorBrush(Enabled(hwnd) ? COLOR_BTNFACE : COLOR_3DLIGHT));
    DrawEdge(hdc, &thumb, EDGE_RAISED, BF_RECT);
    if (s.focused) {
        RECT f = r;
        InflateRect(&f, -1, -1);
        DrawFocusRect(hdc, &f);
    }
}

void TrackScroll(HWND hwnd, WORD code, int pos) {
    const bool vertical = (GetWindowLongW(hwnd, GWL_STYLE) & TBS_VERT) != 0;
    if (HWND parent = ParentOf(hwnd)) {
        SendMessageW(parent, vertical ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(hwnd));
    }
}

void TrackMoveTo(HWND hwnd, int pos) {
    TrackState& s = StateOf<TrackState>(hwnd);
    const int clamped = std::clamp(pos, s.min, s.max);
    if (clamped != s.pos) {
        s.pos = clamped;
        InvalidateRect(hwnd, nullptr, TRUE);
    }
}

int TrackPositionAt(HWND hwnd, POINT p) {
    TrackState& s = StateOf<TrackState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const bool vertical = (GetWindowLongW(hwnd, GWL_STYLE) & TBS_VERT) != 0;
    const RECT channel = TrackChannel(r, vertical);
    const int length = std::max<LONG>(1, vertical ? channel.bottom - channel.top : channel.right - channel.left);
    const int along = vertical ? p.y - channel.top : p.x - channel.left;
    return s.min + static_cast<int>((static_cast<int64_t>(along) * (s.max - s.min) + length / 2) / length);
}

LRESULT TrackProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: return PaintWith(hwnd, [&](HDC hdc) { PaintTrack(hwnd, hdc); });
        case WM_ERASEBKGND: return 1;
        case TBM_GETPOS: return StateOf<TrackState>(hwnd).pos;
        case TBM_GETRANGEMIN: return StateOf<TrackState>(hwnd).min;
        case TBM_GETRANGEMAX: return StateOf<TrackState>(hwnd).max;
        case TBM_SETPOS: TrackMoveTo(hwnd, static_cast<int>(lParam)); return 0;
        case TBM_SETRANGE: {
            TrackState& s = StateOf<TrackState>(hwnd);
            s.min = static_cast<SHORT>(LOWORD(lParam));
            s.max = static_cast<SHORT>(HIWORD(lParam));
            s.pos = std::clamp(s.pos, s.min, std::max(s.min, s.max));
            if (wParam) InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        }
        case TBM_SETRANGEMIN:
        case TBM_SETRANGEMAX: {
            TrackState& s = StateOf<TrackState>(hwnd);
            (message == TBM_SETRANGEMIN ? s.min : s.max) = static_cast<int>(lParam);
            s.pos = std::clamp(s.pos, s.min, std::max(s.min, s.max));
            if (wParam) InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        }
        case TBM_SETPAGESIZE: return std::exchange(StateOf<TrackState>(hwnd).page, static_cast<int>(lParam));
        case TBM_GETPAGESIZE: return StateOf<TrackState>(hwnd).page;
        case TBM_SETLINESIZE: return std::exchange(StateOf<TrackState>(hwnd).line, static_cast<int>(lParam));
        case TBM_GETLINESIZE: return StateOf<TrackState>(hwnd).line;
        case WM_LBUTTONDOWN: {
            SetFocus(hwnd);
            TrackState& s = StateOf<TrackState>(hwnd);
            const POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            RECT r;
            GetClientRect(hwnd, &r);
            const bool vertical = (GetWindowLongW(hwnd, GWL_STYLE) & TBS_VERT) != 0;
            const int c = ThumbCentre(s, TrackChannel(r, vertical), vertical);
            const int at = vertical ? p.y : p.x;
            if (std::abs(at - c) <= kThumbWidth / 2) {
                s.dragging = true;
                SetCapture(hwnd);
            } else {
                // A click beside the thumb moves it by a page towards the click.
                TrackMoveTo(hwnd, s.pos + (at < c ? -s.page : s.page));
                TrackScroll(hwnd, at < c ? TB_PAGEUP : TB_PAGEDOWN, 0);
                TrackScroll(hwnd, TB_ENDTRACK, 0);
            }
            return 0;
        }
        case WM_MOUSEMOVE: {
            TrackState& s = StateOf<TrackState>(hwnd);
            if (!s.dragging) return 0;
            TrackMoveTo(hwnd, TrackPositionAt(hwnd, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}));
            TrackScroll(hwnd, TB_THUMBTRACK, s.pos);
            return 0;
        }
        case WM_LBUTTONUP: {
            TrackState& s = StateOf<TrackState>(hwnd);
            if (!s.dragging) return 0;
            s.dragging = false;
            ReleaseCapture();
            TrackMoveTo(hwnd, TrackPositionAt(hwnd, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}));
            TrackScroll(hwnd, TB_THUMBPOSITION, s.pos);
            TrackScroll(hwnd, TB_ENDTRACK, 0);
            return 0;
        }
        case WM_KEYDOWN: {
            TrackState& s = StateOf<TrackState>(hwnd);
            int target = s.pos;
            WORD code;
            switch (wParam) {
                case VK_LEFT:
                case VK_UP: target -= s.line; code = TB_LINEUP; break;
                case VK_RIGHT:
                case VK_DOWN: target += s.line; code = TB_LINEDOWN; break;
                case VK_PRIOR: target -= s.page; code = TB_PAGEUP; break;
                case VK_NEXT: target += s.page; code = TB_PAGEDOWN; break;
                case VK_HOME: target = s.min; code = TB_TOP; break;
                case VK_END: target = s.max; code = TB_BOTTOM; break;
                default: return 0;
            }
            TrackMoveTo(hwnd, target);
            TrackScroll(hwnd, code, 0);
            return 0;
        }
        case WM_KEYUP:
            if (wParam == VK_LEFT || wParam == VK_RIGHT || wParam == VK_UP || wParam == VK_DOWN || wParam == VK_PRIOR ||
                wParam == VK_NEXT || wParam == VK_HOME || wParam == VK_END) {
                TrackScroll(hwnd, TB_ENDTRACK, 0);
            }
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            StateOf<TrackState>(hwnd).focused = message == WM_SETFOCUS;
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_GETDLGCODE: return DLGC_WANTARROWS;
        case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- List boxes and combo boxes --------------------------------------------------------

struct ListState {
    std::vector<std::u16string> items;
    std::vector<LPARAM> data;
    int selection = -1;
    int top = 0;
    bool focused = false;
    // Combo boxes: the dropped list, the item lit in it and the height the
    // template gave (the box's own line and the list below it).
    HWND dropped = nullptr;
    int hot = -1;
    int templateHeight = 0;
};

int ItemHeight() {
    int height = 0;
    AverageCharWidth(nullptr, &height);
    return height + 2;
}

LRESULT ListMessages(HWND hwnd, ListState& s, UINT message, WPARAM wParam, LPARAM lParam, bool combo, bool* handled) {
    *handled = true;
    const int count = static_cast<int>(s.items.size());
    auto text = [&](LPARAM p) { return p ? std::u16string(reinterpret_cast<LPCWSTR>(p)) : std::u16string(); };
    const UINT add = combo ? CB_ADDSTRING : LB_ADDSTRING, insert = combo ? CB_INSERTSTRING : LB_INSERTSTRING,
               del = combo ? CB_DELETESTRING : LB_DELETESTRING, reset = combo ? CB_RESETCONTENT : LB_RESETCONTENT,
               getCount = combo ? CB_GETCOUNT : LB_GETCOUNT, setSel = combo ? CB_SETCURSEL : LB_SETCURSEL,
               getSel = combo ? CB_GETCURSEL : LB_GETCURSEL, getText = combo ? CB_GETLBTEXT : LB_GETTEXT,
               getLen = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, getData = combo ? CB_GETITEMDATA : LB_GETITEMDATA,
               setData = combo ? CB_SETITEMDATA : LB_SETITEMDATA, findExact = combo ? CB_FINDSTRINGEXACT : LB_FINDSTRINGEXACT;
    const LRESULT err = combo ? CB_ERR : LB_ERR;
    if (message == add) {
        s.items.push_back(text(lParam));
        s.data.push_back(0);
        InvalidateRect(hwnd, nullptr, TRUE);
        return count;
    }
    if (message == insert) {
        const int at = static_cast<int>(static_cast<INT_PTR>(wParam));
        const int where = (at < 0 || at > count) ? count : at;
        s.items.insert(s.items.begin() + where, text(lParam));
        s.data.insert(s.data.begin() + where, 0);
        if (s.selection >= where) ++s.selection;
        InvalidateRect(hwnd, nullptr, TRUE);
        return where;
    }
    if (message == del) {
        if (wParam >= static_cast<WPARAM>(count)) return err;
        s.items.erase(s.items.begin() + static_cast<long>(wParam));
        s.data.erase(s.data.begin() + static_cast<long>(wParam));
        if (s.selection == static_cast<int>(wParam)) s.selection = -1;
        else if (s.selection > static_cast<int>(wParam)) --s.selection;
        InvalidateRect(hwnd, nullptr, TRUE);
        return count - 1;
    }
    if (message == reset) {
        s.items.clear();
        s.data.clear();
        s.selection = -1;
        s.top = 0;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    if (message == getCount) return count;
    if (message == setSel) {
        const int at = static_cast<int>(static_cast<INT_PTR>(wParam));
        s.selection = (at >= 0 && at < count) ? at : -1;
        InvalidateRect(hwnd, nullptr, TRUE);
        return (at >= 0 && at < count) ? at : err;
    }
    if (message == getSel) return s.selection;
    if (message == getText || message == getLen) {
        if (wParam >= static_cast<WPARAM>(count)) return err;
        const std::u16string& t = s.items[wParam];
        if (message == getText && lParam) {
            std::memcpy(reinterpret_cast<LPWSTR>(lParam), t.c_str(), (t.size() + 1) * sizeof(char16_t));
        }
        return static_cast<LRESULT>(t.size());
    }
    if (message == getData) return wParam < static_cast<WPARAM>(count) ? s.data[wParam] : err;
    if (message == setData) {
        if (wParam >= static_cast<WPARAM>(count)) return err;
        s.data[wParam] = lParam;
        return TRUE;
    }
    if (message == findExact) {
        const std::u16string wanted = text(lParam);
        for (int i = 0; i < count; ++i) {
            if (s.items[i] == wanted) return i;
        }
        return err;
    }
    *handled = false;
    return 0;
}

void PaintList(HWND hwnd, HDC hdc) {
    ListState& s = StateOf<ListState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    if (HBRUSH b = Background(hwnd, hdc, WM_CTLCOLORLISTBOX)) FillRect(hdc, &r, b);
    SetBkMode(hdc, TRANSPARENT);
    const int h = ItemHeight();
    for (int i = s.top, y = 0; i < static_cast<int>(s.items.size()) && y < r.bottom; ++i, y += h) {
        RECT item{r.left, y, r.right, y + h};
        if (i == s.selection) {
            FillRect(hdc, &item, GetSysColorBrush(COLOR_HIGHLIGHT));
            SetTextColor(hdc, SystemColor(COLOR_HIGHLIGHTTEXT));
        } else {
            SetTextColor(hdc, SystemColor(Enabled(hwnd) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
        }
        RECT text = item;
        text.left += 2;
        DrawTextW(hdc, s.items[i].c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
}

// The first row shown of a scrolled list of `rows` rows, `lines` of which
// fit, after a scroll-bar request; `top` as it was for any other request.
int ScrolledTop(WPARAM request, int top, int lines, int rows) {
    switch (LOWORD(request)) {
        case SB_LINEUP: --top; break;
        case SB_LINEDOWN: ++top; break;
        case SB_PAGEUP: top -= std::max(1, lines); break;
        case SB_PAGEDOWN: top += std::max(1, lines); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: top = HIWORD(request); break;
        case SB_TOP: top = 0; break;
        case SB_BOTTOM: top = rows; break;
        default: break;
    }
    return std::clamp(top, 0, std::max(0, rows - lines));
}

// A list box keeps its scroll bar (WS_VSCROLL) in step with what it shows.
int ListLines(HWND hwnd) {
    RECT r;
    GetClientRect(hwnd, &r);
    return std::max<int>(1, r.bottom / ItemHeight());
}

void SyncListBar(HWND hwnd, ListState& s) {
    const int count = static_cast<int>(s.items.size()), lines = ListLines(hwnd);
    s.top = std::clamp(s.top, 0, std::max(0, count - lines));
    if (!(GetWindowLongW(hwnd, GWL_STYLE) & WS_VSCROLL)) return;
    SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, std::max(0, count - 1), static_cast<UINT>(lines), s.top, 0};
    SetScrollInfo(hwnd, SB_VERT, &si, TRUE);
}

void ShowListItem(HWND hwnd, ListState& s, int index) {
    const int lines = ListLines(hwnd);
    if (index < s.top) s.top = index;
    if (index >= s.top + lines) s.top = index - lines + 1;
}

LRESULT ListBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ListState& s = StateOf<ListState>(hwnd);
    bool handled;
    const LRESULT r = ListMessages(hwnd, s, message, wParam, lParam, false, &handled);
    if (handled) {
        if (message == LB_SETCURSEL && s.selection >= 0) ShowListItem(hwnd, s, s.selection);
        SyncListBar(hwnd, s);
        return r;
    }
    const bool notify = (GetWindowLongW(hwnd, GWL_STYLE) & LBS_NOTIFY) != 0;
    const int count = static_cast<int>(s.items.size());
    switch (message) {
        case WM_PAINT: return PaintWith(hwnd, [&](HDC hdc) { PaintList(hwnd, hdc); });
        case WM_ERASEBKGND: return 1;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            SetFocus(hwnd);
            const int at = s.top + GET_Y_LPARAM(lParam) / ItemHeight();
            if (at >= count) return 0;
            if (at != s.selection) {
                s.selection = at;
                InvalidateRect(hwnd, nullptr, TRUE);
                if (notify) Command(hwnd, LBN_SELCHANGE);
            }
            if (message == WM_LBUTTONDBLCLK && notify) Command(hwnd, LBN_DBLCLK);
            return 0;
        }
        case WM_KEYDOWN: {
            const int lines = ListLines(hwnd);
            int at = s.selection;
            if (wParam == VK_UP) at = std::max(0, at - 1);
            else if (wParam == VK_DOWN) at = std::min(count - 1, at + 1);
            else if (wParam == VK_PRIOR) at = std::max(0, at - lines);
            else if (wParam == VK_NEXT) at = std::min(count - 1, std::max(0, at) + lines);
            else if (wParam == VK_HOME) at = 0;
            else if (wParam == VK_END) at = count - 1;
            else return 0;
            if (at != s.selection && at >= 0) {
                s.selection = at;
                ShowListItem(hwnd, s, at);
                SyncListBar(hwnd, s);
                InvalidateRect(hwnd, nullptr, TRUE);
                if (notify) Command(hwnd, LBN_SELCHANGE);
            }
            return 0;
        }
        case WM_VSCROLL:
        case WM_MOUSEWHEEL: {
            const int lines = ListLines(hwnd);
            const int top = message == WM_VSCROLL
                                ? ScrolledTop(wParam, s.top, lines, count)
                                : std::clamp(s.top - static_cast<SHORT>(HIWORD(wParam)) / WHEEL_DELTA * 3, 0,
                                             std::max(0, count - lines));
            if (top != s.top) {
                s.top = top;
                InvalidateRect(hwnd, nullptr, TRUE);
            }
            SyncListBar(hwnd, s);
            return 0;
        }
        case WM_SIZE:
            SyncListBar(hwnd, s);
            return 0;
        case LB_GETTOPINDEX: return s.top;
        case LB_SETTOPINDEX:
            if (wParam >= static_cast<WPARAM>(std::max(count, 1))) return LB_ERR;
            s.top = static_cast<int>(wParam);
            SyncListBar(hwnd, s);
            InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// Combo boxes of the drop-down-list kind: the chosen item beside an arrow
// button. A click (or F4, or Alt+Down) drops the list below the box, a
// popup of its own over everything; the arrow keys step through the items
// with the list closed.
void PaintCombo(HWND hwnd, HDC hdc) {
    ListState& s = StateOf<ListState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const bool enabled = Enabled(hwnd);
    FillRect(hdc, &r, GetSysColorBrush(enabled ? COLOR_WINDOW : COLOR_BTNFACE));
    DrawEdge(hdc, &r, EDGE_SUNKEN, BF_RECT);
    RECT button{r.right - 2 - 15, r.top + 2, r.right - 2, r.bottom - 2};
    FillRect(hdc, &button, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(hdc, &button, EDGE_RAISED, BF_RECT);
    const LONG cx = (button.left + button.right) / 2, cy = (button.top + button.bottom) / 2;
    const POINT arrow[] = {{cx - 3, cy - 1}, {cx + 3, cy - 1}, {cx, cy + 2}};
    SetDCBrushColor(hdc, SystemColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    SetDCPenColor(hdc, SystemColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    HGDIOBJ oldPen = SelectObject(hdc, GetStockObject(DC_PEN));
    HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(DC_BRUSH));
    Polygon(hdc, arrow, 3);
    SelectObject(hdc, oldBrush);
    SelectObject(hdc, oldPen);
    if (s.selection >= 0 && s.selection < static_cast<int>(s.items.size())) {
        RECT text{r.left + 4, r.top + 2, button.left - 2, r.bottom - 2};
        if (s.focused) {
            FillRect(hdc, &text, GetSysColorBrush(COLOR_HIGHLIGHT));
            SetTextColor(hdc, SystemColor(COLOR_HIGHLIGHTTEXT));
        } else {
            SetTextColor(hdc, SystemColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
        }
        SetBkMode(hdc, TRANSPARENT);
        text.left += 1;
        DrawTextW(hdc, s.items[s.selection].c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
}

constexpr int kComboListBar = 15;  // the dropped list's scroll bar, when it has more items than lines

int DroppedLines(const ListState& s, HWND list) {
    RECT r;
    GetClientRect(list, &r);
    return std::max(1, static_cast<int>(r.bottom) / ItemHeight());
}

void KeepHotVisible(ListState& s, HWND list) {
    const int lines = DroppedLines(s, list);
    if (s.hot < 0) return;
    if (s.hot < s.top) s.top = s.hot;
    if (s.hot >= s.top + lines) s.top = s.hot - lines + 1;
    s.top = std::clamp(s.top, 0, std::max(0, static_cast<int>(s.items.size()) - lines));
}

void PaintDroppedList(HWND list, HWND combo, HDC hdc) {
    ListState& s = StateOf<ListState>(combo);
    RECT r;
    GetClientRect(list, &r);
    const int count = static_cast<int>(s.items.size());
    const int lines = DroppedLines(s, list);
    const bool bar = count > lines;
    RECT items = r;
    if (bar) items.right -= kComboListBar;
    FillRect(hdc, &items, GetSysColorBrush(COLOR_WINDOW));
    SelectFont(combo, hdc);
    SetBkMode(hdc, TRANSPARENT);
    const int h = ItemHeight();
    for (int i = s.top, y = 0; i < count && y < items.bottom; ++i, y += h) {
        RECT item{items.left, y, items.right, y + h};
        if (i == s.hot) {
            FillRect(hdc, &item, GetSysColorBrush(COLOR_HIGHLIGHT));
            SetTextColor(hdc, SystemColor(COLOR_HIGHLIGHTTEXT));
        } else {
            SetTextColor(hdc, SystemColor(COLOR_WINDOWTEXT));
        }
        RECT text = item;
        text.left += 3;
        DrawTextW(hdc, s.items[i].c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    if (bar) {
        ScrollBarState state{true, 0, count - 1, static_cast<UINT>(lines), s.top, s.top};
        DrawScrollBarTo(hdc, RECT{items.right, r.top, r.right, r.bottom}, state, true);
    }
}

void CloseDropped(HWND combo, bool accept) {
    ListState& s = StateOf<ListState>(combo);
    HWND list = s.dropped;
    if (!list) return;
    s.dropped = nullptr;  // first: releasing the capture calls back here
    const int chosen = s.hot;
    Command(combo, accept ? CBN_SELENDOK : CBN_SELENDCANCEL);
    if (GetCapture() == list) ReleaseCapture();
    DestroyWindow(list);
    InvalidateRect(combo, nullptr, FALSE);
    Command(combo, CBN_CLOSEUP);
    if (accept && chosen >= 0 && chosen < static_cast<int>(s.items.size()) && chosen != s.selection) {
        s.selection = chosen;
        InvalidateRect(combo, nullptr, TRUE);
        Command(combo, CBN_SELCHANGE);
    }
}

LRESULT DroppedListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND combo = reinterpret_cast<HWND>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!combo || !IsWindow(combo)) return DefWindowProcW(hwnd, message, wParam, lParam);
    ListState& s = StateOf<ListState>(combo);
    RECT r;
    GetClientRect(hwnd, &r);
    const POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    const bool inside = p.x >= 0 && p.y >= 0 && p.x < r.right && p.y < r.bottom;
    const int count = static_cast<int>(s.items.size());
    const int lines = DroppedLines(s, hwnd);
    const bool onBar = count > lines && p.x >= r.right - kComboListBar;
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(hwnd, &ps);
            PaintDroppedList(hwnd, combo, hdc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
        case WM_MOUSEMOVE:
            if (inside && !onBar) {
                const int at = std::min(count - 1, s.top + p.y / ItemHeight());
                if (at != s.hot) {
                    s.hot = at;
                    InvalidateRect(hwnd, nullptr, FALSE);
                }
            }
            return 0;
        case WM_LBUTTONDOWN:
            if (!inside) {
                CloseDropped(combo, false);  // a press anywhere else puts the list away
            } else if (onBar) {
                s.top = std::clamp(s.top + (p.y < r.bottom / 2 ? -lines : lines), 0, std::max(0, count - lines));
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        case WM_LBUTTONUP:
            // The release of the press that dropped the list lands on the box: not a choice.
            if (inside && !onBar) {
                s.hot = std::min(count - 1, s.top + p.y / ItemHeight());
                CloseDropped(combo, true);
            }
            return 0;
        case WM_MOUSEWHEEL:
            s.top = std::clamp(s.top - static_cast<SHORT>(HIWORD(wParam)) / WHEEL_DELTA * 3, 0, std::max(0, count - lines));
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_CAPTURECHANGED:
            if (s.dropped == hwnd) CloseDropped(combo, false);
            return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void DropList(HWND combo) {
    ListState& s = StateOf<ListState>(combo);
    if (s.dropped) return;
    // Classes belong to the machine's desktop: registered on each (again is refused, harmlessly).
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_SAVEBITS | CS_DBLCLKS;
    wc.lpfnWndProc = DroppedListProc;
    wc.lpszClassName = u"ComboLBox";
    RegisterClassExW(&wc);
    Command(combo, CBN_DROPDOWN);  // the owner may fill the list now
    RECT box;
    GetWindowRect(combo, &box);
    const int count = static_cast<int>(s.items.size());
    const int h = ItemHeight();
    // The template's height less the box's is the list's; at least one line.
    const int room = std::max(h, s.templateHeight - static_cast<int>(box.bottom - box.top));
    const int lines = std::clamp(room / h, 1, std::max(1, count));
    const int cx = box.right - box.left, cy = lines * h + 2;
    int top = box.bottom;
    if (top + cy > GetSystemMetrics(SM_CYSCREEN)) top = box.top - cy;  // above the box where the screen ends
    HWND owner = GetAncestor(combo, GA_ROOT);
    HWND list = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, u"ComboLBox", u"", WS_POPUP | WS_BORDER, box.left, top, cx, cy,
                                owner, nullptr, nullptr, nullptr);
    if (!list) return;
    SetWindowLongPtrW(list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(combo));
    s.dropped = list;
    s.hot = s.selection;
    KeepHotVisible(s, list);
    SetWindowPos(list, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOACTIVATE);
    SetCapture(list);
    InvalidateRect(combo, nullptr, FALSE);
}

LRESULT ComboProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ListState& s = StateOf<ListState>(hwnd);
    bool handled;
    const LRESULT r = ListMessages(hwnd, s, message, wParam, lParam, true, &handled);
    if (handled) {
        if (s.dropped) InvalidateRect(s.dropped, nullptr, FALSE);
        return r;
    }
    auto choose = [&](int at) {
        at = std::clamp(at, 0, static_cast<int>(s.items.size()) - 1);
        if (at == s.selection || s.items.empty()) return;
        s.selection = at;
        InvalidateRect(hwnd, nullptr, TRUE);
        Command(hwnd, CBN_SELCHANGE);
    };
    auto light = [&](int at) {
        if (s.items.empty()) return;
        s.hot = std::clamp(at, 0, static_cast<int>(s.items.size()) - 1);
        KeepHotVisible(s, s.dropped);
        InvalidateRect(s.dropped, nullptr, FALSE);
    };
    switch (message) {
        case WM_NCCREATE: {
            // WS_VSCROLL belongs to the dropped list, not to the box itself.
            const LRESULT r = DefWindowProcW(hwnd, message, wParam, lParam);
            if (Window* w = Get(hwnd)) w->vscroll.shown = false;
            return r;
        }
        case WM_CREATE: {
            // The control is as high as one line, whatever the template asked
            // (the template's height is that of the dropped list).
            RECT wr;
            GetWindowRect(hwnd, &wr);
            s.templateHeight = static_cast<int>(wr.bottom - wr.top);
            POINT origin{wr.left, wr.top};
            if (HWND parent = ParentOf(hwnd)) ScreenToClient(parent, &origin);
            SetWindowPos(hwnd, nullptr, origin.x, origin.y, wr.right - wr.left, ItemHeight() + 6,
                         SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
            return 0;
        }
        case WM_DESTROY:
            if (HWND list = s.dropped) {
                s.dropped = nullptr;
                DestroyWindow(list);
            }
            return 0;
        case WM_PAINT: return PaintWith(hwnd, [&](HDC hdc) { PaintCombo(hwnd, hdc); });
        case WM_ERASEBKGND: return 1;
        case WM_LBUTTONDOWN:
            SetFocus(hwnd);
            if (Enabled(hwnd)) DropList(hwnd);
            return 0;
        case WM_KEYDOWN:
            if (s.dropped) {
                if (wParam == VK_UP) light(s.hot - 1);
                if (wParam == VK_DOWN) light(s.hot + 1);
                if (wParam == VK_HOME) light(0);
                if (wParam == VK_END) light(static_cast<int>(s.items.size()) - 1);
                if (wParam == VK_RETURN || wParam == VK_F4) CloseDropped(hwnd, true);
                if (wParam == VK_ESCAPE) CloseDropped(hwnd, false);
                return 0;
            }
            if (wParam == VK_F4 || (wParam == VK_DOWN && GetKeyState(VK_MENU) < 0)) {
                DropList(hwnd);
                return 0;
            }
            if (wParam == VK_UP || wParam == VK_LEFT) choose(s.selection - 1);
            if (wParam == VK_DOWN || wParam == VK_RIGHT) choose(s.selection + 1);
            if (wParam == VK_HOME) choose(0);
            if (wParam == VK_END) choose(static_cast<int>(s.items.size()) - 1);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            s.focused = message == WM_SETFOCUS;
            if (message == WM_KILLFOCUS) CloseDropped(hwnd, false);
            InvalidateRect(hwnd, nullptr, FALSE);
            Command(hwnd, message == WM_SETFOCUS ? CBN_SETFOCUS : CBN_KILLFOCUS);
            return 0;
        case CB_GETDROPPEDSTATE: return s.dropped != nullptr;
        case CB_SHOWDROPDOWN:
            if (wParam) DropList(hwnd);
            else CloseDropped(hwnd, false);
            return TRUE;
        // While the list is down, Return and Escape choose or put it away
        // instead of ending the dialog.
        case WM_GETDLGCODE: return s.dropped ? DLGC_WANTALLKEYS | DLGC_WANTARROWS : DLGC_WANTARROWS;
        case WM_ENABLE:
            if (!wParam) CloseDropped(hwnd, false);
            InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Image lists ----------------------------------------------------------------------------

}  // namespace

}  // namespace qk::ui

// Each picture is a bitmap of its own, so that adding never moves the ones
// already drawn from and a failed add leaves the list as it was.
struct _IMAGELIST {
    int cx = 0, cy = 0;
    std::vector<HBITMAP> images;
};

namespace qk::ui {

namespace {

// The live lists: a destroyed or foreign handle is refused, not followed.
std::mutex imageListsLock;
std::set<HIMAGELIST> imageLists;

_IMAGELIST* ImageListOf(HIMAGELIST list) {
    std::lock_guard guard(imageListsLock);
    return imageLists.count(list) ? list : nullptr;
}

HBITMAP NewImage(int cx, int cy) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = cx;
    info.bmiHeader.biHeight = -cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
}

// ---- List views (icon mode: labelled cells; report, list and small-icon modes: rows) ----------

struct ListViewState {
    std::vector<std::u16string> items;
    std::vector<int> images;  // the item's picture in the image lists, or I_IMAGENONE
    int selection = -1;
    HIMAGELIST normal = nullptr;  // icon mode
    HIMAGELIST small = nullptr;   // the row modes
    int top = 0;                  // the first row shown (of cells in icon mode)
};

bool IconMode(HWND hwnd) { return (GetWindowLongW(hwnd, GWL_STYLE) & LVS_TYPEMASK) == LVS_ICON; }

SIZE ImageSize(HIMAGELIST list) {
    SIZE size{0, 0};
    int cx = 0, cy = 0;
    if (ImageList_GetIconSize(list, &cx, &cy)) size = {cx, cy};
    return size;
}

// Icon mode: a cell is the picture with room around it and one line of label
// below; without an image list the picture's place is a 32-pixel frame.
SIZE IconCell(const ListViewState& s) {
    SIZE picture = ImageSize(s.normal);
    if (picture.cx == 0) picture = {32, 32};
    return {std::max<LONG>(64, picture.cx + 16), picture.cy + 8 + ItemHeight() + 2};
}

int RowHeight(const ListViewState& s) { return std::max<int>(ItemHeight(), ImageSize(s.small).cy + 2); }

int ViewColumns(HWND hwnd, const ListViewState& s) {
    if (!IconMode(hwnd)) return 1;
    RECT r;
    GetClientRect(hwnd, &r);
    return std::max<int>(1, r.right / IconCell(s).cx);
}
int ViewRowHeight(HWND hwnd, const ListViewState& s) { return IconMode(hwnd) ? IconCell(s).cy : RowHeight(s); }
int ViewRows(HWND hwnd, const ListViewState& s) {
    const int columns = ViewColumns(hwnd, s);
    return (static_cast<int>(s.items.size()) + columns - 1) / columns;
}
int ViewLines(HWND hwnd, const ListViewState& s) {
    RECT r;
    GetClientRect(hwnd, &r);
    return std::max<int>(1, r.bottom / ViewRowHeight(hwnd, s));
}

RECT ItemRect(HWND hwnd, const ListViewState& s, int i) {
    RECT r;
    GetClientRect(hwnd, &r);
    const int columns = ViewColumns(hwnd, s), h = ViewRowHeight(hwnd, s);
    const int row = i / columns - s.top;
    if (!IconMode(hwnd)) return RECT{r.left, row * h, r.right, (row + 1) * h};
    const int cx = IconCell(s).cx, x = (i % columns) * cx;
    return RECT{x, row * h, x + cx, (row + 1) * h};
}

// The scroll bar shows while the rows overflow: showing it only ever narrows
// the view (more rows), hiding it only widens it, so the two never alternate.
void SyncViewBar(HWND hwnd, ListViewState& s) {
    const int rows = ViewRows(hwnd, s), lines = ViewLines(hwnd, s);
    s.top = std::clamp(s.top, 0, std::max(0, rows - lines));
    const bool need = rows > lines;
    SCROLLINFO current{sizeof current, SIF_ALL, 0, 0, 0, 0, 0};
    const bool shown = (GetWindowLongW(hwnd, GWL_STYLE) & WS_VSCROLL) != 0;
    if (need != shown) {
        SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) ^ WS_VSCROLL);
        ShowScrollBar(hwnd, SB_VERT, need);
        return;  // WM_SIZE comes back here with the new width
    }
    if (!need) return;
    GetScrollInfo(hwnd, SB_VERT, &current);
    SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, rows - 1, static_cast<UINT>(lines), s.top, 0};
    if (current.nMax != si.nMax || current.nPage != si.nPage || current.nPos != si.nPos) SetScrollInfo(hwnd, SB_VERT, &si, TRUE);
}

void ShowViewItem(HWND hwnd, ListViewState& s, int index) {
    const int row = index / ViewColumns(hwnd, s), lines = ViewLines(hwnd, s);
    if (row < s.top) s.top = row;
    if (row >= s.top + lines) s.top = row - lines + 1;
}

int ItemAt(HWND hwnd, const ListViewState& s, POINT p) {
    for (int i = s.top * ViewColumns(hwnd, s); i < static_cast<int>(s.items.size()); ++i) {
        const RECT r = ItemRect(hwnd, s, i);
        if (PtInRect(&r, p)) return i;
    }
    return -1;
}

bool HasImage(HIMAGELIST list, int index) { return list && index >= 0 && index < ImageList_GetImageCount(list); }

void PaintListView(HWND hwnd, const ListViewState& s, HDC hdc) {
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(hdc, &r, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(hdc, TRANSPARENT);
    const bool icons = IconMode(hwnd);
    for (int i = s.top * ViewColumns(hwnd, s); i < static_cast<int>(s.items.size()); ++i) {
        const RECT cell = ItemRect(hwnd, s, i);
        if (cell.top >= r.bottom) break;
        RECT label;
        if (icons) {
            SIZE picture = ImageSize(s.normal);
            if (picture.cx == 0) picture = {32, 32};
            const int x = cell.left + (cell.right - cell.left - picture.cx) / 2, y = cell.top + 4;
            if (HasImage(s.normal, s.images[i])) {
                ImageList_Draw(s.normal, s.images[i], hdc, x, y, ILD_NORMAL);
            } else {
                RECT frame{x, y, x + picture.cx, y + picture.cy};
                FrameRect(hdc, &frame, GetSysColorBrush(COLOR_BTNSHADOW));
            }
            label = RECT{cell.left + 2, y + picture.cy + 2, cell.right - 2, cell.bottom};
        } else {
            const SIZE picture = ImageSize(s.small);
            int x = cell.left + 2;
            if (picture.cx > 0) {
                if (HasImage(s.small, s.images[i])) {
                    ImageList_Draw(s.small, s.images[i], hdc, x, cell.top + (cell.bottom - cell.top - picture.cy) / 2,
                                   ILD_NORMAL);
                }
                x += picture.cx + 4;
            }
            label = RECT{x, cell.top, cell.right, cell.bottom};
        }
        if (i == s.selection) FillRect(hdc, &label, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(hdc, SystemColor(i == s.selection ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        RECT text = label;
        if (!icons) text.left += 2;
        DrawTextW(hdc, s.items[i].c_str(), -1, &text,
                  (icons ? DT_CENTER : DT_VCENTER) | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
}

LRESULT ListViewMessage(HWND hwnd, ListViewState& s, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ListViewState& s = StateOf<ListViewState>(hwnd);
    const LRESULT result = ListViewMessage(hwnd, s, message, wParam, lParam);
    switch (message) {
        case LVM_DELETEALLITEMS:
        case LVM_INSERTITEMW:
        case LVM_SETIMAGELIST:
        case LVM_SETITEMSTATE:
        case WM_SIZE:
            SyncViewBar(hwnd, s);
            break;
        default: break;
    }
    return result;
}

LRESULT ListViewMessage(HWND hwnd, ListViewState& s, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: return PaintWith(hwnd, [&](HDC hdc) { PaintListView(hwnd, s, hdc); });
        case WM_ERASEBKGND: return 1;
        case LVM_GETITEMCOUNT: return static_cast<LRESULT>(s.items.size());
        case LVM_DELETEALLITEMS:
            s.items.clear();
            s.images.clear();
            s.selection = -1;
            s.top = 0;
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        case LVM_INSERTITEMW: {
            auto* item = reinterpret_cast<const LVITEMW*>(lParam);
            if (!item) return -1;
            const int at = std::clamp(item->iItem, 0, static_cast<int>(s.items.size()));
            s.items.insert(s.items.begin() + at, (item->mask & LVIF_TEXT) && item->pszText ? item->pszText : u"");
            s.images.insert(s.images.begin() + at, (item->mask & LVIF_IMAGE) ? item->iImage : I_IMAGENONE);
            if (s.selection >= at) ++s.selection;
            InvalidateRect(hwnd, nullptr, TRUE);
            return at;
        }
        // The view draws from the lists it is given and never destroys them:
        // their owner does, after the view is done with them.
        case LVM_SETIMAGELIST: {
            HIMAGELIST list = reinterpret_cast<HIMAGELIST>(lParam);
            if (list && !ImageListOf(list)) return 0;
            HIMAGELIST* slot = wParam == LVSIL_NORMAL ? &s.normal : wParam == LVSIL_SMALL ? &s.small : nullptr;
            if (!slot) return 0;
            HIMAGELIST previous = *slot;
            *slot = list;
            InvalidateRect(hwnd, nullptr, TRUE);
            return reinterpret_cast<LRESULT>(previous);
        }
        case LVM_GETIMAGELIST:
            return reinterpret_cast<LRESULT>(wParam == LVSIL_NORMAL ? s.normal : wParam == LVSIL_SMALL ? s.small : nullptr);
        case LVM_GETITEMTEXTW: {
            auto* item = reinterpret_cast<LVITEMW*>(lParam);
            if (!item || wParam >= s.items.size() || !item->pszText || item->cchTextMax <= 0) return 0;
            const size_t n = std::min<size_t>(s.items[wParam].size(), item->cchTextMax - 1);
            std::memcpy(item->pszText, s.items[wParam].data(), n * sizeof(char16_t));
            item->pszText[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case LVM_SETITEMSTATE: {
            auto* item = reinterpret_cast<const LVITEMW*>(lParam);
            if (!item || !(item->stateMask & LVIS_SELECTED)) return FALSE;
            s.selection = (item->state & LVIS_SELECTED) ? static_cast<int>(wParam) : -1;
            if (s.selection >= 0 && s.selection < static_cast<int>(s.items.size())) ShowViewItem(hwnd, s, s.selection);
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        }
        case LVM_ENSUREVISIBLE:
            if (wParam >= s.items.size()) return FALSE;
            ShowViewItem(hwnd, s, static_cast<int>(wParam));
            SyncViewBar(hwnd, s);
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        case LVM_GETTOPINDEX: return static_cast<LRESULT>(s.top) * ViewColumns(hwnd, s);
        case WM_VSCROLL:
        case WM_MOUSEWHEEL: {
            const int rows = ViewRows(hwnd, s), lines = ViewLines(hwnd, s);
            const int top = message == WM_VSCROLL
                                ? ScrolledTop(wParam, s.top, lines, rows)
                                : std::clamp(s.top - static_cast<SHORT>(HIWORD(wParam)) / WHEEL_DELTA, 0,
                                             std::max(0, rows - lines));
            if (top != s.top) {
                s.top = top;
                InvalidateRect(hwnd, nullptr, TRUE);
            }
            SyncViewBar(hwnd, s);
            return 0;
        }
        case LVM_GETNEXTITEM: return (lParam & LVNI_SELECTED) ? s.selection : -1;
        case WM_LBUTTONDOWN: {
            SetFocus(hwnd);
            const int at = ItemAt(hwnd, s, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            if (at >= 0 && at != s.selection) {
                s.selection = at;
                InvalidateRect(hwnd, nullptr, TRUE);
                Notify(hwnd, LVN_ITEMCHANGED);
            }
            return 0;
        }
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Up-down controls ---------------------------------------------------------------------

struct UpDownState {
    int min = 100, max = 0, pos = 0;  // the control's own default range runs downwards
    HWND buddy = nullptr;
};

void UpDownShow(HWND hwnd, UpDownState& s) {
    if (s.buddy && (GetWindowLongW(hwnd, GWL_STYLE) & UDS_SETBUDDYINT)) SetDlgItemInt(GetParent(s.buddy), GetDlgCtrlID(s.buddy), s.pos, TRUE);
}

LRESULT UpDownProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    UpDownState& s = StateOf<UpDownState>(hwnd);
    switch (message) {
        case WM_CREATE:
            if (GetWindowLongW(hwnd, GWL_STYLE) & UDS_AUTOBUDDY) s.buddy = GetWindow(hwnd, GW_HWNDPREV);
            return 0;
        case WM_PAINT:
            return PaintWith(hwnd, [&](HDC hdc) {
                RECT r;
                GetClientRect(hwnd, &r);
                RECT up{0, 0, r.right, r.bottom / 2}, down{0, r.bottom / 2, r.right, r.bottom};
                for (RECT* b : {&up, &down}) {
                    FillRect(hdc, b, GetSysColorBrush(COLOR_BTNFACE));
                    DrawEdge(hdc, b, EDGE_RAISED, BF_RECT);
                }
            });
        case WM_ERASEBKGND: return 1;
        case UDM_SETRANGE: s.max = static_cast<SHORT>(LOWORD(lParam)); s.min = static_cast<SHORT>(HIWORD(lParam)); return 0;
        case UDM_SETRANGE32: s.min = static_cast<int>(wParam); s.max = static_cast<int>(lParam); return 0;
        case UDM_GETRANGE: return MAKELONG(static_cast<SHORT>(s.max), static_cast<SHORT>(s.min));
        case UDM_SETPOS:
        case UDM_SETPOS32: {
            const int previous = s.pos;
            s.pos = std::clamp(static_cast<int>(lParam), std::min(s.min, s.max), std::max(s.min, s.max));
            UpDownShow(hwnd, s);
            return previous;
        }
        case UDM_GETPOS:
        case UDM_GETPOS32: return s.pos;
        case UDM_SETBUDDY: return reinterpret_cast<LRESULT>(std::exchange(s.buddy, reinterpret_cast<HWND>(wParam)));
        case UDM_GETBUDDY: return reinterpret_cast<LRESULT>(s.buddy);
        case WM_LBUTTONDOWN: {
            RECT r;
            GetClientRect(hwnd, &r);
            const int direction = GET_Y_LPARAM(lParam) < r.bottom / 2 ? 1 : -1;
            const int delta = (s.max >= s.min ? 1 : -1) * direction;
            NMUPDOWN nm{{}, s.pos, delta};
            if (Notify(hwnd, UDN_DELTAPOS, &nm.hdr)) return 0;  // the parent refused
            const int next = std::clamp(s.pos + nm.iDelta, std::min(s.min, s.max), std::max(s.min, s.max));
            if (next != s.pos) {
                s.pos = next;
                UpDownShow(hwnd, s);
                if (HWND parent = ParentOf(hwnd)) {
                    SendMessageW(parent, (GetWindowLongW(hwnd, GWL_STYLE) & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL,
                                 MAKEWPARAM(SB_THUMBPOSITION, s.pos), reinterpret_cast<LPARAM>(hwnd));
                }
            }
            return 0;
        }
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Tab controls ------------------------------------------------------------------------

struct TabState {
    std::vector<std::u16string> tabs;
    int selection = -1;
};

// A tab is as wide as its text needs, and never narrower than this.
constexpr int kTabWidth = 90;
constexpr int kTabPadding = 16;

// The right edges of the tabs, measured with the control's font.
std::vector<int> TabEdges(HWND hwnd, const TabState& s) {
    std::vector<int> edges;
    HDC hdc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(hdc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
    int right = 0;
    for (const std::u16string& text : s.tabs) {
        SIZE size{};
        GetTextExtentPoint32W(hdc, text.c_str(), static_cast<int>(text.size()), &size);
        right += std::max<int>(kTabWidth, size.cx + kTabPadding);
        edges.push_back(right);
    }
    SelectObject(hdc, old);
    ReleaseDC(hwnd, hdc);
    return edges;
}

LRESULT TabProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    TabState& s = StateOf<TabState>(hwnd);
    switch (message) {
        case WM_PAINT:
            return PaintWith(hwnd, [&](HDC hdc) {
                RECT r;
                GetClientRect(hwnd, &r);
                if (HBRUSH b = Background(hwnd, hdc, WM_CTLCOLORDLG)) FillRect(hdc, &r, b);
                const int height = ItemHeight() + 6;
                RECT body{r.left, r.top + height, r.right, r.bottom};
                DrawEdge(hdc, &body, EDGE_RAISED, BF_RECT);
                SetBkMode(hdc, TRANSPARENT);
                const std::vector<int> edges = TabEdges(hwnd, s);
                for (int i = 0; i < static_cast<int>(s.tabs.size()); ++i) {
                    const bool chosen = i == s.selection;
                    RECT tab{i == 0 ? 0 : edges[i - 1], chosen ? 0 : 2, edges[i], height + (chosen ? 1 : 0)};
                    FillRect(hdc, &tab, GetSysColorBrush(COLOR_BTNFACE));
                    DrawEdge(hdc, &tab, EDGE_RAISED, BF_LEFT | BF_TOP | BF_RIGHT);
                    SetTextColor(hdc, SystemColor(COLOR_BTNTEXT));
                    DrawTextW(hdc, s.tabs[i].c_str(), -1, &tab, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
                }
            });
        case WM_ERASEBKGND: return 1;
        case TCM_INSERTITEMW: {
            auto* item = reinterpret_cast<const TCITEMW*>(lParam);
            if (!item) return -1;
            const int at = std::clamp(static_cast<int>(wParam), 0, static_cast<int>(s.tabs.size()));
            s.tabs.insert(s.tabs.begin() + at, (item->mask & TCIF_TEXT) && item->pszText ? item->pszText : u"");
            if (s.selection < 0) s.selection = 0;
            InvalidateRect(hwnd, nullptr, TRUE);
            return at;
        }
        case TCM_GETITEMCOUNT: return static_cast<LRESULT>(s.tabs.size());
        case TCM_DELETEALLITEMS: s.tabs.clear(); s.selection = -1; InvalidateRect(hwnd, nullptr, TRUE); return TRUE;
        case TCM_GETCURSEL: return s.selection;
        case TCM_SETCURSEL: {
            const int previous = s.selection;
            if (wParam < s.tabs.size()) s.selection = static_cast<int>(wParam);
            InvalidateRect(hwnd, nullptr, TRUE);
            return previous;
        }
        case WM_LBUTTONDOWN: {
            const std::vector<int> edges = TabEdges(hwnd, s);
            const int at = static_cast<int>(std::upper_bound(edges.begin(), edges.end(), GET_X_LPARAM(lParam)) - edges.begin());
            if (GET_Y_LPARAM(lParam) > ItemHeight() + 6 || at >= static_cast<int>(s.tabs.size()) || at == s.selection) return 0;
            if (Notify(hwnd, TCN_SELCHANGING)) return 0;
            s.selection = at;
            InvalidateRect(hwnd, nullptr, TRUE);
            Notify(hwnd, TCN_SELCHANGE);
            return 0;
        }
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Tooltips ------------------------------------------------------------------------------
// A tip watches the mouse messages of its TTF_SUBCLASS tools as the message
// loop dispatches them (and whatever the program relays): resting on a tool
// for the initial delay shows the tip below the pointer, a press or leaving
// the tool hides it, and it goes by itself after the auto-pop delay. The
// tip's procedure chain is never touched, so a skin replacing the tool's
// procedure and the tip never undo one another.

struct Tool {
    UINT flags;
    HWND hwnd;
    UINT_PTR id;
    RECT rect;
    std::u16string text;
};
struct TipState {
    std::vector<Tool> tools;
    bool active = true;
    int current = -1;         // the tool under the pointer
    bool shown = false;
    bool suppressed = false;  // pressed on, or popped by itself: quiet until the pointer moves to another tool
    UINT initial = 500, autopop = 5000;
    int maxWidth = -1;
};

constexpr UINT_PTR kShowTimer = 1, kPopTimer = 2, kLeaveTimer = 3;
constexpr int kTipPadX = 4, kTipPadY = 2;

bool ToolAt(const Tool& t, HWND hwnd, POINT client) {
    if (t.flags & TTF_IDISHWND) return reinterpret_cast<HWND>(t.id) == hwnd;
    return t.hwnd == hwnd && client.x >= t.rect.left && client.x < t.rect.right && client.y >= t.rect.top &&
           client.y < t.rect.bottom;
}

int FindToolAt(const TipState& s, HWND hwnd, POINT client, bool subclassOnly) {
    for (size_t i = 0; i < s.tools.size(); ++i) {
        if (subclassOnly && !(s.tools[i].flags & TTF_SUBCLASS)) continue;
        if (ToolAt(s.tools[i], hwnd, client)) return static_cast<int>(i);
    }
    return -1;
}

UINT TipTextFlags(HWND tip, const TipState& s) {
    UINT flags = DT_LEFT | DT_TOP;
    if (GetWindowLongW(tip, GWL_STYLE) & TTS_NOPREFIX) flags |= DT_NOPREFIX;
    flags |= s.maxWidth > 0 ? DT_WORDBREAK : DT_SINGLELINE;
    return flags;
}

void TipNotify(HWND tip, const Tool& t, UINT code) {
    NMHDR h{tip, t.id, code};
    if (IsWindow(t.hwnd)) SendMessageW(t.hwnd, WM_NOTIFY, t.id, reinterpret_cast<LPARAM>(&h));
}

void PopTip(HWND tip, TipState& s) {
    KillTimer(tip, kPopTimer);
    KillTimer(tip, kLeaveTimer);
    if (!s.shown) return;
    s.shown = false;
    ShowWindow(tip, SW_HIDE);
    if (s.current >= 0 && s.current < static_cast<int>(s.tools.size())) TipNotify(tip, s.tools[s.current], TTN_POP);
}

void ShowTip(HWND tip, TipState& s) {
    if (s.current < 0 || s.current >= static_cast<int>(s.tools.size()) || !s.active) return;
    const Tool& t = s.tools[s.current];
    if (t.text.empty()) return;
    HDC hdc = GetDC(tip);
    SelectFont(tip, hdc);
    RECT text{0, 0, s.maxWidth > 0 ? s.maxWidth : 0, 0};
    DrawTextW(hdc, t.text.c_str(), -1, &text, TipTextFlags(tip, s) | DT_CALCRECT);
    ReleaseDC(tip, hdc);
    const int cx = text.right + 2 * kTipPadX + 2, cy = text.bottom + 2 * kTipPadY + 2;
    POINT at;
    GetCursorPos(&at);
    const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    // Below the pointer's picture, or above the pointer where the screen ends.
    int x = at.x, y = at.y + 20;
    if (y + cy > screenH) y = at.y - cy - 2;
    x = std::clamp(x, 0, std::max(0, screenW - cx));
    y = std::max(0, y);
    TipNotify(tip, t, TTN_SHOW);
    SetWindowPos(tip, HWND_TOPMOST, x, y, cx, cy, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    InvalidateRect(tip, nullptr, TRUE);
    s.shown = true;
    SetTimer(tip, kPopTimer, s.autopop, nullptr);
    SetTimer(tip, kLeaveTimer, 100, nullptr);
}

void TipRelay(HWND tip, TipState& s, const MSG& m, bool subclassOnly) {
    if (m.message < WM_MOUSEFIRST || m.message > WM_MOUSELAST || m.message == WM_MOUSEWHEEL) return;
    const POINT client{GET_X_LPARAM(m.lParam), GET_Y_LPARAM(m.lParam)};
    const int at = FindToolAt(s, m.hwnd, client, subclassOnly);
    if (m.message != WM_MOUSEMOVE) {
        // A press or a release on a tool puts its tip away.
        if (at >= 0 || s.shown) {
            KillTimer(tip, kShowTimer);
            PopTip(tip, s);
            s.suppressed = true;
        }
        return;
    }
    if (at == s.current) return;
    KillTimer(tip, kShowTimer);
    PopTip(tip, s);
    s.current = at;
    s.suppressed = false;
    if (at >= 0 && s.active) SetTimer(tip, kShowTimer, s.initial, nullptr);
}

void PaintTip(HWND tip, HDC hdc) {
    TipState& s = StateOf<TipState>(tip);
    RECT r;
    GetClientRect(tip, &r);
    FillRect(hdc, &r, GetSysColorBrush(COLOR_INFOBK));
    FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
    if (s.current < 0 || s.current >= static_cast<int>(s.tools.size())) return;
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, SystemColor(COLOR_INFOTEXT));
    RECT text{r.left + 1 + kTipPadX, r.top + 1 + kTipPadY, r.right - 1 - kTipPadX, r.bottom - 1 - kTipPadY};
    DrawTextW(hdc, s.tools[s.current].text.c_str(), -1, &text, TipTextFlags(tip, s));
}

LRESULT TipProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    TipState& s = StateOf<TipState>(hwnd);
    auto* info = reinterpret_cast<TOOLINFOW*>(lParam);
    auto find = [&]() -> int {
        for (size_t i = 0; i < s.tools.size(); ++i) {
            if (info && s.tools[i].hwnd == info->hwnd && s.tools[i].id == info->uId) return static_cast<int>(i);
        }
        return -1;
    };
    auto textOf = [&]() {
        if (info->lpszText && IS_INTRESOURCE(info->lpszText)) {
            char16_t buffer[256];
            if (LoadStringW(info->hinst, static_cast<UINT>(reinterpret_cast<ULONG_PTR>(info->lpszText)), buffer, 256)) return std::u16string(buffer);
            return std::u16string();
        }
        return info->lpszText ? std::u16string(info->lpszText) : std::u16string();
    };
    switch (message) {
        case WM_CREATE: {
            Desktop& d = Desktop::Get();
            std::lock_guard guard(d.lock);
            d.tooltips.push_back(hwnd);
            if (Window* w = d.Find(hwnd)) w->exStyle |= WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
            return 0;
        }
        case WM_DESTROY: {
            KillTimer(hwnd, kShowTimer);
            KillTimer(hwnd, kPopTimer);
            KillTimer(hwnd, kLeaveTimer);
            Desktop& d = Desktop::Get();
            std::lock_guard guard(d.lock);
            d.tooltips.erase(std::remove(d.tooltips.begin(), d.tooltips.end(), hwnd), d.tooltips.end());
            return 0;
        }
        case WM_PAINT: return PaintWith(hwnd, [&](HDC hdc) { PaintTip(hwnd, hdc); });
        case WM_ERASEBKGND: return 1;
        case WM_NCHITTEST: return HTTRANSPARENT;
        case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
        case WM_TIMER:
            if (wParam == kShowTimer) {
                KillTimer(hwnd, kShowTimer);
                if (!s.suppressed) ShowTip(hwnd, s);
            } else if (wParam == kPopTimer) {
                PopTip(hwnd, s);
                s.suppressed = true;
            } else if (wParam == kLeaveTimer && s.current >= 0 && s.current < static_cast<int>(s.tools.size())) {
                // The pointer may have left for a window whose messages no tip sees.
                POINT at;
                GetCursorPos(&at);
                HWND under = WindowFromPoint(at);
                POINT client = at;
                if (under) ScreenToClient(under, &client);
                if (!under || !ToolAt(s.tools[s.current], under, client)) {
                    PopTip(hwnd, s);
                    s.current = -1;
                }
            }
            return 0;
        case TTM_ADDTOOLW:
            if (!info) return FALSE;
            s.tools.push_back({info->uFlags, info->hwnd, info->uId, info->rect, textOf()});
            return TRUE;
        case TTM_DELTOOLW:
            if (const int i = find(); i >= 0) {
                if (i == s.current) {
                    PopTip(hwnd, s);
                    s.current = -1;
                } else if (i < s.current) {
                    --s.current;
                }
                s.tools.erase(s.tools.begin() + i);
            }
            return 0;
        case TTM_UPDATETIPTEXTW:
            if (const int i = find(); i >= 0 && info->lpszText) {
                s.tools[i].text = textOf();
                if (i == s.current && s.shown) ShowTip(hwnd, s);
            }
            return 0;
        case TTM_GETTEXTW:
            if (const int i = find(); i >= 0 && info->lpszText) {
                const std::u16string& t = s.tools[i].text;
                const size_t n = std::min<size_t>(t.size(), wParam ? wParam - 1 : 79);
                std::memcpy(info->lpszText, t.data(), n * sizeof(char16_t));
                info->lpszText[n] = 0;
            }
            return 0;
        case TTM_GETTOOLCOUNT: return static_cast<LRESULT>(s.tools.size());
        case TTM_ACTIVATE:
            s.active = wParam != 0;
            if (!s.active) {
                KillTimer(hwnd, kShowTimer);
                PopTip(hwnd, s);
            }
            return 0;
        case TTM_RELAYEVENT:
            if (const MSG* m = reinterpret_cast<const MSG*>(lParam)) TipRelay(hwnd, s, *m, false);
            return 0;
        case TTM_POP:
            KillTimer(hwnd, kShowTimer);
            PopTip(hwnd, s);
            return 0;
        case TTM_SETMAXTIPWIDTH: {
            const int previous = s.maxWidth;
            s.maxWidth = static_cast<int>(static_cast<INT_PTR>(lParam));
            return previous;
        }
        case TTM_SETDELAYTIME: {
            const int ms = static_cast<int>(static_cast<SHORT>(LOWORD(lParam)));
            if (wParam == TTDT_INITIAL) s.initial = ms < 0 ? 500 : static_cast<UINT>(ms);
            if (wParam == TTDT_AUTOPOP) s.autopop = ms < 0 ? 5000 : static_cast<UINT>(ms);
            if (wParam == TTDT_AUTOMATIC) {
                s.initial = ms < 0 ? 500 : static_cast<UINT>(ms);
                s.autopop = ms < 0 ? 5000 : static_cast<UINT>(ms) * 10;
            }
            return 0;
        }
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Scroll bar controls --------------------------------------------------------------------

LRESULT ScrollBarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            Window* w = Get(hwnd);
            ScrollBarState& s = (w->style & SBS_VERT) ? w->vscroll : w->hscroll;
            s = ScrollBarState{};
            return 0;
        }
        case WM_PAINT:
            return PaintWith(hwnd, [&](HDC hdc) {
                Window* w = Get(hwnd);
                RECT r;
                GetClientRect(hwnd, &r);
                DrawScrollBarTo(hdc, r, (w->style & SBS_VERT) ? w->vscroll : w->hscroll, (w->style & SBS_VERT) != 0);
            });
        case WM_ERASEBKGND: return 1;
        case SBM_SETSCROLLINFO: return SetScrollInfo(hwnd, SB_CTL, reinterpret_cast<LPCSCROLLINFO>(lParam), static_cast<BOOL>(wParam));
        case SBM_GETSCROLLINFO: return GetScrollInfo(hwnd, SB_CTL, reinterpret_cast<LPSCROLLINFO>(lParam));
        case SBM_SETPOS: return SetScrollPos(hwnd, SB_CTL, static_cast<int>(wParam), static_cast<BOOL>(lParam));
        case SBM_GETPOS: return GetScrollPos(hwnd, SB_CTL);
        case SBM_SETRANGE: return SetScrollRange(hwnd, SB_CTL, static_cast<int>(wParam), static_cast<int>(lParam), FALSE);
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void Register(Desktop& d, const char16_t* name, WNDPROC proc) {
    auto c = std::make_unique<WindowClass>();
    c->name = name;
    c->proc = proc;
    c->style = CS_GLOBALCLASS | CS_DBLCLKS;
    c->atom = d.nextAtom++;
    c->system = true;
    d.classes.push_back(std::move(c));
}

ScrollBarState* BarOf(Window* w, int bar) {
    if (!w) return nullptr;
    if (bar == SB_VERT) return &w->vscroll;
    if (bar == SB_HORZ) return &w->hscroll;
    if (bar == SB_CTL) return (w->style & SBS_VERT) ? &w->vscroll : &w->hscroll;
    return nullptr;
}

}  // namespace

void RelayToTooltips(const MSG& m) {
    std::vector<HWND> tips;
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        for (HWND tip : d.tooltips) {
            Window* w = d.Find(tip);
            if (w && w->thread == std::this_thread::get_id()) tips.push_back(tip);
        }
    }
    for (HWND tip : tips) {
        if (IsWindow(tip)) TipRelay(tip, StateOf<TipState>(tip), m, true);
    }
}

void RegisterCommonControls(Desktop& d) {
    Register(d, u"ListBox", ListBoxProc);
    Register(d, u"ComboBox", ComboProc);
    Register(d, u"ScrollBar", ScrollBarProc);
    Register(d, u"msctls_trackbar32", TrackProc);
    Register(d, u"msctls_updown32", UpDownProc);
    Register(d, u"SysTabControl32", TabProc);
    Register(d, u"tooltips_class32", TipProc);
    Register(d, u"SysListView32", ListViewProc);
}

}  // namespace qk::ui

using namespace qk::ui;

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) { return init && init->dwSize == sizeof(INITCOMMONCONTROLSEX); }

HIMAGELIST ImageList_Create(int cx, int cy, UINT, int, int) {
    // A side past this is no icon; it also keeps cx * cy far from overflow.
    constexpr int kLargestSide = 4096;
    if (cx <= 0 || cy <= 0 || cx > kLargestSide || cy > kLargestSide) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* list = new _IMAGELIST;
    list->cx = cx;
    list->cy = cy;
    std::lock_guard guard(imageListsLock);
    imageLists.insert(list);
    return list;
}

int ImageList_Add(HIMAGELIST handle, HBITMAP image, HBITMAP mask) {
    _IMAGELIST* list = ImageListOf(handle);
    BITMAP size{};
    if (!list || mask || !image || GetObjectW(image, sizeof size, &size) != sizeof size || size.bmWidth < list->cx ||
        size.bmHeight < list->cy) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HDC source = CreateCompatibleDC(nullptr);
    HDC dest = CreateCompatibleDC(nullptr);
    HGDIOBJ oldSource = SelectObject(source, image);
    std::vector<HBITMAP> added;
    bool ok = oldSource != nullptr;
    for (int x = 0; ok && x + list->cx <= size.bmWidth; x += list->cx) {
        HBITMAP piece = NewImage(list->cx, list->cy);
        HGDIOBJ oldDest = piece ? SelectObject(dest, piece) : nullptr;
        ok = oldDest != nullptr && BitBlt(dest, 0, 0, list->cx, list->cy, source, x, 0, SRCCOPY);
        if (oldDest) SelectObject(dest, oldDest);
        if (piece) added.push_back(piece);
    }
    if (oldSource) SelectObject(source, oldSource);
    DeleteDC(source);
    DeleteDC(dest);
    if (!ok) {
        for (HBITMAP b : added) DeleteObject(b);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const int first = static_cast<int>(list->images.size());
    list->images.insert(list->images.end(), added.begin(), added.end());
    return first;
}

int ImageList_GetImageCount(HIMAGELIST handle) {
    _IMAGELIST* list = ImageListOf(handle);
    return list ? static_cast<int>(list->images.size()) : 0;
}

BOOL ImageList_GetIconSize(HIMAGELIST handle, int* cx, int* cy) {
    _IMAGELIST* list = ImageListOf(handle);
    if (!list || !cx || !cy) return FALSE;
    *cx = list->cx;
    *cy = list->cy;
    return TRUE;
}

BOOL ImageList_Draw(HIMAGELIST handle, int index, HDC hdc, int x, int y, UINT) {
    _IMAGELIST* list = ImageListOf(handle);
    if (!list || index < 0 || index >= static_cast<int>(list->images.size())) return FALSE;
    // A list's pictures may be drawn by windows of several threads: each
    // is selected and drawn from in one hold of the GDI lock.
    std::lock_guard gdi(GdiLock());
    HDC source = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(source, list->images[static_cast<size_t>(index)]);
    const BOOL drawn = old != nullptr && BitBlt(hdc, x, y, list->cx, list->cy, source, 0, 0, SRCCOPY);
    if (old) SelectObject(source, old);
    DeleteDC(source);
    return drawn;
}

BOOL ImageList_Destroy(HIMAGELIST handle) {
    {
        std::lock_guard guard(imageListsLock);
        if (!imageLists.erase(handle)) return FALSE;
    }
    for (HBITMAP b : handle->images) DeleteObject(b);
    delete handle;
    return TRUE;
}

int SetScrollInfo(HWND hwnd, int bar, LPCSCROLLINFO info, BOOL redraw) {
    Desktop& d = Desktop::Get();
    ScrollBarState* s;
    int pos;
    {
        std::lock_guard guard(d.lock);
        s = BarOf(d.Find(hwnd), bar);
        if (!s || !info) return 0;
        if (info->fMask & SIF_RANGE) {
            s->min = info->nMin;
            s->max = info->nMax;
        }
        if (info->fMask & SIF_PAGE) s->page = std::min<UINT>(info->nPage, static_cast<UINT>(std::max(0, s->max - s->min + 1)));
        if (info->fMask & SIF_POS) s->pos = info->nPos;
        // The position stays within min .. max - page + 1.
        const int top = std::max(s->min, s->max - std::max<int>(0, static_cast<int>(s->page) - 1));
        s->pos = std::clamp(s->pos, s->min, top);
        pos = s->pos;
        if (Window* w = d.Find(hwnd)) w->ncDirty = true;
    }
    if (redraw) RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
    return pos;
}

BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    ScrollBarState* s = BarOf(d.Find(hwnd), bar);
    if (!s || !info) return FALSE;
    if (info->fMask & SIF_RANGE) {
        info->nMin = s->min;
        info->nMax = s->max;
    }
    if (info->fMask & SIF_PAGE) info->nPage = s->page;
    if (info->fMask & SIF_POS) info->nPos = s->pos;
    if (info->fMask & SIF_TRACKPOS) info->nTrackPos = s->pos;
    return TRUE;
}

int SetScrollPos(HWND hwnd, int bar, int pos, BOOL redraw) {
    const int previous = GetScrollPos(hwnd, bar);
    SCROLLINFO si{sizeof si, SIF_POS, 0, 0, 0, pos, 0};
    SetScrollInfo(hwnd, bar, &si, redraw);
    return previous;
}

int GetScrollPos(HWND hwnd, int bar) {
    SCROLLINFO si{sizeof si, SIF_POS, 0, 0, 0, 0, 0};
    return GetScrollInfo(hwnd, bar, &si) ? si.nPos : 0;
}

BOOL SetScrollRange(HWND hwnd, int bar, int minPos, int maxPos, BOOL redraw) {
    SCROLLINFO si{sizeof si, SIF_RANGE, minPos, maxPos, 0, 0, 0};
    SetScrollInfo(hwnd, bar, &si, redraw);
    return TRUE;
}

BOOL ShowScrollBar(HWND hwnd, int bar, BOOL show) {
    Desktop& d = Desktop::Get();
    bool changed = false;
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w || bar == SB_CTL) return w != nullptr;
        for (ScrollBarState* s : {bar == SB_VERT || bar == SB_BOTH ? &w->vscroll : nullptr,
                                  bar == SB_HORZ || bar == SB_BOTH ? &w->hscroll : nullptr}) {
            if (s && s->shown != (show != 0)) {
                s->shown = show != 0;
                changed = true;
            }
        }
        if (changed) w->ncDirty = true;
    }
    if (changed) {
        // The client area changed: the window hears of its new size.
        RECT c;
        GetClientRect(hwnd, &c);
        SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(c.right, c.bottom));
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ERASE);
    }
    return TRUE;
}
