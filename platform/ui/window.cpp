// Windows and window classes: creation and destruction with the message
// order a Windows program expects, the window tree and its geometry,
// styles, text, properties and window regions.
#include <algorithm>
#include <cstring>

#include "platform/nt/kernel.h"
#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

namespace {

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return s;
}

// Non-client frame widths of the styles the package uses.
RECT FrameOf(DWORD style, DWORD exStyle) {
    LONG edge = 0;
    if ((style & WS_THICKFRAME) || (style & WS_DLGFRAME) || (exStyle & WS_EX_DLGMODALFRAME)) {
        edge = 3;
    } else if (style & WS_BORDER) {
        edge = 1;
    }
    if (exStyle & WS_EX_CLIENTEDGE) edge += 2;
    if (exStyle & WS_EX_STATICEDGE) edge += 1;
    RECT frame{edge, edge, edge, edge};
    if ((style & WS_CAPTION) == WS_CAPTION) frame.top += kCaptionHeight;
    return frame;
}

void DestroyTree(Desktop& d, Window* w);

}  // namespace

Desktop::Desktop(Machine&) {
    RegisterSystemClasses(*this);
    if (auto* kernel = nt::Kernel::GetOrNull()) {
        // Timers fall due as the platform clock moves; waiting queues look again.
        kernel->TheClock().AddListener([w = wake] { w->notify_all(); });
    }
    presenter = StartX11Presenter();
}

Desktop::~Desktop() {
    deviceWatch.reset();
    presenter.reset();
    for (auto& [h, w] : windows) {
        if (w->surface) cairo_surface_destroy(w->surface);
    }
}

Desktop& Desktop::Get() { return Machine::Current().Component<Desktop>(); }

Window* Desktop::Find(HWND hwnd) {
    auto it = windows.find(hwnd);
    return it == windows.end() ? nullptr : it->second.get();
}

WindowClass* Desktop::FindClass(const std::u16string& name, HINSTANCE instance) {
    const std::u16string key = Upper(name);
    WindowClass* any = nullptr;
    for (auto& c : classes) {
        if (Upper(c->name) != key) continue;
        if (c->instance == instance) return c.get();
        if (c->system || (c->style & CS_GLOBALCLASS)) any = c.get();
    }
    return any;
}

int64_t Desktop::Now() const {
    auto* kernel = nt::Kernel::GetOrNull();
    return kernel ? kernel->TheClock().Now() : 0;
}

RECT ClientRectInWindow(const Window& w) {
    const RECT frame = FrameOf(w.style, w.exStyle);
    const LONG width = w.rect.right - w.rect.left, height = w.rect.bottom - w.rect.top;
    RECT c{frame.left, frame.top, width - frame.right, height - frame.bottom};
    if (w.vscroll.shown) c.right -= kScrollBarWidth;
    if (w.hscroll.shown) c.bottom -= kScrollBarWidth;
    if (c.right < c.left) c.right = c.left;
    if (c.bottom < c.top) c.bottom = c.top;
    return c;
}

Window* TopLevelOf(Window* w) {
    while (w && w->parent) w = w->parent;
    return w;
}

POINT WindowOriginOnSurface(const Window& w) {
    POINT p{0, 0};
    for (const Window* c = &w; c->parent; c = c->parent) {
        const RECT client = ClientRectInWindow(*c->parent);
        p.x += c->rect.left + client.left;
        p.y += c->rect.top + client.top;
    }
    return p;
}

POINT ClientOriginOnSurface(const Window& w) {
    POINT p = WindowOriginOnSurface(w);
    const RECT client = ClientRectInWindow(w);
    return POINT{p.x + client.left, p.y + client.top};
}

bool IsVisibleOnScreen(const Window& w) {
    for (const Window* c = &w; c; c = c->parent) {
        if (!(c->style & WS_VISIBLE)) return false;
    }
    return true;
}

Region VisibleClientRegion(const Window& w) {
    // The client area, cut by every ancestor's client area (children never
    // draw outside their parent) and by window regions.
    const POINT origin = ClientOriginOnSurface(w);
    const RECT client = ClientRectInWindow(w);
    Region visible(RECT{origin.x, origin.y, origin.x + client.right - client.left, origin.y + client.bottom - client.top});
    for (const Window* c = &w; c; c = c->parent) {
        const POINT o = ClientOriginOnSurface(*c);
        const RECT cr = ClientRectInWindow(*c);
        if (c != &w) {
            visible = Region::Combine(
                visible, Region(RECT{o.x, o.y, o.x + cr.right - cr.left, o.y + cr.bottom - cr.top}), Region::Op::And);
        }
        if (c->shape) {
            Region shape = *c->shape;
            const POINT wo = WindowOriginOnSurface(*c);
            shape.Offset(wo.x, wo.y);
            visible = Region::Combine(visible, shape, Region::Op::And);
        }
    }
    visible.Offset(-origin.x, -origin.y);
    return visible;
}

