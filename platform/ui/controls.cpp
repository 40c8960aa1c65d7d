// The standard controls: buttons (push, check, radio, group box), static
// text and pictures, single-line edits. Each keeps its state in its own
// record and draws it in its paint function; notifications go to the parent
// as WM_COMMAND with the control's identifier.
#include <algorithm>
#include <cstring>

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

void Notify(HWND hwnd, WORD code) {
    Window* w = Get(hwnd);
    if (!w || !w->parent) return;
    SendMessageW(w->parent->handle, WM_COMMAND, MAKEWPARAM(w->id, code), reinterpret_cast<LPARAM>(hwnd));
}

// The brush and colours the parent chooses for the control (WM_CTLCOLOR*).
HBRUSH ParentColours(HWND hwnd, HDC hdc, UINT message) {
    Window* w = Get(hwnd);
    HWND parent = (w && w->parent) ? w->parent->handle : nullptr;
    LRESULT r = parent ? SendMessageW(parent, message, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd)) : 0;
    if (!r) r = DefWindowProcW(hwnd, message, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd));
    return reinterpret_cast<HBRUSH>(r);
}

// ---- Buttons -------------------------------------------------------------------------

struct ButtonState {
    UINT check = BST_UNCHECKED;
    bool pushed = false;
    bool focused = false;
    bool tracking = false;
    HANDLE image = nullptr;
};

UINT ButtonType(DWORD style) { return style & BS_TYPEMASK; }

