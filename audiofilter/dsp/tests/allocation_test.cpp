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
#include "audiofilter/dsp/memory.h"
#include "audiofilter/dsp/noise_guard.h"
#include "sim/sound/speech.h"

namespace {
// Allocations through operator new and through the stages' memory source,
// counted together; the one numbered g_failAt (from 1) fails.
std::atomic<long> g_allocations{0};
std::atomic<long> g_failAt{0};
bool Fails() {
    const long n = g_allocations.fetch_add(1, std::memory_order_relaxed) + 1;
    return g_failAt.load(std::memory_order_relaxed) == n;
}
void* SourceAllocate(std::size_t bytes, void*) { return Fails() ? nullptr : std::malloc(bytes); }
void SourceRelease(void* block, void*) { std::free(block); }
// Installed before any test runs.
const bool g_sourceSet = [] {
    qk::dsp::SetMemorySource({SourceAllocate, SourceRelease, nullptr});
    return true;
}();
}

// The replacement pairs malloc with free; GCC cannot see that through
// inlined library code and warns of a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    if (Fails()) throw std::bad_alloc();
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

// Every allocation of every stage's set-up failed in turn: the set-up says
// so, the stage passes its input through (DC-free for EchoQuell) without
// touching what it could not allocate, and a later set-up works again.
template <typename Stage, typename Run>
void EachAllocationFails(ULONG rate, Run run) {
    for (long k = 1;; ++k) {
        SCOPED_TRACE(k);
        Stage stage;
        g_failAt = g_allocations.load() + k;
        const bool ok = stage.Setup(rate);
        const bool failed = g_failAt.load() <= g_allocations.load();
        g_failAt = 0;
        if (!failed) {
            EXPECT_TRUE(ok);  // every allocation went through: the last k
            EXPECT_GT(k, 5);  // and each of the set-up's many allocations failed once before
            break;
        }
        EXPECT_FALSE(ok);
        EXPECT_FALSE(stage.ready());
        EXPECT_TRUE(g_sourceSet);
        run(stage, false);
        EXPECT_TRUE(stage.Setup(rate));
        run(stage, true);
        ASSERT_LT(k, 10000);
    }
}

TEST(Allocation, ASetUpThatRunsOutOfMemorySaysSoAndTheStagePassesItsInputThrough) {
    std::vector<float> left = qk::sim::WhiteNoise(4000, 1), right = qk::sim::WhiteNoise(4000, 2), out(4000);
    std::vector<int16_t> mic(4000), ref(4000, 0), out16(4000);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = int16_t(left[i] * 1000);
    for (ULONG rate : {16000u, 48000u}) {
        SCOPED_TRACE(rate);
        EachAllocationFails<NoiseGuard>(rate, [&](NoiseGuard& s, bool ready) {
            EXPECT_LE(s.Process(left.data(), 4000, out.data()), 4000u);
            if (!ready) {
                EXPECT_EQ(out, left);
            }
        });
        EachAllocationFails<Bfa>(rate, [&](Bfa& s, bool ready) {
            EXPECT_LE(s.Process(left.data(), right.data(), 4000, out.data()), 4000u);
            if (!ready) {
                EXPECT_FLOAT_EQ(out[7], 0.5f * (left[7] + right[7]));
            }
        });
        EachAllocationFails<Bfa3>(rate, [&](Bfa3& s, bool ready) {
            EXPECT_LE(s.Process(left.data(), right.data(), 4000, out.data()), 4000u);
            if (!ready) {
                EXPECT_FLOAT_EQ(out[7], 0.5f * (left[7] + right[7]));
            }
        });
        EachAllocationFails<EchoQuell>(rate, [&](EchoQuell& s, bool ready) {
            s.Process(mic.data(), ref.data(), 4000, out16.data());
            if (!ready) {
                EXPECT_NEAR(out16[3000], mic[3000], 200);  // DC-free: close to the white noise itself
            }
        });
    }
}

}  // namespace
}  // namespace qk::dsp
