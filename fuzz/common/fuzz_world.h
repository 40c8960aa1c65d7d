// What the fuzz targets that need a running machine share: a machine booted
// in a temporary root of its own (removed when the process ends), the
// package installed with the simulated camera plugged in and its driver
// started, and the fuzz input read as numbers.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"

namespace qk::fuzzing {

// The input's bytes taken from the front as big-endian numbers; zeros once
// it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    uint32_t Take(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes && size > 0; ++i, --size) v = (v << 8) | *data++;
        return v;
    }
};

// A machine booted in "<temp>/qk-fuzz-<name>-<pid>", living as long as the
// process; its root goes when the process ends.
inline qk::Machine& BootMachine(const std::string& name) {
    static const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("qk-fuzz-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    auto* machine = new qk::Machine(root);
    qk::nt::Boot(*machine);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    return *machine;
}

}  // namespace qk::fuzzing
