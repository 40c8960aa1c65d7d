#include "platform/nt/kernel.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/nt/pool.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/thread_object.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::nt {
namespace {

alignas(64) std::atomic<Kernel*> g_kernel{nullptr};  // read by every kernel call: a line of its own
constexpr size_t kWorkerThreads = 2;

void CheckFloatingPointBalance(const char* where) {
    auto& ctx = CurrentThreadContext();
    if (ctx.floatingPointSaves != 0) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse,
                        Format("%s returned with %d floating-point state(s) saved and never restored", where,
                               ctx.floatingPointSaves));
        ctx.floatingPointSaves = 0;
    }
    if (ctx.extendedStateSaves != 0) {
        verifier::Raise(verifier::Violation::FloatingPointMisuse,
                        Format("%s returned with %d extended processor state(s) saved and never restored", where,
                               ctx.extendedStateSaves));
        ctx.extendedStateSaves = 0;
    }
}

}  // namespace

Kernel::Kernel(Machine& machine) : machine_(machine) {
    clock_.AddListener([this] {
        Locked locked(*this);
        NotifyAll(locked.Wakes());
    });
    dpcThread_ = std::thread([this] { DpcLoop(); });
    dpcClock_ = ThreadProcessorClock(dpcThread_);
    for (size_t i = 0; i < kWorkerThreads; ++i) workerParkers_.push_back(std::make_shared<Parker>());
    for (size_t i = 0; i < kWorkerThreads; ++i) {
        workers_.emplace_back([this, i] { WorkerLoop(i); });
        workerClocks_.emplace_back(workers_.back());
    }
    Kernel* expected = nullptr;
    g_kernel.compare_exchange_strong(expected, this);
}

Kernel::~Kernel() {
    // System threads first: they may still queue DPCs or work.
    {
        std::unique_lock held(lock_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (true) {
            bool allDone = true;
            for (auto& t : threads_) allDone = allDone && t->finished.load();
            if (allDone) break;
            if (condition_.wait_until(held, deadline) == std::cv_status::timeout) break;
        }
    }
    if (CheckThreads(nullptr, "machine shutdown") != 0) {
        std::fprintf(stderr, "qk: system threads still running at machine shutdown; cannot continue\n");
        std::abort();
    }
    JoinFinishedThreads();
    FlushWork();
    {
        Locked locked(*this);
        stopping_ = true;
        NotifyAll(locked.Wakes());
        for (const auto& parker : workerParkers_) locked.Wakes().Add(parker);
    }
    dpcThread_.join();
    for (auto& w : workers_) w.join();
    std::lock_guard guard(lock_);
    for (auto& [due, timer] : timers_) {
        verifier::Raise(verifier::Violation::TimerMisuse,
                        Format("timer %p still set at machine shutdown", static_cast<void*>(timer)));
        timer->Inserted = FALSE;
    }
    timers_.clear();
    Kernel* expected = this;
    g_kernel.compare_exchange_strong(expected, nullptr);
}

Kernel& Kernel::Get() {
    Kernel* k = g_kernel.load();
    if (k == nullptr) {
        std::fprintf(stderr, "qk: a kernel service was called with no machine booted\n");
        std::abort();
    }
    return *k;
}

Kernel* Kernel::GetOrNull() { return g_kernel.load(); }

void Kernel::NotifyAll(WakeList& wakes) {
    condition_.notify_all();
    for (ObjectWaiter* w : objectWaiters_) wakes.Add(w->parker);
    WakeDpcThreadLocked(wakes, INT64_MIN);
}

void Kernel::NotifyObject(WakeList& wakes, const void* object) {
    for (ObjectWaiter* w : objectWaiters_) {
        for (size_t i = 0; i < w->count; ++i) {
            if (w->objects[i] == object) {
                wakes.Add(w->parker);
                break;
            }
        }
    }
}

bool Kernel::WaitForObjects(std::unique_lock<std::mutex>& held, int64_t deadline, const void* const* objects,
                            size_t count, const std::function<bool()>& ready) {
    ObjectWaiter waiter{Parker::OfCurrentThread(), objects, count};
    objectWaiters_.push_back(&waiter);
    bool done = true;
    while (!ready()) {
        if (deadline != kNoDeadline && clock_.Now() >= deadline) {
            done = false;
            break;
        }
        // Every change to the objects wakes the waiter, and so does any
        // change of the clock: only a deadline needs a time limit.
        auto wait = deadline == kNoDeadline ? std::chrono::nanoseconds(-1) : clock_.RealWaitUntil(deadline);
        held.unlock();
        if (wait.count() < 0) {
            waiter.parker->Park();
        } else {
            waiter.parker->Park(wait);
        }
        held.lock();
    }
    objectWaiters_.erase(std::find(objectWaiters_.begin(), objectWaiters_.end(), &waiter));
    return done;
}

bool Kernel::WaitUntil(std::unique_lock<std::mutex>& held, int64_t deadline, const std::function<bool()>& ready) {
    while (!ready()) {
        if (deadline != kNoDeadline && clock_.Now() >= deadline) return false;
        auto wait = deadline == kNoDeadline ? std::chrono::nanoseconds(std::chrono::milliseconds(200))
                                            : clock_.RealWaitUntil(deadline);
        condition_.wait_for(held, wait);
    }
    return true;
}

// ---- Timers and DPCs -------------------------------------------------------------

bool Kernel::SetTimer(KTIMER* timer, int64_t due, LONG periodMs, KDPC* dpc) {
    Locked locked(*this);
    bool wasInserted = timer->Inserted != FALSE;
    if (wasInserted) {
        auto range = timers_.equal_range(static_cast<int64_t>(timer->DueTime.QuadPart));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == timer) {
                timers_.erase(it);
                break;
            }
        }
    }
    timer->Header.SignalState = 0;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Period = periodMs;
    timer->Dpc = dpc;
    timer->Inserted = TRUE;
    timers_.emplace(due, timer);
    WakeDpcThreadLocked(locked.Wakes(), due);
    return wasInserted;
}

