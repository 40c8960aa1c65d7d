// gdi32 on Cairo: one Cairo context per drawing call over the DC's target
// surface, clipped to the DC's region and translated to its origin. Shapes
// are drawn without antialiasing so that a pixel is either the brush's or
// not, as on the target; text is antialiased.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <map>
#include <set>
#include <tuple>

#include "platform/ui/gdi_objects.h"
#include "wingdi.h"

namespace qk::ui {
namespace {

std::mutex g_objectsLock;  // guards g_objects and g_dcs
std::set<void*> g_objects;
std::set<void*> g_dcs;

double R(COLORREF c) { return GetRValue(c) / 255.0; }
double G(COLORREF c) { return GetGValue(c) / 255.0; }
double B(COLORREF c) { return GetBValue(c) / 255.0; }

GdiObject* NewObject(DWORD type) {
    auto* o = new GdiObject;
    o->type = type;
    std::lock_guard guard(g_objectsLock);
    g_objects.insert(o);
    return o;
}

GdiObject* Stock(int index) {
    static GdiObject* stock[20] = {};
    static std::once_flag once;
    std::call_once(once, [] {
        auto brush = [](COLORREF c, bool hollow = false, bool dc = false) {
            GdiObject* o = NewObject(OBJ_BRUSH);
            o->color = c;
            o->hollow = hollow;
            o->dcColor = dc;
            o->stock = true;
            return o;
        };
        auto pen = [](COLORREF c, bool hollow = false, bool dc = false) {
            GdiObject* o = NewObject(OBJ_PEN);
            o->color = c;
            o->hollow = hollow;
            o->dcColor = dc;
            o->stock = true;
            return o;
        };
        stock[WHITE_BRUSH] = brush(RGB(255, 255, 255));
        stock[LTGRAY_BRUSH] = brush(RGB(192, 192, 192));
        stock[GRAY_BRUSH] = brush(RGB(128, 128, 128));
        stock[DKGRAY_BRUSH] = brush(RGB(64, 64, 64));
        stock[BLACK_BRUSH] = brush(RGB(0, 0, 0));
        stock[NULL_BRUSH] = brush(0, true);
        stock[WHITE_PEN] = pen(RGB(255, 255, 255));
        stock[BLACK_PEN] = pen(RGB(0, 0, 0));
        stock[NULL_PEN] = pen(0, true);
        stock[DC_BRUSH] = brush(RGB(255, 255, 255), false, true);
        stock[DC_PEN] = pen(0, false, true);
        GdiObject* gui = NewObject(OBJ_FONT);
        gui->stock = true;
        // The dialog font of the machine: 8 points at 96 dots an inch.
        gui->font.lfHeight = -11;
        gui->font.lfWeight = FW_NORMAL;
        gui->font.lfCharSet = DEFAULT_CHARSET;
        const char16_t face[] = u"MS Shell Dlg";
        std::memcpy(gui->font.lfFaceName, face, sizeof face);
        stock[DEFAULT_GUI_FONT] = gui;
        GdiObject* one = NewObject(OBJ_BITMAP);
        one->stock = true;
        one->bitmap = std::make_unique<Bitmap>();
        one->bitmap->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
        one->bitmap->width = one->bitmap->height = 1;
        stock[16] = one;  // the default bitmap of memory DCs (not a public index)
    });
    return (index >= 0 && index < 20) ? stock[index] : nullptr;
}

COLORREF BrushColor(const DeviceContext& dc, const GdiObject& brush) {
    return brush.dcColor ? dc.s.dcBrush : brush.color;
}

// A Cairo context over the DC's target: clipped, translated, no antialiasing.
// Window DCs hold the paint lock until End, so a display never copies half
// a drawing.
cairo_t* Begin(DeviceContext& dc) {
    if (dc.window) PaintLock().lock();
    cairo_t* cr = cairo_create(dc.target);
    cairo_new_path(cr);
    for (const RECT& r : dc.bounds.Rects()) cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    cairo_clip(cr);
    if (dc.s.clipped) {
        for (const RECT& r : dc.s.clip.Rects()) {
            cairo_rectangle(cr, r.left + dc.origin.x, r.top + dc.origin.y, r.right - r.left, r.bottom - r.top);
        }
        cairo_clip(cr);
    }
    cairo_translate(cr, dc.origin.x + dc.s.viewport.x, dc.origin.y + dc.s.viewport.y);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    return cr;
}

void End(DeviceContext& dc, cairo_t* cr) {
    cairo_destroy(cr);
    cairo_surface_flush(dc.target);
    if (dc.window) {
        CountPaint();
        PaintLock().unlock();
    }
    if (dc.memory) {
        if (GdiObject* o = ObjectOf(dc.s.bitmap, OBJ_BITMAP)) SurfaceToBitmap(*o->bitmap);
    }
}

void FillAndStroke(DeviceContext& dc, cairo_t* cr, bool fill) {
    auto* brush = ObjectOf(dc.s.brush, OBJ_BRUSH);
    auto* pen = ObjectOf(dc.s.pen, OBJ_PEN);
    if (fill && brush && !brush->hollow) {
        const COLORREF c = BrushColor(dc, *brush);
        cairo_set_source_rgb(cr, R(c), G(c), B(c));
        cairo_fill_preserve(cr);
    }
    if (pen && !pen->hollow) {
        const COLORREF c = pen->dcColor ? dc.s.dcPen : pen->color;
        cairo_set_source_rgb(cr, R(c), G(c), B(c));
        cairo_set_line_width(cr, std::max(1, pen->penWidth));
        if (pen->penStyle == PS_DASH) {
            const double dash[] = {6, 2};
            cairo_set_dash(cr, dash, 2, 0);
        } else if (pen->penStyle == PS_DOT) {
            const double dot[] = {1, 1};
            cairo_set_dash(cr, dot, 2, 0);
        }
        cairo_stroke(cr);
    }
    cairo_new_path(cr);
}

std::string FaceFor(const LOGFONTW& f) {
    // Every face the resources name is drawn with the machine's one sans-serif
    // family; the metrics are its own.
    (void)f;
    return "DejaVu Sans";
}

void SetFont(cairo_t* cr, const FontInfo& info) {
    cairo_select_font_face(cr, info.face.c_str(), info.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           info.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, info.sizePx);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

// A scratch context for measuring text, one per thread and freed with it:
// threads that show windows come and go (a console per RunDLL32 process).
cairo_t* MeasureContext() {
    struct Scratch {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
        cairo_t* cr = cairo_create(surface);
        ~Scratch() {
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
        }
    };
    static thread_local Scratch scratch;
    return scratch.cr;
}

struct Metrics {
    double ascent, descent;
};

// Metrics of a face at a size, measured once: text calls ask for them
// again and again while a window paints.
struct FontKey {
    std::string face;
    double size;
    bool bold, italic;
    bool operator<(const FontKey& o) const { return std::tie(face, size, bold, italic) < std::tie(o.face, o.size, o.bold, o.italic); }
};

Metrics FontMetrics(const FontInfo& info) {
    static thread_local std::map<FontKey, Metrics> cache;
    const FontKey key{info.face, info.sizePx, info.bold, info.italic};
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    cairo_t* cr = MeasureContext();
    SetFont(cr, info);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    return cache[key] = Metrics{fe.ascent, fe.descent};
}

std::mutex g_paintLock;
std::atomic<uint64_t> g_paintGeneration{1};

}  // namespace

std::mutex& PaintLock() { return g_paintLock; }

std::recursive_mutex& GdiLock() {
    static std::recursive_mutex lock;
    return lock;
}
uint64_t PaintGeneration() { return g_paintGeneration.load(); }
void CountPaint() { g_paintGeneration.fetch_add(1); }

GdiObject* ObjectOf(HGDIOBJ handle, DWORD type) {
    if (!handle) return nullptr;
    {
        std::lock_guard guard(g_objectsLock);
        if (!g_objects.count(handle)) return nullptr;
    }
    auto* o = reinterpret_cast<GdiObject*>(handle);
    return (type == 0 || o->type == type) ? o : nullptr;
}

DeviceContext* DcOf(HDC hdc) {
    std::lock_guard guard(g_objectsLock);
    return g_dcs.count(hdc) ? reinterpret_cast<DeviceContext*>(hdc) : nullptr;
}

HDC NewDc(std::unique_ptr<DeviceContext> dc) {
    dc->s.pen = Stock(BLACK_PEN);
    dc->s.brush = Stock(WHITE_BRUSH);
    dc->s.font = Stock(DEFAULT_GUI_FONT);
    dc->s.bitmap = Stock(16);
    dc->s.text = RGB(0, 0, 0);
    dc->s.background = RGB(255, 255, 255);
    dc->s.dcBrush = RGB(255, 255, 255);
    dc->s.dcPen = RGB(0, 0, 0);
    dc->s.bkMode = OPAQUE;
    std::lock_guard gdi(GdiLock());
    DeviceContext* raw = dc.release();
    std::lock_guard guard(g_objectsLock);
    g_dcs.insert(raw);
    return reinterpret_cast<HDC>(raw);
}

void FreeDc(HDC hdc) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return;
    if (GdiObject* o = ObjectOf(dc->s.bitmap, OBJ_BITMAP)) o->selectedInto = nullptr;
    {
        std::lock_guard guard(g_objectsLock);
        g_dcs.erase(hdc);
    }
    if (dc->window) cairo_surface_destroy(dc->target);
    delete dc;
}

Bitmap* BitmapOf(HBITMAP bitmap) {
    GdiObject* o = ObjectOf(bitmap, OBJ_BITMAP);
    return o ? o->bitmap.get() : nullptr;
}

void BitmapToSurface(Bitmap& b) {
    if (!b.dibBits || b.sharesSurfaceMemory) return;
    cairo_surface_flush(b.surface);
    uint8_t* data = cairo_image_surface_get_data(b.surface);
    const int stride = cairo_image_surface_get_stride(b.surface);
    const int bytes = b.bitsPerPixel / 8;
    const int dibStride = (b.width * bytes + 3) & ~3;
    for (int y = 0; y < b.height; ++y) {
        const uint8_t* src = b.dibBits + static_cast<size_t>(b.bottomUp ? b.height - 1 - y : y) * dibStride;
        auto* dst = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        for (int x = 0; x < b.width; ++x) {
            const uint8_t* p = src + x * bytes;
            dst[x] = 0xFF000000u | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
        }
    }
    cairo_surface_mark_dirty(b.surface);
}

void SurfaceToBitmap(Bitmap& b) {
    if (!b.dibBits || b.sharesSurfaceMemory) return;
    cairo_surface_flush(b.surface);
    const uint8_t* data = cairo_image_surface_get_data(b.surface);
    const int stride = cairo_image_surface_get_stride(b.surface);
    const int bytes = b.bitsPerPixel / 8;
    const int dibStride = (b.width * bytes + 3) & ~3;
    for (int y = 0; y < b.height; ++y) {
        uint8_t* dst = b.dibBits + static_cast<size_t>(b.bottomUp ? b.height - 1 - y : y) * dibStride;
        const auto* src = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        for (int x = 0; x < b.width; ++x) {
            uint8_t* p = dst + x * bytes;
            p[0] = src[x] & 0xFF;
            p[1] = (src[x] >> 8) & 0xFF;
            p[2] = (src[x] >> 16) & 0xFF;
            if (bytes == 4) p[3] = 0;
        }
    }
}

HBITMAP BitmapFromSurface(cairo_surface_t* surface, bool hasAlpha) {
    GdiObject* o = NewObject(OBJ_BITMAP);
    o->bitmap = std::make_unique<Bitmap>();
    o->bitmap->surface = surface;
    o->bitmap->width = cairo_image_surface_get_width(surface);
    o->bitmap->height = cairo_image_surface_get_height(surface);
    o->bitmap->hasAlpha = hasAlpha;
    return reinterpret_cast<HBITMAP>(o);
}


FontInfo FontOf(HFONT font) {
    GdiObject* o = ObjectOf(font, OBJ_FONT);
    if (!o) o = Stock(DEFAULT_GUI_FONT);
    const LOGFONTW& f = o->font;
    FontInfo info{FaceFor(f), 0, f.lfWeight >= 600, f.lfItalic != 0, f.lfUnderline != 0, f.lfCharSet, f.lfHeight};
    if (f.lfHeight < 0) {
        info.sizePx = -f.lfHeight;
    } else {
        // A positive height is the cell (ascent + descent); zero asks for the
        // default cell of 13 pixels.
        const LONG cell = f.lfHeight == 0 ? 13 : f.lfHeight;
        FontInfo unit = info;
        unit.sizePx = 100;
        const Metrics m = FontMetrics(unit);
        info.sizePx = cell * 100 / (m.ascent + m.descent);
    }
    return info;
}

SIZE MeasureText(HFONT font, const std::u16string& text) {
    // Controls measure the same few texts on every paint (to centre, to cut
    // with an ellipsis): extents are kept per face, size and text, a bounded
    // number of them per thread.
    static thread_local std::map<std::pair<FontKey, std::u16string>, SIZE> cache;
    const FontInfo info = FontOf(font);
    auto key = std::make_pair(FontKey{info.face, info.sizePx, info.bold, info.italic}, text);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    cairo_t* cr = MeasureContext();
    SetFont(cr, info);
    cairo_text_extents_t te;
    const std::string utf8 = Narrow(text);
    cairo_text_extents(cr, utf8.c_str(), &te);
    const Metrics m = FontMetrics(info);
    const SIZE size{static_cast<LONG>(std::lround(te.x_advance)), static_cast<LONG>(std::ceil(m.ascent) + std::ceil(m.descent))};
    if (cache.size() >= 4096) cache.clear();
    cache.emplace(std::move(key), size);
    return size;
}

int AverageCharWidth(HFONT font, int* height) {
    // The dialog manager's measure: the extent of the 52 letters, halved
    // twice with rounding; kept per face and size.
    static thread_local std::map<FontKey, SIZE> cache;
    const FontInfo info = FontOf(font);
    const FontKey key{info.face, info.sizePx, info.bold, info.italic};
    auto it = cache.find(key);
    const SIZE s = it != cache.end() ? it->second
                                     : (cache[key] = MeasureText(font, u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    if (height) *height = s.cy;
    return (s.cx / 26 + 1) / 2;
}

}  // namespace qk::ui

using namespace qk::ui;

HGDIOBJ GetStockObject(int index) {
    if (index == 16) return nullptr;
    return Stock(index);
}

DWORD GetObjectType(HGDIOBJ object) {
    std::lock_guard gdi(GdiLock());
    if (DcOf(reinterpret_cast<HDC>(object))) {
        return DcOf(reinterpret_cast<HDC>(object))->memory ? OBJ_MEMDC : OBJ_DC;
    }
    GdiObject* o = ObjectOf(object);
    return o ? o->type : 0;
}

HDC CreateCompatibleDC(HDC) {
    std::lock_guard gdi(GdiLock());
    auto dc = std::make_unique<DeviceContext>();
    dc->memory = true;
    Bitmap& one = *Stock(16)->bitmap;
    dc->target = one.surface;
    dc->bounds = Region(RECT{0, 0, 1, 1});
    return NewDc(std::move(dc));
}

BOOL DeleteDC(HDC hdc) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !dc->memory) {
        if (dc && dc->window) {
            ReleaseWindowDc(hdc);
            return TRUE;
        }
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FreeDc(hdc);
    return TRUE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    GdiObject* o = ObjectOf(object);
    if (!dc || !o) return nullptr;
    HGDIOBJ previous = nullptr;
    switch (o->type) {
        case OBJ_PEN: previous = dc->s.pen; dc->s.pen = object; break;
        case OBJ_BRUSH: previous = dc->s.brush; dc->s.brush = object; break;
        case OBJ_FONT: previous = dc->s.font; dc->s.font = object; break;
        case OBJ_BITMAP: {
            // A bitmap is selected into one memory DC at a time.
            if (!dc->memory || (o->selectedInto && o->selectedInto != hdc)) return nullptr;
            if (GdiObject* old = ObjectOf(dc->s.bitmap, OBJ_BITMAP)) old->selectedInto = nullptr;
            previous = dc->s.bitmap;
            dc->s.bitmap = object;
            if (!o->stock) o->selectedInto = hdc;
            BitmapToSurface(*o->bitmap);
            dc->target = o->bitmap->surface;
            dc->bounds = Region(RECT{0, 0, o->bitmap->width, o->bitmap->height});
            break;
        }
        case OBJ_REGION:
            SelectClipRgn(hdc, reinterpret_cast<HRGN>(object));
            return reinterpret_cast<HGDIOBJ>(static_cast<ULONG_PTR>(o->region.Complexity()));
        default: return nullptr;
    }
    return previous;
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return nullptr;
    switch (type) {
        case OBJ_PEN: return dc->s.pen;
        case OBJ_BRUSH: return dc->s.brush;
        case OBJ_FONT: return dc->s.font;
        case OBJ_BITMAP: return dc->s.bitmap == Stock(16) ? nullptr : dc->s.bitmap;
        default: return nullptr;
    }
}

BOOL DeleteObject(HGDIOBJ object) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(object);
    if (!o) return FALSE;
    if (o->stock) return TRUE;
    // A bitmap still selected into a DC cannot go, as on the target.
    if (o->type == OBJ_BITMAP && o->selectedInto) return FALSE;
    {
        std::lock_guard guard(g_objectsLock);
        g_objects.erase(o);
    }
    if (o->bitmap && o->bitmap->argbView) cairo_surface_destroy(o->bitmap->argbView);
    if (o->bitmap && o->bitmap->surface) cairo_surface_destroy(o->bitmap->surface);
    delete o;
    return TRUE;
}

