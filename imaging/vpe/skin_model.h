// The skin-colour models of face tracking.
//
// Test 0 is the elliptical skin model of Hsu, Abdel-Mottaleb and Jain (2002):
// outside a luma window the chroma is first moved and scaled by luma-dependent
// cluster centres and widths so that one ellipse in (Cb, Cr) fits all lumas.
// Test 1 tries, per luma value, up to two ellipse records (SkinEllipse) in the
// plain (Cb, Cr) plane; its table is generated (tools/make_skin_table.cpp).
#pragma once

#include <cstdint>

namespace qk::vpe {

// Constants of the luma-dependent transform of test 0.
namespace hsu {
inline constexpr double kKl = 125, kKh = 188, kYmin = 16, kYmax = 235;
inline constexpr double kCbCentre = 108, kCrCentre = 154;  // at kKh
inline constexpr double kWcb = 46.97, kWLcb = 23, kWHcb = 14;
inline constexpr double kWcr = 38.76, kWLcr = 20, kWHcr = 10;

// Luma outside 16..235 takes the value at the nearer end: the paper's lines
// are not meant beyond it (the width of Cr would turn negative).
constexpr double ClampLuma(double y) { return y < kYmin ? kYmin : y > kYmax ? kYmax : y; }

constexpr double CbCentre(double y) {
    y = ClampLuma(y);
    if (y < kKl) return kCbCentre + (kKl - y) * (118 - 108) / (kKl - kYmin);
    if (y > kKh) return kCbCentre + (y - kKh) * (118 - 108) / (kYmax - kKh);
    return kCbCentre;
}
constexpr double CrCentre(double y) {
    y = ClampLuma(y);
    if (y < kKl) return kCrCentre - (kKl - y) * (154 - 144) / (kKl - kYmin);
    if (y > kKh) return kCrCentre + (y - kKh) * (154 - 132) / (kYmax - kKh);
    return kCrCentre;
}
constexpr double Width(double y, double w, double wLow, double wHigh) {
    y = ClampLuma(y);
    if (y < kKl) return wLow + (y - kYmin) * (w - wLow) / (kKl - kYmin);
    if (y > kKh) return wHigh + (kYmax - y) * (w - wHigh) / (kYmax - kKh);
    return w;
}
constexpr double CbWidth(double y) { return Width(y, kWcb, kWLcb, kWHcb); }
constexpr double CrWidth(double y) { return Width(y, kWcr, kWLcr, kWHcr); }

// The ellipse of the transformed plane: centre (109.38, 149.0) moved by
// (1.598, 2.406) along the rotated axes, half-axes 27 and 9.
inline constexpr double kCx = 109.38, kCy = 149.0;
inline constexpr double kCos = -0.8164, kSin = 0.5703;
inline constexpr double kEcx = 1.598, kEcy = 2.406;
inline constexpr double kA = 27, kB = 9;
}  // namespace hsu

// One ellipse record of test 1. Skin when the chroma lies in the box and
//   (cos*dy - sin*dx)^2 / bSquared + (cos*dx + sin*dy)^2 / aSquared <= 1
// with dx, dy the chroma minus the whole part of the centre, in 8.8.
struct SkinEllipse {
    int32_t aSquared;  // major half-axis squared; 0: no record
    int32_t bSquared;
    int32_t cbCentreQ8, crCentreQ8;
    int32_t cosQ8, sinQ8;  // direction of the major axis in (Cb, Cr)
    int32_t spare;
    uint8_t cbMin, cbMax, crMin, crMax;
};

// [luma][0 primary, 1 secondary]; the primary exists for every luma, the
// secondary for the 110 brightest (146-255).
extern const SkinEllipse kSkinTable[256][2];

}  // namespace qk::vpe
