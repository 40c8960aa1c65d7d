// Drawing: pixels of shapes, blits and DIB sections against the colours
// they must have; text extents and metrics; regions; the standard controls
// drawn in a window and saved as a picture.
#include <cairo.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/ui/region.h"
#include "platform/ui/tests/ui_test.h"
#include "wingdi.h"

namespace qk::ui::testing {
namespace {

class GdiTest : public UiTest {
protected:
    // A memory DC with a 64 x 48 top-down 32-bit DIB section, filled with a sentinel.
    void SetUp() override {
        UiTest::SetUp();
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = 64;
        info.bmiHeader.biHeight = -48;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dib_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        ASSERT_NE(dib_, nullptr);
        for (int i = 0; i < 64 * 48; ++i) bits_[i] = 0x00ABCDEF;
        dc_ = CreateCompatibleDC(nullptr);
        SelectObject(dc_, dib_);
    }
    void TearDown() override {
        DeleteDC(dc_);
        DeleteObject(dib_);
        UiTest::TearDown();
    }
    uint32_t Pixel(int x, int y) const { return bits_[y * 64 + x] & 0xFFFFFF; }

    HBITMAP dib_ = nullptr;
    uint32_t* bits_ = nullptr;
    HDC dc_ = nullptr;
};

TEST_F(GdiTest, ShapesCoverExactlyTheirPixels) {
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT r{10, 5, 20, 15};
    FillRect(dc_, &r, red);
    EXPECT_EQ(Pixel(10, 5), 0xFF0000u);
    EXPECT_EQ(Pixel(19, 14), 0xFF0000u);
    EXPECT_EQ(Pixel(20, 14), 0xABCDEFu) << "the right edge is outside";
    EXPECT_EQ(Pixel(19, 15), 0xABCDEFu) << "the bottom edge is outside";
    EXPECT_EQ(Pixel(9, 5), 0xABCDEFu);

    // Rectangle: a one-pixel outline of the pen inside the box, the brush within.
    HPEN blue = CreatePen(PS_SOLID, 1, RGB(0, 0, 255));
    SelectObject(dc_, blue);
    SelectObject(dc_, red);
    Rectangle(dc_, 30, 10, 40, 20);
    EXPECT_EQ(Pixel(30, 10), 0x0000FFu);
    EXPECT_EQ(Pixel(39, 19), 0x0000FFu);
    EXPECT_EQ(Pixel(35, 15), 0xFF0000u);
    EXPECT_EQ(Pixel(40, 15), 0xABCDEFu);
    EXPECT_EQ(GetPixel(dc_, 35, 15), RGB(255, 0, 0));

    // Lines leave out their end point.
    MoveToEx(dc_, 0, 30, nullptr);
    LineTo(dc_, 10, 30);
    EXPECT_EQ(Pixel(0, 30), 0x0000FFu);
    EXPECT_EQ(Pixel(9, 30), 0x0000FFu);
    EXPECT_EQ(Pixel(10, 30), 0xABCDEFu);

    // Clipping and the viewport origin.
    // The clip is given in logical units and kept in device units.
    SetViewportOrgEx(dc_, 2, 0, nullptr);
    IntersectClipRect(dc_, 0, 40, 5, 48);
    RECT all{-10, 0, 64, 48};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(Pixel(2, 40), 0u);
    EXPECT_EQ(Pixel(6, 40), 0u);
    EXPECT_EQ(Pixel(7, 40), 0xABCDEFu);
    EXPECT_EQ(Pixel(1, 40), 0xABCDEFu);
    EXPECT_EQ(Pixel(2, 39), 0xABCDEFu);
    RECT box;
    EXPECT_EQ(GetClipBox(dc_, &box), SIMPLEREGION);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.right, 5);
    SelectObject(dc_, GetStockObject(BLACK_PEN));
    SelectObject(dc_, GetStockObject(WHITE_BRUSH));
    DeleteObject(blue);
    DeleteObject(red);
}

TEST_F(GdiTest, BlitsCopyStretchAndKeyOutAColour) {
    // A bottom-up 24-bit source: row 0 of its bits is the bottom of the picture.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 2;
    info.bmiHeader.biHeight = 2;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    uint8_t* src = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&src), nullptr, 0);
    ASSERT_NE(bmp, nullptr);
    const uint8_t rows[2][8] = {{0, 0, 255, 0, 255, 0, 0, 0},     // bottom: red, green (B, G, R order), padding
                                {255, 0, 0, 255, 0, 255, 0, 0}};  // top: blue, magenta
    std::memcpy(src, rows, sizeof rows);
    HDC mem = CreateCompatibleDC(nullptr);
    SelectObject(mem, bmp);
    BitBlt(dc_, 0, 0, 2, 2, mem, 0, 0, SRCCOPY);
    EXPECT_EQ(Pixel(0, 0), 0x0000FFu);
    EXPECT_EQ(Pixel(1, 0), 0xFF00FFu);
    EXPECT_EQ(Pixel(0, 1), 0xFF0000u);
    EXPECT_EQ(Pixel(1, 1), 0x00FF00u);

    StretchBlt(dc_, 10, 10, 8, 8, mem, 0, 0, 2, 2, SRCCOPY);
    EXPECT_EQ(Pixel(10, 10), 0x0000FFu);
    EXPECT_EQ(Pixel(13, 13), 0x0000FFu);
    EXPECT_EQ(Pixel(14, 10), 0xFF00FFu);
    EXPECT_EQ(Pixel(17, 17), 0x00FF00u);
    EXPECT_EQ(Pixel(18, 17), 0xABCDEFu);

    // Magenta is the key: where it was, the destination shows through.
    TransparentBlt(dc_, 30, 30, 2, 2, mem, 0, 0, 2, 2, RGB(255, 0, 255));
    EXPECT_EQ(Pixel(30, 30), 0x0000FFu);
    EXPECT_EQ(Pixel(31, 30), 0xABCDEFu);
    EXPECT_EQ(Pixel(31, 31), 0x00FF00u);

    // Drawing on the section updates its bits (bottom-up, 24-bit).
    SetPixel(mem, 1, 0, RGB(1, 2, 3));
    EXPECT_EQ(src[8 + 3], 3);
    EXPECT_EQ(src[8 + 4], 2);
    EXPECT_EQ(src[8 + 5], 1);
    EXPECT_FALSE(DeleteObject(bmp)) << "still selected";
    DeleteDC(mem);
    EXPECT_TRUE(DeleteObject(bmp));
}