int GetObjectW(HGDIOBJ object, int size, LPVOID buffer) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(object);
    if (!o) return 0;
    if (o->type == OBJ_BITMAP) {
        if (!buffer) return sizeof(BITMAP);
        if (size < static_cast<int>(sizeof(BITMAP))) return 0;
        BITMAP bm{};
        bm.bmWidth = o->bitmap->width;
        bm.bmHeight = o->bitmap->height;
        bm.bmBitsPixel = static_cast<WORD>(o->bitmap->bitsPerPixel);
        bm.bmPlanes = 1;
        bm.bmWidthBytes = ((o->bitmap->width * o->bitmap->bitsPerPixel / 8) + 3) & ~3;
        bm.bmBits = o->bitmap->dibBits;
        std::memcpy(buffer, &bm, sizeof bm);
        return sizeof bm;
    }
    if (o->type == OBJ_FONT) {
        if (!buffer) return sizeof(LOGFONTW);
        if (size < static_cast<int>(sizeof(LOGFONTW))) return 0;
        std::memcpy(buffer, &o->font, sizeof(LOGFONTW));
        return sizeof(LOGFONTW);
    }
    if (o->type == OBJ_BRUSH) {
        if (!buffer) return sizeof(LOGBRUSH);
        if (size < static_cast<int>(sizeof(LOGBRUSH))) return 0;
        LOGBRUSH lb{static_cast<UINT>(o->hollow ? BS_NULL : BS_SOLID), o->color, 0};
        std::memcpy(buffer, &lb, sizeof lb);
        return sizeof lb;
    }
    return 0;
}

