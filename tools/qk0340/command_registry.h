// Subcommands of the qk0340 tool register themselves from their own files:
//
//   static void AddJpegCommands(CLI::App& app) { ... }
//   QK_CLI_COMMAND(AddJpegCommands);
//
// A command reports failure by throwing qk::cli::Failure (message and exit
// code); a command whose exit code carries a result sets it with SetExitCode.
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>

namespace qk::cli {

using Registrar = void (*)(CLI::App& app);

struct Registration {
    explicit Registration(Registrar registrar);
};

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

void SetExitCode(int code);
int ExitCode();

// Adds every registered command to `app` in a stable (name) order.
void AddAllCommands(CLI::App& app);

}  // namespace qk::cli

#define QK_CLI_CONCAT2(a, b) a##b
#define QK_CLI_CONCAT(a, b) QK_CLI_CONCAT2(a, b)
#define QK_CLI_COMMAND(fn) static ::qk::cli::Registration QK_CLI_CONCAT(qkCliRegistration_, __LINE__)(fn)
