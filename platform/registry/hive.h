// The registry of one machine: its store in <root>/registry.db, opened when
// the machine first touches the registry and kept as a machine component.
//
// Machine start: the first machine on a root drops the volatile keys of the
// last run; a second process on the same root (the command-line tool while
// the main job runs) attaches to the running machine's registry and keeps
// them. Who is first is decided by an advisory lock on <root>/registry.lock
// that every machine on the root holds shared while it runs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/nt/machine.h"
#include "platform/registry/store.h"

namespace qk::registry {

class Hive {
public:
    explicit Hive(Machine& machine);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    // Null when the database could not be opened (OpenError says why).
    Store* store() { return store_.get(); }
    const std::string& OpenError() const { return error_; }
    bool BootedFresh() const { return bootedFresh_; }

    // Per-machine settings of the user-mode view.
    void SetCallerBitnessResolver(std::function<bool()> is32BitCaller);
    bool CallerIs32Bit();
    void SetUsersMayWriteMachineHive(bool allowed);
    bool UsersMayWriteMachineHive();

private:
    std::unique_ptr<Store> store_;
    std::string error_;
    int lockFd_ = -1;
    bool bootedFresh_ = false;
    std::mutex settingsLock_;  // guards the two settings below
    std::function<bool()> is32BitCaller_;
    bool usersMayWriteMachine_ = true;
};

// Makes the mount points, hives and the keys the predefined user-mode keys
// lead to, where missing (every machine's store gets them when it opens; a
// throw-away store for tests and fuzzers through this).
NTSTATUS PrepareHives(Store::Txn& txn);

// The hive of the current machine.
Hive& CurrentHive();

// The store of the current machine; null (after a debugger message) when its
// database cannot be used.
Store* CurrentStore();

}  // namespace qk::registry
