// Building blocks: DC removal, rings, resampler, noise tracker, kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audiofilter/dsp/band_filter.h"
#include "audiofilter/dsp/dc_blocker.h"
#include "audiofilter/dsp/kernels.h"
#include "audiofilter/dsp/noise_tracker.h"
#include "audiofilter/dsp/resampler.h"
#include "audiofilter/dsp/sample_ring.h"
#include "sim/sound/speech.h"

namespace qk::dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

double Rms(const float* x, size_t n) {
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += double(x[i]) * x[i];
    return n ? std::sqrt(s / n) : 0;
}

TEST(DcBlocker, CoefficientsFollowTheRate) {
    struct Row { ULONG rate; float r; } rows[] = {
        {4000, 0.98f}, {8000, 0.98f}, {8001, 0.985f}, {11025, 0.985f}, {16000, 0.99f},
        {22050, 0.993f}, {22051, 0.995f}, {48000, 0.995f}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        EXPECT_FLOAT_EQ(DcBlocker::CoefficientForRate(row.rate), row.r);
    }
}

TEST(DcBlocker, ConstantInputDecaysToZeroAndToneKeepsItsLevel) {
    DcBlocker dc;
    dc.SetRate(8000);
    std::vector<float> x(8000, 1000.0f);
    dc.Process(x.data(), x.size());
    EXPECT_GT(x[0], 900.0f);  // the step passes at first
    EXPECT_LT(std::fabs(x.back()), 1e-3f);

    // 1 kHz at 8000 Hz through r = 0.98: |H| = 0.989 (about -0.1 dB).
    dc.SetRate(8000);
    std::vector<float> tone(16000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = float(10000 * std::sin(2 * kPi * 1000 * i / 8000.0));
    std::vector<float> out(tone.size());
    dc.Process(tone.data(), out.data(), tone.size());
    double gain = Rms(out.data() + 8000, 8000) / Rms(tone.data() + 8000, 8000);
    EXPECT_NEAR(gain, 0.989, 0.001);

    // Recomputing r clears the state.
    dc.SetRate(16000);
    EXPECT_FLOAT_EQ(dc.Process(0.0f), 0.0f);
}

TEST(SampleRing, PushFailsWhenFullPopWhenEmptyAndContentSurvivesGrowth) {
    Int16Ring ring(4);
    int16_t v = 0;
    EXPECT_FALSE(ring.Pop(v));
    for (int16_t i = 1; i <= 4; ++i) EXPECT_TRUE(ring.Push(i));
    EXPECT_TRUE(ring.full());
    EXPECT_FALSE(ring.Push(5));
    EXPECT_TRUE(ring.Pop(v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(ring.Push(5));  // wraps
    ring.Grow(12);
    EXPECT_EQ(ring.capacity(), 12u);
    int16_t more[] = {6, 7, 8};
    EXPECT_EQ(ring.Write(more, 3), 3u);
    int16_t got[16] = {};
    ASSERT_EQ(ring.Read(got, 16), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(got[i], i + 2);
    FloatRing f(3);
    float in[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(f.Write(in, 5), 3u);  // only what fits
    EXPECT_EQ(f.Skip(10), 3u);
    EXPECT_TRUE(f.empty());
}

TEST(Resampler, StoredFiltersAndConversionsKeepLevelAndRate) {
    for (ULONG k = 2; k <= 7; ++k) {
        auto f = ResamplingFilter(k);
        ASSERT_EQ(f.size(), 32u * k);
        double sum = 0;
        for (float v : f) sum += v;
        EXPECT_NEAR(sum, 1.0, 1e-5);
    }
    EXPECT_TRUE(ResamplingFilter(1).empty());
    EXPECT_TRUE(ResamplingFilter(8).empty());

    struct Row { RateRatio ratio; } rows[] = {{{1, 2}}, {{2, 1}}, {{1, 6}}, {{5, 7}}, {{7, 5}}, {{2, 3}}, {{3, 2}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.ratio.up << "/" << row.ratio.down);
        Resampler r;
        r.Setup(row.ratio);
        // 300 Hz at 48000 Hz nominal input rate scaled: a low tone passes at unity.
        const double inRate = 42000;
        std::vector<float> x(42000);
        for (size_t i = 0; i < x.size(); ++i) x[i] = float(1000 * std::sin(2 * kPi * 300 * i / inRate));
        std::vector<float> y(r.MaxOutput(x.size()));
        size_t total = 0;
        for (size_t at = 0; at < x.size(); at += 1000) total += r.Process(x.data() + at, 1000, y.data() + total);
        double expected = double(x.size()) * row.ratio.up / row.ratio.down;
        EXPECT_NEAR(double(total), expected, 1.0);
        EXPECT_NEAR(Rms(y.data() + total / 4, total / 2), 1000 / std::sqrt(2.0), 10.0);
    }
}

TEST(Resampler, PathsToEightKilohertz) {
    struct Row { ULONG rate; bool ok; size_t count; ULONG up0, down0; } rows[] = {
        {7999, false, 0, 1, 1}, {48001, false, 0, 1, 1}, {8000, true, 0, 1, 1}, {9600, true, 0, 1, 1},
        {12000, true, 1, 2, 3}, {16000, true, 1, 1, 2}, {44100, true, 2, 5, 7}, {22050, true, 2, 5, 7},
        {11025, true, 1, 5, 7}, {48000, true, 1, 1, 6}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        EightKiloHertzPath p = PathTo8000(row.rate);
        EXPECT_EQ(p.ok, row.ok);
        EXPECT_EQ(p.count, row.count);
        if (row.count) {
            EXPECT_EQ(p.steps[0].up, row.up0);
            EXPECT_EQ(p.steps[0].down, row.down0);
        }
    }
    EXPECT_EQ(PathTo8000(44100).steps[1].down, 4u);
}

TEST(NoiseTracker, SearchWindowGrowsToOneThousand) {
    NoiseTracker t;
    t.Setup(2);
    std::vector<Complex> frame(2, Complex(100, 0));
    EXPECT_EQ(t.window(), 125u);
    std::vector<ULONG> seen;
    for (int i = 0; i < 5000; ++i) {
        t.Apply(frame.data());
        if (seen.empty() || seen.back() != t.window()) seen.push_back(t.window());
    }
    EXPECT_EQ(seen, (std::vector<ULONG>{125, 250, 500, 1000}));
}

TEST(BandKernels, FastKernelsMatchTheReferenceWithinRounding) {
    for (size_t n : {1u, 4u, 7u, 20u, 40u, 200u}) {
        SCOPED_TRACE(n);
        std::vector<float> a = qk::sim::WhiteNoise(n, 1), b = qk::sim::WhiteNoise(n, 2);
        std::vector<float> c = qk::sim::WhiteNoise(n, 3), d = qk::sim::WhiteNoise(n, 4);
        Complex r = ReferenceKernels().dot(a.data(), b.data(), c.data(), d.data(), n);
        Complex f = FastKernels().dot(a.data(), b.data(), c.data(), d.data(), n);
        EXPECT_NEAR(r.real(), f.real(), 1e-4 * n);
        EXPECT_NEAR(r.imag(), f.imag(), 1e-4 * n);
        std::vector<float> g1(n, 1), h1(n, 1), g2(n, 1), h2(n, 1);
        ReferenceKernels().accumulate(g1.data(), h1.data(), c.data(), d.data(), n, Complex(0.5f, -2), true);
        FastKernels().accumulate(g2.data(), h2.data(), c.data(), d.data(), n, Complex(0.5f, -2), true);
        ReferenceKernels().update(a.data(), b.data(), g1.data(), h1.data(), n, 0.01f);
        std::vector<float> a2 = qk::sim::WhiteNoise(n, 1), b2 = qk::sim::WhiteNoise(n, 2);
        FastKernels().update(a2.data(), b2.data(), g2.data(), h2.data(), n, 0.01f);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_NEAR(g1[i], g2[i], 1e-5);
            EXPECT_NEAR(a[i], a2[i], 1e-5);
            EXPECT_NEAR(b[i], b2[i], 1e-5);
        }
    }
}

TEST(VectorKernels, FastKernelsMatchTheReferenceWithinRounding) {
    // Fused multiply-add rounds once where the reference rounds twice, so
    // the bound is relative to the size of the terms, not to the result.
    for (size_t n : {0u, 1u, 5u, 16u, 33u, 64u, 257u}) {
        SCOPED_TRACE(n);
        std::vector<float> a = qk::sim::WhiteNoise(n + 40, 5), b = qk::sim::WhiteNoise(n + 40, 6);
        EXPECT_NEAR(ReferenceVectorKernels().dot(a.data(), b.data(), n), FastVectorKernels().dot(a.data(), b.data(), n),
                    1e-5 * double(n + 1));
        std::vector<float> r(n, 0.5f), f(n, 0.5f);
        ReferenceVectorKernels().multiplyAdd(r.data(), a.data(), b.data(), n);
        FastVectorKernels().multiplyAdd(f.data(), a.data(), b.data(), n);
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(r[i], f[i], 1e-6 * (0.5 + std::fabs(a[i] * b[i])));
        // Batches of dot products over shifted windows and two coefficient
        // sets, with counts that leave partial groups.
        for (size_t count : {0u, 1u, 3u, 4u, 9u, 40u}) {
            std::vector<const float*> x(count), c(count);
            for (size_t j = 0; j < count; ++j) {
                x[j] = a.data() + j;
                c[j] = (j % 3 == 1) ? a.data() + 40 - j : b.data() + j % 7;
            }
            std::vector<float> want(count, -1.0f), got(count, -2.0f);
            ReferenceVectorKernels().dots(x.data(), c.data(), n, count, want.data());
            FastVectorKernels().dots(x.data(), c.data(), n, count, got.data());
            for (size_t j = 0; j < count; ++j) {
                SCOPED_TRACE(j);
                EXPECT_NEAR(want[j], got[j], 1e-5 * double(n + 1));
            }
        }
    }
}

TEST(Resampler, FastAndReferenceKernelsGiveTheSameConversion) {
    // Every ratio the stages use, fed in uneven pieces that cross the
    // history's slide.
    const std::vector<float> in = qk::sim::WhiteNoise(9000, 21);
    for (RateRatio r : {RateRatio{1, 2}, RateRatio{2, 1}, RateRatio{1, 6}, RateRatio{5, 7}, RateRatio{7, 5},
                        RateRatio{3, 1}, RateRatio{2, 3}}) {
        SCOPED_TRACE(testing::Message() << r.up << "/" << r.down);
        Resampler fast, reference;
        fast.Setup(r);
        reference.Setup(r, ReferenceVectorKernels());
        std::vector<float> a(fast.MaxOutput(in.size()) + 64), b(a.size());
        size_t na = 0, nb = 0;
        for (size_t at = 0, piece = 1; at < in.size(); at += piece, piece = piece * 3 % 5000 + 1) {
            size_t n = std::min(piece, in.size() - at);
            na += fast.Process(in.data() + at, n, a.data() + na);
            nb += reference.Process(in.data() + at, n, b.data() + nb);
        }
        ASSERT_EQ(na, nb);
        EXPECT_NEAR(double(na), double(in.size()) * r.up / r.down, 2.0);
        for (size_t i = 0; i < na; ++i) ASSERT_NEAR(a[i], b[i], 2e-5) << i;
    }
}

TEST(BandFilter, PairedUpdateMovesTheWeightsOnlyOnTheSecondSample) {
    BandFilter f;
    f.Setup(8);
    f.PushReference(Complex(1, 0));
    f.Adapt(Complex(1, 1), 0.5f);
    EXPECT_EQ(f.WeightEnergy(), 0.0);  // first of a pair: gradient only
    f.PushReference(Complex(0, 1));
    f.Adapt(Complex(1, -1), 0.5f);
    // w += 0.5 (s1 conj(x then) + s2 conj(x now)), tap by tap:
    // w0 = 0.5 ((1 + j) conj(1) + (1 - j) conj(j)) = 0,
    // w1 = 0.5 ((1 + j) conj(0) + (1 - j) conj(1)) = 0.5 - 0.5j.
    EXPECT_NEAR(std::abs(f.weight(0)), 0.0, 1e-6);
    EXPECT_NEAR(f.weight(1).real(), 0.5, 1e-6);
    EXPECT_NEAR(f.weight(1).imag(), -0.5, 1e-6);
    // Dropping a half-built pair: the next sample starts a new gradient.
    BandFilter g;
    g.Setup(4);
    g.PushReference(Complex(1, 0));
    g.Adapt(Complex(1, 0), 1.0f);
    g.StopAdapting();
    g.PushReference(Complex(1, 0));
    g.Adapt(Complex(1, 0), 1.0f);
    EXPECT_EQ(g.WeightEnergy(), 0.0);
}

TEST(BandFilter, LengthsByBand) {
    EXPECT_EQ(BandFilterLength(16, 0), 200u);
    EXPECT_EQ(BandFilterLength(16, 2), 160u);
    EXPECT_EQ(BandFilterLength(16, 7), 40u);
    EXPECT_EQ(BandFilterLength(32, 3), 100u);
    EXPECT_EQ(BandFilterLength(32, 12), 20u);
}

}  // namespace
}  // namespace qk::dsp
