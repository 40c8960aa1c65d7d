#include "sim/scene/scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/convert/convert.h"

namespace qk::sim {
namespace {

struct Rgb {
    double r, g, b;
};

Rgb Scale(Rgb c, double k) { return Rgb{c.r * k, c.g * k, c.b * k}; }

// Hues far from any skin tone, so the background never looks like a face.
constexpr Rgb kPalette[] = {{60, 90, 170}, {50, 130, 120}, {125, 125, 132}, {80, 140, 70}, {110, 80, 150}};
constexpr Rgb kShirt{40, 60, 120};
constexpr Rgb kHair{22, 18, 16};
constexpr Rgb kSkin{210, 150, 120};
constexpr Rgb kEyeWhite{230, 228, 225};
constexpr Rgb kPupil{30, 25, 25};
constexpr Rgb kMouth{140, 50, 60};
constexpr Rgb kBoard{175, 125, 90};  // wood: skin-coloured, but flat
constexpr double kHairLine = -0.55;  // in head units, from the centre up

uint32_t Hash(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du ^ d * 0x27D4EB2Fu;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

bool InEllipse(double x, double y, double cx, double cy, double rx, double ry) {
    const double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1;
}

uint8_t Byte(double v) { return uint8_t(v <= 0 ? 0 : v >= 255 ? 255 : int(v + 0.5)); }

}  // namespace

size_t FrameBytes(PixelFormat format, int width, int height, int pitch) {
    if (format == PixelFormat::kI420) return size_t(width) * size_t(height) + 2 * size_t(width / 2) * size_t(height / 2);
    return size_t(pitch) * size_t(height);
}

Scene::Scene(SceneOptions options) : options_(std::move(options)) {}

SceneOptions Scene::Standard() {
    SceneOptions o;
    o.path = {
        {0, 0.35, 0.50, 0.22},    {45, 0.35, 0.50, 0.22},   // still
        {105, 0.65, 0.45, 0.22},  {195, 0.65, 0.45, 0.22},  // moves right, stops
        {235, 1.45, 0.45, 0.22},  {324, 1.45, 0.45, 0.22},  // leaves, absent
        {325, -0.45, 0.50, 0.22}, {385, 0.45, 0.50, 0.22},  // returns from the left
    };
    return o;
}

Scene::Head Scene::HeadAt(int index, int width, int height) const {
    const auto& path = options_.path;
    HeadKey key{0, 0.5, 0.5, 0.2};
    if (!path.empty()) {
        if (index <= path.front().frame) {
            key = path.front();
        } else if (index >= path.back().frame) {
            key = path.back();
        } else {
            for (size_t i = 1; i < path.size(); ++i) {
                if (index > path[i].frame) continue;
                const HeadKey& a = path[i - 1];
                const HeadKey& b = path[i];
                const double t = b.frame == a.frame ? 1.0 : double(index - a.frame) / (b.frame - a.frame);
                key = HeadKey{index, a.centreX + (b.centreX - a.centreX) * t, a.centreY + (b.centreY - a.centreY) * t,
                              a.radius + (b.radius - a.radius) * t};
                break;
            }
        }
    }
    const double ry = key.radius * height;
    return Head{key.centreX * width, key.centreY * height, ry * 0.78, ry};
}

FaceBox Scene::FaceAt(int index, int width, int height) const {
    const Head h = HeadAt(index, width, height);
    // The skin spans the head's width and runs from the hair line to the chin.
    FaceBox box{int(std::floor(h.cx - h.rx)), int(std::floor(h.cy + kHairLine * h.ry)), int(std::ceil(h.cx + h.rx)),
                int(std::ceil(h.cy + h.ry)), false};
    box.x0 = std::clamp(box.x0, 0, width);
    box.x1 = std::clamp(box.x1, 0, width);
    box.y0 = std::clamp(box.y0, 0, height);
    box.y1 = std::clamp(box.y1, 0, height);
    box.visible = box.x1 > box.x0 && box.y1 > box.y0;
    return box;
}

void Scene::RenderRgb(int index, int width, int height, std::vector<uint8_t>& bgr) const {
    const Head head = HeadAt(index, width, height);
    const double drift = options_.backgroundDrift * index;
    bgr.resize(size_t(width) * size_t(height) * 3);
    // Background factors per column and per row.
    std::vector<double> columnWave(static_cast<size_t>(width)), columnU(static_cast<size_t>(width));
    std::vector<int> stripe(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
        const double bu = (x + 0.5) / width + drift;
        columnU[size_t(x)] = (x + 0.5) / width;
        columnWave[size_t(x)] = std::sin(bu * 40);
        stripe[size_t(x)] = int(std::floor(bu / 0.12));
    }
    const int headX0 = std::max(0, int(std::floor(head.cx - head.rx))), headX1 = std::min(width, int(std::ceil(head.cx + head.rx)) + 1);
    for (int y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height;
        const double rowWave = std::cos(v * 23);
        const int tile = int(std::floor(v / 0.15));
        const double below = (y - head.cy - 1.05 * head.ry) / head.ry;
        const double shirtHalf = head.rx * (1.6 + 0.6 * below);
        const double ny = (y - head.cy) / head.ry;
        for (int x = 0; x < width; ++x) {
            const double u = columnU[size_t(x)];
            // Background: stripes and tiles of the palette, gently shaded.
            Rgb c = Scale(kPalette[size_t(((stripe[size_t(x)] + 2 * tile) % 5 + 5) % 5)],
                          0.85 + 0.15 * columnWave[size_t(x)] * rowWave);
            if (options_.distractor && u > 0.04 && u < 0.2 && v > 0.55 && v < 0.95) c = kBoard;
            // Shirt below the head.
            if (below > 0 && std::abs(x - head.cx) < shirtHalf) c = kShirt;
            if (x >= headX0 && x < headX1 && InEllipse(x, y, head.cx, head.cy, head.rx, head.ry)) {
                const double nx = (x - head.cx) / head.rx;
                if (ny < kHairLine) {
                    c = kHair;
                } else if (InEllipse(nx, ny, 0, 0.45, 0.35, 0.09)) {
                    c = kMouth;
                } else if (InEllipse(nx, ny, -0.38, -0.18, 0.16, 0.09) || InEllipse(nx, ny, 0.38, -0.18, 0.16, 0.09)) {
                    const bool pupil = InEllipse(nx, ny, -0.38, -0.18, 0.06, 0.07) || InEllipse(nx, ny, 0.38, -0.18, 0.06, 0.07);
                    c = pupil ? kPupil : kEyeWhite;
                } else {
                    // Lit from the upper left, like a sphere.
                    const double nz = std::sqrt(std::max(0.0, 1 - nx * nx - ny * ny));
                    c = Scale(kSkin, 0.62 + 0.38 * (-0.45 * nx - 0.35 * ny + 0.82 * nz));
                }
            }
            const uint32_t n = Hash(options_.seed, uint32_t(index), uint32_t(x), uint32_t(y));
            const int span = 2 * options_.noise + 1;
            uint8_t* p = &bgr[3 * (size_t(y) * size_t(width) + size_t(x))];
            p[0] = Byte(c.b + int(n % span) - options_.noise);
            p[1] = Byte(c.g + int((n >> 8) % span) - options_.noise);
            p[2] = Byte(c.r + int((n >> 16) % span) - options_.noise);
        }
    }
}

FaceBox Scene::Render(int index, int width, int height, PixelFormat format, uint8_t* out, int pitch) const {
    // A camera renders a frame every 33 ms; a fresh picture-sized buffer each
    // time is paid in page faults by every thread of the process.
    thread_local std::vector<uint8_t> bgr;
    RenderRgb(index, width, height, bgr);
    const size_t line = size_t(width) * 3;
    switch (format) {
    case PixelFormat::kRgb24:
        for (int y = 0; y < height; ++y) std::memcpy(out + size_t(y) * size_t(pitch), &bgr[size_t(y) * line], line);
        break;
    case PixelFormat::kRgb24BottomUp:
        for (int y = 0; y < height; ++y) {
            std::memcpy(out + size_t(height - 1 - y) * size_t(pitch), &bgr[size_t(y) * line], line);
        }
        break;
    case PixelFormat::kYuy2:
        ConvertRgb24ToYuy2(out, pitch, bgr.data(), width, height, int(line));
        break;
    case PixelFormat::kI420:
        ConvertRgb24ToI420(out, bgr.data(), width, height, int(line));
        break;
    }
    return FaceAt(index, width, height);
}

}  // namespace qk::sim
