// Hostile installation commands to the camera manager: any command, blocks
// of any content whose memory is as long as their own counts say (a
// caller's count is all a library can be held to), including counts past
// what the manager takes. Strings that run to the end of their fields,
// names no key can carry and every count must be answered, never read past.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "fuzz/common/fuzz_world.h"
#include "outside/LuCamMgr/lucammgr.h"

namespace {

using qk::fuzzing::Input;

qk::Machine& TheMachine() {
    static qk::Machine& machine = qk::fuzzing::BootMachine("lucammgr");
    return machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TheMachine();
    Input in{data, size};
    lucammgr::InstallEntryPoint(0x202, nullptr);
    for (int step = 0; step < 6 && in.size > 0; ++step) {
        const uint32_t command = 0x202 + in.Take(1) % 7;
        const uint32_t count = in.Take(1) % 80;
        size_t bytes = 8;
        if (command == 0x204 || command == 0x205) bytes = 8 + 144 * static_cast<size_t>(count);
        if (command == 0x206 || command == 0x207) bytes = 784 + 388 * static_cast<size_t>(count);
        std::vector<uint8_t> block(bytes, 0);
        for (size_t i = 0; i < bytes && in.size > 0; ++i) block[i] = static_cast<uint8_t>(in.Take(1));
        if (bytes >= 8) {
            const uint32_t version = 0x101;
            std::memcpy(block.data(), &version, 4);
            if (command == 0x204 || command == 0x205) std::memcpy(block.data() + 4, &count, 4);
            if (command == 0x206 || command == 0x207) std::memcpy(block.data() + 392, &count, 4);
        }
        lucammgr::InstallEntryPoint(command, block.data());
    }
    while (lucammgr::InstallEntryPoint(0x203, nullptr) == lucammgr::kOk) {
    }
    return 0;
}