int SaveDC(HDC hdc) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return 0;
    dc->saved.push_back(dc->s);
    return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC hdc, int saved) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    const int count = static_cast<int>(dc->saved.size());
    const int level = saved < 0 ? count + saved + 1 : saved;
    if (level < 1 || level > count) return FALSE;
    const HGDIOBJ bitmap = dc->s.bitmap;
    dc->s = dc->saved[level - 1];
    dc->saved.resize(level - 1);
    if (dc->s.bitmap != bitmap) {
        HGDIOBJ restore = dc->s.bitmap;
        dc->s.bitmap = bitmap;
        SelectObject(hdc, restore);
    }
    return TRUE;
}

int GetDeviceCaps(HDC hdc, int index) {
    switch (index) {
        case LOGPIXELSX:
        case LOGPIXELSY: return 96;
        case BITSPIXEL: return 32;
        default: return 0;
    }
}

BOOL SetViewportOrgEx(HDC hdc, int x, int y, LPPOINT previous) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    if (previous) *previous = dc->s.viewport;
    dc->s.viewport = POINT{x, y};
    return TRUE;
}

BOOL GetViewportOrgEx(HDC hdc, LPPOINT origin) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !origin) return FALSE;
    *origin = dc->s.viewport;
    return TRUE;
}

#define QK_DC_SETTER(Name, Getter, field, Type, invalid)  \
    Type Name(HDC hdc, Type value) {                      \
        std::lock_guard gdi(GdiLock());                   \
        DeviceContext* dc = DcOf(hdc);                    \
        if (!dc) return invalid;                          \
        Type previous = dc->s.field;                      \
        dc->s.field = value;                              \
        return previous;                                  \
    }                                                     \
    Type Getter(HDC hdc) {                                \
        std::lock_guard gdi(GdiLock());                   \
        DeviceContext* dc = DcOf(hdc);                    \
        return dc ? dc->s.field : invalid;                \
    }
