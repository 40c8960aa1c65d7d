// Bilinear zooms against a direct evaluation of the sampling formula, the
// narrowed rectangle, the flipped manual box, argument checks and the row
// kernels held equal.
#include <memory>
#include <random>

#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

constexpr uint8_t kSentinel = 0xA5;

// One output sample exactly as the formula states it, walking 16.16
// positions from the rectangle's corner; `distance` is the byte distance of
// horizontal neighbours.
uint8_t DirectSample(const uint8_t* plane, size_t pitch, int planeHeight, int64_t x, int64_t y, int distance,
                     int byteInSample) {
    const int64_t whole = y >> 16;
    const int64_t line = std::min<int64_t>(whole, std::max(planeHeight - 2, 0));
    const int64_t below = whole + 1 < planeHeight - 2 ? line + 1 : line;
    const int64_t fy = (y & 0xFFFF) >> 8, gy = (65536 - (y & 0xFFFF)) >> 8;
    const int64_t fx = (x & 0xFFFF) >> 8, gx = (65536 - (x & 0xFFFF)) >> 8;
    const int64_t i = (x >> 16) * distance + byteInSample;
    const uint8_t* a = plane + size_t(line) * pitch;
    const uint8_t* b = plane + size_t(below) * pitch;
    return uint8_t((fy * (gx * b[i] + fx * b[i + distance]) + gy * (gx * a[i] + fx * a[i + distance]) + 32768) >> 16);
}

// The zoom of one plane of `bytes`-byte pixels (1 gray, 3 RGB24).
void DirectPlane(uint8_t* dst, int dw, int dh, size_t dp, const uint8_t* src, int sh, size_t sp, int bytes,
                 RectQ16 r) {
    const int64_t stepX = std::max<int64_t>(0, (r.width - 131072) / dw);
    const int64_t stepY = std::max<int64_t>(0, (r.height - 131072) / dh);
    int64_t y = r.y;
    for (int row = 0; row < dh; ++row, y += stepY) {
        int64_t x = r.x;
        for (int col = 0; col < dw; ++col, x += stepX) {
            for (int ch = 0; ch < bytes; ++ch) {
                dst[size_t(row) * dp + size_t(col * bytes + ch)] = DirectSample(src, sp, sh, x, y, bytes, ch);
            }
        }
    }
}

void DirectYuy2(uint8_t* dst, int dw, int dh, size_t dp, const uint8_t* src, int sh, size_t sp, RectQ16 r) {
    const int64_t stepX = (r.width - 131072) / dw, stepY = (r.height - 131072) / dh;
    int64_t y = r.y;
    for (int row = 0; row < dh; ++row, y += stepY) {
        const int64_t upper = std::min<int64_t>(y >> 16, sh - 2);
        int64_t x = r.x;
        for (int col = 0; col < dw; col += 2, x += 2 * stepX) {
            uint8_t* o = dst + size_t(row) * dp + 2 * size_t(col);
            o[0] = DirectSample(src, sp, sh, x, y, 2, 0);
            o[1] = src[size_t(upper) * sp + 4 * size_t((x >> 16) >> 1) + 1];
            o[2] = DirectSample(src, sp, sh, x + stepX, y, 2, 0);
            o[3] = src[size_t(upper) * sp + 4 * size_t(((x + stepX) >> 16) >> 1) + 3];
        }
    }
}

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

struct Geometry {
    int srcW, srcH, dstW, dstH, srcPad, dstPad;
    RectQ16 rect;
};

// Random pictures and rectangles inside them, from strong zoom-in to
// reduction, with padded pitches.
std::vector<Geometry> RandomGeometries(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Geometry> out;
    for (int i = 0; i < count; ++i) {
        Geometry g{};
        g.srcW = 4 + 2 * int(rng() % 150);
        g.srcH = 4 + int(rng() % 200);
        g.dstW = 2 + 2 * int(rng() % 300);
        g.dstH = 2 + int(rng() % 150);
        g.srcPad = int(rng() % 9);
        g.dstPad = int(rng() % 9);
        const int64_t maxW = int64_t(g.srcW) << 16, maxH = int64_t(g.srcH) << 16;
        g.rect.width = 4 * 65536 + int64_t(rng() % uint32_t(maxW - 4 * 65536 + 1));
        g.rect.height = 4 * 65536 + int64_t(rng() % uint32_t(maxH - 4 * 65536 + 1));
        g.rect.x = int64_t(rng() % uint32_t(maxW - g.rect.width + 1));
        g.rect.y = int64_t(rng() % uint32_t(maxH - g.rect.height + 1));
        out.push_back(g);
    }
    out.push_back(Geometry{640, 480, 640, 480, 0, 0, RectQ16{0, 0, 640 << 16, 480 << 16}});
    out.push_back(Geometry{640, 480, 640, 480, 0, 0, RectQ16{123456, 654321, 320 << 16, 240 << 16}});
    return out;
}

