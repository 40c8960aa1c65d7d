// The dialog manager: dialogs built from templates (dialog units from the
// template's font, controls created in template order, WM_SETFONT and
// WM_INITDIALOG), DefDlgProc with its message results, modal loops that
// end with EndDialog, keyboard navigation between controls (tab order,
// groups, default and cancel buttons) and the dialog item helpers.
#include <algorithm>
#include <cstring>

#include "platform/ui/dialog_template.h"
#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"
#include "platform/win32/pe_resources.h"

namespace qk::win32 {
const ResourceImage* ResourcesOf(HMODULE module);
}

namespace qk::ui {

namespace {

// What the dialog manager keeps per dialog, beside the DWLP_* words.
struct DialogInfo {
    HFONT font = nullptr;
    bool ownsFont = false;
    int baseX = 0;  // average character width of the dialog font
    int baseY = 0;  // its height
    bool ended = false;
    INT_PTR result = 0;
    HWND lastFocus = nullptr;
    UINT defaultId = IDOK;
    std::vector<HANDLE> images;  // pictures the dialog manager loaded for its controls; freed with the dialog
};

DialogInfo* InfoOf(HWND dialog) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(dialog);
    if (!w || !w->cls || w->cls->name != u"#32770" || !w->control) return nullptr;
    return static_cast<DialogInfo*>(w->control.get());
}

DLGPROC ProcOf(HWND dialog) { return reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dialog, DWLP_DLGPROC)); }

int MulDivRound(int a, int b, int c) { return static_cast<int>((static_cast<int64_t>(a) * b + (a >= 0 ? c / 2 : -c / 2)) / c); }

// Messages whose result a dialog procedure returns directly, not through DWLP_MSGRESULT.
bool DirectResult(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG: return true;
        default: return false;
    }
}

bool Focusable(Window* w) { return (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED); }

// The controls of a dialog in tab order, looking into child dialogs that are
// control parents.
void Flatten(Window* parent, std::vector<Window*>* out) {
    for (Window* c : parent->children) {
        if (!Focusable(c)) continue;
        if (c->exStyle & WS_EX_CONTROLPARENT) {
            Flatten(c, out);
        } else {
            out->push_back(c);
        }
    }
}

LRESULT DialogClassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) { return DefDlgProcW(hwnd, message, wParam, lParam); }

HFONT DialogFont(const DialogTemplate& t, bool* owns) {
    *owns = false;
    if (!t.hasFont) return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW lf{};
    lf.lfHeight = -MulDivRound(t.pointSize, 96, 72);
    lf.lfWeight = t.weight ? t.weight : FW_NORMAL;
    lf.lfItalic = t.italic;
    lf.lfCharSet = t.charSet;
    for (size_t i = 0; i < t.face.size() && i < LF_FACESIZE - 1; ++i) lf.lfFaceName[i] = t.face[i];
    *owns = true;
    return CreateFontIndirectW(&lf);
}