QK_DC_SETTER(SetTextColor, GetTextColor, text, COLORREF, CLR_INVALID)
QK_DC_SETTER(SetBkColor, GetBkColor, background, COLORREF, CLR_INVALID)
QK_DC_SETTER(SetBkMode, GetBkMode, bkMode, int, 0)
#undef QK_DC_SETTER

COLORREF SetDCBrushColor(HDC hdc, COLORREF color) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return CLR_INVALID;
    std::swap(dc->s.dcBrush, color);
    return color;
}

COLORREF SetDCPenColor(HDC hdc, COLORREF color) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return CLR_INVALID;
    std::swap(dc->s.dcPen, color);
    return color;
}

HPEN CreatePen(int style, int width, COLORREF color) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = NewObject(OBJ_PEN);
    o->penStyle = style;
    o->penWidth = width;
    o->color = color & 0xFFFFFF;
    o->hollow = style == PS_NULL;
    return reinterpret_cast<HPEN>(o);
}

HBRUSH CreateSolidBrush(COLORREF color) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = NewObject(OBJ_BRUSH);
    o->color = color & 0xFFFFFF;
    return reinterpret_cast<HBRUSH>(o);
}

HBRUSH CreateBrushIndirect(const LOGBRUSH* brush) {
    std::lock_guard gdi(GdiLock());
    if (!brush) return nullptr;
    if (brush->lbStyle == BS_NULL) return reinterpret_cast<HBRUSH>(Stock(NULL_BRUSH));
    return CreateSolidBrush(brush->lbColor);
}

BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT previous) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    if (previous) *previous = dc->s.position;
    dc->s.position = POINT{x, y};
    return TRUE;
}

BOOL LineTo(HDC hdc, int x, int y) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    cairo_t* cr = Begin(*dc);
    // Pixel centres, and the end point itself is not drawn, as on the target.
    const double x0 = dc->s.position.x + 0.5, y0 = dc->s.position.y + 0.5;
    const double dx = x - dc->s.position.x, dy = y - dc->s.position.y;
    const double length = std::hypot(dx, dy);
    cairo_move_to(cr, x0, y0);
    if (length > 0) cairo_line_to(cr, x0 + dx * (length - 0.5) / length, y0 + dy * (length - 0.5) / length);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    FillAndStroke(*dc, cr, false);
    End(*dc, cr);
    dc->s.position = POINT{x, y};
    return TRUE;
}

// One row of pixels of one colour, four at a time (the compiler keeps a plain
// loop to one store a pixel).
static void FillRow(uint32_t* row, int count, uint32_t pixel) {
    using Quad = uint32_t __attribute__((vector_size(16)));
    const Quad quad = {pixel, pixel, pixel, pixel};
    int i = 0;
    for (; i + 4 <= count; i += 4) std::memcpy(row + i, &quad, sizeof quad);
    for (; i < count; ++i) row[i] = pixel;
}

