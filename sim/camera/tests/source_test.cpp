// Frame sources: the test scene's face and its turning away, still images and
// Y4M files streamed by the camera, and the Y4M reader on malformed files.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/camera/tests/camera_fixture.h"

namespace qk::sim::testing {
namespace {

constexpr int64_t kSecond = 10'000'000;

std::filesystem::path TempFile(const std::string& name) {
    return std::filesystem::temp_directory_path() / ("qk-sim-" + std::to_string(::getpid()) + "-" + name);
}

TEST(FrameSourceTest, SceneFaceMovesTurnsAwayAndComesBack) {
    TestScene scene;
    auto start = scene.Face(0, 640, 480);
    auto later = scene.Face(2 * kSecond, 640, 480);
    auto away = scene.Face(5 * kSecond + kSecond / 2, 640, 480);
    auto back = scene.Face(7 * kSecond, 640, 480);
    ASSERT_TRUE(start && later && back);
    EXPECT_FALSE(away.has_value());
    EXPECT_GT(later->x, start->x + 100);  // a quarter of the width to the right after two seconds
    EXPECT_GT(start->width, 100);
    // The face box holds skin colour at its centre; outside it, background.
    std::vector<uint8_t> rgb;
    scene.Render(0, 640, 480, rgb);
    const uint8_t* centre = &rgb[((start->y + start->height * 3 / 4) * 640 + start->x + start->width / 2) * 3];
    EXPECT_GT(centre[0], centre[2] + 40);  // reddish skin over the bluish background
    const uint8_t* corner = &rgb[(10 * 640 + 10) * 3];
    EXPECT_GT(corner[2], corner[0]);
}

TEST(FrameSourceTest, StillImageIsStreamedAtTheCommittedSize) {
    // Left half red, right half blue.
    FIBITMAP* bitmap = FreeImage_Allocate(64, 48, 24);
    for (unsigned y = 0; y < 48; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap, y);
        for (unsigned x = 0; x < 64; ++x) {
            line[3 * x + FI_RGBA_RED] = x < 32 ? 220 : 0;
            line[3 * x + FI_RGBA_GREEN] = 0;
            line[3 * x + FI_RGBA_BLUE] = x < 32 ? 0 : 220;
        }
    }
    std::string path = TempFile("image.png").string();
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, bitmap, path.c_str(), 0));
    FreeImage_Unload(bitmap);
    CameraConversation c({}, std::make_shared<StillImageSource>(path));
    c.StartStream(1, 5, kInterval30);  // YUY2 160 x 120
    PayloadReader reader;
    c.Poll(40, reader);
    auto sent = c.camera->SentFrames();
    ASSERT_FALSE(sent.empty());
    const auto& yuy2 = sent[0].bytes;
    // Red has V above 128 and U below; blue the other way round.
    EXPECT_GT(yuy2[(60 * 160 + 10) * 2 + 3], 200);
    EXPECT_LT(yuy2[(60 * 160 + 10) * 2 + 1], 128);
    EXPECT_GT(yuy2[(60 * 160 + 150) * 2 + 1], 200);
    std::filesystem::remove(path);
    EXPECT_THROW(StillImageSource("/nonexistent/picture.png"), std::runtime_error);
}

TEST(FrameSourceTest, Y4mFramesFollowTheFilesRate) {
    // Two 16 x 16 frames at 10 frames a second: dark, then bright.
    std::string path = TempFile("video.y4m").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << "YUV4MPEG2 W16 H16 F10:1 Ip A1:1 C420jpeg\n";
        for (uint8_t luma : {40, 200}) {
            out << "FRAME\n";
            std::string planes(16 * 16, static_cast<char>(luma));
            planes += std::string(2 * 8 * 8, static_cast<char>(128));
            out << planes;
        }
    }
    auto source = std::make_shared<Y4mSource>(path);
    EXPECT_EQ(source->Header().rateNumerator, 10);
    std::vector<uint8_t> rgb;
    source->Render(0, 32, 32, rgb);
    EXPECT_LT(rgb[0], 60);
    source->Render(kSecond / 10, 32, 32, rgb);
    EXPECT_GT(rgb[0], 200);
    source->Render(2 * kSecond / 10, 32, 32, rgb);  // looped
    EXPECT_LT(rgb[0], 60);
    std::filesystem::remove(path);
}

TEST(FrameSourceTest, MalformedY4mFilesAreRefusedWithAReason) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string frame(16 * 16 + 2 * 64, 'x');
    const Case cases[] = {
        {"not a stream", "RIFF0000WAVE"},
        {"no header line end", "YUV4MPEG2 W16 H16"},
        {"no width", "YUV4MPEG2 H16\nFRAME\n" + frame},
        {"huge size", "YUV4MPEG2 W99999 H16\nFRAME\n"},
        {"zero rate", "YUV4MPEG2 W16 H16 F0:1\nFRAME\n" + frame},
        {"unknown colour space", "YUV4MPEG2 W16 H16 C411\nFRAME\n" + frame},
        {"unknown field", "YUV4MPEG2 W16 H16 Q3\nFRAME\n" + frame},
        {"short frame", "YUV4MPEG2 W16 H16\nFRAME\n" + frame.substr(10)},
        {"garbage between frames", "YUV4MPEG2 W16 H16\nFRAME\n" + frame + "JUNK\n"},
        {"no frames", "YUV4MPEG2 W16 H16\n"},
        {"negative-looking width", "YUV4MPEG2 W-16 H16\nFRAME\n" + frame},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<uint8_t> bytes(k.bytes.begin(), k.bytes.end());
        Y4mHeader header;
        std::vector<size_t> frames;
        std::string error;
        EXPECT_FALSE(ParseY4m(bytes, &header, &frames, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_THROW(MakeFrameSource("camera:0"), std::runtime_error);
}

}  // namespace
}  // namespace qk::sim::testing
