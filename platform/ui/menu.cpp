// Menus: menu objects with their items, the system menu of a window, and
// popup menus run modally by TrackPopupMenu (owner-drawn items measured and
// drawn by the owner, as the console's camera menu is). The popup is a
// top-level window of its own; the mouse chooses or leaves, the keys move
// the highlight, Enter chooses and Escape leaves.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {
namespace {

struct MenuItem {
    UINT type = MFT_STRING;  // MFT_STRING, MFT_SEPARATOR, MFT_OWNERDRAW
    UINT state = 0;          // MF_GRAYED, MF_CHECKED
    UINT id = 0;
    HMENU sub = nullptr;
    ULONG_PTR data = 0;
    std::u16string text;
};

struct Menu {
    std::vector<MenuItem> items;
};

std::mutex g_menusLock;  // guards g_menus, g_systemMenus and every Menu
std::set<Menu*> g_menus;
std::map<HWND, HMENU> g_systemMenus;
std::atomic<bool> g_endMenu{false};

Menu* MenuOf(HMENU h) {
    auto* m = reinterpret_cast<Menu*>(h);
    return g_menus.count(m) ? m : nullptr;
}

// The item `position` names, by command identifier (searching submenus) or by position.
MenuItem* Find(Menu* m, UINT position, UINT flags) {
    if (!m) return nullptr;
    if (flags & MF_BYPOSITION) return position < m->items.size() ? &m->items[position] : nullptr;
    for (MenuItem& item : m->items) {
        if (item.id == position && !item.sub) return &item;
        if (item.sub) {
            if (MenuItem* inner = Find(MenuOf(item.sub), position, flags)) return inner;
        }
    }
    return nullptr;
}

// An owner-drawn item takes `data` (what the caller passed for its text) and no text.
bool Insert(HMENU h, UINT position, UINT flags, UINT_PTR id, const std::u16string& text, ULONG_PTR data) {
    std::lock_guard guard(g_menusLock);
    Menu* m = MenuOf(h);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    MenuItem item;
    item.type = (flags & MF_SEPARATOR) ? MFT_SEPARATOR : (flags & MF_OWNERDRAW) ? MFT_OWNERDRAW : MFT_STRING;
    item.state = flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED);
    if (flags & MF_POPUP) {
        item.sub = reinterpret_cast<HMENU>(id);
    } else {
        item.id = static_cast<UINT>(id);
    }
    if (item.type == MFT_OWNERDRAW) {
        item.data = data;
    } else {
        item.text = text;
    }
    size_t at = m->items.size();
    if (position != static_cast<UINT>(-1)) {
        if (flags & MF_BYPOSITION) {
            at = std::min<size_t>(position, m->items.size());
        } else {
            for (size_t i = 0; i < m->items.size(); ++i) {
                if (m->items[i].id == position) at = i;
            }
        }
    }
    m->items.insert(m->items.begin() + static_cast<long>(at), std::move(item));
    return true;
}

// ---- The popup window ------------------------------------------------------------------------

struct Popup {
    Menu* menu;
    HWND owner;
    std::vector<RECT> rects;
    int hot = -1;
    bool done = false;
    UINT chosen = 0;
};

constexpr int kItemHeight = 20, kSeparatorHeight = 7, kPad = 2;

