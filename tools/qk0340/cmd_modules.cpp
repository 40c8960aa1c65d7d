// qk0340 regsvr32 and qk0340 rundll32: the platform's two programs that call
// into a library by name, with their exit codes and messages. regsvr32 calls
// DllRegisterServer (or DllUnregisterServer with /u); rundll32 calls an
// entry point of the form void Entry(HWND, HINSTANCE, LPSTR, int). Modules
// are found as the loader finds them: built into the tool under their file
// name (the system's own libraries) or in the root's system folder, where
// the installation puts the package's. The same two are the machine's
// programs rundll32.exe and regsvr32.exe, which other programs start.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/dshow/dshow_servers.h"
#include "platform/win32/module_table.h"
#include "platform/win32/programs.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "objbase.h"
#include "windows.h"
#include "winuser.h"

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

// Calls the registration entry of `file`; the program's exit code.
int RegisterModule(const std::string& file, bool unregister, bool silent) {
    auto say = [&](const std::string& text, bool failure) {
        if (silent) return;
        std::fprintf(failure ? stderr : stdout, "%s\n", text.c_str());
    };
    if (file.empty()) {
        say("regsvr32: no module was given: regsvr32 [/u] [/s] MODULE", true);
        return kFailArgs;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        say("regsvr32: COM cannot be initialised", true);
        return kFailOle;
    }
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(Wide(file), &error);
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    int code = kOk;
    if (module == nullptr) {
        say("The module \"" + file + "\" failed to load: " + error, true);
        code = kFailLoad;
    } else {
        auto call = reinterpret_cast<HRESULT (*)()>(qk::win32::CodeModuleExport(module, entry));
        if (call == nullptr) {
            say("The module \"" + file + "\" was loaded but the entry-point " + entry + " was not found.", true);
            code = kFailEntry;
        } else {
            HRESULT hr = call();
            if (FAILED(hr)) {
                char text[16];
                std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
                say("The module \"" + file + "\" was loaded but the call to " + entry + " failed with error code " +
                        text + ".",
                    true);
                code = kFailReg;
            } else {
                say(std::string(entry) + " in " + file + " succeeded.", false);
            }
        }
        qk::win32::ReleaseCodeModule(module);
    }
    CoUninitialize();
    return code;
}

void Regsvr32(const ModuleArguments& a) {
    std::unique_ptr<qk::install::MachineSession> machine;
    if (!a.module.empty()) machine = StartMachine(a.root);
    // The message is out already; the exit code tells scripts what failed.
    qk::cli::SetExitCode(RegisterModule(a.module, a.unregister, a.silent));
}

// "MODULE,ENTRY" and the entry's command line: the entry's wide form is
// tried first, as the program does. Empty, or what went wrong.
std::string CallEntry(const std::string& target, std::string line, int show) {
    const size_t comma = target.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == target.size()) {
        return "rundll32: '" + target + "' is no MODULE,ENTRY";
    }
    const std::string file = target.substr(0, comma), name = target.substr(comma + 1);
    std::string error;
    qk::win32::CodeModule* module = qk::win32::LoadCodeModule(Wide(file), &error);
    if (module == nullptr) return "There was a problem starting " + file + ": " + error;
    using Entry = void (*)(void* hwnd, void* instance, char* commandLine, int show);
    auto entry = reinterpret_cast<Entry>(qk::win32::CodeModuleExport(module, (name + "W").c_str()));
    if (entry == nullptr) entry = reinterpret_cast<Entry>(qk::win32::CodeModuleExport(module, name.c_str()));
    if (entry == nullptr) {
        qk::win32::ReleaseCodeModule(module);
        return "Error in " + file + ": missing entry: " + name;
    }
    entry(nullptr, module, line.data(), show);
    qk::win32::ReleaseCodeModule(module);
    return {};
}

// The system's two programs, as other programs start them (CreateProcess,
// ShellExecute): on a thread of their own, with their command line.
int RunDll32Program(const char* arguments, int show) {
    const std::string line = arguments ? arguments : "";
    const size_t space = line.find(' ');
    const std::string error =
        CallEntry(line.substr(0, space), space == std::string::npos ? std::string() : line.substr(space + 1), show);
    if (error.empty()) return 0;
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
}

int Regsvr32Program(const char* arguments, int) {
    bool unregister = false, silent = false;
    std::string file;
    std::string line = arguments ? arguments : "";
    size_t pos = 0;
    while (pos < line.size()) {
        const size_t end = std::min(line.find(' ', pos), line.size());
        const std::string word = line.substr(pos, end - pos);
        pos = end + 1;
        if (word.empty()) continue;
        if (word == "/u" || word == "/U" || word == "-u") {
            unregister = true;
        } else if (word == "/s" || word == "/S" || word == "-s") {
            silent = true;
        } else if (file.empty()) {
            file = word;
        }
    }
    return RegisterModule(file, unregister, silent);
}

void Rundll32(const ModuleArguments& a) {
    if (a.module.find(',') == std::string::npos) throw Failure("rundll32: '" + a.module + "' is no MODULE,ENTRY");
    auto machine = StartMachine(a.root);
    std::string line;
    for (const auto& word : a.rest) line += (line.empty() ? "" : " ") + word;
    const std::string error = CallEntry(a.module, line, SW_SHOWNORMAL);
    if (!error.empty()) throw Failure(error);
}

void AddModuleCommands(CLI::App& app) {
    qk::win32::RegisterProgram(u"rundll32.exe", RunDll32Program, qk::win32::ProgramPlace::System);
    qk::win32::RegisterProgram(u"regsvr32.exe", Regsvr32Program, qk::win32::ProgramPlace::System);
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
