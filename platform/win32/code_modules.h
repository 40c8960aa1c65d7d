// Code modules of user mode. A library the package calls but does not own
// (the skinning library) is built twice: as a loadable module with its
// Windows file name, which the loader opens from the system root, and as a
// static library that a test or tool registers here under the same name, so
// that the loader takes the linked code once it has found the file.
#pragma once

#include <string>

#include "minwindef.h"

namespace qk::win32 {

using ExportLookup = FARPROC (*)(const char* name);

// `fileName` is the module's base name ("SkinHook.DLL"), compared without case.
void RegisterStaticModule(const std::u16string& fileName, ExportLookup lookup);

}  // namespace qk::win32
