// Where the camera's pictures come from: the synthetic face scene, a still
// image file or a Y4M video file. Sources render RGB24 pictures (bytes R, G, B,
// first line at the top) of any size at a time since the camera was plugged.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/scene/scene.h"
#include "sim/scene/y4m.h"

namespace qk::sim {


class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Renders the picture at `time` (100 ns since the camera was plugged) into
    // `rgb` (resized to width * height * 3).
    virtual void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) = 0;
    // Where a face is in that picture, when the source knows and it shows.
    virtual std::optional<FaceBox> Face(int64_t time, int width, int height) { return std::nullopt; }
    virtual std::string Describe() const = 0;
};

// The synthetic face scene: its script played at 30 frames a second (the
// standard script, looped, unless told otherwise), with the true face box of
// every picture.
class SyntheticScene : public FrameSource {
public:
    explicit SyntheticScene(SceneOptions options = Scene::Standard(), int loopFrames = Scene::kStandardFrames);
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::optional<FaceBox> Face(int64_t time, int width, int height) override;
    std::string Describe() const override { return "synthetic face scene"; }
    // The script frame shown at `time`.
    int FrameAt(int64_t time) const;

private:
    Scene scene_;
    int loopFrames_;
};

// A still image file (any format the image library reads), scaled to the
// requested size.
class StillImageSource : public FrameSource {
public:
    // Throws std::runtime_error with a clear message when the file cannot be read.
    explicit StillImageSource(const std::string& path);
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::string Describe() const override { return "image " + path_; }

private:
    std::string path_;
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> rgb_;  // the image as read
    std::mutex lock_;           // guards the scaled copy
    int scaledWidth_ = 0, scaledHeight_ = 0;
    std::vector<uint8_t> scaled_;
};

// A YUV4MPEG2 file of 4:2:0 pictures: frames follow one another at the
// file's rate and the file loops.
class Y4mSource : public FrameSource {
public:
    // Throws std::runtime_error with a clear message for an unreadable or malformed file.
    explicit Y4mSource(const std::string& path);
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::string Describe() const override { return "video " + path_; }
    const Y4mFormat& Format() const { return format_; }

private:
    std::string path_;
    Y4mFormat format_;
    std::vector<std::vector<uint8_t>> frames_;  // I420
};

// Nearest-neighbour scaling of an RGB24 picture.
void ScaleRgb(const uint8_t* src, int srcWidth, int srcHeight, uint8_t* dst, int dstWidth, int dstHeight);

// Makes a source from a command-line description: "scene", "image:PATH" or "y4m:PATH".
std::shared_ptr<FrameSource> MakeFrameSource(const std::string& description);

}  // namespace qk::sim
