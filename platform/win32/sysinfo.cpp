// Folders of the system, the process's kind and the user's language.
#include <cstring>
#include <string>

#include "windows.h"

namespace {

UINT Copy(const char* text, LPSTR buffer, UINT size) {
    const UINT length = static_cast<UINT>(std::strlen(text));
    if (!buffer || size <= length) return length + 1;  // the size needed
    std::memcpy(buffer, text, length + 1);
    return length;
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return Copy("C:\\Windows", buffer, size); }
UINT GetSystemDirectoryA(LPSTR buffer, UINT size) { return Copy("C:\\Windows\\System32", buffer, size); }

UINT GetSystemWow64DirectoryA(LPSTR, UINT) {
    // No process of this machine runs under WOW64.
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

BOOL IsWow64Process(HANDLE process, BOOL* wow64) {
    if (!wow64) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = FALSE;
    return TRUE;
}

LANGID GetUserDefaultLangID() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Control Panel\\International", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0x0409;
    char16_t text[16] = {};
    DWORD size = sizeof text - sizeof(char16_t);
    DWORD type = 0;
    LANGID language = 0x0409;
    if (RegQueryValueExW(key, u"Locale", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS && type == REG_SZ) {
        uint32_t value = 0;
        bool ok = text[0] != 0;
        for (int i = 0; text[i] && i < 8; ++i) {
            const char16_t c = text[i];
            const int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
            if (digit < 0) {
                ok = false;
                break;
            }
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        if (ok) language = static_cast<LANGID>(value & 0xFFFF);
    }
    RegCloseKey(key);
    return language;
}
