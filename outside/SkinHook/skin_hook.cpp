// The skinning library: CallSkinHook and the skins it keeps. A skin reads
// one bundle and paints the window it is attached to (its piece, stretched
// in nine slices) and the child controls the descriptor names (buttons and
// check boxes in frames of their piece, statics with a picture the console
// may change by message). Windows are hooked by replacing their window
// procedure, and given back their own when the skin is detached or the
// window goes.
#include "outside/SkinHook/skin_hook.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "outside/SkinHook/bundle.h"
#include "outside/SkinHook/skin_descriptors.h"
#include "windows.h"
#include "wingdi.h"
#include "winuser.h"

namespace skinhook {

namespace {

constexpr size_t kMaxName = 260;
constexpr uint32_t kMaxChildren = 256;

struct PieceBitmap {
    HBITMAP bitmap = nullptr;
    int width = 0;
    int height = 0;
};

enum class Role { Window, Button, Static };

struct Skin;

struct Hook {
    Skin* skin;
    Role role;
    WNDPROC previous;
    std::string piece;
};

// A window's piece stretched to the window's size, kept while neither
// changes: the window's background and everything its controls show through
// them are parts of it, blended once each instead of in nine stretched slices.
struct Backdrop {
    HBITMAP bitmap = nullptr;
    int width = 0;
    int height = 0;
    std::string piece;  // lower-case
};

struct Skin {
    std::unique_ptr<Bundle> bundle;
    HWND window = nullptr;
    std::map<std::string, PieceBitmap> bitmaps;  // lower-case piece name
    std::map<HWND, Backdrop> backdrops;
    ~Skin() {
        for (auto& [name, b] : bitmaps) DeleteObject(b.bitmap);
        for (auto& [hwnd, b] : backdrops) DeleteObject(b.bitmap);
    }
};

std::recursive_mutex g_lock;  // guards g_skins, g_hooks and every Skin
std::map<DWORD_PTR, std::unique_ptr<Skin>> g_skins;
std::map<HWND, Hook> g_hooks;
DWORD_PTR g_nextSkin = 1;

bool BoundedString(const char* s) { return s && ::strnlen(s, kMaxName) < kMaxName; }

Skin* Find(DWORD_PTR handle) {
    auto it = g_skins.find(handle);
    return it == g_skins.end() ? nullptr : it->second.get();
}

const PieceBitmap* BitmapOf(Skin& skin, const std::string& piece) {
    const std::string key = Lower(piece);
    auto it = skin.bitmaps.find(key);
    if (it != skin.bitmaps.end()) return &it->second;
    std::shared_ptr<const Picture> picture = skin.bundle->Piece(piece);
    if (!picture) return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = picture->width;
    info.bmiHeader.biHeight = -picture->height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return nullptr;
    std::memcpy(bits, picture->pixels.data(), picture->pixels.size() * 4);
    return &(skin.bitmaps[key] = PieceBitmap{bitmap, picture->width, picture->height});
}

int Number(const Skin& skin, const std::string& section, const std::string& key, int fallback) {
    auto v = skin.bundle->Value(section, key);
    if (!v || v->empty()) return fallback;
    char* end = nullptr;
    const long n = std::strtol(v->c_str(), &end, 0);
    return (end && *end == 0) ? static_cast<int>(n) : fallback;
}

// Where the nine slices of a piece go: frame `frame` of its frames (laid
// side by side) drawn into a w x h rectangle, its borders ("Slices"
// l,t,r,b) kept and its middle stretched. Source columns xs (from x0) and
// rows ys go to destination columns dx and rows dy.
struct Slices {
    int x0 = 0;
    int xs[4], ys[4], dx[4], dy[4];
};

Slices SlicesOf(Skin& skin, const std::string& piece, int pieceWidth, int pieceHeight, int frame, int w, int h) {
    const int frames = std::max(1, Number(skin, "Frames", piece, 1));
    const int fw = pieceWidth / frames;
    frame = std::clamp(frame, 0, frames - 1);
    int sl = 0, st = 0, sr = 0, sb = 0;
    if (auto v = skin.bundle->Value("Slices", piece)) std::sscanf(v->c_str(), "%d,%d,%d,%d", &sl, &st, &sr, &sb);
    sl = std::clamp(sl, 0, fw / 2);
    sr = std::clamp(sr, 0, fw / 2);
    st = std::clamp(st, 0, pieceHeight / 2);
    sb = std::clamp(sb, 0, pieceHeight / 2);
    Slices s;
    s.x0 = frame * fw;
    const int xs[4] = {0, sl, fw - sr, fw}, ys[4] = {0, st, pieceHeight - sb, pieceHeight};
    const int dx[4] = {0, std::min(sl, w), std::max(std::min(sl, w), w - sr), w};
    const int dy[4] = {0, std::min(st, h), std::max(std::min(st, h), h - sb), h};
    std::copy_n(xs, 4, s.xs);
    std::copy_n(ys, 4, s.ys);
    std::copy_n(dx, 4, s.dx);
    std::copy_n(dy, 4, s.dy);
    return s;
}

void DrawPiece(HDC hdc, Skin& skin, const std::string& piece, const RECT& r, int frame) {
    const PieceBitmap* b = BitmapOf(skin, piece);
    if (!b) return;
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return;
    const Slices s = SlicesOf(skin, piece, b->width, b->height, frame, w, h);
    HDC mem = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(mem, b->bitmap);
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            if (s.xs[i + 1] <= s.xs[i] || s.ys[j + 1] <= s.ys[j] || s.dx[i + 1] <= s.dx[i] || s.dy[j + 1] <= s.dy[j]) continue;
            AlphaBlend(hdc, r.left + s.dx[i], r.top + s.dy[j], s.dx[i + 1] - s.dx[i], s.dy[j + 1] - s.dy[j], mem, s.x0 + s.xs[i],
                       s.ys[j], s.xs[i + 1] - s.xs[i], s.ys[j + 1] - s.ys[j], blend);
        }
    }
    SelectObject(mem, old);
    DeleteDC(mem);
}

