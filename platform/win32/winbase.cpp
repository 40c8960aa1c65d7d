// The version query, the memory probes and the terminal-services library.
#include "winbase.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/terminal_services.h"
#include "wtsapi32.h"

namespace {

// Whether every byte of [p, p + bytes) lies in mappings with the permission
// in `column` of the process's mapping list ('r' at 0, 'w' at 1).
bool Mapped(const void* p, UINT_PTR bytes, int column) {
    if (p == nullptr) return false;
    if (bytes == 0) return true;
    uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    if (begin + bytes < begin) return false;
    const uintptr_t end = begin + bytes;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::vector<std::pair<uintptr_t, uintptr_t>> usable;
    while (std::getline(maps, line)) {
        unsigned long long lo = 0, hi = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &lo, &hi, permissions) != 3) continue;
        if (permissions[column] == '-') continue;
        usable.push_back({static_cast<uintptr_t>(lo), static_cast<uintptr_t>(hi)});
    }
    std::sort(usable.begin(), usable.end());
    for (const auto& [lo, hi] : usable) {
        if (begin >= end) break;
        if (lo <= begin && begin < hi) begin = hi;
    }
    return begin >= end;
}

std::atomic<USHORT> g_protocolType{0};

BOOL QuerySessionInformation(HANDLE, DWORD, int infoClass, LPSTR* buffer, DWORD* bytes) {
    if (buffer == nullptr || bytes == nullptr || infoClass != WTSClientProtocolType) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* type = static_cast<USHORT*>(LocalAlloc(LPTR, sizeof(USHORT)));
    if (type == nullptr) return FALSE;
    *type = g_protocolType.load();
    *buffer = reinterpret_cast<LPSTR>(type);
    *bytes = sizeof(USHORT);
    return TRUE;
}

void FreeMemory(void* memory) { LocalFree(memory); }

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof *info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = 0;
    return TRUE;
}

BOOL IsBadReadPtr(const void* p, UINT_PTR bytes) { return Mapped(p, bytes, 0) ? FALSE : TRUE; }
BOOL IsBadWritePtr(void* p, UINT_PTR bytes) { return Mapped(p, bytes, 1) ? FALSE : TRUE; }

namespace qk::win32 {

FARPROC TerminalServicesExport(const char* name) {
    if (std::strcmp(name, "WTSQuerySessionInformationA") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&QuerySessionInformation));
    }
    if (std::strcmp(name, "WTSFreeMemory") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FreeMemory));
    return nullptr;
}

void SetSessionProtocolType(USHORT type) { g_protocolType = type; }

}  // namespace qk::win32