TEST(VpeZoom, MatchesTheFormulaForAllThreeMediaTypes) {
    int index = 0;
    for (const Geometry& g : RandomGeometries(60, 7)) {
        SCOPED_TRACE(index++);
        const auto rx = int32_t(g.rect.x), ry = int32_t(g.rect.y), rw = int32_t(g.rect.width),
                   rh = int32_t(g.rect.height);
        {  // RGB24
            const int sp = 3 * g.srcW + g.srcPad, dp = 3 * g.dstW + g.dstPad;
            const auto src = Noise(size_t(sp) * g.srcH, 1);
            std::vector<uint8_t> dst(size_t(dp) * g.dstH + 16, kSentinel), want = dst;
            ASSERT_EQ(vpeZoomLinRgb24(dst.data(), g.dstW, g.dstH, dp, src.data(), g.srcW, g.srcH, sp, rx, ry, rw, rh),
                      VPE_SUCCESS);
            DirectPlane(want.data(), g.dstW, g.dstH, size_t(dp), src.data(), g.srcH, size_t(sp), 3, g.rect);
            ASSERT_EQ(dst, want);
        }
        {  // YUY2
            const int sp = 2 * g.srcW + 2 * g.srcPad, dp = 2 * g.dstW + 2 * g.dstPad;
            const auto src = Noise(size_t(sp) * g.srcH, 2);
            std::vector<uint8_t> dst(size_t(dp) * g.dstH + 16, kSentinel), want = dst;
            ASSERT_EQ(ftkZoomYuy2(dst.data(), g.dstW, g.dstH, dp, src.data(), g.srcW, g.srcH, sp, rx, ry, rw, rh),
                      VPE_SUCCESS);
            DirectYuy2(want.data(), g.dstW, g.dstH, size_t(dp), src.data(), g.srcH, size_t(sp), g.rect);
            ASSERT_EQ(dst, want);
        }
        {  // I420: chroma planes after height * pitch, pitch / 2 apart
            const int sp = g.srcW, dp = g.dstW + 2 * g.dstPad;
            const size_t srcBytes = size_t(sp) * g.srcH + 2 * size_t(sp / 2) * (g.srcH / 2);
            const size_t dstBytes = size_t(dp) * g.dstH + 2 * size_t(dp / 2) * (g.dstH / 2);
            const auto src = Noise(srcBytes, 3);
            std::vector<uint8_t> dst(dstBytes + 16, kSentinel), want = dst;
            ASSERT_EQ(vpeZoomLinI420(dst.data(), g.dstW, g.dstH, dp, src.data(), g.srcW, g.srcH, sp, rx, ry, rw, rh),
                      VPE_SUCCESS);
            DirectPlane(want.data(), g.dstW, g.dstH, size_t(dp), src.data(), g.srcH, size_t(sp), 1, g.rect);
            const RectQ16 half{g.rect.x >> 1, g.rect.y >> 1, g.rect.width >> 1, g.rect.height >> 1};
            const uint8_t* su = src.data() + size_t(sp) * g.srcH;
            uint8_t* wu = want.data() + size_t(dp) * g.dstH;
            DirectPlane(wu, g.dstW / 2, g.dstH / 2, size_t(dp / 2), su, g.srcH / 2, size_t(sp / 2), 1, half);
            DirectPlane(wu + size_t(dp / 2) * (g.dstH / 2), g.dstW / 2, g.dstH / 2, size_t(dp / 2),
                        su + size_t(sp / 2) * (g.srcH / 2), g.srcH / 2, size_t(sp / 2), 1, half);
            ASSERT_EQ(dst, want);
        }
    }
}

