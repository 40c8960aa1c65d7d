#include "platform/nt/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qk {
namespace {
std::atomic<Machine*> g_current{nullptr};
}

Machine::Machine(std::filesystem::path systemRoot) : root_(std::move(systemRoot)) {
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "qk: a second machine was created while one is running\n");
        std::abort();
    }
    std::error_code ec;
    std::filesystem::create_directories(DriversFolder(), ec);
}

Machine::~Machine() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard guard(lock_);
        hooks.swap(shutdownHooks_);
    }
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
    // Components go newest first: a later layer may use an earlier one while it
    // shuts down, never the other way round.
    while (true) {
        std::shared_ptr<void> last;
        {
            std::lock_guard guard(lock_);
            if (components_.empty()) break;
            last = std::move(components_.back().object);
            components_.pop_back();
        }
        last.reset();
    }
    std::vector<std::function<void()>> checks;
    {
        std::lock_guard guard(lock_);
        checks.swap(finalChecks_);
    }
    for (auto& check : checks) check();
    g_current.store(nullptr);
}

Machine& Machine::Current() {
    Machine* m = g_current.load();
    if (m == nullptr) {
        std::fprintf(stderr, "qk: a platform service was called with no machine running\n");
        std::abort();
    }
    return *m;
}

Machine* Machine::CurrentOrNull() { return g_current.load(); }

void Machine::OnShutdown(std::function<void()> hook) {
    std::lock_guard guard(lock_);
    shutdownHooks_.push_back(std::move(hook));
}

void Machine::OnFinalCheck(std::function<void()> check) {
    std::lock_guard guard(lock_);
    finalChecks_.push_back(std::move(check));
}

}  // namespace qk
