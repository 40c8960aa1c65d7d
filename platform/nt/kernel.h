// Start-up and shut-down of the simulated kernel on a machine.
#pragma once

#include "platform/nt/machine.h"

namespace qk::nt {

// Starts the kernel's services on `machine` (clock, timer and DPC delivery,
// worker threads) and arranges the shut-down checks: every pool block still
// allocated when the machine goes is reported as a leak.
void Boot(Machine& machine);

}  // namespace qk::nt
