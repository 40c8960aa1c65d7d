// The capture processor against the stages alone: the same samples through
// buffers of any size (samples and frames split between buffers) give the
// output the stages give, and the modes that leave audio alone leave it
// byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "audiofilter/capture_processor.h"
#include "audiofilter/filter.h"
#include "platform/nt/testing/machine_test.h"
#include "sim/sound/scene.h"

namespace {

using namespace k0340aud;

class CaptureProcessorTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        p_ = CaptureProcessor::Create();
        ASSERT_NE(p_, nullptr);
    }
    void TearDown() override {
        CaptureProcessor::Destroy(p_);
        MachineTest::TearDown();
    }
    void Configure(bool noiseGuard, bool bfa, bool bfa3, ULONG rate, ULONG channels, ULONG bits) {
        p_->SetFeature(FEATURE_NOISEGUARD, noiseGuard);
        p_->SetFeature(FEATURE_BFA, bfa);
        p_->SetFeature(FEATURE_BFA3, bfa3);
        p_->SetFormat(rate, channels, bits);
        p_->RequestReset();
    }
    // Feeds `pcm` in buffers of the given sizes (cycled); returns the bytes
    // produced, concatenated, and checks each call's result.
    std::vector<uint8_t> Feed(const std::vector<uint8_t>& pcm, const std::vector<size_t>& sizes) {
        std::vector<uint8_t> out;
        size_t at = 0, k = 0;
        while (at < pcm.size()) {
            size_t n = std::min(sizes[k++ % sizes.size()], pcm.size() - at);
            std::vector<uint8_t> buffer(pcm.begin() + long(at), pcm.begin() + long(at + n));
            ULONG produced = p_->Process(buffer.data(), ULONG(n));
            EXPECT_LE(produced, n);
            out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
            at += n;
        }
        return out;
    }
    CaptureProcessor* p_ = nullptr;
};

std::vector<uint8_t> Pcm16(const std::vector<float>& l, const std::vector<float>* r) {
    std::vector<uint8_t> pcm;
    for (size_t i = 0; i < l.size(); ++i) {
        for (const std::vector<float>* ch : {&l, r}) {
            if (ch == nullptr) continue;
            int16_t v = int16_t(std::max(-32767.0f, std::min(32767.0f, std::round((*ch)[i]))));
            pcm.push_back(uint8_t(v & 0xFF));
            pcm.push_back(uint8_t(uint16_t(v) >> 8));
        }
    }
    return pcm;
}

std::vector<float> Samples16(const std::vector<uint8_t>& pcm, size_t channels, size_t channel) {
    std::vector<float> s;
    for (size_t i = channel * 2; i + 1 < pcm.size(); i += 2 * channels) s.push_back(float(int16_t(pcm[i] | pcm[i + 1] << 8)));
    return s;
}

int16_t Round16(float x) { return int16_t(x > 32767 ? 32767 : x < -32767 ? -32767 : x >= 0 ? x + 0.5f : x - 0.5f); }

const std::vector<size_t> kOddSizes = {1001, 7, 4096, 333, 2, 1, 15000, 640};

TEST_F(CaptureProcessorTest, WithEveryFeatureOffTheBufferIsLeftAsItIsWithItsFullLength) {
    struct Row { const char* name; ULONG channels, bits; } rows[] = {
        {"16-bit mono", 1, 16}, {"16-bit stereo", 2, 16}, {"32-bit stereo", 2, 32}, {"32-bit, four channels", 4, 32}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Configure(false, false, false, 16000, row.channels, row.bits);
        std::vector<uint8_t> pcm(48000);
        std::mt19937 random(7);
        for (auto& b : pcm) b = uint8_t(random());
        std::vector<uint8_t> copy = pcm;
        ASSERT_EQ(p_->Process(copy.data(), ULONG(copy.size())), copy.size());
        EXPECT_EQ(copy, pcm);
    }
}

