// Named events and mutexes, the wait functions and threads as the console
// uses them across its windows and worker threads: names shared and
// reported as existing, sessions, reset kinds, ownership, timeouts on the
// platform clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/nt/testing/machine_test.h"
#include "windows.h"

namespace {

class SynchTest : public qk::testing::MachineTest {};

TEST_F(SynchTest, NamedObjectsAreSharedAndReportedAsExisting) {
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, "QK0340 Standalone Console Event Face Tracking Panel");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, u"QK0340 Standalone Console Event Face Tracking Panel");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE opened = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QK0340 Standalone Console Event Face Tracking Panel");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "one object behind three handles";
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset: taken by the first wait";

    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, "No such event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QK0340 Standalone Console Event Face Tracking Panel"), nullptr)
        << "a name holds one kind of object";

    // "Global\" is its own namespace; "Local\" is the session's, as a bare name is.
    HANDLE local = CreateMutexA(nullptr, FALSE, "Local\\QK0340 Password Dialog Mutex");
    HANDLE bare = CreateMutexA(nullptr, FALSE, "QK0340 Password Dialog Mutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE global = CreateMutexA(nullptr, TRUE, "Global\\QK0340 Password Dialog Mutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    for (HANDLE h : {a, b, opened, local, bare, global}) EXPECT_TRUE(CloseHandle(h));
    // The last handle gone, the name is free again.
    HANDLE again = CreateEventA(nullptr, FALSE, FALSE, "QK0340 Standalone Console Event Face Tracking Panel");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(again);
    DWORD session = 0;
    EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(session, WTSGetActiveConsoleSessionId());
}

TEST_F(SynchTest, MutexesBelongToTheThreadThatHoldsThem) {
    HANDLE m = CreateMutexA(nullptr, TRUE, "QK0340Pan and Tilt Panel mutex");
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "the owner takes it again";
    std::atomic<DWORD> other{0};
    std::atomic<BOOL> released{TRUE};
    std::thread t([&] {
        other = WaitForSingleObject(m, 0);
        released = ReleaseMutex(m);
    });
    t.join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(released.load()) << "not the owner";
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    std::thread u([&] { other = WaitForSingleObject(m, 0); });
    u.join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_OBJECT_0)) << "free once released as often as taken";
    CloseHandle(m);
}

TEST_F(SynchTest, WaitsForAnyOrAllAndTimeOutOnThePlatformClock) {
    auto& kernel = qk::nt::Kernel::Get();
    kernel.TheClock().SetManual();
    HANDLE events[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // A 500 ms wait ends when the clock has moved 500 ms, not before.
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, events, TRUE, 500); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_FAILED)) << "still waiting";
    kernel.Advance(499 * qk::nt::kMillisecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_FAILED));
    kernel.Advance(1 * qk::nt::kMillisecond);
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_TIMEOUT));
    // Both set: the wait for all succeeds, manual-reset events stay set.
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(events[0], 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ResetEvent(events[0]);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), static_cast<DWORD>(WAIT_FAILED));
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

DWORD Worker(LPVOID parameter) {
    HANDLE go = static_cast<HANDLE>(parameter);
    WaitForSingleObject(go, INFINITE);
    return 42;
}

TEST_F(SynchTest, SemaphoresCountTheirReleasesUpToTheMaximum) {
    HANDLE s = CreateSemaphoreW(nullptr, 1, 3, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(previous, 0);
    // Past the maximum: refused, and the count is as it was.
    EXPECT_FALSE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // A named one is shared.
    HANDLE a = CreateSemaphoreW(nullptr, 0, 5, u"Local\\QkSemaphore");
    HANDLE b = CreateSemaphoreW(nullptr, 0, 5, u"Local\\QkSemaphore");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(ReleaseSemaphore(a, 1, nullptr));
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(CreateSemaphoreW(nullptr, 4, 3, nullptr), nullptr);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 0, nullptr), nullptr);
    EXPECT_FALSE(ReleaseSemaphore(CreateEventW(nullptr, FALSE, FALSE, nullptr), 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE h : {s, a, b}) CloseHandle(h);
}

TEST_F(SynchTest, ThreadsAreWaitableAndKeepTheirExitCode) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Worker, go, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
    CloseHandle(go);
}

}  // namespace
