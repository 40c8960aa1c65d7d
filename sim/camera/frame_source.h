// Where the camera's pictures come from: a moving test scene, a still image
// file or a Y4M video file. Sources render RGB24 pictures (bytes R, G, B,
// first line at the top) of any size at a time since the camera was plugged.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qk::sim {

struct FaceBox {
    int x = 0, y = 0, width = 0, height = 0;  // pixels of the rendered picture
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Renders the picture at `time` (100 ns since the camera was plugged) into
    // `rgb` (resized to width * height * 3).
    virtual void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) = 0;
    // Where a face is in that picture, when the source knows.
    virtual std::optional<FaceBox> Face(int64_t time, int width, int height) { return std::nullopt; }
    virtual std::string Describe() const = 0;
};

// A textured background with a skin-coloured head (eyes and mouth) that
// moves left and right, turns away (only the back of the head shows) and
// comes back, once every 8 seconds; a moving stripe of colour bars below.
class TestScene : public FrameSource {
public:
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::optional<FaceBox> Face(int64_t time, int width, int height) override;
    std::string Describe() const override { return "test scene"; }
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

// A YUV4MPEG2 stream (8-bit 4:2:0, 4:2:2, 4:4:4 or monochrome): frames
// follow one another at the file's rate and the file loops.
struct Y4mHeader {
    int width = 0, height = 0;
    int rateNumerator = 30, rateDenominator = 1;
    enum class Chroma { C420, C422, C444, Mono } chroma = Chroma::C420;
    size_t FrameBytes() const;
};

// Parses the stream header line (without the trailing newline); false with a
// reason for anything malformed or beyond 8192 x 8192.
bool ParseY4mHeader(const std::string& line, Y4mHeader* header, std::string* error);

// Splits a whole Y4M file into its header and frames; false with a reason on
// a malformed or truncated file.
bool ParseY4m(const std::vector<uint8_t>& bytes, Y4mHeader* header, std::vector<size_t>* frameOffsets, std::string* error);

class Y4mSource : public FrameSource {
public:
    // Throws std::runtime_error with a clear message for an unreadable or malformed file.
    explicit Y4mSource(const std::string& path);
    void Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) override;
    std::string Describe() const override { return "video " + path_; }
    const Y4mHeader& Header() const { return header_; }

private:
    std::string path_;
    Y4mHeader header_;
    std::vector<uint8_t> bytes_;
    std::vector<size_t> frames_;  // offsets of each frame's planes
};

// Nearest-neighbour scaling of an RGB24 picture.
void ScaleRgb(const uint8_t* src, int srcWidth, int srcHeight, uint8_t* dst, int dstWidth, int dstHeight);

// Makes a source from a command-line description: "scene", "image:PATH" or "y4m:PATH".
std::shared_ptr<FrameSource> MakeFrameSource(const std::string& description);

}  // namespace qk::sim
