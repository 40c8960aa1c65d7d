// Colour conversions against hand-computed pixels, the stated table values
// and sentinel-filled destinations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/media_types.h"
#include "imaging/convert/convert.h"

namespace {

constexpr uint8_t kSentinel = 0xA5;

std::vector<uint8_t> Filled(size_t n, uint8_t value = kSentinel) { return std::vector<uint8_t>(n, value); }

TEST(ColourTables, HoldRoundedFactorsAndTheWrappedClamp) {
    EXPECT_EQ(MT_RGB24, qk::media::kMediaRgb24);
    EXPECT_EQ(MT_I420, qk::media::kMediaI420);
    EXPECT_EQ(MT_YUY2, qk::media::kMediaYuy2);
    struct Case {
        const char* name;
        const std::array<int32_t, 256>& table;
        double k;
    } cases[] = {{"U to B", kColourUToB, 1.722}, {"U to G", kColourUToG, 0.344},
                 {"V to G", kColourVToG, 0.714}, {"V to R", kColourVToR, 1.402}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(c.table[i], std::lround(c.k * (i - 128))) << i;
    }
    EXPECT_EQ(kColourUToB[0], -220);
    EXPECT_EQ(kColourVToR[255], 178);
    for (int v = -512; v < 512; ++v) {
        ASSERT_EQ(kColourClamp[v & 1023], v < 0 ? 0 : v > 255 ? 255 : v) << v;
    }
}

TEST(ConvertYuy2ToRgb24, GivesTheStatedPixelsAndKeepsThePadding) {
    // Pairs: (Y 255, U V 128) white; (Y 16, U 255, V 128) where green's sum
    // -28 clamps to 0; then a pair with distinct lumas sharing one chroma.
    const uint8_t src[] = {255, 128, 255, 128, 16, 255, 16, 128, 100, 90, 200, 160};
    const int width = 6, height = 1, pitch = 20;
    auto dst = Filled(pitch * height);
    ASSERT_EQ(ConvertYuy2ToRgb24(dst.data(), pitch, src, width, height), IMG_SUCCESS);
    const int ub = kColourUToB[90], g = kColourUToG[90] + kColourVToG[160], vr = kColourVToR[160];
    const std::vector<uint8_t> expected = {
        255, 255, 255, 255, 255, 255,  // white
        235, 0, 16, 235, 0, 16,        // B = 16 + 219, G = 16 - 44 clamped
        uint8_t(100 + ub), uint8_t(100 - g), uint8_t(100 + vr), uint8_t(std::min(200 + ub, 255)), uint8_t(200 - g),
        uint8_t(std::min(200 + vr, 255)),
        kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);
    EXPECT_EQ(ub, -65);  // round(1.722 * -38)
}

TEST(ConvertRgb24ToI420, MatchesHandComputedBlock) {
    // One 2x2 block (B, G, R): (200,100,50) (10,20,30) / (0,255,128) (255,255,255).
    // Products 7503B + 38443G + 19588R: 6324300, 1431530, 12310229, 16711170
    // -> Y 96, 21, 187, 254 (each >> 16). Their sum >> 16 = 561;
    // U = ((465 - 561) * 9251 >> 16) + 128 = -14 + 128 = 114,
    // V = ((463 - 561) * 11684 >> 16) + 128 = -18 + 128 = 110.
    const uint8_t rgb[] = {200, 100, 50, 10, 20, 30, 0xEE, 0xEE,  // pitch 8: two padding bytes
                           0, 255, 128, 255, 255, 255, 0xEE, 0xEE};
    auto dst = Filled(6 + 4);
    ASSERT_EQ(ConvertRgb24ToI420(dst.data(), rgb, 2, 2, 8), IMG_SUCCESS);
    const std::vector<uint8_t> expected = {96, 21, 187, 254, 114, 110, kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);
}

TEST(ConvertRgb24ToI420, OddSizesGiveLumaOnlyEdges) {
    // 3 x 3: chroma planes are 1 x 1 from the top-left 2x2 block; the last
    // column and line carry luma only and nothing is written past the picture.
    std::vector<uint8_t> rgb(9 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 9);
    auto dst = Filled(9 + 1 + 1 + 4);
    ASSERT_EQ(ConvertRgb24ToI420(dst.data(), rgb.data(), 3, 3, 9), IMG_SUCCESS);
    for (int i = 0; i < 9; ++i) {
        const uint8_t* p = &rgb[3 * i];
        EXPECT_EQ(dst[i], (7503 * p[0] + 38443 * p[1] + 19588 * p[2]) >> 16) << i;
    }
    EXPECT_NE(dst[9], kSentinel);
    EXPECT_NE(dst[10], kSentinel);
    for (size_t i = 11; i < dst.size(); ++i) EXPECT_EQ(dst[i], kSentinel) << i;
}

TEST(ConvertRgb24ToYuy2, MatchesHandComputedPairsAndRefusesOddWidth) {
    // Pair (200,100,50) (10,20,30): Y 96 and 21; sum of products rounded
    // (6324300 + 1452700 + 32768) >> 16 = 118; U = ((210 - 118) * 18492 >> 16)
    // + 128 = 153; V = ((80 - 118) * 23369 >> 16) + 128 = 114.
    // Pair of pure blue: (2 * 1913265 + 32768) >> 16 = 58, U = 127 + 128.
    const uint8_t rgb[] = {200, 100, 50, 10, 20, 30, 255, 0, 0, 255, 0, 0};
    auto dst = Filled(10);
    ASSERT_EQ(ConvertRgb24ToYuy2(dst.data(), 10, rgb, 4, 1, 12), IMG_SUCCESS);
    const std::vector<uint8_t> expected = {96, 153, 21, 114, 29, 255, 29, 107, kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);

    auto untouched = Filled(10);
    EXPECT_EQ(ConvertRgb24ToYuy2(untouched.data(), 10, rgb, 3, 1, 12), IMG_INVALID_PARAM);
    EXPECT_EQ(untouched, Filled(10));
}

TEST(ConvertYuy2ToI420, CopiesLumaAndAveragesChromaDownwards) {
    // 4 x 3: chroma of lines 0 and 1 averaged with truncation; line 2 luma only.
    const uint8_t yuy2[] = {1, 10, 2, 20, 3, 30, 4, 40,  //
                            5, 11, 6, 23, 7, 255, 8, 0,  //
                            9, 99, 10, 99, 11, 99, 12, 99};
    auto dst = Filled(12 + 2 + 2 + 2);
    ASSERT_EQ(ConvertYuy2ToI420(dst.data(), yuy2, 4, 3, 8), IMG_SUCCESS);
    const std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                           10, 142,  // (10 + 11) >> 1, (30 + 255) >> 1
                                           21, 20,   // (20 + 23) >> 1, (40 + 0) >> 1
                                           kSentinel, kSentinel};
    EXPECT_EQ(dst, expected);
}

