// The common controls the package uses (comctl32): track bars, up-down
// controls, tab controls, tooltips and list views; messages and structures
// under the SDK's names.
#pragma once

#include "commctrl.rh"
#include "winuser.h"

#define TRACKBAR_CLASSW u"msctls_trackbar32"
#define UPDOWN_CLASSW u"msctls_updown32"
#define WC_TABCONTROLW u"SysTabControl32"
#define TOOLTIPS_CLASSW u"tooltips_class32"
#define WC_LISTVIEWW u"SysListView32"

// Track bars.
#define TBM_GETPOS (WM_USER)
#define TBM_GETRANGEMIN (WM_USER + 1)
#define TBM_GETRANGEMAX (WM_USER + 2)
#define TBM_SETPOS (WM_USER + 5)
#define TBM_SETRANGE (WM_USER + 6)
#define TBM_SETRANGEMIN (WM_USER + 7)
#define TBM_SETRANGEMAX (WM_USER + 8)
#define TBM_SETPAGESIZE (WM_USER + 21)
#define TBM_GETPAGESIZE (WM_USER + 22)
#define TBM_SETLINESIZE (WM_USER + 23)
#define TBM_GETLINESIZE (WM_USER + 24)
#define TB_LINEUP 0
#define TB_LINEDOWN 1
#define TB_PAGEUP 2
#define TB_PAGEDOWN 3
#define TB_THUMBPOSITION 4
#define TB_THUMBTRACK 5
#define TB_TOP 6
#define TB_BOTTOM 7
#define TB_ENDTRACK 8

// Up-down controls.
#define UDM_SETRANGE (WM_USER + 101)
#define UDM_GETRANGE (WM_USER + 102)
#define UDM_SETPOS (WM_USER + 103)
#define UDM_GETPOS (WM_USER + 104)
#define UDM_SETBUDDY (WM_USER + 105)
#define UDM_GETBUDDY (WM_USER + 106)
#define UDM_SETRANGE32 (WM_USER + 111)
#define UDM_SETPOS32 (WM_USER + 113)
#define UDM_GETPOS32 (WM_USER + 114)

// Notifications.
#define NM_FIRST 0u
#define NM_CLICK (NM_FIRST - 2)
#define UDN_FIRST (0u - 721)
#define UDN_DELTAPOS (UDN_FIRST - 1)
#define TCN_FIRST (0u - 550)
#define TCN_SELCHANGE (TCN_FIRST - 1)
#define TCN_SELCHANGING (TCN_FIRST - 2)
#define LVN_FIRST (0u - 100)
#define LVN_ITEMCHANGED (LVN_FIRST - 1)

typedef struct tagNMUPDOWN {
    NMHDR hdr;
    int iPos;
    int iDelta;
} NMUPDOWN, *LPNMUPDOWN;

// Tab controls.
#define TCM_FIRST 0x1300
#define TCM_GETITEMCOUNT (TCM_FIRST + 4)
#define TCM_DELETEALLITEMS (TCM_FIRST + 9)
#define TCM_GETCURSEL (TCM_FIRST + 11)
#define TCM_SETCURSEL (TCM_FIRST + 12)
#define TCM_INSERTITEMW (TCM_FIRST + 62)
#define TCIF_TEXT 0x0001
typedef struct tagTCITEMW {
    UINT mask;
    DWORD dwState;
    DWORD dwStateMask;
    LPWSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
} TCITEMW, *LPTCITEMW;

// Tooltips.
#define TTM_ACTIVATE (WM_USER + 1)
#define TTM_ADDTOOLW (WM_USER + 50)
#define TTM_DELTOOLW (WM_USER + 51)
#define TTM_UPDATETIPTEXTW (WM_USER + 57)
#define TTM_GETTEXTW (WM_USER + 56)
#define TTM_GETTOOLCOUNT (WM_USER + 13)
#define TTM_SETDELAYTIME (WM_USER + 3)
#define TTM_RELAYEVENT (WM_USER + 7)
#define TTM_SETMAXTIPWIDTH (WM_USER + 24)
#define TTM_POP (WM_USER + 28)
#define TTDT_AUTOMATIC 0
#define TTDT_RESHOW 1
#define TTDT_AUTOPOP 2
#define TTDT_INITIAL 3
#define TTS_ALWAYSTIP 0x01
#define TTS_NOPREFIX 0x02
#define TTN_FIRST (0u - 520u)
#define TTN_SHOW (TTN_FIRST - 1)
#define TTN_POP (TTN_FIRST - 2)
#define TTF_IDISHWND 0x0001
#define TTF_SUBCLASS 0x0010
typedef struct tagTOOLINFOW {
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    LPWSTR lpszText;
    LPARAM lParam;
    void* lpReserved;
} TOOLINFOW, *LPTOOLINFOW;

// List views (the icon and list views of the effects panel).
#define LVM_FIRST 0x1000
#define LVM_GETIMAGELIST (LVM_FIRST + 2)
#define LVM_SETIMAGELIST (LVM_FIRST + 3)
#define LVM_GETITEMCOUNT (LVM_FIRST + 4)
#define LVM_DELETEALLITEMS (LVM_FIRST + 9)
#define LVM_GETNEXTITEM (LVM_FIRST + 12)
#define LVM_ENSUREVISIBLE (LVM_FIRST + 19)
#define LVM_GETTOPINDEX (LVM_FIRST + 39)
#define LVM_SETITEMSTATE (LVM_FIRST + 43)
#define LVM_INSERTITEMW (LVM_FIRST + 77)
#define LVM_GETITEMTEXTW (LVM_FIRST + 115)
#define LVIF_TEXT 0x0001
#define LVIF_IMAGE 0x0002
#define LVIF_STATE 0x0008
#define LVSIL_NORMAL 0
#define LVSIL_SMALL 1
#define I_IMAGENONE (-2)
#define LVIS_SELECTED 0x0002
#define LVNI_SELECTED 0x0002
typedef struct tagLVITEMW {
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPWSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
} LVITEMW, *LPLVITEMW;

// Image lists: pictures of one size, drawn by index (the list view's icons).
typedef struct _IMAGELIST* HIMAGELIST;
#define ILC_COLOR32 0x0020
#define ILD_NORMAL 0x0000
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
// Adds the bitmap's pictures (one for every `cx` pixels of its width) and
// returns the index of the first, or -1. Masks are not kept: `mask` must be null.
int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask);
int ImageList_GetImageCount(HIMAGELIST list);
BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy);
BOOL ImageList_Draw(HIMAGELIST list, int index, HDC hdc, int x, int y, UINT style);
BOOL ImageList_Destroy(HIMAGELIST list);

typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
