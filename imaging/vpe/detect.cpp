// One detection: motion test, motion state, skin classification, regions and
// their tests, and the combined face box with its margins.
#include <algorithm>
#include <cstring>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

// Sum of absolute luma differences to the previous detection's picture.
bool IsMoving(VPE_CONTEXT& c, const uint8_t* luma, int width, int height) {
    FtkSettings& s = c.settings;
    const size_t n = size_t(width) * size_t(height);
    const row::DifferenceSums sums = row::ZoomKernelsInUse().absDifference(c.previousLuma, luma, n, c.difference);
    const uint64_t sad = sums.sum, squares = sums.squares;
    std::memcpy(c.previousLuma, luma, n);
    const bool moving = sad > s.MoveTh;
    const uint64_t mean10 = sad * 10 / n;
    if (!moving && s.AdapPixDiff != 0) s.PixDiffTh = int32_t((mean10 + 9) / 10);
    Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "VPE: IsMoving SAD: %d, Mean(x10): %d, Variance(x10):%d, PixTh: %d\n",
          int32_t(sad), int32_t(mean10), int32_t(squares * 10 / n - mean10 * mean10), s.PixDiffTh);
    return moving;
}

// Clamped luma into the current luma buffer and the skin mask, by 2 x 2
// blocks that share one chroma sample (an odd last row or column uses the
// nearest one).
void ClassifySkin(VPE_CONTEXT& c, const uint8_t* picture, int width, int height) {
    const size_t w = size_t(width), h = size_t(height), cw = w / 2, ch = h / 2;
    const uint8_t* planeU = picture + w * h;
    const uint8_t* planeV = planeU + cw * ch;
    uint8_t* current = c.luma[1 - c.track.referenceLuma];
    const bool table = TheLibrary().skinTest.load(std::memory_order_relaxed) != 0;
    row::ZoomKernelsInUse().clampLuma(current, picture, w * h);
    // Skin test 1 is only asked inside the box around its chroma boxes for
    // the luma; the box test is branch-free, since its outcome changes at
    // every edge of a face.
    const auto classify = [&](int luma, int u, int v) -> uint8_t {
        if (!table) return SkinTestEllipse(c.settings, luma, u, v) ? 255 : 0;
        const ChromaBox& b = kSkinTableBoxes[size_t(luma)];
        const bool inside = (u >= b.cbMin) & (u <= b.cbMax) & (v >= b.crMin) & (v <= b.crMax);
        return inside && SkinTestTable(luma, u, v) ? 255 : 0;
    };
    for (size_t y = 0; y < h; ++y) {
        const size_t chromaRow = std::min(y / 2, ch - 1) * cw;
        const uint8_t* lumaRow = current + y * w;
        const uint8_t* rowU = planeU + chromaRow;
        const uint8_t* rowV = planeV + chromaRow;
        uint8_t* maskRow = c.skinMask + y * w;
        for (size_t k = 0; k < cw; ++k) {
            const int u = rowU[k], v = rowV[k];
            maskRow[2 * k] = classify(lumaRow[2 * k], u, v);
            maskRow[2 * k + 1] = classify(lumaRow[2 * k + 1], u, v);
        }
        if (w % 2 != 0) maskRow[w - 1] = classify(lumaRow[w - 1], rowU[cw - 1], rowV[cw - 1]);
    }
    if (Verbose(VPE_VERBOSE_TRACKING, kLevelDetail)) {
        const uint8_t* reference = c.luma[c.track.referenceLuma];
        uint64_t sum = 0;
        for (size_t i = 0; i < w * h; ++i) sum += uint64_t(std::abs(int(current[i]) - int(reference[i])));
        DbgPrint("VPE: AbsDiff %d\n", int32_t(sum));
    }
}

bool Empty(const Box& b) { return b.x0 > b.x1 || b.y0 > b.y1; }

void Merge(Box& into, const Box& b) {
    into.x0 = std::min(into.x0, b.x0);
    into.y0 = std::min(into.y0, b.y0);
    into.x1 = std::max(into.x1, b.x1);
    into.y1 = std::max(into.y1, b.y1);
}

// extent * numerator / denominator; a zero denominator or a negative result
// (settings from the registry can hold anything) gives no margin.
int64_t Margin(int64_t extent, int32_t numerator, int32_t denominator) {
    if (denominator == 0) return 0;
    return std::max<int64_t>(0, extent * numerator / denominator);
}

}  // namespace