HWND CreateFromTemplate(HINSTANCE instance, const DialogTemplate& t, HWND parent, DLGPROC proc, LPARAM init, bool modal) {
    Desktop& d = Desktop::Get();
    auto info = std::make_shared<DialogInfo>();
    info->font = DialogFont(t, &info->ownsFont);
    info->baseX = AverageCharWidth(info->font, &info->baseY);
    auto px = [&](int v, bool vertical) { return MulDivRound(v, vertical ? info->baseY : info->baseX, vertical ? 8 : 4); };

    const bool child = (t.style & WS_CHILD) != 0;
    RECT r{0, 0, px(t.cx, false), px(t.cy, true)};
    DWORD style = t.style & ~WS_VISIBLE;
    if (t.style & DS_MODALFRAME) style |= WS_DLGFRAME;
    if (t.style & DS_CONTROL) style = (style & ~(WS_CAPTION | WS_SYSMENU | WS_POPUP)) | WS_CHILD;
    DWORD exStyle = t.exStyle | ((t.style & DS_CONTROL) ? WS_EX_CONTROLPARENT : 0);
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    int x = px(t.x, false), y = px(t.y, true);
    if (!child && !(style & WS_CHILD)) {
        POINT origin{0, 0};
        if (parent) ClientToScreen(parent, &origin);
        x += origin.x;
        y += origin.y;
        if (t.style & DS_CENTER) {
            // The desktop of the machine is 1280 x 1024.
            x = (1280 - (r.right - r.left)) / 2;
            y = (1024 - (r.bottom - r.top)) / 2;
        }
    }
    std::u16string className = u"#32770";
    if (t.windowClass.present && !t.windowClass.isOrdinal) className = t.windowClass.text;
    HWND dialog = CreateWindowExW(exStyle, className.c_str(), t.title.c_str(), style, x, y, r.right - r.left,
                                  r.bottom - r.top, parent, nullptr, instance, nullptr);
    if (!dialog) {
        if (info->ownsFont) DeleteObject(info->font);
        return nullptr;
    }
    {
        std::lock_guard guard(d.lock);
        Window* w = d.Find(dialog);
        w->control = info;
        w->modalDepth = modal ? 1 : 0;
    }
    SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    SendMessageW(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(info->font), 0);
    for (const DialogItem& item : t.items) {
        std::u16string cls = item.windowClass.isOrdinal ? PredefinedClassName(item.windowClass.ordinal) : item.windowClass.text;
        std::u16string text;
        bool imageFromResource = false;
        if (item.title.present && item.title.isOrdinal) {
            imageFromResource = true;
        } else {
            text = item.title.text;
        }
        const RECT ir{px(item.x, false), px(item.y, true), px(item.x + item.cx, false), px(item.y + item.cy, true)};
        HWND control = CreateWindowExW(item.exStyle | WS_EX_NOPARENTNOTIFY, cls.c_str(), text.c_str(), item.style | WS_CHILD,
                                       ir.left, ir.top, ir.right - ir.left, ir.bottom - ir.top, dialog,
                                       reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), instance,
                                       item.creationData.empty() ? nullptr : const_cast<uint8_t*>(item.creationData.data()));
        if (!control) {
            if (t.style & DS_NOFAILCREATE) continue;
            DestroyWindow(dialog);
            return nullptr;
        }
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(info->font), 0);
        if (imageFromResource && instance) {
            // A picture control names its icon or bitmap by number.
            const DWORD type = item.style & SS_TYPEMASK;
            HANDLE image = nullptr;
            if (type == SS_ICON) {
                // The picture of the group that best fits the control.
                const int side = std::max<int>(16, std::min(ir.right - ir.left, ir.bottom - ir.top));
                image = LoadImageW(instance, MAKEINTRESOURCEW(item.title.ordinal), IMAGE_ICON, side, side, 0);
            } else if (type == SS_BITMAP) {
                image = LoadImageW(instance, MAKEINTRESOURCEW(item.title.ordinal), IMAGE_BITMAP, 0, 0, 0);
            }
            if (image) {
                info->images.push_back(image);
                SendMessageW(control, STM_SETIMAGE, type == SS_ICON ? IMAGE_ICON : IMAGE_BITMAP, reinterpret_cast<LPARAM>(image));
            }
        }
    }
    HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
    const INT_PTR setFocus = proc ? proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init) : TRUE;
    if (!IsWindow(dialog)) return nullptr;
    if (setFocus && first && (t.style & WS_VISIBLE)) SetFocus(first);
    info->lastFocus = first;
    if (t.style & WS_VISIBLE) ShowWindow(dialog, SW_SHOW);
    return dialog;
}

