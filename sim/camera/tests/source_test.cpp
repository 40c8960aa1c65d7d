// Frame sources: the synthetic scene's script and face, still images and Y4M
// files streamed by the camera, and sources that cannot be read.
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

TEST(FrameSourceTest, SyntheticSceneRunsItsScriptAtThirtyFramesASecondAndLoops) {
    SyntheticScene scene;
    EXPECT_EQ(scene.FrameAt(kSecond), 30);
    EXPECT_EQ(scene.FrameAt(16 * kSecond), 0);  // the 480-frame script starts again
    auto start = scene.Face(0, 640, 480);
    auto moved = scene.Face(4 * kSecond, 640, 480);
    auto gone = scene.Face(9 * kSecond, 640, 480);
    auto back = scene.Face(15 * kSecond, 640, 480);
    ASSERT_TRUE(start && moved && back);
    EXPECT_FALSE(gone.has_value());
    EXPECT_GT(moved->x0, start->x0 + 20);
    EXPECT_EQ(scene.Face(16 * kSecond, 640, 480)->x0, start->x0);
    // The camera's pictures are R, G, B: the skin in the face box is reddish.
    std::vector<uint8_t> rgb;
    scene.Render(0, 640, 480, rgb);
    const uint8_t* skin = &rgb[(size_t((start->y0 + start->y1) / 2) * 640 + (start->x0 + start->x1) / 2) * 3];
    EXPECT_GT(skin[0], skin[2]);
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
    EXPECT_EQ(source->Format().rateNumerator, 10);
    std::vector<uint8_t> rgb;
    source->Render(0, 32, 32, rgb);
    EXPECT_LT(rgb[0], 60);
    source->Render(kSecond / 10, 32, 32, rgb);
    EXPECT_GT(rgb[0], 200);
    source->Render(2 * kSecond / 10, 32, 32, rgb);  // looped
    EXPECT_LT(rgb[0], 60);
    std::filesystem::remove(path);
}

TEST(FrameSourceTest, UnknownSourcesAndUnreadableFilesAreRefused) {
    EXPECT_THROW(MakeFrameSource("camera:0"), std::runtime_error);
    EXPECT_THROW(MakeFrameSource("y4m:/nonexistent/video.y4m"), std::runtime_error);
    std::string path = TempFile("bad.y4m").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << "YUV4MPEG2 W16 H16 C444\nFRAME\n";
    }
    EXPECT_THROW(Y4mSource{path}, std::runtime_error);  // not 4:2:0
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace qk::sim::testing
