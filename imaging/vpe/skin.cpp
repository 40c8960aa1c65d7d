// The two skin-colour tests, in 8.8 fixed point.
#include <algorithm>
#include <array>

#include "imaging/vpe/skin_model.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

struct LumaTransform {
    std::array<int32_t, 256> cbMean, crMean, cbScale, crScale;  // 8.8
};

// Cluster centre and width ratio of each luma value, times 256, truncated.
// Inside 125..188 the transform is the identity (centre at Kh, ratio 1), so
// the centre at luma 188 is the one every transformed chroma is moved to.
constexpr LumaTransform MakeLumaTransform() {
    LumaTransform t{};
    for (int y = 0; y < 256; ++y) {
        t.cbMean[y] = int32_t(hsu::CbCentre(y) * 256);
        t.crMean[y] = int32_t(hsu::CrCentre(y) * 256);
        t.cbScale[y] = int32_t(hsu::kWcb / hsu::CbWidth(y) * 256);
        t.crScale[y] = int32_t(hsu::kWcr / hsu::CrWidth(y) * 256);
    }
    return t;
}

constexpr LumaTransform kTransform = MakeLumaTransform();
static_assert(kTransform.cbMean[188] == 108 * 256 && kTransform.crMean[188] == 154 * 256);
static_assert(kTransform.cbScale[150] == 256 && kTransform.crScale[150] == 256);

constexpr int32_t kCosQ8 = -209, kSinQ8 = 146;         // -0.8164, 0.5703
constexpr int32_t kCentreCbQ8 = 28001;                  // 109.38
constexpr int32_t kCentreCrQ8 = 38144;                  // 149.0
constexpr int32_t kOffsetU = 409 * 256, kOffsetV = 616 * 256;  // 1.598, 2.406 in 16.16
constexpr int32_t kAxisU = 27 * 256, kAxisV = 9 * 256;

constexpr int64_t FloorTo256(int64_t v) { return v & ~int64_t(255); }

int32_t Transformed(int c, int32_t mean, int32_t scale, int32_t meanAtKh) {
    return int32_t(((int64_t(c) * 256 - mean) * scale >> 8) + meanAtKh);
}

}  // namespace

bool SkinTestEllipse(const FtkSettings& settings, int y, int cb, int cr) {
    const int lo = settings.StrictCol != 0 ? 125 : settings.YCbCrLo;
    const int hi = settings.StrictCol != 0 ? 188 : settings.YCbCrHi;
    int32_t cbQ8 = cb * 256, crQ8 = cr * 256;
    if (y < lo || y > hi) {
        cbQ8 = Transformed(cb, kTransform.cbMean[y], kTransform.cbScale[y], kTransform.cbMean[188]);
        crQ8 = Transformed(cr, kTransform.crMean[y], kTransform.crScale[y], kTransform.crMean[188]);
    }
    const int64_t x = cbQ8 - kCentreCbQ8, z = crQ8 - kCentreCrQ8;
    const int64_t u = (FloorTo256(kCosQ8 * x + kSinQ8 * z) - kOffsetU) / kAxisU;
    const int64_t v = (FloorTo256(kCosQ8 * z - kSinQ8 * x) - kOffsetV) / kAxisV;
    return FloorTo256(u * u + v * v) <= 65536;
}

namespace {

std::array<ChromaBox, 256> MakeSkinTableBoxes() {
    std::array<ChromaBox, 256> boxes;
    for (int y = 0; y < 256; ++y) {
        ChromaBox box{256, -1, 256, -1};  // empty
        for (const SkinEllipse& e : kSkinTable[y]) {
            if (y < 30 || e.aSquared == 0 || e.bSquared == 0) continue;
            box = ChromaBox{std::min<int32_t>(box.cbMin, e.cbMin), std::max<int32_t>(box.cbMax, e.cbMax),
                            std::min<int32_t>(box.crMin, e.crMin), std::max<int32_t>(box.crMax, e.crMax)};
        }
        boxes[size_t(y)] = box;
    }
    return boxes;
}

}  // namespace

const std::array<ChromaBox, 256> kSkinTableBoxes = MakeSkinTableBoxes();

bool SkinTestTable(int y, int cb, int cr) {
    if (y < 30) return false;
    for (const SkinEllipse& e : kSkinTable[y & 255]) {
        if (e.aSquared == 0 || e.bSquared == 0) continue;
        if (cb < e.cbMin || cb > e.cbMax || cr < e.crMin || cr > e.crMax) continue;
        const int64_t dx = cb - (e.cbCentreQ8 >> 8), dy = cr - (e.crCentreQ8 >> 8);
        const int64_t minor = e.cosQ8 * dy - e.sinQ8 * dx;
        const int64_t major = e.cosQ8 * dx + e.sinQ8 * dy;
        if (minor * minor / e.bSquared + major * major / e.aSquared <= 65536) return true;
    }
    return false;
}

}  // namespace qk::vpe
