// Face tracking on real photographs: a face cut from a portrait moves over a
// grey photographed scene, holds still, moves and holds still again. The same
// content is handed to the library in the three media types (I420 and YUY2
// from the composed RGB picture through the conversion routines, RGB24 stored
// bottom-up as the driver's) and the framings must agree.
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "imaging/convert/convert.h"
#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

// Photographs shipped by a Debian package that scripts/deps.sh installs.
const std::string kPhotos = "/usr/lib/python3/dist-packages/skimage/data/";

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr;  // top-down
};

Picture ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture p;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
    image.format = PNG_FORMAT_BGR;
    p.bgr.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.bgr.data(), 0, nullptr)) return Picture{};
    p.width = int(image.width);
    p.height = int(image.height);
    return p;
}

// A rectangle of a picture scaled bilinearly to w x h.
Picture Scaled(const Picture& s, int x0, int y0, int cw, int ch, int w, int h) {
    Picture r{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 3)};
    for (int y = 0; y < h; ++y) {
        const double sy = std::clamp(y0 + (y + 0.5) * ch / h - 0.5, 0.0, s.height - 1.001);
        const int iy = int(sy);
        const double fy = sy - iy;
        for (int x = 0; x < w; ++x) {
            const double sx = std::clamp(x0 + (x + 0.5) * cw / w - 0.5, 0.0, s.width - 1.001);
            const int ix = int(sx);
            const double fx = sx - ix;
            for (int b = 0; b < 3; ++b) {
                const auto at = [&](int xx, int yy) { return double(s.bgr[(size_t(yy) * s.width + xx) * 3 + b]); };
                const double v = (1 - fy) * ((1 - fx) * at(ix, iy) + fx * at(ix + 1, iy)) +
                                 fy * ((1 - fx) * at(ix, iy + 1) + fx * at(ix + 1, iy + 1));
                r.bgr[(size_t(y) * w + x) * 3 + b] = uint8_t(std::lround(v));
            }
        }
    }
    return r;
}

// The script, in fractions of the picture: the face's top-left corner moves
// for 2 s, holds still for 5 s, moves for 2 s and holds still for 5 s.
constexpr int kMove = 60, kStill = 150;
constexpr int kFrames = 2 * (kMove + kStill);
constexpr int kStillPhases[2] = {kMove, 2 * kMove + kStill};

struct Placement {
    double x, y;
};
Placement FaceAt(int f) {
    if (f < kMove) return {0.06 + 0.31 * f / kMove, 0.17 + 0.12 * f / kMove};
    if (f < kMove + kStill) return {0.37, 0.29};
    if (f < 2 * kMove + kStill) {
        const double t = double(f - kMove - kStill) / kMove;
        return {0.37 + 0.31 * t, 0.29 - 0.17 * t};
    }
    return {0.68, 0.12};
}

// The composed video: the astronaut's head (hair to chin) over the
// cameraman photograph, whose grey carries no colour that could be skin.
class PhotoScene {
public:
    PhotoScene(int width, int height, double faceScale) : width_(width), height_(height) {
        const Picture portrait = ReadPng(kPhotos + "astronaut.png");
        const Picture scene = ReadPng(kPhotos + "camera.png");
        ok_ = portrait.width == 512 && scene.width == 512;
        if (!ok_) return;
        background_ = Scaled(scene, 0, 0, scene.width, scene.height, width, height);
        const double s = width / 640.0 * faceScale;
        face_ = Scaled(portrait, 150, 20, 150, 180, int(150 * s), int(180 * s));
    }
    bool ok() const { return ok_; }

    // Frame f, top-down B, G, R; the face's box in display pixels.
    void Render(int f, std::vector<uint8_t>& bgr, int box[4]) const {
        bgr = background_.bgr;
        const Placement p = FaceAt(f);
        const int fx = int(std::lround(p.x * width_)), fy = int(std::lround(p.y * height_));
        for (int y = 0; y < face_.height; ++y) {
            std::copy_n(&face_.bgr[size_t(y) * face_.width * 3], size_t(face_.width) * 3,
                        &bgr[(size_t(fy + y) * width_ + fx) * 3]);
        }
        box[0] = fx, box[1] = fy, box[2] = fx + face_.width, box[3] = fy + face_.height;
    }

private:
    int width_, height_;
    bool ok_ = false;
    Picture background_, face_;
};