void PaintButton(HWND hwnd, HDC hdc) {
    Window* w = Get(hwnd);
    ButtonState& s = StateOf<ButtonState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const UINT type = ButtonType(w->style);
    const bool enabled = !(w->style & WS_DISABLED);
    SelectObject(hdc, w->font ? static_cast<HGDIOBJ>(w->font) : GetStockObject(DEFAULT_GUI_FONT));
    if (type == BS_OWNERDRAW) {
        DRAWITEMSTRUCT di{ODT_BUTTON, static_cast<UINT>(w->id), 0, ODA_DRAWENTIRE,
                          static_cast<UINT>((s.pushed ? ODS_SELECTED : 0) | (s.focused ? ODS_FOCUS : 0) |
                                            (enabled ? 0 : ODS_DISABLED)),
                          hwnd, hdc, r, 0};
        if (w->parent) SendMessageW(w->parent->handle, WM_DRAWITEM, w->id, reinterpret_cast<LPARAM>(&di));
        return;
    }
    HBRUSH background = ParentColours(hwnd, hdc, type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC);
    const COLORREF textColour = enabled ? GetTextColor(hdc) : SystemColor(COLOR_GRAYTEXT);
    SetBkMode(hdc, TRANSPARENT);
    if (type == BS_GROUPBOX) {
        SIZE ext;
        GetTextExtentPoint32W(hdc, w->text.c_str(), static_cast<int>(w->text.size()), &ext);
        RECT frame{r.left, r.top + ext.cy / 2, r.right, r.bottom};
        DrawEdge(hdc, &frame, EDGE_ETCHED, BF_RECT);
        if (!w->text.empty()) {
            RECT label{r.left + 6, r.top, r.left + 10 + ext.cx, r.top + ext.cy};
            FillRect(hdc, &label, background);
            label.left += 2;
            SetTextColor(hdc, textColour);
            DrawTextW(hdc, w->text.c_str(), -1, &label, DT_SINGLELINE | DT_LEFT | DT_TOP);
        }
        return;
    }
    if (background) FillRect(hdc, &r, background);
    const bool pushLike = type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || (w->style & BS_PUSHLIKE);
    if (pushLike) {
        const bool down = s.pushed || ((w->style & BS_PUSHLIKE) && (s.check & BST_CHECKED));
        FillRect(hdc, &r, GetSysColorBrush(COLOR_BTNFACE));
        RECT edge = r;
        if (type == BS_DEFPUSHBUTTON) {
            FrameRect(hdc, &edge, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            InflateRect(&edge, -1, -1);
        }
        DrawEdge(hdc, &edge, down ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
        RECT text = r;
        if (down) OffsetRect(&text, 1, 1);
        if (Bitmap* image = BitmapOf(static_cast<HBITMAP>(s.image))) {
            // The image may be another window's too, drawn on another thread:
            // selected and drawn from in one hold of the GDI lock.
            std::lock_guard gdi(GdiLock());
            HDC mem = CreateCompatibleDC(hdc);
            HGDIOBJ old = SelectObject(mem, s.image);
            BitBlt(hdc, text.left + (text.right - text.left - image->width) / 2,
                   text.top + (text.bottom - text.top - image->height) / 2, image->width, image->height, mem, 0, 0, SRCCOPY);
            SelectObject(mem, old);
            DeleteDC(mem);
        } else {
            SetTextColor(hdc, textColour);
            DrawTextW(hdc, w->text.c_str(), -1, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        }
        if (s.focused) {
            RECT f = r;
            InflateRect(&f, -4, -4);
            DrawFocusRect(hdc, &f);
        }
        return;
    }
    // Check boxes and radio buttons: a 13-pixel box beside the text (on the
    // right with BS_LEFTTEXT).
    const LONG box = 13;
    const bool leftText = (w->style & BS_LEFTTEXT) != 0;
    const LONG by = r.top + (r.bottom - r.top - box) / 2;
    RECT boxRect = leftText ? RECT{r.right - box, by, r.right, by + box} : RECT{r.left, by, r.left + box, by + box};
    const bool radio = type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
    SetDCBrushColor(hdc, enabled ? SystemColor(COLOR_WINDOW) : SystemColor(COLOR_BTNFACE));
    SetDCPenColor(hdc, SystemColor(COLOR_BTNSHADOW));
    HGDIOBJ oldPen = SelectObject(hdc, GetStockObject(DC_PEN));
    HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(DC_BRUSH));
    if (radio) {
        Ellipse(hdc, boxRect.left, boxRect.top, boxRect.right, boxRect.bottom);
    } else {
        Rectangle(hdc, boxRect.left, boxRect.top, boxRect.right, boxRect.bottom);
    }
    if (s.check & (BST_CHECKED | BST_INDETERMINATE)) {
        const COLORREF mark = (s.check & BST_INDETERMINATE) ? SystemColor(COLOR_GRAYTEXT) : SystemColor(COLOR_WINDOWTEXT);
        SetDCBrushColor(hdc, mark);
        SetDCPenColor(hdc, mark);
        if (radio) {
            Ellipse(hdc, boxRect.left + 4, boxRect.top + 4, boxRect.right - 4, boxRect.bottom - 4);
        } else {
            const POINT tick[] = {{boxRect.left + 3, boxRect.top + 6}, {boxRect.left + 5, boxRect.top + 8},
                                  {boxRect.left + 9, boxRect.top + 3}, {boxRect.left + 10, boxRect.top + 4},
                                  {boxRect.left + 5, boxRect.top + 10}, {boxRect.left + 2, boxRect.top + 7}};
            Polygon(hdc, tick, 6);
        }
    }
    SelectObject(hdc, oldBrush);
    SelectObject(hdc, oldPen);
    RECT text = leftText ? RECT{r.left, r.top, r.right - box - 4, r.bottom} : RECT{r.left + box + 4, r.top, r.right, r.bottom};
    SetTextColor(hdc, textColour);
    DrawTextW(hdc, w->text.c_str(), -1, &text,
              DT_SINGLELINE | DT_VCENTER | (leftText && (w->style & BS_RIGHT) == BS_RIGHT ? DT_RIGHT : DT_LEFT));
    if (s.focused) {
        RECT f = text;
        DrawTextW(hdc, w->text.c_str(), -1, &f, DT_SINGLELINE | DT_CALCRECT);
        f.top = text.top + (text.bottom - text.top - (f.bottom - f.top)) / 2;
        f.bottom = f.top + (f.bottom - f.top);
        InflateRect(&f, 1, 0);
        DrawFocusRect(hdc, &f);
    }
}

void ClickButton(HWND hwnd) {
    Window* w = Get(hwnd);
    ButtonState& s = StateOf<ButtonState>(hwnd);
    switch (ButtonType(w->style)) {
        case BS_AUTOCHECKBOX: SendMessageW(hwnd, BM_SETCHECK, (s.check & BST_CHECKED) ? BST_UNCHECKED : BST_CHECKED, 0); break;
        case BS_AUTO3STATE: SendMessageW(hwnd, BM_SETCHECK, (s.check + 1) % 3, 0); break;
        case BS_AUTORADIOBUTTON: {
            // The other automatic radio buttons of the group are cleared.
            if (w->parent) {
                HWND first = hwnd;
                for (HWND h = hwnd; h; h = GetWindow(h, GW_HWNDPREV)) {
                    first = h;
                    if (GetWindowLongW(h, GWL_STYLE) & WS_GROUP) break;
                }
                for (HWND h = first; h; h = GetWindow(h, GW_HWNDNEXT)) {
                    if (h != first && (GetWindowLongW(h, GWL_STYLE) & WS_GROUP)) break;
                    if (h != hwnd && (GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
                        SendMessageW(h, BM_SETCHECK, BST_UNCHECKED, 0);
                    }
                }
            }
            SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
            break;
        }
        default: break;
    }
    Notify(hwnd, BN_CLICKED);
}

LRESULT ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(hwnd, &ps);
            PaintButton(hwnd, hdc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case BM_GETCHECK: return StateOf<ButtonState>(hwnd).check;
        case BM_SETCHECK: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            const UINT type = ButtonType(GetWindowLongW(hwnd, GWL_STYLE));
            if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_GROUPBOX) return 0;
            if (s.check != wParam) {
                s.check = static_cast<UINT>(wParam) & 3;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            // A checked radio button takes the tab stop of its group.
            if (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) {
                DWORD style = GetWindowLongW(hwnd, GWL_STYLE);
                SetWindowLongW(hwnd, GWL_STYLE, (wParam & BST_CHECKED) ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP));
            }
            return 0;
        }
        case BM_GETSTATE: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            return s.check | (s.pushed ? BST_PUSHED : 0) | (s.focused ? BST_FOCUS : 0);
        }
        case BM_SETSTATE: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            if (s.pushed != (wParam != 0)) {
                s.pushed = wParam != 0;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        }
        case BM_SETSTYLE: {
            DWORD style = GetWindowLongW(hwnd, GWL_STYLE);
            SetWindowLongW(hwnd, GWL_STYLE, (style & ~0xFFFFu) | (wParam & 0xFFFF));
            if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        }
        case BM_CLICK:
            SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, 0);
            SendMessageW(hwnd, WM_LBUTTONUP, 0, 0);
            return 0;
        case BM_SETIMAGE: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            HANDLE old = s.image;
            s.image = reinterpret_cast<HANDLE>(lParam);
            InvalidateRect(hwnd, nullptr, FALSE);
            return reinterpret_cast<LRESULT>(old);
        }
        case BM_GETIMAGE: return reinterpret_cast<LRESULT>(StateOf<ButtonState>(hwnd).image);
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            if ((GetWindowLongW(hwnd, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX) return 0;
            SetFocus(hwnd);
            SetCapture(hwnd);
            StateOf<ButtonState>(hwnd).tracking = true;
            SendMessageW(hwnd, BM_SETSTATE, TRUE, 0);
            return 0;
        }
        case WM_LBUTTONUP: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            if (!s.tracking) return 0;
            s.tracking = false;
            const bool wasPushed = s.pushed;
            ReleaseCapture();
            SendMessageW(hwnd, BM_SETSTATE, FALSE, 0);
            RECT r;
            GetClientRect(hwnd, &r);
            const POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (wasPushed && PtInRect(&r, p)) ClickButton(hwnd);
            return 0;
        }
        case WM_MOUSEMOVE: {
            ButtonState& s = StateOf<ButtonState>(hwnd);
            if (!s.tracking) return 0;
            RECT r;
            GetClientRect(hwnd, &r);
            SendMessageW(hwnd, BM_SETSTATE, PtInRect(&r, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}), 0);
            return 0;
        }
        case WM_KEYDOWN:
            if (wParam == VK_SPACE) SendMessageW(hwnd, BM_SETSTATE, TRUE, 0);
            return 0;
        case WM_KEYUP:
            if (wParam == VK_SPACE && StateOf<ButtonState>(hwnd).pushed) {
                SendMessageW(hwnd, BM_SETSTATE, FALSE, 0);
                ClickButton(hwnd);
            }
            return 0;
        case WM_SETFOCUS:
            StateOf<ButtonState>(hwnd).focused = true;
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_KILLFOCUS:
            StateOf<ButtonState>(hwnd).focused = false;
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_GETDLGCODE: {
            const UINT type = ButtonType(GetWindowLongW(hwnd, GWL_STYLE));
            if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
            if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
            if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) return DLGC_BUTTON | DLGC_RADIOBUTTON;
            if (type == BS_GROUPBOX) return DLGC_STATIC;
            return DLGC_BUTTON;
        }
        case WM_SETTEXT: {
            LRESULT r = DefWindowProcW(hwnd, message, wParam, lParam);
            InvalidateRect(hwnd, nullptr, TRUE);
            return r;
        }
        case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Statics -------------------------------------------------------------------------