// One workspace serves frame after frame (the context's): column tables are
// rebuilt whenever anything they depend on changes, and reused otherwise.
TEST(VpeZoom, ReusedWorkspaceGivesTheFormulaAsTheRectangleChanges) {
    auto ws = std::make_unique<ZoomWorkspace>();
    const RectQ16 a{123456, 654321, 320 << 16, 240 << 16};
    const RectQ16 steps[] = {a,
                             a,
                             {a.x + 1, a.y, a.width, a.height},
                             {a.x + 3 * 65536 + 5000, a.y, a.width, a.height},
                             {a.x, a.y, a.width + 20000, a.height},
                             {a.x, a.y + 65536, a.width, a.height},
                             a,
                             {0, 0, 640 << 16, 480 << 16},
                             a};
    const int w = 640, h = 480;
    const auto yuy2 = Noise(size_t(2 * w) * h, 21), rgb = Noise(size_t(3 * w) * h, 22);
    const auto i420 = Noise(size_t(w) * h * 3 / 2, 23);
    for (int mediaType : {MT_YUY2, MT_RGB24, MT_I420}) {
        for (int dstW : {640, 320, 640}) {  // the destination width changes the step
            const int dstH = dstW * 3 / 4;
            int index = 0;
            for (const RectQ16& r : steps) {
                SCOPED_TRACE(::testing::Message() << mediaType << " " << dstW << " step " << index++);
                std::vector<uint8_t> dst(size_t(3 * dstW) * dstH, kSentinel), want = dst;
                if (mediaType == MT_YUY2) {
                    ZoomYuy2(dst.data(), dstW, dstH, 2 * dstW, yuy2.data(), w, h, 2 * w, r, *ws);
                    DirectYuy2(want.data(), dstW, dstH, size_t(2 * dstW), yuy2.data(), h, size_t(2 * w), r);
                } else if (mediaType == MT_RGB24) {
                    ZoomRgb24(dst.data(), dstW, dstH, 3 * dstW, rgb.data(), w, h, 3 * w, r, *ws);
                    DirectPlane(want.data(), dstW, dstH, size_t(3 * dstW), rgb.data(), h, size_t(3 * w), 3, r);
                } else {  // three planes in turn, with two rectangles
                    ZoomI420(dst.data(), dstW, dstH, dstW, i420.data(), w, h, w, r, *ws);
                    DirectPlane(want.data(), dstW, dstH, size_t(dstW), i420.data(), h, size_t(w), 1, r);
                    const RectQ16 half{r.x >> 1, r.y >> 1, r.width >> 1, r.height >> 1};
                    const uint8_t* su = i420.data() + size_t(w) * h;
                    uint8_t* wu = want.data() + size_t(dstW) * dstH;
                    DirectPlane(wu, dstW / 2, dstH / 2, size_t(dstW / 2), su, h / 2, size_t(w / 2), 1, half);
                    DirectPlane(wu + size_t(dstW / 2) * (dstH / 2), dstW / 2, dstH / 2, size_t(dstW / 2),
                                su + size_t(w / 2) * (h / 2), h / 2, size_t(w / 2), 1, half);
                }
                ASSERT_EQ(dst, want);
            }
        }
    }
    // The same rectangle in a narrower picture that ends where it ends: the
    // tables built for the wider lines would load past these.
    const RectQ16 edge{(400 << 16) + 30000, 10 << 16, 200 << 16, 150 << 16};
    for (int srcW : {640, 602, 640, 602}) {
        SCOPED_TRACE(srcW);
        const auto narrow = Noise(size_t(2 * srcW) * 160, 24);  // exactly the picture
        std::vector<uint8_t> dst(size_t(2 * 640) * 480, kSentinel), want = dst;
        ZoomYuy2(dst.data(), 640, 480, 2 * 640, narrow.data(), srcW, 160, 2 * srcW, edge, *ws);
        DirectYuy2(want.data(), 640, 480, size_t(2 * 640), narrow.data(), 160, size_t(2 * srcW), edge);
        ASSERT_EQ(dst, want);
    }
}