constexpr int kTypes[3] = {MT_YUY2, MT_RGB24, MT_I420};
const char* Name(int mt) { return mt == MT_YUY2 ? "YUY2" : mt == MT_RGB24 ? "RGB24" : "I420"; }

// What one detection of one format found, in display coordinates.
struct Detection {
    Box combined, raw;  // analysis pixels: with margins, and the faces' own box
    int targetX, targetY, targetWidth;
};

struct PhotoRun {
    int width, height;
    std::vector<int> frames;               // frames with a detection
    std::vector<Detection> found[3];       // per media type, per detection
    std::vector<std::array<int, 4>> face;  // true face box at each detection
};

// Runs the script through one context per media type, each from a fresh
// library (the frame-rate estimate is library-wide, and three contexts
// taking turns would each see it change at other frames).
PhotoRun TrackPhotoScene(int width, int height, double faceScale, const std::function<PVPE_CONTEXT()>& newContext) {
    PhotoRun run{width, height, {}, {}, {}};
    const PhotoScene scene(width, height, faceScale);
    EXPECT_TRUE(scene.ok()) << "the photographs in " << kPhotos << " are missing: run scripts/deps.sh";
    if (!scene.ok()) return run;
    const size_t pixels = size_t(width) * size_t(height);
    std::vector<uint8_t> bgr, picture(3 * pixels), dst(3 * pixels);
    for (int k = 0; k < 3; ++k) {
        const int mt = kTypes[k];
        EXPECT_EQ(vpeInit(nullptr, nullptr, testing::CountingAlloc, testing::CountingFree, VPE_VERSION), VPE_SUCCESS);
        PVPE_CONTEXT c = newContext();
        EXPECT_EQ(vpeFtkInit(c, width, height), VPE_SUCCESS);
        vpeSetAttrib(c, VPE_ATTR_ACTIVE_TRACKING, 1);  // qk0340 vpe track --mode 1 --speed 2
        vpeSetAttrib(c, VPE_ATTR_VEL, 200);
        vpeSetAttrib(c, VPE_ATTR_PIP, 0);
        const int pitch = mt == MT_YUY2 ? 2 * width : mt == MT_RGB24 ? 3 * width : width;
        for (int f = 0; f < kFrames; ++f) {
            int box[4];
            scene.Render(f, bgr, box);
            const int made = mt == MT_YUY2 ? ConvertRgb24ToYuy2(picture.data(), pitch, bgr.data(), width, height, 3 * width)
                             : mt == MT_I420 ? ConvertRgb24ToI420(picture.data(), bgr.data(), width, height, 3 * width)
                                             : FlipTopBottom(picture.data(), bgr.data(), width, height, pitch, MT_RGB24);
            EXPECT_EQ(made, IMG_SUCCESS);
            const bool detects = DetectsNextFrame(*c);
            EXPECT_EQ(vpeFtk(c, dst.data(), width, height, pitch, picture.data(), width, height, pitch, nullptr, mt,
                             uint32_t(f * 100 / 3) & 0xFFFF),
                      VPE_SUCCESS);
            if (!detects) continue;
            if (k == 0) {
                run.frames.push_back(f);
                run.face.push_back({box[0], box[1], box[2], box[3]});
            }
            const TrackState& t = c->track;
            Detection d{t.combined, t.rawCombined, t.targetX, t.targetY, t.targetWidth};
            if (mt == MT_RGB24) {  // stored bottom-up: mirrored into display terms
                const int h = t.analysisHeight, targetHeight = int(MulQ16(t.targetWidth, t.inverseAspectQ16));
                d.combined.y0 = h - 1 - t.combined.y1;
                d.combined.y1 = h - 1 - t.combined.y0;
                d.raw.y0 = h - 1 - t.rawCombined.y1;
                d.raw.y1 = h - 1 - t.rawCombined.y0;
                d.targetY = height - t.targetY - targetHeight;
            }
            run.found[k].push_back(d);
        }
    }
    return run;
}

