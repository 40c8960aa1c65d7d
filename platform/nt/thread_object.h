// System threads and the thread objects of the simulated kernel (internal).
#pragma once

#include <atomic>
#include <thread>

#include "platform/nt/object.h"
#include "wdm.h"

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    HANDLE UniqueThread;
    PDRIVER_OBJECT Driver;
    KPRIORITY Priority;
};

namespace qk::nt {

inline constexpr ULONG kDispatcherMagic = 0x4B444953;  // marks initialised dispatcher objects

class SystemThread : public KernelObject {
public:
    const char* TypeName() const override { return "Thread"; }
    void* Body() override { return &thread; }

    KTHREAD thread{};
    std::thread host;
    std::atomic<bool> finished{false};
    NTSTATUS exitStatus = STATUS_PENDING;
};

// Thrown by PsTerminateSystemThread, caught at the root of the system thread.
struct ThreadExit {
    NTSTATUS status;
};

// The KTHREAD of the calling thread (created on first use for threads the
// kernel did not start: test threads, worker threads, user-mode threads).
PKTHREAD CurrentThreadBody();
void SetCurrentThreadBody(PKTHREAD thread);

}  // namespace qk::nt