std::u16string Widen(LPCSTR s, int count) {
    std::u16string out;
    if (!s) return out;
    for (int i = 0; count < 0 ? s[i] != 0 : i < count; ++i) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(s[i])));
    return out;
}

std::string Narrow(const std::u16string& s) {
    // UTF-16 to UTF-8 for Cairo and the host.
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {

void EnsureSurface(Window& w) {
    if (w.parent) return;
    const int width = std::max<LONG>(1, w.rect.right - w.rect.left);
    const int height = std::max<LONG>(1, w.rect.bottom - w.rect.top);
    if (w.surface && cairo_image_surface_get_width(w.surface) == width &&
        cairo_image_surface_get_height(w.surface) == height) {
        return;
    }
    cairo_surface_t* fresh = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (w.surface) {
        // Keep what was drawn where it still fits; the rest is painted anew.
        // The old surface lives on in the DCs that still draw on it.
        std::lock_guard pixels(PaintLock());
        cairo_t* cr = cairo_create(fresh);
        cairo_set_source_surface(cr, w.surface, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(w.surface);
    }
    w.surface = fresh;
}

void Unlink(Desktop& d, Window* w) {
    auto& list = w->parent ? w->parent->children : d.topLevel;
    list.erase(std::remove(list.begin(), list.end(), w), list.end());
}

void DestroyTree(Desktop& d, Window* w) {
    const HWND h = w->handle;
    if (d.Find(h) == nullptr || w->destroyed) return;
    w->destroyed = true;
    // Timers of the window go with it.
    {
        std::lock_guard guard(d.lock);
        d.timers.erase(std::remove_if(d.timers.begin(), d.timers.end(), [h](const Timer& t) { return t.hwnd == h; }),
                       d.timers.end());
        if (d.focus == h) d.focus = nullptr;
        if (d.capture == h) d.capture = nullptr;
        if (d.active == h) d.active = nullptr;
    }
    SendMessageW(h, WM_DESTROY, 0, 0);
    // Children get WM_DESTROY after their parent and WM_NCDESTROY before it.
    std::vector<Window*> children;
    {
        std::lock_guard guard(d.lock);
        children = w->children;
    }
    for (Window* c : children) DestroyTree(d, c);
    // Owned top-level windows go too.
    std::vector<Window*> owned;
    {
        std::lock_guard guard(d.lock);
        for (auto& [hh, other] : d.windows) {
            if (other->owner == w && !other->destroyed) owned.push_back(other.get());
        }
    }
    for (Window* o : owned) DestroyTree(d, o);
    SendMessageW(h, WM_NCDESTROY, 0, 0);
    DestroySystemMenuOf(h);
    std::lock_guard guard(d.lock);
    Unlink(d, w);
    if (w->surface) cairo_surface_destroy(w->surface);
    d.windows.erase(h);
}

}  // namespace

}  // namespace qk::ui

using namespace qk::ui;

ATOM RegisterClassExW(const WNDCLASSEXW* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    WindowClass* existing = d.FindClass(wc->lpszClassName, wc->hInstance);
    if (existing && existing->instance == wc->hInstance && !existing->system) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto c = std::make_unique<WindowClass>();
    c->name = wc->lpszClassName;
    c->style = wc->style;
    c->proc = wc->lpfnWndProc;
    c->classExtra = wc->cbClsExtra;
    c->windowExtra = std::clamp(wc->cbWndExtra, 0, 4096);
    c->instance = wc->hInstance;
    c->icon = wc->hIcon;
    c->cursor = wc->hCursor;
    c->background = wc->hbrBackground;
    c->atom = d.nextAtom++;
    const ATOM atom = c->atom;
    // A class of the caller comes before the platform's of the same name.
    d.classes.insert(d.classes.begin(), std::move(c));
    return atom;
}

ATOM RegisterClassExA(const WNDCLASSEXA* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string name = Widen(wc->lpszClassName);
    WNDCLASSEXW w{sizeof(WNDCLASSEXW), wc->style, wc->lpfnWndProc, wc->cbClsExtra, wc->cbWndExtra, wc->hInstance,
                  wc->hIcon, wc->hCursor, wc->hbrBackground, nullptr, name.c_str(), wc->hIconSm};
    return RegisterClassExW(&w);
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    for (auto it = d.classes.begin(); it != d.classes.end(); ++it) {
        if ((*it)->system || (*it)->instance != instance || Upper((*it)->name) != Upper(className)) continue;
        for (auto& [h, w] : d.windows) {
            if (w->cls == it->get()) {
                SetLastError(ERROR_CLASS_HAS_WINDOWS);
                return FALSE;
            }
        }
        d.classes.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

BOOL GetClassInfoExW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSEXW wc) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    WindowClass* c = className ? d.FindClass(className, instance) : nullptr;
    if (!c || !wc) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *wc = WNDCLASSEXW{sizeof(WNDCLASSEXW), c->style, c->proc, c->classExtra, c->windowExtra, c->instance, c->icon,
                      c->cursor, c->background, nullptr, className, nullptr};
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parentHandle, HMENU menu, HINSTANCE instance, LPVOID param) {
    Desktop& d = Desktop::Get();
    // The first window starts the watch on devices, outside every lock: the
    // desktop is made under the machine's lock, which Plug and Play takes too.
    std::call_once(d.deviceWatchOnce, [&d] {
        if (qk::nt::Kernel::GetOrNull() != nullptr) d.deviceWatch = WatchDeviceChanges(d);
    });
    std::unique_ptr<Window> owned = std::make_unique<Window>();
    Window* w = owned.get();
    {
        std::lock_guard guard(d.lock);
        WindowClass* cls = className ? d.FindClass(IS_INTRESOURCE(className) ? std::u16string() : className, instance)
                                     : nullptr;
        if (className && IS_INTRESOURCE(className)) {
            const ATOM atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(className));
            for (auto& c : d.classes) {
                if (c->atom == atom) cls = c.get();
            }
        }
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        Window* parent = parentHandle ? d.Find(parentHandle) : nullptr;
        if (parentHandle && !parent) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if ((style & WS_CHILD) && !parent) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        w->handle = reinterpret_cast<HWND>(d.nextHandle);
        d.nextHandle += 4;
        w->cls = cls;
        w->style = style & ~WS_VISIBLE;
        w->exStyle = exStyle;
        if (style & WS_CHILD) {
            w->parent = parent;
            w->id = reinterpret_cast<UINT_PTR>(menu);
        } else {
            w->owner = parent ? TopLevelOf(parent) : nullptr;
        }
        if (x == static_cast<int>(CW_USEDEFAULT)) x = y = 40;
        if (width == static_cast<int>(CW_USEDEFAULT)) {
            width = 400;
            height = 300;
        }
        w->rect = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
        w->instance = instance;
        w->proc = cls->proc;
        w->extra.assign(static_cast<size_t>(cls->windowExtra), 0);
        w->thread = std::this_thread::get_id();
        w->threadId = GetCurrentThreadId();
        w->threadAlive = CurrentThreadAlive();
        if (windowName) w->text = IS_INTRESOURCE(windowName) ? std::u16string() : std::u16string(windowName);
        if (w->parent) {
            w->parent->children.push_back(w);
        } else {
            d.topLevel.insert(d.topLevel.begin(), w);
            EnsureSurface(*w);
        }
        d.windows[w->handle] = std::move(owned);
        d.QueueOf(w->thread);
    }
    const HWND h = w->handle;
    CREATESTRUCTW cs{param, instance, menu, parentHandle, height, width, y, x, static_cast<LONG>(style), windowName,
                     className, exStyle};
    if (!SendMessageW(h, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        DestroyWindow(h);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    NCCALCSIZE_PARAMS calc{};
    {
        std::lock_guard guard(d.lock);  // other threads may already move it (FindWindow finds it)
        calc.rgrc[0] = w->rect;
    }
    SendMessageW(h, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&calc.rgrc[0]));
    if (!IsWindow(h) || SendMessageW(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        if (IsWindow(h)) DestroyWindow(h);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RECT client, rect;
    HWND parentWindow;
    UINT_PTR id;
    {
        std::lock_guard guard(d.lock);
        if (!d.Find(h)) return nullptr;
        client = ClientRectInWindow(*w);
        rect = w->rect;
        parentWindow = w->parent ? w->parent->handle : nullptr;
        id = w->id;
    }
    SendMessageW(h, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right - client.left, client.bottom - client.top));
    SendMessageW(h, WM_MOVE, 0, MAKELPARAM(rect.left + client.left, rect.top + client.top));
    if (parentWindow && !(exStyle & WS_EX_NOPARENTNOTIFY)) {
        SendMessageW(parentWindow, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, id), reinterpret_cast<LPARAM>(h));
    }
    if (!IsWindow(h)) return nullptr;
    if (style & WS_VISIBLE) ShowWindow(h, SW_SHOW);
    return h;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    const std::u16string cls = IS_INTRESOURCE(className) ? std::u16string() : Widen(className);
    const std::u16string name = windowName ? Widen(windowName) : std::u16string();
    return CreateWindowExW(exStyle, IS_INTRESOURCE(className) ? reinterpret_cast<LPCWSTR>(className) : cls.c_str(),
                           windowName ? name.c_str() : nullptr, style, x, y, width, height, parent, menu, instance,
                           param);
}

BOOL DestroyWindow(HWND hwnd) {
    Desktop& d = Desktop::Get();
    Window* w;
    HWND parentWindow;
    UINT_PTR id;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->destroyed) return TRUE;
        parentWindow = w->parent ? w->parent->handle : nullptr;
        id = w->id;
    }
    if (parentWindow && !(w->exStyle & WS_EX_NOPARENTNOTIFY)) {
        SendMessageW(parentWindow, WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, id), reinterpret_cast<LPARAM>(hwnd));
    }
    if (IsWindow(hwnd) && (w->style & WS_VISIBLE)) {
        SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT area;
    HWND owner = nullptr;
    bool wasActive;
    {
        std::lock_guard guard(d.lock);
        if (!d.Find(hwnd)) return TRUE;
        parentWindow = w->parent ? w->parent->handle : nullptr;
        area = w->rect;
        wasActive = d.active == hwnd;
        if (w->owner != nullptr) owner = w->owner->handle;
    }
    DestroyTree(d, w);
    // The active window went: its owner comes back in front, as after a
    // message box or a modal dialog.
    if (wasActive && owner != nullptr && GetActiveWindow() == nullptr && IsWindowVisible(owner) && IsWindowEnabled(owner)) {
        SetActiveWindow(owner);
    }
    std::lock_guard guard(d.lock);
    if (Window* parent = parentWindow ? d.Find(parentWindow) : nullptr) Invalidate(*parent, Region(area), true, true);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.Find(hwnd) != nullptr;
}

