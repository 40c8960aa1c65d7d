// Flip and nearest-neighbour resize: line order, sampling positions, the
// parameter checks and sentinel bytes around every destination.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "imaging/convert/convert.h"
#include "platform/nt/debug.h"

namespace {

constexpr uint8_t kSentinel = 0x5A;

std::vector<uint8_t> Ramp(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 3);
    return v;
}

TEST(FlipTopBottom, ReversesWholeLinesOfPackedFormats) {
    // Pitch 10 is not a multiple of four: every byte of every line still moves.
    for (int mediaType : {MT_RGB24, MT_YUY2}) {
        SCOPED_TRACE(mediaType);
        const int width = 3, height = 4, pitch = 10;
        const auto src = Ramp(pitch * height);
        std::vector<uint8_t> dst(pitch * height + 4, kSentinel);
        ASSERT_EQ(FlipTopBottom(dst.data(), src.data(), width, height, pitch, mediaType), IMG_SUCCESS);
        for (int line = 0; line < height; ++line) {
            for (int i = 0; i < pitch; ++i) ASSERT_EQ(dst[line * pitch + i], src[(height - 1 - line) * pitch + i]);
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(dst[pitch * height + i], kSentinel);
    }
}

TEST(FlipTopBottom, OneLineIsCopiedUnchangedAndInPlaceWorks) {
    const auto src = Ramp(12);
    std::vector<uint8_t> dst(12, kSentinel);
    ASSERT_EQ(FlipTopBottom(dst.data(), src.data(), 4, 1, 12, MT_RGB24), IMG_SUCCESS);
    EXPECT_EQ(dst, src);

    // In place, odd number of lines longer than the swap buffer.
    const int pitch = 3000, height = 5;
    auto frame = Ramp(pitch * height);
    const auto original = frame;
    ASSERT_EQ(FlipTopBottom(frame.data(), frame.data(), 1000, height, pitch, MT_RGB24), IMG_SUCCESS);
    for (int line = 0; line < height; ++line) {
        ASSERT_TRUE(std::equal(frame.begin() + line * pitch, frame.begin() + (line + 1) * pitch,
                               original.begin() + (height - 1 - line) * pitch));
    }
}

TEST(FlipTopBottom, ReversesEachI420Plane) {
    const int width = 6, height = 4;  // Y 6x4, U and V 3x2
    const auto src = Ramp(24 + 6 + 6);
    std::vector<uint8_t> dst(36 + 3, kSentinel);
    ASSERT_EQ(FlipTopBottom(dst.data(), src.data(), width, height, width, MT_I420), IMG_SUCCESS);
    for (int line = 0; line < 4; ++line) {
        for (int x = 0; x < 6; ++x) ASSERT_EQ(dst[line * 6 + x], src[(3 - line) * 6 + x]);
    }
    for (int plane = 0; plane < 2; ++plane) {
        const int at = 24 + plane * 6;
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(dst[at + x], src[at + 3 + x]);
            EXPECT_EQ(dst[at + 3 + x], src[at + x]);
        }
    }
    for (int i = 36; i < 39; ++i) EXPECT_EQ(dst[i], kSentinel);
}

TEST(FlipTopBottom, ReportsBadParametersOnTheDebugger) {
    std::vector<uint8_t> buffer(64, kSentinel);
    qk::debug::Clear();
    EXPECT_EQ(FlipTopBottom(buffer.data(), nullptr, 4, 4, 16, MT_YUY2), IMG_INVALID_PARAM);
    EXPECT_EQ(FlipTopBottom(buffer.data(), buffer.data(), -1, 4, 16, MT_YUY2), IMG_INVALID_PARAM);
    EXPECT_EQ(FlipTopBottom(buffer.data(), buffer.data(), 4, -2, 16, MT_YUY2), IMG_INVALID_PARAM);
    EXPECT_EQ(FlipTopBottom(buffer.data(), buffer.data(), 8, 2, 7, MT_RGB24), IMG_INVALID_PARAM);
    EXPECT_EQ(qk::debug::Count("VPE: FlipTopBottom InvalidParam "), 4u);
    EXPECT_TRUE(qk::debug::Contains(" 8 2 7 100\n"));
    EXPECT_EQ(FlipTopBottom(buffer.data(), buffer.data(), 4, 2, 8, 103), IMG_UNKNOWN_MEDIA_TYPE);
    // An empty picture moves nothing, whatever its pitch claims.
    std::vector<uint8_t> dst(64, kSentinel);
    EXPECT_EQ(FlipTopBottom(dst.data(), buffer.data(), 0, 30, 69, MT_YUY2), IMG_SUCCESS);
    EXPECT_EQ(FlipTopBottom(dst.data(), buffer.data(), 4, 0, 69, MT_RGB24), IMG_SUCCESS);
    EXPECT_EQ(dst, std::vector<uint8_t>(64, kSentinel));
    EXPECT_EQ(qk::debug::Count("VPE: FlipTopBottom InvalidParam "), 4u);
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, kSentinel));
}