struct StaticState {
    HANDLE image = nullptr;
};

void PaintStatic(HWND hwnd, HDC hdc) {
    Window* w = Get(hwnd);
    StaticState& s = StateOf<StaticState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const DWORD type = w->style & SS_TYPEMASK;
    SelectObject(hdc, w->font ? static_cast<HGDIOBJ>(w->font) : GetStockObject(DEFAULT_GUI_FONT));
    // Frames and lines draw only their lines: what lies inside them (other
    // controls, as around the pan and tilt buttons) stays as it is.
    switch (type) {
        case SS_BLACKRECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_3DDKSHADOW)); return;
        case SS_GRAYRECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); return;
        case SS_WHITERECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_BTNHIGHLIGHT)); return;
        case SS_BLACKFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_3DDKSHADOW)); return;
        case SS_GRAYFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); return;
        case SS_WHITEFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNHIGHLIGHT)); return;
        case SS_ETCHEDHORZ: {
            RECT line{r.left, r.top, r.right, r.top + 2};
            DrawEdge(hdc, &line, EDGE_ETCHED, BF_TOP | BF_BOTTOM);
            return;
        }
        case SS_ETCHEDVERT: {
            RECT line{r.left, r.top, r.left + 2, r.bottom};
            DrawEdge(hdc, &line, EDGE_ETCHED, BF_LEFT | BF_RIGHT);
            return;
        }
        case SS_ETCHEDFRAME: DrawEdge(hdc, &r, EDGE_ETCHED, BF_RECT); return;
        case SS_OWNERDRAW: {
            DRAWITEMSTRUCT di{ODT_STATIC, static_cast<UINT>(w->id), 0, ODA_DRAWENTIRE, 0, hwnd, hdc, r, 0};
            if (w->parent) SendMessageW(w->parent->handle, WM_DRAWITEM, w->id, reinterpret_cast<LPARAM>(&di));
            return;
        }
        default: break;
    }
    HBRUSH background = ParentColours(hwnd, hdc, WM_CTLCOLORSTATIC);
    if (background) FillRect(hdc, &r, background);
    if (type == SS_BITMAP || type == SS_ICON) {
        // Icons of this platform are bitmaps with an alpha channel.
        const HBITMAP handle = static_cast<HBITMAP>(s.image);
        Bitmap* image = BitmapOf(handle);
        if (w->style & SS_SUNKEN) DrawEdge(hdc, &r, BDR_SUNKENOUTER, BF_RECT);
        if (!image) return;
        std::lock_guard gdi(GdiLock());  // a shared image: one thread selects it at a time
        HDC mem = CreateCompatibleDC(hdc);
        HGDIOBJ old = SelectObject(mem, handle);
        LONG x = r.left, y = r.top;
        if (w->style & SS_CENTERIMAGE) {
            x = (r.right - image->width) / 2;
            y = (r.bottom - image->height) / 2;
        }
        if (type == SS_ICON && !(w->style & SS_REALSIZEIMAGE) && !(w->style & SS_CENTERIMAGE)) {
            StretchBlt(hdc, 0, 0, r.right, r.bottom, mem, 0, 0, image->width, image->height, SRCCOPY);
        } else {
            BitBlt(hdc, x, y, image->width, image->height, mem, 0, 0, SRCCOPY);
        }
        SelectObject(mem, old);
        DeleteDC(mem);
        return;
    }
    UINT format = DT_WORDBREAK | DT_EXPANDTABS;
    if (type == SS_CENTER) format |= DT_CENTER;
    if (type == SS_RIGHT) format |= DT_RIGHT;
    if (type == SS_LEFTNOWORDWRAP || type == SS_SIMPLE) format = DT_SINGLELINE;
    if (w->style & SS_CENTERIMAGE) format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER;
    if (w->style & SS_NOPREFIX) format |= DT_NOPREFIX;
    if (w->style & SS_ENDELLIPSIS) format |= DT_END_ELLIPSIS;
    if (w->style & WS_DISABLED) SetTextColor(hdc, SystemColor(COLOR_GRAYTEXT));
    SetBkMode(hdc, TRANSPARENT);
    DrawTextW(hdc, w->text.c_str(), -1, &r, format);
    if (w->style & SS_SUNKEN) DrawEdge(hdc, &r, BDR_SUNKENOUTER, BF_RECT);
}

