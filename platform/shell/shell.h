// The shell's part of the platform: the link object (CLSID_ShellLink with
// IShellLinkA, IShellLinkW and IPersistFile), served by "shell32.dll" built
// into the process, and the special folders (shlobj.h).
#pragma once

#include "objbase.h"

namespace qk::shell {

// Makes "shell32.dll" known to the process and writes its link class under
// HKEY_CLASSES_ROOT\CLSID, as the system's installation does. Each machine
// needs it once; calling it again changes nothing.
HRESULT InstallShellServer();

}  // namespace qk::shell