TEST(VpeZoom, WholePictureNeverSamplesTheLastColumnOrTheLastTwoLines) {
    const int w = 64, h = 48;
    std::vector<uint8_t> src(size_t(w) * h * 3, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (x == w - 1 || y >= h - 2) std::fill_n(&src[(size_t(y) * w + x) * 3], 3, uint8_t(255));
        }
    }
    std::vector<uint8_t> dst(src.size(), kSentinel);
    ASSERT_EQ(vpeZoomLinRgb24(dst.data(), w, h, 3 * w, src.data(), w, h, 3 * w, 0, 0, w << 16, h << 16), VPE_SUCCESS);
    for (uint8_t b : dst) ASSERT_EQ(b, 0);
}

TEST(VpeZoom, RefusesRectanglesAndPicturesItCannotStayInside) {
    const int w = 32, h = 24;
    const std::vector<uint8_t> src(size_t(w) * h * 3, 9);
    std::vector<uint8_t> dst(size_t(w) * h * 3, kSentinel);
    struct Case {
        const char* name;
        int dstW, dstPitch, srcW, srcPitch;
        int32_t x, y, rw, rh;
    };
    const Case cases[] = {
        {"right of the source", w, 3 * w, w, 3 * w, 1 << 16, 0, w << 16, h << 16},
        {"below the source", w, 3 * w, w, 3 * w, 0, 1, 8 << 16, h << 16},
        {"negative corner", w, 3 * w, w, 3 * w, -1, 0, 8 << 16, 8 << 16},
        {"narrower than two pixels", w, 3 * w, w, 3 * w, 0, 0, (2 << 16) - 1, 8 << 16},
        {"negative size", w, 3 * w, w, 3 * w, 0, 0, -(8 << 16), 8 << 16},
        {"short source pitch", w, 3 * w, w, 3 * w - 1, 0, 0, 8 << 16, 8 << 16},
        {"short destination pitch", w, 3 * w - 1, w, 3 * w, 0, 0, 8 << 16, 8 << 16},
        {"zero width", 0, 3 * w, w, 3 * w, 0, 0, 8 << 16, 8 << 16},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(vpeZoomLinRgb24(dst.data(), k.dstW, h, k.dstPitch, src.data(), k.srcW, h, k.srcPitch, k.x, k.y, k.rw,
                                  k.rh),
                  VPE_ANALYSIS_FAILED);
    }
    EXPECT_EQ(ftkZoomYuy2(dst.data(), w - 1, h, 2 * w, src.data(), w, h, 2 * w, 0, 0, 8 << 16, 8 << 16),
              VPE_ANALYSIS_FAILED);  // odd pair width
    EXPECT_EQ(vpeZoomLinI420(dst.data(), w, h, w, src.data(), w, h, w, 0, 0, 3 << 16, 8 << 16),
              VPE_ANALYSIS_FAILED);  // chroma rectangle under two pixels
    EXPECT_EQ(vpeZoomLinRgb24(nullptr, w, h, 3 * w, src.data(), w, h, 3 * w, 0, 0, 8 << 16, 8 << 16),
              VPE_ANALYSIS_FAILED);
    for (uint8_t b : dst) ASSERT_EQ(b, kSentinel);
}

TEST_F(VpeTest, DigitalZoomBoxIsInTenthsAndMirroredForBottomUpPictures) {
    PVPE_CONTEXT c = NewContext(VPE_FLIP_RGB24);
    const int w = 64, h = 48, pitch = 3 * w;
    // In memory, the last half of the lines (the top of the displayed picture) is bright.
    std::vector<uint8_t> src(size_t(pitch) * h, 20);
    std::fill(src.begin() + size_t(pitch) * (h / 2), src.end(), uint8_t(200));
    std::vector<uint8_t> dst(src.size(), kSentinel), want(src.size(), kSentinel);
    ASSERT_EQ(vpeDigitalZoom(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, 0, 0, 10 * w, 10 * h / 2, MT_RGB24,
                             0),
              VPE_SUCCESS);
    DirectPlane(want.data(), w, h, size_t(pitch), src.data(), h, size_t(pitch), 3,
                RectQ16{0, int64_t(h / 2) << 16, int64_t(w) << 16, int64_t(h / 2) << 16});
    EXPECT_EQ(dst, want);
    for (uint8_t b : dst) ASSERT_GE(b, 199);

    // Without the flag the same box is the first lines in memory; tenths
    // round toward zero (3 tenths is 19660 in 16.16).
    PVPE_CONTEXT plain = NewContext(0);
    ASSERT_EQ(vpeDigitalZoom(plain, dst.data(), w, h, pitch, src.data(), w, h, pitch, 3, 0, 10 * w - 3, 10 * h / 2,
                             MT_RGB24, 0),
              VPE_SUCCESS);
    DirectPlane(want.data(), w, h, size_t(pitch), src.data(), h, size_t(pitch), 3,
                RectQ16{19660, 0, (int64_t(10 * w - 3) << 16) / 10, int64_t(h / 2) << 16});
    EXPECT_EQ(dst, want);
    EXPECT_EQ(vpeDigitalZoom(plain, dst.data(), w, h, pitch, src.data(), w, h, pitch, 0, 0, 10, 10, 99, 0),
              VPE_SUCCESS);  // unknown media type: nothing done
    EXPECT_EQ(vpeDigitalZoom(nullptr, dst.data(), w, h, pitch, src.data(), w, h, pitch, 0, 0, 10, 10, MT_RGB24, 0),
              VPE_INVALID_PARAM);
}