// For each destination position along one axis, the source position it
// shows: within a slice, the source pixel under the destination pixel's
// centre (nearest neighbour, as the stretched blits sample).
std::vector<int> SourceMap(const int* source, const int* dest, int length, int offset) {
    std::vector<int> map(static_cast<size_t>(length), offset);
    for (int i = 0; i < 3; ++i) {
        const int span = dest[i + 1] - dest[i], from = source[i + 1] - source[i];
        if (span <= 0 || from <= 0) continue;
        for (int d = dest[i]; d < dest[i + 1]; ++d) {
            const int64_t at = (static_cast<int64_t>(d - dest[i]) * 2 + 1) * from / (2 * static_cast<int64_t>(span));
            map[static_cast<size_t>(d)] = offset + source[i] + static_cast<int>(std::min<int64_t>(at, from - 1));
        }
    }
    return map;
}

const Backdrop* BackdropOf(Skin& skin, HWND window, const std::string& piece, int w, int h) {
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return nullptr;
    const std::string key = Lower(piece);
    Backdrop& b = skin.backdrops[window];
    if (b.bitmap && b.width == w && b.height == h && b.piece == key) return &b;
    if (b.bitmap) DeleteObject(b.bitmap);
    b = Backdrop{};
    std::shared_ptr<const Picture> picture = skin.bundle->Piece(piece);
    if (!picture || picture->width <= 0 || picture->height <= 0) return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return nullptr;
    const Slices s = SlicesOf(skin, piece, picture->width, picture->height, 0, w, h);
    const std::vector<int> columns = SourceMap(s.xs, s.dx, w, s.x0);
    const std::vector<int> rows = SourceMap(s.ys, s.dy, h, 0);
    auto* out = static_cast<uint32_t*>(bits);
    for (int y = 0; y < h; ++y) {
        const uint32_t* row = picture->pixels.data() + static_cast<size_t>(rows[static_cast<size_t>(y)]) * picture->width;
        uint32_t* line = out + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) line[x] = row[columns[static_cast<size_t>(x)]];
    }
    b = Backdrop{bitmap, w, h, key};
    return &b;
}