// A solid fill of a rectangle without an outline (FillRect, and the edges
// and frames drawn of it) goes straight into the pixels of the DC's part of
// its target: the same pixels Cairo would set without antialiasing, without
// a Cairo context and its clip for every edge of every control.
static bool FillPixels(DeviceContext& dc, GdiObject* brush, int left, int top, int right, int bottom) {
    if (!brush) return false;
    if (brush->hollow) return true;
    if (cairo_surface_get_type(dc.target) != CAIRO_SURFACE_TYPE_IMAGE) return false;
    const cairo_format_t format = cairo_image_surface_get_format(dc.target);
    if (format != CAIRO_FORMAT_RGB24 && format != CAIRO_FORMAT_ARGB32) return false;
    const COLORREF c = BrushColor(dc, *brush);
    const uint32_t pixel = 0xFF000000u | (static_cast<uint32_t>(GetRValue(c)) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    const int dx = dc.origin.x + dc.s.viewport.x, dy = dc.origin.y + dc.s.viewport.y;
    // Corners in either order, as the path Cairo would fill.
    const RECT wanted{std::min(left, right) + dx, std::min(top, bottom) + dy, std::max(left, right) + dx, std::max(top, bottom) + dy};
    if (RectEmpty(wanted)) return true;
    if (dc.window) PaintLock().lock();
    cairo_surface_flush(dc.target);
    uint8_t* data = cairo_image_surface_get_data(dc.target);
    const int stride = cairo_image_surface_get_stride(dc.target);
    const RECT surface{0, 0, cairo_image_surface_get_width(dc.target), cairo_image_surface_get_height(dc.target)};
    auto fill = [&](const RECT& r) {
        const RECT f = RectIntersect(r, surface);
        if (RectEmpty(f)) return;
        for (LONG y = f.top; y < f.bottom; ++y) {
            FillRow(reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride) + f.left, f.right - f.left, pixel);
        }
        cairo_surface_mark_dirty_rectangle(dc.target, f.left, f.top, f.right - f.left, f.bottom - f.top);
    };
    for (const RECT& b : dc.bounds.Rects()) {
        const RECT inBounds = RectIntersect(b, wanted);
        if (RectEmpty(inBounds)) continue;
        if (!dc.s.clipped) {
            fill(inBounds);
            continue;
        }
        for (RECT clip : dc.s.clip.Rects()) {
            OffsetRect(&clip, dc.origin.x, dc.origin.y);
            fill(RectIntersect(inBounds, clip));
        }
    }
    if (dc.window) {
        CountPaint();
        PaintLock().unlock();
    }
    if (dc.memory) {
        if (GdiObject* o = ObjectOf(dc.s.bitmap, OBJ_BITMAP)) SurfaceToBitmap(*o->bitmap);
    }
    return true;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    auto* pen = ObjectOf(dc->s.pen, OBJ_PEN);
    if (pen && pen->hollow && FillPixels(*dc, ObjectOf(dc->s.brush, OBJ_BRUSH), left, top, right, bottom)) return TRUE;
    cairo_t* cr = Begin(*dc);
    const bool outline = pen && !pen->hollow;
    // The outline lies inside the rectangle; the interior fills the rest.
    if (outline) {
        cairo_rectangle(cr, left + 0.5, top + 0.5, right - left - 1, bottom - top - 1);
    } else {
        cairo_rectangle(cr, left, top, right - left, bottom - top);
    }
    FillAndStroke(*dc, cr, true);
    End(*dc, cr);
    return TRUE;
}

namespace qk::ui {

bool FillRectDirect(HDC hdc, const RECT& r, HBRUSH brush) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    GdiObject* b = ObjectOf(brush, OBJ_BRUSH);
    return dc && b && FillPixels(*dc, b, r.left, r.top, r.right, r.bottom);
}

}  // namespace qk::ui

BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || right <= left || bottom <= top) return FALSE;
    cairo_t* cr = Begin(*dc);
    cairo_save(cr);
    cairo_translate(cr, (left + right) / 2.0, (top + bottom) / 2.0);
    cairo_scale(cr, (right - left - 1) / 2.0, (bottom - top - 1) / 2.0);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
    FillAndStroke(*dc, cr, true);
    End(*dc, cr);
    return TRUE;
}

BOOL RoundRect(HDC hdc, int left, int top, int right, int bottom, int width, int height) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    cairo_t* cr = Begin(*dc);
    const double rx = std::min(width / 2.0, (right - left) / 2.0), ry = std::min(height / 2.0, (bottom - top) / 2.0);
    const double l = left + 0.5, t = top + 0.5, r = right - 0.5, b = bottom - 0.5;
    cairo_new_path(cr);
    auto corner = [&](double cx, double cy, double a0) {
        cairo_save(cr);
        cairo_translate(cr, cx, cy);
        cairo_scale(cr, std::max(rx, 0.01), std::max(ry, 0.01));
        cairo_arc(cr, 0, 0, 1, a0, a0 + M_PI / 2);
        cairo_restore(cr);
    };
    corner(r - rx, t + ry, -M_PI / 2);
    corner(r - rx, b - ry, 0);
    corner(l + rx, b - ry, M_PI / 2);
    corner(l + rx, t + ry, M_PI);
    cairo_close_path(cr);
    FillAndStroke(*dc, cr, true);
    End(*dc, cr);
    return TRUE;
}

BOOL Polygon(HDC hdc, const POINT* points, int count) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !points || count < 2) return FALSE;
    cairo_t* cr = Begin(*dc);
    cairo_move_to(cr, points[0].x + 0.5, points[0].y + 0.5);
    for (int i = 1; i < count; ++i) cairo_line_to(cr, points[i].x + 0.5, points[i].y + 0.5);
    cairo_close_path(cr);
    FillAndStroke(*dc, cr, true);
    End(*dc, cr);
    return TRUE;
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return CLR_INVALID;
    cairo_t* cr = Begin(*dc);
    cairo_set_source_rgb(cr, R(color), G(color), B(color));
    cairo_rectangle(cr, x, y, 1, 1);
    cairo_fill(cr);
    End(*dc, cr);
    return color & 0xFFFFFF;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return CLR_INVALID;
    const int sx = x + dc->origin.x + dc->s.viewport.x, sy = y + dc->origin.y + dc->s.viewport.y;
    if (!dc->bounds.Contains(sx, sy)) return CLR_INVALID;
    cairo_surface_flush(dc->target);
    const uint8_t* data = cairo_image_surface_get_data(dc->target);
    const int stride = cairo_image_surface_get_stride(dc->target);
    const uint32_t p = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(sy) * stride)[sx];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

