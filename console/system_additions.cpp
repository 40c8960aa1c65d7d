// Platform calls the console needs before platform/win32 offers them (see
// the header). Files and folders are those of the machine's system root
// ("C:\" is the root folder), found without regard to letter case as the
// loader finds modules.
#include "console/system_additions.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/win32/code_modules.h"

namespace cvwsys {
namespace {

namespace fs = std::filesystem;

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
}

// The host path of a "C:\..." path: existing levels found without case, the
// rest as given. Empty for anything else, and for "." or ".." levels.
fs::path HostPath(LPCSTR path) {
    if (path == nullptr) return {};
    std::string p(path);
    if (p.size() < 3 || (p[0] != 'C' && p[0] != 'c') || p[1] != ':' || p[2] != '\\') return {};
    fs::path at = qk::Machine::Current().SystemRoot();
    size_t pos = 3;
    while (pos < p.size()) {
        size_t next = p.find('\\', pos);
        if (next == std::string::npos) next = p.size();
        const std::string part = p.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty()) continue;
        if (part == "." || part == ".." || part.find('/') != std::string::npos) return {};
        std::error_code ec;
        fs::path found;
        if (fs::is_directory(at, ec)) {
            for (const auto& entry : fs::directory_iterator(at, ec)) {
                if (Upper(entry.path().filename().string()) == Upper(part)) {
                    found = entry.path();
                    break;
                }
            }
        }
        at = found.empty() ? at / part : found;
    }
    return at;
}

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

struct FindState {
    std::vector<std::pair<std::string, DWORD>> entries;
    size_t next = 0;
};
std::mutex g_findLock;  // guards g_finds
std::map<HANDLE, std::unique_ptr<FindState>> g_finds;
std::atomic<uintptr_t> g_nextFind{0x7F000000};

DWORD AttributesOf(const fs::path& p) {
    std::error_code ec;
    const fs::file_status status = fs::status(p, ec);
    if (ec || !fs::exists(status)) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = 0;
    if (fs::is_directory(status)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void Fill(WIN32_FIND_DATAA* data, const std::pair<std::string, DWORD>& entry) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.second;
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", entry.first.c_str());
}

std::mutex g_programLock;  // guards Programs()
std::map<std::string, ProgramMain>& Programs() {
    static std::map<std::string, ProgramMain> programs;
    return programs;
}

struct ProgramStart {
    ProgramMain main;
    std::string parameters;
};

DWORD RunProgram(LPVOID parameter) {
    std::unique_ptr<ProgramStart> start(static_cast<ProgramStart*>(parameter));
    start->main(start->parameters);
    return 0;
}

std::atomic<USHORT> g_protocolType{0};

BOOL QuerySession(HANDLE, DWORD session, int infoClass, LPSTR* buffer, DWORD* bytes) {
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

FARPROC WtsExport(const char* name) {
    if (std::strcmp(name, "WTSQuerySessionInformationA") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&QuerySession));
    if (std::strcmp(name, "WTSFreeMemory") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FreeMemory));
    return nullptr;
}

// Whether every page of [p, p + bytes) is mapped with `permission` ('r' or
// 'w'), from the process's own mapping list.
bool Mapped(const void* p, UINT_PTR bytes, int permissionColumn) {
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
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &lo, &hi, perms) != 3) continue;
        if (perms[permissionColumn] == '-') continue;
        usable.push_back({static_cast<uintptr_t>(lo), static_cast<uintptr_t>(hi)});
    }
    std::sort(usable.begin(), usable.end());
    for (const auto& [lo, hi] : usable) {
        if (begin >= end) break;
        if (lo <= begin && begin < hi) begin = hi;
    }
    return begin >= end;
}

}  // namespace

