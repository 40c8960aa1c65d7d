// Picture-in-picture: size, corners, bottom-up placement, the two reductions
// and the bevelled border.
#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

constexpr uint8_t kFill = 7;

struct Inset {
    int x0, y0, x1, y1;  // memory coordinates, exclusive end; empty when nothing changed
};

// Where the destination differs from its fill, judged on the first byte of each pixel.
Inset ChangedArea(const std::vector<uint8_t>& dst, int w, int h, size_t pitch, int bytes) {
    Inset r{w, h, 0, 0};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (dst[size_t(y) * pitch + size_t(x * bytes)] == kFill) continue;
            r = Inset{std::min(r.x0, x), std::min(r.y0, y), std::max(r.x1, x + 1), std::max(r.y1, y + 1)};
        }
    }
    return r;
}

TEST_F(VpeTest, PipOfBottomUpRgb24InModeTwoLiesAtTheMemoryTop) {
    PVPE_CONTEXT c = NewContext(VPE_FLIP_RGB24);
    ASSERT_EQ(vpeFtkInit(c, 640, 480), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_PIP, 2);
    const int w = 640, h = 480, pitch = 3 * w;
    std::vector<uint8_t> src(size_t(pitch) * h, 100), dst(src.size(), kFill);
    ASSERT_EQ(ftkPip(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, MT_RGB24, c->flipFlags), VPE_SUCCESS);
    const Inset r = ChangedArea(dst, w, h, size_t(pitch), 3);
    EXPECT_EQ(r.x0, 4);
    EXPECT_EQ(r.y0, 4);
    EXPECT_EQ(r.x1 - r.x0, 212);  // 213 rounded down to even
    EXPECT_EQ(r.y1 - r.y0, 160);
    // Bevel: light top and left, dark bottom and right, light wins the two corners it shares.
    auto at = [&](int x, int y) { return dst[size_t(y) * pitch + 3 * size_t(x)]; };
    EXPECT_EQ(at(4, 4), 200);
    EXPECT_EQ(at(100, 5), 200);
    EXPECT_EQ(at(5, 100), 200);
    EXPECT_EQ(at(100, 4 + 159), 64);
    EXPECT_EQ(at(4 + 211, 100), 64);
    EXPECT_EQ(at(4 + 211, 4), 200);        // top-right corner
    EXPECT_EQ(at(4, 4 + 159), 200);        // bottom-left corner
    EXPECT_EQ(at(4 + 211, 4 + 159), 64);   // bottom-right corner
    EXPECT_EQ(at(100, 100), 100 * 8 / 8);  // reduction 3 of a flat picture
}

TEST_F(VpeTest, PipCornersInDisplayTerms) {
    struct Case {
        int corner, mediaType, flip, x0, y0;
    };
    // 320 x 240: inset 106 x 80; right-hand x = (320 - 106 - 4) & ~1 = 210.
    const Case cases[] = {
        {1, MT_YUY2, 0, 210, 156}, {2, MT_YUY2, 0, 4, 156}, {3, MT_YUY2, 0, 4, 4}, {4, MT_YUY2, 0, 210, 4},
        {1, MT_I420, VPE_FLIP_I420, 210, 4}, {3, MT_I420, VPE_FLIP_I420, 4, 156},
        {1, MT_RGB24, 0, 210, 156}, {4, MT_RGB24, VPE_FLIP_RGB24, 210, 156},
        {1, MT_YUY2, VPE_FLIP_YUY2, 210, 156},  // YUY2 never flips
    };
    const int w = 320, h = 240;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.corner) + " " + std::to_string(k.mediaType));
        PVPE_CONTEXT c = NewContext(k.flip);
        ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
        vpeSetAttrib(c, VPE_ATTR_PIP, k.corner);
        const int bytes = k.mediaType == MT_RGB24 ? 3 : k.mediaType == MT_YUY2 ? 2 : 1;
        const int pitch = bytes * w;
        const size_t size = k.mediaType == MT_I420 ? size_t(w) * h * 3 / 2 : size_t(pitch) * h;
        std::vector<uint8_t> src(size, 90), dst(size + 8, kFill);
        ASSERT_EQ(ftkPip(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, k.mediaType, c->flipFlags), VPE_SUCCESS);
        const Inset r = ChangedArea(dst, w, h, size_t(pitch), bytes);
        EXPECT_EQ(r.x0, k.x0);
        EXPECT_EQ(r.y0, k.y0);
        EXPECT_EQ(r.x1 - r.x0, 106);
        EXPECT_EQ(r.y1 - r.y0, 80);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(dst[size + size_t(i)], kFill);
        if (k.mediaType == MT_I420) {
            // Chroma of the inset at half the position.
            const uint8_t* u = dst.data() + size_t(w) * h;
            EXPECT_EQ(u[size_t(k.y0 / 2 + 10) * (w / 2) + size_t(k.x0 / 2 + 10)], 90);
            EXPECT_EQ(u[size_t(k.y0 / 2 + 10) * (w / 2) + size_t(k.x0 / 2 + 60)], kFill);
        }
    }
    PVPE_CONTEXT c = NewContext();
    for (int corner : {0, 5, -1}) {
        vpeSetAttrib(c, VPE_ATTR_PIP, corner);
        std::vector<uint8_t> src(size_t(w) * h * 2, 90), dst(src.size(), kFill);
        ASSERT_EQ(ftkPip(c, dst.data(), w, h, 2 * w, src.data(), w, h, 2 * w, MT_YUY2, 0), VPE_SUCCESS);
        EXPECT_EQ(ChangedArea(dst, w, h, size_t(2 * w), 2).x1, 0);
    }
}

