// Timers, DPCs, the time queries and floating-point state saving.
#include <algorithm>
#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/thread_object.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

using qk::nt::Kernel;
namespace verifier = qk::verifier;

namespace {
// 15.625 ms: the clock-interrupt interval of the target.
constexpr ULONG kTimeIncrement = 156250;
constexpr ULONG kFloatingSaveMagic = 0x50535046;  // marks a save area in use
}  // namespace

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    *Dpc = {};
    Dpc->Type = 19;
    Dpc->Magic = qk::nt::kDispatcherMagic;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->Driver = qk::nt::CurrentThreadContext().driver;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (Dpc->Magic != qk::nt::kDispatcherMagic) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "KeInsertQueueDpc on an uninitialised DPC");
        return FALSE;
    }
    return Kernel::Get().QueueDpc(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return Kernel::Get().RemoveDpc(Dpc) ? TRUE : FALSE; }

VOID KeFlushQueuedDpcs() {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    Kernel::Get().FlushDpcs();
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    *Timer = {};
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Magic = qk::nt::kDispatcherMagic;
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Timer->Header.Magic != qk::nt::kDispatcherMagic || (Dpc && Dpc->Magic != qk::nt::kDispatcherMagic)) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "KeSetTimer on an uninitialised timer or DPC");
        return FALSE;
    }
    if (Period < 0) Period = 0;
    Kernel& k = Kernel::Get();
    // A relative time counts from now; an absolute one is system time.
    int64_t due = DueTime.QuadPart <= 0 ? k.TheClock().Now() - DueTime.QuadPart
                                        : DueTime.QuadPart - k.TheClock().BootSystemTime();
    return k.SetTimer(Timer, due, Period, Dpc) ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    return Kernel::Get().CancelTimer(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard guard(Kernel::Get().DispatcherLock());
    return Timer->Header.SignalState != 0;
}

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = Kernel::Get().TheClock().Now() / kTimeIncrement;
}

ULONG KeQueryTimeIncrement() { return kTimeIncrement; }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = Kernel::Get().TheClock().SystemTime(); }

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(Kernel::Get().TheClock().Now()); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = qk::nt::kSecond;
    LARGE_INTEGER now;
    now.QuadPart = Kernel::Get().TheClock().Now();
    return now;
}

NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSaveFloatingPointState");
    auto& ctx = qk::nt::CurrentThreadContext();
    if (Kernel::Get().FloatingPointSaveFails()) {
        // A failed save leaves nothing to restore.
        FloatSave->Magic = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FloatSave->Magic = kFloatingSaveMagic;
    FloatSave->Depth = static_cast<ULONG>(++ctx.floatingPointSaves);
    return STATUS_SUCCESS;
}

// The extended state save follows the floating-point save's rules and shares
// its fault injection: a driver that brackets its vector code with both sees
// either fail.
NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSaveExtendedProcessorState");
    auto& ctx = qk::nt::CurrentThreadContext();
    if (Kernel::Get().FloatingPointSaveFails()) {
        XStateSave->Magic = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    XStateSave->Mask = Mask;
    XStateSave->Magic = kFloatingSaveMagic;
    XStateSave->Depth = static_cast<ULONG>(++ctx.extendedStateSaves);
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    auto& ctx = qk::nt::CurrentThreadContext();
    if (XStateSave->Magic != kFloatingSaveMagic || ctx.extendedStateSaves <= 0) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse, "KeRestoreExtendedProcessorState without a matching save");
        return;
    }
    if (XStateSave->Depth != static_cast<ULONG>(ctx.extendedStateSaves)) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse,
                        qk::Format("extended states restored out of order (save %lu, depth %d)", XStateSave->Depth,
                                   ctx.extendedStateSaves));
    }
    XStateSave->Magic = 0;
    ctx.extendedStateSaves = std::max(0, static_cast<int>(XStateSave->Depth) - 1);
}

NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    auto& ctx = qk::nt::CurrentThreadContext();
    if (FloatSave->Magic != kFloatingSaveMagic || ctx.floatingPointSaves <= 0) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse, "KeRestoreFloatingPointState without a matching save");
        return STATUS_SUCCESS;
    }
    if (FloatSave->Depth != static_cast<ULONG>(ctx.floatingPointSaves)) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse,
                        qk::Format("floating-point states restored out of order (save %lu, depth %d)", FloatSave->Depth,
                                   ctx.floatingPointSaves));
    }
    // Restoring an outer save discards the inner ones, as unwinding would.
    FloatSave->Magic = 0;
    ctx.floatingPointSaves = static_cast<int>(FloatSave->Depth) - 1;
    if (ctx.floatingPointSaves < 0) ctx.floatingPointSaves = 0;
    return STATUS_SUCCESS;
}