BOOL IsWindowVisible(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    return w && IsVisibleOnScreen(*w);
}

BOOL IsWindowEnabled(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    return w && !(w->style & WS_DISABLED);
}

BOOL IsChild(HWND parent, HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    for (Window* p = w ? w->parent : nullptr; p; p = p->parent) {
        if (p->handle == parent) return TRUE;
    }
    return FALSE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    Desktop& d = Desktop::Get();
    Window* w;
    bool wasDisabled;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) return FALSE;
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (wasDisabled == !enable) return wasDisabled;
        if (enable) {
            w->style &= ~WS_DISABLED;
        } else {
            w->style |= WS_DISABLED;
            if (d.focus == hwnd) d.focus = nullptr;
        }
    }
    SendMessageW(hwnd, WM_ENABLE, enable, 0);
    InvalidateRect(hwnd, nullptr, TRUE);
    return wasDisabled;
}

namespace {

constexpr int kForceMinimize = 11;
// Where the system keeps a minimised window, and the size of its icon.
constexpr int kMinimizedPosition = -32000;
constexpr int kMinimizedWidth = 160;
constexpr int kMinimizedHeight = 28;

bool MinimizeCommand(int command) {
    return command == SW_MINIMIZE || command == SW_SHOWMINIMIZED || command == SW_SHOWMINNOACTIVE ||
           command == kForceMinimize;
}

bool RestoreCommand(int command) { return command == SW_RESTORE || command == SW_SHOWNORMAL || command == SW_SHOWDEFAULT; }

}  // namespace

