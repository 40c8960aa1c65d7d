// The simulated kernel of one machine: the platform clock, the dispatcher
// (one lock for every wait, as the target's dispatcher database lock; a
// thread waiting on dispatcher objects is woken only by a change to one of
// them, and only once the lock is free), the timer queue and the DPC thread
// that expires timers and runs DPCs at DISPATCH_LEVEL, the system worker
// threads, and the system threads drivers create. Nothing polls: a thread
// with nothing to do sleeps until it is given something or its next timer
// falls due.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/machine.h"
#include "platform/nt/parker.h"
#include "platform/nt/processor_time.h"
#include "wdm.h"

namespace qk::nt {

class SystemThread;

inline constexpr int64_t kNoDeadline = INT64_MAX;

class Kernel {
public:
    explicit Kernel(Machine& machine);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel of the running machine (aborts when none was booted).
    static Kernel& Get();
    static Kernel* GetOrNull();

    Clock& TheClock() { return clock_; }

    // ---- Dispatcher -------------------------------------------------------
    std::mutex& DispatcherLock() { return lock_; }
    // The dispatcher lock held by a scope that may wake threads: the threads
    // its changes wake are woken once it has released the lock.
    class Locked {
    public:
        explicit Locked(Kernel& kernel) : held_(kernel.lock_) {}
        ~Locked() {
            held_.unlock();
            wakes_.Flush();
        }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        WakeList& Wakes() { return wakes_; }

    private:
        std::unique_lock<std::mutex> held_;
        WakeList wakes_;
    };
    // Wakes every waiter (the clock changed, the machine stops).
    void NotifyAll(WakeList& wakes);
    // Wakes the waiters on `object` (a dispatcher header) after its state
    // changed; lock held.
    void NotifyObject(WakeList& wakes, const void* object);
    // Wakes the waiters that wait on no particular object (flushes, fast mutexes).
    void NotifyOthers() { condition_.notify_all(); }
    // Waits (lock held through `held`) until `ready()` or the clock reaches
    // `deadline`; returns ready(). Platform layers use it for their own waits.
    bool WaitUntil(std::unique_lock<std::mutex>& held, int64_t deadline, const std::function<bool()>& ready);
    // The same for a predicate over dispatcher objects: only a change to one
    // of `objects` (or NotifyAll, or the clock) wakes the waiter.
    bool WaitForObjects(std::unique_lock<std::mutex>& held, int64_t deadline, const void* const* objects,
                        size_t count, const std::function<bool()>& ready);

    // ---- Timers and DPCs (dispatcher lock NOT held by callers) -------------
    bool SetTimer(KTIMER* timer, int64_t due, LONG periodMs, KDPC* dpc);
    bool CancelTimer(KTIMER* timer);
    bool QueueDpc(KDPC* dpc, PVOID arg1, PVOID arg2);
    bool RemoveDpc(KDPC* dpc);
    void FlushDpcs();
    // Reports and disarms timers and DPCs that lie in a block being freed.
    void CheckFreedBlock(const void* start, size_t bytes);

    // Manual clock: moves time forward by `delta`, stopping at every timer
    // that falls due so that its DPC runs at its own time; returns when the
    // DPCs that became due have run.
    void Advance(int64_t delta);

    // ---- Worker threads ---------------------------------------------------------
    // Runs `work` on a system worker thread at PASSIVE_LEVEL with `driver` as
    // the current driver.
    void QueueWork(PDRIVER_OBJECT driver, std::function<void()> work);
    // Waits until no work item is queued or running.
    void FlushWork();

    // ---- System threads -------------------------------------------------------------
    NTSTATUS CreateSystemThread(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context);
    // Reports (ThreadLeak) system threads of `driver` (all when null) still running.
    size_t CheckThreads(PDRIVER_OBJECT driver, const char* when);

    // ---- Processor time of the kernel's own threads -------------------------------
    // What the DPC thread (timers, DPCs, the bus's completions) and the system
    // workers (work items, asynchronous processing) have run on a processor so
    // far, in nanoseconds.
    struct ThreadTimes {
        int64_t dpcNs = 0;
        int64_t workersNs = 0;
    };
    ThreadTimes ProcessorTimes() const;

    // ---- Object references by body pointer ---------------------------------------
    void AddReference(void* body, std::shared_ptr<void> owner);
    bool DropReference(void* body);
    // Objects the I/O manager counts itself (device and file objects).
    void SetExternalReferenceHooks(std::function<bool(void*)> reference, std::function<bool(void*)> dereference);
    bool ExternalReference(void* body);
    bool ExternalDereference(void* body);

    // ---- Fault injection ---------------------------------------------------------------
    // While set, KeSaveFloatingPointState fails (STATUS_INSUFFICIENT_RESOURCES,
    // as when the target cannot allocate the save area) whenever the predicate
    // says so; it is called once per save on the saving thread.
    void SetFloatingPointSaveFailure(std::function<bool()> predicate);
    bool FloatingPointSaveFails();

private:
    void DpcLoop();
    void WorkerLoop(size_t index);
    bool DpcIdleLocked();
    // Wakes the DPC thread when it sleeps past `until` (a queued DPC: now).
    void WakeDpcThreadLocked(WakeList& wakes, int64_t until);
    void JoinFinishedThreads();

    Machine& machine_;
    Clock clock_;
    std::mutex lock_;  // the dispatcher lock: guards every dispatcher object, the queues and sleep records below
    // Waiters on the queues' progress (flushes, Advance, fast mutexes,
    // delays) wait on `condition_`. Waiters on dispatcher objects, the DPC
    // thread and the workers sleep on parkers of their own, each woken only
    // by what it waits for.
    std::condition_variable condition_;
    bool stopping_ = false;

    struct ObjectWaiter {
        std::shared_ptr<Parker> parker;
        const void* const* objects;
        size_t count;
    };
    std::vector<ObjectWaiter*> objectWaiters_;

    // The DPC thread sleeps until the first timer falls due (kNoDeadline:
    // none is set); a timer set earlier than that or a queued DPC wakes it.
    std::shared_ptr<Parker> dpcParker_ = std::make_shared<Parker>();
    bool dpcAsleep_ = false;
    int64_t dpcAsleepUntil_ = kNoDeadline;

    std::multimap<int64_t, KTIMER*> timers_;
    std::deque<KDPC*> dpcs_;
    bool dpcRunning_ = false;
    std::thread dpcThread_;

    struct Work {
        PDRIVER_OBJECT driver;
        std::function<void()> work;
    };
    std::deque<Work> work_;
    int workRunning_ = 0;
    std::vector<std::thread> workers_;
    std::vector<std::shared_ptr<Parker>> workerParkers_;
    std::vector<size_t> idleWorkers_;  // asleep with nothing to do; a queued item wakes the last
    ThreadProcessorClock dpcClock_;
    std::vector<ThreadProcessorClock> workerClocks_;

    std::vector<std::shared_ptr<SystemThread>> threads_;

    std::mutex referenceLock_;  // guards references_ and the hooks
    std::unordered_map<void*, std::pair<std::shared_ptr<void>, long>> references_;
    std::function<bool(void*)> externalReference_;
    std::function<bool(void*)> externalDereference_;

    std::mutex faultLock_;  // guards floatingSaveFailure_
    std::function<bool()> floatingSaveFailure_;
};

// Starts the kernel's services on `machine` and arranges the shut-down
// checks: every pool block still allocated when the machine goes is reported.
void Boot(Machine& machine);

// Converts a wait time-out of the target (null = none, negative = relative,
// positive = absolute system time, 0 = poll) into an interrupt-time deadline.
int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout);

}  // namespace qk::nt
