// Installation of the package on a machine: the system root's folders, the
// module files and the registry entries of the tables in install_table.h.
#pragma once

#include <filesystem>
#include <string>

#include "tools/install/install_table.h"

namespace qk::install {

struct Options {
    // Where the build leaves the loadable modules; empty: copy none (the
    // drivers are registered in the process instead).
    std::filesystem::path moduleFolder;
};

struct Result {
    size_t folders = 0;
    size_t modules = 0;
    size_t keys = 0;
    size_t values = 0;
};

// Installs into the current machine's system root. The registry entries are
// written in one transaction (all or none); running it again rewrites the
// same entries and is harmless. False with a message on failure.
bool Install(const Options& options, Result* result, std::string* error);

// The folder of the running program, where the build leaves the modules.
std::filesystem::path ProgramFolder();

// The driver database key of a device: its hardware ID with '#' for '\',
// "USB#VID_FA57&PID_0340&MI_00".
std::u16string HardwareIdKey(const Device& device);

}  // namespace qk::install