bool Kernel::CancelTimer(KTIMER* timer) {
    std::lock_guard guard(lock_);
    if (!timer->Inserted) return false;
    auto range = timers_.equal_range(static_cast<int64_t>(timer->DueTime.QuadPart));
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == timer) {
            timers_.erase(it);
            break;
        }
    }
    timer->Inserted = FALSE;
    return true;
}

bool Kernel::QueueDpc(KDPC* dpc, PVOID arg1, PVOID arg2) {
    Locked locked(*this);
    if (dpc->DpcData != nullptr) return false;
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpcs_.push_back(dpc);
    WakeDpcThreadLocked(locked.Wakes(), INT64_MIN);
    return true;
}

void Kernel::WakeDpcThreadLocked(WakeList& wakes, int64_t until) {
    // Only a thread asleep past `until` needs waking; once woken it looks at
    // everything, so later requests add nothing.
    if (!dpcAsleep_ || until >= dpcAsleepUntil_) return;
    dpcAsleepUntil_ = INT64_MIN;
    wakes.Add(dpcParker_);
}

bool Kernel::RemoveDpc(KDPC* dpc) {
    std::lock_guard guard(lock_);
    if (dpc->DpcData == nullptr) return false;
    for (auto it = dpcs_.begin(); it != dpcs_.end(); ++it) {
        if (*it == dpc) {
            dpcs_.erase(it);
            break;
        }
    }
    dpc->DpcData = nullptr;
    return true;
}

bool Kernel::DpcIdleLocked() { return dpcs_.empty() && !dpcRunning_; }

void Kernel::FlushDpcs() {
    std::unique_lock held(lock_);
    WaitUntil(held, kNoDeadline, [this] { return DpcIdleLocked(); });
}

