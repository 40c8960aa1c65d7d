// Processor time of threads: what a thread has run on a processor (user and
// system time, from the host's per-thread CPU clocks), not the time it slept.
// Benchmarks charge work to the threads that did it with these, so that what
// else the process or the machine runs does not enter their figures.
// Reading a clock is a system call (about 2 us on a virtual machine): read
// them around whole pieces of work, never per packet or per pixel.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <thread>

namespace qk::nt {

// The calling thread's processor time so far, in nanoseconds.
int64_t CurrentThreadProcessorNs();

// Reads another thread's processor time; valid while that thread has not
// been joined.
class ThreadProcessorClock {
public:
    ThreadProcessorClock() = default;
    explicit ThreadProcessorClock(std::thread& thread);
    // Nanoseconds so far; 0 for a clock that was never bound or whose thread has gone.
    int64_t Ns() const;

private:
    clockid_t id_{};
    bool valid_ = false;
};

}  // namespace qk::nt
