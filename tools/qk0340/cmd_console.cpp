// The console K0340Cvw inside the qk0340 tool: built in under its file name,
// so that `qk0340 regsvr32 K0340Cvw.dll` registers it and `qk0340 rundll32
// K0340Cvw.dll,luCVWConsoleRunDLL32EP ...` enters it, as does a host's
// request for the standalone console through the system's rundll32.exe.
#include <string>

#include "console/k0340cvw.h"
#include "tools/qk0340/command_registry.h"

namespace {

void AddConsoleCommands(CLI::App&) {
    k0340cvw::RegisterBuiltin();
}

}  // namespace

QK_CLI_COMMAND(AddConsoleCommands);