BOOL IsIconic(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    return w && (w->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL AttachThreadInput(DWORD, DWORD, BOOL) { return TRUE; }

BOOL ShowWindow(HWND hwnd, int command) {
    Desktop& d = Desktop::Get();
    Window* w;
    bool iconic, child;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) return FALSE;
        iconic = (w->style & WS_MINIMIZE) != 0;
        child = w->parent != nullptr;
    }
    const bool wasVisible = (w->style & WS_VISIBLE) != 0;
    if (!child && MinimizeCommand(command) && !iconic) {
        if (!wasVisible) SendMessageW(hwnd, WM_SHOWWINDOW, TRUE, 0);
        {
            std::lock_guard guard(d.lock);
            w->normalRect = w->rect;
            w->style |= WS_MINIMIZE;
        }
        SetWindowPos(hwnd, nullptr, kMinimizedPosition, kMinimizedPosition, kMinimizedWidth, kMinimizedHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE | (wasVisible ? 0 : SWP_SHOWWINDOW));
        return wasVisible;
    }
    if (!child && RestoreCommand(command) && iconic) {
        if (!wasVisible) SendMessageW(hwnd, WM_SHOWWINDOW, TRUE, 0);
        RECT r;
        {
            std::lock_guard guard(d.lock);
            r = w->normalRect;
            w->style &= ~static_cast<DWORD>(WS_MINIMIZE);
        }
        SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | (wasVisible ? 0 : SWP_SHOWWINDOW));
        SetActiveWindow(hwnd);
        return wasVisible;
    }
    const bool show = command != SW_HIDE;
    if (show == wasVisible) return wasVisible;
    SendMessageW(hwnd, WM_SHOWWINDOW, show, 0);
    if (!IsWindow(hwnd)) return wasVisible;
    UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | (show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW);
    if (command == SW_SHOWNA || command == SW_SHOWNOACTIVATE || command == SW_HIDE || child) flags |= SWP_NOACTIVATE;
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, flags);
    if (show && !child && !(flags & SWP_NOACTIVATE)) SetActiveWindow(hwnd);
    return wasVisible;
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    Desktop& d = Desktop::Get();
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    WINDOWPOS pos{hwnd, insertAfter, x, y, cx, cy, flags};
    bool visibleBefore;
    {
        std::lock_guard guard(d.lock);
        if (flags & SWP_NOMOVE) {
            pos.x = w->rect.left;
            pos.y = w->rect.top;
        }
        if (flags & SWP_NOSIZE) {
            pos.cx = w->rect.right - w->rect.left;
            pos.cy = w->rect.bottom - w->rect.top;
        }
        visibleBefore = IsVisibleOnScreen(*w);
    }
    if (!(flags & SWP_NOSENDCHANGING)) SendMessageW(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    RECT before, after;
    {
        std::lock_guard guard(d.lock);
        if (!d.Find(hwnd)) return FALSE;
        before = w->rect;
        w->rect = RECT{pos.x, pos.y, pos.x + std::max(0, pos.cx), pos.y + std::max(0, pos.cy)};
        if (flags & SWP_SHOWWINDOW) w->style |= WS_VISIBLE;
        if (flags & SWP_HIDEWINDOW) w->style &= ~WS_VISIBLE;
        // Topmost is a top-level window's band, and its style says which band it is in.
        if (!(flags & SWP_NOZORDER) && !w->parent && insertAfter == HWND_TOPMOST) w->exStyle |= WS_EX_TOPMOST;
        if (!(flags & SWP_NOZORDER) && !w->parent && insertAfter == HWND_NOTOPMOST && (w->exStyle & WS_EX_TOPMOST)) {
            // Out of the band: first of the others, under every window still in it.
            w->exStyle &= ~WS_EX_TOPMOST;
            auto& list = d.topLevel;
            list.erase(std::remove(list.begin(), list.end(), w), list.end());
            auto below = std::find_if(list.begin(), list.end(), [](Window* o) { return !(o->exStyle & WS_EX_TOPMOST); });
            list.insert(below, w);
        }
        if (!(flags & SWP_NOZORDER) && (insertAfter == HWND_TOP || insertAfter == HWND_TOPMOST)) {
            auto& list = w->parent ? w->parent->children : d.topLevel;
            list.erase(std::remove(list.begin(), list.end(), w), list.end());
            list.insert(list.begin(), w);
        } else if (!(flags & SWP_NOZORDER) && insertAfter == HWND_BOTTOM) {
            auto& list = w->parent ? w->parent->children : d.topLevel;
            list.erase(std::remove(list.begin(), list.end(), w), list.end());
            list.push_back(w);
        }
        EnsureSurface(*w);
        after = w->rect;
    }
    const bool moved = before.left != after.left || before.top != after.top;
    const bool sized = (before.right - before.left) != (after.right - after.left) ||
                       (before.bottom - before.top) != (after.bottom - after.top);
    pos.flags = flags | (moved ? 0 : SWP_NOMOVE) | (sized ? 0 : SWP_NOSIZE);
    SendMessageW(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&pos));
    bool visibleAfter;
    {
        std::lock_guard guard(d.lock);
        if (!d.Find(hwnd)) return TRUE;
        // The places it left and took need painting (the parent's for a child).
        visibleAfter = IsVisibleOnScreen(*w);
        if (!(flags & SWP_NOREDRAW) && (moved || sized || visibleBefore != visibleAfter) && w->parent) {
            Region area = Region::Combine(Region(before), Region(w->rect), Region::Op::Or);
            Invalidate(*w->parent, area, true, true);
        }
    }
    if (!(flags & SWP_NOREDRAW) && (moved || sized || visibleBefore != visibleAfter)) {
        // What was not on the screen before is drawn whole, children and all,
        // whether or not the window clips its children.
        if (visibleAfter) RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    }
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
    return SetWindowPos(hwnd, nullptr, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !rect) return FALSE;
    // Screen coordinates: a child's rectangle is carried up through its ancestors.
    POINT origin = WindowOriginOnSurface(*w);
    Window* top = TopLevelOf(w);
    const LONG width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
    *rect = RECT{top->rect.left + origin.x, top->rect.top + origin.y, top->rect.left + origin.x + width,
                 top->rect.top + origin.y + height};
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !rect) return FALSE;
    const RECT c = ClientRectInWindow(*w);
    *rect = RECT{0, 0, c.right - c.left, c.bottom - c.top};
    return TRUE;
}

