// Automatic framing: from the detected face box to a target framing of the
// picture's aspect, and the smooth movement of the shown framing toward it.
#include <algorithm>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

struct Framing {
    int64_t x, y, width;  // source pixels
    bool operator==(const Framing&) const = default;
};

// The framing that holds the combined box (analysis pixels) at the
// picture's aspect, kept inside the picture.
Framing FramingOfBox(const TrackState& t, const Box& box) {
    const int64_t u = t.factor;
    const int64_t fullWidth = int64_t(t.analysisWidth) * u, fullHeight = int64_t(t.analysisHeight) * u;
    const Framing whole{0, 0, fullWidth};
    // No face: the detector's whole-picture box (0..W-1, 0..H-1) means the
    // whole picture, not one analysis pixel less of it.
    if (box.x0 == 0 && box.y0 == 0 && box.x1 == t.analysisWidth - 1 && box.y1 == t.analysisHeight - 1) return whole;
    const int64_t x0 = box.x0 * u, y0 = box.y0 * u;
    const int64_t boxHeight = (int64_t(box.y1) - box.y0) * u;
    if (boxHeight <= 0) return whole;
    const int64_t boxWidth = std::max<int64_t>(0, (int64_t(box.x1) - box.x0) * u);
    const bool wider = ToQ16(boxWidth) / boxHeight >= t.aspectQ16;
    const int64_t width = wider ? boxWidth : MulQ16(t.aspectQ16, boxHeight);
    int64_t x = std::max<int64_t>(0, x0 - (width - boxWidth) / 2);
    if (x + width >= fullWidth) x = fullWidth - width;
    const int64_t height = wider ? MulQ16(boxWidth, t.inverseAspectQ16) : boxHeight;
    int64_t y = std::max<int64_t>(0, y0 - (height - boxHeight) / 2);
    if (y + height >= fullHeight) y = fullHeight - height;
    if (x < 0) return whole;
    return Framing{x, y, width};
}

bool OutsideDeadZone(const FtkSettings& s, int64_t u, const Framing& f, const Framing& target) {
    return Abs64(f.x - target.x) > u * s.XFreeZone || Abs64(f.y - target.y) > u * s.YFreeZone ||
           Abs64(f.width - target.width) > u * s.WFreeZone;
}

// Mode 2: a new framing is taken only after it has held, in a still scene,
// at enough detections to cover about half a second.
void Probate(VPE_CONTEXT& c, const Framing& candidate, int32_t fps) {
    const FtkSettings& s = c.settings;
    TrackState& t = c.track;
    Probation& p = t.probation;
    const Framing target{t.targetX, t.targetY, t.targetWidth};
    if (t.isMoving != 0 || candidate == target) return;
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "vpeFt: from (%d,%d,%d) to (%d,%d,%d), p(%d, %d, %d)\n", t.targetX,
          t.targetY, t.targetWidth, int32_t(candidate.x), int32_t(candidate.y), int32_t(candidate.width), p.x, p.y,
          p.width);
    const int64_t tolerance = 5 * int64_t(t.factor);
    if (p.active == 0) {
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "??? zoom Probation???\n");
        p = Probation{1, int32_t(candidate.x), int32_t(candidate.y), int32_t(candidate.width), 0};
        return;
    }
    if (Abs64(candidate.x - p.x) < tolerance && Abs64(candidate.y - p.y) < tolerance &&
        Abs64(candidate.width - p.width) < tolerance) {
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "+++ zoom prob +++\n");
        ++p.count;
        if (int64_t(p.count) * std::max(s.TestFreq, 1) > fps / 2) {
            Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "*** Update zoom ***\n");
            t.targetX = int32_t(candidate.x);
            t.targetY = int32_t(candidate.y);
            t.targetWidth = int32_t(candidate.width);
            p.active = 0;
        }
        return;
    }
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "---- Fail zoom prob dst(%d,%d,%d), prob(%d,%d,%d) th:%d ---\n",
          int32_t(candidate.x), int32_t(candidate.y), int32_t(candidate.width), p.x, p.y, p.width, int32_t(tolerance));
    p.active = 0;
}

