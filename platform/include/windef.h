// Window and drawing handles and the geometry structures of the user-mode
// headers, with the target's layouts (LONG coordinates).
#pragma once

#include "minwindef.h"

typedef struct HWND__* HWND;
typedef struct HDC__* HDC;
// As the SDK has it with STRICT: every GDI handle converts to HGDIOBJ.
typedef void* HGDIOBJ;
typedef struct HBITMAP__* HBITMAP;
typedef struct HBRUSH__* HBRUSH;
typedef struct HPEN__* HPEN;
typedef struct HFONT__* HFONT;
typedef struct HRGN__* HRGN;
typedef struct HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HMENU__* HMENU;
typedef struct HPALETTE__* HPALETTE;
typedef struct HMONITOR__* HMONITOR;
typedef DWORD COLORREF;
typedef COLORREF* LPCOLORREF;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE, *LPSIZE;

typedef struct tagPOINTS {
    SHORT x;
    SHORT y;
} POINTS, *PPOINTS;