BOOL AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle) {
    if (!rect) return FALSE;
    const RECT frame = FrameOf(style, exStyle);
    rect->left -= frame.left;
    rect->top -= frame.top;
    rect->right += frame.right;
    rect->bottom += frame.bottom;
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, LPPOINT point) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !point) return FALSE;
    const POINT o = ClientOriginOnSurface(*w);
    Window* top = TopLevelOf(w);
    point->x += top->rect.left + o.x;
    point->y += top->rect.top + o.y;
    return TRUE;
}

BOOL ScreenToClient(HWND hwnd, LPPOINT point) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !point) return FALSE;
    const POINT o = ClientOriginOnSurface(*w);
    Window* top = TopLevelOf(w);
    point->x -= top->rect.left + o.x;
    point->y -= top->rect.top + o.y;
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count) {
    POINT delta{0, 0};
    if (from) ClientToScreen(from, &delta);
    POINT back{0, 0};
    if (to) ScreenToClient(to, &back);
    for (UINT i = 0; i < count; ++i) {
        points[i].x += delta.x + back.x;
        points[i].y += delta.y + back.y;
    }
    return MAKELONG(static_cast<SHORT>(delta.x + back.x), static_cast<SHORT>(delta.y + back.y));
}

HWND GetParent(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return nullptr;
    if (w->parent) return w->parent->handle;
    return w->owner ? w->owner->handle : nullptr;
}