// Moves the shown framing toward the target at Vel * u / 2 source pixels a
// second when the whole picture is shown, half that as the framing narrows.
void MoveFraming(VPE_CONTEXT& c, int32_t fps) {
    TrackState& t = c.track;
    const int64_t u = t.factor;
    const int64_t dx = ToQ16(t.targetX) - t.currentX;
    const int64_t dy = ToQ16(t.targetY) - t.currentY;
    const int64_t dw = ToQ16(t.targetWidth) - t.currentWidth;
    const int64_t distance = std::max(IntSqrt((dx >> 8) * (dx >> 8) + (dy >> 8) * (dy >> 8)) << 8, Abs64(dw));
    const int64_t frameTime = kQ16One / fps;
    const int64_t speed = int64_t(std::max(c.settings.Vel, 0)) * u * kQ16One / 2;
    const int64_t widthRatio = int64_t(t.currentWidth) / (int64_t(t.analysisWidth) * u);
    const int64_t step = MulQ16(MulQ16(frameTime, speed), kQ16One / 2 + widthRatio / 2);
    if (distance < step || distance < 256) {
        t.currentX = int32_t(ToQ16(t.targetX));
        t.currentY = int32_t(ToQ16(t.targetY));
        t.currentWidth = int32_t(ToQ16(t.targetWidth));
    } else {
        t.currentX = int32_t(t.currentX + dx * step / distance);
        t.currentY = int32_t(t.currentY + dy * step / distance);
        t.currentWidth = int32_t(t.currentWidth + dw * step / distance);
    }
    t.currentHeight = int32_t(MulQ16(t.currentWidth, t.inverseAspectQ16));
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "ftkTrack: zoomregion x:%d y:%d w:%d h:%d\n", t.currentX >> 16,
          t.currentY >> 16, t.currentWidth >> 16, t.currentHeight >> 16);
}

}  // namespace

bool DetectsNextFrame(const VPE_CONTEXT& c) { return c.track.detectionCounter >= c.settings.TestFreq; }

int ftkTrack(VPE_CONTEXT* context, uint8_t* aux, const uint8_t* picture, int width, int height, int32_t fps) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: ftkTrack pucAux:%x pucS:%x, Dim:%d,%d fps:%d\n", Low32(aux),
          Low32(picture), width, height, fps);
    if (context == nullptr || width == 0 || height == 0 || context->track.factor == 0 || picture == nullptr) {
        return VPE_INVALID_PARAM;
    }
    VPE_CONTEXT& c = *context;
    const FtkSettings& s = c.settings;
    TrackState& t = c.track;
    const int32_t f = fps > 30 ? 30 : fps <= 0 ? 10 : fps;

    const Framing target{t.targetX, t.targetY, t.targetWidth};
    Framing candidate = target;
    if (!DetectsNextFrame(c)) {
        ++t.detectionCounter;
    } else {
        t.detectionCounter = 0;
        Box combined, raw;
        if (ftkDetect(&c, aux, picture, width, height, &combined, &raw) == VPE_SUCCESS) {
            Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "Combined Region (%d,%d) -> (%d,%d)\n", combined.x0,
                  combined.y0, combined.x1, combined.y1);
            const Framing fresh = FramingOfBox(t, combined);
            if (OutsideDeadZone(s, t.factor, fresh, target)) candidate = fresh;
        }
    }

    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "active tracking %d, iIsMoving %d\n", s.ActiveTracking, t.isMoving);
    if (s.ActiveTracking != 0) {
        t.targetX = int32_t(candidate.x);
        t.targetY = int32_t(candidate.y);
        t.targetWidth = int32_t(candidate.width);
        t.probation.active = 0;
    } else {
        Probate(c, candidate, f);
    }
    MoveFraming(c, f);
    return VPE_SUCCESS;
}

}  // namespace qk::vpe
