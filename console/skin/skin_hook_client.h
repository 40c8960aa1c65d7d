// The console's binding to the skinning library: one client per skinned
// window, owned by that window. Attaching loads "SkinHook.DLL" (from the
// console's folder, else by name, which finds the copy the console window
// already loaded), creates a skin and attaches it with a descriptor; values
// are read through the library with their defaults.
#pragma once

#include <string>

#include "outside/SkinHook/skin_descriptors.h"
#include "windows.h"
#include "winuser.h"

namespace console {

class SkinHookClient {
public:
    SkinHookClient() = default;
    ~SkinHookClient() { Detach(); }
    SkinHookClient(const SkinHookClient&) = delete;
    SkinHookClient& operator=(const SkinHookClient&) = delete;

    // `directory` may be null (search by name) and may end in a backslash.
    bool AttachSkin(HWND window, const void* descriptor, const char* directory);
    void Detach();
    bool Attached() const { return skin_ != 0; }

    int ReadInteger(const std::string& section, const char* key, int fallback);
    COLORREF ReadColour(const std::string& section, const char* key, COLORREF fallback);
    // Copies the value into `buffer` (NUL-terminated); false when missing.
    bool ReadString(const std::string& section, const char* key, char* buffer, uint32_t size);
    void ApplyRegion(HWND window, const void* data);

private:
    HMODULE library_ = nullptr;
    skinhook::CallSkinHookFn entry_ = nullptr;
    DWORD_PTR skin_ = 0;
};

// The folder the console windows load the skinning library from
// ("TWAIN_32\Lumora\QK0340" in the Windows folder) and the skin bundle
// ("K0340Cvw.bff" in the 32-bit system folder).
std::string SkinLibraryFolder();
std::string SkinBundlePath();

}  // namespace console
