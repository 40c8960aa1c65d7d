// The parts that cross threads: a ring between one producer and one
// consumer, and the delay estimation on its own thread while the capture
// side records the calibration response.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "audiofilter/dsp/echo_quell.h"
#include "audiofilter/dsp/sample_ring.h"

namespace qk::dsp {
namespace {

TEST(SampleRingThreads, OneProducerOneConsumerKeepEverySampleInOrder) {
    Int16Ring ring(16);
    constexpr int kCount = 20000;
    std::thread producer([&] {
        int16_t block[7];
        for (int next = 0; next < kCount;) {
            int n = 0;
            for (; n < 7 && next + n < kCount; ++n) block[n] = int16_t(next + n);
            size_t done = 0;
            while (done < size_t(n)) {
                size_t wrote = ring.Write(block + done, size_t(n) - done);
                if (wrote == 0) std::this_thread::yield();
                done += wrote;
            }
            next += n;
        }
    });
    int expected = 0;
    bool inOrder = true;
    int16_t v = 0;
    while (expected < kCount) {
        if (!ring.Pop(v)) {
            std::this_thread::yield();
            continue;
        }
        inOrder = inOrder && v == int16_t(expected);
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(ring.empty());
}

TEST(EchoQuellThreads, DelayIsEstimatedOnItsOwnThread) {
    EchoQuell eq;
    ASSERT_TRUE(eq.Setup(8000));
    const long trueDelay = 123;
    std::atomic<LONG> measured{-2};
    std::thread estimator([&] {
        while (!eq.ResponseFull()) std::this_thread::yield();
        measured = eq.EstimateDelay();
    });
    // Render side plays the probe; the microphone hears it 123 samples later,
    // recorded in small buffers as the capture side would.
    std::vector<int16_t> played, mic;
    for (size_t i = 0; i < eq.CalibrationSignal().size() + 4000; ++i) played.push_back(eq.NextCalibrationSample());
    for (size_t i = 0; i < played.size(); ++i) mic.push_back(i >= size_t(trueDelay) ? played[i - size_t(trueDelay)] / 2 : 0);
    for (size_t at = 0; at < mic.size(); at += 160) eq.RecordResponse(mic.data() + at, std::min<size_t>(160, mic.size() - at));
    estimator.join();
    EXPECT_EQ(measured.load(), trueDelay);
    EXPECT_EQ(eq.delay(), trueDelay);
    EXPECT_FALSE(eq.calibrating());
}

}  // namespace
}  // namespace qk::dsp
