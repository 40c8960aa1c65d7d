// qk0340: the package's command-line tool. Subcommands live in cmd_*.cpp.
#include <cstdio>
#include <exception>

#include "tools/qk0340/command_registry.h"

int main(int argc, char** argv) {
    CLI::App app{"qk0340 - the QK0340 camera package on its simulated machine"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "qk0340 0.1");
    qk::cli::AddAllCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const qk::cli::Failure& e) {
        std::fprintf(stderr, "qk0340: error: %s\n", e.what());
        return e.exitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qk0340: error: %s\n", e.what());
        return 1;
    }
    return qk::cli::ExitCode();
}
