// Dispatcher objects (events, semaphores, mutexes, timers, threads) and the
// waits on them. Every object's state is guarded by the kernel's dispatcher
// lock; a wait re-checks its objects whenever one of them is signalled.
#include <string>

#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/thread_object.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

using qk::nt::Kernel;
using qk::nt::kDispatcherMagic;
namespace verifier = qk::verifier;

namespace qk::nt {

PKTHREAD CurrentThreadBody();

namespace {

thread_local PKTHREAD t_threadBody = nullptr;

bool Initialised(const DISPATCHER_HEADER* header, const char* service) {
    if (header == nullptr || header->Magic != kDispatcherMagic) {
        verifier::Raise(verifier::Violation::ObjectMisuse,
                        Format("%s on an object that was never initialised (%p)", service, static_cast<const void*>(header)));
        return false;
    }
    return true;
}

// Whether the object would satisfy a wait by the calling thread now.
bool IsSignalled(DISPATCHER_HEADER* h) {
    if (h->Type == MutantObject) {
        auto* m = reinterpret_cast<KMUTANT*>(h);
        return m->OwnerThread == nullptr || m->OwnerThread == CurrentThreadBody();
    }
    return h->SignalState > 0;
}

// The side effect of a satisfied wait: auto-reset objects reset, counts drop.
void Consume(DISPATCHER_HEADER* h) {
    switch (h->Type) {
        case EventSynchronizationObject:
        case TimerSynchronizationObject:
            h->SignalState = 0;
            break;
        case SemaphoreObject:
            h->SignalState--;
            break;
        case MutantObject: {
            auto* m = reinterpret_cast<KMUTANT*>(h);
            m->OwnerThread = CurrentThreadBody();
            m->Recursion++;
            h->SignalState = 0;
            break;
        }
        default:
            break;
    }
}

}  // namespace

PKTHREAD CurrentThreadBody() {
    if (t_threadBody == nullptr) {
        // Threads the kernel did not start get a thread body for their lifetime.
        thread_local KTHREAD body{};
        body.Header.Type = ::ThreadObject;
        body.Header.Magic = kDispatcherMagic;
        t_threadBody = &body;
    }
    return t_threadBody;
}

void SetCurrentThreadBody(PKTHREAD thread) { t_threadBody = thread; }

}  // namespace qk::nt

using qk::nt::CurrentThreadBody;

// ---- Events --------------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header = {};
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Magic = kDispatcherMagic;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    if (!qk::nt::Initialised(&Event->Header, "KeSetEvent")) return 0;
    Kernel& k = Kernel::Get();
    Kernel::Locked locked(k);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    k.NotifyObject(locked.Wakes(), Event);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    if (!qk::nt::Initialised(&Event->Header, "KeResetEvent")) return 0;
    std::lock_guard guard(Kernel::Get().DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { (void)KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard guard(Kernel::Get().DispatcherLock());
    return Event->Header.SignalState;
}

// ---- Semaphores -------------------------------------------------------------------

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    Semaphore->Header = {};
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.SignalState = Count;
    Semaphore->Header.Magic = kDispatcherMagic;
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    if (!qk::nt::Initialised(&Semaphore->Header, "KeReleaseSemaphore")) return 0;
    Kernel& k = Kernel::Get();
    LONG previous;
    {
        Kernel::Locked locked(k);
        previous = Semaphore->Header.SignalState;
        if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
            // Beyond the limit the target raises; the count does not change.
            previous = -1;
        } else {
            Semaphore->Header.SignalState = previous + Adjustment;
            k.NotifyObject(locked.Wakes(), Semaphore);
        }
    }
    if (previous < 0) ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard guard(Kernel::Get().DispatcherLock());
    return Semaphore->Header.SignalState;
}

// ---- Mutexes ---------------------------------------------------------------------

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    Mutex->Header = {};
    Mutex->Header.Type = MutantObject;
    Mutex->Header.SignalState = 1;
    Mutex->Header.Magic = kDispatcherMagic;
    Mutex->OwnerThread = nullptr;
    Mutex->Recursion = 0;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    if (!qk::nt::Initialised(&Mutex->Header, "KeReleaseMutex")) return 0;
    Kernel& k = Kernel::Get();
    Kernel::Locked locked(k);
    if (Mutex->OwnerThread != CurrentThreadBody()) {
        verifier::Raise(verifier::Violation::MutexMisuse, "KeReleaseMutex by a thread that does not own the mutex");
        return Mutex->Header.SignalState;
    }
    LONG previous = Mutex->Header.SignalState;
    if (--Mutex->Recursion == 0) {
        Mutex->OwnerThread = nullptr;
        Mutex->Header.SignalState = 1;
        k.NotifyObject(locked.Wakes(), Mutex);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard guard(Kernel::Get().DispatcherLock());
    return Mutex->OwnerThread == nullptr ? 1 : 0;
}

