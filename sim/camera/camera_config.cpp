#include "sim/camera/camera_config.h"

namespace qk::sim {

namespace {

const std::vector<uint32_t> kFiveToThirty = {kInterval30, kInterval25, kInterval20, kInterval15, kInterval10, kInterval5};
const std::vector<uint32_t> kFiveToFifteen = {kInterval15, kInterval10, kInterval5};

}  // namespace

std::vector<FormatSpec> DefaultFormats(int variant) {
    // The uncompressed format carries what USB 2.0 bandwidth allows: up to
    // 640 x 480 at every rate and, on the second variant, the large sizes at
    // the slow rates. 800 x 600 is an MJPEG size only (the capture driver
    // scales the uncompressed 640 x 480 up to it).
    FormatSpec yuy2{VideoFormat::Yuy2, {}};
    FormatSpec mjpeg{VideoFormat::Mjpeg, {}};
    if (variant == 1) {
        yuy2.frames = {{640, 480, kFiveToFifteen},
                       {352, 288, kFiveToThirty},
                       {320, 240, kFiveToThirty},
                       {176, 144, kFiveToThirty},
                       {160, 120, kFiveToThirty}};
        mjpeg.frames = yuy2.frames;
        mjpeg.frames.push_back({800, 600, kFiveToFifteen});
    } else {
        yuy2.frames = {{640, 480, kFiveToThirty},  {352, 288, kFiveToThirty},
                       {320, 240, kFiveToThirty},  {176, 144, kFiveToThirty},
                       {160, 120, kFiveToThirty},  {1280, 960, {kInterval7_5, kInterval5}},
                       {1600, 1200, {kInterval5}}};
        mjpeg.frames = yuy2.frames;
        mjpeg.frames.insert(mjpeg.frames.begin() + 5, {800, 600, kFiveToThirty});
    }
    return {yuy2, mjpeg};
}

const std::vector<FormatSpec>& CameraConfig::Formats() const {
    if (!formats.empty()) return formats;
    if (defaultFormats_.empty()) defaultFormats_ = DefaultFormats(variant);
    return defaultFormats_;
}

}  // namespace qk::sim
