#include "sim/camera/frame_source.h"

#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace qk::sim {

namespace {

constexpr int64_t kSecond = 10'000'000;

uint8_t Clamp(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

}  // namespace

// ---- The synthetic scene ----------------------------------------------------------------------------------

SyntheticScene::SyntheticScene(SceneOptions options, int loopFrames) : scene_(std::move(options)), loopFrames_(loopFrames) {}

int SyntheticScene::FrameAt(int64_t time) const {
    int64_t index = time <= 0 ? 0 : time * 30 / kSecond;
    if (loopFrames_ > 0) index %= loopFrames_;
    return static_cast<int>(std::min<int64_t>(index, INT32_MAX));
}

void SyntheticScene::Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) {
    rgb.resize(size_t(width) * height * 3);
    if (width <= 0 || height <= 0) return;
    scene_.Render(FrameAt(time), width, height, PixelFormat::kRgb24, rgb.data(), width * 3);
    // The scene writes B, G, R; the camera's pictures are R, G, B.
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
}

std::optional<FaceBox> SyntheticScene::Face(int64_t time, int width, int height) {
    FaceBox box = scene_.FaceAt(FrameAt(time), width, height);
    if (!box.visible) return std::nullopt;
    return box;
}

// ---- Scaling ---------------------------------------------------------------------------------------------

void ScaleRgb(const uint8_t* src, int srcWidth, int srcHeight, uint8_t* dst, int dstWidth, int dstHeight) {
    if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return;
    for (int y = 0; y < dstHeight; ++y) {
        int sy = static_cast<int>(int64_t{y} * srcHeight / dstHeight);
        const uint8_t* srow = src + size_t(sy) * srcWidth * 3;
        uint8_t* drow = dst + size_t(y) * dstWidth * 3;
        for (int x = 0; x < dstWidth; ++x) {
            int sx = static_cast<int>(int64_t{x} * srcWidth / dstWidth);
            std::memcpy(drow + size_t(x) * 3, srow + size_t(sx) * 3, 3);
        }
    }
}

// ---- Still image ------------------------------------------------------------------------------------------

StillImageSource::StillImageSource(const std::string& path) : path_(path) {
    FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
    if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(path.c_str());
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        throw std::runtime_error("cannot read image " + path + ": unknown or unsupported format");
    }
    FIBITMAP* loaded = FreeImage_Load(format, path.c_str(), 0);
    if (loaded == nullptr) throw std::runtime_error("cannot read image " + path);
    FIBITMAP* bitmap = FreeImage_ConvertTo24Bits(loaded);
    FreeImage_Unload(loaded);
    if (bitmap == nullptr) throw std::runtime_error("cannot convert image " + path + " to 24-bit colour");
    width_ = static_cast<int>(FreeImage_GetWidth(bitmap));
    height_ = static_cast<int>(FreeImage_GetHeight(bitmap));
    if (width_ <= 0 || height_ <= 0 || width_ > 16384 || height_ > 16384) {
        FreeImage_Unload(bitmap);
        throw std::runtime_error("image " + path + " has an unusable size");
    }
    rgb_.resize(size_t(width_) * height_ * 3);
    for (int y = 0; y < height_; ++y) {
        // The library keeps the bottom line first, pixels in its own byte order.
        const BYTE* line = FreeImage_GetScanLine(bitmap, height_ - 1 - y);
        uint8_t* out = &rgb_[size_t(y) * width_ * 3];
        for (int x = 0; x < width_; ++x) {
            out[3 * x + 0] = line[3 * x + FI_RGBA_RED];
            out[3 * x + 1] = line[3 * x + FI_RGBA_GREEN];
            out[3 * x + 2] = line[3 * x + FI_RGBA_BLUE];
        }
    }
    FreeImage_Unload(bitmap);
}

void StillImageSource::Render(int64_t, int width, int height, std::vector<uint8_t>& rgb) {
    std::lock_guard guard(lock_);
    if (scaledWidth_ != width || scaledHeight_ != height) {
        scaled_.resize(size_t(width) * height * 3);
        ScaleRgb(rgb_.data(), width_, height_, scaled_.data(), width, height);
        scaledWidth_ = width;
        scaledHeight_ = height;
    }
    rgb = scaled_;
}

// ---- Y4M ----------------------------------------------------------------------------------------------------

Y4mSource::Y4mSource(const std::string& path) : path_(path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open video " + path);
    Y4mReader reader(in);
    if (!reader.Open()) throw std::runtime_error("video " + path + ": " + reader.error());
    format_ = reader.format();
    std::vector<uint8_t> frame;
    while (reader.Next(frame)) frames_.push_back(frame);
    if (!reader.error().empty()) throw std::runtime_error("video " + path + ": " + reader.error());
    if (frames_.empty()) throw std::runtime_error("video " + path + " has no frames");
}

void Y4mSource::Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) {
    const Y4mFormat& f = format_;
    // The frame shown at `time`, looping over the file.
    int64_t index = time / kSecond * f.rateNumerator / f.rateDenominator +
                    time % kSecond * f.rateNumerator / f.rateDenominator / kSecond;
    const std::vector<uint8_t>& frame = frames_[static_cast<size_t>(index % static_cast<int64_t>(frames_.size()))];
    size_t luma = size_t(f.width) * f.height;
    size_t chroma = luma / 4;
    std::vector<uint8_t> full(luma * 3);
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            size_t at = size_t(y / 2) * (f.width / 2) + x / 2;
            // BT.601, limited range.
            double c = 1.164 * (frame[size_t(y) * f.width + x] - 16);
            double d = frame[luma + at] - 128, e = frame[luma + chroma + at] - 128;
            uint8_t* p = &full[(size_t(y) * f.width + x) * 3];
            p[0] = Clamp(c + 1.596 * e);
            p[1] = Clamp(c - 0.392 * d - 0.813 * e);
            p[2] = Clamp(c + 2.017 * d);
        }
    }
    rgb.resize(size_t(width) * height * 3);
    ScaleRgb(full.data(), f.width, f.height, rgb.data(), width, height);
}

std::shared_ptr<FrameSource> MakeFrameSource(const std::string& description) {
    if (description.empty() || description == "scene") return std::make_shared<SyntheticScene>();
    if (description.rfind("image:", 0) == 0) return std::make_shared<StillImageSource>(description.substr(6));
    if (description.rfind("y4m:", 0) == 0) return std::make_shared<Y4mSource>(description.substr(4));
    throw std::runtime_error("unknown frame source '" + description + "' (scene, image:PATH or y4m:PATH)");
}

}  // namespace qk::sim
