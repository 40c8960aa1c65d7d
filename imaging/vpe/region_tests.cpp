// The tests that keep listed regions that look like a face: a face has
// texture (a flat skin-coloured wall does not), and a face moves now and then
// (a skin-coloured object in the background does not).
#include <algorithm>
#include <cstring>

#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

bool InsidePicture(const Region& r, int width, int height) {
    return r.x0 >= 0 && r.y0 >= 0 && r.x0 <= r.x1 && r.y0 <= r.y1 && r.x1 < width && r.y1 < height;
}

void Reject(VPE_CONTEXT& c, int width, Region& r, uint8_t code) {
    r.label = kRegionRejected;
    r.code = code;
    PaintRegion(c, width, r, code);
}

}  // namespace

void ftkTestTexture(VPE_CONTEXT& c, int width, int height) {
    const uint8_t* reference = c.luma[c.track.referenceLuma];
    RegionList& list = c.track.regions;
    for (int k = 0; k < list.count; ++k) {
        Region& r = list.entries[k];
        if (!InsidePicture(r, width, height)) {
            Reject(c, width, r, kCodeFlat);
            continue;
        }
        int64_t n = 0, sum = 0, squares = 0;
        for (int y = r.y0; y <= r.y1; ++y) {
            const size_t row = size_t(y) * size_t(width);
            for (int x = r.x0; x <= r.x1; ++x) {
                if (c.skinMask[row + size_t(x)] == 0) continue;
                const int64_t l = reference[row + size_t(x)];
                ++n;
                sum += l;
                squares += l * l;
            }
        }
        const int64_t area = (int64_t(r.y1) - r.y0) * (int64_t(r.x1) - r.x0);
        bool keep = false;
        if (n > 0) {
            const int64_t mean = sum / n;
            const int64_t variance = squares / n - mean * mean;
            keep = variance > 256 && area < 2 * n;
        }
        if (keep) {
            r.code = kCodeKept;
            PaintRegion(c, width, r, kCodeKept);
        } else {
            Reject(c, width, r, kCodeFlat);
        }
    }
}

void ftkTestMoving(VPE_CONTEXT& c, int width, int height) {
    TrackState& t = c.track;
    const size_t n = size_t(width) * size_t(height);
    const bool moving = t.isMoving != 0;
    Trace(VPE_VERBOSE_TRACKING, kLevelDetail,
          "ftkTestMoving %x %x %x %d %d. state:%d, Moving:%d, pBackGrnd:%x\n", Low32(c.skinMask),
          Low32(c.background[0]), Low32(c.background[1]), width, height, t.backgroundState, int(moving),
          Low32(c.background[t.currentBackground]));
    switch (t.backgroundState) {
    case 0:
        std::memcpy(c.background[0], c.skinMask, n);
        t.currentBackground = 1;
        if (moving) t.backgroundState = 2;
        return;
    case 1:
        std::memcpy(c.background[1 - t.currentBackground], c.skinMask, n);
        if (moving) t.backgroundState = 2;
        break;
    default:
        if (!moving) {
            t.backgroundState = 1;
            t.currentBackground = 1 - t.currentBackground;
        }
        break;
    }
    const uint8_t* background = c.background[t.currentBackground];
    Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "ftkTestMoving: state:%d, pBackGrnd:%x\n", t.backgroundState,
          Low32(background));
    if (t.overlayActive && c.settings.Vis != 0) {
        for (size_t i = 0; i < n; ++i) {
            c.overlayPicture[i] = std::abs(int(c.skinMask[i]) - int(background[i])) > 5 ? 128 : c.skinMask[i];
        }
    }
    RegionList& list = t.regions;
    if (list.count == 0) {
        Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "ftkTestMoving: no bbox\n");
        return;
    }
    for (int k = 0; k < list.count; ++k) {
        Region& r = list.entries[k];
        if (r.label == kRegionRejected || !InsidePicture(r, width, height)) continue;
        int64_t moved = 0, skin = 0;
        for (int y = r.y0; y <= r.y1; ++y) {
            const size_t row = size_t(y) * size_t(width);
            for (int x = r.x0; x <= r.x1; ++x) {
                const size_t i = row + size_t(x);
                if (c.skinMask[i] == 0) continue;
                ++skin;
                moved += std::abs(int(c.skinMask[i]) - int(background[i])) > 16;
            }
        }
        const int64_t boxSize = (int64_t(r.y1) - r.y0 + 1) * (int64_t(r.x1) - r.x0 + 1);
        Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "PixMoved:%d , Sum:%d, bboxSize:%d, \n", int32_t(moved),
              int32_t(skin), int32_t(boxSize));
        const int32_t percent = skin > 0 ? int32_t(moved * 100 / skin) : 0;
        if (skin > 0 && moved * 10 > skin) {
            Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "moved %d: %d percent\n", k, percent);
            r.code = kCodeKept;
            PaintRegion(c, width, r, kCodeKept);
        } else {
            Trace(VPE_VERBOSE_TRACKING, kLevelDetail, "rejected idx:%d, percent:%d\n", k, percent);
            Reject(c, width, r, kCodeStatic);
        }
    }
}

}  // namespace qk::vpe
