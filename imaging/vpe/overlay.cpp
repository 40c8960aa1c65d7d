// The analysis overlay: what face tracking sees, as an RGB24 picture of the
// analysis size (skin green, rejected and kept regions in their colours,
// boxes, guide lines).
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

struct Bgr {
    uint8_t b, g, r;
};

// Colour of an overlay code; null for a code that paints nothing.
const Bgr* CodeColour(uint8_t code) {
    static constexpr Bgr kRed{0, 0, 255}, kCyan{255, 255, 0}, kMagenta{255, 0, 255}, kGrey{128, 128, 128},
        kBlue{255, 0, 0}, kGreen{0, 255, 0};
    switch (code) {
    case kCodeShapeRejected: return &kRed;
    case kCodeDropped: return &kCyan;
    case kCodeStatic: return &kMagenta;
    case kCodeRawBox: return &kGrey;
    case kCodeFlat: return &kBlue;
    case kCodeKept: return &kGreen;
    default: return nullptr;
    }
}

void Put(uint8_t* rgb, int width, int height, int x, int y, Bgr c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint8_t* p = rgb + 3 * (size_t(y) * size_t(width) + size_t(x));
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
}

void Outline(uint8_t* rgb, int width, int height, const Box& b, uint8_t code) {
    const Bgr* colour = CodeColour(code);
    if (colour == nullptr || b.x0 > b.x1 || b.y0 > b.y1) return;
    for (int x = b.x0; x <= b.x1; ++x) {
        Put(rgb, width, height, x, b.y0, *colour);
        Put(rgb, width, height, x, b.y1, *colour);
    }
    for (int y = b.y0; y <= b.y1; ++y) {
        Put(rgb, width, height, b.x0, y, *colour);
        Put(rgb, width, height, b.x1, y, *colour);
    }
}

}  // namespace

void DrawOverlay(VPE_CONTEXT& c, int width, int height) {
    const size_t n = size_t(width) * size_t(height);
    const bool grey = c.settings.Vis != 0;
    uint8_t* rgb = c.overlayRgb;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t g = grey ? c.overlayPicture[i] : 0;
        uint8_t* p = rgb + 3 * i;
        if (const Bgr* colour = CodeColour(c.overlayCodes[i])) {
            p[0] = colour->b;
            p[1] = colour->g;
            p[2] = colour->r;
        } else if (c.skinMask[i] != 0) {
            p[0] = g / 2;
            p[1] = 255;
            p[2] = g / 2;
        } else {
            p[0] = p[1] = p[2] = g;
        }
    }
    const TrackState& t = c.track;
    for (int k = 0; k < t.regions.count; ++k) {
        const Region& r = t.regions.entries[k];
        Outline(rgb, width, height, Box{r.x0, r.y0, r.x1, r.y1}, uint8_t(r.code));
    }
    Outline(rgb, width, height, t.rawCombined, kCodeRawBox);
    Outline(rgb, width, height, t.combined, kCodeKept);
    const int u = t.factor > 0 ? t.factor : 1;
    constexpr Bgr kBlack{0, 0, 0};
    for (int y = 0; y < height; ++y) {
        Put(rgb, width, height, t.guideX0 / u, y, kBlack);
        Put(rgb, width, height, t.guideX1 / u, y, kBlack);
    }
    for (int x = 0; x < width; ++x) {
        Put(rgb, width, height, x, t.guideY0 / u, kBlack);
        Put(rgb, width, height, x, t.guideY1 / u, kBlack);
    }
}

}  // namespace qk::vpe