LRESULT CALLBACK PopupProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* p = reinterpret_cast<Popup*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!p) return DefWindowProcW(hwnd, message, wParam, lParam);
    auto itemAt = [&](POINT pt) {
        for (size_t i = 0; i < p->rects.size(); ++i) {
            if (PtInRect(&p->rects[i], pt)) return static_cast<int>(i);
        }
        return -1;
    };
    auto selectable = [&](int i) {
        return i >= 0 && p->menu->items[i].type != MFT_SEPARATOR && !(p->menu->items[i].state & (MF_GRAYED | MF_DISABLED));
    };
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = BeginPaint(hwnd, &ps);
            RECT all;
            GetClientRect(hwnd, &all);
            FillRect(hdc, &all, GetSysColorBrush(COLOR_MENU));
            SetBkMode(hdc, TRANSPARENT);
            for (size_t i = 0; i < p->rects.size(); ++i) {
                const MenuItem& item = p->menu->items[i];
                const RECT& r = p->rects[i];
                const bool hot = static_cast<int>(i) == p->hot;
                if (item.type == MFT_OWNERDRAW) {
                    DRAWITEMSTRUCT di{ODT_MENU, 0, item.id, ODA_DRAWENTIRE,
                                      static_cast<UINT>((hot ? ODS_SELECTED : 0) | ((item.state & MF_GRAYED) ? ODS_GRAYED : 0) |
                                                        ((item.state & MF_CHECKED) ? ODS_CHECKED : 0)),
                                      reinterpret_cast<HWND>(p->menu), hdc, r, item.data};
                    SendMessageW(p->owner, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&di));
                    continue;
                }
                if (item.type == MFT_SEPARATOR) {
                    RECT line{r.left + 2, r.top + 3, r.right - 2, r.top + 5};
                    DrawEdge(hdc, &line, EDGE_ETCHED, BF_TOP);
                    continue;
                }
                if (hot) FillRect(hdc, &r, GetSysColorBrush(COLOR_HIGHLIGHT));
                SetTextColor(hdc, SystemColor((item.state & MF_GRAYED) ? COLOR_GRAYTEXT : hot ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
                RECT text{r.left + 18, r.top, r.right - 8, r.bottom};
                if (item.state & MF_CHECKED) {
                    RECT mark{r.left + 4, r.top + 6, r.left + 12, r.top + 14};
                    FillRect(hdc, &mark, GetSysColorBrush(hot ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
                }
                DrawTextW(hdc, item.text.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER);
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_MOUSEMOVE: {
            const int at = itemAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            if (at != p->hot) {
                p->hot = selectable(at) ? at : -1;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        }
        case WM_LBUTTONUP:
        case WM_LBUTTONDOWN: {
            RECT client;
            GetClientRect(hwnd, &client);
            const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (!PtInRect(&client, pt)) {
                // A click outside the menu leaves it.
                if (message == WM_LBUTTONDOWN) p->done = true;
                return 0;
            }
            const int at = itemAt(pt);
            if (message == WM_LBUTTONUP && selectable(at) && !p->menu->items[at].sub) {
                p->chosen = p->menu->items[at].id;
                p->done = true;
            }
            return 0;
        }
        case WM_KEYDOWN: {
            const int n = static_cast<int>(p->rects.size());
            if (wParam == VK_ESCAPE) p->done = true;
            if (wParam == VK_RETURN && selectable(p->hot)) {
                p->chosen = p->menu->items[p->hot].id;
                p->done = true;
            }
            if ((wParam == VK_DOWN || wParam == VK_UP) && n > 0) {
                int at = p->hot;
                for (int step = 0; step < n; ++step) {
                    at = (at + (wParam == VK_DOWN ? 1 : n - 1) + (at < 0 && wParam == VK_UP ? 1 : 0)) % n;
                    if (selectable(at)) break;
                }
                p->hot = selectable(at) ? at : -1;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        }
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

void DestroySystemMenuOf(HWND hwnd) {
    HMENU menu = nullptr;
    {
        std::lock_guard guard(g_menusLock);
        auto it = g_systemMenus.find(hwnd);
        if (it == g_systemMenus.end()) return;
        menu = it->second;
        g_systemMenus.erase(it);
    }
    DestroyMenu(menu);
}

}  // namespace qk::ui

using namespace qk::ui;

HMENU CreateMenu() {
    auto* m = new Menu;
    std::lock_guard guard(g_menusLock);
    g_menus.insert(m);
    return reinterpret_cast<HMENU>(m);
}

HMENU CreatePopupMenu() { return CreateMenu(); }

BOOL DestroyMenu(HMENU menu) {
    std::vector<HMENU> subs;
    {
        std::lock_guard guard(g_menusLock);
        Menu* m = MenuOf(menu);
        if (!m) return FALSE;
        for (const MenuItem& item : m->items) {
            if (item.sub) subs.push_back(item.sub);
        }
        g_menus.erase(m);
        delete m;
    }
    for (HMENU s : subs) DestroyMenu(s);
    return TRUE;
}

BOOL IsMenu(HMENU menu) {
    std::lock_guard guard(g_menusLock);
    return MenuOf(menu) != nullptr;
}

namespace {
// The item argument of the menu calls: the owner's data for an owner-drawn
// item (never read as text), else the text.
bool InsertItem(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR item) {
    if (flags & MF_OWNERDRAW) return Insert(menu, position, flags, id, u"", reinterpret_cast<ULONG_PTR>(item));
    return Insert(menu, position, flags, id, item ? item : u"", 0);
}
}  // namespace

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR item) { return InsertItem(menu, static_cast<UINT>(-1), flags, id, item); }

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR item) {
    if (flags & MF_OWNERDRAW) return InsertItem(menu, static_cast<UINT>(-1), flags, id, reinterpret_cast<LPCWSTR>(item));
    return AppendMenuW(menu, flags, id, item ? Widen(item).c_str() : nullptr);
}

BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR item) { return InsertItem(menu, position, flags, id, item); }

BOOL RemoveMenu(HMENU menu, UINT position, UINT flags) {
    std::lock_guard guard(g_menusLock);
    Menu* m = MenuOf(menu);
    if (!m) return FALSE;
    for (size_t i = 0; i < m->items.size(); ++i) {
        if ((flags & MF_BYPOSITION) ? i == position : m->items[i].id == position) {
            m->items.erase(m->items.begin() + static_cast<long>(i));
            return TRUE;
        }
    }
    return FALSE;
}

BOOL DeleteMenu(HMENU menu, UINT position, UINT flags) {
    HMENU sub = nullptr;
    {
        std::lock_guard guard(g_menusLock);
        MenuItem* item = Find(MenuOf(menu), position, flags);
        if (item) sub = item->sub;
    }
    if (!RemoveMenu(menu, position, flags)) return FALSE;
    if (sub) DestroyMenu(sub);
    return TRUE;
}

int GetMenuItemCount(HMENU menu) {
    std::lock_guard guard(g_menusLock);
    Menu* m = MenuOf(menu);
    return m ? static_cast<int>(m->items.size()) : -1;
}

UINT GetMenuItemID(HMENU menu, int position) {
    std::lock_guard guard(g_menusLock);
    Menu* m = MenuOf(menu);
    if (!m || position < 0 || position >= static_cast<int>(m->items.size()) || m->items[position].sub) return static_cast<UINT>(-1);
    return m->items[position].id;
}

UINT GetMenuState(HMENU menu, UINT id, UINT flags) {
    std::lock_guard guard(g_menusLock);
    MenuItem* item = Find(MenuOf(menu), id, flags);
    if (!item) return static_cast<UINT>(-1);
    return item->state | (item->type == MFT_SEPARATOR ? MF_SEPARATOR : 0) | (item->type == MFT_OWNERDRAW ? MF_OWNERDRAW : 0);
}

BOOL EnableMenuItem(HMENU menu, UINT id, UINT enable) {
    std::lock_guard guard(g_menusLock);
    MenuItem* item = Find(MenuOf(menu), id, enable);
    if (!item) return -1;
    const UINT previous = item->state & (MF_GRAYED | MF_DISABLED);
    item->state = (item->state & ~(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
    return previous;
}

DWORD CheckMenuItem(HMENU menu, UINT id, UINT check) {
    std::lock_guard guard(g_menusLock);
    MenuItem* item = Find(MenuOf(menu), id, check);
    if (!item) return static_cast<DWORD>(-1);
    const DWORD previous = item->state & MF_CHECKED;
    item->state = (item->state & ~MF_CHECKED) | (check & MF_CHECKED);
    return previous;
}

HMENU GetSubMenu(HMENU menu, int position) {
    std::lock_guard guard(g_menusLock);
    Menu* m = MenuOf(menu);
    if (!m || position < 0 || position >= static_cast<int>(m->items.size())) return nullptr;
    return m->items[position].sub;
}

BOOL GetMenuItemInfoW(HMENU menu, UINT position, BOOL byPosition, LPMENUITEMINFOW info) {
    std::lock_guard guard(g_menusLock);
    MenuItem* item = Find(MenuOf(menu), position, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
    if (!item || !info || info->cbSize != sizeof(MENUITEMINFOW)) return FALSE;
    if (info->fMask & MIIM_ID) info->wID = item->id;
    if (info->fMask & MIIM_STATE) info->fState = item->state;
    if (info->fMask & MIIM_SUBMENU) info->hSubMenu = item->sub;
    if (info->fMask & MIIM_DATA) info->dwItemData = item->data;
    if (info->fMask & MIIM_FTYPE) info->fType = item->type;
    if (info->fMask & MIIM_STRING) {
        if (info->dwTypeData && info->cch > 0) {
            const size_t n = std::min<size_t>(item->text.size(), info->cch - 1);
            std::memcpy(info->dwTypeData, item->text.data(), n * sizeof(char16_t));
            info->dwTypeData[n] = 0;
        }
        info->cch = static_cast<UINT>(item->text.size());
    }
    return TRUE;
}

BOOL SetMenuItemInfoW(HMENU menu, UINT position, BOOL byPosition, LPCMENUITEMINFOW info) {
    std::lock_guard guard(g_menusLock);
    MenuItem* item = Find(MenuOf(menu), position, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
    if (!item || !info || info->cbSize != sizeof(MENUITEMINFOW)) return FALSE;
    if (info->fMask & MIIM_ID) item->id = info->wID;
    if (info->fMask & MIIM_STATE) item->state = info->fState;
    if (info->fMask & MIIM_SUBMENU) item->sub = info->hSubMenu;
    if (info->fMask & MIIM_DATA) item->data = info->dwItemData;
    if (info->fMask & MIIM_FTYPE) item->type = info->fType;
    if ((info->fMask & MIIM_STRING) && info->dwTypeData) item->text = info->dwTypeData;
    return TRUE;
}

HMENU GetSystemMenu(HWND hwnd, BOOL revert) {
    if (!IsWindow(hwnd)) return nullptr;
    HMENU existing = nullptr;
    {
        std::lock_guard guard(g_menusLock);
        auto it = g_systemMenus.find(hwnd);
        if (it != g_systemMenus.end() && MenuOf(it->second)) existing = it->second;
    }
    if (existing && !revert) return existing;
    if (existing) DestroyMenu(existing);
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING, SC_RESTORE, u"&Restore");
    AppendMenuW(m, MF_STRING, SC_MOVE, u"&Move");
    AppendMenuW(m, MF_STRING, SC_SIZE, u"&Size");
    AppendMenuW(m, MF_STRING, SC_MINIMIZE, u"Mi&nimize");
    AppendMenuW(m, MF_STRING, SC_MAXIMIZE, u"Ma&ximize");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING, SC_CLOSE, u"&Close");
    std::lock_guard guard(g_menusLock);
    g_systemMenus[hwnd] = m;
    return revert ? nullptr : m;
}

BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, LPVOID) {
    Menu* m;
    {
        std::lock_guard guard(g_menusLock);
        m = MenuOf(menu);
    }
    if (!m || !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(flags & TPM_NONOTIFY)) {
        SendMessageW(owner, WM_ENTERMENULOOP, TRUE, 0);
        SendMessageW(owner, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), 0);
    }
    // Classes belong to the machine's desktop: registered on each (again is refused, harmlessly).
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_SAVEBITS | CS_DBLCLKS;
    wc.lpfnWndProc = PopupProc;
    wc.lpszClassName = u"#32768";
    RegisterClassExW(&wc);
    // Items measured: owner-drawn ones by their owner, the others by their text.
    Popup p{m, owner, {}, -1, false, 0};
    int width = 80, y0 = kPad;
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (const MenuItem& item : m->items) {
        int w = 0, h = kItemHeight;
        if (item.type == MFT_OWNERDRAW) {
            MEASUREITEMSTRUCT mi{ODT_MENU, 0, item.id, 0, 0, item.data};
            SendMessageW(owner, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&mi));
            w = static_cast<int>(mi.itemWidth);
            h = std::max<int>(1, static_cast<int>(mi.itemHeight));
        } else if (item.type == MFT_SEPARATOR) {
            h = kSeparatorHeight;
        } else {
            w = MeasureText(font, item.text).cx + 26;
        }
        width = std::max(width, w);
        p.rects.push_back(RECT{kPad, y0, 0, y0 + h});
        y0 += h;
    }
    for (RECT& r : p.rects) r.right = kPad + width;
    const int cx = width + 2 * kPad + 2, cy = y0 + kPad + 2;
    int left = x, top = y;
    if (flags & TPM_RIGHTALIGN) left -= cx;
    if (flags & TPM_CENTERALIGN) left -= cx / 2;
    if (flags & TPM_BOTTOMALIGN) top -= cy;
    HWND popup = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, u"#32768", u"", WS_POPUP | WS_BORDER, left, top, cx, cy, owner,
                                 nullptr, nullptr, nullptr);
    if (!popup) return FALSE;
    SetWindowLongPtrW(popup, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&p));
    ShowWindow(popup, SW_SHOWNA);
    HWND previousFocus = SetFocus(popup);
    SetCapture(popup);
    g_endMenu = false;
    MSG msg;
    while (!p.done && !g_endMenu && IsWindow(popup) && GetMessageW(&msg, nullptr, 0, 0)) {
        // While the menu runs, the keys are its own.
        if (msg.message == WM_KEYDOWN || msg.message == WM_KEYUP || msg.message == WM_CHAR) msg.hwnd = popup;
        DispatchMessageW(&msg);
    }
    if (msg.message == WM_QUIT && !p.done && !g_endMenu) PostQuitMessage(static_cast<int>(msg.wParam));
    ReleaseCapture();
    SetWindowLongPtrW(popup, GWLP_USERDATA, 0);
    DestroyWindow(popup);
    if (previousFocus && IsWindow(previousFocus)) SetFocus(previousFocus);
    if (!(flags & TPM_NONOTIFY)) SendMessageW(owner, WM_EXITMENULOOP, TRUE, 0);
    if (flags & TPM_RETURNCMD) return static_cast<BOOL>(p.chosen);
    if (p.chosen && !(flags & TPM_NONOTIFY)) PostMessageW(owner, WM_COMMAND, p.chosen, 0);
    return p.chosen != 0;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
    return TrackPopupMenuEx(menu, flags, x, y, owner, nullptr);
}

BOOL EndMenu() {
    g_endMenu = true;
    return TRUE;
}
