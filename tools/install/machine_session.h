// A simulated machine on a system root for one run of a command. The run is a
// process of its own: it sees what other processes on the root committed, and
// a machine already running on the root keeps its volatile keys.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/nt/machine.h"

namespace qk::install {

class MachineSession {
public:
    enum class Root {
        Installed,  // the root must hold a registry (qk0340 install made it)
        Any,        // created when missing
    };
    // Null with a message when the root cannot be used.
    static std::unique_ptr<MachineSession> Start(const std::filesystem::path& root, Root need, std::string* error);
    ~MachineSession();

private:
    explicit MachineSession(const std::filesystem::path& root);
    Machine machine_;
};

}  // namespace qk::install
