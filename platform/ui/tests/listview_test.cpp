// Image lists and the list view's pictures: what ImageList_Add keeps of a
// bitmap strip (sizes, order, orientation), what it refuses, and the
// pixels the list view draws from its lists in icon and report modes.
#include <cstdint>
#include <vector>

#include "commctrl.h"
#include "platform/ui/tests/ui_test.h"
#include "wingdi.h"

namespace qk::ui::testing {
namespace {

constexpr uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kGreen = 0x00FF00, kYellow = 0xFFFF00;

// A 32-bit DIB section, bottom-up (as bitmaps from files are), whose pixels
// the caller sets top row first through Set().
class Strip {
public:
    Strip(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    }
    ~Strip() { DeleteObject(bitmap_); }
    void Fill(int left, int width, uint32_t colour) {
        for (int y = 0; y < height_; ++y) {
            for (int x = left; x < left + width; ++x) Set(x, y, colour);
        }
    }
    void Set(int x, int y, uint32_t colour) { bits_[(height_ - 1 - y) * width_ + x] = colour; }
    HBITMAP Handle() const { return bitmap_; }

private:
    int width_, height_;
    HBITMAP bitmap_ = nullptr;
    uint32_t* bits_ = nullptr;
};

// Two 48 x 48 pictures side by side: red with a green top-left corner, blue
// with a yellow bottom-right one.
HIMAGELIST TwoPictures() {
    HIMAGELIST list = ImageList_Create(48, 48, ILC_COLOR32, 2, 2);
    Strip strip(96, 48);
    strip.Fill(0, 48, kRed);
    strip.Fill(48, 48, kBlue);
    strip.Set(0, 0, kGreen);
    strip.Set(95, 47, kYellow);
    EXPECT_EQ(ImageList_Add(list, strip.Handle(), nullptr), 0);
    return list;  // the strip goes; the list keeps its own copies
}

TEST_F(UiTest, ImageListKeepsEachPictureOfAStripInOrderAndTheRightWayUp) {
    HIMAGELIST list = TwoPictures();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(list), 2);
    int cx = 0, cy = 0;
    ASSERT_TRUE(ImageList_GetIconSize(list, &cx, &cy));
    EXPECT_EQ(cx, 48);
    EXPECT_EQ(cy, 48);

    // Drawn into a grey 120 x 60 DIB at (10, 5) and (60, 5).
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 120;
    info.bmiHeader.biHeight = -60;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    uint32_t* bits = nullptr;
    HBITMAP target = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    for (int i = 0; i < 120 * 60; ++i) bits[i] = 0x808080;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, target);
    EXPECT_TRUE(ImageList_Draw(list, 0, dc, 10, 5, ILD_NORMAL));
    EXPECT_TRUE(ImageList_Draw(list, 1, dc, 60, 5, ILD_NORMAL));
    EXPECT_FALSE(ImageList_Draw(list, 2, dc, 0, 0, ILD_NORMAL)) << "no third picture";
    EXPECT_FALSE(ImageList_Draw(list, -1, dc, 0, 0, ILD_NORMAL));
    GdiFlush();
    auto at = [&](int x, int y) { return bits[y * 120 + x] & 0xFFFFFF; };
    EXPECT_EQ(at(10, 5), kGreen) << "the top row of the picture is drawn on top";
    EXPECT_EQ(at(11, 5), kRed);
    EXPECT_EQ(at(57, 52), kRed);
    EXPECT_EQ(at(107, 52), kYellow);
    EXPECT_EQ(at(60, 5), kBlue);
    EXPECT_EQ(at(9, 5), 0x808080u) << "nothing outside the picture";
    EXPECT_EQ(at(58, 30), 0x808080u);
    EXPECT_EQ(at(30, 53), 0x808080u);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(target);

    // What is refused leaves the list as it was.
    Strip narrow(40, 48);
    EXPECT_EQ(ImageList_Add(list, narrow.Handle(), nullptr), -1) << "narrower than a picture";
    Strip one(48, 48);
    EXPECT_EQ(ImageList_Add(list, one.Handle(), one.Handle()), -1) << "masks are not kept";
    EXPECT_EQ(ImageList_Add(list, nullptr, nullptr), -1);
    EXPECT_EQ(ImageList_GetImageCount(list), 2);
    EXPECT_EQ(ImageList_Add(list, one.Handle(), nullptr), 2) << "a third picture follows the strip";

    EXPECT_TRUE(ImageList_Destroy(list));
    EXPECT_FALSE(ImageList_Destroy(list)) << "a destroyed list is no list";
    EXPECT_EQ(ImageList_GetImageCount(list), 0);
    EXPECT_EQ(ImageList_Add(list, one.Handle(), nullptr), -1);
    EXPECT_EQ(ImageList_Create(0, 48, ILC_COLOR32, 1, 1), nullptr);
}

