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

constexpr double kPi = 3.14159265358979323846;
constexpr int64_t kSecond = 10'000'000;
constexpr int kMaxY4mSide = 8192;

uint8_t Clamp(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Where the head is at `time` on a picture of `width` x `height` and whether it faces the camera.
struct Head {
    double cx, cy, rx, ry;
    bool facing;
};

Head HeadAt(int64_t time, int width, int height) {
    double seconds = static_cast<double>(time) / kSecond;
    double phase = std::fmod(seconds, 8.0);
    double unit = std::min(width, height);
    Head h;
    h.cx = width * (0.5 + 0.25 * std::sin(2 * kPi * seconds / 8.0));
    h.cy = height * 0.45 + unit * 0.03 * std::sin(2 * kPi * seconds / 2.0);
    h.rx = unit * 0.16;
    h.ry = unit * 0.22;
    h.facing = !(phase >= 5.0 && phase < 6.5);  // turned away for a second and a half
    return h;
}

}  // namespace

// ---- Test scene ----------------------------------------------------------------------------------------

void TestScene::Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) {
    rgb.resize(size_t(width) * height * 3);
    if (width <= 0 || height <= 0) return;
    Head head = HeadAt(time, width, height);
    double seconds = static_cast<double>(time) / kSecond;
    int stripeTop = height - std::max(1, height / 10);
    int shift = static_cast<int>(seconds * width / 4.0);
    static constexpr uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                            {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &rgb[size_t(y) * width * 3];
        double dy = (y + 0.5 - head.cy) / head.ry;
        for (int x = 0; x < width; ++x) {
            uint8_t* p = row + size_t(x) * 3;
            if (y >= stripeTop) {
                int bar = (((x + shift) % width + width) % width) * 8 / width;
                std::memcpy(p, kBars[bar], 3);
                continue;
            }
            // Background: a gradient with a fine texture that the encoder has to work for.
            uint32_t tile = Hash(static_cast<uint32_t>((x * 16 / width) * 131 + (y * 12 / height)));
            uint32_t grain = Hash(static_cast<uint32_t>(x * 7919 + y * 104729));
            double r = 60 + 50.0 * x / width + (tile & 15) + (grain & 7);
            double g = 90 + 40.0 * y / height + ((tile >> 4) & 15) + ((grain >> 3) & 7);
            double b = 130 + ((tile >> 8) & 31) + ((grain >> 6) & 7);
            double dx = (x + 0.5 - head.cx) / head.rx;
            double d2 = dx * dx + dy * dy;
            if (d2 < 1.0) {
                double shade = 1.0 - 0.25 * d2;
                if (!head.facing || dy < -0.55 + 0.1 * std::cos(dx * 3)) {
                    r = 70 * shade, g = 45 * shade, b = 30 * shade;  // hair
                } else {
                    r = 224 * shade, g = 172 * shade, b = 140 * shade;  // skin
                    for (double side : {-0.38, 0.38}) {
                        double ex = (dx - side) / 0.13, ey = (dy + 0.12) / 0.08;
                        if (ex * ex + ey * ey < 1.0) r = 30, g = 25, b = 25;
                    }
                    double mx = dx / 0.35, my = (dy - 0.45) / 0.07;
                    if (mx * mx + my * my < 1.0) r = 150, g = 40, b = 50;
                }
            }
            p[0] = Clamp(r);
            p[1] = Clamp(g);
            p[2] = Clamp(b);
        }
    }
}

