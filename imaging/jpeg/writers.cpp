// Output writers of the five kinds: colour conversion through the shared
// tables and the byte orders of each kind.
#include "imaging/convert/colour_tables.h"
#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

struct Rgb {
    uint8_t r, g, b;
};

inline Rgb ToRgb(int y, int cb, int cr) {
    return Rgb{kColourClamp[(y + kColourVToR[cr]) & 1023], kColourClamp[(y - kColourUToG[cb] - kColourVToG[cr]) & 1023],
               kColourClamp[(y + kColourUToB[cb]) & 1023]};
}

// Pixel stores of the RGB kinds.
inline void StoreRgb24(uint8_t* d, Rgb c) {
    d[0] = c.b;
    d[1] = c.g;
    d[2] = c.r;
}
inline void StoreRgb565(uint8_t* d, Rgb c) {
    const unsigned word = unsigned(c.r >> 3) << 11 | unsigned(c.g >> 2) << 5 | unsigned(c.b >> 3);
    d[0] = uint8_t(word);
    d[1] = uint8_t(word >> 8);
}
inline void StoreXrgb(uint8_t* d, Rgb c) {
    d[0] = 0;
    d[1] = c.r;
    d[2] = c.g;
    d[3] = c.b;
}

template <void (*Store)(uint8_t*, Rgb), int kBytes>
void RgbFull(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int width) {
    for (int x = 0; x < width; ++x) Store(dst + kBytes * x, ToRgb(y[x], u[x], v[x]));
}

template <void (*Store)(uint8_t*, Rgb), int kBytes>
void RgbPairs(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int width) {
    for (int x = 0; x < width; ++x) Store(dst + kBytes * x, ToRgb(y[x], u[x >> 1], v[x >> 1]));
}

template <void (*Store)(uint8_t*, Rgb), int kBytes>
void RgbPairs16(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int) {
    RgbPairs<Store, kBytes>(dst, y, u, v, 16);
}

// The two-byte YUV kinds: a pixel pair shares the chroma of its left pixel.
// kChromaFirst: U Y0 V Y1 (UYVY); otherwise Y0 U Y1 V (YUY2).
template <bool kChromaFirst, int kChromaStep>
void YuvPairs(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int width) {
    for (int x = 0; x + 1 < width; x += 2, dst += 4) {
        const int c = (x / 2) * kChromaStep;
        if (kChromaFirst) {
            dst[0] = u[c];
            dst[1] = y[x];
            dst[2] = v[c];
            dst[3] = y[x + 1];
        } else {
            dst[0] = y[x];
            dst[1] = u[c];
            dst[2] = y[x + 1];
            dst[3] = v[c];
        }
    }
}

template <bool kChromaFirst>
void YuvPairs16(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int) {
    YuvPairs<kChromaFirst, 1>(dst, y, u, v, 16);
}

constexpr WriterSet kReference[5] = {
    {3, true, RgbPairs16<StoreRgb24, 3>, RgbPairs<StoreRgb24, 3>, RgbFull<StoreRgb24, 3>},
    {2, false, YuvPairs16<true>, YuvPairs<true, 1>, YuvPairs<true, 2>},
    {2, true, RgbPairs16<StoreRgb565, 2>, RgbPairs<StoreRgb565, 2>, RgbFull<StoreRgb565, 2>},
    {4, true, RgbPairs16<StoreXrgb, 4>, RgbPairs<StoreXrgb, 4>, RgbFull<StoreXrgb, 4>},
    {2, false, YuvPairs16<false>, YuvPairs<false, 1>, YuvPairs<false, 2>},
};

}  // namespace

const WriterSet& ReferenceWriters(int kind) { return kReference[kind]; }

const WriterSet& ChosenWriters(int kind) {
    const WriterSet* fast = Avx2Writers(kind);
    return fast != nullptr ? *fast : kReference[kind];
}

}  // namespace qk::jpeg