TEST_F(GdiTest, TextExtentsAndMetricsAreConsistent) {
    SIZE one, two, empty;
    ASSERT_TRUE(GetTextExtentPoint32W(dc_, u"W", 1, &one));
    GetTextExtentPoint32W(dc_, u"WW", 2, &two);
    GetTextExtentPoint32W(dc_, u"", 0, &empty);
    EXPECT_GT(one.cx, 5);
    EXPECT_NEAR(two.cx, 2 * one.cx, 1);
    EXPECT_EQ(empty.cx, 0);
    TEXTMETRICW tm;
    ASSERT_TRUE(GetTextMetricsW(dc_, &tm));
    EXPECT_EQ(one.cy, tm.tmHeight);
    EXPECT_EQ(tm.tmHeight, tm.tmAscent + tm.tmDescent);
    // The dialog font is 11 pixels to the em: a cell of 12 to 14 pixels.
    EXPECT_GE(tm.tmHeight, 12);
    EXPECT_LE(tm.tmHeight, 14);
    EXPECT_GE(tm.tmAveCharWidth, 5);
    EXPECT_LE(tm.tmAveCharWidth, 8);

    LOGFONTW lf{};
    lf.lfHeight = -24;
    lf.lfWeight = FW_BOLD;
    HFONT big = CreateFontIndirectW(&lf);
    SelectObject(dc_, big);
    SIZE bigW;
    GetTextExtentPoint32W(dc_, u"W", 1, &bigW);
    EXPECT_GT(bigW.cx, 2 * one.cx - 2);
    LOGFONTW back{};
    EXPECT_EQ(GetObjectW(big, sizeof back, &back), static_cast<int>(sizeof back));
    EXPECT_EQ(back.lfWeight, FW_BOLD);

    // Text draws in the text colour inside its extent only.
    RECT white{0, 0, 64, 48};
    FillRect(dc_, &white, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetTextColor(dc_, RGB(0, 0, 0));
    SetBkMode(dc_, TRANSPARENT);
    TextOutW(dc_, 2, 2, u"W", 1);
    int dark = 0, outside = 0;
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            if ((Pixel(x, y) & 0xFF) < 128) {
                ++dark;
                if (x < 2 || y < 2 || x >= 2 + bigW.cx || y >= 2 + bigW.cy) ++outside;
            }
        }
    }
    EXPECT_GT(dark, 20);
    EXPECT_EQ(outside, 0);
    SelectObject(dc_, GetStockObject(DEFAULT_GUI_FONT));
    DeleteObject(big);
}