// ---- Waits ------------------------------------------------------------------------

static NTSTATUS WaitForObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* service) {
    bool polling = timeout != nullptr && timeout->QuadPart == 0;
    if (!qk::nt::CheckIrqlAtMost(polling ? DISPATCH_LEVEL : APC_LEVEL, service)) {
        // A real machine stops here; this one answers as a poll so the caller goes on.
        polling = true;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i) {
        if (!qk::nt::Initialised(static_cast<DISPATCHER_HEADER*>(objects[i]), service)) return STATUS_INVALID_PARAMETER;
    }
    Kernel& k = Kernel::Get();
    int64_t deadline = polling ? k.TheClock().Now() : qk::nt::DeadlineFromTimeout(timeout);
    std::unique_lock held(k.DispatcherLock());
    NTSTATUS result = STATUS_TIMEOUT;
    k.WaitForObjects(held, deadline, objects, count, [&] {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
                if (qk::nt::IsSignalled(h)) {
                    qk::nt::Consume(h);
                    result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                    return true;
                }
            }
            return false;
        }
        for (ULONG i = 0; i < count; ++i) {
            if (!qk::nt::IsSignalled(static_cast<DISPATCHER_HEADER*>(objects[i]))) return false;
        }
        for (ULONG i = 0; i < count; ++i) qk::nt::Consume(static_cast<DISPATCHER_HEADER*>(objects[i]));
        result = STATUS_WAIT_0;
        return true;
    });
    return result;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    return WaitForObjects(1, &Object, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        verifier::Raise(verifier::Violation::ObjectMisuse,
                        qk::Format("KeWaitForMultipleObjects on %lu objects without a wait block array", Count));
        return STATUS_INVALID_PARAMETER;
    }
    return WaitForObjects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    if (!qk::nt::CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_SUCCESS;
    Kernel& k = Kernel::Get();
    int64_t deadline = qk::nt::DeadlineFromTimeout(Interval);
    if (deadline == qk::nt::kNoDeadline) return STATUS_INVALID_PARAMETER;
    std::unique_lock held(k.DispatcherLock());
    k.WaitUntil(held, deadline, [] { return false; });
    return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    // A busy wait on the target; here the platform clock decides how long it is.
    Kernel& k = Kernel::Get();
    int64_t deadline = k.TheClock().Now() + int64_t{MicroSeconds} * 10;
    std::unique_lock held(k.DispatcherLock());
    k.WaitUntil(held, deadline, [] { return false; });
}

// ---- Fast mutexes ---------------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    FastMutex->Magic = kDispatcherMagic;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    qk::nt::CheckIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    if (FastMutex->Magic != kDispatcherMagic) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "ExAcquireFastMutex on an uninitialised fast mutex");
        return;
    }
    Kernel& k = Kernel::Get();
    std::unique_lock held(k.DispatcherLock());
    if (FastMutex->Owner == CurrentThreadBody()) {
        verifier::Raise(verifier::Violation::MutexMisuse, "ExAcquireFastMutex by the thread that already owns it");
        return;
    }
    if (FastMutex->Count == 0) FastMutex->Contention++;
    k.WaitUntil(held, qk::nt::kNoDeadline, [&] { return FastMutex->Count == 1; });
    FastMutex->Count = 0;
    FastMutex->Owner = CurrentThreadBody();
    auto& ctx = qk::nt::CurrentThreadContext();
    FastMutex->OldIrql = ctx.irql;
    ctx.irql = APC_LEVEL;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    qk::nt::CheckIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    Kernel& k = Kernel::Get();
    std::lock_guard guard(k.DispatcherLock());
    if (FastMutex->Count != 1) return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = CurrentThreadBody();
    auto& ctx = qk::nt::CurrentThreadContext();
    FastMutex->OldIrql = ctx.irql;
    ctx.irql = APC_LEVEL;
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    Kernel& k = Kernel::Get();
    std::lock_guard guard(k.DispatcherLock());
    if (FastMutex->Owner != CurrentThreadBody()) {
        verifier::Raise(verifier::Violation::MutexMisuse, "ExReleaseFastMutex by a thread that does not own it");
        return;
    }
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    qk::nt::CurrentThreadContext().irql = static_cast<KIRQL>(FastMutex->OldIrql);
    k.NotifyOthers();
}

// ---- Exceptions ------------------------------------------------------------------------

[[noreturn]] VOID ExRaiseStatus(NTSTATUS Status) { throw qk::nt::StatusException(Status); }
