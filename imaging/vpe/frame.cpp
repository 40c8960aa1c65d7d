// The two per-frame entry points: face tracking with automatic framing, and
// the manual digital zoom.
#include <cstring>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

constexpr int32_t kFpsWindow = 30;         // frames between two estimates
constexpr int64_t kFpsMaxWindowMs = 2000;  // a longer window (or a wrapped stamp) keeps the estimate

int BytesPerPixelLine(int mediaType, int width) {
    return mediaType == MT_RGB24 ? 3 * width : mediaType == MT_YUY2 ? 2 * width : width;
}

// Asks for the source lines the analysis resize samples before it runs: a
// frame fresh from the camera is not in the cache, and the resize reads one
// line in `factor` at a stride the hardware prefetcher does not follow.
void PrefetchAnalysisLines(const uint8_t* src, int srcHeight, int srcPitch, int lineBytes, int analysisHeight) {
    const int64_t step = ((int64_t(srcHeight) << 16) - 65536) / analysisHeight;
    for (int y = 0; y < analysisHeight; ++y) {
        const uint8_t* line = src + size_t((32768 + y * step) >> 16) * size_t(srcPitch);
        for (int at = 0; at < lineBytes; at += 64) __builtin_prefetch(line + at);
    }
}

// The reduced analysis picture, in I420 in the context. RGB24 is resized
// into dst first (it must hold the analysis picture) and converted; YUY2 is
// resized and converted in one pass that reads only the sampled bytes and
// prefetches the lines it will sample as it goes.
int MakeAnalysisPicture(VPE_CONTEXT& c, uint8_t* dst, const uint8_t* src, int srcWidth, int srcHeight, int srcPitch,
                        int mediaType) {
    const int w = c.track.analysisWidth, h = c.track.analysisHeight;
    if (mediaType != MT_YUY2) {
        PrefetchAnalysisLines(src, srcHeight, srcPitch, BytesPerPixelLine(mediaType, srcWidth), h);
    }
    switch (mediaType) {
    case MT_RGB24: {
        if (w > kMaxAnalysisWidth || h > kMaxAnalysisHeight) return VPE_ANALYSIS_TOO_LARGE;
        int rc = ResizeNearest(dst, w, h, 3 * w, src, srcWidth, srcHeight, srcPitch, MT_RGB24);
        if (rc == IMG_SUCCESS) rc = ConvertRgb24ToI420(c.analysis, dst, w, h, 3 * w);
        return rc;
    }
    case MT_I420:
        if (w * h > kMaxAnalysisPixels) return VPE_ANALYSIS_TOO_LARGE;
        return ResizeI420AsYuy2(c.analysis, w, h, src, srcWidth, srcHeight);
    default: {
        if (w * h > kMaxAnalysisPixels) return VPE_ANALYSIS_TOO_LARGE;
        return ResizeYuy2ToI420(c.analysis, w, h, src, srcWidth, srcHeight, srcPitch);
    }
    }
}

void CopyLines(uint8_t* dst, size_t dstPitch, const uint8_t* src, size_t srcPitch, size_t bytes, size_t lines) {
    for (size_t i = 0; i < lines; ++i) std::memcpy(dst + i * dstPitch, src + i * srcPitch, bytes);
}

// digZoom 0: the source unchanged. When the destination has another size
// (the pin asked for a smaller output than it captured), the whole picture is
// scaled into it instead of copying bytes that would not line up.
int PassThrough(VPE_CONTEXT& c, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
                int srcWidth, int srcHeight, int srcPitch, int mediaType) {
    if (dstWidth != srcWidth || dstHeight != srcHeight) {
        return ManualZoom(mediaType, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch,
                          RectQ16{0, 0, ToQ16(srcWidth), ToQ16(srcHeight)}, c.zoom);
    }
    const size_t w = size_t(srcWidth), h = size_t(srcHeight);
    CopyLines(dst, size_t(dstPitch), src, size_t(srcPitch), size_t(BytesPerPixelLine(mediaType, srcWidth)), h);
    if (mediaType == MT_I420) {
        const size_t sp = size_t(srcPitch) / 2, dp = size_t(dstPitch) / 2;
        const uint8_t* su = src + h * size_t(srcPitch);
        uint8_t* du = dst + h * size_t(dstPitch);
        CopyLines(du, dp, su, sp, w / 2, h / 2);
        CopyLines(du + (h / 2) * dp, dp, su + (h / 2) * sp, sp, w / 2, h / 2);
    }
    return VPE_SUCCESS;
}

