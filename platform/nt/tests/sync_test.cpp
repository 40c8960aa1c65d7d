#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pool.h"
#include "platform/nt/processor_time.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"

namespace {

using qk::nt::kMillisecond;
using qk::nt::kSecond;
using qk::verifier::Violation;

class KernelTest : public qk::testing::MachineTest {
protected:
    qk::nt::Kernel& K() { return qk::nt::Kernel::Get(); }
    static LARGE_INTEGER Relative(int64_t units100ns) {
        LARGE_INTEGER t;
        t.QuadPart = -units100ns;
        return t;
    }
};

TEST_F(KernelTest, EventsOfBothKinds) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);  // stays set
    KeSetEvent(&synchronization, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);  // reset
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST_F(KernelTest, SemaphoreLimitRaisesAndKeepsTheCount) {
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 1, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 1, FALSE), 1);
    NTSTATUS caught = STATUS_SUCCESS;
    __try {
        KeReleaseSemaphore(&s, 0, 1, FALSE);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        caught = GetExceptionCode();
    }
    EXPECT_EQ(caught, STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    EXPECT_EQ(KeReadStateSemaphore(&s), 2);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&s), 1);
}

TEST_F(KernelTest, WaitAnyReportsTheFirstSignalledAndWaitAllTakesAll) {
    KEVENT a, b;
    KSEMAPHORE s;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    KeInitializeSemaphore(&s, 1, 5);
    PVOID objects[3] = {&a, &b, &s};
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
    KeSetEvent(&a, 0, FALSE);
    KeSetEvent(&b, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateSemaphore(&s), 0);
}

TEST_F(KernelTest, MutexesAreRecursiveAndOwned) {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::thread other([&] {
        LARGE_INTEGER poll{};
        EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
        KeReleaseMutex(&m, FALSE);  // not the owner
    });
    other.join();
    EXPECT_EQ(TakeViolations(Violation::MutexMisuse), 1u);
    KeReleaseMutex(&m, FALSE);
    EXPECT_EQ(KeReadStateMutex(&m), 0);
    KeReleaseMutex(&m, FALSE);
    EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST_F(KernelTest, TimeOutsFollowTheManualClock) {
    K().TheClock().SetManual();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<int> state{0};
    std::thread waiter([&] {
        LARGE_INTEGER fiveSeconds = Relative(5 * kSecond);
        NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &fiveSeconds);
        state = status == STATUS_TIMEOUT ? 1 : 2;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(state.load(), 0);  // time stands still
    K().Advance(4 * kSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(state.load(), 0);
    K().Advance(1 * kSecond);
    waiter.join();
    EXPECT_EQ(state.load(), 1);
}

// Readers take the time without a lock while another thread restarts the
// clock again and again. A restart at the same speed keeps time on one line
// but for rounding (under a unit a restart), so no reading may fall behind an
// earlier one by more than a unit for each restart there has been, and the
// clock keeps the steady clock's pace. (A reader that combined
// fields from before and after a change would jump by the time between
// restarts, 50 us; that window is a few instructions wide, and the thread
// sanitizer watches the fields' sharing.)
TEST(ClockTest, ReadingsStayInOrderWhileAnotherThreadRestartsTheClock) {
    constexpr int kRestarts = 400;
    qk::nt::Clock clock;
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::atomic<int64_t> worst{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            int64_t last = clock.Now();
            while (!done.load()) {
                const int64_t now = clock.Now();
                if (now < last - kRestarts - 2) {
                    ++backwards;
                    if (last - now > worst.load()) worst = last - now;
                }
                last = std::max(last, now);
            }
        });
    }
    const auto outerStart = std::chrono::steady_clock::now();
    const int64_t start = clock.Now();
    const auto innerStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kRestarts; ++i) {
        clock.SetRealTime(1.0);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const auto innerEnd = std::chrono::steady_clock::now();
    const int64_t end = clock.Now();
    const auto outerEnd = std::chrono::steady_clock::now();
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(backwards.load(), 0) << "worst step back: " << worst.load() << " x 100 ns";
    // Never ahead of the steady clock, and behind it by no more than a unit a
    // restart.
    auto units = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
    };
    EXPECT_LE(end - start, units(outerEnd - outerStart) + 2);
    EXPECT_GE(end - start, units(innerEnd - innerStart) - kRestarts - 2);
}

