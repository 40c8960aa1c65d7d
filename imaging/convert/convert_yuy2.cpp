#include "imaging/convert/convert.h"
#include "imaging/convert/row.h"

using qk::imaging::row::Kernels;

int ConvertYuy2ToI420(uint8_t* dst, const uint8_t* src, int width, int height, int srcPitch) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || (width & 1) != 0 || srcPitch / 2 < width) {
        return IMG_INVALID_PARAM;
    }
    const auto& k = Kernels();
    const size_t w = size_t(width), h = size_t(height), pitch = size_t(srcPitch);
    uint8_t* y = dst;
    uint8_t* u = dst + w * h;
    uint8_t* v = u + (w / 2) * (h / 2);
    for (size_t line = 0; line < h; ++line) k.yuy2ToY(src + line * pitch, y + line * w, width);
    for (size_t pair = 0; pair < h / 2; ++pair) {
        k.yuy2ToUv(src + 2 * pair * pitch, src + (2 * pair + 1) * pitch, u + pair * (w / 2), v + pair * (w / 2), width);
    }
    return IMG_SUCCESS;
}

int ConvertYuy2ToRgb24(uint8_t* dst, int dstPitch, const uint8_t* src, int width, int height) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || (width & 1) != 0 || dstPitch / 3 < width) {
        return IMG_INVALID_PARAM;
    }
    const auto& k = Kernels();
    const size_t srcLine = 2 * size_t(width);
    for (size_t line = 0; line < size_t(height); ++line) {
        k.yuy2ToRgb24(src + line * srcLine, dst + line * size_t(dstPitch), width);
    }
    return IMG_SUCCESS;
}
