#include "platform/registry/hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>

#include "platform/registry/names.h"
#include "platform/registry/registry.h"
#include "wdm.h"

namespace qk::registry {
namespace {

// Keys every machine has: the mount points of the hives, the hives, and the
// keys the predefined user-mode keys lead to.
struct SkeletonKey {
    std::u16string_view parentPath;  // levels below \REGISTRY, backslash-separated; empty for \REGISTRY
    std::u16string_view name;
    int flags;  // kKeyMountPoint, kKeyHiveRoot, or 0 for an ordinary key
};

constexpr std::u16string_view kUserHivePath = u"USER\\S-1-5-21-1004336348-1177238915-682003330-1001";
static_assert(kUserHivePath.substr(5) == kMachineUserSid);

constexpr SkeletonKey kSkeleton[] = {
    {.parentPath = u"", .name = u"MACHINE", .flags = kKeyMountPoint},
    {.parentPath = u"", .name = u"USER", .flags = kKeyMountPoint},
    {.parentPath = u"MACHINE", .name = u"SOFTWARE", .flags = kKeyHiveRoot},
    {.parentPath = u"MACHINE", .name = u"SYSTEM", .flags = kKeyHiveRoot},
    {.parentPath = u"USER", .name = u".DEFAULT", .flags = kKeyHiveRoot},
    {.parentPath = u"USER", .name = kMachineUserSid, .flags = kKeyHiveRoot},
    {.parentPath = u"MACHINE\\SOFTWARE", .name = u"Classes", .flags = 0},
    {.parentPath = u"MACHINE\\SOFTWARE", .name = u"Wow6432Node", .flags = 0},
    {.parentPath = u"MACHINE\\SOFTWARE\\Classes", .name = u"Wow6432Node", .flags = 0},
    {.parentPath = kUserHivePath, .name = u"Software", .flags = 0},
};

}  // namespace

NTSTATUS PrepareHives(Store::Txn& txn) {
    for (const auto& entry : kSkeleton) {
        std::vector<std::u16string> levels;
        NTSTATUS status = entry.parentPath.empty() ? STATUS_SUCCESS : SplitRelativePath(entry.parentPath, &levels);
        KeyRecord parent, key;
        if (NT_SUCCESS(status)) status = txn.Resolve(kRootKeyId, levels, &parent);
        if (!NT_SUCCESS(status)) return status;
        if (entry.flags != 0) {
            status = txn.CreateSystemKey(parent.id, entry.name, entry.flags, &key);
        } else {
            bool created;
            status = txn.CreateSubKey(parent.id, entry.name, u"", false, &key, &created);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

Hive::Hive(Machine& machine) {
    const auto& root = machine.SystemRoot();
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    lockFd_ = ::open((root / "registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ >= 0) {
        bootedFresh_ = ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
        if (!bootedFresh_) ::flock(lockFd_, LOCK_SH);
    } else {
        bootedFresh_ = true;  // no lock possible (read-only root): nobody else can be running usefully
    }
    store_ = Store::Open((root / "registry.db").string(), Store::Durability::Full, &error_);
    if (store_ != nullptr) {
        Store::Txn txn(*store_, Store::Txn::Mode::Write);
        NTSTATUS status = txn.Status();
        if (NT_SUCCESS(status) && bootedFresh_) status = txn.DropVolatileKeys();
        if (NT_SUCCESS(status)) status = PrepareHives(txn);
        if (NT_SUCCESS(status)) status = txn.Commit();
        if (!NT_SUCCESS(status)) {
            error_ = (root / "registry.db").string() + " cannot be prepared (status " + std::to_string(status) + ")";
            store_.reset();
        }
    }
    if (!error_.empty()) DbgPrint("REGISTRY: %s\n", error_.c_str());
    // Running: later machines on this root attach instead of starting afresh.
    if (lockFd_ >= 0 && bootedFresh_) ::flock(lockFd_, LOCK_SH);
}

Hive::~Hive() {
    store_.reset();
    if (lockFd_ >= 0) ::close(lockFd_);
}

void Hive::SetCallerBitnessResolver(std::function<bool()> is32BitCaller) {
    std::lock_guard guard(settingsLock_);
    is32BitCaller_ = std::move(is32BitCaller);
}

bool Hive::CallerIs32Bit() {
    std::function<bool()> resolver;
    {
        std::lock_guard guard(settingsLock_);
        resolver = is32BitCaller_;
    }
    return resolver ? resolver() : false;
}

void Hive::SetUsersMayWriteMachineHive(bool allowed) {
    std::lock_guard guard(settingsLock_);
    usersMayWriteMachine_ = allowed;
}

bool Hive::UsersMayWriteMachineHive() {
    std::lock_guard guard(settingsLock_);
    return usersMayWriteMachine_;
}

Hive& CurrentHive() { return Machine::Current().Component<Hive>(); }

Store* CurrentStore() { return CurrentHive().store(); }

void SetCallerBitnessResolver(std::function<bool()> is32BitCaller) {
    CurrentHive().SetCallerBitnessResolver(std::move(is32BitCaller));
}

void SetUsersMayWriteMachineHive(bool allowed) { CurrentHive().SetUsersMayWriteMachineHive(allowed); }

std::string StoreError() { return CurrentHive().OpenError(); }

}  // namespace qk::registry
