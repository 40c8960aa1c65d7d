// Picture effects: colour maps (sepia after the usual 0.393/0.769/0.189
// weights, negative, grey by BT.601 luma, a thermal palette), shapes laid
// over the picture (an oval window, a film strip), and neighbourhood effects
// (mosaic, mirror, a pencil sketch from the luma's gradient).
#include "outside/KfxEngine/frame_effects.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kfx {
namespace {

struct Named {
    const char* name;
    FrameEffect effect;
};
constexpr Named kNames[] = {
    {"sepia", FrameEffect::Sepia}, {"negative", FrameEffect::Negative}, {"grey", FrameEffect::Grey},
    {"oval", FrameEffect::Oval},   {"film", FrameEffect::Film},         {"mosaic", FrameEffect::Mosaic},
    {"mirror", FrameEffect::Mirror}, {"thermal", FrameEffect::Thermal}, {"sketch", FrameEffect::Sketch},
};

constexpr int kMosaicBlock = 8;

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }
int Luma(const uint8_t* p) { return (29 * p[0] + 150 * p[1] + 77 * p[2] + 128) >> 8; }

template <typename F>
void EachPixel(uint8_t* pixels, int width, int height, ptrdiff_t pitch, F f) {
    for (int y = 0; y < height; ++y) {
        uint8_t* row = pixels + y * pitch;
        for (int x = 0; x < width; ++x) f(row + 3 * x, x, y);
    }
}

void Thermal(uint8_t* p) {
    // Dark blue through red to yellow-white as the luma rises.
    const int l = Luma(p);
    p[2] = Clamp(l < 128 ? l * 2 : 255);
    p[1] = Clamp(l < 128 ? 0 : (l - 128) * 2);
    p[0] = Clamp(l < 64 ? 128 + l * 2 : l < 128 ? 255 - (l - 64) * 4 : (l - 192) * 4);
}

void Mosaic(uint8_t* pixels, int width, int height, ptrdiff_t pitch) {
    for (int by = 0; by < height; by += kMosaicBlock) {
        for (int bx = 0; bx < width; bx += kMosaicBlock) {
            const int w = std::min(kMosaicBlock, width - bx), h = std::min(kMosaicBlock, height - by);
            int sum[3] = {0, 0, 0};
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    for (int c = 0; c < 3; ++c) sum[c] += pixels[(by + y) * pitch + 3 * (bx + x) + c];
                }
            }
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    for (int c = 0; c < 3; ++c) pixels[(by + y) * pitch + 3 * (bx + x) + c] = static_cast<uint8_t>(sum[c] / (w * h));
                }
            }
        }
    }
}

void Sketch(uint8_t* pixels, int width, int height, ptrdiff_t pitch) {
    std::vector<int> luma(static_cast<size_t>(width) * height);
    EachPixel(pixels, width, height, pitch, [&](uint8_t* p, int x, int y) { luma[static_cast<size_t>(y) * width + x] = Luma(p); });
    auto at = [&](int x, int y) {
        return luma[static_cast<size_t>(std::clamp(y, 0, height - 1)) * width + std::clamp(x, 0, width - 1)];
    };
    EachPixel(pixels, width, height, pitch, [&](uint8_t* p, int x, int y) {
        const int gx = at(x + 1, y) - at(x - 1, y), gy = at(x, y + 1) - at(x, y - 1);
        const uint8_t v = Clamp(255 - 2 * (std::abs(gx) + std::abs(gy)));
        p[0] = p[1] = p[2] = v;
    });
}

}  // namespace

std::optional<FrameEffect> FrameEffectNamed(std::string_view name) {
    for (const Named& n : kNames) {
        if (name == n.name) return n.effect;
    }
    return std::nullopt;
}

const char* FrameEffectName(FrameEffect effect) {
    for (const Named& n : kNames) {
        if (n.effect == effect) return n.name;
    }
    return "";
}

void ApplyFrameEffect(FrameEffect effect, uint8_t* pixels, int width, int height, ptrdiff_t pitch) {
    if (pixels == nullptr || width <= 0 || height <= 0) return;
    switch (effect) {
        case FrameEffect::Sepia:
            EachPixel(pixels, width, height, pitch, [](uint8_t* p, int, int) {
                const int b = p[0], g = p[1], r = p[2];
                p[2] = Clamp((393 * r + 769 * g + 189 * b) / 1000);
                p[1] = Clamp((349 * r + 686 * g + 168 * b) / 1000);
                p[0] = Clamp((272 * r + 534 * g + 131 * b) / 1000);
            });
            break;
        case FrameEffect::Negative:
            EachPixel(pixels, width, height, pitch, [](uint8_t* p, int, int) {
                for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(255 - p[c]);
            });
            break;
        case FrameEffect::Grey:
            EachPixel(pixels, width, height, pitch, [](uint8_t* p, int, int) { p[0] = p[1] = p[2] = static_cast<uint8_t>(Luma(p)); });
            break;
        case FrameEffect::Oval: {
            const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
            EachPixel(pixels, width, height, pitch, [&](uint8_t* p, int x, int y) {
                const double dx = (x - cx) / (width / 2.0), dy = (y - cy) / (height / 2.0);
                if (dx * dx + dy * dy > 0.9) p[0] = p[1] = p[2] = 255;
            });
            break;
        }
        case FrameEffect::Film: {
            const int band = std::max(2, height / 8), hole = std::max(1, band / 2), gap = std::max(2, band);
            EachPixel(pixels, width, height, pitch, [&](uint8_t* p, int x, int y) {
                const int into = y < band ? y : y >= height - band ? height - 1 - y : -1;
                if (into < 0) return;
                const bool sprocket = into >= (band - hole) / 2 && into < (band - hole) / 2 + hole && (x % (2 * gap)) < gap;
                p[0] = p[1] = p[2] = sprocket ? 230 : 16;
            });
            break;
        }
        case FrameEffect::Mosaic: Mosaic(pixels, width, height, pitch); break;
        case FrameEffect::Mirror:
            for (int y = 0; y < height; ++y) {
                uint8_t* row = pixels + y * pitch;
                for (int x = 0; x < width / 2; ++x) std::memcpy(row + 3 * (width - 1 - x), row + 3 * x, 3);
            }
            break;
        case FrameEffect::Thermal: EachPixel(pixels, width, height, pitch, [](uint8_t* p, int, int) { Thermal(p); }); break;
        case FrameEffect::Sketch: Sketch(pixels, width, height, pitch); break;
    }
}

}  // namespace kfx