const DialogTemplate* ParseOrNull(LPCDLGTEMPLATEW raw, size_t size, DialogTemplate* storage) {
    std::string error;
    if (!raw || !ParseDialogTemplate(std::span(reinterpret_cast<const uint8_t*>(raw), size), storage, &error)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return storage;
}

// A template given by address carries no size: the reader is bounded by a
// generous limit, and the resource calls pass the real size.
constexpr size_t kUnboundedTemplate = 1 << 20;

bool FindTemplate(HINSTANCE instance, LPCWSTR name, std::span<const uint8_t>* bytes) {
    HRSRC res = FindResourceW(instance, name, MAKEINTRESOURCEW(5));
    if (!res) return false;
    *bytes = std::span(static_cast<const uint8_t*>(LockResource(LoadResource(instance, res))), SizeofResource(instance, res));
    return true;
}

INT_PTR RunModal(HWND dialog, HWND owner) {
    const bool ownerWasEnabled = owner && IsWindowEnabled(owner);
    if (ownerWasEnabled) EnableWindow(owner, FALSE);
    ShowWindow(dialog, SW_SHOW);
    if (DialogInfo* info = InfoOf(dialog); info && info->lastFocus && IsWindow(info->lastFocus)) SetFocus(info->lastFocus);
    MSG m;
    INT_PTR result = -1;
    while (true) {
        DialogInfo* info = InfoOf(dialog);
        if (!info) break;
        if (info->ended) {
            result = info->result;
            break;
        }
        if (!GetMessageW(&m, nullptr, 0, 0)) {
            // A quit ends the dialog and goes on to the outer loop.
            PostQuitMessage(static_cast<int>(m.wParam));
            break;
        }
        if (!IsDialogMessageW(dialog, &m)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
    if (ownerWasEnabled && IsWindow(owner)) EnableWindow(owner, TRUE);
    if (IsWindow(dialog)) DestroyWindow(dialog);
    return result;
}

}  // namespace

HWND CreateModalDialog(const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM init) {
    return CreateFromTemplate(nullptr, t, owner, proc, init, true);
}

INT_PTR RunModalDialog(HWND dialog, HWND owner) { return RunModal(dialog, owner); }

void RegisterDialogClass(Desktop& d) {
    auto c = std::make_unique<WindowClass>();
    c->name = u"#32770";
    c->proc = DialogClassProc;
    c->style = CS_GLOBALCLASS | CS_DBLCLKS | CS_SAVEBITS;
    c->windowExtra = 3 * sizeof(LONG_PTR);  // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER
    c->atom = 32770;
    c->system = true;
    d.classes.push_back(std::move(c));
}

}  // namespace qk::ui

using namespace qk::ui;

LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
    if (DLGPROC proc = ProcOf(dialog)) {
        const INT_PTR handled = proc(dialog, message, wParam, lParam);
        if (!IsWindow(dialog)) return handled;
        if (DirectResult(message)) {
            if (handled || message == WM_INITDIALOG) return handled;
        } else if (handled) {
            return GetWindowLongPtrW(dialog, DWLP_MSGRESULT);
        }
    }
    switch (message) {
        case WM_ERASEBKGND: {
            HDC hdc = reinterpret_cast<HDC>(wParam);
            HBRUSH brush = reinterpret_cast<HBRUSH>(SendMessageW(dialog, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(dialog)));
            if (!brush) brush = GetSysColorBrush(COLOR_BTNFACE);
            RECT r;
            GetClientRect(dialog, &r);
            FillRect(hdc, &r, brush);
            return 1;
        }
        case WM_CLOSE: {
            // Closing is cancelling, when there is a way to cancel.
            HWND cancel = GetDlgItem(dialog, IDCANCEL);
            if (!cancel || IsWindowEnabled(cancel)) PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
            return 0;
        }
        case WM_NCDESTROY: {
            if (DialogInfo* info = InfoOf(dialog)) {
                if (info->ownsFont) DeleteObject(info->font);
                info->ownsFont = false;
                for (HANDLE image : info->images) DeleteObject(image);
                info->images.clear();
            }
            return DefWindowProcW(dialog, message, wParam, lParam);
        }
        case DM_GETDEFID: {
            DialogInfo* info = InfoOf(dialog);
            return info ? MAKELRESULT(info->defaultId, DC_HASDEFID) : 0;
        }
        case DM_SETDEFID: {
            if (DialogInfo* info = InfoOf(dialog)) info->defaultId = static_cast<UINT>(wParam);
            return TRUE;
        }
        case WM_SETFOCUS: {
            DialogInfo* info = InfoOf(dialog);
            if (info && info->lastFocus && IsWindow(info->lastFocus)) SetFocus(info->lastFocus);
            return 0;
        }
        case WM_NEXTDLGCTL: {
            HWND target = lParam ? reinterpret_cast<HWND>(wParam) : GetNextDlgTabItem(dialog, GetFocus(), wParam != 0);
            if (target) {
                SetFocus(target);
                if (DialogInfo* info = InfoOf(dialog)) info->lastFocus = target;
            }
            return 0;
        }
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLORSCROLLBAR: return DefWindowProcW(dialog, message, wParam, lParam);
        default: return DefWindowProcW(dialog, message, wParam, lParam);
    }
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc, LPARAM init) {
    DialogTemplate t;
    if (!ParseOrNull(dialogTemplate, kUnboundedTemplate, &t)) return nullptr;
    return CreateFromTemplate(instance, t, parent, proc, init, false);
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM init) {
    std::span<const uint8_t> bytes;
    if (!FindTemplate(instance, name, &bytes)) return nullptr;
    DialogTemplate t;
    std::string error;
    if (!ParseDialogTemplate(bytes, &t, &error)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateFromTemplate(instance, t, parent, proc, init, false);
}

HWND CreateDialogParamA(HINSTANCE instance, LPCSTR name, HWND parent, DLGPROC proc, LPARAM init) {
    if (IS_INTRESOURCE(name)) return CreateDialogParamW(instance, reinterpret_cast<LPCWSTR>(name), parent, proc, init);
    return CreateDialogParamW(instance, Widen(name).c_str(), parent, proc, init);
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc, LPARAM init) {
    DialogTemplate t;
    if (!ParseOrNull(dialogTemplate, kUnboundedTemplate, &t)) return -1;
    t.style &= ~WS_VISIBLE;
    HWND dialog = CreateFromTemplate(instance, t, parent, proc, init, true);
    if (!dialog) return -1;
    return RunModal(dialog, parent);
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM init) {
    std::span<const uint8_t> bytes;
    if (!FindTemplate(instance, name, &bytes)) return -1;
    DialogTemplate t;
    std::string error;
    if (!ParseDialogTemplate(bytes, &t, &error)) return -1;
    t.style &= ~WS_VISIBLE;
    HWND dialog = CreateFromTemplate(instance, t, parent, proc, init, true);
    if (!dialog) return -1;
    return RunModal(dialog, parent);
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND parent, DLGPROC proc, LPARAM init) {
    if (IS_INTRESOURCE(name)) return DialogBoxParamW(instance, reinterpret_cast<LPCWSTR>(name), parent, proc, init);
    return DialogBoxParamW(instance, Widen(name).c_str(), parent, proc, init);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    DialogInfo* info = InfoOf(dialog);
    if (!info) return FALSE;
    info->ended = true;
    info->result = result;
    ShowWindow(dialog, SW_HIDE);
    // The modal loop looks at the flag when its next message comes.
    PostMessageW(dialog, WM_NULL, 0, 0);
    return TRUE;
}

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(dialog);
    if (!w) return nullptr;
    std::vector<Window*> all;
    Flatten(w, &all);
    std::vector<Window*> stops;
    for (Window* c : all) {
        if (c->style & WS_TABSTOP) stops.push_back(c);
    }
    if (stops.empty()) return nullptr;
    auto it = std::find_if(stops.begin(), stops.end(), [&](Window* c) { return c->handle == control; });
    if (it == stops.end()) {
        // A control without a tab stop: start from its place in the order.
        auto at = std::find_if(all.begin(), all.end(), [&](Window* c) { return c->handle == control; });
        if (at == all.end()) return (previous ? stops.back() : stops.front())->handle;
        if (previous) {
            for (auto r = std::make_reverse_iterator(at); r != all.rend(); ++r) {
                if ((*r)->style & WS_TABSTOP) return (*r)->handle;
            }
            return stops.back()->handle;
        }
        for (auto f = at + 1; f != all.end(); ++f) {
            if ((*f)->style & WS_TABSTOP) return (*f)->handle;
        }
        return stops.front()->handle;
    }
    const size_t i = static_cast<size_t>(it - stops.begin());
    const size_t n = stops.size();
    return stops[previous ? (i + n - 1) % n : (i + 1) % n]->handle;
}

HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(dialog);
    if (!w) return nullptr;
    std::vector<Window*> all;
    Flatten(w, &all);
    auto at = std::find_if(all.begin(), all.end(), [&](Window* c) { return c->handle == control; });
    if (at == all.end()) return all.empty() ? nullptr : all.front()->handle;
    // The group: from the last WS_GROUP at or before the control to the next one.
    size_t start = static_cast<size_t>(at - all.begin());
    while (start > 0 && !(all[start]->style & WS_GROUP)) --start;
    size_t end = start + 1;
    while (end < all.size() && !(all[end]->style & WS_GROUP)) ++end;
    const size_t n = end - start;
    const size_t i = static_cast<size_t>(at - all.begin()) - start;
    return all[start + (previous ? (i + n - 1) % n : (i + 1) % n)]->handle;
}

BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
    if (!msg || !dialog || !IsWindow(dialog)) return FALSE;
    if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return FALSE;
    const LRESULT code = msg->hwnd ? SendMessageW(msg->hwnd, WM_GETDLGCODE, msg->wParam, reinterpret_cast<LPARAM>(msg)) : 0;
    if (msg->message == WM_KEYDOWN) {
        switch (msg->wParam) {
            case VK_TAB: {
                if (code & DLGC_WANTTAB) break;
                HWND next = GetNextDlgTabItem(dialog, GetFocus(), GetKeyState(VK_SHIFT) < 0);
                if (next) {
                    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
                    // Tabbing into an edit selects its text.
                    if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(next, EM_SETSEL, 0, -1);
                }
                return TRUE;
            }
            case VK_LEFT:
            case VK_UP:
            case VK_RIGHT:
            case VK_DOWN: {
                if (code & DLGC_WANTARROWS) break;
                HWND next = GetNextDlgGroupItem(dialog, GetFocus(), msg->wParam == VK_LEFT || msg->wParam == VK_UP);
                if (next) {
                    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
                    if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) SendMessageW(next, BM_CLICK, 0, 0);
                }
                return TRUE;
            }
            case VK_RETURN: {
                if (code & DLGC_WANTALLKEYS) break;
                const LRESULT def = SendMessageW(dialog, DM_GETDEFID, 0, 0);
                const UINT id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
                HWND button = GetDlgItem(dialog, static_cast<int>(id));
                if (!button || IsWindowEnabled(button)) {
                    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
                }
                return TRUE;
            }
            case VK_ESCAPE: {
                if (code & DLGC_WANTALLKEYS) break;
                HWND cancel = GetDlgItem(dialog, IDCANCEL);
                if (!cancel || IsWindowEnabled(cancel)) {
                    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
                }
                return TRUE;
            }
            default: break;
        }
    }
    if (msg->message == WM_CHAR && !(code & (DLGC_WANTCHARS | DLGC_WANTALLKEYS))) {
        // Keys the dialog used above produce no characters for the control.
        if (msg->wParam == VK_TAB || msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE) return TRUE;
    }
    TranslateMessage(msg);
    DispatchMessageW(msg);
    return TRUE;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) { return SetWindowTextW(GetDlgItem(dialog, id), text); }
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) { return SetWindowTextA(GetDlgItem(dialog, id), text); }
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int count) { return GetWindowTextW(GetDlgItem(dialog, id), text, count); }
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int count) { return GetWindowTextA(GetDlgItem(dialog, id), text, count); }

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    const std::string s = isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value);
    return SetDlgItemTextA(dialog, id, s.c_str());
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
    char16_t text[32];
    const UINT n = GetDlgItemTextW(dialog, id, text, 32);
    if (translated) *translated = FALSE;
    size_t i = 0;
    while (i < n && text[i] == u' ') ++i;
    bool negative = false;
    if (isSigned && i < n && text[i] == u'-') {
        negative = true;
        ++i;
    }
    if (i >= n || text[i] < u'0' || text[i] > u'9') return 0;
    int64_t v = 0;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        v = v * 10 + (text[i] - u'0');
        if (v > 0xFFFFFFFFll) return 0;
    }
    while (i < n && text[i] == u' ') ++i;
    if (i != n) return 0;
    if (isSigned && (negative ? -v < INT32_MIN : v > INT32_MAX)) return 0;
    if (translated) *translated = TRUE;
    return static_cast<UINT>(negative ? -v : v);
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageW(item, message, wParam, lParam) : 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageA(item, message, wParam, lParam) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) { return SendDlgItemMessageW(dialog, id, BM_SETCHECK, check, 0) == 0 && GetDlgItem(dialog, id); }
UINT IsDlgButtonChecked(HWND dialog, int id) { return static_cast<UINT>(SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0)); }