// Both strip sizes: the context's workspace and the direct calls' smaller
// one. Counts in blockTrials the trials the AVX-512 blocks covered.
template <typename Workspace>
void ExpectFastKernelsGiveTheReferenceBytes(const row::ZoomKernels* fast, int& blockTrials) {
    const auto& ref = row::ReferenceZoomKernels();
    const auto& refStrip = row::StripKernelsOf<Workspace>(ref);
    const auto& fastStrip = row::StripKernelsOf<Workspace>(*fast);
    auto ws = std::make_unique<Workspace>();
    std::mt19937 rng(11);
    const auto line = Noise(3 * 4096 + 64, 5);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        const ZoomLayout layout = ZoomLayout(trial % 3);
        const int n = 1 + int(rng() % Workspace::kStrip);
        const int64_t step = int64_t(rng() % (3 * 65536));
        const int first = layout == ZoomLayout::kYuy2 ? 0 : int(rng() % 8);
        // Keep every sample and its far neighbour inside the line.
        const int lineBytes = 3 * 4096;
        const int64_t span = (int64_t(first + n) / (layout == ZoomLayout::kBgr ? 3 : 1) + 1) * step;
        const int64_t maxX = (int64_t(4096 - 4) << 16) / (layout == ZoomLayout::kGray ? 1 : 3) - span;
        if (maxX <= 0) continue;
        BuildZoomColumns(layout, int64_t(rng() % uint64_t(maxX)), step, first, n & ~1, lineBytes, *ws);
        const int count = n & ~1;
        if constexpr (decltype(ws->blocks)::kPresent) blockTrials += count >= 32 && ws->blocks.samples == (count & ~31);
        std::vector<uint16_t> a(Workspace::kStrip + 16, 0xBEEF), b = a;
        refStrip.horizontal(line.data(), *ws, count, a.data());
        fastStrip.horizontal(line.data(), *ws, count, b.data());
        ASSERT_EQ(a, b);
        std::vector<uint8_t> oa(Workspace::kStrip + 40, kSentinel), ob = oa;
        const int nearWeight = int(rng() % 257), farWeight = std::min(256 - nearWeight, int(rng() % 256));
        ref.vertical(a.data(), b.data() + 1, count, nearWeight, farWeight, oa.data());
        fast->vertical(a.data(), b.data() + 1, count, nearWeight, farWeight, ob.data());
        ASSERT_EQ(oa, ob);
        if (layout == ZoomLayout::kYuy2) {
            std::vector<uint8_t> ca(Workspace::kStrip + 40, kSentinel), cb = ca;
            refStrip.chromaPairs(line.data(), *ws, count, ca.data());
            fastStrip.chromaPairs(line.data(), *ws, count, cb.data());
            ASSERT_EQ(ca, cb);
            std::vector<uint8_t> pa(2 * Workspace::kStrip + 40, kSentinel), pb = pa;
            ref.verticalYuy2(a.data(), b.data(), count, nearWeight, farWeight, ca.data(), pa.data());
            fast->verticalYuy2(a.data(), b.data(), count, nearWeight, farWeight, ca.data(), pb.data());
            ASSERT_EQ(pa, pb);
        }
    }
}