// The output picture: the current framing zoomed to the destination, or the
// source itself when the zoom is off.
int ShowFraming(VPE_CONTEXT& c, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
                int srcWidth, int srcHeight, int srcPitch, int mediaType) {
    if (c.digZoom == 0) {
        return PassThrough(c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, mediaType);
    }
    switch (mediaType) {
    case MT_RGB24: return ftkZoomLin(&c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch);
    case MT_I420: return ftkZoomLinI420(&c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch);
    default:
        return ftkZoomYuy2Tracking(&c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch);
    }
}

// The analysis overlay over the first lines of an RGB24 or I420 output.
void OverlayIntoOutput(VPE_CONTEXT& c, uint8_t* dst, int dstHeight, int dstPitch, int mediaType) {
    const int w = c.track.analysisWidth, h = c.track.analysisHeight;
    if (mediaType == MT_RGB24) {
        CopyLines(dst, size_t(dstPitch), c.overlayRgb, size_t(3 * w), size_t(3 * w), size_t(h));
        return;
    }
    ConvertRgb24ToI420(c.overlayI420, c.overlayRgb, w, h, 3 * w);
    const size_t wp = size_t(w), hp = size_t(h), dp = size_t(dstPitch);
    CopyLines(dst, dp, c.overlayI420, wp, wp, hp);
    uint8_t* du = dst + size_t(dstHeight) * dp;
    uint8_t* dv = du + size_t(dstHeight / 2) * (dp / 2);
    const uint8_t* su = c.overlayI420 + wp * hp;
    const uint8_t* sv = su + (wp / 2) * (hp / 2);
    CopyLines(du, dp / 2, su, wp / 2, wp / 2, hp / 2);
    CopyLines(dv, dp / 2, sv, wp / 2, wp / 2, hp / 2);
}

}  // namespace

int32_t UpdateFrameRate(uint32_t timeStamp) {
    Library& lib = TheLibrary();
    // The first frame only sets the base, like the frame of an estimate.
    if (lib.fpsBaseSet.exchange(1) == 0) {
        lib.fpsBase = timeStamp;
        lib.fpsCounter = 0;
        return lib.fpsEstimate.load();
    }
    if (lib.fpsCounter.load() >= kFpsWindow) {
        const int64_t elapsed = int64_t(timeStamp) - int64_t(lib.fpsBase.load());
        if (elapsed > 0 && elapsed < kFpsMaxWindowMs) {
            lib.fpsEstimate = int32_t(1000 * kFpsWindow / elapsed);
            Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: Fps::%d\n", lib.fpsEstimate.load());
        }
        lib.fpsBase = timeStamp;
        lib.fpsCounter = 0;
    } else {
        ++lib.fpsCounter;
    }
    return lib.fpsEstimate.load();
}

bool FinalTopBottomFlip(const VPE_CONTEXT& c, int mediaType) {
    const int32_t bit = mediaType == MT_I420 ? VPE_FLIP_I420 : mediaType == MT_RGB24 ? VPE_FLIP_RGB24 : VPE_FLIP_YUY2;
    return ((c.flipFlags & bit) != 0) != (c.settings.TopBottomFlip != 0);
}

}  // namespace qk::vpe

using namespace qk::vpe;