BOOL CheckRadioButton(HWND dialog, int first, int last, int check) {
    for (int id = first; id <= last; ++id) SendDlgItemMessageW(dialog, id, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
    return TRUE;
}

BOOL MapDialogRect(HWND dialog, LPRECT rect) {
    DialogInfo* info = InfoOf(dialog);
    if (!info || !rect) return FALSE;
    rect->left = MulDivRound(rect->left, info->baseX, 4);
    rect->right = MulDivRound(rect->right, info->baseX, 4);
    rect->top = MulDivRound(rect->top, info->baseY, 8);
    rect->bottom = MulDivRound(rect->bottom, info->baseY, 8);
    return TRUE;
}

LONG GetDialogBaseUnits() {
    int height = 0;
    const int width = AverageCharWidth(nullptr, &height);
    return MAKELONG(width, height);
}

namespace {

INT_PTR CALLBACK MessageBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    // Built as a dialog of the dialog font: the text, then the buttons of
    // the type, right-aligned; the first button is the default.
    struct Button {
        WORD id;
        const char16_t* text;
    };
    std::vector<Button> buttons;
    switch (type & 0xF) {
        case MB_OKCANCEL: buttons = {{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}}; break;
        case MB_YESNO: buttons = {{IDYES, u"&Yes"}, {IDNO, u"&No"}}; break;
        case MB_YESNOCANCEL: buttons = {{IDYES, u"&Yes"}, {IDNO, u"&No"}, {IDCANCEL, u"Cancel"}}; break;
        case MB_RETRYCANCEL: buttons = {{IDRETRY, u"&Retry"}, {IDCANCEL, u"Cancel"}}; break;
        default: buttons = {{IDOK, u"OK"}}; break;
    }
    const std::u16string body = text ? text : u"";
    int baseY = 0;
    const int baseX = AverageCharWidth(nullptr, &baseY);
    // The text's size in dialog units, wrapped at about 60 characters.
    HDC measure = CreateCompatibleDC(nullptr);
    RECT extent{0, 0, baseX * 60, 0};
    DrawTextW(measure, body.c_str(), -1, &extent, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    DeleteDC(measure);
    const int textW = (extent.right * 4 + baseX - 1) / baseX + 2, textH = (extent.bottom * 8 + baseY - 1) / baseY;
    const int buttonsW = static_cast<int>(buttons.size()) * 54;
    DialogTemplate t;
    t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
    t.cx = static_cast<int16_t>(std::max(textW + 14, buttonsW + 10));
    t.cy = static_cast<int16_t>(textH + 38);
    t.title = caption ? caption : u"Error";
    t.hasFont = true;
    t.pointSize = 8;
    t.face = u"MS Shell Dlg";
    DialogItem label;
    label.style = WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
    label.x = 7;
    label.y = 7;
    label.cx = static_cast<int16_t>(textW);
    label.cy = static_cast<int16_t>(textH);
    label.id = 0xFFFF;
    label.windowClass = NameOrOrdinal{true, true, 0x82, {}};
    label.title = NameOrOrdinal{true, false, 0, body};
    t.items.push_back(label);
    int x = t.cx - 7 - buttonsW + 4;
    for (size_t i = 0; i < buttons.size(); ++i) {
        DialogItem b;
        b.style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        b.x = static_cast<int16_t>(x);
        b.y = static_cast<int16_t>(t.cy - 21);
        b.cx = 50;
        b.cy = 14;
        b.id = buttons[i].id;
        b.windowClass = NameOrOrdinal{true, true, 0x80, {}};
        b.title = NameOrOrdinal{true, false, 0, buttons[i].text};
        t.items.push_back(b);
        x += 54;
    }
    HWND dialog = CreateFromTemplate(nullptr, t, owner, MessageBoxProc, 0, true);
    if (!dialog) return 0;
    SendMessageW(dialog, DM_SETDEFID, buttons.front().id, 0);
    return static_cast<int>(RunModal(dialog, owner));
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    const std::u16string t = Widen(text ? text : ""), c = Widen(caption ? caption : "Error");
    return MessageBoxW(owner, t.c_str(), c.c_str(), type);
}