TEST_F(VpeTest, PipReductionsAverageTheStatedSamples) {
    // A source whose luma is its column, so each block's value is known.
    const int sw = 640, sh = 480;
    PVPE_CONTEXT c = NewContext(0);
    ASSERT_EQ(vpeFtkInit(c, sw, sh), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_PIP, 3);  // top left at (4, 4)
    std::vector<uint8_t> src(size_t(sw) * sh * 3 / 2);
    for (int y = 0; y < sh; ++y) {
        for (int x = 0; x < sw; ++x) src[size_t(y) * sw + size_t(x)] = uint8_t(x + y);
    }
    // Reduction 3 (destination as wide as the source): eight of nine samples.
    std::vector<uint8_t> dst(src.size(), kFill);
    ASSERT_EQ(ftkPip(c, dst.data(), sw, sh, sw, src.data(), sw, sh, sw, MT_I420, 0), VPE_SUCCESS);
    auto block3 = [&](int px, int py) {
        int sum = 0;
        for (int dy = 0; dy < 3; ++dy) {
            for (int dx = 0; dx < 3; ++dx) sum += src[size_t(3 * py + dy) * sw + size_t(3 * px + dx)];
        }
        return (sum - src[size_t(3 * py + 2) * sw + size_t(3 * px + 2)]) >> 3;
    };
    EXPECT_EQ(dst[size_t(4 + 10) * sw + 4 + 20], block3(20, 10));
    EXPECT_EQ(dst[size_t(4 + 50) * sw + 4 + 33], block3(33, 50));

    // Reduction 6 (destination narrower): corners and the centre, 320 x 240 out.
    const int dw = 320, dh = 240;
    std::vector<uint8_t> small(size_t(dw) * dh * 3 / 2, kFill);
    ASSERT_EQ(ftkPip(c, small.data(), dw, dh, dw, src.data(), sw, sh, sw, MT_I420, 0), VPE_SUCCESS);
    auto s = [&](int x, int y) { return int(src[size_t(y) * sw + size_t(x)]); };
    auto block6 = [&](int px, int py) {
        const int x = 6 * px, y = 6 * py;
        return (s(x, y) + s(x + 5, y) + s(x, y + 5) + s(x + 5, y + 5) + s(x + 2, y + 2) + s(x + 3, y + 2) +
                s(x + 2, y + 3) + s(x + 3, y + 3)) >> 3;
    };
    EXPECT_EQ(small[size_t(4 + 7) * dw + 4 + 9], block6(9, 7));
    EXPECT_EQ(small[size_t(4 + 40) * dw + 4 + 70], block6(70, 40));
}

TEST_F(VpeTest, PipNeverReadsBeyondASmallerSource) {
    // An 800 x 600 output from a 640 x 480 capture: the inset shrinks to the reduced source.
    PVPE_CONTEXT c = NewContext(0);
    ASSERT_EQ(vpeFtkInit(c, 640, 480), VPE_SUCCESS);
    const int sw = 640, sh = 480, dw = 800, dh = 600;
    std::vector<uint8_t> src(size_t(sw) * sh * 2, 50), dst(size_t(dw) * dh * 2, kFill);
    ASSERT_EQ(ftkPip(c, dst.data(), dw, dh, 2 * dw, src.data(), sw, sh, 2 * sw, MT_YUY2, 0), VPE_SUCCESS);
    const Inset r = ChangedArea(dst, dw, dh, size_t(2 * dw), 2);
    EXPECT_EQ(r.x1 - r.x0, 212);
    EXPECT_EQ(r.y1 - r.y0, 160);
}

TEST(VpeBorder, DrawsLumaOnlyAndRefusesBadRectangles) {
    const int w = 16, h = 8, pitch = 2 * w;
    std::vector<uint8_t> yuy2(size_t(pitch) * h, kFill);
    ASSERT_EQ(vpeDrawBorderYuy2(yuy2.data(), pitch, 2, 1, 10, 5), VPE_SUCCESS);
    EXPECT_EQ(yuy2[1 * pitch + 2 * 2], 200);
    EXPECT_EQ(yuy2[1 * pitch + 2 * 2 + 1], kFill);  // chroma untouched
    EXPECT_EQ(yuy2[5 * pitch + 2 * 6], 64);
    EXPECT_EQ(yuy2[3 * pitch + 2 * 11], 64);
    EXPECT_EQ(yuy2[3 * pitch + 2 * 12], kFill);
    EXPECT_EQ(vpeDrawBorderRgb24(nullptr, 48, 0, 0, 4, 4), VPE_INVALID_PARAM);
    EXPECT_EQ(vpeDrawBorderI420(yuy2.data(), w, -1, 0, 4, 4), VPE_INVALID_PARAM);
    const auto before = yuy2;
    EXPECT_EQ(vpeDrawBorderI420(yuy2.data(), w, 0, 0, 1, 4), VPE_SUCCESS);  // too small to draw
    EXPECT_EQ(yuy2, before);
}

}  // namespace
}  // namespace qk::vpe
