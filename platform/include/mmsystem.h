// The multimedia system's driver protocol as installable drivers and their
// clients see it: driver handles, the DRV_ messages, client callbacks and
// multimedia time.
#pragma once

#include "minwindef.h"
#include "windows.h"

typedef LONG_PTR LRESULT;
typedef LONG_PTR LPARAM;
typedef struct HDRVR__* HDRVR;
typedef LRESULT (*DRIVERPROC)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1, LPARAM lParam2);

// ---- Installable-driver messages
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRV_USER 0x4000

// ---- Client callbacks
#define CALLBACK_TYPEMASK 0x00070000L
#define CALLBACK_NULL 0x00000000L
#define CALLBACK_WINDOW 0x00010000L
#define CALLBACK_TASK 0x00020000L
#define CALLBACK_FUNCTION 0x00030000L
#define CALLBACK_EVENT 0x00050000L
#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007

#define MM_DRVM_OPEN 0x3D0
#define MM_DRVM_CLOSE 0x3D1
#define MM_DRVM_DATA 0x3D2
#define MM_DRVM_ERROR 0x3D3

// A function callback: (handle, message, instance, parameter 1, parameter 2).
typedef void (*DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);

// ---- Multimedia time
#define TIME_MS 0x0001
typedef struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
} MMTIME, *LPMMTIME;
static_assert(sizeof(MMTIME) == 12);

// Milliseconds since the machine started.
DWORD timeGetTime();

// Opens an installable driver by the name of its entry under the system's
// "Drivers32" key (such as "msvideo") or by its file name: DRV_LOAD and
// DRV_ENABLE on first use, then DRV_OPEN with lParam2. Null on failure.
HDRVR OpenDriver(LPCWSTR szDriverName, LPCWSTR szSectionName, LPARAM lParam2);
LRESULT SendDriverMessage(HDRVR hDriver, UINT message, LPARAM lParam1, LPARAM lParam2);
// DRV_CLOSE, and DRV_DISABLE and DRV_FREE when it was the module's last handle.
LRESULT CloseDriver(HDRVR hDriver, LPARAM lParam1, LPARAM lParam2);
// Calls the client back as the flags name (only function callbacks exist on
// this machine: windows, tasks and events come with the window system).
BOOL DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                    DWORD_PTR dwParam1, DWORD_PTR dwParam2);
