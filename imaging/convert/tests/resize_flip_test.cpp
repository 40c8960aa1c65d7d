// Flip and nearest-neighbour resize: line order, sampling positions, the
// parameter checks and sentinel bytes around every destination.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "imaging/convert/convert.h"
#include "imaging/convert/resize_row.h"
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

// ResizeYuy2ToI420 is the two-step path (ResizeNearest in YUY2, then
// ConvertYuy2ToI420) in one pass: both must give the same bytes, with either
// kernel set, for every shape the effects library asks for and others.
struct TwoStepCase {
    int dw, dh, sw, sh, pitchPad;
};

std::vector<uint8_t> TwoStep(const TwoStepCase& k, const std::vector<uint8_t>& src) {
    const int pitch = 2 * k.sw + k.pitchPad;
    std::vector<uint8_t> yuy2(size_t(2 * k.dw) * k.dh);
    std::vector<uint8_t> out(size_t(k.dw) * k.dh + 2 * size_t(k.dw / 2) * (k.dh / 2) + 64, kSentinel);
    EXPECT_EQ(ResizeNearest(yuy2.data(), k.dw, k.dh, 2 * k.dw, src.data(), k.sw, k.sh, pitch, MT_YUY2), IMG_SUCCESS);
    EXPECT_EQ(ConvertYuy2ToI420(out.data(), yuy2.data(), k.dw, k.dh, 2 * k.dw), IMG_SUCCESS);
    return out;
}

void ExpectOnePassEqualsTwoSteps(const TwoStepCase& k, std::mt19937& rng) {
    SCOPED_TRACE(::testing::Message() << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh << " pad " << k.pitchPad);
    const int pitch = 2 * k.sw + k.pitchPad;
    // The last line is only as long as the picture: a read past it shows.
    std::vector<uint8_t> src(size_t(pitch) * (k.sh - 1) + 2 * size_t(k.sw));
    for (auto& b : src) b = uint8_t(rng());
    const auto expected = TwoStep(k, src);
    auto chosen = std::vector<uint8_t>(expected.size(), kSentinel);
    ASSERT_EQ(ResizeYuy2ToI420(chosen.data(), k.dw, k.dh, src.data(), k.sw, k.sh, pitch), IMG_SUCCESS);
    ASSERT_EQ(chosen, expected);
    using namespace qk::imaging::resize;
    for (const PairKernels* kernels : {&ReferencePairKernels(), Avx2PairKernels()}) {
        if (kernels == nullptr) continue;
        std::vector<uint8_t> out(expected.size(), kSentinel);
        ResizeYuy2ToI420Planes(out.data(), size_t(k.dw), size_t(k.dh), src.data(), size_t(k.sw), size_t(k.sh),
                               size_t(pitch), *kernels);
        ASSERT_EQ(out, expected) << (kernels == &ReferencePairKernels() ? "reference" : "fast");
    }
}

TEST(ResizeYuy2ToI420, EqualsResizeThenConvertForEveryAnalysisFamily) {
    // Camera sizes of both families (factors 1 to 8, odd ones included) to
    // their analysis pictures, odd heights included.
    std::mt19937 rng(2024);
    for (int family : {160, 176}) {
        for (int factor = 1; factor <= 8; ++factor) {
            for (int height : {2 * factor, 9 * factor + 1, 120 * factor, 150 * factor + factor - 1}) {
                ExpectOnePassEqualsTwoSteps({family, height / factor, family * factor, height, 0}, rng);
            }
        }
    }
    ExpectOnePassEqualsTwoSteps({160, 120, 640, 480, 36}, rng);  // padded lines
    ExpectOnePassEqualsTwoSteps({176, 144, 16384, 16, 0}, rng);  // factor above 93: sparse samples
}

TEST(ResizeYuy2ToI420, EqualsResizeThenConvertForAnyShape) {
    std::mt19937 rng(7);
    const TwoStepCase fixed[] = {
        {2, 1, 2, 1, 0},       {2, 2, 2, 2, 0},     {4, 3, 2, 1, 0},      {6, 5, 4, 7, 2},
        {8, 8, 16, 16, 0},     {16, 2, 8, 2, 1},    {640, 3, 160, 2, 0},  {258, 4, 640, 4, 0},
        {512, 7, 512, 7, 4},   {600, 6, 14, 3, 0},  {1000, 2, 3000, 5, 6},
    };
    for (const auto& k : fixed) ExpectOnePassEqualsTwoSteps(k, rng);
    for (int trial = 0; trial < 150; ++trial) {
        const int dw = 2 * (1 + int(rng() % 200)), sw = 2 * (1 + int(rng() % 400));
        const int dh = 1 + int(rng() % 40), sh = 1 + int(rng() % 60), pad = int(rng() % 5);
        ExpectOnePassEqualsTwoSteps({dw, dh, sw, sh, pad}, rng);
    }
}