// Part `part` (in `window`'s client coordinates) of the window's backdrop,
// drawn at `at` on `hdc`; false when there is no backdrop.
bool DrawBackdrop(HDC hdc, Skin& skin, HWND window, const std::string& piece, RECT part, POINT at) {
    RECT client;
    GetClientRect(window, &client);
    const Backdrop* b = BackdropOf(skin, window, piece, client.right, client.bottom);
    if (!b) return false;
    // Only what the backdrop covers.
    const RECT inside{std::max(part.left, static_cast<LONG>(0)), std::max(part.top, static_cast<LONG>(0)), std::min(part.right, static_cast<LONG>(b->width)),
                      std::min(part.bottom, static_cast<LONG>(b->height))};
    if (inside.right <= inside.left || inside.bottom <= inside.top) return true;
    HDC mem = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(mem, b->bitmap);
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(hdc, at.x + inside.left - part.left, at.y + inside.top - part.top, inside.right - inside.left,
               inside.bottom - inside.top, mem, inside.left, inside.top, inside.right - inside.left, inside.bottom - inside.top,
               blend);
    SelectObject(mem, old);
    DeleteDC(mem);
    return true;
}

// What lies under a child: its parent's skin at the child's place.
bool DrawParentUnder(HWND child, HDC hdc) {
    HWND parent = GetParent(child);
    auto it = g_hooks.find(parent);
    if (it == g_hooks.end() || it->second.role != Role::Window) return false;
    RECT cr;
    GetClientRect(child, &cr);
    POINT at{0, 0};
    MapWindowPoints(child, parent, &at, 1);
    const RECT part{at.x, at.y, at.x + cr.right, at.y + cr.bottom};
    if (!DrawBackdrop(hdc, *it->second.skin, parent, it->second.piece, part, POINT{0, 0})) {
        RECT pr;
        GetClientRect(parent, &pr);
        OffsetRect(&pr, -at.x, -at.y);
        DrawPiece(hdc, *it->second.skin, it->second.piece, pr, 0);
    }
    return true;
}

LRESULT CALLBACK HookProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

void Unhook(HWND hwnd) {
    auto it = g_hooks.find(hwnd);
    if (it == g_hooks.end()) return;
    auto backdrop = it->second.skin->backdrops.find(hwnd);
    if (backdrop != it->second.skin->backdrops.end()) {
        DeleteObject(backdrop->second.bitmap);
        it->second.skin->backdrops.erase(backdrop);
    }
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(it->second.previous));
    g_hooks.erase(it);
}

void HookWindow(HWND hwnd, Skin* skin, Role role, const std::string& piece) {
    if (!IsWindow(hwnd)) return;
    auto it = g_hooks.find(hwnd);
    if (it != g_hooks.end()) {
        it->second = Hook{skin, role, it->second.previous, piece};
    } else {
        const auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
        g_hooks[hwnd] = Hook{skin, role, previous, piece};
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HookProc));
    }
    InvalidateRect(hwnd, nullptr, TRUE);
}

int ButtonFrame(HWND hwnd) {
    const LRESULT state = SendMessageW(hwnd, BM_GETSTATE, 0, 0);
    if (!IsWindowEnabled(hwnd)) return 3;
    if (state & (BST_PUSHED | BST_CHECKED)) return 2;
    if (state & BST_FOCUS) return 1;
    return 0;
}

