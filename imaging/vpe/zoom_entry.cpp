// The zoom entry points: the manual zooms of a given rectangle and the
// tracking forms that zoom the current framing.
#include <algorithm>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

int32_t Int32(int64_t v) { return int32_t(Clamp64(v, INT32_MIN, INT32_MAX)); }

}  // namespace

// The manual zoom of `rect` for one media type, with the message of the
// routine that does it.
template <typename Workspace>
int ManualZoom(int mediaType, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
               int srcWidth, int srcHeight, int srcPitch, const RectQ16& rect, Workspace& ws) {
    const int32_t bx = Int32(rect.x), by = Int32(rect.y), bw = Int32(rect.width), bh = Int32(rect.height);
    switch (mediaType) {
    case MT_RGB24:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: vpeZoomLinRgb24 pucD:%x,%dx%dx%d, pucS:%x,%dx%dx%d box:%d,%d,%d,%d\n", Low32(dst), dstWidth,
              dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, bx, by, bw, bh);
        break;
    case MT_I420:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: vpeZoomLinI420 pucD:%x,%d,%d,%d, pucS:%x,%d,%d,%d box:%d,%d,%d,%d\n", Low32(dst), dstWidth,
              dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, bx, by, bw, bh);
        break;
    case MT_YUY2:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: ftkZoomYuy2 pucD:%x, %dx%dx%d pucS:%x, %dx%dx%d box:%d,%d,%d,%d\n", Low32(dst), dstWidth,
              dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, bx, by, bw, bh);
        break;
    default:
        return VPE_SUCCESS;
    }
    if (!ZoomArgumentsValid(mediaType, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect)) {
        return VPE_ANALYSIS_FAILED;
    }
    switch (mediaType) {
    case MT_RGB24: ZoomRgb24(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, ws); break;
    case MT_I420: ZoomI420(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, ws); break;
    default: ZoomYuy2(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, ws); break;
    }
    return VPE_SUCCESS;
}

template int ManualZoom(int, uint8_t*, int, int, int, const uint8_t*, int, int, int, const RectQ16&, ZoomWorkspace&);

// The current framing, kept inside the source and at least minSide source
// pixels on each side. The tracker's arithmetic already keeps it there; this
// guards the zoom against rounding at the picture's edges.
RectQ16 FramingInside(const VPE_CONTEXT& context, int srcWidth, int srcHeight, int minSide) {
    const TrackState& t = context.track;
    const int64_t maxW = ToQ16(srcWidth), maxH = ToQ16(srcHeight);
    const int64_t lowW = std::min<int64_t>(ToQ16(minSide), maxW), lowH = std::min<int64_t>(ToQ16(minSide), maxH);
    RectQ16 r;
    r.width = Clamp64(t.currentWidth, lowW, maxW);
    r.height = Clamp64(t.currentHeight, lowH, maxH);
    r.x = Clamp64(t.currentX, 0, maxW - r.width);
    r.y = Clamp64(t.currentY, 0, maxH - r.height);
    return r;
}

namespace {

int TrackingZoom(VPE_CONTEXT* context, int mediaType, int refusal, uint8_t* dst, int dstWidth, int dstHeight,
                 int dstPitch, const uint8_t* src, int srcWidth, int srcHeight, int srcPitch) {
    if (context == nullptr) return VPE_INVALID_PARAM;
    const int minSide = mediaType == MT_I420 ? 4 : 2;
    if (!SideAccepted(srcWidth) || !SideAccepted(srcHeight)) return refusal;
    const RectQ16 rect = FramingInside(*context, srcWidth, srcHeight, minSide);
    const int32_t bx = Int32(rect.x), by = Int32(rect.y), bw = Int32(rect.width), bh = Int32(rect.height);
    switch (mediaType) {
    case MT_RGB24:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: ftkZoomLin pucD:%x, %dx%dx%d pucS:%x, %dx%dx%d box:%d,%d,%d,%d\n", Low32(dst), dstWidth,
              dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, bx, by, bw, bh);
        break;
    case MT_I420:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: ftkZoomLinI420 pucD:%x,%dx%dx%d pucS:%x,%dx%dx%d Dim:%d,%d box:%d,%d,%d,%d\n", Low32(dst),
              dstWidth, dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, context->track.width,
              context->track.height, bx, by, bw, bh);
        break;
    default:
        Trace(VPE_VERBOSE_TRACKING, kLevelSummary,
              "VPE: ftkZoomYuy2 pucD:%x, %dx%dx%d pucS:%x, %dx%dx%d box:%d,%d,%d,%d\n", Low32(dst), dstWidth,
              dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch, bx, by, bw, bh);
        break;
    }
    if (!ZoomArgumentsValid(mediaType, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect)) {
        return refusal;
    }
    switch (mediaType) {
    case MT_RGB24:
        ZoomRgb24(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, context->zoom);
        break;
    case MT_I420:
        ZoomI420(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, context->zoom);
        break;
    default:
        ZoomYuy2(dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch, rect, context->zoom);
        break;
    }
    return VPE_SUCCESS;
}

}  // namespace

int ftkZoomLin(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
               int srcWidth, int srcHeight, int srcPitch) {
    return TrackingZoom(context, MT_RGB24, VPE_ANALYSIS_FAILED, dst, dstWidth, dstHeight, dstPitch, src, srcWidth,
                        srcHeight, srcPitch);
}

int ftkZoomLinI420(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                   const uint8_t* src, int srcWidth, int srcHeight, int srcPitch) {
    return TrackingZoom(context, MT_I420, VPE_ANALYSIS_FAILED, dst, dstWidth, dstHeight, dstPitch, src, srcWidth,
                        srcHeight, srcPitch);
}

int ftkZoomYuy2Tracking(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                        const uint8_t* src, int srcWidth, int srcHeight, int srcPitch) {
    return TrackingZoom(context, MT_YUY2, VPE_INVALID_PARAM, dst, dstWidth, dstHeight, dstPitch, src, srcWidth,
                        srcHeight, srcPitch);
}

}  // namespace qk::vpe

using namespace qk::vpe;

int vpeZoomLinRgb24(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                    int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height) {
    StackZoomWorkspace ws;  // the caller's stack: the smaller strips
    ws.tables.built = 0;
    return ManualZoom(MT_RGB24, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch,
                      RectQ16{x, y, width, height}, ws);
}

int vpeZoomLinI420(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                   int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height) {
    StackZoomWorkspace ws;  // the caller's stack: the smaller strips
    ws.tables.built = 0;
    return ManualZoom(MT_I420, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch,
                      RectQ16{x, y, width, height}, ws);
}

int ftkZoomYuy2(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height) {
    StackZoomWorkspace ws;  // the caller's stack: the smaller strips
    ws.tables.built = 0;
    return ManualZoom(MT_YUY2, dst, dstWidth, dstHeight, dstPitch, src, srcWidth, srcHeight, srcPitch,
                      RectQ16{x, y, width, height}, ws);
}