HWND SetParent(HWND child, HWND newParent) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(child);
    Window* p = newParent ? d.Find(newParent) : nullptr;
    if (!w || (newParent && !p)) return nullptr;
    for (Window* a = p; a; a = a->parent) {
        if (a == w) return nullptr;  // never under its own descendant
    }
    HWND previous = w->parent ? w->parent->handle : nullptr;
    Unlink(d, w);
    if (p) {
        w->parent = p;
        w->style = (w->style & ~WS_POPUP) | WS_CHILD;
        p->children.insert(p->children.begin(), w);
        if (w->surface) {
            cairo_surface_destroy(w->surface);
            w->surface = nullptr;
        }
    } else {
        w->parent = nullptr;
        w->style &= ~WS_CHILD;
        d.topLevel.insert(d.topLevel.begin(), w);
        EnsureSurface(*w);
    }
    Invalidate(*w, Region(ClientRectInWindow(*w)), true, true);
    return previous;
}

HWND GetAncestor(HWND hwnd, UINT flags) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return nullptr;
    if (flags == GA_PARENT) return w->parent ? w->parent->handle : GetDesktopWindow();
    Window* top = TopLevelOf(w);
    if (flags == GA_ROOTOWNER) {
        while (top->owner) top = TopLevelOf(top->owner);
    }
    return top->handle;
}

HWND GetWindow(HWND hwnd, UINT command) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return nullptr;
    if (command == GW_CHILD) return w->children.empty() ? nullptr : w->children.front()->handle;
    if (command == GW_OWNER) return w->owner ? w->owner->handle : nullptr;
    const auto& list = w->parent ? w->parent->children : d.topLevel;
    auto it = std::find(list.begin(), list.end(), w);
    switch (command) {
        case GW_HWNDFIRST: return list.front()->handle;
        case GW_HWNDLAST: return list.back()->handle;
        case GW_HWNDNEXT: return (it + 1) == list.end() ? nullptr : (*(it + 1))->handle;
        case GW_HWNDPREV: return it == list.begin() ? nullptr : (*(it - 1))->handle;
        default: return nullptr;
    }
}

