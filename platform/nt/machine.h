// The simulated machine: one per process at a time. It owns the system root
// (a folder laid out like an installation) and the per-machine state of every
// platform layer. Layers attach their state as components on first use, so the
// machine does not depend on them:
//
//   auto& hive = qk::Machine::Current().Component<qk::registry::Hive>();
//
// Tests create a fresh machine per case on a temporary root; the command-line
// tool uses a persistent root. Destroying the machine shuts it down: components
// go in the reverse order of their creation, then the shutdown checks run.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

namespace qk {

class Machine {
public:
    // Makes this machine the current one. At most one exists at a time.
    explicit Machine(std::filesystem::path systemRoot);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();         // aborts with a message when there is none
    static Machine* CurrentOrNull();

    const std::filesystem::path& SystemRoot() const { return root_; }
    std::filesystem::path SystemFolder() const { return root_ / "Windows" / "System32"; }
    std::filesystem::path DriversFolder() const { return SystemFolder() / "drivers"; }

    // The component of type T, created with T(Machine&) on first use.
    template <typename T>
    T& Component() {
        std::lock_guard guard(lock_);
        for (auto& c : components_) {
            if (c.type == std::type_index(typeid(T))) return *static_cast<T*>(c.object.get());
        }
        auto object = std::shared_ptr<void>(new T(*this), [](void* p) { delete static_cast<T*>(p); });
        components_.push_back({std::type_index(typeid(T)), object});
        return *static_cast<T*>(object.get());
    }

    // The component of type T if it exists.
    template <typename T>
    T* FindComponent() {
        std::lock_guard guard(lock_);
        for (auto& c : components_) {
            if (c.type == std::type_index(typeid(T))) return static_cast<T*>(c.object.get());
        }
        return nullptr;
    }

    // Runs before the components are destroyed (drivers unload, devices go);
    // hooks run in the reverse order of registration.
    void OnShutdown(std::function<void()> hook);

    // Runs after every component is gone (leak checks); in registration order.
    void OnFinalCheck(std::function<void()> check);

private:
    struct Entry {
        std::type_index type;
        std::shared_ptr<void> object;
    };
    std::filesystem::path root_;
    std::recursive_mutex lock_;  // guards components_, shutdownHooks_ and finalChecks_
    std::vector<Entry> components_;
    std::vector<std::function<void()>> shutdownHooks_;
    std::vector<std::function<void()>> finalChecks_;
};

}  // namespace qk
