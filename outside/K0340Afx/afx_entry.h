// The audio effects library's entries, for linking it into a process (tests
// and tools register it with the loader under "K0340Afx.dll"); the loadable
// module exports the same functions by name.
#pragma once

#include "minwindef.h"
#include "ntdef.h"

namespace k0340afx {

LONG EntryPoint(HANDLE instance, ULONG command, void* block);
LONG Process(HANDLE instance, SHORT* samples, ULONG frames, ULONG channels, ULONG rateHz);
// The module's exports by name, for the loader's table of linked modules.
FARPROC LookupExport(const char* name);

// Where each audio device's choice is kept (HKEY_LOCAL_MACHINE); the key
// above it marks the library as installed.
inline constexpr char kInstalledKey[] = "SOFTWARE\\Lumora Tech\\Web Cameras\\Audio FX";
inline constexpr char kDevicesKey[] = "SOFTWARE\\Lumora Tech\\Web Cameras\\Audio FX\\Devices";

}  // namespace k0340afx
