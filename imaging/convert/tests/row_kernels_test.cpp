// Every fast kernel gives exactly the bytes of its reference kernel, over
// random rows of many widths (so that both the vector body and the tail run)
// and over every chroma value, and writes nothing past its row.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/convert/resize_row.h"
#include "imaging/convert/row.h"

namespace {

using qk::imaging::row::Avx2Kernels;
using qk::imaging::row::ConvertKernels;
using qk::imaging::row::ReferenceKernels;

constexpr uint8_t kSentinel = 0xC3;
constexpr int kSlack = 64;

std::vector<uint8_t> Random(size_t n, std::mt19937& rng) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

class FastKernels : public ::testing::Test {
protected:
    void SetUp() override {
        fast_ = Avx2Kernels();
        if (fast_ == nullptr) GTEST_SKIP() << "no fast kernels on this processor";
    }
    const ConvertKernels* fast_ = nullptr;
    const ConvertKernels& ref_ = ReferenceKernels();
    std::mt19937 rng_{340};
};

std::vector<int> Widths() {
    std::vector<int> widths;
    for (int w = 1; w <= 80; ++w) widths.push_back(w);
    for (int w : {126, 160, 176, 352, 640, 642, 1280, 1601}) widths.push_back(w);
    return widths;
}

TEST_F(FastKernels, Yuy2ToRgb24) {
    for (int width : Widths()) {
        const int even = width & ~1;
        SCOPED_TRACE(even);
        const auto src = Random(2 * even, rng_);
        std::vector<uint8_t> a(3 * even + kSlack, kSentinel), b = a;
        ref_.yuy2ToRgb24(src.data(), a.data(), even);
        fast_->yuy2ToRgb24(src.data(), b.data(), even);
        ASSERT_EQ(a, b);
        for (int i = 0; i < kSlack; ++i) ASSERT_EQ(b[3 * even + i], kSentinel);
    }
}

TEST_F(FastKernels, Yuy2ToRgb24OverEveryChromaPair) {
    // 65536 (U, V) pairs with luma running through its range.
    const int pairs = 65536;
    std::vector<uint8_t> src(4 * pairs);
    for (int i = 0; i < pairs; ++i) {
        src[4 * i + 0] = uint8_t(i * 13);
        src[4 * i + 1] = uint8_t(i >> 8);
        src[4 * i + 2] = uint8_t(255 - i * 7);
        src[4 * i + 3] = uint8_t(i);
    }
    std::vector<uint8_t> a(6 * pairs), b(6 * pairs);
    ref_.yuy2ToRgb24(src.data(), a.data(), 2 * pairs);
    fast_->yuy2ToRgb24(src.data(), b.data(), 2 * pairs);
    ASSERT_EQ(a, b);
}

TEST_F(FastKernels, Rgb24ToLumaAndI420Pairs) {
    for (int width : Widths()) {
        SCOPED_TRACE(width);
        const auto rgb0 = Random(3 * width, rng_), rgb1 = Random(3 * width, rng_);
        const size_t chroma = size_t(width / 2);
        std::vector<uint8_t> y0a(width + kSlack, kSentinel), y1a = y0a, ua(chroma + kSlack, kSentinel), va = ua;
        std::vector<uint8_t> y0b = y0a, y1b = y0a, ub = ua, vb = ua;
        ref_.rgb24ToI420Pair(rgb0.data(), rgb1.data(), y0a.data(), y1a.data(), ua.data(), va.data(), width);
        fast_->rgb24ToI420Pair(rgb0.data(), rgb1.data(), y0b.data(), y1b.data(), ub.data(), vb.data(), width);
        ASSERT_EQ(y0a, y0b);
        ASSERT_EQ(y1a, y1b);
        ASSERT_EQ(ua, ub);
        ASSERT_EQ(va, vb);
        ASSERT_EQ(ub[chroma], kSentinel);
        ASSERT_EQ(y0b[width], kSentinel);

        std::vector<uint8_t> ya(width + kSlack, kSentinel), yb = ya;
        ref_.rgb24ToY(rgb0.data(), ya.data(), width);
        fast_->rgb24ToY(rgb0.data(), yb.data(), width);
        ASSERT_EQ(ya, yb);
        ASSERT_TRUE(std::equal(ya.begin(), ya.begin() + width, y0a.begin()));
    }
}

TEST_F(FastKernels, Rgb24ExtremesOfEveryChannel) {
    // Saturated and black pixels give the largest chroma sums.
    const uint8_t levels[] = {0, 1, 127, 128, 254, 255};
    std::vector<uint8_t> rgb0, rgb1;
    for (uint8_t b : levels)
        for (uint8_t g : levels)
            for (uint8_t r : levels) {
                rgb0.insert(rgb0.end(), {b, g, r});
                rgb1.insert(rgb1.end(), {r, b, g});
            }
    const int width = int(rgb0.size() / 3);
    std::vector<uint8_t> y0a(width), y1a(width), ua(width / 2), va(width / 2), y0b = y0a, y1b = y1a, ub = ua, vb = va;
    ref_.rgb24ToI420Pair(rgb0.data(), rgb1.data(), y0a.data(), y1a.data(), ua.data(), va.data(), width);
    fast_->rgb24ToI420Pair(rgb0.data(), rgb1.data(), y0b.data(), y1b.data(), ub.data(), vb.data(), width);
    EXPECT_EQ(y0a, y0b);
    EXPECT_EQ(y1a, y1b);
    EXPECT_EQ(ua, ub);
    EXPECT_EQ(va, vb);
}

TEST_F(FastKernels, Yuy2ToI420Rows) {
    for (int width : Widths()) {
        const int even = width & ~1;
        SCOPED_TRACE(even);
        const auto l0 = Random(2 * even, rng_), l1 = Random(2 * even, rng_);
        std::vector<uint8_t> ya(even + kSlack, kSentinel), yb = ya;
        ref_.yuy2ToY(l0.data(), ya.data(), even);
        fast_->yuy2ToY(l0.data(), yb.data(), even);
        ASSERT_EQ(ya, yb);
        std::vector<uint8_t> ua(even / 2 + kSlack, kSentinel), va = ua, ub = ua, vb = ua;
        ref_.yuy2ToUv(l0.data(), l1.data(), ua.data(), va.data(), even);
        fast_->yuy2ToUv(l0.data(), l1.data(), ub.data(), vb.data(), even);
        ASSERT_EQ(ua, ub);
        ASSERT_EQ(va, vb);
    }
}

namespace resize_kernels {

using namespace qk::imaging::resize;

// The shuffled resize kernel against the plain one, enlarging (every group
// usable), shrinking (groups fall back) and near 1:1, with sentinels after
// the row and short source lines (windows must not read past them).
TEST(ResizeKernels, ShuffledRowsEqualReference) {
    const RowKernels* fast = Avx2RowKernels();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(99);
    for (Layout layout : {Layout::kGray, Layout::kRgb24, Layout::kYuy2}) {
        for (int trial = 0; trial < 400; ++trial) {
            size_t srcWidth = 1 + rng() % 300, n = 1 + rng() % kColumnChunk;
            if (layout == Layout::kYuy2) {
                srcWidth = 2 * ((srcWidth + 1) / 2);
                n = 2 * ((n + 1) / 2);
                if (n > kColumnChunk) n -= 2;
            }
            SCOPED_TRACE(::testing::Message() << "layout " << int(layout) << " src " << srcWidth << " n " << n);
            ColumnPlan plan;
            plan.n = n;
            // Columns of a resize of a line srcWidth wide to a line of some
            // width, starting at some output column of it.
            const size_t dstWidth = n + rng() % 64, first = dstWidth - n;
            const uint64_t step = ((uint64_t(srcWidth) << 16) - 65536) / dstWidth;
            for (size_t i = 0; i < n; ++i) plan.columns[i] = uint32_t((32768 + (first + i) * step) >> 16);
            PlanGroups(plan, layout, srcWidth);
            const size_t bpp = BytesPerPixel(layout);
            // The source line sits at the very end of its allocation.
            std::vector<uint8_t> line = Random(srcWidth * bpp, rng);
            std::vector<uint8_t> a(n * bpp + kSlack, kSentinel), b = a;
            Row_Reference(a.data(), line.data(), plan, layout);
            fast->row(b.data(), line.data(), plan, layout);
            ASSERT_EQ(a, b);
            for (int i = 0; i < kSlack; ++i) ASSERT_EQ(b[n * bpp + i], kSentinel);
        }
    }
}

// The windowed YUY2-to-I420 pair kernel against the plain one: shrinking
// by small factors (windows fit), by large ones (groups fall back) and
// enlarging, with each source line at the very end of its allocation and
// sentinels after every output row.
TEST(ResizeKernels, PairWindowsEqualReference) {
    const PairKernels* fast = Avx2PairKernels();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(41);
    for (int trial = 0; trial < 400; ++trial) {
        const size_t dstWidth = 2 * (1 + rng() % 300);
        const size_t srcWidth = trial % 4 == 0 ? 2 * (1 + rng() % 12) : 2 * (1 + rng() % (trial % 3 == 0 ? 2000 : 400));
        const size_t chromaWidth = dstWidth / 2, first = rng() % chromaWidth;
        const size_t pairs = std::min(kPairChunk, chromaWidth - first);
        SCOPED_TRACE(::testing::Message() << "src " << srcWidth << " dst " << dstWidth << " first " << first);
        PairPlan plan;
        PlanPairs(plan, first, pairs, dstWidth, srcWidth);
        const auto line0 = Random(2 * srcWidth, rng), line1 = Random(2 * srcWidth, rng);
        std::vector<uint8_t> y0a(2 * pairs + kSlack, kSentinel), y1a = y0a, ua(pairs + kSlack, kSentinel), va = ua;
        auto y0b = y0a, y1b = y1a, ub = ua, vb = va;
        PairRows_Reference(line0.data(), line1.data(), plan, y0a.data(), y1a.data(), ua.data(), va.data());
        fast->rows(line0.data(), line1.data(), plan, y0b.data(), y1b.data(), ub.data(), vb.data());
        ASSERT_EQ(y0a, y0b);
        ASSERT_EQ(y1a, y1b);
        ASSERT_EQ(ua, ub);
        ASSERT_EQ(va, vb);
        for (int i = 0; i < kSlack; ++i) ASSERT_EQ(ub[pairs + i], kSentinel);
        for (int i = 0; i < kSlack; ++i) ASSERT_EQ(y0b[2 * pairs + i], kSentinel);
    }
}

}  // namespace resize_kernels

}  // namespace
