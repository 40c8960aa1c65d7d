// The console's resource library "K0340Cvw.crl": loaded by name whenever
// the console is about to show a window or needs a string, made the
// resource source of the console while it is loaded, and unloaded after.
// A missing library is not reported: without it no window can be built,
// and the caller ends quietly.
#pragma once

#include "windows.h"

namespace console {

class ResourceLibrary {
public:
    // Loads the library and makes it the resource source; Loaded() tells
    // whether that worked.
    ResourceLibrary();
    // Unloads it, and gives back the resource source it replaced.
    ~ResourceLibrary();
    ResourceLibrary(const ResourceLibrary&) = delete;
    ResourceLibrary& operator=(const ResourceLibrary&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    HMODULE Module() const { return module_; }
    // For the integrated window, which keeps the library for its whole life
    // and frees it on the host's destroy command: the caller owns the handle.
    HMODULE Release();

private:
    HMODULE module_ = nullptr;
    HMODULE previous_ = nullptr;
};

}  // namespace console
