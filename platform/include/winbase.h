// The system's version as programs ask for it, and the old memory probes.
#pragma once

#include "windows.h"

#define VER_PLATFORM_WIN32_NT 2
typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;
// The machine presents itself as the system the package was built for: 6.1, build 7601.
BOOL GetVersionExA(OSVERSIONINFOA* info);

// Whether `bytes` at `p` can be read (written): the memory is probed, never
// touched, so a caller's invented pointer is answered, not followed.
BOOL IsBadReadPtr(const void* p, UINT_PTR bytes);
BOOL IsBadWritePtr(void* p, UINT_PTR bytes);
