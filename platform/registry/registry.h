// The registry layer's own interface for the platform and the tools: the
// machine user, the hooks the user-mode layer sets, access to paths and the
// .reg text format. Drivers use the Zw* calls (wdm.h), user-mode code the Reg*
// calls (winreg.h).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "minwindef.h"
#include "winreg.h"

namespace qk::registry {

// The one user of every simulated machine: HKEY_CURRENT_USER is
// \Registry\User\<kMachineUserSid>.
inline constexpr char16_t kMachineUserSid[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";

// The user-mode layer tells the registry whether the calling "process" is a
// 32-bit one; its keys under HKEY_LOCAL_MACHINE\Software are then those of
// Wow6432Node. Unset (the default), every caller is 64-bit. The resolver runs
// on the caller's thread at each open and must be cheap.
void SetCallerBitnessResolver(std::function<bool()> is32BitCaller);

// A user without administrator rights: opens of HKEY_LOCAL_MACHINE keys for
// writing fail with ERROR_ACCESS_DENIED (reading still works). Default: allowed.
void SetUsersMayWriteMachineHive(bool allowed);

// Empty while the current machine's registry is usable, else why it is not.
std::string StoreError();

// The system error code the user-mode calls return for an NTSTATUS.
LONG Win32ErrorFromStatus(NTSTATUS status);

// A kernel handle to the key at `kernelPath` ("\Registry\Machine\...") that
// grants exactly `granted`, whatever its opener would have asked for: the I/O
// manager's registry keys of devices and interfaces. With `createLevels`,
// every missing level is created first.
NTSTATUS OpenKernelKeyGranting(std::u16string_view kernelPath, ACCESS_MASK granted, bool createLevels,
                               HANDLE* handle);

// The key an open user-mode handle refers to, as levels below \REGISTRY
// (after any Wow6432Node redirection), with the names as stored.
LSTATUS KeyPathOfHandle(HKEY key, std::vector<std::u16string>* levels);

// User-mode key handles open on the current machine (tests check for leaks).
size_t OpenUserKeyHandles();

// ---- Rooted paths as users write them: "HKEY_LOCAL_MACHINE\Software\X" or
// "HKLM\Software\X" (also HKCU, HKU, HKCR and their long names).
struct RootedPath {
    HKEY root = nullptr;                 // the predefined key
    std::u16string rootName;             // its long name, "HKEY_LOCAL_MACHINE"
    std::u16string subKey;               // below the root, without leading or trailing backslash
    std::vector<std::u16string> levels;  // the key's levels below \REGISTRY (native view)
};
// False with a message for an unknown root or an invalid level.
bool ParseRootedPath(std::u16string_view text, RootedPath* path, std::string* error);

// The name users see for a key given by levels below \REGISTRY: below
// `preferredRoot` when the key lies there, else below the longest matching
// predefined key ("HKEY_CURRENT_USER\Software"), else its kernel path.
std::u16string DisplayPath(const std::vector<std::u16string>& levels, HKEY preferredRoot = nullptr);

// ---- The .reg text format ("Windows Registry Editor Version 5.00").
// Export writes UTF-8 text of the key at `levels` and everything below it.
// Import reads UTF-8 (with or without a byte-order mark) or UTF-16LE with a
// byte-order mark, checks the whole file first and applies it in one
// transaction: a malformed file changes nothing and the error names its line.
// `display` names the key in the file's first section, for example
// "HKEY_LOCAL_MACHINE\SOFTWARE\X"; the sections below it extend that name.
bool ExportRegFile(const std::vector<std::u16string>& levels, std::u16string_view display, std::string* text,
                   std::string* error);
bool ImportRegFile(std::span<const uint8_t> bytes, std::string* error);

}  // namespace qk::registry
