// Per-band state is allocated at set-up only: processing buffers allocates
// nothing. Counted with a replaced global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "audiofilter/dsp/bfa.h"
#include "audiofilter/dsp/bfa3.h"
#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/noise_guard.h"
#include "sim/sound/speech.h"

namespace {
std::atomic<long> g_allocations{0};
}

// The replacement pairs malloc with free; GCC cannot see that through
// inlined library code and warns of a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace qk::dsp {
namespace {

TEST(Allocation, ProcessingAllocatesNothingAfterSetUp) {
    std::vector<float> left = qk::sim::WhiteNoise(48000, 1), right = qk::sim::WhiteNoise(48000, 2);
    for (float& v : left) v *= 1000;
    for (float& v : right) v *= 1000;
    std::vector<float> out(48000);
    std::vector<int16_t> mic(48000), ref(48000), out16(48000);
    for (size_t i = 0; i < mic.size(); ++i) {
        mic[i] = int16_t(left[i]);
        ref[i] = int16_t(right[i]);
    }
    for (ULONG rate : {8000u, 16000u, 44100u, 48000u}) {
        SCOPED_TRACE(rate);
        NoiseGuard ng;
        Bfa bfa;
        Bfa3 bfa3;
        EchoQuell eq;
        ng.Setup(rate);
        bfa.Setup(rate);
        bfa3.Setup(rate);
        eq.Setup(rate);
        eq.SetDelay(300);
        long before = g_allocations.load();
        for (size_t at = 0; at < 48000; at += 2000) {
            ng.Process(left.data() + at, 2000, out.data());
            bfa.Process(left.data() + at, right.data() + at, 2000, out.data());
            bfa3.Process(left.data() + at, right.data() + at, 2000, out.data());
            eq.Process(mic.data() + at, ref.data() + at, 2000, out16.data());
        }
        EXPECT_EQ(g_allocations.load() - before, 0);
    }
}

}  // namespace
}  // namespace qk::dsp
