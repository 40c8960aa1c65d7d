// The terminal-services library "Wtsapi32.dll": a module the loader finds by
// name on every machine, looked up at run time (an older system lacks it).
// The session calls of Kernel32.dll are in sysinfoapi.h.
#pragma once

#include "windows.h"

#define WTSClientProtocolType 16
#define WTS_CURRENT_SERVER_HANDLE ((HANDLE) nullptr)
#define WTS_CURRENT_SESSION ((DWORD)0xFFFFFFFF)
typedef BOOL (*WTSQuerySessionInformationAProc)(HANDLE server, DWORD session, int infoClass, LPSTR* buffer,
                                                DWORD* bytes);
typedef void (*WTSFreeMemoryProc)(void* memory);