TEST(Region, CombinationsAreExact) {
    const Region a(RECT{0, 0, 10, 10});
    const Region b(RECT{5, 5, 15, 15});
    struct Case {
        const char* name;
        Region::Op op;
        int area;
        POINT in, out;
    } cases[] = {
        {"and", Region::Op::And, 25, {7, 7}, {2, 2}},
        {"or", Region::Op::Or, 175, {12, 12}, {12, 2}},
        {"xor", Region::Op::Xor, 150, {2, 2}, {7, 7}},
        {"diff", Region::Op::Diff, 75, {2, 7}, {7, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Region r = Region::Combine(a, b, c.op);
        int area = 0;
        for (const RECT& x : r.Rects()) area += (x.right - x.left) * (x.bottom - x.top);
        EXPECT_EQ(area, c.area);
        EXPECT_TRUE(r.Contains(c.in.x, c.in.y));
        EXPECT_FALSE(r.Contains(c.out.x, c.out.y));
        // Disjoint pieces: every pixel counted once.
        for (size_t i = 0; i < r.Rects().size(); ++i) {
            for (size_t j = i + 1; j < r.Rects().size(); ++j) {
                EXPECT_TRUE(RectEmpty(RectIntersect(r.Rects()[i], r.Rects()[j])));
            }
        }
    }
    EXPECT_EQ(Region::Combine(a, a, Region::Op::Diff).Complexity(), NULLREGION);
    const Region e = Region::Ellipse(RECT{0, 0, 20, 10});
    EXPECT_TRUE(e.Contains(10, 5));
    EXPECT_FALSE(e.Contains(0, 0));
    EXPECT_FALSE(e.Contains(19, 9));
}

// Regions of many pieces (rounded corners, ellipses, windows with holes)
// combined every way, checked pixel by pixel against the operation itself;
// the result is disjoint and has no two rows it could have joined.
TEST(Region, CombinationsOfManyPiecesHoldExactlyTheirPixels) {
    std::mt19937 random(1234);
    auto randomRegion = [&] {
        Region r;
        const int pieces = static_cast<int>(random() % 6);
        for (int i = 0; i < pieces; ++i) {
            const LONG x = static_cast<LONG>(random() % 30), y = static_cast<LONG>(random() % 30);
            const Region piece(RECT{x, y, x + 1 + static_cast<LONG>(random() % 15), y + 1 + static_cast<LONG>(random() % 15)});
            r = Region::Combine(r, piece, random() % 3 ? Region::Op::Or : Region::Op::Diff);
        }
        if (random() % 4 == 0) r = Region::Combine(r, Region::Ellipse(RECT{2, 3, 27, 21}), Region::Op::Xor);
        return r;
    };
    const Region::Op ops[] = {Region::Op::And, Region::Op::Or, Region::Op::Xor, Region::Op::Diff};
    for (int round = 0; round < 300; ++round) {
        const Region a = randomRegion(), b = randomRegion();
        for (Region::Op op : ops) {
            SCOPED_TRACE(::testing::Message() << "round " << round << " op " << static_cast<int>(op));
            const Region r = Region::Combine(a, b, op);
            for (int y = -1; y < 47; ++y) {
                for (int x = -1; x < 47; ++x) {
                    const bool inA = a.Contains(x, y), inB = b.Contains(x, y);
                    const bool wanted = op == Region::Op::And ? inA && inB
                                        : op == Region::Op::Or ? inA || inB
                                        : op == Region::Op::Xor ? inA != inB
                                                                 : inA && !inB;
                    ASSERT_EQ(r.Contains(x, y), wanted) << x << "," << y;
                }
            }
            const auto& rects = r.Rects();
            for (size_t i = 0; i < rects.size(); ++i) {
                for (size_t j = i + 1; j < rects.size(); ++j) {
                    ASSERT_TRUE(RectEmpty(RectIntersect(rects[i], rects[j])));
                    const bool stacked = rects[i].left == rects[j].left && rects[i].right == rects[j].right &&
                                         (rects[i].bottom == rects[j].top || rects[j].bottom == rects[i].top);
                    ASSERT_FALSE(stacked) << "two rows that are one rectangle";
                }
            }
        }
    }
}

TEST_F(UiTest, ControlsDrawTheirStateInTheirColours) {
    HWND top = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 200, 120, nullptr, nullptr, nullptr,
                               nullptr);
    HWND push = CreateWindowExW(0, u"Button", u"OK", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 60, 24, top,
                                reinterpret_cast<HMENU>(1), nullptr, nullptr);
    HWND check = CreateWindowExW(0, u"Button", u"Tracking", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 10, 40, 100, 16,
                                 top, reinterpret_cast<HMENU>(2), nullptr, nullptr);
    HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, u"Edit", u"abc", WS_CHILD | WS_VISIBLE, 10, 70, 100, 22, top,
                                reinterpret_cast<HMENU>(3), nullptr, nullptr);
    Picture p = CaptureWindow(top);
    ASSERT_EQ(p.width, 200);
    // Face of the push button, its light top edge and dark bottom edge.
    EXPECT_EQ(p.At(40, 15), 0xF0F0F0u);
    EXPECT_EQ(p.At(40, 10), 0xE3E3E3u);
    EXPECT_EQ(p.At(40, 33), 0x696969u);
    // The check box: white inside its grey frame, no tick yet.
    const int boxX = 10, boxY = 40 + (16 - 13) / 2;
    EXPECT_EQ(p.At(boxX, boxY + 6), 0xA0A0A0u);
    EXPECT_EQ(p.At(boxX + 6, boxY + 6), 0xFFFFFFu);
    // The edit's sunken edge and white field.
    EXPECT_EQ(p.At(10, 70), 0xA0A0A0u);
    EXPECT_EQ(p.At(100, 80), 0xFFFFFFu);

    // A click checks the box and tells the parent.
    Log().Clear();
    SendMessageW(check, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), BST_CHECKED);
    bool notified = false;
    for (const Recorded& r : Log().Entries()) {
        if (r.message == WM_COMMAND && LOWORD(r.wParam) == 2 && HIWORD(r.wParam) == BN_CLICKED) notified = true;
    }
    EXPECT_TRUE(notified);
    p = CaptureWindow(top);
    EXPECT_EQ(p.At(boxX + 5, boxY + 7), 0x000000u) << "the tick";

    const std::string png = (Root() / "controls.png").string();
    std::string error;
    ASSERT_TRUE(SaveWindowPng(top, png, &error)) << error;
    cairo_surface_t* back = cairo_image_surface_create_from_png(png.c_str());
    EXPECT_EQ(cairo_image_surface_get_width(back), 200);
    EXPECT_EQ(cairo_image_surface_get_height(back), 120);
    cairo_surface_destroy(back);
    // Kept for a person to look at when the run asks for it.
    if (const char* keep = std::getenv("QK_TEST_ARTEFACTS")) SaveWindowPng(top, std::string(keep) + "/controls.png", &error);
    (void)push;
    (void)edit;
    DestroyWindow(top);
}

}  // namespace
}  // namespace qk::ui::testing