void Kernel::CheckFreedBlock(const void* start, size_t bytes) {
    auto* begin = static_cast<const uint8_t*>(start);
    auto* end = begin + bytes;
    auto inside = [&](const void* p) {
        auto* b = static_cast<const uint8_t*>(p);
        return b >= begin && b < end;
    };
    std::lock_guard guard(lock_);
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (inside(it->second)) {
            verifier::Raise(verifier::Violation::TimerMisuse,
                            Format("pool block %p freed with timer %p still set", start, static_cast<void*>(it->second)));
            it = timers_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = dpcs_.begin(); it != dpcs_.end();) {
        if (inside(*it)) {
            verifier::Raise(verifier::Violation::TimerMisuse,
                            Format("pool block %p freed with DPC %p still queued", start, static_cast<void*>(*it)));
            it = dpcs_.erase(it);
        } else {
            ++it;
        }
    }
}

void Kernel::DpcLoop() {
    pthread_setname_np(pthread_self(), "qk-dpc");  // names tell the kernel's threads apart in a profile
    CurrentThreadContext().systemThread = true;
    WakeList wakes;  // waiters on the timers that expired, woken once the lock is free
    std::unique_lock held(lock_);
    while (true) {
        int64_t now = clock_.Now();
        // Expire every timer that is due.
        while (!timers_.empty() && timers_.begin()->first <= now) {
            KTIMER* timer = timers_.begin()->second;
            int64_t due = timers_.begin()->first;
            timers_.erase(timers_.begin());
            timer->Inserted = FALSE;
            timer->Header.SignalState = 1;
            if (timer->Period > 0) {
                int64_t next = due + int64_t{timer->Period} * kMillisecond;
                // A periodic timer that fell far behind (a paused host) restarts
                // from now instead of firing a burst of catch-up expiries.
                if (next <= now) next = now + int64_t{timer->Period} * kMillisecond;
                timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
                timer->Inserted = TRUE;
                timers_.emplace(next, timer);
            }
            if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) {
                KDPC* dpc = timer->Dpc;
                dpc->DpcData = dpc;
                dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(due & 0xFFFFFFFF));
                dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(due >> 32));
                dpcs_.push_back(dpc);
            }
            NotifyObject(wakes, timer);
            condition_.notify_all();  // flushes and Advance read the timer queue
        }
        if (!dpcs_.empty()) {
            KDPC* dpc = dpcs_.front();
            dpcs_.pop_front();
            dpc->DpcData = nullptr;
            dpcRunning_ = true;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
            PDRIVER_OBJECT driver = dpc->Driver;
            held.unlock();
            wakes.Flush();
            {
                IrqlScope irql(DISPATCH_LEVEL);
                DriverScope scope(driver);
                routine(dpc, context, a1, a2);
                if (CurrentThreadContext().irql != DISPATCH_LEVEL) {
                    verifier::Raise(verifier::Violation::IrqlMismatch,
                                    Format("DPC routine %p returned at IRQL %u", reinterpret_cast<void*>(routine),
                                           CurrentThreadContext().irql));
                }
                CheckFloatingPointBalance("DPC routine");
            }
            held.lock();
            dpcRunning_ = false;
            // What a DPC changes for waiters it announces itself (events,
            // semaphores); the queue's own state matters only once it is idle.
            if (dpcs_.empty()) condition_.notify_all();
            continue;
        }
        if (stopping_) break;
        int64_t next = timers_.empty() ? kNoDeadline : timers_.begin()->first;
        auto wait = next == kNoDeadline ? std::chrono::nanoseconds(-1) : clock_.RealWaitUntil(next);
        if (wait.count() == 0) continue;  // the first timer is due already
        dpcAsleep_ = true;
        dpcAsleepUntil_ = next;
        held.unlock();
        wakes.Flush();
        if (wait.count() < 0) {
            dpcParker_->Park();
        } else {
            dpcParker_->Park(wait);
        }
        held.lock();
        dpcAsleep_ = false;
    }
    held.unlock();
    wakes.Flush();
}

