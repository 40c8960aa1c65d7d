// The machine the audio commands run on: a system root with the package
// installed, the USB drivers' entries written and the host controller
// started, and the high-definition audio controller beside it; devices
// plugged through them are unplugged again when it goes.
// Shared by `qk0340 audio` and `qk0340 dsp eval --speech`.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/hdaudio_function.h"
#include "platform/audio/usb_audio.h"
#include "platform/hdaudio/hdaudio_bus.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"

namespace qk::cli {

class AudioMachine {
public:
    AudioMachine(const std::string& root, const std::string& modules) {
        std::string error;
        machine_ = qk::install::MachineSession::Start(root, qk::install::MachineSession::Root::Any, &error);
        if (machine_ == nullptr) throw Failure(error);
        qk::install::Options install;
        install.moduleFolder = modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(modules);
        qk::install::Result result;
        if (!qk::install::Install(install, &result, &error)) throw Failure("cannot install the package: " + error);
        if (!NT_SUCCESS(qk::usb::WriteInstallationEntries()) || !NT_SUCCESS(qk::audio::RegisterFunctionDriver())) {
            throw Failure("cannot write the USB drivers' entries");
        }
        if (qk::usb::StartHostController().empty()) throw Failure("the USB host controller did not start");
        if (!NT_SUCCESS(qk::hdaudio::WriteInstallationEntries()) || !NT_SUCCESS(qk::audio::RegisterHdFunctionDriver())) {
            throw Failure("cannot write the high-definition audio drivers' entries");
        }
        if (qk::hdaudio::StartController().empty()) throw Failure("the high-definition audio controller did not start");
    }
    ~AudioMachine() {
        for (int port : ports_) qk::usb::Unplug(port);
        for (int address : codecs_) qk::hdaudio::Unplug(address);
        qk::nt::pnp::WaitIdle();
    }
    AudioMachine(const AudioMachine&) = delete;
    AudioMachine& operator=(const AudioMachine&) = delete;

    // Plugs `device` and returns once Plug and Play has built its stacks.
    void Plug(std::shared_ptr<qk::usb::Device> device) {
        int port = qk::usb::Plug(std::move(device), qk::usb::Wait::ForPnp);
        if (port < 0) throw Failure("no free USB port");
        ports_.push_back(port);
        qk::nt::pnp::WaitIdle();
        qk::nt::Kernel::Get().FlushWork();
        qk::nt::pnp::WaitIdle();
    }

    // Attaches a codec to the high-definition audio link.
    void Plug(std::shared_ptr<qk::hdaudio::Codec> codec) {
        int address = qk::hdaudio::Plug(std::move(codec));
        if (address < 0) throw Failure("no free codec address on the high-definition audio link");
        codecs_.push_back(address);
        qk::nt::Kernel::Get().FlushWork();
        qk::nt::pnp::WaitIdle();
    }

private:
    std::unique_ptr<qk::install::MachineSession> machine_;
    std::vector<int> ports_;
    std::vector<int> codecs_;
};

}  // namespace qk::cli