TEST_F(CaptureProcessorTest, MonoNoiseGuardEqualsDcRemovalThenTheStageAcrossAnyBufferSizes) {
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = 16000, .seconds = 3, .noise = {{.angleDeg = 60, .level = 400}}});
    std::vector<float> mic = s.Mix(0, true, true, false, false);
    std::vector<uint8_t> pcm = Pcm16(mic, nullptr);
    Configure(true, false, false, 16000, 1, 16);
    std::vector<uint8_t> got = Feed(pcm, kOddSizes);
    got.resize(got.size() / 2 * 2);

    std::vector<float> x = Samples16(pcm, 1, 0);
    qk::dsp::DcBlocker dc;
    dc.SetRate(16000);
    dc.Process(x.data(), x.size());
    qk::dsp::NoiseGuard ng;
    ng.Setup(16000);
    ng.SetEnabled(true);
    std::vector<float> y(x.size());
    size_t made = 0;
    for (size_t i = 0; i < x.size(); i += 4096) made += ng.Process(x.data() + i, std::min<size_t>(4096, x.size() - i), y.data() + made);
    // Up to a frame or two may still wait in the processor for the next buffer.
    ASSERT_LE(got.size(), made * 2);
    ASSERT_GE(got.size() + 4, made * 2);
    std::vector<float> out = Samples16(got, 1, 0);
    size_t differ = 0;
    for (size_t i = 0; i < out.size(); ++i) differ += int16_t(out[i]) != Round16(y[i]);
    EXPECT_EQ(differ, 0u);
    EXPECT_GT(made, x.size() - 2000);  // only the stage's delay is missing
}

TEST_F(CaptureProcessorTest, StereoModesWriteOneResultToBothChannelsAsTheStagesMakeIt) {
    qk::sim::Scene s = qk::sim::RenderScene({.rateHz = 16000, .seconds = 3, .noise = {{.angleDeg = 60, .level = 400}}});
    std::vector<float> l = s.Mix(0, true, true, false, false), r = s.Mix(1, true, true, false, false);
    std::vector<uint8_t> pcm = Pcm16(l, &r);
    std::vector<float> xl = Samples16(pcm, 2, 0), xr = Samples16(pcm, 2, 1);
    struct Row { const char* name; bool noiseGuard, bfa, bfa3; } rows[] = {
        {"BFA3 then NoiseGuard", true, false, true}, {"BFA3 alone", false, false, true},
        {"BFA with NoiseGuard", true, true, false}, {"NoiseGuard on the half sum", true, false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Configure(row.noiseGuard, row.bfa, row.bfa3, 16000, 2, 16);
        std::vector<uint8_t> got = Feed(pcm, kOddSizes);
        got.resize(got.size() / 4 * 4);
        std::vector<float> a = Samples16(got, 2, 0), b = Samples16(got, 2, 1);
        ASSERT_EQ(a, b);

        // The same chain built from the stages.
        std::vector<float> L = xl, R = xr, y(L.size());
        size_t made = 0;
        qk::dsp::DcBlocker dcl, dcr;
        dcl.SetRate(16000);
        dcr.SetRate(16000);
        qk::dsp::NoiseGuard ng;
        ng.Setup(16000);
        ng.SetEnabled(row.noiseGuard);
        if (row.bfa3) {
            qk::dsp::Bfa3 b3;
            b3.Setup(16000);
            for (size_t i = 0; i < L.size(); i += 4096) {
                size_t n = std::min<size_t>(4096, L.size() - i);
                size_t m = b3.Process(L.data() + i, R.data() + i, n, y.data() + made);
                if (row.noiseGuard) m = ng.Process(y.data() + made, m, y.data() + made);
                made += m;
            }
        } else if (row.bfa) {
            qk::dsp::Bfa bf;
            bf.Setup(16000);
            bf.SetNoiseGuard(row.noiseGuard);
            dcl.Process(L.data(), L.size());
            dcr.Process(R.data(), R.size());
            for (size_t i = 0; i < L.size(); i += 4096)
                made += bf.Process(L.data() + i, R.data() + i, std::min<size_t>(4096, L.size() - i), y.data() + made);
        } else {
            for (size_t i = 0; i < L.size(); ++i) L[i] = (L[i] + R[i]) * 0.5f;
            dcl.Process(L.data(), L.size());
            for (size_t i = 0; i < L.size(); i += 4096)
                made += ng.Process(L.data() + i, std::min<size_t>(4096, L.size() - i), y.data() + made);
        }
        ASSERT_LE(a.size(), made);
        ASSERT_GE(a.size() + 2, made);
        size_t differ = 0;
        int worst = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            differ += int16_t(a[i]) != Round16(y[i]);
            worst = std::max(worst, std::abs(int(a[i]) - int(Round16(y[i]))));
        }
        // BFA3's rate converters sum in batches whose bounds follow the
        // buffers: float rounding may move a sample by one step.
        if (row.bfa3) {
            EXPECT_LE(worst, 1);
            EXPECT_LT(differ, a.size() / 1000);
        } else {
            EXPECT_EQ(differ, 0u) << "worst " << worst;
        }
    }
}

