#include "platform/nt/kernel.h"

#include "platform/nt/pool.h"

namespace qk::nt {

void Boot(Machine& machine) {
    machine.OnFinalCheck([] { pool::CheckLeaks(nullptr, "machine shutdown"); });
}

}  // namespace qk::nt