HWND GetDesktopWindow() { return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x10000)); }

HWND GetDlgItem(HWND dialog, int id) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(dialog);
    if (!w) return nullptr;
    for (Window* c : w->children) {
        if (static_cast<int>(c->id) == id) return c->handle;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    return (w && w->parent) ? static_cast<int>(w->id) : 0;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
    std::vector<HWND> all;
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        Window* w = d.Find(parent);
        if (!w) return FALSE;
        std::vector<Window*> stack(w->children.rbegin(), w->children.rend());
        while (!stack.empty()) {
            Window* c = stack.back();
            stack.pop_back();
            all.push_back(c->handle);
            stack.insert(stack.end(), c->children.rbegin(), c->children.rend());
        }
    }
    for (HWND h : all) {
        if (IsWindow(h) && !proc(h, lParam)) break;
    }
    return TRUE;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam) {
    std::vector<HWND> all;
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        for (Window* w : d.topLevel) all.push_back(w->handle);
    }
    for (HWND h : all) {
        if (IsWindow(h) && !proc(h, lParam)) return FALSE;
    }
    return TRUE;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    for (Window* w : d.topLevel) {
        if (className && Upper(w->cls->name) != Upper(className)) continue;
        if (windowName && w->text != windowName) continue;
        return w->handle;
    }
    return nullptr;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    const std::u16string c = className ? Widen(className) : std::u16string();
    const std::u16string n = windowName ? Widen(windowName) : std::u16string();
    return FindWindowW(className ? c.c_str() : nullptr, windowName ? n.c_str() : nullptr);
}

namespace qk::ui {
std::shared_ptr<const std::atomic<bool>> CurrentThreadAlive() {
    struct Life {
        std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
        ~Life() { alive->store(false); }
    };
    thread_local Life life;
    return life.alive;
}
}  // namespace qk::ui

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return 0;
    if (processId) *processId = 1;
    return w->threadId;
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
        case GWL_STYLE: return static_cast<LONG>(w->style);
        case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
        case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
        case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
        case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent ? w->parent->handle : w->owner ? w->owner->handle : nullptr);
        case GWLP_ID: return static_cast<LONG_PTR>(w->id);
        case GWLP_USERDATA: return w->userData;
        default:
            if (index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= w->extra.size()) {
                LONG_PTR v;
                std::memcpy(&v, &w->extra[index], sizeof v);
                return v;
            }
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (index) {
        case GWL_STYLE:
            previous = static_cast<LONG>(w->style);
            w->style = static_cast<DWORD>(value);
            return previous;
        case GWL_EXSTYLE:
            previous = static_cast<LONG>(w->exStyle);
            w->exStyle = static_cast<DWORD>(value);
            return previous;
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(w->proc);
            w->proc = reinterpret_cast<WNDPROC>(value);
            return previous;
        case GWLP_ID: previous = static_cast<LONG_PTR>(w->id); w->id = static_cast<UINT_PTR>(value); return previous;
        case GWLP_USERDATA: previous = w->userData; w->userData = value; return previous;
        case GWLP_HINSTANCE:
            previous = reinterpret_cast<LONG_PTR>(w->instance);
            w->instance = reinterpret_cast<HINSTANCE>(value);
            return previous;
        default:
            if (index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= w->extra.size()) {
                std::memcpy(&previous, &w->extra[index], sizeof previous);
                std::memcpy(&w->extra[index], &value, sizeof value);
                return previous;
            }
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LONG GetWindowLongW(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrW(hwnd, index)); }
LONG SetWindowLongW(HWND hwnd, int index, LONG value) { return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, value)); }

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
    return IsWindow(hwnd) && SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : u""));
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
    const std::u16string wide = Widen(text ? text : "");
    return SetWindowTextW(hwnd, wide.c_str());
}

int GetWindowTextW(HWND hwnd, LPWSTR text, int count) {
    if (!text || count <= 0) return 0;
    text[0] = 0;
    return static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, count, reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextA(HWND hwnd, LPSTR text, int count) {
    if (!text || count <= 0) return 0;
    std::u16string wide(static_cast<size_t>(count), u'\0');
    const int n = GetWindowTextW(hwnd, wide.data(), count);
    for (int i = 0; i < n; ++i) text[i] = wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?';
    text[n] = 0;
    return n;
}

int GetWindowTextLengthW(HWND hwnd) { return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0)); }