HFONT CreateFontIndirectW(const LOGFONTW* font) {
    std::lock_guard gdi(GdiLock());
    if (!font) return nullptr;
    GdiObject* o = NewObject(OBJ_FONT);
    o->font = *font;
    o->font.lfFaceName[LF_FACESIZE - 1] = 0;
    return reinterpret_cast<HFONT>(o);
}

HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic, DWORD underline,
                  DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision, DWORD quality,
                  DWORD pitchAndFamily, LPCWSTR faceName) {
    std::lock_guard gdi(GdiLock());
    LOGFONTW f{};
    f.lfHeight = height;
    f.lfWidth = width;
    f.lfEscapement = escapement;
    f.lfOrientation = orientation;
    f.lfWeight = weight;
    f.lfItalic = static_cast<BYTE>(italic);
    f.lfUnderline = static_cast<BYTE>(underline);
    f.lfStrikeOut = static_cast<BYTE>(strikeOut);
    f.lfCharSet = static_cast<BYTE>(charSet);
    f.lfOutPrecision = static_cast<BYTE>(outPrecision);
    f.lfClipPrecision = static_cast<BYTE>(clipPrecision);
    f.lfQuality = static_cast<BYTE>(quality);
    f.lfPitchAndFamily = static_cast<BYTE>(pitchAndFamily);
    for (int i = 0; faceName && faceName[i] && i < LF_FACESIZE - 1; ++i) f.lfFaceName[i] = faceName[i];
    return CreateFontIndirectW(&f);
}

BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || (!text && count > 0)) return FALSE;
    const std::u16string s(text ? text : u"", count < 0 ? 0 : static_cast<size_t>(count));
    const FontInfo info = FontOf(reinterpret_cast<HFONT>(dc->s.font));
    const Metrics m = FontMetrics(info);
    const SIZE extent = dc->s.bkMode == OPAQUE || info.underline ? MeasureText(reinterpret_cast<HFONT>(dc->s.font), s) : SIZE{};
    cairo_t* cr = Begin(*dc);
    if (dc->s.bkMode == OPAQUE) {
        cairo_set_source_rgb(cr, R(dc->s.background), G(dc->s.background), B(dc->s.background));
        cairo_rectangle(cr, x, y, extent.cx, extent.cy);
        cairo_fill(cr);
    }
    SetFont(cr, info);
    cairo_set_source_rgb(cr, R(dc->s.text), G(dc->s.text), B(dc->s.text));
    const double baseline = y + std::ceil(m.ascent);
    cairo_move_to(cr, x, baseline);
    const std::string utf8 = Narrow(s);
    cairo_show_text(cr, utf8.c_str());
    if (info.underline) {
        cairo_rectangle(cr, x, baseline + 1, extent.cx, 1);
        cairo_fill(cr);
    }
    End(*dc, cr);
    return TRUE;
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int count) {
    std::lock_guard gdi(GdiLock());
    const std::u16string wide = Widen(text ? text : "", count);
    return TextOutW(hdc, x, y, wide.c_str(), static_cast<int>(wide.size()));
}

BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, LPSIZE size) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !size || count < 0 || (!text && count > 0)) return FALSE;
    *size = MeasureText(reinterpret_cast<HFONT>(dc->s.font), std::u16string(text ? text : u"", count));
    return TRUE;
}

BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR text, int count, LPSIZE size) {
    std::lock_guard gdi(GdiLock());
    const std::u16string wide = Widen(text ? text : "", count);
    return GetTextExtentPoint32W(hdc, wide.c_str(), static_cast<int>(wide.size()), size);
}

BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW tm) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !tm) return FALSE;
    const HFONT font = reinterpret_cast<HFONT>(dc->s.font);
    const FontInfo info = FontOf(font);
    const Metrics m = FontMetrics(info);
    *tm = TEXTMETRICW{};
    tm->tmAscent = static_cast<LONG>(std::ceil(m.ascent));
    tm->tmDescent = static_cast<LONG>(std::ceil(m.descent));
    tm->tmHeight = tm->tmAscent + tm->tmDescent;
    tm->tmInternalLeading = std::max<LONG>(0, tm->tmHeight - static_cast<LONG>(std::lround(info.sizePx)));
    tm->tmAveCharWidth = AverageCharWidth(font, nullptr);
    tm->tmMaxCharWidth = MeasureText(font, u"W").cx;
    tm->tmWeight = info.bold ? FW_BOLD : FW_NORMAL;
    tm->tmItalic = info.italic;
    tm->tmCharSet = info.charSet;
    tm->tmFirstChar = 0x20;
    tm->tmLastChar = 0xFFFC;
    tm->tmDefaultChar = u'?';
    tm->tmBreakChar = u' ';
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC, int width, int height) {
    std::lock_guard gdi(GdiLock());
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
    return BitmapFromSurface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), false);
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits) {
    std::lock_guard gdi(GdiLock());
    if (planes != 1 || (bitsPerPixel != 32 && bitsPerPixel != 24)) return nullptr;
    HBITMAP h = CreateCompatibleBitmap(nullptr, width, height);
    if (!h || !bits) return h;
    Bitmap* b = BitmapOf(h);
    b->dibBits = static_cast<uint8_t*>(const_cast<void*>(bits));
    b->bitsPerPixel = static_cast<int>(bitsPerPixel);
    BitmapToSurface(*b);
    b->dibBits = nullptr;
    b->bitsPerPixel = 32;
    return h;
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section, DWORD offset) {
    std::lock_guard gdi(GdiLock());
    if (!info || section || usage != DIB_RGB_COLORS) return nullptr;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biCompression != BI_RGB || (h.biBitCount != 24 && h.biBitCount != 32) ||
        h.biWidth <= 0 || h.biHeight == 0 || h.biWidth > 16384 || std::abs(h.biHeight) > 16384) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const int width = h.biWidth, height = std::abs(h.biHeight);
    HBITMAP handle = CreateCompatibleBitmap(nullptr, width, height);
    Bitmap* b = BitmapOf(handle);
    b->bitsPerPixel = h.biBitCount;
    b->bottomUp = h.biHeight > 0;
    // A top-down 32-bit section is the surface's own memory; every other
    // shape keeps its bits apart and is copied across around each use.
    if (!b->bottomUp && h.biBitCount == 32) {
        b->sharesSurfaceMemory = true;
        b->dibBits = cairo_image_surface_get_data(b->surface);
        std::memset(b->dibBits, 0, static_cast<size_t>(cairo_image_surface_get_stride(b->surface)) * height);
        cairo_surface_mark_dirty(b->surface);
    } else {
        const size_t stride = (static_cast<size_t>(width) * (h.biBitCount / 8) + 3) & ~size_t{3};
        b->ownBits.assign(stride * height, 0);
        b->dibBits = b->ownBits.data();
        BitmapToSurface(*b);
    }
    if (bits) *bits = b->dibBits;
    return handle;
}

