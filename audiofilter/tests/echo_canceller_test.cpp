// The echo canceller's plumbing on its own: the rings, the framing of both
// sides (any buffer sizes, 16 and 32 bits, stereo made mono), pass-through
// until both sides have delivered, the probe in place of the render audio
// while it calibrates, and the microphone's way through EchoQuell after.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audiofilter/echo_canceller.h"
#include "platform/nt/testing/machine_test.h"

namespace {

using namespace k0340aud;

template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& v) {
    std::vector<uint8_t> b(v.size() * sizeof(T));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

template <typename T>
std::vector<T> Samples(const std::vector<uint8_t>& b) {
    std::vector<T> v(b.size() / sizeof(T));
    std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
    return v;
}

class EchoCancellerTest : public qk::testing::MachineTest {
protected:
    void TearDown() override {
        if (c_ != nullptr) EchoCanceller::Destroy(c_);
        MachineTest::TearDown();
    }
    void Make(ULONG rate, ULONG captureChannels, ULONG captureBits, ULONG renderChannels, ULONG renderBits) {
        c_ = EchoCanceller::Create(rate, captureChannels, captureBits, renderChannels, renderBits);
        ASSERT_NE(c_, nullptr);
        ASSERT_EQ(c_->Start(), STATUS_SUCCESS);
    }
    // Pushes `data` in pieces of the given sizes (cycled) and pulls after each into a buffer of the piece's size.
    std::vector<uint8_t> Through(bool capture, const std::vector<uint8_t>& data, const std::vector<size_t>& sizes) {
        std::vector<uint8_t> out;
        size_t k = 0;
        for (size_t at = 0; at < data.size(); ++k) {
            const size_t n = std::min(sizes[k % sizes.size()], data.size() - at);
            std::vector<uint8_t> buffer(data.begin() + at, data.begin() + at + n);
            ULONG got;
            if (capture) {
                c_->PushCapture(buffer.data(), ULONG(n));
                got = c_->PullCapture(buffer.data(), ULONG(n));
            } else {
                c_->PushRender(buffer.data(), ULONG(n));
                got = c_->PullRender(buffer.data(), ULONG(n));
            }
            EXPECT_LE(got, n);
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
            at += n;
        }
        // A frame split at the end of a buffer waits for the next pull.
        std::vector<uint8_t> rest(64);
        const ULONG got = capture ? c_->PullCapture(rest.data(), 64) : c_->PullRender(rest.data(), 64);
        out.insert(out.end(), rest.begin(), rest.begin() + got);
        return out;
    }
    EchoCanceller* c_ = nullptr;
};

TEST_F(EchoCancellerTest, RingsGrowBy8192UpTo65535AndRefuseAWriteBeyondWhole) {
    MonoRing ring;
    ASSERT_TRUE(ring.Init());
    std::vector<int16_t> block(10000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(i);
    EXPECT_EQ(ring.Capacity(), 32768u);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.Write(block.data(), 10000));
    std::vector<int16_t> out(5000);
    EXPECT_EQ(ring.Read(out.data(), 5000), 5000u);  // the oldest first; the start moves
    EXPECT_TRUE(ring.Write(block.data(), 10000));   // 35000 held: one step larger
    EXPECT_EQ(ring.Capacity(), 32768u + 8192u);
    EXPECT_FALSE(ring.Write(nullptr, 65535 - 35000));  // 65535 would need 65536
    EXPECT_TRUE(ring.Write(nullptr, 57344 - 35000));   // zeros, up to the largest that is whole steps
    EXPECT_EQ(ring.Capacity(), 32768u + 3 * 8192u);
    EXPECT_EQ(ring.Count(), 57344u);
    EXPECT_FALSE(ring.Write(block.data(), 1));  // beyond: refused, nothing written
    EXPECT_EQ(ring.Count(), 57344u);
    // The content survived the moves in order.
    std::vector<int16_t> all(57344);
    ASSERT_EQ(ring.Read(all.data(), 57344), 57344u);
    for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(all[i], int16_t(5000 + i)) << i;
    for (size_t i = 0; i < 10000; ++i) ASSERT_EQ(all[25000 + i], int16_t(i)) << i;
    for (size_t i = 35000; i < 57344; ++i) ASSERT_EQ(all[i], 0) << i;
    ring.Free();
}

TEST_F(EchoCancellerTest, UntilBothSidesDeliverEachPassesThroughAsMonoInEveryChannelAndFormat) {
    Make(16000, 2, 16, 2, 32);
    // Capture, stereo 16-bit, in buffers that split samples and frames.
    std::vector<int16_t> stereo;
    for (int i = 0; i < 3000; ++i) {
        stereo.push_back(int16_t(i));
        stereo.push_back(int16_t(-3 * i));
    }
    auto out = Samples<int16_t>(Through(true, Bytes(stereo), {1, 7, 640, 3, 2048}));
    ASSERT_EQ(out.size(), stereo.size());
    for (size_t f = 0; f < out.size() / 2; ++f) {
        const int16_t mono = int16_t((int32_t(stereo[2 * f]) + stereo[2 * f + 1]) / 2);
        ASSERT_EQ(out[2 * f], mono) << f;
        ASSERT_EQ(out[2 * f + 1], mono) << f;
    }
    // A render side that never delivered anything before: its first push
    // already sees the capture, so the probe plays (calibration).
    EXPECT_TRUE(c_->Calibrating());
    EXPECT_EQ(c_->CaptureFrames(), 3000u);
    EXPECT_EQ(c_->RenderFrames(), 0u);
}

TEST_F(EchoCancellerTest, RenderBeforeCaptureIsUnchangedAndThirtyTwoBitSamplesGoThroughSixteen) {
    Make(16000, 1, 16, 2, 32);
    std::vector<int32_t> render;
    for (int i = 0; i < 1000; ++i) {
        render.push_back(int32_t(i) * 65535 * 3);
        render.push_back(int32_t(i) * 65535 * 3);
    }
    auto out = Samples<int32_t>(Through(false, Bytes(render), {8 * 160, 5, 3}));
    ASSERT_EQ(out.size(), render.size());
    EXPECT_EQ(out, render);  // equal channels and multiples of 65535 survive exactly
}

TEST_F(EchoCancellerTest, CalibrationPlaysTheProbeRecordsSilenceThenMeasuresTheDelayAndCancels) {
    const ULONG rate = 16000;
    Make(rate, 1, 16, 1, 16);
    const size_t block = rate / 100;  // 10 ms
    std::vector<int16_t> zeros(block, 0), noise(block);
    uint32_t seed = 1;
    // A loop as in a call: the render side plays, the microphone hears it 300 samples later.
    std::vector<int16_t> played;
    std::vector<int16_t> recorded;
    const size_t echoDelay = 300;
    for (size_t step = 0; step < 400; ++step) {
        for (auto& v : noise) {
            seed = seed * 1664525u + 1013904223u;
            v = int16_t(int32_t(seed >> 16) % 4000 - 2000);
        }
        std::vector<int16_t> out = noise;
        c_->PushRender(reinterpret_cast<UCHAR*>(out.data()), ULONG(block * 2));
        EXPECT_EQ(c_->PullRender(reinterpret_cast<UCHAR*>(out.data()), ULONG(block * 2)), block * 2);
        played.insert(played.end(), out.begin(), out.end());
        std::vector<int16_t> mic(block, 0);
        for (size_t i = 0; i < block; ++i) {
            const size_t at = played.size() - block + i;
            if (at >= echoDelay) mic[i] = int16_t(played[at - echoDelay] / 2);
        }
        c_->PushCapture(reinterpret_cast<UCHAR*>(mic.data()), ULONG(block * 2));
        const ULONG got = c_->PullCapture(reinterpret_cast<UCHAR*>(mic.data()), ULONG(block * 2));
        recorded.insert(recorded.end(), mic.begin(), mic.begin() + got / 2);
        if (step == 100) {
            // By now the response is full; the delay thread measures it.
            for (int i = 0; i < 2000 && c_->Calibrating(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_FALSE(c_->Calibrating());
        }
        if (step > 100) std::this_thread::sleep_for(std::chrono::microseconds(200));  // the worker's turn
    }
    // The first render block passed through (no capture yet); then the probe
    // (at the capture rate) played, then silence, until calibration ended.
    EXPECT_EQ(std::vector<int16_t>(played.begin(), played.begin() + block), [&] {
        std::vector<int16_t> first(block);
        uint32_t s = 1;
        for (auto& v : first) {
            s = s * 1664525u + 1013904223u;
            v = int16_t(int32_t(s >> 16) % 4000 - 2000);
        }
        return first;
    }());
    auto probe = [&] {
        std::vector<uint8_t> b(200000);
        b.resize(c_->ReadReference(b.data(), ULONG(b.size())));
        return Samples<int16_t>(b);
    }();
    ASSERT_GT(probe.size(), 2000u);
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), played.begin() + block));
    EXPECT_EQ(played[block + probe.size()], 0);
    // The recording began one block before the probe: the measured delay has
    // that block on top of the echo's (the filters wait out the echo's alone).
    EXPECT_NEAR(c_->Delay(), LONG(echoDelay + block), 2);
    // The application recorded silence while calibrating, then the echo went down.
    for (size_t i = 0; i < probe.size(); ++i) ASSERT_EQ(recorded[i], 0) << i;
    // The worker runs at its own pace (slowly under a sanitizer).
    for (int i = 0; i < 5000 && c_->EchoReduction() <= 80; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(c_->EchoReduction(), 80u);
}

TEST_F(EchoCancellerTest, ARateTheCancellerCannotWorkAtPassesTheMicrophoneThrough) {
    Make(96000, 1, 16, 1, 16);
    EXPECT_TRUE(c_->Failed());
    std::vector<int16_t> render(960, 1000), mic(960);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = int16_t(i);
    Through(false, Bytes(render), {1920});
    auto out = Samples<int16_t>(Through(true, Bytes(mic), {1920}));
    EXPECT_EQ(out, mic);
}

}  // namespace
