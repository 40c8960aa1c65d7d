// The decoder's inverse DCT: the scaled Arai-Agui-Nakajima flow graph with
// the DCT's scale folded into the dequantisation multipliers, in 32-bit
// integers with 9-bit constants and no rounding inside the passes. Sums and
// products wrap modulo 2^32 (as the target's integer unit does), so hostile
// coefficients give some bytes but never undefined behaviour; the fast
// kernel reproduces the same wrapped arithmetic exactly.
#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {

const uint8_t kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,   //
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,  //
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,  //
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// round(64 / (a(u) a(v))), a(0) = 1, a(k) = sqrt(2) cos(k pi / 16).
const int32_t kPrescale[64] = {
    64,  46,  49,  54,  64,  81,  118, 232,  //
    46,  33,  35,  39,  46,  59,  85,  167,  //
    49,  35,  37,  42,  49,  62,  91,  178,  //
    54,  39,  42,  46,  54,  69,  101, 197,  //
    64,  46,  49,  54,  64,  81,  118, 232,  //
    81,  59,  62,  69,  81,  104, 151, 295,  //
    118, 85,  91,  101, 118, 151, 219, 429,  //
    232, 167, 178, 197, 232, 295, 429, 841,
};

namespace {

inline int32_t Add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t Sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
inline int32_t Mul(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }
// A 32-bit product by a 9-bit constant, shifted arithmetically by 9.
inline int32_t Scale(int32_t a, int32_t constant) { return Mul(a, constant) >> 9; }

constexpr int32_t kC362 = 362;    // 512 cos(pi/4)
constexpr int32_t kC669 = 669;    // 512 sqrt(2) cos(pi/8)
constexpr int32_t kCm196 = -196;  // -512 cos(3pi/8)
constexpr int32_t kCm277 = -277;  // -512 sqrt(2) cos(3pi/8)

void Pass(const int32_t x[8], int32_t y[8]) {
    const int32_t l = Scale(Sub(x[2], x[6]), kC362);
    const int32_t s04 = Add(x[0], x[4]), d04 = Sub(x[0], x[4]), s26 = Add(x[2], x[6]);
    const int32_t e0 = Add(Add(s04, s26), l);
    const int32_t e1 = Add(d04, l);
    const int32_t e2 = Sub(d04, l);
    const int32_t e3 = Sub(Sub(s04, s26), l);
    const int32_t d17 = Sub(x[1], x[7]), d53 = Sub(x[5], x[3]);
    const int32_t z = Scale(Add(d17, d53), kCm196);
    const int32_t d = Add(z, Scale(d17, kC669));
    const int32_t e = Add(d, Add(Add(x[1], x[3]), Add(x[5], x[7])));
    const int32_t f = Scale(Sub(Add(x[1], x[7]), Add(x[3], x[5])), kC362);
    const int32_t g = Add(z, Scale(d53, kCm277));
    y[0] = Add(e0, e);
    y[1] = Add(Add(e1, f), d);
    y[2] = Sub(Add(e2, f), g);
    y[3] = Sub(e3, g);
    y[4] = Add(e3, g);
    y[5] = Add(Sub(e2, f), g);
    y[6] = Sub(Sub(e1, f), d);
    y[7] = Sub(e0, e);
}

inline uint8_t LevelShift(int32_t rowOutput) {
    const int32_t v = Add(rowOutput, 256) >> 9;
    return v < -128 ? 0 : v > 127 ? 255 : uint8_t(v + 128);
}

}  // namespace

void IdctReference(const int32_t* inputs, uint8_t* out, int stride) {
    int32_t workspace[64];
    for (int column = 0; column < 8; ++column) {
        int32_t x[8], y[8];
        for (int k = 0; k < 8; ++k) x[k] = inputs[k * 8 + column];
        Pass(x, y);
        for (int k = 0; k < 8; ++k) workspace[k * 8 + column] = y[k];
    }
    for (int row = 0; row < 8; ++row) {
        int32_t y[8];
        Pass(&workspace[row * 8], y);
        for (int j = 0; j < 8; ++j) out[row * stride + j] = LevelShift(y[j]);
    }
}

// With only a DC input both passes carry x0 to every output.
uint8_t DcOnlySample(int32_t input) { return LevelShift(input); }

void FillBlock(uint8_t* out, int stride, uint8_t value) {
    for (int row = 0; row < 8; ++row) std::memset(out + row * stride, value, 8);
}

IdctFn ChosenIdct() {
    static const IdctFn chosen = Avx2Idct() != nullptr ? Avx2Idct() : IdctReference;
    return chosen;
}

}  // namespace qk::jpeg