namespace {

// The source bitmap of a memory DC as a Cairo pattern, brought up to date.
cairo_surface_t* SourceSurface(DeviceContext& source) {
    if (source.memory) {
        if (GdiObject* o = ObjectOf(source.s.bitmap, OBJ_BITMAP)) BitmapToSurface(*o->bitmap);
    }
    cairo_surface_flush(source.target);
    return source.target;
}

bool SourceHasAlpha(DeviceContext& source) {
    if (!source.memory) return false;
    GdiObject* o = ObjectOf(source.s.bitmap, OBJ_BITMAP);
    return o && o->bitmap->hasAlpha;
}

BOOL Blit(HDC destHdc, int x, int y, int width, int height, HDC sourceHdc, int sx, int sy, int sw, int sh,
          DWORD rop, const COLORREF* transparent) {
    DeviceContext* dest = DcOf(destHdc);
    if (!dest || width == 0 || height == 0) return dest != nullptr;
    if (rop == BLACKNESS || rop == WHITENESS || rop == PATCOPY) return PatBlt(destHdc, x, y, width, height, rop);
    DeviceContext* source = DcOf(sourceHdc);
    if (!source || sw == 0 || sh == 0) return FALSE;
    cairo_surface_t* src = SourceSurface(*source);
    const int ox = source->origin.x + source->s.viewport.x, oy = source->origin.y + source->s.viewport.y;
    cairo_surface_t* keyed = nullptr;
    if (transparent) {
        // The colour key becomes transparency in a copy of the source part.
        const int w = std::abs(sw), h = std::abs(sh);
        keyed = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        const uint8_t* sdata = cairo_image_surface_get_data(src);
        const int sstride = cairo_image_surface_get_stride(src);
        const int swidth = cairo_image_surface_get_width(src), sheight = cairo_image_surface_get_height(src);
        uint8_t* kdata = cairo_image_surface_get_data(keyed);
        const int kstride = cairo_image_surface_get_stride(keyed);
        const uint32_t key = 0xFF000000u | uint32_t{GetRValue(*transparent)} << 16 |
                             uint32_t{GetGValue(*transparent)} << 8 | GetBValue(*transparent);
        for (int j = 0; j < h; ++j) {
            auto* row = reinterpret_cast<uint32_t*>(kdata + static_cast<size_t>(j) * kstride);
            for (int i = 0; i < w; ++i) {
                const int px = sx + ox + i, py = sy + oy + j;
                uint32_t p = 0;
                if (px >= 0 && py >= 0 && px < swidth && py < sheight) {
                    p = reinterpret_cast<const uint32_t*>(sdata + static_cast<size_t>(py) * sstride)[px] | 0xFF000000u;
                }
                row[i] = (p == key) ? 0 : p;
            }
        }
        cairo_surface_mark_dirty(keyed);
    }
    cairo_t* cr = Begin(*dest);
    cairo_rectangle(cr, x, y, width, height);
    cairo_clip(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, static_cast<double>(width) / sw, static_cast<double>(height) / sh);
    if (keyed) {
        cairo_set_source_surface(cr, keyed, 0, 0);
    } else {
        cairo_set_source_surface(cr, src, -(sx + ox), -(sy + oy));
    }
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    const bool blend = keyed || SourceHasAlpha(*source);
    cairo_set_operator(cr, blend ? CAIRO_OPERATOR_OVER : CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    End(*dest, cr);
    if (keyed) cairo_surface_destroy(keyed);
    return TRUE;
}

}  // namespace

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int sx, int sy, DWORD rop) {
    std::lock_guard gdi(GdiLock());
    return Blit(dest, x, y, width, height, source, sx, sy, width, height, rop, nullptr);
}

BOOL StretchBlt(HDC dest, int x, int y, int width, int height, HDC source, int sx, int sy, int sw, int sh, DWORD rop) {
    std::lock_guard gdi(GdiLock());
    return Blit(dest, x, y, width, height, source, sx, sy, sw, sh, rop, nullptr);
}

BOOL TransparentBlt(HDC dest, int x, int y, int width, int height, HDC source, int sx, int sy, int sw, int sh,
                    UINT transparent) {
    std::lock_guard gdi(GdiLock());
    if (sw <= 0 || sh <= 0 || width <= 0 || height <= 0) return FALSE;
    const COLORREF key = transparent & 0xFFFFFF;
    return Blit(dest, x, y, width, height, source, sx, sy, sw, sh, SRCCOPY, &key);
}

BOOL PatBlt(HDC hdc, int x, int y, int width, int height, DWORD rop) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return FALSE;
    COLORREF c = 0;
    if (rop == WHITENESS) {
        c = RGB(255, 255, 255);
    } else if (rop == PATCOPY) {
        auto* brush = ObjectOf(dc->s.brush, OBJ_BRUSH);
        if (!brush || brush->hollow) return TRUE;
        c = BrushColor(*dc, *brush);
    } else if (rop != BLACKNESS) {
        return FALSE;
    }
    cairo_t* cr = Begin(*dc);
    cairo_set_source_rgb(cr, R(c), G(c), B(c));
    cairo_rectangle(cr, x, y, width, height);
    cairo_fill(cr);
    End(*dc, cr);
    return TRUE;
}