class ListViewTest : public UiTest {
protected:
    HWND MakeView(DWORD mode, const std::vector<int>& images) {
        top_ = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr,
                               nullptr);
        HWND view = CreateWindowExW(0, WC_LISTVIEWW, u"", WS_CHILD | WS_VISIBLE | mode | LVS_SINGLESEL, 0, 0, 300, 200,
                                    top_, reinterpret_cast<HMENU>(7), nullptr, nullptr);
        const char16_t* names[] = {u"Oval", u"Film", u"Mosaic"};
        for (size_t i = 0; i < images.size(); ++i) {
            LVITEMW item{};
            item.mask = LVIF_TEXT | LVIF_IMAGE;
            item.iItem = static_cast<int>(i);
            item.iImage = images[i];
            item.pszText = const_cast<LPWSTR>(names[i % 3]);
            SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        }
        return view;
    }
    void TearDown() override {
        if (top_) DestroyWindow(top_);
        UiTest::TearDown();
    }
    // Dark pixels (text) in the rectangle.
    static int Ink(const Picture& p, int left, int top, int right, int bottom) {
        int n = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) n += (p.At(x, y) & 0xFF) < 0x80 && ((p.At(x, y) >> 16) & 0xFF) < 0x80;
        }
        return n;
    }
    HWND top_ = nullptr;
};

TEST_F(ListViewTest, IconModeDrawsEachItemsPictureAboveItsName) {
    HWND view = MakeView(LVS_ICON, {1, 0, I_IMAGENONE});
    HIMAGELIST list = TwoPictures();
    EXPECT_EQ(SendMessageW(view, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(list)), 0);
    EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageW(view, LVM_GETIMAGELIST, LVSIL_NORMAL, 0)), list);
    Picture p = CaptureWindow(top_);
    ASSERT_EQ(p.width, 300);
    // 64-pixel cells (48 + 16), the picture centred 4 pixels from the top.
    EXPECT_EQ(p.At(8, 4), kBlue) << "item 0 shows picture 1";
    EXPECT_EQ(p.At(55, 51), kYellow);
    EXPECT_EQ(p.At(7, 20), 0xFFFFFFu) << "window colour beside the picture";
    EXPECT_EQ(p.At(64 + 8, 4), kGreen) << "item 1 shows picture 0";
    EXPECT_EQ(p.At(64 + 30, 30), kRed);
    EXPECT_NE(p.At(128 + 30, 30), kRed) << "item 2 has none";
    EXPECT_NE(p.At(128 + 30, 30), kBlue);
    EXPECT_GT(Ink(p, 0, 54, 64, 75), 0) << "the name below the picture";
    EXPECT_EQ(Ink(p, 0, 0, 64, 52), 0) << "and no text over it";

    // A click on item 1's picture selects it.
    SendMessageW(view, WM_LBUTTONDOWN, 0, MAKELPARAM(64 + 30, 30));
    EXPECT_EQ(SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);

    // Taken away, the pictures go from the view; the owner destroys the list.
    EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageW(view, LVM_SETIMAGELIST, LVSIL_NORMAL, 0)), list);
    p = CaptureWindow(top_);
    EXPECT_NE(p.At(64 + 30, 30), kRed);
    EXPECT_TRUE(ImageList_Destroy(list));
    EXPECT_EQ(SendMessageW(view, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(list)), 0)
        << "a destroyed list is refused";
}

