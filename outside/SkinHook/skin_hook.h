// The skinning library's entry, for linking it into a process (tests and
// tools register it with the loader under "SkinHook.DLL"); the loadable
// module exports the same function as "CallSkinHook".
#pragma once

#include "minwindef.h"

namespace skinhook {

DWORD_PTR CallSkinHook(UINT operation, DWORD_PTR skin, DWORD_PTR a, DWORD_PTR b, DWORD_PTR data);
// The module's exports by name, for the loader's table of linked modules.
FARPROC LookupExport(const char* name);

}  // namespace skinhook
