// qk0340 install --root DIR: lays out a system root with the package installed.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"

namespace {

struct InstallArguments {
    std::string root = "./qk0340-root";
    std::string modules;
};

void RunInstall(const InstallArguments& arguments) {
    std::string error;
    auto session = qk::install::MachineSession::Start(arguments.root, qk::install::MachineSession::Root::Any, &error);
    if (session == nullptr) throw qk::cli::Failure(error);
    qk::install::Options options;
    options.moduleFolder =
        arguments.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(arguments.modules);
    qk::install::Result result;
    if (!qk::install::Install(options, &result, &error)) throw qk::cli::Failure(error);
    auto count = [](size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); };
    std::printf("installed the QK0340 package into %s: %s, %s, %s, %s\n",
                std::filesystem::absolute(arguments.root).lexically_normal().c_str(),
                count(result.folders, "folder", "folders").c_str(), count(result.modules, "file", "files").c_str(),
                count(result.keys, "registry key", "registry keys").c_str(),
                count(result.values, "value", "values").c_str());
}

void AddInstallCommand(CLI::App& app) {
    auto arguments = std::make_shared<InstallArguments>();
    CLI::App* install = app.add_subcommand("install", "Lay out a system root with the package installed");
    install->add_option("--root", arguments->root, "System root folder (created when missing)")
        ->capture_default_str();
    install->add_option("--modules", arguments->modules, "Folder of the built driver and library modules (default: the program's own folder)");
    install->callback([arguments] { RunInstall(*arguments); });
}

}  // namespace

QK_CLI_COMMAND(AddInstallCommand);
