// Effect thumbnails as the video effects panel reads them: the format from
// the extension, every format the engine ships (drawn from a photograph)
// decoded and stretched, a hand-made picture whose stretch is known, a
// Debian photograph, and damaged or mislabelled bytes refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/panels/thumbnails.h"

namespace k0340cvw {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Thumbnails, TheFormatComesFromTheExtensionLetterCaseAside) {
    const std::pair<const char*, int> cases[] = {
        {"a.bmp", 1},   {"a.GIF", 2},  {"a.jpg", 3},  {"a.JPeg", 3}, {"a.png", 4},  {"a.ico", 5},
        {"a.tif", 6},   {"a.TIFF", 6}, {"a.tga", 7},  {"a.pcx", 8},  {"a.wbmp", 9}, {"a.wmf", 10},
        {"a.emf", 10},  {"a.j2k", 12}, {"a.jp2", 11}, {"a.j2c", 12}, {"a.jpc", 12}, {"a.pgx", 13},
        {"a.pnm", 14},  {"a.pgm", 14}, {"a.ppm", 14}, {"a.ras", 15}, {"a.kfx", 0},  {"noextension", 0},
        {"C:\\dir.png\\file", 0},      {"C:\\dir\\file.", 0},        {"", 0},
    };
    for (const auto& [path, format] : cases) EXPECT_EQ(ThumbnailFormat(path), format) << path;
}

// A 2 × 2 24-bit BMP, bottom row first as the format keeps it.
std::vector<uint8_t> TwoByTwoBmp() {
    return {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                                            // file header
            40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,                                          // info header
            0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            // Bottom row: blue, white; top row: red, green (BGR, rows padded to 4 bytes).
            255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0};
}

TEST(Thumbnails, APictureIsStretchedPixelForPixelTopRowFirst) {
    const auto bytes = TwoByTwoBmp();
    std::vector<uint32_t> pixels;
    ASSERT_TRUE(DecodeThumbnail(1, bytes.data(), bytes.size(), kThumbnailSide, &pixels));
    ASSERT_EQ(pixels.size(), 48u * 48u);
    const auto at = [&](int x, int y) { return pixels[static_cast<size_t>(y) * 48 + x]; };
    EXPECT_EQ(at(0, 0), 0xFF0000u);
    EXPECT_EQ(at(23, 23), 0xFF0000u);
    EXPECT_EQ(at(24, 0), 0x00FF00u);
    EXPECT_EQ(at(47, 23), 0x00FF00u);
    EXPECT_EQ(at(0, 24), 0x0000FFu);
    EXPECT_EQ(at(47, 47), 0xFFFFFFu);
    // Labelled as another format, or cut short, it is no picture; the output stays as it was.
    std::vector<uint32_t> untouched = {7};
    EXPECT_FALSE(DecodeThumbnail(4, bytes.data(), bytes.size(), 48, &untouched));
    EXPECT_FALSE(DecodeThumbnail(1, bytes.data(), 30, 48, &untouched));
    EXPECT_FALSE(DecodeThumbnail(0, bytes.data(), bytes.size(), 48, &untouched));
    EXPECT_FALSE(DecodeThumbnail(10, bytes.data(), bytes.size(), 48, &untouched)) << "no metafile reader";
    EXPECT_EQ(untouched, std::vector<uint32_t>{7});
}

TEST(Thumbnails, AHeaderPromisingAHugePictureIsRefusedBeforeItsPixels) {
    // A 2 x 2 BMP whose header claims 30000 rows, and a GIF whose screen is 30000 x 30000.
    auto bmp = TwoByTwoBmp();
    bmp[22] = 0x30;
    bmp[23] = 0x75;
    const uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a', 0x30, 0x75, 0x30, 0x75, 0x00, 0x00, 0x00,
                           0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    std::vector<uint32_t> pixels;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DecodeThumbnail(1, bmp.data(), bmp.size(), 48, &pixels));
    EXPECT_FALSE(DecodeThumbnail(2, gif, sizeof gif, 48, &pixels));
    EXPECT_TRUE(pixels.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "nothing of that size was made";
    // The same GIF with a screen of one pixel is a picture.
    uint8_t small[sizeof gif];
    std::copy(std::begin(gif), std::end(gif), small);
    small[6] = 1, small[7] = 0, small[8] = 1, small[9] = 0;
    EXPECT_TRUE(DecodeThumbnail(2, small, sizeof small, 48, &pixels));
    // A small screen with an image of 30000 x 30000 in it is as large as its image.
    small[18] = 0x30, small[19] = 0x75, small[20] = 0x30, small[21] = 0x75;
    pixels.clear();
    EXPECT_FALSE(DecodeThumbnail(2, small, sizeof small, 48, &pixels));
}

TEST(Thumbnails, EveryPictureTheEngineShipsLoadsExceptItsOwnFormat) {
    int loaded = 0, refused = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(QK_KFX_THUMBNAILS)) {
        if (!entry.is_regular_file()) continue;
        const std::string file = entry.path().string();
        SCOPED_TRACE(file);
        const auto bytes = ReadFile(entry.path());
        std::vector<uint32_t> pixels;
        const int format = ThumbnailFormat(file);
        if (format == 0) {
            ++refused;
            continue;
        }
        ASSERT_TRUE(DecodeThumbnail(format, bytes.data(), bytes.size(), kThumbnailSide, &pixels));
        ++loaded;
        // A photograph, not a blank: the thumbnail has many colours.
        std::sort(pixels.begin(), pixels.end());
        EXPECT_GT(std::unique(pixels.begin(), pixels.end()) - pixels.begin(), 20);
    }
    EXPECT_EQ(loaded, 8) << "png, bmp, jpg, gif, tif, tga, ppm, ico";
    EXPECT_EQ(refused, 1) << "the engine's own format";
}

TEST(Thumbnails, ADebianPhotographDecodesAndItsCentreKeepsItsColour) {
    const std::filesystem::path photo = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
    if (!std::filesystem::exists(photo)) GTEST_SKIP() << "python-matplotlib-data is not installed";
    const auto bytes = ReadFile(photo);
    std::vector<uint32_t> pixels;
    ASSERT_TRUE(DecodeThumbnail(ThumbnailFormat(photo.string()), bytes.data(), bytes.size(), 48, &pixels));
    // Every cut of the file is refused or decoded, never read past its end.
    for (size_t cut : {size_t{0}, size_t{2}, size_t{100}, bytes.size() / 2}) {
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        std::vector<uint32_t> out;
        DecodeThumbnail(3, part.data(), part.size(), 48, &out);
        EXPECT_TRUE(out.empty() || out.size() == 48u * 48u);
    }
}

}  // namespace
}  // namespace k0340cvw