int32_t NextMotionState(int32_t state, bool moving) {
    switch (state) {
    case kStill: return moving ? kMoving : kStill;
    case kMoving: return moving ? kMoving : kJustStopped;
    case kJustStopped: return moving ? kMoving : kSettled;
    default: return kStill;  // settled: the next detection starts over
    }
}

void vpeAddRegion(VPE_CONTEXT* context, Box* combined, Box* rawCombined, const Region& region, int width,
                  int height) {
    const FtkSettings& s = context->settings;
    Merge(*rawCombined, Box{region.x0, region.y0, region.x1, region.y1});
    const int64_t h = int64_t(region.y1) - region.y0, w = int64_t(region.x1) - region.x0;
    const int64_t above = Margin(h, s.PictureFr[0], s.PictureFr[1]);
    const int64_t below = Margin(h, s.PictureFr[2], s.PictureFr[3]);
    const int64_t side = Margin(w, s.PictureFr[4], s.PictureFr[5]);
    // The first margin is above the face as displayed: in memory that is the
    // bottom of a picture stored bottom-up.
    const bool flipped = context->track.finalFlip != 0;
    const int64_t top = flipped ? below : above, bottom = flipped ? above : below;
    const Box grown{int32_t(Clamp64(region.x0 - side, 0, width)), int32_t(Clamp64(region.y0 - top, 0, height)),
                    int32_t(Clamp64(region.x1 + side, 0, width)), int32_t(Clamp64(region.y1 + bottom, 0, height))};
    Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "vpeAddRegion: W:%d, H:%d, top:%d, bot:%d\n", width, height, grown.y0,
          grown.y1);
    Merge(*combined, grown);
}

int ftkDetect(VPE_CONTEXT* context, uint8_t* aux, const uint8_t* picture, int width, int height, Box* combined,
              Box* rawCombined) {
    if (context == nullptr || picture == nullptr || combined == nullptr || rawCombined == nullptr) {
        return VPE_INVALID_PARAM;
    }
    if (width < 2 || height < 2 || width > kMaxAnalysisWidth || height > kMaxAnalysisHeight) return VPE_INVALID_PARAM;
    VPE_CONTEXT& c = *context;
    TrackState& t = c.track;
    const FtkSettings& s = c.settings;
    Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "VPE: State %d\n", t.motionState);

    const bool moving = IsMoving(c, picture, width, height);
    t.isMoving = moving;
    t.motionState = NextMotionState(t.motionState, moving);

    if (t.overlayActive) std::memset(c.overlayCodes, kCodeNone, size_t(width) * size_t(height));
    ClassifySkin(c, picture, width, height);
    const uint8_t* fresh = c.luma[1 - t.referenceLuma];
    // Settled: this picture becomes the reference of the texture test.
    if (t.motionState == kSettled) t.referenceLuma = 1 - t.referenceLuma;
    if (t.overlayActive) std::memcpy(c.overlayPicture, fresh, size_t(width) * size_t(height));

    ftkLabelRegions(c, width, height);
    ftkTestTexture(c, width, height);
    if (c.staticTest != 0) ftkTestMoving(c, width, height);

    Box box{width - 1, height - 1, 0, 0};
    Box raw = box;
    const RegionList& list = t.regions;
    if (list.count == 1) {
        vpeAddRegion(&c, &box, &raw, list.entries[0], width, height);
    } else {
        // Several regions: hands and arms below the arm line do not count.
        const int64_t armLine = s.ArmLineD == 0 ? height : int64_t(height) * s.ArmLineN / s.ArmLineD;
        for (int i = 0; i < list.count; ++i) {
            const Region& r = list.entries[i];
            if (r.label == kRegionRejected) continue;
            const bool above = t.finalFlip != 0 ? r.y1 > height - armLine : r.y0 < armLine;
            if (above) vpeAddRegion(&c, &box, &raw, r, width, height);
        }
    }
    if (Empty(box)) box = Box{0, 0, width - 1, height - 1};
    *combined = t.combined = box;
    *rawCombined = t.rawCombined = raw;
    (void)aux;
    return VPE_SUCCESS;
}

}  // namespace qk::vpe
