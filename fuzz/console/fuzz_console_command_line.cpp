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

#include "capture/k0340dev_entry.h"
#include "console/k0340cvw.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "sim/camera/camera.h"
#include "tools/install/install.h"

namespace {

using namespace k0340cvw;

void TheWorld() {
    static bool ready = [] {
        auto root = std::filesystem::temp_directory_path() / ("qk-fuzz-cvwline-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        auto* machine = new qk::Machine(root);
        qk::nt::Boot(*machine);
        qk::nt::Kernel::Get().TheClock().SetRealTime(20.0);
        qk::install::Options options;
        qk::install::Result result;
        std::string error;
        qk::install::Install(options, &result, &error);
        qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
        qk::usb::WriteInstallationEntries();
        qk::usb::StartHostController();
        qk::usb::Plug(std::make_shared<qk::sim::Camera>());
        qk::nt::pnp::WaitIdle();
        qk::nt::Kernel::Get().FlushWork();
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
