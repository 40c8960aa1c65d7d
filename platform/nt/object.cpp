#include "platform/nt/object.h"

#include <mutex>
#include <unordered_map>

#include "platform/nt/machine.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::nt {
namespace {

// Kernel handles look like the target's (high bit set, multiples of 4) and are
// never reused within a machine, so a stale handle is always caught.
constexpr uintptr_t kHandleBase = 0xFFFFFFFF80000000ull;

struct HandleTable {
    explicit HandleTable(Machine&) {}
    std::mutex lock;  // guards entries and next
    struct Entry {
        std::shared_ptr<KernelObject> object;
        ACCESS_MASK granted;
    };
    std::unordered_map<uintptr_t, Entry> entries;
    uintptr_t next = 1;
};

HandleTable& Table() { return Machine::Current().Component<HandleTable>(); }

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, ACCESS_MASK granted) {
    auto& t = Table();
    std::lock_guard guard(t.lock);
    uintptr_t value = kHandleBase + 4 * t.next++;
    t.entries.emplace(value, HandleTable::Entry{std::move(object), granted});
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS LookupHandle(HANDLE handle, std::shared_ptr<KernelObject>* object, ACCESS_MASK* granted) {
    auto& t = Table();
    std::lock_guard guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end()) {
        verifier::Raise(verifier::Violation::HandleMisuse, Format("handle %p is not open", handle));
        return STATUS_INVALID_HANDLE;
    }
    *object = it->second.object;
    if (granted) *granted = it->second.granted;
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle, bool reportMisuse) {
    std::shared_ptr<KernelObject> dying;  // released outside the lock: its destructor may call back
    auto& t = Table();
    {
        std::lock_guard guard(t.lock);
        auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.entries.end()) {
            if (reportMisuse) {
                verifier::Raise(verifier::Violation::HandleMisuse, Format("ZwClose of handle %p, which is not open", handle));
            }
            return STATUS_INVALID_HANDLE;
        }
        dying = std::move(it->second.object);
        t.entries.erase(it);
    }
    return STATUS_SUCCESS;
}

size_t OpenHandleCount() {
    auto& t = Table();
    std::lock_guard guard(t.lock);
    return t.entries.size();
}

}  // namespace qk::nt

NTSTATUS ZwClose(HANDLE Handle) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    return qk::nt::CloseHandle(Handle);
}
