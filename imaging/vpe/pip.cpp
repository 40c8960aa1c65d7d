// Picture-in-picture: the whole camera view, reduced by 3 or 6, in a corner
// of the output, framed by a bevelled border.
#include <algorithm>

#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

constexpr uint8_t kLight = 200;  // top and left edges
constexpr uint8_t kDark = 64;    // bottom and right edges
constexpr int kMargin = 4;

// One sample of a reduced block; `at(dx, dy)` reads the block's sample.
template <typename At>
uint8_t Reduce(int reduction, At at) {
    if (reduction == 3) {
        // The 3 x 3 block without its bottom-right sample: eight, so a shift.
        int sum = 0;
        for (int dy = 0; dy < 3; ++dy) {
            for (int dx = 0; dx < 3; ++dx) sum += at(dx, dy);
        }
        return uint8_t((sum - at(2, 2)) >> 3);
    }
    // 6 x 6: the four corners and the central 2 x 2.
    const int sum = at(0, 0) + at(5, 0) + at(0, 5) + at(5, 5) + at(2, 2) + at(3, 2) + at(2, 3) + at(3, 3);
    return uint8_t(sum >> 3);
}

// A row of 6 x 6 blocks that would reach the source's last line is left out.
bool SkipsRow(int reduction, int blockY, int srcHeight) { return reduction == 6 && blockY + 5 >= srcHeight - 1; }

// A plane of `bytes`-byte pixels (1 or 3), reduced into w x h pixels at dst.
void ReducePlane(uint8_t* dst, size_t dstPitch, int w, int h, const uint8_t* src, size_t srcPitch, int srcHeight,
                 int bytes, int reduction) {
    for (int py = 0; py < h; ++py) {
        const int by = py * reduction;
        if (SkipsRow(reduction, by, srcHeight)) continue;
        uint8_t* out = dst + size_t(py) * dstPitch;
        for (int px = 0; px < w; ++px) {
            const uint8_t* block = src + size_t(by) * srcPitch + size_t(px * reduction) * size_t(bytes);
            for (int ch = 0; ch < bytes; ++ch) {
                out[px * bytes + ch] = Reduce(reduction, [&](int dx, int dy) {
                    return int(block[size_t(dy) * srcPitch + size_t(dx * bytes + ch)]);
                });
            }
        }
    }
}

// YUY2: each output pair covers two blocks side by side, one luma from each;
// U from the left block's pairs and V from the right block's.
void ReduceYuy2(uint8_t* dst, size_t dstPitch, int w, int h, const uint8_t* src, size_t srcPitch, int srcHeight,
                int reduction) {
    static constexpr int kChromaLines3[] = {0, 0, 1, 1}, kChromaPairs3[] = {0, 1, 0, 1};
    static constexpr int kChromaLines6[] = {0, 2, 3, 5}, kChromaPairs6[] = {0, 0, 0, 0};
    const int* lines = reduction == 3 ? kChromaLines3 : kChromaLines6;
    const int* pairs = reduction == 3 ? kChromaPairs3 : kChromaPairs6;
    for (int py = 0; py < h; ++py) {
        const int by = py * reduction;
        if (SkipsRow(reduction, by, srcHeight)) continue;
        const uint8_t* top = src + size_t(by) * srcPitch;
        uint8_t* out = dst + size_t(py) * dstPitch;
        for (int px = 0; px + 1 < w; px += 2) {
            const int left = px * reduction, right = (px + 1) * reduction;
            auto luma = [&](int column) {
                return Reduce(reduction, [&](int dx, int dy) {
                    return int(top[size_t(dy) * srcPitch + 2 * size_t(column + dx)]);
                });
            };
            auto chroma = [&](int column, int byteInPair) {
                int sum = 0;
                for (int k = 0; k < 4; ++k) {
                    const size_t pair = size_t(column >> 1) + size_t(pairs[k]);
                    sum += top[size_t(lines[k]) * srcPitch + 4 * pair + size_t(byteInPair)];
                }
                return uint8_t(sum >> 2);
            };
            uint8_t* o = out + 2 * size_t(px);
            o[0] = luma(left);
            o[1] = chroma(left, 1);
            o[2] = luma(right);
            o[3] = chroma(right, 3);
        }
    }
}

template <typename Put>
void Border(int x, int y, int width, int height, Put put) {
    for (int i = 0; i < width; ++i) {
        put(x + i, y + height - 2, kDark);
        put(x + i, y + height - 1, kDark);
    }
    for (int i = 0; i < height; ++i) {
        put(x + width - 2, y + i, kDark);
        put(x + width - 1, y + i, kDark);
    }
    for (int i = 0; i < width; ++i) {
        put(x + i, y, kLight);
        put(x + i, y + 1, kLight);
    }
    for (int i = 0; i < height; ++i) {
        put(x, y + i, kLight);
        put(x + 1, y + i, kLight);
    }
}

bool BorderArgumentsValid(const uint8_t* picture, int pitch, int x, int y, int width, int height) {
    return picture != nullptr && pitch > 0 && x >= 0 && y >= 0 && width >= 0 && height >= 0;
}

}  // namespace

