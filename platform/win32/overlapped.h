// The overlapped form of DeviceIoControl, shared by kernel32's entry points,
// and the hold on a user-mode event it needs: a completion sets the event of
// its OVERLAPPED even after the caller has closed the event's handle.
#pragma once

#include <memory>

#include "windows.h"

namespace qk::win32 {

BOOL DeviceIoControlOverlapped(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes, LPVOID output,
                               DWORD outputBytes, LPDWORD returned, LPOVERLAPPED overlapped);

// The event behind a handle (null when the handle is not an event), kept
// alive by the holder; SignalEvent sets it from any thread.
std::shared_ptr<void> HoldEvent(HANDLE event);
void SignalEvent(const std::shared_ptr<void>& event);

}  // namespace qk::win32