void Kernel::Advance(int64_t delta) {
    int64_t target = clock_.Now() + delta;
    while (true) {
        int64_t next;
        {
            std::unique_lock held(lock_);
            WaitUntil(held, kNoDeadline, [&] {
                return DpcIdleLocked() && (timers_.empty() || timers_.begin()->first > clock_.Now());
            });
            next = timers_.empty() ? kNoDeadline : timers_.begin()->first;
        }
        if (next > target) break;
        clock_.MoveTo(next);
    }
    clock_.MoveTo(target);
    std::unique_lock held(lock_);
    WaitUntil(held, kNoDeadline, [&] {
        return DpcIdleLocked() && (timers_.empty() || timers_.begin()->first > clock_.Now());
    });
}

// ---- Worker threads ---------------------------------------------------------------

void Kernel::QueueWork(PDRIVER_OBJECT driver, std::function<void()> work) {
    Locked locked(*this);
    work_.push_back({driver, std::move(work)});
    // A worker that is busy takes the item when it is done; one asleep is
    // woken only when there is one.
    if (!idleWorkers_.empty()) {
        locked.Wakes().Add(workerParkers_[idleWorkers_.back()]);
        idleWorkers_.pop_back();
    }
}

void Kernel::FlushWork() {
    std::unique_lock held(lock_);
    WaitUntil(held, kNoDeadline, [this] { return work_.empty() && workRunning_ == 0; });
}

void Kernel::WorkerLoop(size_t index) {
    pthread_setname_np(pthread_self(), "qk-worker");
    CurrentThreadContext().systemThread = true;
    const std::shared_ptr<Parker>& parker = workerParkers_[index];
    std::unique_lock held(lock_);
    while (true) {
        if (!work_.empty()) {
            Work item = std::move(work_.front());
            work_.pop_front();
            ++workRunning_;
            held.unlock();
            {
                DriverScope scope(item.driver);
                item.work();
                if (CurrentThreadContext().irql != PASSIVE_LEVEL) {
                    verifier::Raise(verifier::Violation::IrqlMismatch,
                                    Format("work item returned at IRQL %u", CurrentThreadContext().irql));
                    CurrentThreadContext().irql = PASSIVE_LEVEL;
                }
                CheckFloatingPointBalance("work item");
            }
            held.lock();
            --workRunning_;
            if (work_.empty() && workRunning_ == 0) condition_.notify_all();
            continue;
        }
        if (stopping_) break;
        idleWorkers_.push_back(index);
        held.unlock();
        parker->Park();
        held.lock();
        // A waker takes the worker off the list; a worker that woke for
        // another reason (the machine stops) takes itself off.
        std::erase(idleWorkers_, index);
    }
}

// ---- System threads ----------------------------------------------------------------

NTSTATUS Kernel::CreateSystemThread(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context) {
    JoinFinishedThreads();
    auto object = std::make_shared<SystemThread>();
    object->thread.Header.Type = ::ThreadObject;
    object->thread.Header.Magic = kDispatcherMagic;
    object->thread.Driver = CurrentThreadContext().driver;
    PDRIVER_OBJECT driver = object->thread.Driver;
    SystemThread* raw = object.get();
    {
        std::lock_guard guard(lock_);
        threads_.push_back(object);
    }
    *handle = InsertHandle(object, THREAD_ALL_ACCESS);
    raw->thread.UniqueThread = *handle;
    raw->host = std::thread([this, raw, driver, routine, context] {
        pthread_setname_np(pthread_self(), "qk-system");
        auto& ctx = CurrentThreadContext();
        ctx.systemThread = true;
        SetCurrentThreadBody(&raw->thread);
        NTSTATUS status = STATUS_SUCCESS;
        {
            DriverScope scope(driver);
            try {
                routine(context);
            } catch (const ThreadExit& exit) {
                status = exit.status;
            }
            if (ctx.irql != PASSIVE_LEVEL) {
                verifier::Raise(verifier::Violation::IrqlMismatch,
                                Format("system thread ended at IRQL %u", ctx.irql));
            }
            CheckFloatingPointBalance("system thread");
        }
        Locked locked(*this);
        raw->exitStatus = status;
        raw->thread.Header.SignalState = 1;
        raw->finished = true;
        NotifyObject(locked.Wakes(), &raw->thread);
        condition_.notify_all();
    });
    return STATUS_SUCCESS;
}

