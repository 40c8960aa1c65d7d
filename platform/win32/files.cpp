// Files and folders of drive C: (the system root on the host), each part of
// a path matched without case, and the folder listing. A read-only file is
// one whose owner may not write it on the host.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fileapi.h"
#include "platform/win32/host_paths.h"

namespace {

namespace fs = std::filesystem;

std::u16string Widen(const char* text) {
    std::u16string wide;
    for (const char* p = text; *p; ++p) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return wide;
}

fs::path Host(LPCSTR path) { return path == nullptr ? fs::path{} : qk::win32::HostEntry(Widen(path)); }

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD AttributesOf(const fs::path& p) {
    std::error_code ec;
    const fs::file_status status = fs::status(p, ec);
    if (ec || !fs::exists(status)) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = 0;
    if (fs::is_directory(status)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

struct Listing {
    std::vector<std::pair<std::string, DWORD>> entries;
    size_t next = 0;
};
std::mutex g_listingLock;  // guards Listings()
std::map<HANDLE, std::unique_ptr<Listing>>& Listings() {
    static auto* listings = new std::map<HANDLE, std::unique_ptr<Listing>>;
    return *listings;
}
std::atomic<uintptr_t> g_nextListing{0x7F000000};

void Fill(WIN32_FIND_DATAA* data, const std::pair<std::string, DWORD>& entry) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.second;
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", entry.first.c_str());
}

}  // namespace

BOOL RemoveDirectoryA(LPCSTR path) {
    const fs::path host = Host(path);
    std::error_code ec;
    if (host.empty() || !fs::is_directory(host, ec)) return FailWith(ERROR_PATH_NOT_FOUND);
    if (host == qk::win32::HostEntry(u"C:\\")) return FailWith(ERROR_ACCESS_DENIED);
    if (!fs::is_empty(host, ec)) return FailWith(ERROR_DIR_NOT_EMPTY);
    if (!fs::remove(host, ec)) return FailWith(ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    const fs::path host = Host(path);
    std::error_code ec;
    if (host.empty() || !fs::is_regular_file(host, ec)) return FailWith(ERROR_FILE_NOT_FOUND);
    if ((AttributesOf(host) & FILE_ATTRIBUTE_READONLY) != 0) return FailWith(ERROR_ACCESS_DENIED);
    if (!fs::remove(host, ec)) return FailWith(ERROR_ACCESS_DENIED);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    const fs::path host = Host(path);
    const DWORD attributes = host.empty() ? INVALID_FILE_ATTRIBUTES : AttributesOf(host);
    if (attributes == INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_FILE_NOT_FOUND);
    return attributes;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    const fs::path host = Host(path);
    if (host.empty()) return FailWith(ERROR_FILE_NOT_FOUND);
    std::error_code ec;
    fs::permissions(host, fs::perms::owner_write,
                    (attributes & FILE_ATTRIBUTE_READONLY) ? fs::perm_options::remove : fs::perm_options::add, ec);
    return ec ? FailWith(ERROR_ACCESS_DENIED) : TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    if (pattern == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string p(pattern);
    if (p.size() < 2 || p.compare(p.size() - 2, 2, "\\*") != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string folderPath = p.substr(0, p.size() - 2);
    if (folderPath.size() == 2 && folderPath[1] == ':') folderPath += '\\';  // "C:\*": the drive's root
    const fs::path folder = Host(folderPath.c_str());
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto listing = std::make_unique<Listing>();
    listing->entries.push_back({".", FILE_ATTRIBUTE_DIRECTORY});
    listing->entries.push_back({"..", FILE_ATTRIBUTE_DIRECTORY});
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        listing->entries.push_back({entry.path().filename().string(), AttributesOf(entry.path())});
    }
    Fill(data, listing->entries[0]);
    listing->next = 1;
    HANDLE h = reinterpret_cast<HANDLE>(g_nextListing.fetch_add(4));
    std::lock_guard guard(g_listingLock);
    Listings()[h] = std::move(listing);
    return h;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    std::lock_guard guard(g_listingLock);
    auto it = Listings().find(find);
    if (it == Listings().end() || data == nullptr) return FailWith(ERROR_INVALID_HANDLE);
    Listing& listing = *it->second;
    if (listing.next >= listing.entries.size()) return FailWith(ERROR_NO_MORE_FILES);
    Fill(data, listing.entries[listing.next++]);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    std::lock_guard guard(g_listingLock);
    return Listings().erase(find) == 1 ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}