BOOL GdiFlush() { return TRUE; }

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
    GdiObject* o = NewObject(OBJ_REGION);
    o->region = Region(RECT{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)});
    return reinterpret_cast<HRGN>(o);
}

HRGN CreateRectRgnIndirect(const RECT* r) { return r ? CreateRectRgn(r->left, r->top, r->right, r->bottom) : nullptr; }

HRGN CreateEllipticRgn(int left, int top, int right, int bottom) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = NewObject(OBJ_REGION);
    o->region = Region::Ellipse(RECT{left, top, right, bottom});
    return reinterpret_cast<HRGN>(o);
}

int CombineRgn(HRGN dest, HRGN a, HRGN b, int mode) {
    std::lock_guard gdi(GdiLock());
    GdiObject* d = ObjectOf(dest, OBJ_REGION);
    GdiObject* ra = ObjectOf(a, OBJ_REGION);
    GdiObject* rb = ObjectOf(b, OBJ_REGION);
    if (!d || !ra || (mode != RGN_COPY && !rb)) return ERROR;
    switch (mode) {
        case RGN_COPY: d->region = ra->region; break;
        case RGN_AND: d->region = Region::Combine(ra->region, rb->region, Region::Op::And); break;
        case RGN_OR: d->region = Region::Combine(ra->region, rb->region, Region::Op::Or); break;
        case RGN_XOR: d->region = Region::Combine(ra->region, rb->region, Region::Op::Xor); break;
        case RGN_DIFF: d->region = Region::Combine(ra->region, rb->region, Region::Op::Diff); break;
        default: return ERROR;
    }
    return d->region.Complexity();
}

BOOL PtInRegion(HRGN region, int x, int y) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(region, OBJ_REGION);
    return o && o->region.Contains(x, y);
}

int GetRgnBox(HRGN region, LPRECT rect) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(region, OBJ_REGION);
    if (!o || !rect) return ERROR;
    *rect = o->region.Bounds();
    return o->region.Complexity();
}

int OffsetRgn(HRGN region, int dx, int dy) {
    std::lock_guard gdi(GdiLock());
    GdiObject* o = ObjectOf(region, OBJ_REGION);
    if (!o) return ERROR;
    o->region.Offset(dx, dy);
    return o->region.Complexity();
}

BOOL FillRgn(HDC hdc, HRGN region, HBRUSH brush) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    GdiObject* r = ObjectOf(region, OBJ_REGION);
    GdiObject* b = ObjectOf(brush, OBJ_BRUSH);
    if (!dc || !r || !b) return FALSE;
    if (b->hollow) return TRUE;
    cairo_t* cr = Begin(*dc);
    const COLORREF c = BrushColor(*dc, *b);
    cairo_set_source_rgb(cr, R(c), G(c), B(c));
    for (const RECT& rc : r->region.Rects()) cairo_rectangle(cr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
    cairo_fill(cr);
    End(*dc, cr);
    return TRUE;
}

int SelectClipRgn(HDC hdc, HRGN region) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return ERROR;
    if (!region) {
        dc->s.clipped = false;
        dc->s.clip = Region();
        return SIMPLEREGION;
    }
    GdiObject* r = ObjectOf(region, OBJ_REGION);
    if (!r) return ERROR;
    dc->s.clipped = true;
    dc->s.clip = r->region;  // a copy: the caller keeps its region
    return dc->s.clip.Complexity();
}

int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc) return ERROR;
    const Region r(RECT{left + dc->s.viewport.x, top + dc->s.viewport.y, right + dc->s.viewport.x, bottom + dc->s.viewport.y});
    dc->s.clip = dc->s.clipped ? Region::Combine(dc->s.clip, r, Region::Op::And) : r;
    dc->s.clipped = true;
    return dc->s.clip.Complexity();
}

int GetClipBox(HDC hdc, LPRECT rect) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !rect) return ERROR;
    Region visible = dc->bounds;
    visible.Offset(-dc->origin.x, -dc->origin.y);
    if (dc->s.clipped) visible = Region::Combine(visible, dc->s.clip, Region::Op::And);
    *rect = visible.Bounds();
    rect->left -= dc->s.viewport.x;
    rect->right -= dc->s.viewport.x;
    rect->top -= dc->s.viewport.y;
    rect->bottom -= dc->s.viewport.y;
    return visible.Complexity();
}

BOOL AlphaBlend(HDC destHdc, int x, int y, int width, int height, HDC sourceHdc, int sx, int sy, int sw, int sh,
                BLENDFUNCTION blend) {
    std::lock_guard gdi(GdiLock());
    DeviceContext* dest = DcOf(destHdc);
    DeviceContext* source = DcOf(sourceHdc);
    if (!dest || !source || !source->memory || width <= 0 || height <= 0 || sw <= 0 || sh <= 0) return FALSE;
    GdiObject* o = ObjectOf(source->s.bitmap, OBJ_BITMAP);
    if (!o) return FALSE;
    Bitmap& b = *o->bitmap;
    if (sx < 0 || sy < 0 || sx + sw > b.width || sy + sh > b.height) return FALSE;
    BitmapToSurface(b);
    cairo_surface_flush(b.surface);
    // The same pixels seen with their alpha channel, made once per bitmap.
    if (!b.argbView) {
        b.argbView = cairo_image_surface_create_for_data(cairo_image_surface_get_data(b.surface), CAIRO_FORMAT_ARGB32,
                                                         b.width, b.height, cairo_image_surface_get_stride(b.surface));
    }
    cairo_surface_t* argb = b.argbView;
    cairo_surface_mark_dirty(argb);
    cairo_t* cr = Begin(*dest);
    cairo_rectangle(cr, x, y, width, height);
    cairo_clip(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, static_cast<double>(width) / sw, static_cast<double>(height) / sh);
    cairo_set_source_surface(cr, (blend.AlphaFormat & AC_SRC_ALPHA) ? argb : b.surface, -sx, -sy);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    if (blend.SourceConstantAlpha == 255) {
        cairo_paint(cr);
    } else {
        cairo_paint_with_alpha(cr, blend.SourceConstantAlpha / 255.0);
    }
    End(*dest, cr);
    return TRUE;
}
