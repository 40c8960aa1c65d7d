// The machine's terminal-services library "Wtsapi32.dll": its code is the
// platform's and serves wherever the file lies in the system folder (the
// system's installation puts it there; a machine without it has one session).
#pragma once

#include "windows.h"

namespace qk::win32 {

FARPROC TerminalServicesExport(const char* name);
// The client protocol the current session reports: 0 the console, 2 a remote desktop.
void SetSessionProtocolType(USHORT type);

}  // namespace qk::win32
