// Spin locks and the interlocked lists built on them. A held lock records its
// owner so that recursion (a certain deadlock on the target) and releases by
// a thread that does not hold it are reported.
#include <thread>

#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"
#include "wdm.h"

namespace {

ULONG_PTR OwnerToken() {
    thread_local char marker;
    return reinterpret_cast<ULONG_PTR>(&marker) | 1;
}

void Acquire(PKSPIN_LOCK lock, const char* service) {
    ULONG_PTR me = OwnerToken();
    ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (current == me) {
        qk::verifier::Raise(qk::verifier::Violation::SpinLockMisuse,
                            qk::Format("%s: spin lock %p acquired again by its owner", service, static_cast<void*>(lock)));
        return;  // carrying on as if acquired keeps the caller's release balanced
    }
    unsigned spins = 0;
    while (true) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        // One host core may run both contenders: yield instead of burning it.
        if (++spins > 64) std::this_thread::yield();
    }
}

void Release(PKSPIN_LOCK lock, const char* service) {
    ULONG_PTR me = OwnerToken();
    ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (current != me) {
        qk::verifier::Raise(qk::verifier::Violation::SpinLockMisuse,
                            qk::Format("%s: spin lock %p released by a thread that does not hold it", service,
                                       static_cast<void*>(lock)));
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    auto& ctx = qk::nt::CurrentThreadContext();
    *OldIrql = ctx.irql;
    ctx.irql = DISPATCH_LEVEL;
    Acquire(SpinLock, "KeAcquireSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Release(SpinLock, "KeReleaseSpinLock");
    auto& ctx = qk::nt::CurrentThreadContext();
    if (NewIrql > ctx.irql) {
        qk::verifier::Raise(qk::verifier::Violation::IrqlMismatch,
                            qk::Format("KeReleaseSpinLock to IRQL %u above the current %u", NewIrql, ctx.irql));
    }
    ctx.irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (qk::nt::CurrentThreadContext().irql != DISPATCH_LEVEL) {
        qk::verifier::Raise(qk::verifier::Violation::IrqlNotDispatch,
                            qk::Format("KeAcquireSpinLockAtDpcLevel at IRQL %u", qk::nt::CurrentThreadContext().irql));
    }
    Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (qk::nt::CurrentThreadContext().irql != DISPATCH_LEVEL) {
        qk::verifier::Raise(qk::verifier::Violation::IrqlNotDispatch,
                            qk::Format("KeReleaseSpinLockFromDpcLevel at IRQL %u", qk::nt::CurrentThreadContext().irql));
    }
    Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->Lock = SpinLock;
    KeAcquireSpinLock(SpinLock, &LockHandle->OldIrql);
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql);
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

// The interlocked list calls run with the lock held at raised IRQL, so they
// may be used from any IRQL up to DISPATCH_LEVEL.
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}