void PaintButton(HWND hwnd, HDC hdc, Hook& hook) {
    RECT r;
    GetClientRect(hwnd, &r);
    DrawParentUnder(hwnd, hdc);
    const DWORD style = GetWindowLongW(hwnd, GWL_STYLE);
    const UINT type = style & BS_TYPEMASK;
    const bool checkBox = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE;
    const int frame = ButtonFrame(hwnd);
    char16_t text[256];
    const int length = GetWindowTextW(hwnd, text, 256);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
    HGDIOBJ oldFont = SelectObject(hdc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
    // Text colour: what the parent asks for a button, else the skin's.
    SetTextColor(hdc, RGB(255, 255, 255));
    if (HWND parent = GetParent(hwnd)) SendMessageW(parent, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd));
    SetBkMode(hdc, TRANSPARENT);
    if (checkBox && (style & BS_LEFTTEXT) && !(style & BS_PUSHLIKE)) {
        // A title: the text on the left, the piece (collapsed or expanded) on the right.
        const PieceBitmap* b = BitmapOf(*hook.skin, hook.piece);
        const int frames = std::max(1, Number(*hook.skin, "Frames", hook.piece, 1));
        const int fw = b ? b->width / frames : 0, fh = b ? b->height : 0;
        const bool checked = (SendMessageW(hwnd, BM_GETCHECK, 0, 0) & BST_CHECKED) != 0;
        RECT mark{r.right - fw, r.top + (r.bottom - r.top - fh) / 2, r.right, 0};
        mark.bottom = mark.top + fh;
        if (b) DrawPiece(hdc, *hook.skin, hook.piece, mark, checked ? 1 : 0);
        RECT t{r.left, r.top, r.right - fw - 4, r.bottom};
        DrawTextW(hdc, text, length, &t, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_END_ELLIPSIS);
    } else {
        DrawPiece(hdc, *hook.skin, hook.piece, r, frame);
        if (length) {
            RECT t = r;
            if (frame == 2) OffsetRect(&t, 1, 1);
            DrawTextW(hdc, text, length, &t, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
        }
    }
    SelectObject(hdc, oldFont);
}

LRESULT CALLBACK HookProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    static const UINT buttonFunction = RegisterWindowMessageA(kButtonFunction);
    static const UINT staticFunction = RegisterWindowMessageA(kStaticFunction);
    std::unique_lock guard(g_lock);
    auto it = g_hooks.find(hwnd);
    if (it == g_hooks.end()) return DefWindowProcW(hwnd, message, wParam, lParam);
    Hook& hook = it->second;
    const WNDPROC previous = hook.previous;
    if (message == WM_NCDESTROY) {
        Unhook(hwnd);
        guard.unlock();
        return CallWindowProcW(previous, hwnd, message, wParam, lParam);
    }
    switch (hook.role) {
        case Role::Window:
            if (message == WM_ERASEBKGND) {
                RECT r;
                GetClientRect(hwnd, &r);
                if (!DrawBackdrop(reinterpret_cast<HDC>(wParam), *hook.skin, hwnd, hook.piece, r, POINT{0, 0})) {
                    DrawPiece(reinterpret_cast<HDC>(wParam), *hook.skin, hook.piece, r, 0);
                }
                return 1;
            }
            if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN || message == WM_CTLCOLORDLG) {
                // Controls show the skin through them.
                HDC hdc = reinterpret_cast<HDC>(wParam);
                HWND child = reinterpret_cast<HWND>(lParam);
                // Group boxes are frames around other controls: they take
                // no background, or they would cover what they frame.
                char16_t cls[16] = {};
                GetClassNameW(child, cls, 16);
                const bool groupBox = message == WM_CTLCOLORSTATIC && std::u16string(cls) == u"Button" &&
                                      (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
                if (message != WM_CTLCOLORDLG && child != hwnd && !groupBox) {
                    guard.unlock();
                    const LRESULT own = CallWindowProcW(previous, hwnd, message, wParam, lParam);
                    guard.lock();
                    if (own && message == WM_CTLCOLORBTN) return own;
                    DrawParentUnder(child, hdc);
                }
                SetBkMode(hdc, TRANSPARENT);
                return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
            }
            break;
        case Role::Button:
            if (message == WM_PAINT) {
                PAINTSTRUCT ps;
                HDC hdc = BeginPaint(hwnd, &ps);
                PaintButton(hwnd, hdc, hook);
                EndPaint(hwnd, &ps);
                return 0;
            }
            if (message == WM_ERASEBKGND) return 1;
            if (message == buttonFunction && wParam == 6 && lParam) {
                if (BoundedString(reinterpret_cast<const char*>(lParam))) hook.piece = reinterpret_cast<const char*>(lParam);
                InvalidateRect(hwnd, nullptr, TRUE);
                return 1;
            }
            break;
        case Role::Static:
            if (message == WM_PAINT) {
                PAINTSTRUCT ps;
                HDC hdc = BeginPaint(hwnd, &ps);
                RECT r;
                GetClientRect(hwnd, &r);
                DrawParentUnder(hwnd, hdc);
                DrawPiece(hdc, *hook.skin, hook.piece, r, IsWindowEnabled(hwnd) ? 0 : 3);
                EndPaint(hwnd, &ps);
                return 0;
            }
            if (message == WM_ERASEBKGND) return 1;
            if (message == staticFunction && wParam == 2 && lParam) {
                if (BoundedString(reinterpret_cast<const char*>(lParam))) hook.piece = reinterpret_cast<const char*>(lParam);
                InvalidateRect(hwnd, nullptr, TRUE);
                return 1;
            }
            break;
    }
    guard.unlock();
    return CallWindowProcW(previous, hwnd, message, wParam, lParam);
}

