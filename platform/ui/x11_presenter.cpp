// Presentation on an X11 desktop: when a display is present every visible
// top-level window is also a real X window (override-redirect, placed at
// the window's screen position, so screen coordinates are the same on both
// sides). A thread of the presenter copies each top-level surface to its X
// window through Cairo's Xlib surface when something was drawn, and turns
// the X server's mouse and key events into the window system's input.
// The window system's headers first: the X11 headers define names (Bool,
// Status, None) that must not reach them. X window handles are ::Window.
#include "platform/ui/presentation.h"
#include "platform/ui/ui_internal.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <thread>

namespace qk::ui {

namespace {

UINT VirtualKey(KeySym sym) {
    if (sym >= XK_a && sym <= XK_z) return static_cast<UINT>('A' + (sym - XK_a));
    if (sym >= XK_A && sym <= XK_Z) return static_cast<UINT>('A' + (sym - XK_A));
    if (sym >= XK_0 && sym <= XK_9) return static_cast<UINT>('0' + (sym - XK_0));
    switch (sym) {
        case XK_Tab:
        case XK_ISO_Left_Tab: return VK_TAB;
        case XK_Return: return VK_RETURN;
        case XK_Escape: return VK_ESCAPE;
        case XK_space: return VK_SPACE;
        case XK_BackSpace: return VK_BACK;
        case XK_Delete: return VK_DELETE;
        case XK_Left: return VK_LEFT;
        case XK_Right: return VK_RIGHT;
        case XK_Up: return VK_UP;
        case XK_Down: return VK_DOWN;
        case XK_Home: return VK_HOME;
        case XK_End: return VK_END;
        case XK_Prior: return VK_PRIOR;
        case XK_Next: return VK_NEXT;
        case XK_Shift_L:
        case XK_Shift_R: return VK_SHIFT;
        case XK_Control_L:
        case XK_Control_R: return VK_CONTROL;
        case XK_Alt_L:
        case XK_Alt_R: return VK_MENU;
        case XK_F4: return VK_F4;
        case XK_KP_Add: return VK_ADD;
        case XK_KP_Subtract: return VK_SUBTRACT;
        default: return 0;
    }
}

}  // namespace

class X11Presenter {
public:
    explicit X11Presenter(Display* display) : display_(display) {
        thread_ = std::thread([this] { Run(); });
    }
    ~X11Presenter() {
        stop_ = true;
        thread_.join();
        for (auto& [h, w] : windows_) Drop(w);
        XCloseDisplay(display_);
    }
    bool Presented(HWND hwnd) {
        std::lock_guard guard(lock_);
        auto it = windows_.find(hwnd);
        return it != windows_.end() && it->second.copiedGeneration != 0;
    }

private:
    struct XWin {
        ::Window window = 0;
        cairo_surface_t* surface = nullptr;
        RECT rect{};
        bool mapped = false;
        uint64_t copiedGeneration = 0;
    };

    void Drop(XWin& w) {
        if (w.surface) cairo_surface_destroy(w.surface);
        if (w.window) XDestroyWindow(display_, w.window);
        w = XWin{};
    }

    void Run() {
        pollfd fd{ConnectionNumber(display_), POLLIN, 0};
        while (!stop_) {
            poll(&fd, 1, 15);
            while (XPending(display_)) {
                XEvent e;
                XNextEvent(display_, &e);
                Handle(e);
            }
            Sync();
        }
    }

    void Handle(const XEvent& e) {
        switch (e.type) {
            case Expose: {
                std::lock_guard guard(lock_);
                for (auto& [h, w] : windows_) {
                    if (w.window == e.xexpose.window) w.copiedGeneration = 0;
                }
                break;
            }
            case ButtonPress:
            case ButtonRelease: {
                const POINT p{e.xbutton.x_root, e.xbutton.y_root};
                if (e.type == ButtonPress) XSetInputFocus(display_, e.xbutton.window, RevertToParent, CurrentTime);
                if (e.xbutton.button == Button1) InjectMouseButton(p, 0, e.type == ButtonPress);
                if (e.xbutton.button == Button3) InjectMouseButton(p, 1, e.type == ButtonPress);
                if (e.type == ButtonPress && (e.xbutton.button == Button4 || e.xbutton.button == Button5)) {
                    InjectMouseWheel(p, e.xbutton.button == Button4 ? 120 : -120);
                }
                break;
            }
            case MotionNotify: InjectMouseMove(POINT{e.xmotion.x_root, e.xmotion.y_root}); break;
            case KeyPress:
            case KeyRelease: {
                XKeyEvent key = e.xkey;
                const KeySym sym = XLookupKeysym(&key, 0);
                if (const UINT vk = VirtualKey(sym)) InjectKey(vk, e.type == KeyPress);
                break;
            }
            default: break;
        }
    }