int vpeFtk(PVPE_CONTEXT context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
           int srcWidth, int srcHeight, int srcPitch, uint8_t* aux, int mediaType, uint32_t timeStamp) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: vpeFtk pucD:%x,%dx%dx%d, pucS:%x,%dx%dx%d aux:%x mt:%d\n",
          Low32(dst), dstWidth, dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, Low32(aux), mediaType);
    if (context == nullptr || src == nullptr || dst == nullptr || srcWidth < 0 || dstWidth < 0) {
        return VPE_INVALID_PARAM;
    }
    VPE_CONTEXT& c = *context;
    TrackState& t = c.track;
    if (t.factor == 0 || srcWidth != t.width || srcHeight != t.height) return VPE_SIZE_CHANGED;
    if (mediaType != MT_RGB24 && mediaType != MT_I420 && mediaType != MT_YUY2) return VPE_UNKNOWN_MEDIA_TYPE;
    // The pictures must be what their sizes say before anything is written.
    if (mediaType == MT_I420 ? srcPitch != srcWidth : srcPitch < BytesPerPixelLine(mediaType, srcWidth)) {
        return mediaType == MT_I420 ? int(IMG_PITCH_NOT_WIDTH) : int(VPE_INVALID_PARAM);
    }
    if (dstWidth < t.analysisWidth || dstHeight < t.analysisHeight) return VPE_ANALYSIS_FAILED;
    if (!SideAccepted(dstWidth) || !SideAccepted(dstHeight) || dstPitch < BytesPerPixelLine(mediaType, dstWidth) ||
        (mediaType == MT_YUY2 && (dstWidth & 1) != 0)) {
        return VPE_INVALID_PARAM;
    }

    const int32_t fps = UpdateFrameRate(timeStamp);
    t.overlayActive = aux != nullptr || c.settings.Vis == VPE_VIS_DRAW_OUTPUT;
    const bool finalFlip = FinalTopBottomFlip(c, mediaType);
    t.finalFlip = finalFlip;
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: vpeFtk iFinalTbFlip:%d, iTbFlip:%d, digZoom:%d\n\n",
          int(finalFlip), c.settings.TopBottomFlip, c.digZoom);

    const int w = t.analysisWidth, h = t.analysisHeight;
    // The reduced picture; every byte of its smoothed copy moves a quarter of
    // the way toward it, which calms sensor noise before detection.
    const auto analyse = [&] {
        const int made = MakeAnalysisPicture(c, dst, src, srcWidth, srcHeight, srcPitch, mediaType);
        if (made == VPE_SUCCESS) {
            row::ZoomKernelsInUse().smooth(c.smoothed, c.analysis,
                                           size_t(w) * size_t(h) + 2 * size_t(w / 2) * size_t(h / 2));
        }
        return made;
    };
    // Only detection reads the smoothed picture. On a YUY2 frame without one
    // (five in six by default) the picture is made after the zoom, which has
    // by then brought the sampled lines inside the framing into the cache;
    // before it, the resize would wait on memory for all of them. The results
    // are the same: a YUY2 analysis picture can only be refused for its size,
    // which is checked first. (RGB24 resizes through dst, so it goes first.)
    const bool analyseAfterZoom = mediaType == MT_YUY2 && c.digZoom != 0 && !DetectsNextFrame(c);
    int rc = VPE_SUCCESS;
    if (!analyseAfterZoom) {
        rc = analyse();
        if (rc != VPE_SUCCESS) return rc;
    } else if (w * h > kMaxAnalysisPixels) {
        return VPE_ANALYSIS_TOO_LARGE;
    }

    rc = ftkTrack(&c, aux, c.smoothed, w, h, fps);
    if (rc == VPE_SUCCESS) {
        rc = ShowFraming(c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, mediaType);
    }
    if (analyseAfterZoom) {
        const int made = analyse();
        if (rc == VPE_SUCCESS) rc = made;
    }
    if (rc != VPE_SUCCESS) return rc;

    if (t.overlayActive && mediaType != MT_YUY2) {
        DrawOverlay(c, w, h);
        if (c.settings.Vis == VPE_VIS_DRAW_OUTPUT) OverlayIntoOutput(c, dst, dstHeight, dstPitch, mediaType);
        if (aux != nullptr) std::memcpy(aux, c.overlayRgb, size_t(3 * w) * size_t(h));
    }
    if (c.pip != 0) {
        rc = ftkPip(&c, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, mediaType,
                    c.flipFlags);
        if (rc != VPE_SUCCESS) return rc;
    }
    return VPE_SUCCESS;
}

int vpeDigitalZoom(PVPE_CONTEXT context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
                   int srcWidth, int srcHeight, int srcPitch, int boxX, int boxY, int boxW, int boxH, int mediaType,
                   int opt) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
          "VPE: vpeDigitalZoom pucD:%x,%dx%dx%d, pucS:%x,%dx%dx%d box:%d,%d,%d,%d, mt:%d, opt:%d\n", Low32(dst),
          dstWidth, dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, boxX, boxY, boxW, boxH, mediaType,
          opt);
    if (context == nullptr) return VPE_INVALID_PARAM;
    // Tenths of a pixel to 16.16, rounded toward zero.
    RectQ16 rect{int64_t(boxX) * kQ16One / 10, int64_t(boxY) * kQ16One / 10, int64_t(boxW) * kQ16One / 10,
                 int64_t(boxH) * kQ16One / 10};
    const int32_t bit = mediaType == MT_I420 ? VPE_FLIP_I420 : mediaType == MT_RGB24 ? VPE_FLIP_RGB24
                        : mediaType == MT_YUY2 ? VPE_FLIP_YUY2 : 0;
    // The box is given as the picture is displayed; bottom-up storage mirrors it.
    if ((context->flipFlags & bit) != 0) rect.y = ToQ16(srcHeight) - rect.height - rect.y;
    return ManualZoom(mediaType, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect,
                      context->zoom);
}
