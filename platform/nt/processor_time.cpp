#include "platform/nt/processor_time.h"

namespace qk::nt {
namespace {

int64_t Read(clockid_t id) {
    timespec t;
    if (clock_gettime(id, &t) != 0) return 0;
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

int64_t CurrentThreadProcessorNs() { return Read(CLOCK_THREAD_CPUTIME_ID); }

ThreadProcessorClock::ThreadProcessorClock(std::thread& thread) {
    valid_ = pthread_getcpuclockid(thread.native_handle(), &id_) == 0;
}

int64_t ThreadProcessorClock::Ns() const { return valid_ ? Read(id_) : 0; }

}  // namespace qk::nt