void RegisterProgram(const std::string& fileName, ProgramMain main) {
    std::lock_guard guard(g_programLock);
    Programs()[Upper(fileName)] = main;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    if (info == nullptr || info->cbSize != sizeof *info || info->lpFile == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    std::string file(info->lpFile);
    const size_t slash = file.rfind('\\');
    if (slash != std::string::npos) file = file.substr(slash + 1);
    ProgramMain main = nullptr;
    {
        std::lock_guard guard(g_programLock);
        auto it = Programs().find(Upper(file));
        if (it != Programs().end()) main = it->second;
    }
    if (main == nullptr) return FailWith(ERROR_FILE_NOT_FOUND);
    auto* start = new ProgramStart{main, info->lpParameters ? info->lpParameters : ""};
    HANDLE thread = CreateThread(nullptr, 0, RunProgram, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return FALSE;
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(33));
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
        info->hProcess = thread;
    } else {
        info->hProcess = nullptr;
        CloseHandle(thread);
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    const fs::path host = HostPath(path);
    std::error_code ec;
    if (host.empty() || !fs::is_directory(host, ec)) return FailWith(ERROR_PATH_NOT_FOUND);
    if (!fs::is_empty(host, ec)) return FailWith(145);  // ERROR_DIR_NOT_EMPTY
    if (!fs::remove(host, ec)) return FailWith(ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    const fs::path host = HostPath(path);
    std::error_code ec;
    if (host.empty() || !fs::is_regular_file(host, ec)) return FailWith(ERROR_FILE_NOT_FOUND);
    if ((AttributesOf(host) & FILE_ATTRIBUTE_READONLY) != 0) return FailWith(ERROR_ACCESS_DENIED);
    if (!fs::remove(host, ec)) return FailWith(ERROR_ACCESS_DENIED);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    const fs::path host = HostPath(path);
    if (host.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    const DWORD attributes = AttributesOf(host);
    if (attributes == INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_FILE_NOT_FOUND);
    return attributes;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    const fs::path host = HostPath(path);
    std::error_code ec;
    if (host.empty() || !fs::exists(host, ec)) return FailWith(ERROR_FILE_NOT_FOUND);
    fs::permissions(host, fs::perms::owner_write,
                    (attributes & FILE_ATTRIBUTE_READONLY) ? fs::perm_options::remove : fs::perm_options::add, ec);
    return ec ? FailWith(ERROR_ACCESS_DENIED) : TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    if (pattern == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string p(pattern);
    if (p.size() < 2 || p.compare(p.size() - 2, 2, "\\*") != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const fs::path folder = HostPath(p.substr(0, p.size() - 2).c_str());
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto state = std::make_unique<FindState>();
    // The target lists "." and ".." first in a folder other than a root.
    state->entries.push_back({".", FILE_ATTRIBUTE_DIRECTORY});
    state->entries.push_back({"..", FILE_ATTRIBUTE_DIRECTORY});
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        state->entries.push_back({entry.path().filename().string(), AttributesOf(entry.path())});
    }
    Fill(data, state->entries[0]);
    state->next = 1;
    HANDLE h = reinterpret_cast<HANDLE>(g_nextFind.fetch_add(4));
    std::lock_guard guard(g_findLock);
    g_finds[h] = std::move(state);
    return h;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    std::lock_guard guard(g_findLock);
    auto it = g_finds.find(find);
    if (it == g_finds.end() || data == nullptr) return FailWith(ERROR_INVALID_HANDLE);
    FindState& s = *it->second;
    if (s.next >= s.entries.size()) return FailWith(ERROR_NO_MORE_FILES);
    Fill(data, s.entries[s.next++]);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    std::lock_guard guard(g_findLock);
    return g_finds.erase(find) == 1 ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof *info) return FailWith(ERROR_INVALID_PARAMETER);
    // The machine presents itself as the system the package was built for:
    // 6.1, build 7601.
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = 0;
    return TRUE;
}

BOOL IsBadReadPtr(const void* p, UINT_PTR bytes) { return Mapped(p, bytes, 0) ? FALSE : TRUE; }
BOOL IsBadWritePtr(void* p, UINT_PTR bytes) { return Mapped(p, bytes, 1) ? FALSE : TRUE; }

BOOL IsIconic(HWND hwnd) { return (GetWindowLongW(hwnd, GWL_STYLE) & WS_MINIMIZE) != 0 ? TRUE : FALSE; }

// One desktop and one input state serve every thread of the machine:
// attaching changes nothing.
BOOL AttachThreadInput(DWORD, DWORD, BOOL) { return TRUE; }

void RegisterSystemModules() { qk::win32::RegisterStaticModule(u"Wtsapi32.dll", WtsExport); }

void SetSessionProtocolType(USHORT type) { g_protocolType = type; }

}  // namespace cvwsys