TEST_F(KernelTest, AScaledClockShortensLongWaits) {
    K().TheClock().SetRealTime(100.0);
    auto start = std::chrono::steady_clock::now();
    int64_t before = K().TheClock().Now();
    LARGE_INTEGER twoSeconds = Relative(2 * kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &twoSeconds);
    auto real = std::chrono::steady_clock::now() - start;
    EXPECT_GE(K().TheClock().Now() - before, 2 * kSecond);
    EXPECT_LT(real, std::chrono::milliseconds(1000));
    K().TheClock().SetManual();  // hold time still to compare two readings
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, K().TheClock().Now() / KeQueryTimeIncrement());
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<int> wrongIrql{0};
    std::vector<int64_t> times;
};

void LoggingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* log = static_cast<DpcLog*>(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) log->wrongIrql++;
    log->times.push_back(static_cast<int64_t>(KeQueryInterruptTime()));
    log->runs++;
}

TEST_F(KernelTest, TimerDpcsRunAtDispatchLevelAtTheirTimes) {
    K().TheClock().SetManual();
    int64_t start = K().TheClock().Now();
    DpcLog oneShotLog, periodicLog;
    KDPC oneShotDpc, periodicDpc;
    KTIMER oneShot, periodic;
    KeInitializeDpc(&oneShotDpc, LoggingDpc, &oneShotLog);
    KeInitializeDpc(&periodicDpc, LoggingDpc, &periodicLog);
    KeInitializeTimer(&oneShot);
    KeInitializeTimerEx(&periodic, SynchronizationTimer);
    KeSetTimer(&oneShot, Relative(20 * kMillisecond), &oneShotDpc);
    LARGE_INTEGER first = Relative(250 * kMillisecond);
    KeSetTimerEx(&periodic, first, 250, &periodicDpc);

    K().Advance(1 * kSecond);
    EXPECT_EQ(oneShotLog.runs.load(), 1);
    EXPECT_EQ(periodicLog.runs.load(), 4);
    EXPECT_EQ(oneShotLog.wrongIrql.load() + periodicLog.wrongIrql.load(), 0);
    ASSERT_EQ(periodicLog.times.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(periodicLog.times[i] - start, (i + 1) * 250 * kMillisecond);
    EXPECT_TRUE(KeReadStateTimer(&oneShot));
    EXPECT_TRUE(KeCancelTimer(&periodic));
    EXPECT_FALSE(KeCancelTimer(&oneShot));
    K().Advance(1 * kSecond);
    EXPECT_EQ(periodicLog.runs.load(), 4);
}

// The DPC thread sleeps until its first timer falls due and is woken only
// for an earlier one or a queued DPC: a timer set meanwhile for sooner, from
// another thread, still fires at its own time, and a later one does not
// disturb the first.
TEST_F(KernelTest, ASleepingDpcThreadWakesForAnEarlierTimer) {
    struct Signal {
        KEVENT fired;
    };
    auto setEvent = [](PKDPC, PVOID context, PVOID, PVOID) {
        KeSetEvent(&static_cast<Signal*>(context)->fired, 0, FALSE);
    };
    Signal late, early, later;
    KeInitializeEvent(&late.fired, NotificationEvent, FALSE);
    KeInitializeEvent(&early.fired, NotificationEvent, FALSE);
    KeInitializeEvent(&later.fired, NotificationEvent, FALSE);
    KDPC lateDpc, earlyDpc, laterDpc;
    KTIMER lateTimer, earlyTimer, laterTimer;
    KeInitializeDpc(&lateDpc, setEvent, &late);
    KeInitializeDpc(&earlyDpc, setEvent, &early);
    KeInitializeDpc(&laterDpc, setEvent, &later);
    KeInitializeTimer(&lateTimer);
    KeInitializeTimer(&earlyTimer);
    KeInitializeTimer(&laterTimer);
    KeSetTimer(&lateTimer, Relative(30 * kSecond), &lateDpc);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the DPC thread is asleep for 30 s now
    const auto start = std::chrono::steady_clock::now();
    KeSetTimer(&laterTimer, Relative(20 * kSecond), &laterDpc);
    KeSetTimer(&earlyTimer, Relative(100 * kMillisecond), &earlyDpc);
    LARGE_INTEGER fiveSeconds = Relative(5 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&early.fired, Executive, KernelMode, FALSE, &fiveSeconds), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    // Without the wake it would fire when the sleeper next looks, up to a second on.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(KeReadStateEvent(&later.fired), 0);
    EXPECT_EQ(KeReadStateEvent(&late.fired), 0);
    KeCancelTimer(&lateTimer);
    KeCancelTimer(&laterTimer);
}

TEST_F(KernelTest, QueuedDpcRunsOnceAndWorkRunsAtPassiveLevel) {
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr) || true);
    KeLowerIrql(old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.wrongIrql.load(), 0);

    std::atomic<int> irqlSeen{-1};
    K().QueueWork(nullptr, [&] { irqlSeen = KeGetCurrentIrql(); });
    K().FlushWork();
    EXPECT_EQ(irqlSeen.load(), PASSIVE_LEVEL);
}

