// The plain kernels: one statement of the arithmetic, no tricks. The fast
// kernels are tested byte for byte against these.
#include <algorithm>

#include "imaging/convert/colour_tables.h"
#include "imaging/convert/row.h"

namespace qk::imaging::row {

void Yuy2ToRgb24Row_Reference(const uint8_t* yuy2, uint8_t* bgr, int width) {
    for (int x = 0; x + 1 < width; x += 2, yuy2 += 4, bgr += 6) {
        const int32_t y0 = yuy2[0], u = yuy2[1], y1 = yuy2[2], v = yuy2[3];
        const int32_t toB = kColourUToB[u];
        const int32_t toG = kColourUToG[u] + kColourVToG[v];
        const int32_t toR = kColourVToR[v];
        bgr[0] = kColourClamp[(y0 + toB) & 1023];
        bgr[1] = kColourClamp[(y0 - toG) & 1023];
        bgr[2] = kColourClamp[(y0 + toR) & 1023];
        bgr[3] = kColourClamp[(y1 + toB) & 1023];
        bgr[4] = kColourClamp[(y1 - toG) & 1023];
        bgr[5] = kColourClamp[(y1 + toR) & 1023];
    }
}

void Rgb24ToYRow_Reference(const uint8_t* rgb, uint8_t* y, int width) {
    for (int x = 0; x < width; ++x, rgb += 3) y[x] = uint8_t(LumaProduct(rgb[0], rgb[1], rgb[2]) >> 16);
}

void Rgb24ToI420PairRow_Reference(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                                  uint8_t* v, int width) {
    int x = 0;
    for (; x + 1 < width; x += 2, rgb0 += 6, rgb1 += 6) {
        const int32_t p00 = LumaProduct(rgb0[0], rgb0[1], rgb0[2]);
        const int32_t p01 = LumaProduct(rgb0[3], rgb0[4], rgb0[5]);
        const int32_t p10 = LumaProduct(rgb1[0], rgb1[1], rgb1[2]);
        const int32_t p11 = LumaProduct(rgb1[3], rgb1[4], rgb1[5]);
        y0[x] = uint8_t(p00 >> 16);
        y0[x + 1] = uint8_t(p01 >> 16);
        y1[x] = uint8_t(p10 >> 16);
        y1[x + 1] = uint8_t(p11 >> 16);
        // The sum of the four unshifted products, shifted once, keeps the
        // fractions of the four luma values.
        const int32_t sumY = (p00 + p01 + p10 + p11) >> 16;
        const int32_t sumB = rgb0[0] + rgb0[3] + rgb1[0] + rgb1[3];
        const int32_t sumR = rgb0[2] + rgb0[5] + rgb1[2] + rgb1[5];
        u[x / 2] = uint8_t(((sumB - sumY) * kI420U >> 16) + 128);
        v[x / 2] = uint8_t(((sumR - sumY) * kI420V >> 16) + 128);
    }
    if (x < width) {
        y0[x] = uint8_t(LumaProduct(rgb0[0], rgb0[1], rgb0[2]) >> 16);
        y1[x] = uint8_t(LumaProduct(rgb1[0], rgb1[1], rgb1[2]) >> 16);
    }
}

void Rgb24ToYuy2Row_Reference(const uint8_t* rgb, uint8_t* yuy2, int width) {
    for (int x = 0; x + 1 < width; x += 2, rgb += 6, yuy2 += 4) {
        const int32_t p0 = LumaProduct(rgb[0], rgb[1], rgb[2]);
        const int32_t p1 = LumaProduct(rgb[3], rgb[4], rgb[5]);
        const int32_t sumY = (p0 + p1 + 32768) >> 16;
        const int32_t u = std::clamp(((rgb[0] + rgb[3] - sumY) * kYuy2U) >> 16, -128, 127) + 128;
        const int32_t v = std::clamp(((rgb[2] + rgb[5] - sumY) * kYuy2V) >> 16, -128, 127) + 128;
        yuy2[0] = uint8_t(std::min(p0 >> 16, 255));
        yuy2[1] = uint8_t(u);
        yuy2[2] = uint8_t(std::min(p1 >> 16, 255));
        yuy2[3] = uint8_t(v);
    }
}

void Yuy2ToYRow_Reference(const uint8_t* yuy2, uint8_t* y, int width) {
    for (int x = 0; x < width; ++x) y[x] = yuy2[2 * x];
}

void Yuy2ToUvRow_Reference(const uint8_t* yuy2Line0, const uint8_t* yuy2Line1, uint8_t* u, uint8_t* v, int width) {
    for (int i = 0; i < width / 2; ++i) {
        u[i] = uint8_t((yuy2Line0[4 * i + 1] + yuy2Line1[4 * i + 1]) >> 1);
        v[i] = uint8_t((yuy2Line0[4 * i + 3] + yuy2Line1[4 * i + 3]) >> 1);
    }
}

const ConvertKernels& ReferenceKernels() {
    static constexpr ConvertKernels kReference{
        .yuy2ToRgb24 = Yuy2ToRgb24Row_Reference,
        .rgb24ToI420Pair = Rgb24ToI420PairRow_Reference,
        .rgb24ToY = Rgb24ToYRow_Reference,
        .rgb24ToYuy2 = Rgb24ToYuy2Row_Reference,
        .yuy2ToY = Yuy2ToYRow_Reference,
        .yuy2ToUv = Yuy2ToUvRow_Reference,
    };
    return kReference;
}

}  // namespace qk::imaging::row
