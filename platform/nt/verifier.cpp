#include "platform/nt/verifier.h"

#include <mutex>

#include "platform/nt/debug.h"

namespace qk::verifier {
namespace {

std::mutex g_lock;  // guards g_reports
std::vector<Report> g_reports;

}  // namespace

const char* Name(Violation v) {
    switch (v) {
        case Violation::IrqlTooHigh: return "IRQL_TOO_HIGH";
        case Violation::IrqlNotDispatch: return "IRQL_NOT_DISPATCH_LEVEL";
        case Violation::IrqlMismatch: return "IRQL_MISMATCH";
        case Violation::SpinLockMisuse: return "SPIN_LOCK_MISUSE";
        case Violation::MutexMisuse: return "MUTEX_MISUSE";
        case Violation::PoolLeak: return "POOL_LEAK";
        case Violation::PoolMisuse: return "POOL_MISUSE";
        case Violation::IrpDoubleCompletion: return "IRP_DOUBLE_COMPLETION";
        case Violation::IrpFreedInUse: return "IRP_FREED_IN_USE";
        case Violation::IrpPendingNotMarked: return "IRP_PENDING_NOT_MARKED";
        case Violation::IrpMisuse: return "IRP_MISUSE";
        case Violation::HandleMisuse: return "HANDLE_MISUSE";
        case Violation::FloatingPointMisuse: return "FLOATING_POINT_MISUSE";
        case Violation::ObjectMisuse: return "OBJECT_MISUSE";
        case Violation::ThreadLeak: return "THREAD_LEAK";
        case Violation::TimerMisuse: return "TIMER_MISUSE";
        case Violation::ComObjectLeak: return "COM_OBJECT_LEAK";
    }
    return "UNKNOWN";
}

void Raise(Violation v, std::string message) {
    qk::debug::Write(std::string("VERIFIER: ") + Name(v) + ": " + message);
    std::lock_guard guard(g_lock);
    g_reports.push_back({v, std::move(message)});
}

std::vector<Report> Reports() {
    std::lock_guard guard(g_lock);
    return g_reports;
}

size_t Count(Violation v) {
    std::lock_guard guard(g_lock);
    size_t n = 0;
    for (const auto& r : g_reports) n += r.violation == v;
    return n;
}

void Clear() {
    std::lock_guard guard(g_lock);
    g_reports.clear();
}

size_t Take(Violation v) {
    std::lock_guard guard(g_lock);
    size_t before = g_reports.size();
    std::erase_if(g_reports, [v](const Report& r) { return r.violation == v; });
    return before - g_reports.size();
}

}  // namespace qk::verifier
