// A booted fuzz machine with the package installed and the simulated camera
// plugged in, its capture driver started. For targets that link the
// driver, the simulated camera and the installer.
#pragma once

#include <memory>
#include <string>

#include "capture/k0340dev_entry.h"
#include "fuzz/common/fuzz_world.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "sim/camera/camera.h"
#include "tools/install/install.h"

namespace qk::fuzzing {

// The clock runs `speed` times real time, so that waits of the driver
// (the exposure's 500 ms, the frames) pass quickly.
inline std::shared_ptr<qk::sim::Camera> InstallAndPlugCamera(double speed = 20.0) {
    qk::nt::Kernel::Get().TheClock().SetRealTime(speed);
    qk::install::Options options;
    qk::install::Result result;
    std::string error;
    // The files and keys the driver needs are written even when a module
    // file of the package is missing beside the target: go on regardless.
    qk::install::Install(options, &result, &error);
    qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
    qk::usb::WriteInstallationEntries();
    qk::usb::StartHostController();
    auto camera = std::make_shared<qk::sim::Camera>();
    qk::usb::Plug(camera);
    qk::nt::pnp::WaitIdle();
    qk::nt::Kernel::Get().FlushWork();
    return camera;
}

}  // namespace qk::fuzzing
