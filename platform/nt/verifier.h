// The driver verifier of the simulated machine. Misuse that would stop a real
// machine (waiting at DISPATCH_LEVEL, double completion of an IRP, a pool leak
// at unload) is recorded here and printed to the debugger; the call then goes
// on as safely as it can so that a test can assert the report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qk::verifier {

enum class Violation {
    IrqlTooHigh,           // a service called above the IRQL it allows
    IrqlNotDispatch,       // an ...AtDpcLevel service called below DISPATCH_LEVEL
    IrqlMismatch,          // lowering to a higher IRQL, raising to a lower one
    SpinLockMisuse,        // release of a lock not held, recursive acquire
    MutexMisuse,           // release of a mutex the thread does not own
    PoolLeak,              // allocations outstanding at driver unload or shutdown
    PoolMisuse,            // free of a bad pointer, double free, tag mismatch, overrun
    IrpDoubleCompletion,   // IoCompleteRequest on a completed IRP
    IrpFreedInUse,         // an IRP used after IoFreeIrp
    IrpPendingNotMarked,   // STATUS_PENDING returned without IoMarkIrpPending
    IrpMisuse,             // other IRP rule broken (stack overflow, bad status)
    HandleMisuse,          // a bad or closed handle
    FloatingPointMisuse,   // restore without save, save never restored
    ObjectMisuse,          // a kernel object used before initialisation or after deletion
    ThreadLeak,            // a system thread still running at unload or shutdown
    TimerMisuse,           // a timer or DPC still queued when its memory goes
    ComObjectLeak,         // COM objects of an in-process server still alive at process end
};

struct Report {
    Violation violation;
    std::string message;
};

const char* Name(Violation v);

// Records a violation and prints it on the debugger as "VERIFIER: <name>: message".
void Raise(Violation v, std::string message);

std::vector<Report> Reports();
size_t Count(Violation v);
void Clear();

// Removes the reports of `v` and returns how many there were.
size_t Take(Violation v);

}  // namespace qk::verifier