std::optional<FaceBox> TestScene::Face(int64_t time, int width, int height) {
    Head head = HeadAt(time, width, height);
    if (!head.facing) return std::nullopt;
    FaceBox box;
    box.x = static_cast<int>(std::lround(head.cx - head.rx));
    box.y = static_cast<int>(std::lround(head.cy - head.ry));
    box.width = static_cast<int>(std::lround(2 * head.rx));
    box.height = static_cast<int>(std::lround(2 * head.ry));
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

size_t Y4mHeader::FrameBytes() const {
    size_t luma = size_t(width) * height;
    size_t cw = (size_t(width) + 1) / 2, ch = (size_t(height) + 1) / 2;
    switch (chroma) {
        case Chroma::C420: return luma + 2 * cw * ch;
        case Chroma::C422: return luma + 2 * cw * height;
        case Chroma::C444: return 3 * luma;
        case Chroma::Mono: return luma;
    }
    return luma;
}

bool ParseY4mHeader(const std::string& line, Y4mHeader* header, std::string* error) {
    auto fail = [error](const std::string& reason) {
        if (error) *error = reason;
        return false;
    };
    *header = {};
    std::istringstream in(line);
    std::string token;
    if (!(in >> token) || token != "YUV4MPEG2") return fail("not a YUV4MPEG2 stream");
    auto number = [](const std::string& s, int* out) {
        if (s.empty() || s.size() > 9 ||
            !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        *out = std::stoi(s);
        return true;
    };
    while (in >> token) {
        std::string value = token.substr(1);
        switch (token[0]) {
            case 'W':
                if (!number(value, &header->width)) return fail("bad width " + value);
                break;
            case 'H':
                if (!number(value, &header->height)) return fail("bad height " + value);
                break;
            case 'F': {
                auto colon = value.find(':');
                if (colon == std::string::npos || !number(value.substr(0, colon), &header->rateNumerator) ||
                    !number(value.substr(colon + 1), &header->rateDenominator) || header->rateNumerator == 0 ||
                    header->rateDenominator == 0) {
                    return fail("bad frame rate " + value);
                }
                break;
            }
            case 'C':
                if (value.rfind("420", 0) == 0) {
                    header->chroma = Y4mHeader::Chroma::C420;
                } else if (value == "422") {
                    header->chroma = Y4mHeader::Chroma::C422;
                } else if (value == "444") {
                    header->chroma = Y4mHeader::Chroma::C444;
                } else if (value == "mono") {
                    header->chroma = Y4mHeader::Chroma::Mono;
                } else {
                    return fail("unsupported colour space " + value);
                }
                break;
            case 'I':
            case 'A':
            case 'X': break;  // interlacing, aspect and extensions do not change the planes
            default: return fail("unknown header field " + token);
        }
    }
    if (header->width <= 0 || header->height <= 0) return fail("missing width or height");
    if (header->width > kMaxY4mSide || header->height > kMaxY4mSide) return fail("picture larger than 8192 x 8192");
    return true;
}

bool ParseY4m(const std::vector<uint8_t>& bytes, Y4mHeader* header, std::vector<size_t>* frameOffsets,
              std::string* error) {
    auto fail = [error](const std::string& reason) {
        if (error) *error = reason;
        return false;
    };
    frameOffsets->clear();
    auto newline = std::find(bytes.begin(), bytes.end(), '\n');
    if (newline == bytes.end()) return fail("no stream header line");
    std::string line(bytes.begin(), newline);
    if (!ParseY4mHeader(line, header, error)) return false;
    size_t frameBytes = header->FrameBytes();
    size_t offset = static_cast<size_t>(newline - bytes.begin()) + 1;
    while (offset < bytes.size()) {
        static constexpr char kFrame[] = "FRAME";
        if (bytes.size() - offset < 5 || std::memcmp(&bytes[offset], kFrame, 5) != 0) {
            return fail("frame " + std::to_string(frameOffsets->size()) + " does not start with FRAME");
        }
        auto end = std::find(bytes.begin() + static_cast<ptrdiff_t>(offset), bytes.end(), '\n');
        if (end == bytes.end()) return fail("frame header without its newline");
        size_t data = static_cast<size_t>(end - bytes.begin()) + 1;
        if (bytes.size() - data < frameBytes) return fail("last frame is cut short");
        frameOffsets->push_back(data);
        offset = data + frameBytes;
    }
    if (frameOffsets->empty()) return fail("no frames");
    return true;
}

Y4mSource::Y4mSource(const std::string& path) : path_(path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open video " + path);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string error;
    if (!ParseY4m(bytes_, &header_, &frames_, &error)) throw std::runtime_error("video " + path + ": " + error);
}

void Y4mSource::Render(int64_t time, int width, int height, std::vector<uint8_t>& rgb) {
    const Y4mHeader& h = header_;
    // Frame shown at `time`, looping over the file.
    int64_t index = time / kSecond * h.rateNumerator / h.rateDenominator +
                    time % kSecond * h.rateNumerator / h.rateDenominator / kSecond;
    const uint8_t* base = &bytes_[frames_[static_cast<size_t>(index % static_cast<int64_t>(frames_.size()))]];
    size_t luma = size_t(h.width) * h.height;
    int cw = (h.width + 1) / 2;
    const uint8_t* uPlane = base + luma;
    std::vector<uint8_t> full(luma * 3);
    for (int y = 0; y < h.height; ++y) {
        for (int x = 0; x < h.width; ++x) {
            int yy = base[size_t(y) * h.width + x], u = 128, v = 128;
            switch (h.chroma) {
                case Y4mHeader::Chroma::C420: {
                    size_t ch = (size_t(h.height) + 1) / 2;
                    size_t at = size_t(y / 2) * cw + x / 2;
                    u = uPlane[at];
                    v = uPlane[cw * ch + at];
                    break;
                }
                case Y4mHeader::Chroma::C422: {
                    size_t at = size_t(y) * cw + x / 2;
                    u = uPlane[at];
                    v = uPlane[size_t(cw) * h.height + at];
                    break;
                }
                case Y4mHeader::Chroma::C444:
                    u = uPlane[size_t(y) * h.width + x];
                    v = uPlane[luma + size_t(y) * h.width + x];
                    break;
                case Y4mHeader::Chroma::Mono: break;
            }
            // BT.601, limited range.
            double c = 1.164 * (yy - 16), d = u - 128, e = v - 128;
            uint8_t* p = &full[(size_t(y) * h.width + x) * 3];
            p[0] = Clamp(c + 1.596 * e);
            p[1] = Clamp(c - 0.392 * d - 0.813 * e);
            p[2] = Clamp(c + 2.017 * d);
        }
    }
    rgb.resize(size_t(width) * height * 3);
    ScaleRgb(full.data(), h.width, h.height, rgb.data(), width, height);
}

std::shared_ptr<FrameSource> MakeFrameSource(const std::string& description) {
    if (description.empty() || description == "scene") return std::make_shared<TestScene>();
    if (description.rfind("image:", 0) == 0) return std::make_shared<StillImageSource>(description.substr(6));
    if (description.rfind("y4m:", 0) == 0) return std::make_shared<Y4mSource>(description.substr(4));
    throw std::runtime_error("unknown frame source '" + description + "' (scene, image:PATH or y4m:PATH)");
}

}  // namespace qk::sim
