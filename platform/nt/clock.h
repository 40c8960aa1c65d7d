// The platform clock: one source of time for every time service of the
// machine (tick count, system time, performance counter, time-outs, timers,
// the USB bus frame counter). It runs in one of two modes:
//  - real time, scaled by a speed factor (tests run multi-second time-outs of
//    the drivers at 20x or 50x without changing them);
//  - manual: time stands still and moves only by Advance(), which steps through
//    every timer that falls due on the way, so tests are deterministic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace qk::nt {

class alignas(64) Clock {
public:
    enum class Mode { RealTime, Manual };

    Clock();

    // Interrupt time: 100 ns units since the machine booted.
    int64_t Now() const;
    // System time: 100 ns units since 1601-01-01 (UTC).
    int64_t SystemTime() const { return bootSystemTime_ + Now(); }
    int64_t BootSystemTime() const { return bootSystemTime_; }

    Mode CurrentMode() const;
    double Speed() const;
    void SetRealTime(double speed = 1.0);
    void SetManual();

    // The real time to wait for the clock to reach `deadline` in real-time
    // mode; in manual mode, a long wait (woken by Advance).
    std::chrono::nanoseconds RealWaitUntil(int64_t deadline) const;

    // Moves manual time forward (used by the kernel's stepping Advance).
    void MoveTo(int64_t now);

    // Called after every change of mode or time, outside the clock's lock.
    void AddListener(std::function<void()> listener);

private:
    void Notify();
    // Writers (holding lock_) make the sequence odd while they change the
    // fields below and even again after; a reader retries when it saw an odd
    // sequence or a changed one. Every thread reads the time several times a
    // frame, and a mutex there was a point of contention for all of them.
    void BeginChange();
    void EndChange();
    int64_t NowAtLocked(int64_t steadyNs) const;  // the time at a steady-clock reading; lock_ held
    static int64_t SteadyNs() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    mutable std::mutex lock_;  // serialises changes; guards listeners_
    // What every reader reads sits on cache lines of its own (the class is
    // aligned and padded too): a line shared with a lock other threads take
    // would be fetched anew at nearly every read.
    alignas(64) std::atomic<uint32_t> sequence_{0};
    std::atomic<Mode> mode_{Mode::RealTime};
    std::atomic<double> speed_{1.0};
    std::atomic<int64_t> realBaseNs_{0};  // steady clock at virtualBase_
    std::atomic<int64_t> virtualBase_{0};
    std::atomic<int64_t> manualNow_{0};
    int64_t bootSystemTime_ = 0;
    std::vector<std::function<void()>> listeners_;
};

// 100 ns units.
inline constexpr int64_t kMillisecond = 10'000;
inline constexpr int64_t kSecond = 10'000'000;

}  // namespace qk::nt
