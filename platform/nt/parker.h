// How a thread of the simulated machine sleeps until another wakes it: a
// wake-up token per thread on a futex. Waking a thread that is not asleep
// leaves the token, so its next sleep returns at once; a sleeping thread is
// woken with one system call, and a thread that finds the token sleeps not
// at all.
//
// The dispatcher, the DPC thread and the workers use it in place of a
// condition variable: a condition variable wakes its waiter only to block it
// on the mutex the waker still holds, and every wait through one ends with a
// needless wake call on that mutex. On a virtual machine each system call is
// a couple of microseconds and each sleep far more, which a capture stream
// pays several times a frame.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace qk::nt {

class Parker {
public:
    // Sleeps until Unpark (one made before the call counts) or until `wait`
    // has passed; true when woken. It may also return early without a wake:
    // callers re-check what they wait for.
    bool Park(std::chrono::nanoseconds wait);
    bool Park();  // no time limit
    void Unpark();

    // The calling thread's parker. Shared so that a thread that was chosen
    // to be woken may go away before the waker gets to it.
    static const std::shared_ptr<Parker>& OfCurrentThread();

private:
    bool ParkUntil(const std::chrono::steady_clock::time_point* deadline);

    static constexpr int32_t kEmpty = 0, kNotified = 1, kParked = -1;
    std::atomic<int32_t> state_{kEmpty};
};

// Threads chosen to be woken while a lock is held, woken by Flush once it
// has been released (so that none wakes only to block on that lock).
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList&) = delete;
    WakeList& operator=(const WakeList&) = delete;
    ~WakeList() { Flush(); }

    void Add(const std::shared_ptr<Parker>& parker);
    void Flush();

private:
    // Most changes wake one thread or none: no allocation for up to four.
    std::array<std::shared_ptr<Parker>, 4> first_;
    size_t count_ = 0;
    std::vector<std::shared_ptr<Parker>> more_;
};

}  // namespace qk::nt
