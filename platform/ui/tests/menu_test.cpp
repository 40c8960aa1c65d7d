// Menus: items and their states, the system menu, and popup menus run
// modally with owner-drawn items, chosen with the mouse or the keys.
#include "platform/ui/tests/ui_test.h"

namespace qk::ui::testing {
namespace {

int g_measured = 0, g_drawn = 0;
ULONG_PTR g_measuredData = 0, g_drawnData = 0;  // the item data the owner was last given

LRESULT CALLBACK OwnerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_MEASUREITEM) {
        auto* mi = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        mi->itemWidth = 150;
        mi->itemHeight = 30;
        g_measuredData = mi->itemData;
        ++g_measured;
        return TRUE;
    }
    if (message == WM_DRAWITEM) {
        auto* di = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        // The console's camera menu: a selected item in dark blue, others light.
        HBRUSH b = CreateSolidBrush((di->itemState & ODS_SELECTED) ? RGB(0x0A, 0x24, 0x6A) : RGB(0xF9, 0xF8, 0xF7));
        FillRect(di->hDC, &di->rcItem, b);
        DeleteObject(b);
        ++g_drawn;
        g_drawnData = di->itemData;
        return TRUE;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class MenuTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = OwnerProc;
        wc.lpszClassName = u"MenuOwner";
        RegisterClassExW(&wc);
        owner_ = CreateWindowExW(0, u"MenuOwner", u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 300, nullptr, nullptr, nullptr, nullptr);
        g_measured = g_drawn = 0;
        g_measuredData = g_drawnData = 0;
    }
    void TearDown() override {
        DestroyWindow(owner_);
        UiTest::TearDown();
    }
    HWND owner_ = nullptr;
};

TEST_F(MenuTest, ItemsKeepTheirIdentifiersAndStates) {
    HMENU m = CreatePopupMenu();
    ASSERT_TRUE(AppendMenuW(m, MF_STRING, 50002, u"Camera one"));
    ASSERT_TRUE(AppendMenuW(m, MF_STRING | MF_GRAYED, 50003, u"Camera two"));
    ASSERT_TRUE(InsertMenuW(m, 0, MF_BYPOSITION | MF_STRING, 50001, u"First"));
    EXPECT_EQ(GetMenuItemCount(m), 3);
    EXPECT_EQ(GetMenuItemID(m, 0), 50001u);
    EXPECT_EQ(GetMenuState(m, 50003, MF_BYCOMMAND) & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
    EnableMenuItem(m, 50003, MF_BYCOMMAND | MF_ENABLED);
    EXPECT_EQ(GetMenuState(m, 50003, MF_BYCOMMAND) & MF_GRAYED, 0u);
    CheckMenuItem(m, 1, MF_BYPOSITION | MF_CHECKED);
    EXPECT_EQ(GetMenuState(m, 50002, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    char16_t text[32] = {};
    MENUITEMINFOW info{sizeof info, MIIM_STRING | MIIM_ID, 0, 0, 0, nullptr, nullptr, nullptr, 0, text, 32, nullptr};
    ASSERT_TRUE(GetMenuItemInfoW(m, 2, TRUE, &info));
    EXPECT_EQ(std::u16string(text), u"Camera two");
    EXPECT_TRUE(DeleteMenu(m, 50001, MF_BYCOMMAND));
    EXPECT_EQ(GetMenuItemCount(m), 2);
    EXPECT_FALSE(DeleteMenu(m, 12345, MF_BYCOMMAND));
    EXPECT_TRUE(DestroyMenu(m));
    EXPECT_FALSE(IsMenu(m));
    EXPECT_EQ(GetMenuItemCount(m), -1);

    HMENU system = GetSystemMenu(owner_, FALSE);
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(GetSystemMenu(owner_, FALSE), system);
    EXPECT_NE(GetMenuState(system, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EnableMenuItem(system, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
    EXPECT_EQ(GetMenuState(system, SC_MAXIMIZE, MF_BYCOMMAND) & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
}

TEST_F(MenuTest, APopupReturnsTheItemClickedAndNothingOnEscape) {
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING, 50002, u"First");
    // The owner's data stands where the text would, in either character set,
    // and is never read as text (this one points at nothing).
    AppendMenuA(m, MF_OWNERDRAW, 50003, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(0xDA7A0001)));
    AppendMenuW(m, MF_STRING, 50004, u"Third");
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_DATA;
    ASSERT_TRUE(GetMenuItemInfoW(m, 50003, FALSE, &info));
    EXPECT_EQ(info.dwItemData, 0xDA7A0001u);
    // The menu opens at (100, 100): one pixel of border, two of padding, then
    // 20 pixels for "First", 30 for the owner's item, then "Third".
    SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        InjectMouseMove(POINT{130, 101 + 2 + 20 + 10});
        InjectMouseMove(POINT{130, 101 + 2 + 20 + 30 + 10});
        InjectMouseButton(POINT{130, 101 + 2 + 20 + 30 + 10}, 0, true);
        InjectMouseButton(POINT{130, 101 + 2 + 20 + 30 + 10}, 0, false);
    });
    EXPECT_EQ(TrackPopupMenu(m, TPM_RETURNCMD, 100, 100, 0, owner_, nullptr), 50004);
    EXPECT_EQ(g_measured, 1);
    EXPECT_GT(g_drawn, 0) << "the owner drew its item";
    EXPECT_EQ(g_measuredData, 0xDA7A0001u);
    EXPECT_EQ(g_drawnData, 0xDA7A0001u);

    SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        InjectKey(VK_ESCAPE, true);
        InjectKey(VK_ESCAPE, false);
    });
    EXPECT_EQ(TrackPopupMenu(m, TPM_RETURNCMD, 100, 100, 0, owner_, nullptr), 0);

    // Keys: down twice reaches the owner's item; Enter chooses it, and without
    // TPM_RETURNCMD the owner hears of it.
    SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        for (UINT vk : {VK_DOWN, VK_DOWN, VK_RETURN}) {
            InjectKey(vk, true);
            InjectKey(vk, false);
        }
    });
    EXPECT_TRUE(TrackPopupMenu(m, 0, 100, 100, 0, owner_, nullptr));
    MSG msg;
    bool command = false;
    while (PeekMessageW(&msg, owner_, WM_COMMAND, WM_COMMAND, PM_REMOVE)) command |= msg.wParam == 50003;
    EXPECT_TRUE(command);
    DestroyMenu(m);
}

}  // namespace
}  // namespace qk::ui::testing
