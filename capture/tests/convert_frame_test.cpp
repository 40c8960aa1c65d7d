// The uncompressed path of frame processing on its own: which outputs the
// camera's YUY2 frames can give and what a short or merged frame turns into.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "capture/formats.h"
#include "capture/k0340dev.h"
#include "imaging/convert/convert.h"

namespace k0340 {
namespace {

class ConvertFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_.camera_ = &camera_;
        camera_.cameraStream = CameraStream::Uncompressed;
        camera_.stream.captureWidth = 640;
        camera_.stream.captureHeight = 480;
        work_.resize(800 * 600 * 3);
        camera_.frameWork = work_.data();
        camera_.frameWorkBytes = static_cast<ULONG>(work_.size());
        // A camera frame with a different value in every byte position of a line.
        yuy2_.resize(640 * 480 * 2);
        for (size_t i = 0; i < yuy2_.size(); ++i) yuy2_[i] = static_cast<uint8_t>(i * 7 + i / 1280);
        frame_.data = yuy2_.data();
        frame_.capacity = frame_.filled = static_cast<ULONG>(yuy2_.size());
    }
    NTSTATUS Convert(uint32_t formatIndex, uint32_t width, uint32_t height, std::vector<uint8_t>* out) {
        device_.streamFormat.formatIndex = formatIndex;
        device_.streamFormat.width = width;
        device_.streamFormat.height = height;
        out->assign(static_cast<size_t>(width) * height * 3, 0xEE);
        return ConvertFrame(&device_, &frame_, out->data(), static_cast<ULONG>(out->size()), device_.streamFormat.width,
                            device_.streamFormat.height);
    }

    UsbCameraDevice device_;
    CameraContext camera_{};
    FrameDescriptor frame_{};
    std::vector<uint8_t> work_, yuy2_;
};

TEST_F(ConvertFrameTest, I420IsConvertedUpTo640AndFailsWider) {
    std::vector<uint8_t> out;
    ASSERT_EQ(Convert(kFormatI420, 640, 480, &out), STATUS_SUCCESS);
    std::vector<uint8_t> expected(640 * 480 * 3 / 2);
    ASSERT_EQ(ConvertYuy2ToI420(expected.data(), yuy2_.data(), 640, 480, 1280), IMG_SUCCESS);
    EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), expected.size()));

    // 800x600 is scaled from the camera's 640x480, which I420 cannot be: every frame fails.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Convert(kFormatI420, 800, 600, &out), STATUS_UNSUCCESSFUL);
}

TEST_F(ConvertFrameTest, AFrameOfAnyOtherLengthIsBad) {
    std::vector<uint8_t> out;
    for (ULONG filled : {0u, 640u * 480u * 2u - 2u, 640u * 480u * 4u}) {
        SCOPED_TRACE(filled);
        frame_.filled = filled;  // a short frame, or two merged by a lost toggle
        EXPECT_EQ(Convert(kFormatYuy2, 640, 480, &out), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Convert(kFormatRgb24, 640, 480, &out), STATUS_UNSUCCESSFUL);
    }
}

TEST_F(ConvertFrameTest, RgbAt800x600IsTheUpscaledPictureBottomUp) {
    std::vector<uint8_t> out;
    ASSERT_EQ(Convert(kFormatRgb24, 800, 600, &out), STATUS_SUCCESS);
    std::vector<uint8_t> rgb(640 * 480 * 3), scaled(800 * 600 * 3);
    ASSERT_EQ(ConvertYuy2ToRgb24(rgb.data(), 640 * 3, yuy2_.data(), 640, 480), IMG_SUCCESS);
    ASSERT_EQ(ResizeNearest(scaled.data(), 800, 600, 2400, rgb.data(), 640, 480, 1920, MT_RGB24), IMG_SUCCESS);
    for (int y = 0; y < 600; ++y) {
        ASSERT_EQ(0, std::memcmp(out.data() + static_cast<size_t>(599 - y) * 2400, scaled.data() + static_cast<size_t>(y) * 2400, 2400))
            << "line " << y;
    }
}

}  // namespace
}  // namespace k0340