LRESULT StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(hwnd, &ps);
            PaintStatic(hwnd, hdc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case STM_SETIMAGE:
        case STM_SETICON: {
            StaticState& s = StateOf<StaticState>(hwnd);
            HANDLE old = s.image;
            s.image = reinterpret_cast<HANDLE>(message == STM_SETICON ? wParam : lParam);
            InvalidateRect(hwnd, nullptr, TRUE);
            return reinterpret_cast<LRESULT>(old);
        }
        case STM_GETIMAGE:
        case STM_GETICON: return reinterpret_cast<LRESULT>(StateOf<StaticState>(hwnd).image);
        case WM_NCHITTEST: {
            const DWORD style = GetWindowLongW(hwnd, GWL_STYLE);
            return (style & SS_NOTIFY) ? HTCLIENT : HTTRANSPARENT;
        }
        case WM_LBUTTONDOWN:
            if (GetWindowLongW(hwnd, GWL_STYLE) & SS_NOTIFY) Notify(hwnd, STN_CLICKED);
            return 0;
        case WM_GETDLGCODE: return DLGC_STATIC;
        case WM_SETTEXT: {
            LRESULT r = DefWindowProcW(hwnd, message, wParam, lParam);
            InvalidateRect(hwnd, nullptr, TRUE);
            return r;
        }
        case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---- Edits ---------------------------------------------------------------------------

struct EditState {
    size_t caret = 0;
    size_t anchor = 0;
    size_t limit = 30000;
    char16_t password = 0;
    bool focused = false;
};

void PaintEdit(HWND hwnd, HDC hdc) {
    Window* w = Get(hwnd);
    EditState& s = StateOf<EditState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    SelectObject(hdc, w->font ? static_cast<HGDIOBJ>(w->font) : GetStockObject(DEFAULT_GUI_FONT));
    const bool readOnly = (w->style & ES_READONLY) || (w->style & WS_DISABLED);
    HBRUSH background = ParentColours(hwnd, hdc, readOnly ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT);
    if (background) FillRect(hdc, &r, background);
    std::u16string shown = w->text;
    if (s.password) std::fill(shown.begin(), shown.end(), s.password);
    if (w->style & WS_DISABLED) SetTextColor(hdc, SystemColor(COLOR_GRAYTEXT));
    SetBkMode(hdc, TRANSPARENT);
    RECT text{r.left + 2, r.top + 1, r.right - 2, r.bottom - 1};
    UINT format = DT_NOPREFIX | ((w->style & ES_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE | DT_VCENTER);
    if ((w->style & 3) == ES_CENTER) format |= DT_CENTER;
    if ((w->style & 3) == ES_RIGHT) format |= DT_RIGHT;
    const size_t from = std::min(s.anchor, s.caret), to = std::max(s.anchor, s.caret);
    if (s.focused && from != to && !(w->style & ES_MULTILINE)) {
        SIZE before, part;
        GetTextExtentPoint32W(hdc, shown.c_str(), static_cast<int>(from), &before);
        GetTextExtentPoint32W(hdc, shown.c_str() + from, static_cast<int>(to - from), &part);
        RECT sel{text.left + before.cx, text.top, text.left + before.cx + part.cx, text.bottom};
        FillRect(hdc, &sel, GetSysColorBrush(COLOR_HIGHLIGHT));
    }
    DrawTextW(hdc, shown.c_str(), static_cast<int>(shown.size()), &text, format);
    if (s.focused && !(w->style & ES_MULTILINE)) {
        SIZE before;
        GetTextExtentPoint32W(hdc, shown.c_str(), static_cast<int>(s.caret), &before);
        TEXTMETRICW tm;
        GetTextMetricsW(hdc, &tm);
        const LONG top = text.top + (text.bottom - text.top - tm.tmHeight) / 2;
        RECT caret{text.left + before.cx, top, text.left + before.cx + 1, top + tm.tmHeight};
        FillRect(hdc, &caret, GetSysColorBrush(COLOR_WINDOWTEXT));
    }
}

void EditReplace(HWND hwnd, const std::u16string& insert) {
    Window* w = Get(hwnd);
    EditState& s = StateOf<EditState>(hwnd);
    const size_t from = std::min({s.anchor, s.caret, w->text.size()}), to = std::min(std::max(s.anchor, s.caret), w->text.size());
    std::u16string accepted;
    for (char16_t c : insert) {
        if ((w->style & ES_NUMBER) && (c < u'0' || c > u'9')) continue;
        if (w->style & ES_UPPERCASE && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (w->style & ES_LOWERCASE && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        accepted.push_back(c);
    }
    const size_t room = s.limit > w->text.size() - (to - from) ? s.limit - (w->text.size() - (to - from)) : 0;
    if (accepted.size() > room) {
        accepted.resize(room);
        Notify(hwnd, EN_MAXTEXT);
    }
    w->text = w->text.substr(0, from) + accepted + w->text.substr(to);
    s.caret = s.anchor = from + accepted.size();
    InvalidateRect(hwnd, nullptr, TRUE);
    Notify(hwnd, EN_UPDATE);
    Notify(hwnd, EN_CHANGE);
}

LRESULT EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            Window* w = Get(hwnd);
            EditState& s = StateOf<EditState>(hwnd);
            if (w->style & ES_PASSWORD) s.password = u'*';
            s.caret = s.anchor = w->text.size();
            return 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(hwnd, &ps);
            PaintEdit(hwnd, hdc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case WM_SETTEXT: {
            LRESULT r = DefWindowProcW(hwnd, message, wParam, lParam);
            EditState& s = StateOf<EditState>(hwnd);
            s.caret = s.anchor = 0;
            InvalidateRect(hwnd, nullptr, TRUE);
            Notify(hwnd, EN_UPDATE);
            Notify(hwnd, EN_CHANGE);
            return r;
        }
        case WM_CHAR: {
            Window* w = Get(hwnd);
            if (w->style & ES_READONLY) return 0;
            EditState& s = StateOf<EditState>(hwnd);
            if (wParam == VK_BACK) {
                if (s.anchor == s.caret && s.caret > 0) s.anchor = s.caret - 1;
                EditReplace(hwnd, u"");
            } else if (wParam >= 0x20) {
                EditReplace(hwnd, std::u16string(1, static_cast<char16_t>(wParam)));
            }
            return 0;
        }
        case WM_KEYDOWN: {
            Window* w = Get(hwnd);
            EditState& s = StateOf<EditState>(hwnd);
            const bool shift = GetKeyState(VK_SHIFT) < 0;
            size_t caret = s.caret;
            if (wParam == VK_LEFT && caret > 0) --caret;
            if (wParam == VK_RIGHT && caret < w->text.size()) ++caret;
            if (wParam == VK_HOME) caret = 0;
            if (wParam == VK_END) caret = w->text.size();
            if (wParam == VK_DELETE && !(w->style & ES_READONLY)) {
                if (s.anchor == s.caret && s.caret < w->text.size()) s.anchor = s.caret + 1;
                EditReplace(hwnd, u"");
                return 0;
            }
            s.caret = caret;
            if (!shift) s.anchor = caret;
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        }
        case WM_LBUTTONDOWN: SetFocus(hwnd); return 0;
        case WM_SETFOCUS: {
            EditState& s = StateOf<EditState>(hwnd);
            s.focused = true;
            InvalidateRect(hwnd, nullptr, FALSE);
            Notify(hwnd, EN_SETFOCUS);
            return 0;
        }
        case WM_KILLFOCUS: {
            EditState& s = StateOf<EditState>(hwnd);
            s.focused = false;
            InvalidateRect(hwnd, nullptr, FALSE);
            Notify(hwnd, EN_KILLFOCUS);
            return 0;
        }
        case EM_GETSEL: {
            EditState& s = StateOf<EditState>(hwnd);
            const DWORD from = static_cast<DWORD>(std::min(s.anchor, s.caret)), to = static_cast<DWORD>(std::max(s.anchor, s.caret));
            if (wParam) *reinterpret_cast<DWORD*>(wParam) = from;
            if (lParam) *reinterpret_cast<DWORD*>(lParam) = to;
            return MAKELRESULT(from, to);
        }
        case EM_SETSEL: {
            Window* w = Get(hwnd);
            EditState& s = StateOf<EditState>(hwnd);
            const size_t n = w->text.size();
            const LONG_PTR a = static_cast<LONG_PTR>(static_cast<INT_PTR>(wParam));
            const LONG_PTR b = lParam;
            if (a < 0) {
                s.anchor = s.caret;
            } else {
                s.anchor = std::min<size_t>(static_cast<size_t>(a), n);
                s.caret = b < 0 ? n : std::min<size_t>(static_cast<size_t>(b), n);
            }
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        }
        case EM_REPLACESEL: EditReplace(hwnd, lParam ? reinterpret_cast<LPCWSTR>(lParam) : u""); return 0;
        case EM_LIMITTEXT: StateOf<EditState>(hwnd).limit = wParam ? wParam : 0x7FFFFFFE; return 0;
        case EM_GETLIMITTEXT: return static_cast<LRESULT>(StateOf<EditState>(hwnd).limit);
        case EM_SETPASSWORDCHAR: StateOf<EditState>(hwnd).password = static_cast<char16_t>(wParam); InvalidateRect(hwnd, nullptr, TRUE); return 0;
        case EM_GETPASSWORDCHAR: return StateOf<EditState>(hwnd).password;
        case EM_SETREADONLY: {
            DWORD style = GetWindowLongW(hwnd, GWL_STYLE);
            SetWindowLongW(hwnd, GWL_STYLE, wParam ? (style | ES_READONLY) : (style & ~ES_READONLY));
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        }
        case WM_GETDLGCODE: return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
        case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void Register(Desktop& d, const char16_t* name, WNDPROC proc, UINT style, HBRUSH background) {
    auto c = std::make_unique<WindowClass>();
    c->name = name;
    c->proc = proc;
    c->style = style | CS_GLOBALCLASS;
    c->background = background;
    c->atom = d.nextAtom++;
    c->system = true;
    c->windowExtra = 0;
    d.classes.push_back(std::move(c));
}

}  // namespace

void RegisterSystemClasses(Desktop& d) {
    Register(d, u"Button", ButtonProc, CS_DBLCLKS | CS_PARENTDC, nullptr);
    Register(d, u"Static", StaticProc, CS_DBLCLKS | CS_PARENTDC, nullptr);
    Register(d, u"Edit", EditProc, CS_DBLCLKS | CS_PARENTDC, nullptr);
    RegisterDialogClass(d);
    RegisterCommonControls(d);
}

}  // namespace qk::ui

using namespace qk::ui;

BOOL PtInRect(const RECT* rect, POINT p) {
    return rect && p.x >= rect->left && p.x < rect->right && p.y >= rect->top && p.y < rect->bottom;
}

BOOL InflateRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left -= dx;
    rect->top -= dy;
    rect->right += dx;
    rect->bottom += dy;
    return TRUE;
}

BOOL OffsetRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left += dx;
    rect->right += dx;
    rect->top += dy;
    rect->bottom += dy;
    return TRUE;
}

BOOL SetRect(LPRECT rect, int left, int top, int right, int bottom) {
    if (!rect) return FALSE;
    *rect = RECT{left, top, right, bottom};
    return TRUE;
}

BOOL IntersectRect(LPRECT out, const RECT* a, const RECT* b) {
    if (!out || !a || !b) return FALSE;
    *out = RectIntersect(*a, *b);
    return !RectEmpty(*out);
}

BOOL UnionRect(LPRECT out, const RECT* a, const RECT* b) {
    if (!out || !a || !b) return FALSE;
    *out = RectUnion(*a, *b);
    return !RectEmpty(*out);
}

BOOL IsRectEmpty(const RECT* rect) { return !rect || RectEmpty(*rect); }

BOOL CopyRect(LPRECT out, const RECT* in) {
    if (!out || !in) return FALSE;
    *out = *in;
    return TRUE;
}
