// The least of the camera manager LuCamMgr.dll that the console needs: it
// takes the installation commands of the libraries it can host (viewers and
// the devices they are attached to) and keeps them in the registry under
// HKEY_LOCAL_MACHINE\Software\Lumora Tech\Camera Manager (32-bit view):
//   Viewers\<name>            "Words"  REG_BINARY, the record's four words
//   Devices\<hardware ID>     "Class"  REG_SZ, the device's setup class
//   Devices\<id>\<viewer>     "File", "Entry" REG_SZ, "Word" REG_DWORD
// with each backslash of a hardware ID written as '#', as device paths do.
// Built as a static library that tests and tools register with the loader
// under the module's file name.
#pragma once

#include <cstdint>

#include "minwindef.h"

namespace lucammgr {

inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kBadBlock = 87;     // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
inline constexpr uint32_t kNotOpen = 21;       // ERROR_NOT_READY: no session open
inline constexpr uint32_t kStoreFailed = 1010;  // ERROR_BADKEY
inline constexpr uint32_t kMaxRecords = 64;

// The export "LuCamMgrInstallEntryPoint".
uint32_t InstallEntryPoint(uint32_t command, void* block);
// For the loader: the module's exports by name.
FARPROC LookupExport(const char* name);

}  // namespace lucammgr