// In both still phases, once the scene has settled (a second after the
// stop), every format frames the face and the formats agree.
//
// Tolerances: the three pictures hold the same content but not the same
// bytes (I420 chroma is the mean of 2 x 2 pixels, YUY2 chroma the mean of a
// pixel pair, RGB24 none; RGB24 is stored bottom-up, so its nearest-neighbour
// lines are up to one analysis line away from the top-down ones), and mask
// edges move with them: the faces' boxes agree within 3 analysis pixels on
// every side (the most seen is 3, for a face about 37 wide), and with their
// margins, which grow with the box, within 4. Targets follow a box
// only when it leaves the dead zone (u * XFreeZone, u * YFreeZone,
// u * WFreeZone source pixels), so two formats whose boxes differ by a pixel
// can hold targets up to one dead zone apart, plus the box tolerance.
void ExpectFramingsAgree(const PhotoRun& run) {
    ASSERT_FALSE(run.frames.empty());
    const int u = run.width % 176 == 0 ? run.width / 176 : run.width / 160;
    const int rawTolerance = 3, boxTolerance = 4;
    const int dx = u * (16 + boxTolerance), dy = u * (20 + boxTolerance), dw = u * (8 + 2 * boxTolerance);
    int compared = 0, widestRaw = 0, widestBox = 0, widestTarget = 0;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        const int f = run.frames[i];
        bool settled = false;
        for (int stop : kStillPhases) settled = settled || (f >= stop + 30 && f < stop + kStill);
        if (!settled) continue;
        ++compared;
        SCOPED_TRACE("frame " + std::to_string(f));
        const auto& face = run.face[i];
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE(Name(kTypes[k]));
            const Detection& d = run.found[k][i];
            // Framed, not the whole picture, and the face inside the framing.
            ASSERT_LT(d.targetWidth, run.width * 3 / 4);
            const int targetHeight = d.targetWidth * run.height / run.width;
            EXPECT_LE(d.targetX, face[0]);
            EXPECT_LE(d.targetY, face[1] + u);
            EXPECT_GE(d.targetX + d.targetWidth, face[2] - u);
            EXPECT_GE(d.targetY + targetHeight, face[3] - 2 * u);
            for (int j = 0; j < k; ++j) {
                const Detection& e = run.found[j][i];
                SCOPED_TRACE(std::string("against ") + Name(kTypes[j]));
                const auto spread = [](const Box& a, const Box& b) {
                    return std::max({std::abs(a.x0 - b.x0), std::abs(a.y0 - b.y0), std::abs(a.x1 - b.x1),
                                     std::abs(a.y1 - b.y1)});
                };
                widestRaw = std::max(widestRaw, spread(d.raw, e.raw));
                widestBox = std::max(widestBox, spread(d.combined, e.combined));
                widestTarget = std::max({widestTarget, std::abs(d.targetX - e.targetX),
                                         std::abs(d.targetY - e.targetY), std::abs(d.targetWidth - e.targetWidth)});
                EXPECT_LE(spread(d.raw, e.raw), rawTolerance);
                EXPECT_LE(spread(d.combined, e.combined), boxTolerance);
                EXPECT_LE(std::abs(d.targetX - e.targetX), dx);
                EXPECT_LE(std::abs(d.targetY - e.targetY), dy);
                EXPECT_LE(std::abs(d.targetWidth - e.targetWidth), dw);
            }
        }
    }
    EXPECT_GE(compared, 30);
    std::printf("[ figures  ] %dx%d: %d settled detections; face boxes apart by at most %d analysis pixels, with "
                "margins %d, targets by %d source pixels\n",
                run.width, run.height, compared, widestRaw, widestBox, widestTarget);
}