int ftkPip(const VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
           int srcWidth, int srcHeight, int srcPitch, int mediaType, int32_t flipFlags) {
    if (context == nullptr || dst == nullptr || src == nullptr) return VPE_INVALID_PARAM;
    const int corner = context->pip;
    const bool pipFlip = mediaType == MT_RGB24   ? (flipFlags & VPE_FLIP_RGB24) != 0
                         : mediaType == MT_I420 ? (flipFlags & VPE_FLIP_I420) != 0
                                                : false;
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: ftkPip pipFlip:%d dst:%x,%dx%dx%d, src:%x,%dx%dx%d mt:%d pip:%d\n",
          int(pipFlip), Low32(dst), dstWidth, dstHeight, dstPitch, Low32(src), srcWidth, srcHeight, srcPitch,
          mediaType, corner);
    // Values outside 1-4 have no corner: no picture-in-picture.
    if (corner < 1 || corner > 4) return VPE_SUCCESS;
    if (dstWidth <= 0 || dstHeight <= 0 || srcWidth <= 0 || srcHeight <= 0) return VPE_INVALID_PARAM;

    int width, height;
    if (context->track.family176 != 0 || dstWidth % 160 == 0) {
        width = dstWidth / 3;
        height = dstHeight / 3;
    } else {
        width = dstWidth / 160 * 160 / 3;
        height = dstHeight / 120 * 120 / 3;
    }
    const int reduction = dstWidth >= srcWidth ? 3 : 6;
    // The reduced source is all there is to show: a destination larger than
    // the source in one direction gets a smaller inset, never one read from
    // beyond the source.
    width = std::min(width, srcWidth / reduction);
    height = std::min(height, srcHeight / reduction);
    const int unevenWidth = width;
    width &= ~1;
    if (mediaType == MT_YUY2) height &= ~1;
    if (width < 4 || height < 4) return VPE_SUCCESS;

    const bool right = corner == 1 || corner == 4, bottom = corner == 1 || corner == 2;
    const int x = right ? (dstWidth - unevenWidth - kMargin) & ~1 : kMargin;
    const int yBottom = dstHeight - height - kMargin, yTop = kMargin;
    const int y = bottom != pipFlip ? yBottom : yTop;
    if (x < 0 || y < 0 || x + width > dstWidth || y + height > dstHeight) return VPE_SUCCESS;

    const size_t dp = size_t(dstPitch), sp = size_t(srcPitch);
    switch (mediaType) {
    case MT_RGB24:
        ReducePlane(dst + size_t(y) * dp + 3 * size_t(x), dp, width, height, src, sp, srcHeight, 3, reduction);
        vpeDrawBorderRgb24(dst, dstPitch, x, y, width, height);
        break;
    case MT_I420: {
        ReducePlane(dst + size_t(y) * dp + size_t(x), dp, width, height, src, sp, srcHeight, 1, reduction);
        const size_t dcp = dp / 2, scp = sp / 2;
        uint8_t* du = dst + size_t(dstHeight) * dp;
        uint8_t* dv = du + size_t(dstHeight / 2) * dcp;
        const uint8_t* su = src + size_t(srcHeight) * sp;
        const uint8_t* sv = su + size_t(srcHeight / 2) * scp;
        const size_t at = size_t(y / 2) * dcp + size_t(x / 2);
        ReducePlane(du + at, dcp, width / 2, height / 2, su, scp, srcHeight / 2, 1, reduction);
        ReducePlane(dv + at, dcp, width / 2, height / 2, sv, scp, srcHeight / 2, 1, reduction);
        vpeDrawBorderI420(dst, dstPitch, x, y, width, height);
        break;
    }
    case MT_YUY2:
        ReduceYuy2(dst + size_t(y) * dp + 2 * size_t(x), dp, width, height, src, sp, srcHeight, reduction);
        vpeDrawBorderYuy2(dst, dstPitch, x, y, width, height);
        break;
    default:
        break;
    }
    return VPE_SUCCESS;
}

}  // namespace qk::vpe

using namespace qk::vpe;

int vpeDrawBorderRgb24(uint8_t* picture, int pitch, int x, int y, int width, int height) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "vpeDrawBorderRgb24: puc:%x wb:%d x:%d y:%d w:%d h:%d\n\n",
          Low32(picture), pitch, x, y, width, height);
    if (!BorderArgumentsValid(picture, pitch, x, y, width, height)) return VPE_INVALID_PARAM;
    if (width < 2 || height < 2) return VPE_SUCCESS;
    Border(x, y, width, height, [&](int px, int py, uint8_t v) {
        uint8_t* p = picture + size_t(py) * size_t(pitch) + 3 * size_t(px);
        p[0] = p[1] = p[2] = v;
    });
    return VPE_SUCCESS;
}

int vpeDrawBorderI420(uint8_t* picture, int pitch, int x, int y, int width, int height) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "vpeDrawBorderI420: puc:%x wb:%d x:%d y:%d w:%d h:%d\n\n",
          Low32(picture), pitch, x, y, width, height);
    if (!BorderArgumentsValid(picture, pitch, x, y, width, height)) return VPE_INVALID_PARAM;
    if (width < 2 || height < 2) return VPE_SUCCESS;
    Border(x, y, width, height,
           [&](int px, int py, uint8_t v) { picture[size_t(py) * size_t(pitch) + size_t(px)] = v; });
    return VPE_SUCCESS;
}

int vpeDrawBorderYuy2(uint8_t* picture, int pitch, int x, int y, int width, int height) {
    if (!BorderArgumentsValid(picture, pitch, x, y, width, height)) return VPE_INVALID_PARAM;
    if (width < 2 || height < 2) return VPE_SUCCESS;
    Border(x, y, width, height,
           [&](int px, int py, uint8_t v) { picture[size_t(py) * size_t(pitch) + 2 * size_t(px)] = v; });
    return VPE_SUCCESS;
}
