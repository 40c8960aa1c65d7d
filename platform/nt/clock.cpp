#include "platform/nt/clock.h"

#include <thread>

namespace qk::nt {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600ll;
}

Clock::Clock() : realBaseNs_(SteadyNs()) {
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    bootSystemTime_ = kEpochDifference * kSecond + since1970 / 100;
}

// The fields are stored with release and loaded with acquire: a reader that
// sees any value of a change also sees the odd sequence stored before it, so
// its second look at the sequence cannot come out unchanged. (No fences:
// the thread sanitizer does not follow them.)
void Clock::BeginChange() { sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }

void Clock::EndChange() { sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

int64_t Clock::Now() const {
    while (true) {
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        if (before & 1) {  // a change is being written: a few instructions, unless its thread was preempted
            std::this_thread::yield();
            continue;
        }
        const Mode mode = mode_.load(std::memory_order_acquire);
        const int64_t manualNow = manualNow_.load(std::memory_order_acquire);
        const int64_t virtualBase = virtualBase_.load(std::memory_order_acquire);
        const int64_t realBase = realBaseNs_.load(std::memory_order_acquire);
        const double speed = speed_.load(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) != before) continue;
        if (mode == Mode::Manual) return manualNow;
        return virtualBase + static_cast<int64_t>(static_cast<double>(SteadyNs() - realBase) / 100.0 * speed);
    }
}

Clock::Mode Clock::CurrentMode() const { return mode_.load(); }

double Clock::Speed() const { return speed_.load(); }

int64_t Clock::NowAtLocked(int64_t steadyNs) const {
    if (mode_.load(std::memory_order_relaxed) == Mode::Manual) return manualNow_.load(std::memory_order_relaxed);
    return virtualBase_.load(std::memory_order_relaxed) +
           static_cast<int64_t>(static_cast<double>(steadyNs - realBaseNs_.load(std::memory_order_relaxed)) / 100.0 *
                                speed_.load(std::memory_order_relaxed));
}

void Clock::SetRealTime(double speed) {
    {
        std::lock_guard guard(lock_);
        // The old reckoning and the new one meet at one instant of the steady
        // clock: a reading on either side of the change stays in order.
        const int64_t steady = SteadyNs();
        const int64_t now = NowAtLocked(steady);
        BeginChange();
        mode_.store(Mode::RealTime, std::memory_order_release);
        speed_.store(speed > 0 ? speed : 1.0, std::memory_order_release);
        virtualBase_.store(now, std::memory_order_release);
        realBaseNs_.store(steady, std::memory_order_release);
        EndChange();
    }
    Notify();
}

void Clock::SetManual() {
    {
        std::lock_guard guard(lock_);
        const int64_t now = Now();
        BeginChange();
        mode_.store(Mode::Manual, std::memory_order_release);
        manualNow_.store(now, std::memory_order_release);
        EndChange();
    }
    Notify();
}

std::chrono::nanoseconds Clock::RealWaitUntil(int64_t deadline) const {
    constexpr auto kLongWait = std::chrono::milliseconds(200);
    const int64_t now = Now();
    if (mode_.load() == Mode::Manual) return kLongWait;
    if (deadline <= now) return std::chrono::nanoseconds(0);
    const double realNs = static_cast<double>(deadline - now) * 100.0 / speed_.load();
    if (realNs > 1e9) return std::chrono::seconds(1);  // re-check now and then; modes can change
    return std::chrono::nanoseconds(static_cast<int64_t>(realNs) + 1);
}

void Clock::MoveTo(int64_t now) {
    {
        std::lock_guard guard(lock_);
        const int64_t current = Now();
        if (now > current) {
            BeginChange();
            if (mode_.load(std::memory_order_relaxed) == Mode::Manual) {
                manualNow_.store(now, std::memory_order_release);
            } else {
                virtualBase_.store(virtualBase_.load(std::memory_order_relaxed) + (now - current), std::memory_order_release);
            }
            EndChange();
        }
    }
    Notify();
}

void Clock::AddListener(std::function<void()> listener) {
    std::lock_guard guard(lock_);
    listeners_.push_back(std::move(listener));
}

void Clock::Notify() {
    std::vector<std::function<void()>> listeners;
    {
        std::lock_guard guard(lock_);
        listeners = listeners_;
    }
    for (auto& l : listeners) l();
}

}  // namespace qk::nt
