// The console K0340Cvw inside the qk0340 tool: built in under its file name,
// so that `qk0340 regsvr32 K0340Cvw.dll` registers it and `qk0340 rundll32
// K0340Cvw.dll,luCVWConsoleRunDLL32EP ...` enters it, and "RunDLL32.exe"
// known to the shell, so that a host's request for the standalone console
// starts it as the system's program would.
#include <string>

#include "console/k0340cvw.h"
#include "console/system_additions.h"
#include "platform/win32/module_table.h"
#include "tools/qk0340/command_registry.h"

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// "MODULE,ENTRY ARGS": the RunDLL32 form, run on the thread the shell gave it.
void RunDll32Program(const std::string& parameters) {
    const size_t comma = parameters.find(',');
    if (comma == std::string::npos) return;
    const size_t space = parameters.find(' ', comma);
    const std::string file = parameters.substr(0, comma);
    const std::string entryName = parameters.substr(comma + 1, space == std::string::npos ? std::string::npos
                                                                                           : space - comma - 1);
    std::string line = space == std::string::npos ? std::string() : parameters.substr(space + 1);
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(Wide(file), &error);
    if (module == nullptr) return;
    using Entry = void (*)(HWND, HINSTANCE, LPSTR, int);
    auto entry = reinterpret_cast<Entry>(qk::win32::CodeModuleExport(module, entryName.c_str()));
    if (entry != nullptr) entry(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    qk::win32::ReleaseCodeModule(module);
}

void AddConsoleCommands(CLI::App&) {
    k0340cvw::RegisterBuiltin();
    cvwsys::RegisterProgram("RunDLL32.exe", RunDll32Program);
}

}  // namespace

QK_CLI_COMMAND(AddConsoleCommands);