TEST_F(CaptureProcessorTest, TheStartUpDelayShortensTheFirstBuffersAndRepeatsTheLastSample) {
    Configure(true, false, false, 16000, 1, 16);
    std::vector<uint8_t> buffer(640);
    for (size_t i = 0; i < buffer.size(); i += 2) buffer[i] = 100;  // a steady 100
    std::vector<uint8_t> sentinel(buffer.size(), 0xEE);
    ULONG produced = p_->Process(buffer.data(), ULONG(buffer.size()));
    EXPECT_LT(produced, buffer.size());
    EXPECT_EQ(produced % 2, 0u);
    // Whatever came out, the rest repeats its last sample (zeros if none).
    const uint8_t lo = produced ? buffer[produced - 2] : 0, hi = produced ? buffer[produced - 1] : 0;
    for (size_t i = produced; i < buffer.size(); i += 2) {
        ASSERT_EQ(buffer[i], lo) << i;
        ASSERT_EQ(buffer[i + 1], hi) << i;
    }
}

TEST_F(CaptureProcessorTest, FormatsOutsideTheRangeAreIgnored) {
    struct Row { ULONG rate, channels, bits; } rows[] = {{3999, 1, 16}, {48001, 2, 16}, {16000, 0, 16}, {16000, 5, 16},
                                                        {16000, 2, 24}, {16000, 2, 8}};
    p_->SetFormat(32000, 2, 32);
    for (const Row& row : rows) {
        p_->SetFormat(row.rate, row.channels, row.bits);
        EXPECT_EQ(p_->requested().rateHz, 32000u);
        EXPECT_EQ(p_->requested().channels, 2u);
        EXPECT_EQ(p_->requested().bits, 32u);
    }
    p_->SetFeature(FEATURE_ECHOQUELL, 1);  // not the capture processor's
    EXPECT_EQ(p_->requested().noiseGuard, true);
}

TEST(MicBoost, SaturatesAndCarriesSplitSamples) {
    // 16-bit: 2000 * 20 and -2000 * 20 saturate at +-32767.
    int16_t s16[4] = {2000, -2000, 100, -3};
    ULONG carry = 0;
    ApplyMicBoost(reinterpret_cast<UCHAR*>(s16), sizeof s16, 16, 20, &carry);
    EXPECT_EQ(s16[0], 32767);
    EXPECT_EQ(s16[1], -32767);
    EXPECT_EQ(s16[2], 2000);
    EXPECT_EQ(s16[3], -60);
    EXPECT_EQ(carry, 0u);
    // 32-bit: an overflowing product goes to the ends of the range.
    int32_t s32[3] = {0x10000000, -0x10000000, 1000};
    ApplyMicBoost(reinterpret_cast<UCHAR*>(s32), sizeof s32, 32, 20, &carry);
    EXPECT_EQ(s32[0], 0x7FFFFFFF);
    EXPECT_EQ(s32[1], int32_t(0x80000001u));
    EXPECT_EQ(s32[2], 20000);
    // A buffer ending inside a sample: the next starts after the rest of it.
    uint8_t stream[10];
    int16_t values[5] = {10, 20, 30, 40, 50};
    std::memcpy(stream, values, sizeof values);
    carry = 0;
    ApplyMicBoost(stream, 5, 16, 2, &carry);  // 10, 20 and half of 30
    EXPECT_EQ(carry, 1u);
    ApplyMicBoost(stream + 5, 5, 16, 2, &carry);
    std::memcpy(values, stream, sizeof values);
    EXPECT_EQ(values[0], 20);
    EXPECT_EQ(values[1], 40);
    EXPECT_EQ(values[2], 30);  // split: left alone
    EXPECT_EQ(values[3], 80);
    EXPECT_EQ(values[4], 100);
    // Other sample sizes are left alone.
    uint8_t eight[4] = {1, 2, 3, 4};
    ApplyMicBoost(eight, 4, 8, 20, &carry);
    EXPECT_EQ(eight[3], 4);
}

}  // namespace