TEST_F(ListViewTest, ReportModeDrawsTheSmallPictureBesideTheName) {
    HWND view = MakeView(LVS_REPORT, {0, 1});
    HIMAGELIST list = TwoPictures();
    HIMAGELIST normal = ImageList_Create(32, 32, ILC_COLOR32, 1, 1);
    SendMessageW(view, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(list));
    SendMessageW(view, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(normal));
    Picture p = CaptureWindow(top_);
    // Rows of 50 pixels (the 48-pixel picture and a pixel each side).
    EXPECT_EQ(p.At(2, 1), kGreen);
    EXPECT_EQ(p.At(40, 40), kRed);
    EXPECT_EQ(p.At(40, 50 + 40), kBlue) << "row 1 shows picture 1";
    EXPECT_EQ(p.At(49, 50 + 48), kYellow);
    EXPECT_EQ(p.At(1, 20), 0xFFFFFFu);
    EXPECT_GT(Ink(p, 54, 0, 150, 50), 0) << "the name right of the picture";
    EXPECT_GT(Ink(p, 54, 50, 150, 100), 0);
    EXPECT_EQ(Ink(p, 0, 100, 300, 200), 0) << "two rows only";

    // A click in the second row, right of its picture, selects it.
    SendMessageW(view, WM_LBUTTONDOWN, 0, MAKELPARAM(200, 75));
    EXPECT_EQ(SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);
    SendMessageW(view, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
    EXPECT_TRUE(ImageList_Destroy(list));
    EXPECT_TRUE(ImageList_Destroy(normal));
}


// Report mode, 50-pixel rows in a 200-pixel view: twelve rows overflow, the
// view gets its scroll bar, shows a chosen item and scrolls by rows.
TEST_F(ListViewTest, AnOverflowingViewScrollsByRowsAndKeepsTheChosenItemInSight) {
    HWND view = MakeView(LVS_REPORT, std::vector<int>(12, 0));
    HIMAGELIST list = TwoPictures();
    SendMessageW(view, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(list));
    EXPECT_TRUE(GetWindowLongW(view, GWL_STYLE) & WS_VSCROLL) << "the rows overflow";
    SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
    ASSERT_TRUE(GetScrollInfo(view, SB_VERT, &si));
    EXPECT_EQ(si.nMax, 11);
    EXPECT_EQ(si.nPage, 4u) << "four 50-pixel rows in 200 pixels";
    EXPECT_EQ(si.nPos, 0);

    // Choosing the last item brings it into sight; the scroll bar follows.
    LVITEMW state{};
    state.stateMask = state.state = LVIS_SELECTED;
    SendMessageW(view, LVM_SETITEMSTATE, 11, reinterpret_cast<LPARAM>(&state));
    EXPECT_EQ(SendMessageW(view, LVM_GETTOPINDEX, 0, 0), 8);
    ASSERT_TRUE(GetScrollInfo(view, SB_VERT, &si));
    EXPECT_EQ(si.nPos, 8);

    const struct {
        WPARAM request;
        int top;
    } steps[] = {{SB_TOP, 0}, {SB_LINEDOWN, 1}, {SB_PAGEDOWN, 5}, {SB_PAGEDOWN, 8}, {SB_LINEUP, 7},
                 {MAKEWPARAM(SB_THUMBPOSITION, 3), 3}, {MAKEWPARAM(SB_THUMBTRACK, 99), 8}, {SB_PAGEUP, 4}};
    for (const auto& step : steps) {
        SendMessageW(view, WM_VSCROLL, step.request, 0);
        EXPECT_EQ(SendMessageW(view, LVM_GETTOPINDEX, 0, 0), step.top) << LOWORD(step.request);
    }
    // Scrolled to row 4: the first row shown is item 4, and a click there selects it.
    Picture p = CaptureWindow(top_);
    EXPECT_EQ(p.At(40, 40), kRed) << "item 4 shows picture 0 in the first row";
    SendMessageW(view, WM_LBUTTONDOWN, 0, MAKELPARAM(150, 25));
    EXPECT_EQ(SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 4);

    // Emptied, the view drops its scroll bar.
    SendMessageW(view, LVM_DELETEALLITEMS, 0, 0);
    EXPECT_FALSE(GetWindowLongW(view, GWL_STYLE) & WS_VSCROLL);
    SendMessageW(view, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
    EXPECT_TRUE(ImageList_Destroy(list));
}

TEST_F(ListViewTest, AListBoxShowsItsSelectionAndFollowsItsScrollBarKeysAndWheel) {
    top_ = CreateWindowExW(0, u"Recorder", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    HWND box = CreateWindowExW(0, u"ListBox", u"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY, 0, 0, 200, 120, top_,
                               reinterpret_cast<HMENU>(9), nullptr, nullptr);
    for (int i = 0; i < 30; ++i) {
        const std::u16string text = u"item " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
        SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
    ASSERT_TRUE(GetScrollInfo(box, SB_VERT, &si));
    EXPECT_EQ(si.nMax, 29);
    const int lines = static_cast<int>(si.nPage);
    ASSERT_GT(lines, 1);
    ASSERT_LT(lines, 30);

    SendMessageW(box, LB_SETCURSEL, 29, 0);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), 30 - lines) << "the last item in sight";
    SendMessageW(box, WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), 0);
    SendMessageW(box, WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), lines);
    ASSERT_TRUE(GetScrollInfo(box, SB_VERT, &si));
    EXPECT_EQ(si.nPos, lines) << "the bar follows";
    SendMessageW(box, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), std::max(0, lines - 3)) << "a notch up is three lines";
    EXPECT_EQ(SendMessageW(box, LB_SETTOPINDEX, 30, 0), LB_ERR);

    // Clicks on the first and second rows shown select the items there, and the owner hears of each.
    SendMessageW(box, LB_SETTOPINDEX, 5, 0);
    Log().Clear();
    SendMessageW(box, WM_LBUTTONDOWN, 0, MAKELPARAM(20, 1));
    EXPECT_EQ(SendMessageW(box, LB_GETCURSEL, 0, 0), 5);
    RECT client;
    GetClientRect(box, &client);
    const int row = static_cast<int>(client.bottom) / lines;  // at least the item height
    SendMessageW(box, WM_LBUTTONDOWN, 0, MAKELPARAM(20, row + row / 3));
    EXPECT_EQ(SendMessageW(box, LB_GETCURSEL, 0, 0), 6);
    int changes = 0;
    for (const Recorded& r : Log().Entries()) changes += r.message == WM_COMMAND && HIWORD(r.wParam) == LBN_SELCHANGE;
    EXPECT_EQ(changes, 2);
    // End and Home move the selection and keep it in sight.
    SendMessageW(box, WM_KEYDOWN, VK_END, 0);
    EXPECT_EQ(SendMessageW(box, LB_GETCURSEL, 0, 0), 29);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), 30 - lines);
    SendMessageW(box, WM_KEYDOWN, VK_HOME, 0);
    EXPECT_EQ(SendMessageW(box, LB_GETTOPINDEX, 0, 0), 0);
}

}  // namespace
}  // namespace qk::ui::testing
