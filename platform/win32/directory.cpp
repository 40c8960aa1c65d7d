// Folders on the machine's drive C:, which is the system root on the host.
// Every part of the path is matched without case, as the target's file
// system does, so "C:\ProgramData" finds a host folder "programdata".
#include <filesystem>
#include <string>

#include "platform/nt/machine.h"
#include "windows.h"

namespace {

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return s;
}

// The host folder that would hold the last part of `path`, and that part;
// false for a path outside drive C: or one that climbs above it.
bool HostParent(const std::u16string& path, std::filesystem::path* parent, std::u16string* last, bool* parentExists) {
    if (path.size() < 4 || (path[0] != u'C' && path[0] != u'c') || path[1] != u':' || path[2] != u'\\') return false;
    std::filesystem::path at = qk::Machine::Current().SystemRoot();
    std::u16string rest = path.substr(3);
    while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
    const size_t slash = rest.find_last_of(u'\\');
    *last = slash == std::u16string::npos ? rest : rest.substr(slash + 1);
    const std::u16string folders = slash == std::u16string::npos ? std::u16string() : rest.substr(0, slash);
    if (last->empty() || *last == u"." || *last == u".." || last->find(u'/') != std::u16string::npos) return false;
    *parentExists = true;
    size_t pos = 0;
    while (pos < folders.size()) {
        size_t next = folders.find(u'\\', pos);
        if (next == std::u16string::npos) next = folders.size();
        const std::u16string part = folders.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == u".") continue;
        if (part == u".." || part.find(u'/') != std::u16string::npos) return false;
        bool found = false;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(at, ec)) {
            if (entry.is_directory(ec) && Upper(entry.path().filename().u16string()) == Upper(part)) {
                at = entry.path();
                found = true;
                break;
            }
        }
        if (!found) {
            *parentExists = false;
            return true;
        }
    }
    *parent = at;
    return true;
}

}  // namespace

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    if (!lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::filesystem::path parent;
    std::u16string last;
    bool parentExists = false;
    if (!HostParent(lpPathName, &parent, &last, &parentExists)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (!parentExists) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
        if (Upper(entry.path().filename().u16string()) == Upper(last)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
    }
    if (!std::filesystem::create_directory(parent / std::filesystem::path(last), ec) || ec) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    std::filesystem::path parent;
    std::u16string last;
    bool parentExists = false;
    if (!lpFileName || !HostParent(lpFileName, &parent, &last, &parentExists)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!parentExists) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
        if (Upper(entry.path().filename().u16string()) == Upper(last)) {
            return entry.is_directory(ec) ? FILE_ATTRIBUTE_DIRECTORY_W : FILE_ATTRIBUTE_ARCHIVE_W;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    if (!lpPathName) return CreateDirectoryW(nullptr, lpSecurityAttributes);
    std::u16string wide;
    for (const char* p = lpPathName; *p; ++p) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return CreateDirectoryW(wide.c_str(), lpSecurityAttributes);
}
