// user32's readers of module resources: strings (blocks of sixteen counted
// UTF-16 strings, block number = id / 16 + 1), icons (a group directory
// naming RT_ICON images), bitmaps and cursors. Icons are kept as bitmaps
// with an alpha channel.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/ui/gdi_objects.h"
#include "platform/ui/image_reader.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {
namespace {

std::span<const uint8_t> ResourceBytes(HINSTANCE instance, LPCWSTR name, LPCWSTR type) {
    HRSRC r = FindResourceW(instance, name, type);
    if (!r) return {};
    return std::span(static_cast<const uint8_t*>(LockResource(LoadResource(instance, r))), SizeofResource(instance, r));
}

HICON IconFrom(HINSTANCE instance, LPCWSTR name, int size) {
    const std::span<const uint8_t> group = ResourceBytes(instance, name, MAKEINTRESOURCEW(14));
    if (group.empty()) return nullptr;
    const int id = PickIconFromGroup(group, size);
    if (id < 0) return nullptr;
    const std::span<const uint8_t> image = ResourceBytes(instance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
    std::string error;
    cairo_surface_t* s = image.empty() ? nullptr : DecodeIconImage(image, &error);
    if (!s) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HICON>(BitmapFromSurface(s, true));
}

// The system's own icons and cursors: small drawn pictures, so that a
// program that asks for IDI_APPLICATION or IDC_ARROW gets a valid handle.
// Each system cursor has its own handle (a test tells which one is set by
// it); every icon is the same disc.
void DrawSystemCursor(cairo_t* cr, ULONG_PTR id) {
    switch (id) {
        case 32642:  // north-west/south-east sizing: a diagonal with both heads
            cairo_move_to(cr, 1, 1), cairo_line_to(cr, 7, 1), cairo_line_to(cr, 1, 7), cairo_close_path(cr);
            cairo_move_to(cr, 15, 15), cairo_line_to(cr, 9, 15), cairo_line_to(cr, 15, 9), cairo_close_path(cr);
            cairo_fill(cr);
            cairo_set_line_width(cr, 2);
            cairo_move_to(cr, 3, 3), cairo_line_to(cr, 13, 13);
            cairo_stroke(cr);
            return;
        case 32649:  // hand: a raised finger over a palm
            cairo_rectangle(cr, 5, 0, 3, 8);
            cairo_rectangle(cr, 3, 7, 10, 8);
            cairo_fill(cr);
            return;
        default:  // the arrow, for every other cursor
            cairo_move_to(cr, 0, 0), cairo_line_to(cr, 0, 14), cairo_line_to(cr, 10, 10), cairo_close_path(cr);
            cairo_fill(cr);
    }
}

HANDLE SystemPicture(ULONG_PTR id, bool cursor) {
    // Made once and kept for the process, as the system's own are shared.
    // The table is never destroyed: at exit it would let go of pictures that
    // windows of ending threads may still name (and a leak checker would
    // count them as lost).
    static std::mutex lock;  // guards the two tables
    static auto* const cursors = new std::map<ULONG_PTR, HANDLE>;
    static HANDLE icon = nullptr;
    std::lock_guard guard(lock);
    if (!cursor && icon) return icon;
    if (cursor) {
        if (auto it = cursors->find(id); it != cursors->end()) return it->second;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cursor ? 16 : 32, cursor ? 16 : 32);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.2, 0.4, 0.8);
    if (cursor) {
        DrawSystemCursor(cr, id);
    } else {
        cairo_arc(cr, 16, 16, 14, 0, 6.2832);
        cairo_fill(cr);
    }
    cairo_destroy(cr);
    HANDLE made = BitmapFromSurface(s, true);
    if (cursor) {
        (*cursors)[id] = made;
    } else {
        icon = made;
    }
    return made;
}

}  // namespace
}  // namespace qk::ui

