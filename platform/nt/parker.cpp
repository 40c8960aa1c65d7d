#include "platform/nt/parker.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace qk::nt {
namespace {

// Sleeps while *word holds `expected`, at most until the monotonic `deadline`
// (steady_clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET measures by).
// Returns false on a time-out.
bool FutexWait(std::atomic<int32_t>* word, int32_t expected, const std::chrono::steady_clock::time_point* deadline) {
    timespec at{};
    if (deadline != nullptr) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        if (ns < 0) ns = 0;
        at.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        at.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    long r = syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                     deadline != nullptr ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

void FutexWakeOne(std::atomic<int32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

}  // namespace

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free);

bool Parker::Park(std::chrono::nanoseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    return ParkUntil(&deadline);
}

bool Parker::Park() { return ParkUntil(nullptr); }

bool Parker::ParkUntil(const std::chrono::steady_clock::time_point* deadline) {
    // A token already there is taken without sleeping.
    if (state_.fetch_sub(1, std::memory_order_acquire) == kNotified) return true;
    while (true) {
        bool timedOut = !FutexWait(&state_, kParked, deadline);
        int32_t notified = kNotified;
        if (state_.compare_exchange_strong(notified, kEmpty, std::memory_order_acquire)) return true;
        if (timedOut) {
            // A wake that raced with the time-out still counts.
            return state_.exchange(kEmpty, std::memory_order_acquire) == kNotified;
        }
        // Woken by something else (a signal, a spurious futex wake): sleep again.
    }
}

void Parker::Unpark() {
    if (state_.exchange(kNotified, std::memory_order_release) == kParked) FutexWakeOne(&state_);
}

const std::shared_ptr<Parker>& Parker::OfCurrentThread() {
    thread_local const std::shared_ptr<Parker> parker = std::make_shared<Parker>();
    return parker;
}

void WakeList::Add(const std::shared_ptr<Parker>& parker) {
    for (size_t i = 0; i < count_; ++i) {
        if (first_[i] == parker) return;
    }
    for (const auto& p : more_) {
        if (p == parker) return;
    }
    if (count_ < first_.size()) {
        first_[count_++] = parker;
    } else {
        more_.push_back(parker);
    }
}

void WakeList::Flush() {
    for (size_t i = 0; i < count_; ++i) {
        first_[i]->Unpark();
        first_[i].reset();
    }
    count_ = 0;
    for (auto& p : more_) p->Unpark();
    more_.clear();
}

}  // namespace qk::nt
