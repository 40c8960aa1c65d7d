// qk0340 regsvr32 and qk0340 rundll32: the platform's two programs that call
// into a library by name, with their exit codes and messages. regsvr32 calls
// DllRegisterServer (or DllUnregisterServer with /u); rundll32 calls an
// entry point of the form void Entry(HWND, HINSTANCE, LPSTR, int). Modules
// are found as the loader finds them: built into the tool under their file
// name (the system's own libraries) or in the root's system folder, where
// the installation puts the package's.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/dshow/dshow_servers.h"
#include "platform/win32/module_table.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "windows.h"
#include "objbase.h"

namespace {

using qk::cli::Failure;

// regsvr32's exit codes.
enum RegsvrExit { kOk = 0, kFailArgs = 1, kFailOle = 2, kFailLoad = 3, kFailEntry = 4, kFailReg = 5 };

struct ModuleArguments {
    std::string root = "./qk0340-root";
    bool unregister = false;
    bool silent = false;
    std::string module;
    std::vector<std::string> rest;
};

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::unique_ptr<qk::install::MachineSession> StartMachine(const std::string& root) {
    std::string error;
    auto machine = qk::install::MachineSession::Start(root, qk::install::MachineSession::Root::Any, &error);
    if (machine == nullptr) throw Failure(error);
    // The system's own servers are part of every machine (libraries register
    // their filters through its filter mapper).
    qk::dshow::InstallSystemServers();
    return machine;
}

void Regsvr32(const ModuleArguments& a) {
    auto say = [&](const std::string& text, bool failure) {
        if (a.silent) return;
        std::fprintf(failure ? stderr : stdout, "%s\n", text.c_str());
    };
    if (a.module.empty()) {
        say("regsvr32: no module was given: regsvr32 [/u] [/s] MODULE", true);
        qk::cli::SetExitCode(kFailArgs);
        return;
    }
    auto machine = StartMachine(a.root);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        say("regsvr32: COM cannot be initialised", true);
        qk::cli::SetExitCode(kFailOle);
        return;
    }
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(Wide(a.module), &error);
    const char* entry = a.unregister ? "DllUnregisterServer" : "DllRegisterServer";
    int code = kOk;
    if (module == nullptr) {
        say("The module \"" + a.module + "\" failed to load: " + error, true);
        code = kFailLoad;
    } else {
        auto call = reinterpret_cast<HRESULT (*)()>(qk::win32::CodeModuleExport(module, entry));
        if (call == nullptr) {
            say("The module \"" + a.module + "\" was loaded but the entry-point " + entry + " was not found.", true);
            code = kFailEntry;
        } else {
            HRESULT hr = call();
            if (FAILED(hr)) {
                char text[16];
                std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
                say("The module \"" + a.module + "\" was loaded but the call to " + entry + " failed with error code " +
                        text + ".",
                    true);
                code = kFailReg;
            } else {
                say(std::string(entry) + " in " + a.module + " succeeded.", false);
            }
        }
        qk::win32::ReleaseCodeModule(module);
    }
    CoUninitialize();
    // The message is out already; the exit code tells scripts what failed.
    qk::cli::SetExitCode(code);
}

// MODULE,ENTRY: the entry's wide form is tried first, as the program does.
void Rundll32(const ModuleArguments& a) {
    size_t comma = a.module.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == a.module.size()) {
        throw Failure("rundll32: '" + a.module + "' is no MODULE,ENTRY");
    }
    std::string file = a.module.substr(0, comma), name = a.module.substr(comma + 1);
    auto machine = StartMachine(a.root);
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(Wide(file), &error);
    if (module == nullptr) throw Failure("There was a problem starting " + file + ": " + error);
    using Entry = void (*)(void* hwnd, void* instance, char* commandLine, int show);
    auto entry = reinterpret_cast<Entry>(qk::win32::CodeModuleExport(module, (name + "W").c_str()));
    if (entry == nullptr) entry = reinterpret_cast<Entry>(qk::win32::CodeModuleExport(module, name.c_str()));
    if (entry == nullptr) {
        qk::win32::ReleaseCodeModule(module);
        throw Failure("Error in " + file + ": missing entry: " + name);
    }
    std::string line;
    for (const auto& word : a.rest) line += (line.empty() ? "" : " ") + word;
    entry(nullptr, module, line.data(), 1);
    qk::win32::ReleaseCodeModule(module);
}

void AddModuleCommands(CLI::App& app) {
    auto a = std::make_shared<ModuleArguments>();
    CLI::App* regsvr = app.add_subcommand("regsvr32", "Register (or with /u unregister) a library's COM classes");
    regsvr->add_option("--root", a->root, "System root folder")->capture_default_str();
    regsvr->add_flag("-u", a->unregister, "Unregister (also /u)");
    regsvr->add_flag("-s", a->silent, "No messages (also /s)");
    regsvr->add_option("module", a->module, "MODULE (such as K0340Vfw.dll)");
    regsvr->allow_windows_style_options();
    regsvr->callback([a] { Regsvr32(*a); });

    auto r = std::make_shared<ModuleArguments>();
    CLI::App* rundll = app.add_subcommand("rundll32", "Call a library's entry point: MODULE,ENTRY ARGS");
    rundll->add_option("--root", r->root, "System root folder")->capture_default_str();
    rundll->add_option("target", r->module, "MODULE,ENTRY")->required();
    rundll->add_option("args", r->rest, "The command line handed to the entry");
    rundll->callback([r] { Rundll32(*r); });
}

}  // namespace

QK_CLI_COMMAND(AddModuleCommands);