std::unique_ptr<Bundle> OpenBundle(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ_W, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    std::string error;
    return Bundle::FromBytes(std::move(bytes), &error);
}

// Checks every size and pointer of a descriptor from the caller before use.
const SkinDescriptor* Validate(const void* data) {
    if (!data) return nullptr;
    uint32_t size;
    std::memcpy(&size, data, sizeof size);
    const SkinDescriptor* d = nullptr;
    if (size == sizeof(SkinDescriptor)) {
        d = static_cast<const SkinDescriptor*>(data);
    } else if (size == sizeof(WrappedDescriptor)) {
        d = &static_cast<const WrappedDescriptor*>(data)->descriptor;
        if (d->size != sizeof(SkinDescriptor)) return nullptr;
    } else {
        return nullptr;
    }
    if (!BoundedString(d->bundlePath)) return nullptr;
    if (d->kind != kNamedPiece && d->kind != kDefaultPiece) return nullptr;
    if (d->kind == kNamedPiece && !BoundedString(d->piece)) return nullptr;
    if (d->childCount > kMaxChildren || (d->childCount && !d->children)) return nullptr;
    for (uint32_t i = 0; i < d->childCount; ++i) {
        const ChildDescriptor& c = d->children[i];
        if (c.size != sizeof(ChildDescriptor) || !c.style || c.style->size != sizeof(ControlStyle) ||
            !BoundedString(c.style->piece)) {
            return nullptr;
        }
    }
    return d;
}

DWORD_PTR Attach(Skin& skin, HWND hwnd, const void* data) {
    const SkinDescriptor* d = Validate(data);
    if (!d || !IsWindow(hwnd)) return 0;
    skin.bundle = OpenBundle(d->bundlePath);
    if (!skin.bundle) return 0;
    skin.window = hwnd;
    std::string piece = d->kind == kNamedPiece ? d->piece : skin.bundle->Value("Defaults", "Window").value_or("BG.png");
    HookWindow(hwnd, &skin, Role::Window, piece);
    for (uint32_t i = 0; i < d->childCount; ++i) {
        HWND child = GetDlgItem(hwnd, static_cast<int>(d->children[i].controlId));
        if (!child) continue;
        char16_t cls[32];
        GetClassNameW(child, cls, 32);
        const std::u16string name(cls);
        const Role role = (name == u"Static" || name == u"STATIC") ? Role::Static : Role::Button;
        HookWindow(child, &skin, role, d->children[i].style->piece);
    }
    return 1;
}

void Detach(Skin& skin) {
    std::vector<HWND> hooked;
    for (auto& [hwnd, hook] : g_hooks) {
        if (hook.skin == &skin) hooked.push_back(hwnd);
    }
    for (HWND h : hooked) {
        Unhook(h);
        InvalidateRect(h, nullptr, TRUE);
    }
    skin.window = nullptr;
}

COLORREF Colour(const std::string& text, COLORREF fallback) {
    int r, g, b;
    if (text.size() == 7 && text[0] == '#' && std::sscanf(text.c_str() + 1, "%2x%2x%2x", &r, &g, &b) == 3) return RGB(r, g, b);
    if (std::sscanf(text.c_str(), "%d,%d,%d", &r, &g, &b) == 3 && r >= 0 && r < 256 && g >= 0 && g < 256 && b >= 0 && b < 256) {
        return RGB(r, g, b);
    }
    return fallback;
}