TEST(ResizeYuy2ToI420, ChecksParametersAsTheTwoStepsDo) {
    std::vector<uint8_t> src(4096, 1);
    struct Case {
        const char* name;
        int dw, dh, sw, sh, sp;
        bool nullDst, nullSrc;
    } cases[] = {
        {"null destination", 8, 8, 8, 8, 16, true, false}, {"null source", 8, 8, 8, 8, 16, false, true},
        {"zero width", 0, 8, 8, 8, 16, false, false},       {"negative height", 8, -1, 8, 8, 16, false, false},
        {"zero source width", 8, 8, 0, 8, 16, false, false}, {"zero source height", 8, 8, 8, 0, 16, false, false},
        {"odd width", 7, 8, 8, 8, 16, false, false},        {"odd source width", 8, 8, 7, 8, 16, false, false},
        {"pitch below a line", 8, 8, 8, 8, 15, false, false}, {"negative pitch", 8, 8, 8, 8, -16, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dst(4096, kSentinel), scratch(4096);
        EXPECT_EQ(ResizeYuy2ToI420(c.nullDst ? nullptr : dst.data(), c.dw, c.dh, c.nullSrc ? nullptr : src.data(), c.sw,
                                   c.sh, c.sp),
                  IMG_INVALID_PARAM);
        EXPECT_EQ(dst, std::vector<uint8_t>(4096, kSentinel));
        // The two steps refuse it as well.
        EXPECT_NE(ResizeNearest(c.nullDst ? nullptr : scratch.data(), c.dw, c.dh, 2 * c.dw,
                                c.nullSrc ? nullptr : src.data(), c.sw, c.sh, c.sp, MT_YUY2),
                  IMG_SUCCESS);
    }
}

// ResizeI420AsYuy2 is ResizeYuy2ToI420 of the YUY2 picture whose line pairs
// share the I420 chroma (an odd last line takes the pair above's): the
// effects library's analysis picture of one video in either format.
std::vector<uint8_t> I420ToLinePairYuy2(const std::vector<uint8_t>& i420, int w, int h) {
    std::vector<uint8_t> yuy2(size_t(2 * w) * h);
    const uint8_t* u = i420.data() + size_t(w) * h;
    const uint8_t* v = u + size_t(w / 2) * (h / 2);
    for (int y = 0; y < h; ++y) {
        const size_t chroma = size_t(std::min(y / 2, h / 2 - 1)) * (w / 2);
        for (int x = 0; x < w / 2; ++x) {
            uint8_t* out = &yuy2[size_t(y) * 2 * w + 4 * size_t(x)];
            out[0] = i420[size_t(y) * w + 2 * size_t(x)];
            out[1] = u[chroma + size_t(x)];
            out[2] = i420[size_t(y) * w + 2 * size_t(x) + 1];
            out[3] = v[chroma + size_t(x)];
        }
    }
    return yuy2;
}

void ExpectI420AsYuy2(int dw, int dh, int sw, int sh, std::mt19937& rng) {
    SCOPED_TRACE(::testing::Message() << sw << "x" << sh << " -> " << dw << "x" << dh);
    // Exactly the picture's bytes: a read past them shows under the sanitizers.
    std::vector<uint8_t> src(size_t(sw) * sh + 2 * size_t(sw / 2) * (sh / 2));
    for (auto& b : src) b = uint8_t(rng());
    const size_t bytes = size_t(dw) * dh + 2 * size_t(dw / 2) * (dh / 2);
    std::vector<uint8_t> expected(bytes + 16, kSentinel), out(bytes + 16, kSentinel);
    const auto yuy2 = I420ToLinePairYuy2(src, sw, sh);
    ASSERT_EQ(ResizeYuy2ToI420(expected.data(), dw, dh, yuy2.data(), sw, sh, 2 * sw), IMG_SUCCESS);
    ASSERT_EQ(ResizeI420AsYuy2(out.data(), dw, dh, src.data(), sw, sh), IMG_SUCCESS);
    ASSERT_EQ(out, expected);
    // The luma is ResizeNearest's.
    std::vector<uint8_t> nearest(bytes);
    ASSERT_EQ(ResizeNearest(nearest.data(), dw, dh, dw, src.data(), sw, sh, sw, MT_I420), IMG_SUCCESS);
    ASSERT_TRUE(std::equal(nearest.begin(), nearest.begin() + ptrdiff_t(dw) * dh, out.begin()));
}

TEST(ResizeI420AsYuy2, EqualsTheYuy2PathOfTheSameVideo) {
    std::mt19937 rng(420);
    for (int family : {160, 176}) {
        for (int factor = 1; factor <= 8; ++factor) {
            for (int height : {2 * factor, 9 * factor + 1, 120 * factor, 144 * factor}) {
                ExpectI420AsYuy2(family, height / factor, family * factor, height, rng);
            }
        }
    }
    const int fixed[][4] = {{2, 1, 2, 2}, {2, 2, 2, 3}, {4, 3, 2, 2}, {6, 5, 4, 7}, {640, 3, 160, 2}, {258, 4, 640, 5}};
    for (const auto& k : fixed) ExpectI420AsYuy2(k[0], k[1], k[2], k[3], rng);
    for (int trial = 0; trial < 100; ++trial) {
        ExpectI420AsYuy2(2 * (1 + int(rng() % 100)), 1 + int(rng() % 40), 2 * (1 + int(rng() % 200)),
                         2 + int(rng() % 60), rng);
    }
}

TEST(ResizeI420AsYuy2, RefusesWhatItCannotSampleWithoutWriting) {
    std::vector<uint8_t> src(4096, 1);
    const struct {
        const char* name;
        int dw, dh, sw, sh;
        bool nullDst, nullSrc;
    } cases[] = {
        {"null destination", 8, 8, 8, 8, true, false}, {"null source", 8, 8, 8, 8, false, true},
        {"zero width", 0, 8, 8, 8, false, false},       {"negative height", 8, -1, 8, 8, false, false},
        {"odd width", 7, 8, 8, 8, false, false},        {"odd source width", 8, 8, 7, 8, false, false},
        {"one source line", 8, 8, 8, 1, false, false}, {"source without chroma", 8, 8, 0, 8, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dst(4096, kSentinel);
        EXPECT_EQ(ResizeI420AsYuy2(c.nullDst ? nullptr : dst.data(), c.dw, c.dh, c.nullSrc ? nullptr : src.data(), c.sw,
                                   c.sh),
                  IMG_INVALID_PARAM);
        EXPECT_EQ(dst, std::vector<uint8_t>(4096, kSentinel));
    }
}

}  // namespace
