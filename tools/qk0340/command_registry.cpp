#include "tools/qk0340/command_registry.h"

#include <vector>

namespace qk::cli {
namespace {

std::vector<Registrar>& Registrars() {
    static std::vector<Registrar> registrars;
    return registrars;
}

int g_exitCode = 0;

}  // namespace

Registration::Registration(Registrar registrar) { Registrars().push_back(registrar); }

void SetExitCode(int code) { g_exitCode = code; }
int ExitCode() { return g_exitCode; }

void AddAllCommands(CLI::App& app) {
    for (Registrar r : Registrars()) r(app);
}

}  // namespace qk::cli