TEST(ResizeNearest, MapsTheLastColumnJustBeforeTheEdge) {
    // 640 -> 800 across: step = (639 << 16) / 800; column 799 samples
    // (0.5 + 799 * 639 / 800) = 638.7 -> 638.
    const int srcW = 640, dstW = 800;
    // Two lines so that the I420 chroma planes are not empty.
    std::vector<uint8_t> srcI420(srcW * 2 + 320 * 2, 0);
    for (int x = 0; x < srcW; ++x) srcI420[x] = srcI420[srcW + x] = uint8_t(x);
    std::vector<uint8_t> dst(dstW * 2 + 400 * 2 + 8, kSentinel);
    ASSERT_EQ(ResizeNearest(dst.data(), dstW, 2, dstW, srcI420.data(), srcW, 2, srcW, MT_I420), IMG_SUCCESS);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[799], uint8_t(638));
    EXPECT_EQ(dst[1], 1);  // 32768 + 52346 = 85114 -> 1
    for (size_t i = dstW * 2 + 400 * 2; i < dst.size(); ++i) EXPECT_EQ(dst[i], kSentinel);
}

TEST(ResizeNearest, SamplesRgb24PixelsWhole) {
    // 3 x 2 -> 5 x 3: steps (2 << 16) / 5 = 26214 and (1 << 16) / 3 = 21845.
    // Columns (32768 + i * 26214) >> 16 for i = 0..4 -> 0, 0, 1, 1, 2.
    // Lines (32768 + j * 21845) >> 16 for j = 0..2 -> 0, 0, 1.
    const int srcPitch = 11, dstPitch = 17;
    const auto src = Ramp(srcPitch * 2);
    std::vector<uint8_t> dst(dstPitch * 3, kSentinel);
    ASSERT_EQ(ResizeNearest(dst.data(), 5, 3, dstPitch, src.data(), 3, 2, srcPitch, MT_RGB24), IMG_SUCCESS);
    const int columns[] = {0, 0, 1, 1, 2}, lines[] = {0, 0, 1};
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(dst[y * dstPitch + 3 * x + c], src[lines[y] * srcPitch + 3 * columns[x] + c]) << x << y << c;
            }
        }
        for (int i = 15; i < dstPitch; ++i) EXPECT_EQ(dst[y * dstPitch + i], kSentinel);
    }
}

TEST(ResizeNearest, BuildsYuy2PairsFromTheirSourcePairs) {
    // 4 -> 6 across, one line: step (3 << 16) / 6 = 32768; pixels sample
    // 0, 1, 1, 2, 2, 3 (0.5 + i / 2).
    const uint8_t src[] = {10, 11, 20, 13, 30, 31, 40, 33};  // Y0 U01 Y1 V01 Y2 U23 Y3 V23
    std::vector<uint8_t> dst(14, kSentinel);
    ASSERT_EQ(ResizeNearest(dst.data(), 6, 1, 12, src, 4, 1, 8, MT_YUY2), IMG_SUCCESS);
    const std::vector<uint8_t> expected = {10, 11, 20, 13,   // pixels 0, 1: U of pair 0, V of pair 0
                                           20, 11, 30, 33,   // pixels 1, 2: U of pair 0, V of pair 1
                                           30, 31, 40, 33,   // pixels 2, 3
                                           kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);
}

