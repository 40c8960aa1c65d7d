#include "platform/nt/thread_context.h"

#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::nt {

ThreadContext& CurrentThreadContext() {
    thread_local ThreadContext context;
    return context;
}

bool CheckIrqlAtMost(KIRQL maximum, const char* service) {
    KIRQL now = CurrentThreadContext().irql;
    if (now <= maximum) return true;
    qk::verifier::Raise(qk::verifier::Violation::IrqlTooHigh,
                        qk::Format("%s called at IRQL %u, allowed at most %u", service, now, maximum));
    return false;
}

}  // namespace qk::nt

KIRQL KeGetCurrentIrql() { return qk::nt::CurrentThreadContext().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    auto& ctx = qk::nt::CurrentThreadContext();
    if (NewIrql < ctx.irql) {
        qk::verifier::Raise(qk::verifier::Violation::IrqlMismatch,
                            qk::Format("KeRaiseIrql to %u from higher IRQL %u", NewIrql, ctx.irql));
    }
    *OldIrql = ctx.irql;
    ctx.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    auto& ctx = qk::nt::CurrentThreadContext();
    if (NewIrql > ctx.irql) {
        qk::verifier::Raise(qk::verifier::Violation::IrqlMismatch,
                            qk::Format("KeLowerIrql to %u from lower IRQL %u", NewIrql, ctx.irql));
    }
    ctx.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}
