// The overlapped form of DeviceIoControl, shared by kernel32's entry points.
#pragma once

#include "windows.h"

namespace qk::win32 {

BOOL DeviceIoControlOverlapped(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes, LPVOID output,
                               DWORD outputBytes, LPDWORD returned, LPOVERLAPPED overlapped);

}  // namespace qk::win32
