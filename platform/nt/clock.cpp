#include "platform/nt/clock.h"

namespace qk::nt {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600ll;
}

Clock::Clock() : realBase_(std::chrono::steady_clock::now()) {
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    bootSystemTime_ = kEpochDifference * kSecond + since1970 / 100;
}

int64_t Clock::Now() const {
    std::lock_guard guard(lock_);
    if (mode_ == Mode::Manual) return manualNow_;
    auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - realBase_);
    return virtualBase_ + static_cast<int64_t>(static_cast<double>(real.count()) / 100.0 * speed_);
}

Clock::Mode Clock::CurrentMode() const {
    std::lock_guard guard(lock_);
    return mode_;
}

double Clock::Speed() const {
    std::lock_guard guard(lock_);
    return speed_;
}

void Clock::SetRealTime(double speed) {
    int64_t now = Now();
    {
        std::lock_guard guard(lock_);
        mode_ = Mode::RealTime;
        speed_ = speed > 0 ? speed : 1.0;
        virtualBase_ = now;
        realBase_ = std::chrono::steady_clock::now();
    }
    Notify();
}

void Clock::SetManual() {
    int64_t now = Now();
    {
        std::lock_guard guard(lock_);
        mode_ = Mode::Manual;
        manualNow_ = now;
    }
    Notify();
}

std::chrono::nanoseconds Clock::RealWaitUntil(int64_t deadline) const {
    constexpr auto kLongWait = std::chrono::milliseconds(200);
    int64_t now = Now();
    std::lock_guard guard(lock_);
    if (mode_ == Mode::Manual) return kLongWait;
    if (deadline <= now) return std::chrono::nanoseconds(0);
    double realNs = static_cast<double>(deadline - now) * 100.0 / speed_;
    if (realNs > 1e9) return std::chrono::seconds(1);  // re-check now and then; modes can change
    return std::chrono::nanoseconds(static_cast<int64_t>(realNs) + 1);
}

void Clock::MoveTo(int64_t now) {
    {
        std::lock_guard guard(lock_);
        if (mode_ == Mode::Manual) {
            if (now > manualNow_) manualNow_ = now;
        } else {
            auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - realBase_);
            int64_t current = virtualBase_ + static_cast<int64_t>(static_cast<double>(real.count()) / 100.0 * speed_);
            if (now > current) virtualBase_ += now - current;
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
