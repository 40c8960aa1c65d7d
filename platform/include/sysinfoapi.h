// Where the system keeps its folders, and what the process is: the machine
// is a 64-bit system whose user-mode processes are native ones, so a process
// never runs under WOW64 and the 32-bit system folder is the system folder.
#pragma once

#include "minwindef.h"

typedef WORD LANGID;
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define LANG_JAPANESE 0x11
#define ERROR_CALL_NOT_IMPLEMENTED 120

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
HANDLE GetCurrentProcess();
BOOL IsWow64Process(HANDLE process, BOOL* wow64);
// The user's language: the "Locale" value (hexadecimal text) under
// HKEY_CURRENT_USER\Control Panel\International, else English (United States).
LANGID GetUserDefaultLangID();
