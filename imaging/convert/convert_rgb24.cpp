#include "imaging/convert/convert.h"
#include "imaging/convert/row.h"

using qk::imaging::row::Kernels;

int ConvertRgb24ToI420(uint8_t* dst, const uint8_t* src, int width, int height, int srcPitch) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || srcPitch / 3 < width) return IMG_INVALID_PARAM;
    const auto& k = Kernels();
    const size_t w = size_t(width), h = size_t(height), pitch = size_t(srcPitch);
    uint8_t* y = dst;
    uint8_t* u = dst + w * h;
    uint8_t* v = u + (w / 2) * (h / 2);
    size_t line = 0;
    for (; line + 1 < h; line += 2) {
        k.rgb24ToI420Pair(src + line * pitch, src + (line + 1) * pitch, y + line * w, y + (line + 1) * w,
                          u + (line / 2) * (w / 2), v + (line / 2) * (w / 2), width);
    }
    if (line < h) k.rgb24ToY(src + line * pitch, y + line * w, width);
    return IMG_SUCCESS;
}

int ConvertRgb24ToYuy2(uint8_t* dst, int dstPitch, const uint8_t* src, int width, int height, int srcPitch) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || (width & 1) != 0 || srcPitch / 3 < width ||
        dstPitch / 2 < width) {
        return IMG_INVALID_PARAM;
    }
    const auto& k = Kernels();
    for (size_t line = 0; line < size_t(height); ++line) {
        k.rgb24ToYuy2(src + line * size_t(srcPitch), dst + line * size_t(dstPitch), width);
    }
    return IMG_SUCCESS;
}