void Kernel::JoinFinishedThreads() {
    std::vector<std::shared_ptr<SystemThread>> done;
    {
        std::lock_guard guard(lock_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if ((*it)->finished.load() && (*it)->host.joinable()) {
                done.push_back(*it);
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : done) t->host.join();
}

size_t Kernel::CheckThreads(PDRIVER_OBJECT driver, const char* when) {
    std::lock_guard guard(lock_);
    size_t running = 0;
    for (auto& t : threads_) {
        if (!t->finished.load() && (driver == nullptr || t->thread.Driver == driver)) {
            ++running;
            verifier::Raise(verifier::Violation::ThreadLeak,
                            Format("%s: system thread %p is still running", when, t->thread.UniqueThread));
        }
    }
    return running;
}

// ---- Processor time -------------------------------------------------------------------

Kernel::ThreadTimes Kernel::ProcessorTimes() const {
    ThreadTimes times;
    times.dpcNs = dpcClock_.Ns();
    for (const auto& clock : workerClocks_) times.workersNs += clock.Ns();
    return times;
}

// ---- Object references --------------------------------------------------------------

void Kernel::AddReference(void* body, std::shared_ptr<void> owner) {
    std::lock_guard guard(referenceLock_);
    auto& entry = references_[body];
    if (!entry.first) entry.first = std::move(owner);
    entry.second++;
}

bool Kernel::DropReference(void* body) {
    std::shared_ptr<void> last;
    std::lock_guard guard(referenceLock_);
    auto it = references_.find(body);
    if (it == references_.end()) return false;
    if (--it->second.second == 0) {
        last = std::move(it->second.first);
        references_.erase(it);
    }
    return true;
}

void Kernel::SetExternalReferenceHooks(std::function<bool(void*)> reference, std::function<bool(void*)> dereference) {
    std::lock_guard guard(referenceLock_);
    externalReference_ = std::move(reference);
    externalDereference_ = std::move(dereference);
}

bool Kernel::ExternalReference(void* body) {
    std::function<bool(void*)> hook;
    {
        std::lock_guard guard(referenceLock_);
        hook = externalReference_;
    }
    return hook && hook(body);
}

bool Kernel::ExternalDereference(void* body) {
    std::function<bool(void*)> hook;
    {
        std::lock_guard guard(referenceLock_);
        hook = externalDereference_;
    }
    return hook && hook(body);
}

// ---- Boot -------------------------------------------------------------------------------

void Boot(Machine& machine) {
    machine.Component<Kernel>();
    machine.OnFinalCheck([] { pool::CheckLeaks(nullptr, "machine shutdown"); });
}

int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    if (timeout == nullptr) return kNoDeadline;
    Kernel& k = Kernel::Get();
    if (timeout->QuadPart < 0) {
        if (timeout->QuadPart == INT64_MIN) return kNoDeadline;
        return k.TheClock().Now() - timeout->QuadPart;
    }
    if (timeout->QuadPart == 0) return k.TheClock().Now();
    return timeout->QuadPart - k.TheClock().BootSystemTime();
}

void Kernel::SetFloatingPointSaveFailure(std::function<bool()> predicate) {
    std::lock_guard guard(faultLock_);
    floatingSaveFailure_ = std::move(predicate);
}

bool Kernel::FloatingPointSaveFails() {
    std::function<bool()> predicate;
    {
        std::lock_guard guard(faultLock_);
        predicate = floatingSaveFailure_;
    }
    return predicate && predicate();
}

}  // namespace qk::nt
