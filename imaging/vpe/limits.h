// Sizes the effects library is built for.
#pragma once

#include <cstdint>

namespace qk::vpe {

// The analysis picture: at most 176 x 144 pixels, whatever the camera size.
inline constexpr int kMaxAnalysisWidth = 176;
inline constexpr int kMaxAnalysisHeight = 144;
inline constexpr int kMaxAnalysisPixels = kMaxAnalysisWidth * kMaxAnalysisHeight;  // 25,344
inline constexpr int kMaxAnalysisI420 = kMaxAnalysisPixels * 3 / 2;

// Picture sides the entry points accept: 16.16 coordinates of a whole
// picture stay far inside 32 bits.
inline constexpr int kMaxPictureSide = 16384;
constexpr bool SideAccepted(int side) { return side > 0 && side <= kMaxPictureSide; }

inline constexpr int kMaxLabels = 88;
inline constexpr int kMaxRegions = 10;
inline constexpr uint32_t kNoLabel = 100000;

}  // namespace qk::vpe