using namespace qk::ui;

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    if (!buffer) return 0;
    const std::span<const uint8_t> block =
        ResourceBytes(instance, MAKEINTRESOURCEW((id >> 4) + 1), MAKEINTRESOURCEW(6));
    size_t at = 0;
    for (UINT i = 0; i < 16 && !block.empty(); ++i) {
        if (at + 2 > block.size()) break;
        const uint16_t length = static_cast<uint16_t>(block[at] | block[at + 1] << 8);
        if (at + 2 + size_t{length} * 2 > block.size()) break;
        if (i == (id & 15)) {
            if (length == 0) break;
            const auto* text = reinterpret_cast<const char16_t*>(block.data() + at + 2);
            if (bufferMax == 0) {
                // The caller gets a pointer to the resource itself.
                std::memcpy(buffer, &text, sizeof text);
                return length;
            }
            const int n = std::min<int>(length, bufferMax - 1);
            std::memcpy(buffer, text, static_cast<size_t>(n) * 2);
            buffer[n] = 0;
            return n;
        }
        at += 2 + size_t{length} * 2;
    }
    if (bufferMax > 0) buffer[0] = 0;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    if (!buffer || bufferMax <= 0) return 0;
    std::u16string wide(static_cast<size_t>(bufferMax), u'\0');
    const int n = LoadStringW(instance, id, wide.data(), bufferMax);
    // The machine's ANSI code page is ISO 8859-1.
    for (int i = 0; i < n; ++i) buffer[i] = wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?';
    buffer[n] = 0;
    return n;
}

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    if (!instance) {
        if (IS_INTRESOURCE(name)) return SystemPicture(reinterpret_cast<ULONG_PTR>(name), type == IMAGE_CURSOR);
        return nullptr;
    }
    if (type == IMAGE_ICON || type == IMAGE_CURSOR) return IconFrom(instance, name, cx ? cx : 32);
    if (type == IMAGE_BITMAP) {
        const std::span<const uint8_t> bytes = ResourceBytes(instance, name, MAKEINTRESOURCEW(2));
        if (bytes.empty()) return nullptr;
        std::string error;
        cairo_surface_t* s = DecodeDib(bytes, false, &error);
        return s ? BitmapFromSurface(s, false) : nullptr;
    }
    return nullptr;
}

HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags) {
    if (IS_INTRESOURCE(name)) return LoadImageW(instance, reinterpret_cast<LPCWSTR>(name), type, cx, cy, flags);
    return LoadImageW(instance, Widen(name).c_str(), type, cx, cy, flags);
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) { return static_cast<HICON>(LoadImageW(instance, name, IMAGE_ICON, 32, 32, 0)); }
HICON LoadIconA(HINSTANCE instance, LPCSTR name) { return static_cast<HICON>(LoadImageA(instance, name, IMAGE_ICON, 32, 32, 0)); }
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name) { return static_cast<HCURSOR>(LoadImageW(instance, name, IMAGE_CURSOR, 0, 0, 0)); }
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) { return static_cast<HCURSOR>(LoadImageA(instance, name, IMAGE_CURSOR, 0, 0, 0)); }
HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name) { return static_cast<HBITMAP>(LoadImageW(instance, name, IMAGE_BITMAP, 0, 0, 0)); }
HBITMAP LoadBitmapA(HINSTANCE instance, LPCSTR name) { return static_cast<HBITMAP>(LoadImageA(instance, name, IMAGE_BITMAP, 0, 0, 0)); }
BOOL DestroyIcon(HICON icon) { return DeleteObject(icon); }
BOOL DestroyCursor(HCURSOR cursor) { return DeleteObject(cursor); }

HCURSOR SetCursor(HCURSOR cursor) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return std::exchange(d.cursorShape, cursor);
}

HCURSOR GetCursor() {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.cursorShape;
}

BOOL DrawIconEx(HDC hdc, int x, int y, HICON icon, int width, int height, UINT step, HBRUSH flicker, UINT flags) {
    Bitmap* b = BitmapOf(reinterpret_cast<HBITMAP>(icon));
    if (!b) return FALSE;
    // Icons are shared by every window of a class, whatever its thread: one
    // thread at a time selects one.
    std::lock_guard gdi(GdiLock());
    HDC mem = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(mem, icon);
    StretchBlt(hdc, x, y, width ? width : b->width, height ? height : b->height, mem, 0, 0, b->width, b->height, SRCCOPY);
    SelectObject(mem, old);
    DeleteDC(mem);
    return TRUE;
}

BOOL DrawIcon(HDC hdc, int x, int y, HICON icon) { return DrawIconEx(hdc, x, y, icon, 0, 0, 0, nullptr, 0); }
