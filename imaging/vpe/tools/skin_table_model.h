// How the per-luma ellipse table of the skin test is made. Shared by the
// generator (make_skin_table.cpp) and the test that holds the checked-in
// table to it. Floating point is fine here: this runs at build time only.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>

#include "imaging/vpe/skin_model.h"

namespace qk::vpe::skin_table {

struct Ellipse {
    double cb, cr;  // centre
    double a, b;    // half-axes, a along `angle`
    double angle;   // direction of the major axis in (Cb, Cr), radians
};

// The three rows the design fixes. Between them and beyond them the table
// follows the elliptical model.
inline constexpr SkinEllipse kRow30Primary{729, 100, 100 * 256, 140 * 256, -252, 44, 0, 74, 126, 130, 150};
inline constexpr SkinEllipse kRow128Primary{1296, 121, 92 * 256, 160 * 256, -221, 127, 0, 61, 123, 140, 180};
inline constexpr SkinEllipse kRow200Secondary{100, 36, 115 * 256, 153 * 256, 252, 44, 0, 106, 124, 147, 159};

inline constexpr int kLowestSkinLuma = 30;
inline constexpr int kFirstSecondaryLuma = 146;  // 110 rows: 146-255
inline constexpr int kModelLuma = 188;           // the primary reaches the model here

inline Ellipse FromRecord(const SkinEllipse& e) {
    return Ellipse{e.cbCentreQ8 / 256.0, e.crCentreQ8 / 256.0, std::sqrt(double(e.aSquared)),
                   std::sqrt(double(e.bSquared)), std::atan2(double(e.sinQ8), double(e.cosQ8))};
}

// The ellipse of test 0 in the plain (Cb, Cr) plane at luma y: the
// transformed-plane ellipse mapped back through the luma transform, which is
// a scaling per axis, so the image is again an ellipse.
inline Ellipse ModelAt(int y) {
    using namespace hsu;
    const double mx = kCx + kCos * kEcx - kSin * kEcy, my = kCy + kSin * kEcx + kCos * kEcy;
    const bool inside = y >= kKl && y <= kKh;
    const double sb = inside ? 1 : CbWidth(y) / kWcb, sr = inside ? 1 : CrWidth(y) / kWcr;
    const double cb = inside ? mx : (mx - kCbCentre) * sb + CbCentre(y);
    const double cr = inside ? my : (my - kCrCentre) * sr + CrCentre(y);
    // Quadratic form of the transformed ellipse, then S^-1 Q S^-1.
    const double c = kCos, s = kSin, ia = 1 / (kA * kA), ib = 1 / (kB * kB);
    double q11 = c * c * ia + s * s * ib, q12 = c * s * (ia - ib), q22 = s * s * ia + c * c * ib;
    q11 /= sb * sb;
    q12 /= sb * sr;
    q22 /= sr * sr;
    const double mean = (q11 + q22) / 2, diff = std::sqrt((q11 - q22) * (q11 - q22) / 4 + q12 * q12);
    const double small = mean - diff, large = mean + diff;  // eigenvalues
    // Eigenvector of the small eigenvalue: the major axis.
    double angle = std::atan2(small - q11, q12);
    if (std::abs(q12) < 1e-12) angle = q11 < q22 ? 0 : M_PI / 2;
    if (std::cos(angle) > 0) angle += M_PI;  // keep the anchors' orientation (cos < 0)
    if (angle > M_PI) angle -= 2 * M_PI;
    return Ellipse{cb, cr, 1 / std::sqrt(small), 1 / std::sqrt(large), angle};
}

inline double Lerp(double a, double b, double t) { return a + (b - a) * t; }

inline Ellipse Blend(const Ellipse& p, const Ellipse& q, double t) {
    double qa = q.angle;
    while (qa - p.angle > M_PI) qa -= 2 * M_PI;
    while (p.angle - qa > M_PI) qa += 2 * M_PI;
    return Ellipse{Lerp(p.cb, q.cb, t), Lerp(p.cr, q.cr, t), Lerp(p.a, q.a, t), Lerp(p.b, q.b, t),
                   Lerp(p.angle, qa, t)};
}

// Rounds an ellipse into a record; the box is the ellipse's bounding box,
// rounded inward and kept within 0-255.
inline SkinEllipse ToRecord(const Ellipse& e) {
    SkinEllipse r{};
    r.aSquared = int32_t(std::lround(e.a * e.a));
    r.bSquared = int32_t(std::lround(e.b * e.b));
    r.cbCentreQ8 = int32_t(std::lround(e.cb * 256));
    r.crCentreQ8 = int32_t(std::lround(e.cr * 256));
    r.cosQ8 = int32_t(std::lround(std::cos(e.angle) * 256));
    r.sinQ8 = int32_t(std::lround(std::sin(e.angle) * 256));
    const double c = r.cosQ8 / 256.0, s = r.sinQ8 / 256.0;
    const double extentCb = std::sqrt(r.aSquared * c * c + r.bSquared * s * s);
    const double extentCr = std::sqrt(r.aSquared * s * s + r.bSquared * c * c);
    const double cb = r.cbCentreQ8 / 256.0, cr = r.crCentreQ8 / 256.0;
    auto byte = [](double v) { return uint8_t(std::clamp(v, 0.0, 255.0)); };
    r.cbMin = byte(std::ceil(cb - extentCb));
    r.cbMax = byte(std::floor(cb + extentCb));
    r.crMin = byte(std::ceil(cr - extentCr));
    r.crMax = byte(std::floor(cr + extentCr));
    return r;
}

inline SkinEllipse Primary(int y) {
    if (y <= kLowestSkinLuma) return kRow30Primary;  // lumas below 30 are never skin; the row is a copy
    if (y == 128) return kRow128Primary;
    const Ellipse low = FromRecord(kRow30Primary), mid = FromRecord(kRow128Primary);
    if (y < 128) return ToRecord(Blend(low, mid, double(y - kLowestSkinLuma) / (128 - kLowestSkinLuma)));
    // Brighter skin moves from the dark cluster to the model's ellipse.
    const Ellipse model = ModelAt(std::min(y, kModelLuma));
    return ToRecord(Blend(mid, model, std::min(1.0, double(y - 128) / (kModelLuma - 128))));
}

// Bright, weakly coloured skin (highlights, pale faces in strong light): a
// small ellipse whose centre drifts slowly toward neutral with luma.
inline SkinEllipse Secondary(int y) {
    if (y < kFirstSecondaryLuma) return SkinEllipse{};
    if (y == 200) return kRow200Secondary;
    Ellipse e = FromRecord(kRow200Secondary);
    e.cb += (y - 200) * 0.09;
    e.cr -= (y - 200) * 0.055;
    return ToRecord(e);
}

inline std::array<std::array<SkinEllipse, 2>, 256> BuildTable() {
    std::array<std::array<SkinEllipse, 2>, 256> table{};
    for (int y = 0; y < 256; ++y) table[y] = {Primary(y), Secondary(y)};
    return table;
}

}  // namespace qk::vpe::skin_table
