// Per-thread state of the simulated kernel: the current IRQL, the driver whose
// code is running (for pool attribution and leak checks at unload), and the
// floating-point save depth.
#pragma once

#include "wdm.h"

namespace qk::nt {

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    PDRIVER_OBJECT driver = nullptr;  // null while platform code runs
    int floatingPointSaves = 0;
    int extendedStateSaves = 0;
    bool systemThread = false;
};

ThreadContext& CurrentThreadContext();

// Reports IrqlTooHigh when the caller runs above `maximum`; returns whether the
// IRQL was acceptable.
bool CheckIrqlAtMost(KIRQL maximum, const char* service);

// Runs driver code with `driver` as the current driver; restores the previous
// one (calls nest: a driver's completion routine called from another's).
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver) : previous_(CurrentThreadContext().driver) {
        CurrentThreadContext().driver = driver;
    }
    ~DriverScope() { CurrentThreadContext().driver = previous_; }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PDRIVER_OBJECT previous_;
};

// Runs a block at a given IRQL (platform threads that deliver DPCs and
// completions), restoring the previous IRQL afterwards.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL irql) : previous_(CurrentThreadContext().irql) { CurrentThreadContext().irql = irql; }
    ~IrqlScope() { CurrentThreadContext().irql = previous_; }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL previous_;
};

}  // namespace qk::nt