TEST_F(KernelTest, VerifierCatchesWaitsAndLockMisuse) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER oneSecond = Relative(kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &oneSecond), STATUS_TIMEOUT);
    EXPECT_EQ(TakeViolations(Violation::IrqlTooHigh), 1u);
    LARGE_INTEGER poll{};
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll);  // polling is allowed
    EXPECT_EQ(TakeViolations(Violation::IrqlTooHigh), 0u);
    KeAcquireSpinLockAtDpcLevel(&lock);  // recursion
    EXPECT_EQ(TakeViolations(Violation::SpinLockMisuse), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // not held
    EXPECT_EQ(TakeViolations(Violation::SpinLockMisuse), 1u);
    KeAcquireSpinLockAtDpcLevel(&lock);  // below DISPATCH_LEVEL
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(TakeViolations(Violation::IrqlNotDispatch), 2u);

    KEVENT uninitialised{};
    KeSetEvent(&uninitialised, 0, FALSE);
    EXPECT_EQ(TakeViolations(Violation::ObjectMisuse), 1u);

    FAST_MUTEX fm;
    ExInitializeFastMutex(&fm);
    ExAcquireFastMutex(&fm);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&fm);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExReleaseFastMutex(&fm);
    EXPECT_EQ(TakeViolations(Violation::MutexMisuse), 1u);
}

void SaveWithoutRestoreDpc(PKDPC, PVOID, PVOID, PVOID) {
    KFLOATING_SAVE save;
    KeSaveFloatingPointState(&save);
}

TEST_F(KernelTest, FloatingPointSavesMustPair) {
    KFLOATING_SAVE outer, inner;
    EXPECT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    EXPECT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    KeRestoreFloatingPointState(&outer);  // out of order
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
    KeRestoreFloatingPointState(&inner);  // the outer restore discarded it
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);

    KDPC dpc;
    KeInitializeDpc(&dpc, SaveWithoutRestoreDpc, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
}

TEST_F(KernelTest, AnInjectedFloatingPointSaveFailureLeavesNothingToRestore) {
    int calls = 0;
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure([&] { return ++calls == 2; });
    KFLOATING_SAVE first, second, third;
    EXPECT_EQ(KeSaveFloatingPointState(&first), STATUS_SUCCESS);
    EXPECT_EQ(KeSaveFloatingPointState(&second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KeSaveFloatingPointState(&third), STATUS_SUCCESS);
    // The failed save did not count: the two good ones pair without a report.
    KeRestoreFloatingPointState(&third);
    KeRestoreFloatingPointState(&first);
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 0u);
    KeRestoreFloatingPointState(&second);  // restoring what was never saved
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure(nullptr);
    EXPECT_EQ(KeSaveFloatingPointState(&first), STATUS_SUCCESS);
    KeRestoreFloatingPointState(&first);
    EXPECT_EQ(calls, 3);
}

TEST_F(KernelTest, TheExtendedStateSavePairsLikeTheFloatingPointSaveAndSharesItsFaults) {
    XSTATE_SAVE a, b;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &a), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &b), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&a);  // the outer one first
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
    KeRestoreExtendedProcessorState(&b);  // already discarded with the outer one
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
    int calls = 0;
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure([&] { return ++calls == 2; });
    KFLOATING_SAVE f;
    EXPECT_EQ(KeSaveFloatingPointState(&f), STATUS_SUCCESS);
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &a), STATUS_INSUFFICIENT_RESOURCES);
    KeRestoreFloatingPointState(&f);
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 0u);
    qk::nt::Kernel::Get().SetFloatingPointSaveFailure(nullptr);
    // Saved in a DPC and never restored: reported when the DPC returns.
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) {
            static XSTATE_SAVE leaked;
            KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &leaked);
        },
        nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(TakeViolations(Violation::FloatingPointMisuse), 1u);
}

TEST_F(KernelTest, FreeingASetTimerIsCaught) {
    auto* timer = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), qk::nt::pool::Tag("Tmr ")));
    KeInitializeTimer(timer);
    KeSetTimer(timer, Relative(kSecond), nullptr);
    ExFreePoolWithTag(timer, qk::nt::pool::Tag("Tmr "));
    EXPECT_EQ(TakeViolations(Violation::TimerMisuse), 1u);
}

struct ThreadRun {
    KEVENT go;
    std::atomic<int> sawIrql{-1};
};

