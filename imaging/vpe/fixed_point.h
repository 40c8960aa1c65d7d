// Fixed-point helpers of the effects library: rectangles and framings in
// 16.16 source pixels, colour and skin arithmetic in 8.8, bilinear weights out
// of 256. Products are formed in 64 bits so that no setting or picture size
// the entry points accept can overflow them.
#pragma once

#include <cstdint>

namespace qk::vpe {

inline constexpr int32_t kQ16One = 65536;
inline constexpr int32_t kQ8One = 256;

constexpr int64_t ToQ16(int64_t pixels) { return pixels * kQ16One; }
constexpr int32_t Q16Floor(int64_t valueQ16) { return int32_t(valueQ16 >> 16); }

// (a * b) >> 16 for 16.16 operands; the shift floors, like the target's.
constexpr int64_t MulQ16(int64_t a, int64_t b) { return (a * b) >> 16; }

// Integer square root, bit by bit from the top pair of bits down (0 for a
// non-positive input). Distances between framings are squared in 16.16 and
// exceed 32 bits for pictures wider than 181 pixels, so the root starts at
// bit 62; for inputs below 2^31 it gives what a 32-bit root from bit 30 gives.
constexpr int64_t IntSqrt(int64_t value) {
    if (value <= 0) return 0;
    uint64_t rest = uint64_t(value), root = 0, bit = uint64_t(1) << 62;
    while (bit > rest) bit >>= 2;
    while (bit != 0) {
        if (rest >= root + bit) {
            rest -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
        bit >>= 2;
    }
    return int64_t(root);
}

static_assert(IntSqrt(0) == 0 && IntSqrt(1) == 1 && IntSqrt(15) == 3 && IntSqrt(16) == 4);
static_assert(IntSqrt(int64_t(1) << 62) == int64_t(1) << 31);

// Bilinear weights of a 16.16 position: the far sample's weight is the top
// byte of the fraction, the near one's (1 - fraction) >> 8. They add up to
// 256 on whole positions and to 255 elsewhere.
struct Weights {
    int32_t near, far;
};
constexpr Weights WeightsAt(int64_t positionQ16) {
    const int32_t fraction = int32_t(positionQ16 & 0xFFFF);
    return Weights{(kQ16One - fraction) >> 8, fraction >> 8};
}

constexpr int64_t Clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }
constexpr int64_t Abs64(int64_t v) { return v < 0 ? -v : v; }

}  // namespace qk::vpe
