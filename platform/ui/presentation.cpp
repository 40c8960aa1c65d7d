// Surfaces to pictures and files, and desktop input to window messages:
// mouse messages carry client coordinates and go to the window under the
// point unless a window holds the capture; a press over the non-client part
// becomes its WM_NC* form; keys go to the focus window.
#include "platform/ui/presentation.h"

#include <cairo.h>

#include <algorithm>

#include "platform/ui/ui_internal.h"

namespace qk::ui {

void RenderWindow(HWND hwnd) {
    Desktop& d = Desktop::Get();
    Window* top;
    {
        std::lock_guard guard(d.lock);
        Window* w = d.Find(hwnd);
        top = w ? TopLevelOf(w) : nullptr;
    }
    if (top) PaintPending(*top);
}

Picture CaptureWindow(HWND hwnd) {
    RenderWindow(hwnd);
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Picture p;
    Window* w = d.Find(hwnd);
    if (!w) return p;
    Window* top = TopLevelOf(w);
    const POINT origin = WindowOriginOnSurface(*w);
    p.width = w->rect.right - w->rect.left;
    p.height = w->rect.bottom - w->rect.top;
    p.pixels.assign(static_cast<size_t>(p.width) * p.height, 0);
    std::lock_guard pixels(PaintLock());  // other threads may be drawing on it
    cairo_surface_flush(top->surface);
    const uint8_t* data = cairo_image_surface_get_data(top->surface);
    const int stride = cairo_image_surface_get_stride(top->surface);
    const int sw = cairo_image_surface_get_width(top->surface), sh = cairo_image_surface_get_height(top->surface);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const int sx = origin.x + x, sy = origin.y + y;
            if (sx < 0 || sy < 0 || sx >= sw || sy >= sh) continue;
            p.pixels[static_cast<size_t>(y) * p.width + x] =
                reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(sy) * stride)[sx] & 0xFFFFFF;
        }
    }
    return p;
}

Picture CaptureScreen(const RECT& area) {
    Picture p;
    p.width = std::max<LONG>(0, area.right - area.left);
    p.height = std::max<LONG>(0, area.bottom - area.top);
    const COLORREF desktop = SystemColor(COLOR_BACKGROUND);
    p.pixels.assign(static_cast<size_t>(p.width) * p.height,
                    (static_cast<uint32_t>(GetRValue(desktop)) << 16) | (GetGValue(desktop) << 8) | GetBValue(desktop));
    Desktop& d = Desktop::Get();
    std::vector<HWND> shown;
    {
        std::lock_guard guard(d.lock);
        for (Window* top : d.topLevel) {
            if (top->style & WS_VISIBLE) shown.push_back(top->handle);
        }
    }
    for (HWND h : shown) RenderWindow(h);
    std::lock_guard guard(d.lock);
    std::lock_guard pixels(PaintLock());
    // Bottom to top, so that the window in front is drawn last.
    for (auto it = d.topLevel.rbegin(); it != d.topLevel.rend(); ++it) {
        Window* top = *it;
        if (!(top->style & WS_VISIBLE) || !top->surface) continue;
        cairo_surface_flush(top->surface);
        const uint8_t* data = cairo_image_surface_get_data(top->surface);
        const int stride = cairo_image_surface_get_stride(top->surface);
        const int sw = cairo_image_surface_get_width(top->surface), sh = cairo_image_surface_get_height(top->surface);
        const RECT r = RectIntersect(top->rect, area);
        for (LONG y = r.top; y < r.bottom; ++y) {
            for (LONG x = r.left; x < r.right; ++x) {
                const int sx = static_cast<int>(x - top->rect.left), sy = static_cast<int>(y - top->rect.top);
                if (sx >= sw || sy >= sh) continue;
                if (top->shape && !top->shape->Contains(sx, sy)) continue;
                p.pixels[static_cast<size_t>(y - area.top) * p.width + (x - area.left)] =
                    reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(sy) * stride)[sx] & 0xFFFFFF;
            }
        }
    }
    return p;
}

