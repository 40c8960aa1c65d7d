// The machine both console benchmarks run on: the package installed, the
// platform's DirectShow servers, the console's resource library and skin in
// their folders, the skinning library linked in, and the simulated camera
// plugged in and started. Set up once per benchmark program.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "capture/k0340dev_entry.h"
#include "ks.h"
#include "outside/SkinHook/skin_hook.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "platform/win32/code_modules.h"
#include "sim/camera/camera.h"
#include "tools/install/install.h"

namespace qk::bench {

struct ConsoleBenchMachine {
    explicit ConsoleBenchMachine(const std::string& name) {
        root = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
        std::filesystem::remove_all(root);
        machine = std::make_unique<qk::Machine>(root);
        qk::nt::Boot(*machine);
        qk::install::Options options;
        qk::install::Result result;
        std::string error;
        ok = qk::install::Install(options, &result, &error);
        qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
        ok = ok && NT_SUCCESS(qk::usb::WriteInstallationEntries()) && !qk::usb::StartHostController().empty();
        ok = ok && qk::dshow::InstallSystemServers() == S_OK;
        const auto system = root / "Windows" / "System32";
        const auto folder = root / "Windows" / "TWAIN_32" / "Lumora" / "QK0340";
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(QK_CONSOLE_CRL, system / "K0340Cvw.crl", std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(QK_SKIN_BUNDLE, system / "K0340Cvw.bff", std::filesystem::copy_options::overwrite_existing);
        if (!std::filesystem::exists(folder / "SkinHook.DLL")) std::ofstream(folder / "SkinHook.DLL") << "linked";
        qk::win32::RegisterStaticModule(u"SkinHook.DLL", skinhook::LookupExport);
        qk::usb::Plug(std::make_shared<qk::sim::Camera>(qk::sim::CameraConfig{}));
        qk::nt::pnp::WaitIdle();
        qk::nt::Kernel::Get().FlushWork();
        ok = ok && !qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE).empty();
    }
    ~ConsoleBenchMachine() {
        machine.reset();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    ConsoleBenchMachine(const ConsoleBenchMachine&) = delete;
    ConsoleBenchMachine& operator=(const ConsoleBenchMachine&) = delete;

    bool ok = false;
    std::filesystem::path root;
    std::unique_ptr<qk::Machine> machine;
};

}  // namespace qk::bench