void WaitingThread(PVOID context) {
    auto* run = static_cast<ThreadRun*>(context);
    run->sawIrql = KeGetCurrentIrql();
    KeWaitForSingleObject(&run->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelTest, SystemThreadsEndAndSignalTheirObject) {
    ThreadRun run;
    KeInitializeEvent(&run.go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitingThread, &run),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(K().CheckThreads(nullptr, "test"), 1u);
    EXPECT_EQ(TakeViolations(Violation::ThreadLeak), 1u);
    KeSetEvent(&run.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(run.sawIrql.load(), PASSIVE_LEVEL);
    ObDereferenceObject(thread);
}

// A blocked waiter is woken by a change to its own object, and only that
// satisfies it. Nothing polls, so a lost wake-up would leave a waiter asleep
// until its time-out: each wait allows a second, and 40 rounds of ping-pong
// take milliseconds when every wake-up arrives.
TEST_F(KernelTest, BlockedWaitersWakeForTheirOwnObjects) {
    constexpr int kRounds = 40;
    KEVENT ping, pong, unrelated, never;
    KSEMAPHORE tokens;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    KeInitializeEvent(&unrelated, NotificationEvent, FALSE);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeSemaphore(&tokens, 0, 1);
    std::atomic<int> rounds{0};
    const auto start = std::chrono::steady_clock::now();
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            LARGE_INTEGER second = Relative(kSecond);
            ASSERT_EQ(KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &second), STATUS_SUCCESS);
            KeSetEvent(&unrelated, 0, FALSE);  // nobody waits on it
            KeReleaseSemaphore(&tokens, 0, 1, FALSE);
            PVOID objects[] = {&never, &pong};
            ASSERT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &second, nullptr),
                      STATUS_WAIT_1);
            rounds++;
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        PVOID objects[] = {&tokens, &never};
        LARGE_INTEGER second = Relative(kSecond);
        EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &second, nullptr),
                  STATUS_WAIT_0);
        KeSetEvent(&pong, 0, FALSE);
    }
    partner.join();
    EXPECT_EQ(rounds.load(), kRounds);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

// Runs under ThreadSanitizer too: producers and consumers through the
// interlocked list and a semaphore lose nothing.
TEST_F(KernelTest, InterlockedQueueWithSemaphoreLosesNothing) {
    constexpr int kProducers = 3, kItems = 400;
    struct Item {
        LIST_ENTRY link;
        int value;
    };
    LIST_ENTRY queue;
    KSPIN_LOCK lock;
    KSEMAPHORE available;
    InitializeListHead(&queue);
    KeInitializeSpinLock(&lock);
    KeInitializeSemaphore(&available, 0, kProducers * kItems);
    std::vector<Item> items(kProducers * kItems);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                Item& it = items[p * kItems + i];
                it.value = p * kItems + i;
                ExInterlockedInsertTailList(&queue, &it.link, &lock);
                KeReleaseSemaphore(&available, 0, 1, FALSE);
            }
        });
    }
    long long sum = 0;
    for (int n = 0; n < kProducers * kItems; ++n) {
        ASSERT_EQ(KeWaitForSingleObject(&available, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        PLIST_ENTRY e = ExInterlockedRemoveHeadList(&queue, &lock);
        ASSERT_NE(e, nullptr);
        sum += CONTAINING_RECORD(e, Item, link)->value;
    }
    for (auto& t : producers) t.join();
    long long n = kProducers * kItems;
    EXPECT_EQ(sum, n * (n - 1) / 2);
    EXPECT_TRUE(IsListEmpty(&queue));
}

// Benchmarks charge deferred work to the thread that ran it: a DPC's
// processor time shows on the DPC thread's clock, a work item's on the
// workers', and neither on the other's.
TEST_F(KernelTest, ProcessorTimeIsChargedToTheThreadThatRanTheWork) {
    constexpr int64_t kBurnNs = 30'000'000;
    auto burn = [] {
        const int64_t start = qk::nt::CurrentThreadProcessorNs();
        while (qk::nt::CurrentThreadProcessorNs() - start < kBurnNs) {
        }
    };
    struct Burner {
        std::function<void()> burn;
    } burner{burn};
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Burner*>(context)->burn(); }, &burner);

    auto before = K().ProcessorTimes();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    auto afterDpc = K().ProcessorTimes();
    EXPECT_GE(afterDpc.dpcNs - before.dpcNs, kBurnNs);
    EXPECT_LT(afterDpc.workersNs - before.workersNs, kBurnNs / 3);

    K().QueueWork(nullptr, burn);
    K().FlushWork();
    auto afterWork = K().ProcessorTimes();
    EXPECT_GE(afterWork.workersNs - afterDpc.workersNs, kBurnNs);
    EXPECT_LT(afterWork.dpcNs - afterDpc.dpcNs, kBurnNs / 3);
}

}  // namespace