TEST(ResizeNearest, ScalesEachI420PlaneWithItsOwnSteps) {
    // 4x4 -> 6x2. Luma steps (3 << 16) / 6 and (3 << 16) / 2: columns
    // 0,1,1,2,2,3 and lines 0, 2. Chroma 2x2 -> 3x1: step (1 << 16) / 3 gives
    // columns 0, 0, 1.
    std::vector<uint8_t> src(16 + 4 + 4);
    for (int i = 0; i < 16; ++i) src[i] = uint8_t(i);
    for (int i = 0; i < 4; ++i) src[16 + i] = uint8_t(100 + i), src[20 + i] = uint8_t(200 + i);
    std::vector<uint8_t> dst(12 + 3 + 3 + 2, kSentinel);
    ASSERT_EQ(ResizeNearest(dst.data(), 6, 2, 6, src.data(), 4, 4, 4, MT_I420), IMG_SUCCESS);
    const std::vector<uint8_t> expected = {0,   1,   1,   2,   2,   3,   8, 9, 9, 10, 10, 11,  //
                                           100, 100, 101, 200, 200, 201, kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);
}

TEST(ResizeNearest, ShrinksByTheSameRule) {
    // 8 -> 3 across: step (7 << 16) / 3 = 152917; columns 0, 2 (2.83), 5 (5.17).
    const auto src = Ramp(8 * 3);
    std::vector<uint8_t> dst(9 + 3, kSentinel);
    ASSERT_EQ(ResizeNearest(dst.data(), 3, 1, 12, src.data(), 8, 1, 24, MT_RGB24), IMG_SUCCESS);
    const int columns[] = {0, 2, 5};
    for (int x = 0; x < 3; ++x) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(dst[3 * x + c], src[3 * columns[x] + c]);
    }
    EXPECT_EQ(dst[9], kSentinel);
}

TEST(ResizeNearest, ChecksParameters) {
    std::vector<uint8_t> src(4096, 1);
    struct Case {
        const char* name;
        int dw, dh, dp, sw, sh, sp, mt;
        bool nullDst;
        int expected;
    } cases[] = {
        {"null destination", 8, 8, 24, 8, 8, 24, MT_RGB24, true, IMG_INVALID_PARAM},
        {"zero width", 0, 8, 24, 8, 8, 24, MT_RGB24, false, IMG_INVALID_PARAM},
        {"negative source height", 8, 8, 24, 8, -8, 24, MT_RGB24, false, IMG_INVALID_PARAM},
        {"pitch below width", 8, 8, 7, 8, 8, 24, MT_RGB24, false, IMG_INVALID_PARAM},
        {"rgb pitch below a line", 8, 8, 23, 8, 8, 24, MT_RGB24, false, IMG_INVALID_PARAM},
        {"yuy2 odd width", 7, 8, 16, 8, 8, 16, MT_YUY2, false, IMG_INVALID_PARAM},
        {"yuy2 odd source width", 8, 8, 16, 7, 8, 16, MT_YUY2, false, IMG_INVALID_PARAM},
        {"yuy2 pitch below a line", 8, 8, 15, 8, 8, 16, MT_YUY2, false, IMG_INVALID_PARAM},
        {"i420 padded pitch", 8, 8, 12, 8, 8, 8, MT_I420, false, IMG_PITCH_NOT_WIDTH},
        {"i420 padded source pitch", 8, 8, 8, 8, 8, 12, MT_I420, false, IMG_PITCH_NOT_WIDTH},
        {"i420 source without chroma", 8, 8, 8, 1, 8, 1, MT_I420, false, IMG_INVALID_PARAM},
        {"unknown media type does nothing", 8, 8, 24, 8, 8, 24, 99, false, IMG_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dst(4096, kSentinel);
        EXPECT_EQ(ResizeNearest(c.nullDst ? nullptr : dst.data(), c.dw, c.dh, c.dp, src.data(), c.sw, c.sh, c.sp, c.mt),
                  c.expected);
        EXPECT_EQ(dst, std::vector<uint8_t>(4096, kSentinel));
    }
    // A one-pixel-wide I420 destination has no chroma planes to fill.
    std::vector<uint8_t> dst(4, kSentinel);
    const uint8_t one[] = {42};
    EXPECT_EQ(ResizeNearest(dst.data(), 1, 3, 1, one, 1, 1, 1, MT_I420), IMG_SUCCESS);
    EXPECT_EQ(dst, (std::vector<uint8_t>{42, 42, 42, kSentinel}));
}

}  // namespace
