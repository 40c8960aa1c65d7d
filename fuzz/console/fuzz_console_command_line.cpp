// Hostile command lines to the RunDLL32 entries: any bytes up to a NUL, with
// the command words ("/closed", "/quit", "/stay ", "/prompt ", "/intro")
// mixed in at any place and letter case. The console's window and dialogs
// are the library's own, which today make no window, so every start runs its
// whole course; each must end with no named object of a console left behind.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "console/k0340cvw.h"
#include "fuzz/common/fuzz_camera.h"
#include "platform/dshow/dshow_servers.h"

namespace {

using namespace k0340cvw;

void TheWorld() {
    static bool ready = [] {
        qk::fuzzing::BootMachine("cvwline");
        qk::fuzzing::InstallAndPlugCamera();
        qk::dshow::InstallSystemServers();
        return true;
    }();
    (void)ready;
}

constexpr const char* kWords[] = {"/closed", "/quit", "/stay ", "/prompt ", "/intro", "/STAY", "QK0340 Camera",
                                  "qk0340 camera ", " "};

bool Leftover(const char* name) {
    HANDLE h = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (h == nullptr) h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (h != nullptr) CloseHandle(h);
    return h != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TheWorld();
    if (size == 0) return 0;
    const bool parental = data[0] & 1;
    std::string line;
    for (size_t i = 1; i < size; ++i) {
        // Bytes 0xF0-0xF8 stand for the command words.
        if (data[i] >= 0xF0 && data[i] < 0xF0 + std::size(kWords)) {
            line += kWords[data[i] - 0xF0];
        } else if (data[i] != 0) {
            line += static_cast<char>(data[i]);
        }
    }
    if (parental) {
        luCVWParentalRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    } else {
        luCVWConsoleRunDLL32EP(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    }
    for (const char* name : {kRestoreEventName, kQuitEventName, kCloseEventName, kIntegratedMutexName,
                             kPasswordMutexName}) {
        if (Leftover(name)) std::abort();
    }
    return 0;
}
