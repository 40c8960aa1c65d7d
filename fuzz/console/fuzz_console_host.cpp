// Hostile host traffic to luCVWEntryPoint: any command code, with instances
// that are live, destroyed, invented (also carrying the signature) or null,
// and parameter blocks of any length and content. Each block ends where a
// page the process cannot read begins, so a block shorter than its command
// needs is truly unreadable past its end: the interface must refuse it
// without touching the guard page. Every instance an input made is destroyed
// before the next input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "console/k0340cvw.h"
#include "fuzz/common/fuzz_camera.h"
#include "platform/dshow/dshow_servers.h"

namespace {

using namespace k0340cvw;

using qk::fuzzing::Input;

struct World {
    std::shared_ptr<qk::sim::Camera> camera;
    uint8_t* pages = nullptr;  // one usable page, then one the process cannot touch
    size_t page = 0;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        qk::fuzzing::BootMachine("console");
        w->camera = qk::fuzzing::InstallAndPlugCamera();
        qk::dshow::InstallSystemServers();
        w->page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, w->page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        w->pages = static_cast<uint8_t*>(p);
        mprotect(w->pages + w->page, w->page, PROT_NONE);
        return w;
    }();
    return *world;
}

constexpr uint32_t kCodes[] = {CVW_CMD_GET_VERSION, CVW_CMD_GET_INFO, CVW_CMD_CREATE, CVW_CMD_DESTROY,
                               0x1405,              0x1406,           0x1407,         CVW_CMD_LAUNCH_STANDALONE,
                               CVW_CMD_OPEN_WINDOW, 0x1400,           0x140A,         0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    Input in{data, size};
    std::vector<void*> live;
    std::vector<void*> destroyed;
    IntegratedInstance forged{};
    forged.signature = kInstanceSignature;
    for (int step = 0; step < 12 && in.size > 0; ++step) {
        const uint32_t code = kCodes[in.Take(1) % std::size(kCodes)];
        void* instance = nullptr;
        switch (in.Take(1) % 5) {
            case 0: instance = live.empty() ? nullptr : live[in.Take(1) % live.size()]; break;
            case 1: instance = destroyed.empty() ? nullptr : destroyed.back(); break;
            case 2: instance = &forged; break;
            case 3: instance = w.pages + w.page - (in.Take(2) % 2048); break;
            default: break;
        }
        // The block: up to 300 bytes of the input's content, ending at the
        // guard page (or null).
        const size_t bytes = in.Take(2) % 301;
        uint8_t* block = w.pages + w.page - bytes;
        for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<uint8_t>(in.Take(1));
        const bool null = bytes == 0 && in.Take(1) % 2 == 0;
        const DWORD result = luCVWEntryPoint(instance, code, null ? nullptr : block);
        if (code == CVW_CMD_CREATE && result == CVW_OK) {
            void* made = nullptr;
            std::memcpy(&made, block + 260, sizeof made);
            live.push_back(made);
        }
        if (code == CVW_CMD_DESTROY && result == CVW_OK) {
            for (auto it = live.begin(); it != live.end(); ++it) {
                if (*it == instance) {
                    destroyed.push_back(instance);
                    live.erase(it);
                    break;
                }
            }
        }
    }
    for (void* instance : live) {
        uint32_t block = 0;
        luCVWEntryPoint(instance, CVW_CMD_DESTROY, &block);
    }
    return 0;
}