TEST(ConversionChecks, RefuseBadParametersAndWriteNothing) {
    std::vector<uint8_t> src(4096, 7);
    struct Case {
        const char* name;
        int (*call)(uint8_t* dst, const uint8_t* src);
    } cases[] = {
        {"rgb->i420 null dst", [](uint8_t*, const uint8_t* s) { return ConvertRgb24ToI420(nullptr, s, 4, 4, 12); }},
        {"rgb->i420 null src", [](uint8_t* d, const uint8_t*) { return ConvertRgb24ToI420(d, nullptr, 4, 4, 12); }},
        {"rgb->i420 zero width", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToI420(d, s, 0, 4, 12); }},
        {"rgb->i420 negative height", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToI420(d, s, 4, -1, 12); }},
        {"rgb->i420 short pitch", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToI420(d, s, 4, 4, 11); }},
        {"rgb->yuy2 odd width", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToYuy2(d, 8, s, 3, 4, 12); }},
        {"rgb->yuy2 short dst pitch", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToYuy2(d, 7, s, 4, 4, 12); }},
        {"rgb->yuy2 short src pitch", [](uint8_t* d, const uint8_t* s) { return ConvertRgb24ToYuy2(d, 8, s, 4, 4, 9); }},
        {"yuy2->i420 odd width", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToI420(d, s, 5, 4, 12); }},
        {"yuy2->i420 short pitch", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToI420(d, s, 4, 4, 7); }},
        {"yuy2->i420 zero height", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToI420(d, s, 4, 0, 8); }},
        {"yuy2->rgb null", [](uint8_t* d, const uint8_t*) { return ConvertYuy2ToRgb24(d, 12, nullptr, 4, 4); }},
        {"yuy2->rgb odd width", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToRgb24(d, 12, s, 3, 4); }},
        {"yuy2->rgb zero pitch", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToRgb24(d, 0, s, 4, 4); }},
        {"yuy2->rgb short pitch", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToRgb24(d, 11, s, 4, 4); }},
        {"yuy2->rgb negative width", [](uint8_t* d, const uint8_t* s) { return ConvertYuy2ToRgb24(d, 12, s, -4, 4); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto dst = Filled(4096);
        EXPECT_EQ(c.call(dst.data(), src.data()), IMG_INVALID_PARAM);
        EXPECT_EQ(dst, Filled(4096));
    }
}

}  // namespace