int GetClassNameW(HWND hwnd, LPWSTR name, int count) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !name || count <= 0) return 0;
    const int n = std::min<int>(count - 1, static_cast<int>(w->cls->name.size()));
    std::memcpy(name, w->cls->name.data(), n * sizeof(char16_t));
    name[n] = 0;
    return n;
}

BOOL SetPropW(HWND hwnd, LPCWSTR name, HANDLE data) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !name) return FALSE;
    w->props[Upper(name)] = data;
    return TRUE;
}

HANDLE GetPropW(HWND hwnd, LPCWSTR name) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !name) return nullptr;
    auto it = w->props.find(Upper(name));
    return it == w->props.end() ? nullptr : it->second;
}

HANDLE RemovePropW(HWND hwnd, LPCWSTR name) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w || !name) return nullptr;
    auto it = w->props.find(Upper(name));
    if (it == w->props.end()) return nullptr;
    HANDLE h = it->second;
    w->props.erase(it);
    return h;
}

BOOL SetPropA(HWND hwnd, LPCSTR name, HANDLE data) { return SetPropW(hwnd, Widen(name).c_str(), data); }
HANDLE GetPropA(HWND hwnd, LPCSTR name) { return GetPropW(hwnd, Widen(name).c_str()); }
HANDLE RemovePropA(HWND hwnd, LPCSTR name) { return RemovePropW(hwnd, Widen(name).c_str()); }

int SetWindowRgn(HWND hwnd, HRGN region, BOOL redraw) {
    Desktop& d = Desktop::Get();
    {
        std::lock_guard guard(d.lock);
        Window* w = d.Find(hwnd);
        if (!w) return 0;
        std::lock_guard gdi(GdiLock());
        GdiObject* o = region ? ObjectOf(region, OBJ_REGION) : nullptr;
        if (region && !o) return 0;
        // The system owns the region from here on, as on the target.
        w->shape = o ? std::make_unique<Region>(o->region) : nullptr;
    }
    if (region) DeleteObject(region);
    if (redraw) InvalidateRect(hwnd, nullptr, TRUE);
    return 1;
}

int GetWindowRgn(HWND hwnd, HRGN region) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(region, OBJ_REGION);
    if (!w || !o || !w->shape) return ERROR;
    o->region = *w->shape;
    return o->region.Complexity();
}

HWND WindowFromPoint(POINT point) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    for (Window* top : d.topLevel) {
        if (!(top->style & WS_VISIBLE)) continue;
        const POINT local{point.x - top->rect.left, point.y - top->rect.top};
        if (local.x < 0 || local.y < 0 || local.x >= top->rect.right - top->rect.left ||
            local.y >= top->rect.bottom - top->rect.top) {
            continue;
        }
        if (top->shape && !top->shape->Contains(local.x, local.y)) continue;
        // Down through the visible children under the point, topmost first.
        Window* hit = top;
        bool descended = true;
        while (descended) {
            descended = false;
            const POINT origin = ClientOriginOnSurface(*hit);
            for (Window* c : hit->children) {
                if (!(c->style & WS_VISIBLE)) continue;
                const POINT p{local.x - origin.x, local.y - origin.y};
                if (p.x < c->rect.left || p.y < c->rect.top || p.x >= c->rect.right || p.y >= c->rect.bottom) continue;
                if (c->shape && !c->shape->Contains(p.x - c->rect.left, p.y - c->rect.top)) continue;
                // Group boxes let clicks through to what lies under them.
                if ((c->style & BS_TYPEMASK) == BS_GROUPBOX && c->cls->system && c->cls->name == u"Button") continue;
                hit = c;
                descended = true;
                break;
            }
        }
        return hit->handle;
    }
    return nullptr;
}

HWND ChildWindowFromPointEx(HWND parent, POINT point, UINT flags) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(parent);
    if (!w) return nullptr;
    const RECT client = ClientRectInWindow(*w);
    if (point.x < 0 || point.y < 0 || point.x >= client.right - client.left || point.y >= client.bottom - client.top) {
        return nullptr;
    }
    for (Window* c : w->children) {
        if ((flags & CWP_SKIPINVISIBLE) && !(c->style & WS_VISIBLE)) continue;
        if ((flags & CWP_SKIPDISABLED) && (c->style & WS_DISABLED)) continue;
        if (point.x >= c->rect.left && point.y >= c->rect.top && point.x < c->rect.right && point.y < c->rect.bottom) {
            return c->handle;
        }
    }
    return parent;
}