// Region data: "corner=N" rounds the window's corners with radius N.
DWORD_PTR ApplyRegion(HWND hwnd, const char* data) {
    if (!IsWindow(hwnd) || !data) return 0;
    char text[101];
    std::memcpy(text, data, 100);
    text[100] = 0;
    int corner = 0;
    if (std::sscanf(text, "corner=%d", &corner) != 1 || corner <= 0) return 0;
    RECT wr;
    GetWindowRect(hwnd, &wr);
    const int w = wr.right - wr.left, h = wr.bottom - wr.top;
    corner = std::min({corner, w / 2, h / 2});
    HRGN region = CreateRectRgn(0, corner, w, h - corner);
    for (int y = 0; y < corner; ++y) {
        const double dy = corner - y - 0.5;
        const int inset = static_cast<int>(std::lround(corner - std::sqrt(std::max(0.0, corner * corner - dy * dy))));
        HRGN top = CreateRectRgn(inset, y, w - inset, y + 1);
        HRGN bottom = CreateRectRgn(inset, h - 1 - y, w - inset, h - y);
        CombineRgn(region, region, top, RGN_OR);
        CombineRgn(region, region, bottom, RGN_OR);
        DeleteObject(top);
        DeleteObject(bottom);
    }
    SetWindowRgn(hwnd, region, TRUE);
    return 1;
}

}  // namespace

DWORD_PTR CallSkinHook(UINT operation, DWORD_PTR skinHandle, DWORD_PTR a, DWORD_PTR b, DWORD_PTR data) {
    std::lock_guard guard(g_lock);
    if (operation == kCreate) {
        const DWORD_PTR handle = g_nextSkin++;
        g_skins[handle] = std::make_unique<Skin>();
        return handle;
    }
    Skin* skin = Find(skinHandle);
    if (!skin) return 0;
    switch (operation) {
        case kDestroy:
            Detach(*skin);
            g_skins.erase(skinHandle);
            return 1;
        case kAttach: return Attach(*skin, reinterpret_cast<HWND>(b), reinterpret_cast<const void*>(data));
        case kDetach: Detach(*skin); return 1;
        case kReadInteger:
        case kReadColour: {
            const auto* request = reinterpret_cast<const ValueRequest*>(data);
            if (!request || !BoundedString(request->section) || !BoundedString(request->key)) return 0;
            const uint32_t fallback = request->defaultValue;
            if (!skin->bundle) return fallback;
            auto v = skin->bundle->Value(request->section, request->key);
            if (!v) return fallback;
            if (operation == kReadColour) return Colour(*v, fallback);
            return static_cast<uint32_t>(Number(*skin, request->section, request->key, static_cast<int>(fallback)));
        }
        case kReadString: {
            const auto* request = reinterpret_cast<const StringRequest*>(data);
            if (!request || !BoundedString(request->section) || !BoundedString(request->key) || !request->buffer ||
                request->bufferSize == 0) {
                return 0;
            }
            request->buffer[0] = 0;
            if (!skin->bundle) return 0;
            auto v = skin->bundle->Value(request->section, request->key);
            if (!v) return 0;
            const size_t n = std::min<size_t>(v->size(), request->bufferSize - 1);
            std::memcpy(request->buffer, v->data(), n);
            request->buffer[n] = 0;
            return n;
        }
        case kApplyRegion: return ApplyRegion(reinterpret_cast<HWND>(a), reinterpret_cast<const char*>(data));
        default: return 0;
    }
}

FARPROC LookupExport(const char* name) {
    // Through void*, as GetProcAddress hands out every export.
    if (name && std::strcmp(name, "CallSkinHook") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CallSkinHook));
    return nullptr;
}

}  // namespace skinhook

// The module's one export, under its own name.
extern "C" __attribute__((visibility("default"))) DWORD_PTR CallSkinHook(UINT operation, DWORD_PTR skin, DWORD_PTR a,
                                                                         DWORD_PTR b, DWORD_PTR data) {
    return skinhook::CallSkinHook(operation, skin, a, b, data);
}