TEST(VpeZoomKernels, FastKernelsGiveTheReferenceBytes) {
    const struct {
        const char* name;
        const row::ZoomKernels* kernels;
    } tiers[] = {{"AVX2", row::Avx2ZoomKernels()}, {"AVX-512", row::Avx512ZoomKernels()}};
    int tested = 0;
    for (const auto& tier : tiers) {
        if (tier.kernels == nullptr) continue;
        SCOPED_TRACE(tier.name);
        ++tested;
        int blockTrials = 0;
        ExpectFastKernelsGiveTheReferenceBytes<ZoomWorkspace>(tier.kernels, blockTrials);
        ExpectFastKernelsGiveTheReferenceBytes<StackZoomWorkspace>(tier.kernels, blockTrials);
        // The steps reach three source pixels a sample: most trials fit the
        // 128-byte blocks, the rest go to the AVX2 kernels.
        EXPECT_GT(blockTrials, 100);
    }
    if (tested == 0) GTEST_SKIP() << "no AVX2 on this processor";
}

TEST(VpeZoomKernels, FastLumaClampGivesTheReferenceBytes) {
    const row::ZoomKernels* fast = row::Avx2ZoomKernels();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
    std::vector<uint8_t> every(256 + 37);
    for (size_t i = 0; i < every.size(); ++i) every[i] = uint8_t(i);  // every value, and a tail
    for (const auto& in : {every, Noise(25344, 12), Noise(31, 13)}) {
        std::vector<uint8_t> a(in.size() + 8, kSentinel), b = a;
        row::ReferenceZoomKernels().clampLuma(a.data(), in.data(), in.size());
        fast->clampLuma(b.data(), in.data(), in.size());
        ASSERT_EQ(a, b);
        EXPECT_EQ(b[in.size()], kSentinel);
    }
    std::vector<uint8_t> out(every.size());
    fast->clampLuma(out.data(), every.data(), every.size());
    EXPECT_EQ(out[5], 16);
    EXPECT_EQ(out[16], 16);
    EXPECT_EQ(out[100], 100);
    EXPECT_EQ(out[235], 235);
    EXPECT_EQ(out[240], 235);
}

TEST(VpeZoomKernels, FastTimeSmoothingGivesTheReferenceBytes) {
    const row::ZoomKernels* fast = row::Avx2ZoomKernels();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
    for (size_t bytes : {size_t(0), size_t(31), size_t(32), size_t(38016), size_t(1001)}) {
        const auto fresh = Noise(bytes, 9);
        auto a = Noise(bytes, 10), b = a;
        row::ReferenceZoomKernels().smooth(a.data(), fresh.data(), bytes);
        fast->smooth(b.data(), fresh.data(), bytes);
        ASSERT_EQ(a, b);
    }
}

TEST(VpeZoomKernels, FastMotionDifferencesGiveTheReferenceBytesAndSums) {
    const row::ZoomKernels* fast = row::Avx2ZoomKernels();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
    // Extremes (0 against 255 everywhere) and noise, past the point (528 KB)
    // where the squares of 32-bit lanes would overflow without widening.
    std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> pictures;
    for (size_t bytes : {size_t(0), size_t(31), size_t(33), size_t(25344), size_t(600001)}) {
        pictures.emplace_back(Noise(bytes, 3), Noise(bytes, 4));
        pictures.emplace_back(std::vector<uint8_t>(bytes, 0), std::vector<uint8_t>(bytes, 255));
        pictures.emplace_back(std::vector<uint8_t>(bytes, 255), std::vector<uint8_t>(bytes, 0));
    }
    for (const auto& [a, b] : pictures) {
        SCOPED_TRACE(a.size());
        std::vector<uint8_t> da(a.size() + 8, kSentinel), db = da;
        const row::DifferenceSums ref = row::ReferenceZoomKernels().absDifference(a.data(), b.data(), a.size(), da.data());
        const row::DifferenceSums got = fast->absDifference(a.data(), b.data(), a.size(), db.data());
        ASSERT_EQ(da, db);
        EXPECT_EQ(ref.sum, got.sum);
        EXPECT_EQ(ref.squares, got.squares);
        if (!a.empty() && a[0] == 0 && b[0] == 255) {
            EXPECT_EQ(got.squares, uint64_t(a.size()) * 255 * 255);
        }
    }
}

}  // namespace
}  // namespace qk::vpe
