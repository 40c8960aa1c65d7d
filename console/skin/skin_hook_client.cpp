#include "console/skin/skin_hook_client.h"

#include <cstring>

namespace console {

bool SkinHookClient::AttachSkin(HWND window, const void* descriptor, const char* directory) {
    Detach();
    if (directory && *directory) {
        std::string path = directory;
        while (!path.empty() && path.back() == '\\') path.pop_back();
        library_ = LoadLibraryA((path + "\\SkinHook.DLL").c_str());
    }
    if (!library_) library_ = LoadLibraryA("SkinHook.DLL");
    if (!library_) return false;
    entry_ = reinterpret_cast<skinhook::CallSkinHookFn>(reinterpret_cast<void*>(GetProcAddress(library_, "CallSkinHook")));
    if (!entry_) {
        Detach();
        return false;
    }
    skin_ = entry_(skinhook::kCreate, 0, 0, 0, 0);
    if (!skin_) {
        Detach();
        return false;
    }
    if (!entry_(skinhook::kAttach, skin_, 0, reinterpret_cast<DWORD_PTR>(window), reinterpret_cast<DWORD_PTR>(descriptor))) {
        Detach();
        return false;
    }
    return true;
}

void SkinHookClient::Detach() {
    if (entry_ && skin_) {
        entry_(skinhook::kDetach, skin_, 0, 0, 0);
        entry_(skinhook::kDestroy, skin_, 0, 0, 0);
    }
    skin_ = 0;
    entry_ = nullptr;
    if (library_) FreeLibrary(library_);
    library_ = nullptr;
}

int SkinHookClient::ReadInteger(const std::string& section, const char* key, int fallback) {
    if (!skin_) return fallback;
    skinhook::ValueRequest r{0, section.c_str(), key, static_cast<uint32_t>(fallback)};
    return static_cast<int>(static_cast<uint32_t>(entry_(skinhook::kReadInteger, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&r))));
}

COLORREF SkinHookClient::ReadColour(const std::string& section, const char* key, COLORREF fallback) {
    if (!skin_) return fallback;
    skinhook::ValueRequest r{0, section.c_str(), key, fallback};
    return static_cast<COLORREF>(entry_(skinhook::kReadColour, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&r)));
}

bool SkinHookClient::ReadString(const std::string& section, const char* key, char* buffer, uint32_t size) {
    if (!buffer || size == 0) return false;
    buffer[0] = 0;
    if (!skin_) return false;
    skinhook::StringRequest r{0, section.c_str(), key, buffer, size};
    return entry_(skinhook::kReadString, skin_, 0, 0, reinterpret_cast<DWORD_PTR>(&r)) > 0;
}

void SkinHookClient::ApplyRegion(HWND window, const void* data) {
    if (skin_) entry_(skinhook::kApplyRegion, skin_, reinterpret_cast<DWORD_PTR>(window), 0, reinterpret_cast<DWORD_PTR>(data));
}

std::string SkinLibraryFolder() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof windows);
    return std::string(windows) + "\\TWAIN_32\\Lumora\\QK0340";
}

std::string SkinBundlePath() {
    // Both calls are looked up at run time: a system without WOW64 lacks them.
    using IsWow64ProcessFn = BOOL (*)(HANDLE, BOOL*);
    using GetSystemWow64DirectoryFn = UINT (*)(LPSTR, UINT);
    IsWow64ProcessFn isWow64 = nullptr;
    GetSystemWow64DirectoryFn wow64Directory = nullptr;
    if (HMODULE kernel = GetModuleHandleA("Kernel32.dll")) {
        isWow64 = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
        wow64Directory = reinterpret_cast<GetSystemWow64DirectoryFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemWow64DirectoryA")));
    }
    char folder[MAX_PATH] = {};
    BOOL wow64 = FALSE;
    if (!(isWow64 && wow64Directory && isWow64(GetCurrentProcess(), &wow64) && wow64 && wow64Directory(folder, sizeof folder))) {
        GetSystemDirectoryA(folder, sizeof folder);
    }
    return std::string(folder) + "\\K0340Cvw.bff";
}

}  // namespace console