    // Matches the X windows to the visible top-level windows and copies
    // what was drawn since the last copy.
    void Sync() {
        Desktop& d = Desktop::Get();
        std::lock_guard desktop(d.lock);
        std::lock_guard guard(lock_);
        std::map<HWND, bool> seen;
        for (qk::ui::Window* top : d.topLevel) {
            if (!(top->style & WS_VISIBLE) || !top->surface) continue;
            seen[top->handle] = true;
            XWin& w = windows_[top->handle];
            const int width = std::max<LONG>(1, top->rect.right - top->rect.left);
            const int height = std::max<LONG>(1, top->rect.bottom - top->rect.top);
            if (!w.window) {
                XSetWindowAttributes a{};
                a.override_redirect = True;
                a.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask | ExposureMask;
                w.window = XCreateWindow(display_, DefaultRootWindow(display_), top->rect.left, top->rect.top, width, height, 0,
                                         CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
                const std::string title = Narrow(top->text);
                XStoreName(display_, w.window, title.c_str());
                w.surface = cairo_xlib_surface_create(display_, w.window, DefaultVisual(display_, DefaultScreen(display_)), width, height);
                w.rect = top->rect;
            }
            if (!w.mapped) {
                XMapRaised(display_, w.window);
                w.mapped = true;
                w.copiedGeneration = 0;
            }
            if (w.rect.left != top->rect.left || w.rect.top != top->rect.top || w.rect.right != top->rect.right ||
                w.rect.bottom != top->rect.bottom) {
                XMoveResizeWindow(display_, w.window, top->rect.left, top->rect.top, width, height);
                cairo_xlib_surface_set_size(w.surface, width, height);
                w.rect = top->rect;
                w.copiedGeneration = 0;
            }
            const uint64_t generation = PaintGeneration();
            if (w.copiedGeneration != generation) {
                std::lock_guard pixels(PaintLock());
                cairo_surface_flush(top->surface);
                cairo_t* cr = cairo_create(w.surface);
                cairo_set_source_surface(cr, top->surface, 0, 0);
                cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
                cairo_paint(cr);
                cairo_destroy(cr);
                cairo_surface_flush(w.surface);
                w.copiedGeneration = generation;
            }
        }
        for (auto it = windows_.begin(); it != windows_.end();) {
            if (seen.count(it->first)) {
                ++it;
                continue;
            }
            // Hidden or gone: unmapped, and forgotten when gone.
            if (d.Find(it->first)) {
                if (it->second.mapped) XUnmapWindow(display_, it->second.window);
                it->second.mapped = false;
                ++it;
            } else {
                Drop(it->second);
                it = windows_.erase(it);
            }
        }
        XFlush(display_);
    }

    Display* display_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;  // guards windows_
    std::map<HWND, XWin> windows_;
};

std::shared_ptr<X11Presenter> StartX11Presenter() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display || std::getenv("QK_UI_HEADLESS")) return nullptr;
    XInitThreads();
    Display* d = XOpenDisplay(display);
    if (!d) return nullptr;
    return std::make_shared<X11Presenter>(d);
}

bool PresentedOnDisplay(HWND hwnd) {
    auto presenter = Desktop::Get().presenter;
    return presenter && presenter->Presented(hwnd);
}

Picture CaptureDisplay(const RECT& area, std::string* error) {
    const char* name = std::getenv("DISPLAY");
    Display* d = name && *name ? XOpenDisplay(name) : nullptr;
    if (!d) {
        if (error) *error = std::string("no X display can be opened (DISPLAY=") + (name ? name : "") + ")";
        return {};
    }
    Picture p;
    const int screenWidth = DisplayWidth(d, DefaultScreen(d)), screenHeight = DisplayHeight(d, DefaultScreen(d));
    if (area.left < 0 || area.top < 0 || area.right > screenWidth || area.bottom > screenHeight || area.right <= area.left ||
        area.bottom <= area.top) {
        if (error) *error = "the area lies outside the " + std::to_string(screenWidth) + " x " + std::to_string(screenHeight) + " screen";
        XCloseDisplay(d);
        return p;
    }
    const auto width = static_cast<unsigned>(area.right - area.left), height = static_cast<unsigned>(area.bottom - area.top);
    XImage* image = XGetImage(d, DefaultRootWindow(d), area.left, area.top, width, height, AllPlanes, ZPixmap);
    if (!image) {
        if (error) *error = "the X server gave no picture of the area";
    } else {
        p.width = static_cast<int>(width);
        p.height = static_cast<int>(height);
        p.pixels.resize(static_cast<size_t>(width) * height);
        for (int y = 0; y < p.height; ++y) {
            for (int x = 0; x < p.width; ++x) {
                p.pixels[static_cast<size_t>(y) * p.width + x] = static_cast<uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF);
            }
        }
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    return p;
}

}  // namespace qk::ui
