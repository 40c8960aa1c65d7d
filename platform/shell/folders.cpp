// The shell's special folders on the machine's drive. The machine has one
// interactive user, "User", whose folders lie under C:\Users\User; the
// folders of all users lie under C:\ProgramData. A folder that does not
// exist is reported as such unless the caller asks for it to be made.
#include <algorithm>
#include <string>

#include "shlobj.h"

namespace {

constexpr char16_t kUserProfile[] = u"C:\\Users\\User";
constexpr char16_t kAllUsers[] = u"C:\\ProgramData";
constexpr char16_t kStartMenu[] = u"\\Microsoft\\Windows\\Start Menu";

// The folder of a CSIDL value; empty for one this machine does not know.
std::u16string FolderOf(int csidl) {
    const std::u16string roaming = std::u16string(kUserProfile) + u"\\AppData\\Roaming";
    switch (csidl) {
        case CSIDL_PROGRAMS: return roaming + kStartMenu + u"\\Programs";
        case CSIDL_STARTMENU: return roaming + kStartMenu;
        case CSIDL_APPDATA: return roaming;
        case CSIDL_COMMON_PROGRAMS: return std::u16string(kAllUsers) + kStartMenu + u"\\Programs";
        case CSIDL_COMMON_STARTMENU: return std::u16string(kAllUsers) + kStartMenu;
        case CSIDL_COMMON_APPDATA: return kAllUsers;
        case CSIDL_WINDOWS: return u"C:\\Windows";
        // The machine's processes are native: the 32-bit system folder is the system folder.
        case CSIDL_SYSTEM:
        case CSIDL_SYSTEMX86: return u"C:\\Windows\\System32";
        case CSIDL_PROGRAM_FILES: return u"C:\\Program Files";
        default: return {};
    }
}

bool Exists(const std::u16string& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY_W);
}

// Makes the folder and every missing folder above it.
bool MakeFolders(const std::u16string& folder) {
    for (size_t at = folder.find(u'\\', 3); ; at = folder.find(u'\\', at + 1)) {
        const std::u16string part = folder.substr(0, at);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (at == std::u16string::npos) return Exists(folder);
    }
}

// The folder in `folder`, made when `create`; S_FALSE for a folder that
// is not there.
HRESULT Resolve(int csidl, bool create, std::u16string* folder) {
    *folder = FolderOf(csidl & ~CSIDL_FLAG_MASK);
    if (folder->empty()) return E_INVALIDARG;
    if (Exists(*folder)) return S_OK;
    if (!(create || (csidl & CSIDL_FLAG_CREATE))) return S_FALSE;
    return MakeFolders(*folder) ? S_OK : HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED);
}

}  // namespace

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE token, DWORD flags, LPWSTR path) {
    if (!path) return E_INVALIDARG;
    path[0] = 0;
    // Only the interactive user's own folders, as they are now.
    if (token || (flags != SHGFP_TYPE_CURRENT && flags != SHGFP_TYPE_DEFAULT)) return E_INVALIDARG;
    std::u16string folder;
    const HRESULT hr = Resolve(csidl, false, &folder);
    if (hr != S_OK) return hr;
    std::copy_n(folder.c_str(), folder.size() + 1, path);
    return S_OK;
}

HRESULT SHGetFolderPathA(HWND hwnd, int csidl, HANDLE token, DWORD flags, LPSTR path) {
    if (!path) return E_INVALIDARG;
    WCHAR wide[MAX_PATH];
    const HRESULT hr = SHGetFolderPathW(hwnd, csidl, token, flags, wide);
    path[0] = 0;
    // The ANSI form reports a missing folder as a failure.
    if (hr == S_FALSE) return E_FAIL;
    if (hr != S_OK) return hr;
    size_t i = 0;
    for (; wide[i]; ++i) path[i] = wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?';
    path[i] = 0;
    return S_OK;
}

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
    if (!path) return FALSE;
    path[0] = 0;
    std::u16string folder;
    if (Resolve(csidl, create != FALSE, &folder) != S_OK) return FALSE;
    std::copy_n(folder.c_str(), folder.size() + 1, path);
    return TRUE;
}

BOOL SHGetSpecialFolderPathA(HWND hwnd, LPSTR path, int csidl, BOOL create) {
    if (!path) return FALSE;
    WCHAR wide[MAX_PATH];
    path[0] = 0;
    if (!SHGetSpecialFolderPathW(hwnd, wide, csidl, create)) return FALSE;
    size_t i = 0;
    for (; wide[i]; ++i) path[i] = wide[i] < 0x100 ? static_cast<char>(wide[i]) : '?';
    path[i] = 0;
    return TRUE;
}