namespace {

bool SavePicture(const Picture& p, const std::string& path, std::string* error) {
    if (p.width <= 0 || p.height <= 0) {
        if (error) *error = "not a window, or an empty one";
        return false;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, p.width, p.height);
    uint8_t* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < p.height; ++y) {
        std::copy_n(&p.pixels[static_cast<size_t>(y) * p.width], p.width, reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride));
    }
    cairo_surface_mark_dirty(s);
    const cairo_status_t status = cairo_surface_write_to_png(s, path.c_str());
    cairo_surface_destroy(s);
    if (status != CAIRO_STATUS_SUCCESS) {
        if (error) *error = cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace

bool SaveWindowPng(HWND hwnd, const std::string& path, std::string* error) { return SavePicture(CaptureWindow(hwnd), path, error); }

bool SaveScreenPng(const RECT& area, const std::string& path, std::string* error) {
    return SavePicture(CaptureScreen(area), path, error);
}

bool SavePicturePng(const Picture& picture, const std::string& path, std::string* error) {
    return SavePicture(picture, path, error);
}

namespace {

HWND Target(POINT screen) {
    Desktop& d = Desktop::Get();
    {
        std::lock_guard guard(d.lock);
        if (d.capture) return d.capture;
    }
    return WindowFromPoint(screen);
}

WPARAM MouseKeys() {
    WPARAM keys = 0;
    if (GetAsyncKeyState(VK_LBUTTON) < 0) keys |= MK_LBUTTON;
    if (GetAsyncKeyState(VK_RBUTTON) < 0) keys |= MK_RBUTTON;
    if (GetAsyncKeyState(VK_SHIFT) < 0) keys |= MK_SHIFT;
    if (GetAsyncKeyState(VK_CONTROL) < 0) keys |= MK_CONTROL;
    return keys;
}

void PostMouse(POINT screen, UINT clientMessage, UINT ncMessage) {
    HWND hwnd = Target(screen);
    if (!hwnd) return;
    // Walk past windows that let the point through (HTTRANSPARENT).
    LRESULT hit = SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y));
    while (hit == HTTRANSPARENT) {
        HWND parent = GetAncestor(hwnd, GA_PARENT);
        if (!parent || parent == GetDesktopWindow()) return;
        hwnd = parent;
        hit = SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y));
    }
    if (GetCapture() == hwnd) {
        hit = HTCLIENT;
    } else {
        // Before the mouse message, the window under the pointer chooses
        // the pointer's shape (not while a window holds the capture).
        SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(hit, clientMessage));
    }
    if (hit == HTCLIENT) {
        POINT client = screen;
        ScreenToClient(hwnd, &client);
        PostInput(hwnd, clientMessage, MouseKeys(), MAKELPARAM(client.x, client.y));
    } else if (ncMessage) {
        PostInput(hwnd, ncMessage, static_cast<WPARAM>(hit), MAKELPARAM(screen.x, screen.y));
    }
}

}  // namespace

void InjectMouseMove(POINT screen) {
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        d.cursor = screen;
    }
    PostMouse(screen, WM_MOUSEMOVE, 0);
}

void InjectMouseButton(POINT screen, int button, bool down) {
    const int vk = button == 0 ? VK_LBUTTON : VK_RBUTTON;
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        d.cursor = screen;
        d.asyncKeys[vk] = down ? 0x80 : 0;
    }
    UINT message, nc;
    if (button == 0) {
        message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
        nc = down ? WM_NCLBUTTONDOWN : WM_NCLBUTTONUP;
    } else {
        message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
        nc = 0;
    }
    PostMouse(screen, message, nc);
}

void InjectMouseWheel(POINT screen, int delta) {
    // The wheel goes to the focus window, or the one under the point.
    HWND hwnd = GetFocus();
    if (!hwnd) hwnd = WindowFromPoint(screen);
    if (hwnd) PostInput(hwnd, WM_MOUSEWHEEL, MAKEWPARAM(MouseKeys(), static_cast<WORD>(static_cast<SHORT>(delta))), MAKELPARAM(screen.x, screen.y));
}

void InjectKey(UINT virtualKey, bool down) {
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        if (virtualKey < 256) d.asyncKeys[virtualKey] = down ? 0x80 : 0;
    }
    HWND target = GetFocus();
    if (!target) target = GetActiveWindow();
    if (target) PostInput(target, down ? WM_KEYDOWN : WM_KEYUP, virtualKey, down ? 1 : static_cast<LPARAM>(0xC0000001u));
}

}  // namespace qk::ui
