// Descriptors handed to CallSkinHook come from another component: sizes,
// kinds, counts and strings chosen by the input (the pointers themselves
// point at the input's own bytes or are null) must be checked before use.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "outside/SkinHook/skin_descriptors.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "windows.h"
#include "winuser.h"

namespace {

struct World {
    World() : root(std::filesystem::temp_directory_path() / ("qk_fuzz_skin_" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(root / "Windows" / "System32");
        machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*machine);
        window = CreateWindowExW(0, u"Static", u"", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
        CreateWindowExW(0, u"Button", u"", WS_CHILD, 0, 0, 10, 10, window, reinterpret_cast<HMENU>(5), nullptr, nullptr);
    }
    std::filesystem::path root;
    std::unique_ptr<qk::Machine> machine;
    HWND window;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    if (size < 16) return 0;
    using namespace skinhook;
    std::vector<char> text(data + 12, data + size);
    text.push_back(0);
    const char* s = text.data();
    const uint8_t flags = data[0];
    ControlStyle style{(flags & 1) ? data[1] : static_cast<uint32_t>(sizeof(ControlStyle)), 2, (flags & 2) ? nullptr : s, {}};
    ChildDescriptor child{(flags & 4) ? data[2] : static_cast<uint32_t>(sizeof(ChildDescriptor)), data[3], (flags & 8) ? nullptr : &style};
    SkinDescriptor d{(flags & 16) ? data[4] : static_cast<uint32_t>(sizeof(SkinDescriptor)), (flags & 32) ? nullptr : s,
                     data[5], (flags & 64) ? nullptr : s, {}, static_cast<uint32_t>(data[6] | data[7] << 8),
                     (flags & 128) ? nullptr : &child};
    if (d.childCount > 1 && d.children == &child) d.childCount = 1;  // only one child really exists
    const DWORD_PTR skin = CallSkinHook(kCreate, 0, 0, 0, 0);
    CallSkinHook(kAttach, skin, 0, reinterpret_cast<DWORD_PTR>(world.window), reinterpret_cast<DWORD_PTR>(&d));
    ValueRequest v{0, s, s, 3};
    CallSkinHook(data[8] % 2 ? kReadInteger : kReadColour, skin, 0, 0, reinterpret_cast<DWORD_PTR>(&v));
    char buffer[16];
    StringRequest r{0, s, s, buffer, static_cast<uint32_t>(data[9] % 17)};
    CallSkinHook(kReadString, skin, 0, 0, reinterpret_cast<DWORD_PTR>(&r));
    CallSkinHook(kDestroy, skin, 0, 0, 0);
    return 0;
}
