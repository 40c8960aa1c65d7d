// System calls the console needs that the platform does not offer yet:
// folder and file management beyond creating folders, the version query, memory
// probes, the shell's program start, two window-manager calls and the
// terminal-services library. They carry the SDK's names and shapes in a
// namespace of their own, so that they move into platform/win32 unchanged
// (and this namespace goes) once the platform has them.
#pragma once

#include <string>

#include "objbase.h"
#include "windows.h"
#include "winuser.h"

namespace cvwsys {

// ---- shell32: program start ------------------------------------------------------

inline constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
inline constexpr ULONG SEE_MASK_NO_CONSOLE = 0x00008000;
struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    HANDLE hProcess;
};
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

// A program the machine can start by file name ("RunDLL32.exe"): called on
// a thread of its own with the parameters, as a new process would run. The
// tools and tests register the programs they provide.
using ProgramMain = void (*)(const std::string& parameters);
void RegisterProgram(const std::string& fileName, ProgramMain main);

// ---- kernel32: folders and files ---------------------------------------------------------------
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
}  // namespace cvwsys
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
namespace cvwsys {
BOOL RemoveDirectoryA(LPCSTR path);
BOOL DeleteFileA(LPCSTR path);
DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    char cFileName[MAX_PATH];
};
// `pattern` is a folder followed by "\*".
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

// ---- kernel32: version and memory probes ---------------------------------------------------------
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
BOOL GetVersionExA(OSVERSIONINFOA* info);
// Whether `bytes` at `p` can be read (written): the memory is probed, never
// touched, so a caller's invented pointer is answered, not followed.
BOOL IsBadReadPtr(const void* p, UINT_PTR bytes);
BOOL IsBadWritePtr(void* p, UINT_PTR bytes);

// ---- user32 ----------------------------------------------------------------------------------------
BOOL IsIconic(HWND hwnd);
BOOL AttachThreadInput(DWORD attachFrom, DWORD attachTo, BOOL attach);

// ---- wtsapi32 ---------------------------------------------------------------------------------------
// "Wtsapi32.dll" as a module the loader finds by name (exports
// WTSQuerySessionInformationA and WTSFreeMemory); Kernel32.dll, the
// platform's, has the two session calls. Registered by RegisterSystemModules;
// the file must be on the machine, as the installation of the system puts it.
inline constexpr int WTSClientProtocolType = 16;
inline constexpr HANDLE WTS_CURRENT_SERVER_HANDLE = nullptr;
inline constexpr DWORD WTS_CURRENT_SESSION = 0xFFFFFFFF;
using WTSQuerySessionInformationAProc = BOOL (*)(HANDLE server, DWORD session, int infoClass, LPSTR* buffer,
                                                 DWORD* bytes);
using WTSFreeMemoryProc = void (*)(void* memory);
void RegisterSystemModules();
// The protocol type the session reports: 0 the console, 2 a remote desktop.
void SetSessionProtocolType(USHORT type);

}  // namespace cvwsys
