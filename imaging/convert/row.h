// Per-row kernels of the conversion routines. Each kernel has a plain
// reference version that states the arithmetic, and may have a fast version
// that must give exactly the same bytes; the fast set is chosen once from the
// processor's features. Whole-plane routines (convert.h) only ever call the
// kernels through Kernels().
#pragma once

#include <cstdint>

namespace qk::imaging::row {

struct ConvertKernels {
    // width even: pairs Y0 U Y1 V to B G R B G R.
    void (*yuy2ToRgb24)(const uint8_t* yuy2, uint8_t* bgr, int width);
    // Two RGB24 lines to two luma lines and one line of each chroma plane
    // (width / 2 samples); an odd last column gets luma only.
    void (*rgb24ToI420Pair)(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                            uint8_t* v, int width);
    void (*rgb24ToY)(const uint8_t* rgb, uint8_t* y, int width);
    // width even.
    void (*rgb24ToYuy2)(const uint8_t* rgb, uint8_t* yuy2, int width);
    // width even: the luma of a YUY2 line, and the averaged chroma of two lines.
    void (*yuy2ToY)(const uint8_t* yuy2, uint8_t* y, int width);
    void (*yuy2ToUv)(const uint8_t* yuy2Line0, const uint8_t* yuy2Line1, uint8_t* u, uint8_t* v, int width);
};

// The plain kernels; the fast set falls back on them for row tails.
const ConvertKernels& ReferenceKernels();
// The set used by the routines: fast kernels where this processor has them.
const ConvertKernels& Kernels();
// The fast set when the processor supports it, else null (for tests).
const ConvertKernels* Avx2Kernels();

// Reference kernels, also used for the tails of the fast ones.
void Yuy2ToRgb24Row_Reference(const uint8_t* yuy2, uint8_t* bgr, int width);
void Rgb24ToI420PairRow_Reference(const uint8_t* rgb0, const uint8_t* rgb1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                                  uint8_t* v, int width);
void Rgb24ToYRow_Reference(const uint8_t* rgb, uint8_t* y, int width);
void Rgb24ToYuy2Row_Reference(const uint8_t* rgb, uint8_t* yuy2, int width);
void Yuy2ToYRow_Reference(const uint8_t* yuy2, uint8_t* y, int width);
void Yuy2ToUvRow_Reference(const uint8_t* yuy2Line0, const uint8_t* yuy2Line1, uint8_t* u, uint8_t* v, int width);

// Luma weights (fractions of 65536) and chroma factors of the RGB24 routines.
inline constexpr int32_t kLumaB = 7503;   // 0.1145
inline constexpr int32_t kLumaG = 38443;  // 0.5866
inline constexpr int32_t kLumaR = 19588;  // 0.2989
inline constexpr int32_t kI420U = 9251;   // 0.5647 / 4, applied to sums of four
inline constexpr int32_t kI420V = 11684;  // 0.7133 / 4
inline constexpr int32_t kYuy2U = 18492;  // 0.5643 / 2, applied to sums of two
inline constexpr int32_t kYuy2V = 23369;  // 0.7132 / 2

inline int32_t LumaProduct(uint8_t b, uint8_t g, uint8_t r) { return kLumaB * b + kLumaG * g + kLumaR * r; }

}  // namespace qk::imaging::row