TEST_F(VpeTest, PhotographedFaceIsFramedAlikeInTheThreeFormats) {
    // The camera's VGA picture (u = 4) and CIF (u = 2).
    const struct {
        int width, height;
        double faceScale;
    } cases[] = {{640, 480, 1.0}, {352, 288, 1.0}, {320, 240, 0.8}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.width) + "x" + std::to_string(k.height) + " face " + std::to_string(k.faceScale));
        const PhotoRun run = TrackPhotoScene(k.width, k.height, k.faceScale, [&] { return NewContext(); });
        ExpectFramingsAgree(run);
    }
}

// Identical YUY2 and I420 content (the YUY2 line pairs share the I420
// chroma, as the vpe command makes them from a video file) gives the
// library identical analysis pictures, so the tracking is the same to the
// bit, not just alike.
TEST_F(VpeTest, I420AndYuy2OfOneVideoTrackIdentically) {
    const int w = 640, h = 480;
    const PhotoScene scene(w, h, 1.0);
    ASSERT_TRUE(scene.ok()) << "the photographs in " << kPhotos << " are missing: run scripts/deps.sh";
    struct State {
        VPE_FRAMING framing;
        TrackState track;
        std::vector<uint8_t> smoothed;
    };
    std::vector<State> states[2];
    for (int k = 0; k < 2; ++k) {
        const int mt = k == 0 ? MT_I420 : MT_YUY2, pitch = k == 0 ? w : 2 * w;
        ASSERT_EQ(vpeInit(nullptr, nullptr, testing::CountingAlloc, testing::CountingFree, VPE_VERSION), VPE_SUCCESS);
        PVPE_CONTEXT c = NewContext();
        ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
        vpeSetAttrib(c, VPE_ATTR_PIP, 0);
        std::vector<uint8_t> bgr, i420(size_t(w) * h * 3 / 2), yuy2(size_t(w) * h * 2), dst(yuy2.size());
        const uint8_t* u = i420.data() + size_t(w) * h;
        const uint8_t* v = u + size_t(w / 2) * (h / 2);
        for (int f = 0; f < 2 * kMove + kStill; ++f) {
            int box[4];
            scene.Render(f, bgr, box);
            ASSERT_EQ(ConvertRgb24ToI420(i420.data(), bgr.data(), w, h, 3 * w), IMG_SUCCESS);
            for (int y = 0; k == 1 && y < h; ++y) {
                for (int x = 0; x < w / 2; ++x) {
                    uint8_t* out = &yuy2[size_t(y) * 2 * w + 4 * size_t(x)];
                    const size_t chroma = size_t(y / 2) * (w / 2) + size_t(x);
                    out[0] = i420[size_t(y) * w + 2 * size_t(x)];
                    out[1] = u[chroma];
                    out[2] = i420[size_t(y) * w + 2 * size_t(x) + 1];
                    out[3] = v[chroma];
                }
            }
            ASSERT_EQ(vpeFtk(c, dst.data(), w, h, pitch, k == 0 ? i420.data() : yuy2.data(), w, h, pitch, nullptr, mt,
                             uint32_t(f * 100 / 3)),
                      VPE_SUCCESS);
            State s{{}, c->track, std::vector<uint8_t>(c->smoothed, c->smoothed + size_t(160) * 120 * 3 / 2)};
            vpeGetFraming(c, &s.framing);
            states[k].push_back(std::move(s));
        }
    }
    ASSERT_EQ(states[0].size(), states[1].size());
    for (size_t f = 0; f < states[0].size(); ++f) {
        SCOPED_TRACE(f);
        ASSERT_EQ(states[0][f].smoothed, states[1][f].smoothed);
        ASSERT_EQ(std::memcmp(&states[0][f].track, &states[1][f].track, sizeof(TrackState)), 0);
        ASSERT_EQ(std::memcmp(&states[0][f].framing, &states[1][f].framing, sizeof(VPE_FRAMING)), 0);
    }
    EXPECT_LT(states[0].back().framing.width, w << 16);  // the face was framed
}

}  // namespace
}  // namespace qk::vpe
