// GDI objects and device contexts of the window system. Handles are the
// addresses of these records; every call checks a handle against the live
// set before use, so a deleted or foreign handle is an error, not a crash.
#pragma once

#include <cairo.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/ui/region.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

struct Bitmap {
    cairo_surface_t* surface = nullptr;  // what drawing and blits use
    int width = 0;
    int height = 0;
    int bitsPerPixel = 32;
    // A DIB section's bits as the caller sees them (bottom-up when the header
    // said so, 24 or 32 bits a pixel); null for device-dependent bitmaps.
    // They are copied into the surface before the bitmap is read and back
    // after it was drawn on, unless they are the surface's own memory.
    uint8_t* dibBits = nullptr;
    bool bottomUp = false;
    bool sharesSurfaceMemory = false;
    bool hasAlpha = false;  // pieces loaded from PNG blend with their alpha
    cairo_surface_t* argbView = nullptr;  // the surface's pixels read with their alpha (AlphaBlend)
    std::vector<uint8_t> ownBits;
};

struct GdiObject {
    DWORD type = 0;  // OBJ_PEN, OBJ_BRUSH, OBJ_FONT, OBJ_BITMAP, OBJ_REGION
    bool stock = false;
    COLORREF color = 0;
    int penStyle = PS_SOLID;
    int penWidth = 1;
    bool hollow = false;  // NULL_BRUSH, PS_NULL
    bool dcColor = false;  // DC_BRUSH, DC_PEN
    LOGFONTW font{};
    std::unique_ptr<Bitmap> bitmap;
    Region region;
    HDC selectedInto = nullptr;
};

struct DcState {
    HGDIOBJ pen, brush, font, bitmap;
    COLORREF text, background, dcBrush, dcPen;
    int bkMode;
    POINT viewport;
    POINT position;
    Region clip;
    bool clipped;
};

struct DeviceContext {
    cairo_surface_t* target = nullptr;
    Window* window = nullptr;  // window DCs
    bool memory = false;
    POINT origin{0, 0};  // where logical (0,0) lies on the target, before the viewport
    Region bounds;  // the part of the target this DC may draw on (target coordinates)
    DcState s{};
    std::vector<DcState> saved;
};

// Guards every GDI object's and device context's fields, and the pixels of
// the bitmaps memory DCs draw on: objects are shared by every thread (stock
// objects, the fonts and bitmaps of a class or a skin), and a bitmap selected
// on one thread is drawn from on another. Held for the whole of each GDI
// call; recursive because calls are made of other calls. It comes after the
// desktop's lock (a window DC is made under it) and before the paint lock; a
// GDI call never takes the desktop's lock nor calls a window procedure.
std::recursive_mutex& GdiLock();

GdiObject* ObjectOf(HGDIOBJ handle, DWORD type = 0);
DeviceContext* DcOf(HDC hdc);
HDC NewDc(std::unique_ptr<DeviceContext> dc);
void FreeDc(HDC hdc);
void BitmapToSurface(Bitmap& b);  // DIB bits into the surface
void SurfaceToBitmap(Bitmap& b);  // and back
HBITMAP BitmapFromSurface(cairo_surface_t* surface, bool hasAlpha);  // takes ownership
Bitmap* BitmapOf(HBITMAP bitmap);
// FillRect without selecting the brush, where the pixels can be set
// directly; false where the ordinary drawing path must do it.
bool FillRectDirect(HDC hdc, const RECT& r, HBRUSH brush);

}  // namespace qk::ui
