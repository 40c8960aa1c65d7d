// Colour tables shared by the YUY2-to-RGB24 conversion and the JPEG decoder's
// RGB writers. They are built by the compiler: there is nothing to fill at
// start-up, no first-frame ordering to get wrong and no writable copy that a
// stray store could corrupt.
#pragma once

#include <array>
#include <cstdint>

namespace qk::imaging {

// round(k * (c - 128)) for k = thousandths / 1000, halves away from zero.
constexpr int32_t RoundedChroma(int32_t thousandths, int32_t c) {
    const int32_t scaled = thousandths * (c - 128);
    return scaled >= 0 ? (scaled + 500) / 1000 : -((-scaled + 500) / 1000);
}

constexpr std::array<int32_t, 256> MakeChromaTable(int32_t thousandths) {
    std::array<int32_t, 256> table{};
    for (int32_t c = 0; c < 256; ++c) table[c] = RoundedChroma(thousandths, c);
    return table;
}

// Indexed by (value & 1023): 0-255 pass, 256-511 saturate to 255, and the
// negative sums down to -512 (which land on 512-1023) become 0.
constexpr std::array<uint8_t, 1024> MakeClampTable() {
    std::array<uint8_t, 1024> table{};
    for (int i = 0; i < 1024; ++i) table[i] = i < 256 ? uint8_t(i) : i < 512 ? uint8_t(255) : uint8_t(0);
    return table;
}

// The factors of the camera's colour space. Blue uses 1.722, not the 1.772 of
// JFIF: the camera's pictures were tuned against this table.
inline constexpr int32_t kThousandthsUToB = 1722;
inline constexpr int32_t kThousandthsUToG = 344;
inline constexpr int32_t kThousandthsVToG = 714;
inline constexpr int32_t kThousandthsVToR = 1402;

}  // namespace qk::imaging

// B = Y + kColourUToB[U]; G = Y - kColourUToG[U] - kColourVToG[V];
// R = Y + kColourVToR[V]; each through kColourClamp[value & 1023].
// In the JPEG decoder U is Cb and V is Cr.
inline constexpr std::array<int32_t, 256> kColourUToB = qk::imaging::MakeChromaTable(qk::imaging::kThousandthsUToB);
inline constexpr std::array<int32_t, 256> kColourUToG = qk::imaging::MakeChromaTable(qk::imaging::kThousandthsUToG);
inline constexpr std::array<int32_t, 256> kColourVToG = qk::imaging::MakeChromaTable(qk::imaging::kThousandthsVToG);
inline constexpr std::array<int32_t, 256> kColourVToR = qk::imaging::MakeChromaTable(qk::imaging::kThousandthsVToR);
inline constexpr std::array<uint8_t, 1024> kColourClamp = qk::imaging::MakeClampTable();

static_assert(kColourUToB[255] == 219 && kColourUToB[0] == -220);
static_assert(kColourVToR[255] == 178 && kColourUToG[0] == -44 && kColourVToG[128] == 0);
