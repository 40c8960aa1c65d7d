// Face tracking on the synthetic scene whose face box is known in every
// frame: the face moves, stops, leaves and returns.
#include <cstdio>
#include <cstring>

#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"
#include "sim/scene/scene.h"

namespace qk::vpe {
namespace {

using sim::FaceBox;
using sim::PixelFormat;
using sim::Scene;
using testing::VpeTest;

constexpr int kStops[] = {105, 385};  // the face comes to rest in the standard script
constexpr int kLeaves = 235;          // fully gone from the picture

struct Frame {
    FaceBox face;     // as displayed
    VPE_FRAMING framing;
};

// Runs the standard scene through vpeFtk at 30 frames per second.
std::vector<Frame> RunScene(VPE_CONTEXT* c, int width, int height, PixelFormat format, int frames) {
    const Scene scene(Scene::Standard());
    const int mediaType = format == PixelFormat::kYuy2 ? MT_YUY2 : format == PixelFormat::kI420 ? MT_I420 : MT_RGB24;
    const int pitch = mediaType == MT_RGB24 ? 3 * width : mediaType == MT_YUY2 ? 2 * width : width;
    std::vector<uint8_t> src(sim::FrameBytes(format, width, height, pitch)), dst(src.size());
    std::vector<Frame> out;
    for (int f = 0; f < frames; ++f) {
        Frame frame{scene.Render(f, width, height, format, src.data(), pitch), {}};
        EXPECT_EQ(vpeFtk(c, dst.data(), width, height, pitch, src.data(), width, height, pitch, nullptr, mediaType,
                         uint32_t(f * 100 / 3) & 0xFFFF),
                  VPE_SUCCESS);
        vpeGetFraming(c, &frame.framing);
        out.push_back(frame);
    }
    return out;
}

// The framing in display coordinates (pixels, doubles).
struct Rect {
    double x0, y0, x1, y1;
};
Rect Displayed(const VPE_FRAMING& f, int height, bool bottomUp) {
    Rect r{f.x / 65536.0, f.y / 65536.0, (double(f.x) + f.width) / 65536.0, (double(f.y) + f.height) / 65536.0};
    if (bottomUp) r = Rect{r.x0, height - r.y1, r.x1, height - r.y0};
    return r;
}

bool Inside(const Rect& f, int width, int height) {
    return f.x0 >= 0 && f.y0 >= 0 && f.x1 <= width + 1e-9 && f.y1 <= height + 1e-9;
}

// Does the framing hold the face with `fraction` of its margins (a third of
// its height above and below, a quarter of its width each side, within the
// picture), give or take `slack` pixels?
bool Holds(const Rect& f, const FaceBox& face, int width, int height, double fraction, double slack) {
    const double mx = face.Width() / 4.0 * fraction, my = face.Height() / 3.0 * fraction;
    const double x0 = std::max(0.0, face.x0 - mx), x1 = std::min(double(width), face.x1 + mx);
    const double y0 = std::max(0.0, face.y0 - my), y1 = std::min(double(height), face.y1 + my);
    return f.x0 <= x0 + slack && f.y0 <= y0 + slack && f.x1 >= x1 - slack && f.y1 >= y1 - slack;
}

// First frame from `from` on after which `ok` holds up to `until`; -1 if never.
template <typename Ok>
int SettlesAt(const std::vector<Frame>& frames, int from, int until, Ok ok) {
    int settled = -1;
    for (int f = from; f < until; ++f) {
        if (!ok(frames[size_t(f)])) settled = -1;
        else if (settled < 0) settled = f;
    }
    return settled;
}

TEST_F(VpeTest, ModeOneFollowsTheFaceAndReturnsToTheWholePicture) {
    const int w = 320, h = 240;
    PVPE_CONTEXT c = NewContext();
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_ACTIVE_TRACKING, 1);
    vpeSetAttrib(c, VPE_ATTR_VEL, 50);  // the driver's normal speed
    const auto frames = RunScene(c, w, h, PixelFormat::kYuy2, Scene::kStandardFrames);
    for (size_t f = 0; f < frames.size(); ++f) {
        ASSERT_TRUE(Inside(Displayed(frames[f].framing, h, false), w, h)) << "frame " << f;
    }
    // After each stop: the whole face within 2 s; its margins within the
    // dead zone (u * XFreeZone = 32, u * YFreeZone = 40 pixels) by then too.
    for (int stop : kStops) {
        SCOPED_TRACE(stop);
        const int until = stop == kStops[0] ? 195 : Scene::kStandardFrames;
        const int face = SettlesAt(frames, stop, until, [&](const Frame& fr) {
            return Holds(Displayed(fr.framing, h, false), fr.face, w, h, 0, 0);
        });
        const int margins = SettlesAt(frames, stop, until, [&](const Frame& fr) {
            return Holds(Displayed(fr.framing, h, false), fr.face, w, h, 1, 40);
        });
        const int still = SettlesAt(frames, stop, until, [&](const Frame& fr) {
            return std::abs(fr.framing.width - (fr.framing.targetWidth << 16)) < 65536 &&
                   std::abs(fr.framing.x - (fr.framing.targetX << 16)) < 65536;
        });
        std::printf("[ figures  ] mode 1, stop at %d: face held after %d frames, with margins after %d, framing at rest "
                    "after %d\n",
                    stop, face - stop, margins - stop, still - stop);
        ASSERT_GE(face, 0);
        ASSERT_GE(margins, 0);
        EXPECT_LE(face - stop, 60);
        EXPECT_LE(margins - stop, 60);
        // Framed: clearly narrower than the whole picture.
        EXPECT_LT(frames[size_t(until - 1)].framing.width, (w * 3 / 4) << 16);
    }
    // No face: back to exactly the whole picture.
    const int whole = SettlesAt(frames, kLeaves, 325, [&](const Frame& fr) {
        return fr.framing.x == 0 && fr.framing.y == 0 && fr.framing.width == w << 16 && fr.framing.height == h << 16;
    });
    std::printf("[ figures  ] mode 1: whole picture %d frames after the face left\n", whole - kLeaves);
    ASSERT_GE(whole, 0);
    EXPECT_LE(whole - kLeaves, 100);
}

TEST_F(VpeTest, ModeOneWithoutDeadZonesHoldsTheFullMargins) {
    // Dead zones of one analysis pixel: the framing then follows the face box
    // closely and must hold it with all its margins, give or take three
    // analysis pixels (u = 2): the inclusive box is one short, margins are
    // truncated, and the mask's edges fall on 2 x 2 chroma blocks.
    const int w = 320, h = 240;
    PVPE_CONTEXT c = NewContext();
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    for (int32_t id : {VPE_ATTR_X_FREE_ZONE, VPE_ATTR_Y_FREE_ZONE, VPE_ATTR_W_FREE_ZONE}) vpeSetAttrib(c, id, 1);
    const auto frames = RunScene(c, w, h, PixelFormat::kYuy2, 195);
    const int held = SettlesAt(frames, kStops[0], 195, [&](const Frame& fr) {
        return Holds(Displayed(fr.framing, h, false), fr.face, w, h, 1, 6);
    });
    std::printf("[ figures  ] mode 1, dead zones 1: face with full margins held %d frames after the stop\n",
                held - kStops[0]);
    ASSERT_GE(held, 0);
    EXPECT_LE(held - kStops[0], 60);
}

TEST_F(VpeTest, ModeTwoChangesTheTargetOnlyAfterTheSceneWasStill) {
    const int w = 320, h = 240;
    PVPE_CONTEXT c = NewContext();
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_ACTIVE_TRACKING, 0);
    const auto frames = RunScene(c, w, h, PixelFormat::kYuy2, Scene::kStandardFrames);
    const Scene scene(Scene::Standard());
    // Frames since the face last moved (its box in display pixels).
    auto stillFor = [&](int f) {
        int n = 0;
        const FaceBox now = scene.FaceAt(f, w, h);
        while (n < f) {
            const FaceBox before = scene.FaceAt(f - n - 1, w, h);
            if (before.x0 != now.x0 || before.y0 != now.y0 || before.x1 != now.x1 || before.y1 != now.y1) break;
            ++n;
        }
        return n;
    };
    int changes = 0, shortestStill = 1 << 30;
    for (size_t f = 1; f < frames.size(); ++f) {
        const VPE_FRAMING& a = frames[f - 1].framing;
        const VPE_FRAMING& b = frames[f].framing;
        if (a.targetX == b.targetX && a.targetY == b.targetY && a.targetWidth == b.targetWidth) continue;
        ++changes;
        shortestStill = std::min(shortestStill, stillFor(int(f)));
        ASSERT_GE(stillFor(int(f)), 12) << "the target changed at frame " << f << " while the face moved";
        ASSERT_TRUE(Inside(Displayed(b, h, false), w, h));
    }
    std::printf("[ figures  ] mode 2: %d target changes, each after at least %d still frames\n", changes,
                shortestStill);
    EXPECT_GE(changes, 3);  // framed at the start, after the stop, whole when gone, framed after the return
    const Frame& last = frames.back();
    EXPECT_TRUE(Holds(Displayed(last.framing, h, false), last.face, w, h, 0, 0));
    const Frame& gone = frames[324];
    EXPECT_EQ(gone.framing.targetWidth, w);
}

TEST_F(VpeTest, TrackingWorksOnBottomUpRgb24AndOnI420) {
    // 640 x 480 (u = 4), the first 200 frames: the face is framed after its
    // first stop, in display terms, whatever the storage order.
    for (PixelFormat format : {PixelFormat::kRgb24BottomUp, PixelFormat::kI420}) {
        const bool bottomUp = format == PixelFormat::kRgb24BottomUp;
        SCOPED_TRACE(bottomUp ? "RGB24 bottom-up" : "I420");
        const int w = 640, h = 480;
        PVPE_CONTEXT c = NewContext(VPE_FLIP_RGB24);
        ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
        vpeSetAttrib(c, VPE_ATTR_VEL, 200);
        vpeSetAttrib(c, VPE_ATTR_PIP, 0);
        const auto frames = RunScene(c, w, h, format, 190);
        for (const Frame& fr : frames) ASSERT_TRUE(Inside(Displayed(fr.framing, h, bottomUp), w, h));
        const Frame& last = frames.back();
        const Rect shown = Displayed(last.framing, h, bottomUp);
        EXPECT_TRUE(Holds(shown, last.face, w, h, 0, 0))
            << shown.x0 << "," << shown.y0 << " - " << shown.x1 << "," << shown.y1 << " face " << last.face.x0 << ","
            << last.face.y0 << " - " << last.face.x1 << "," << last.face.y1;
        EXPECT_LT(last.framing.width, (w * 3 / 4) << 16);
    }
}

// Between detections a YUY2 frame's analysis picture is made after the zoom;
// without the zoom it is made first, as on every other frame. Tracking must
// not tell the difference: the same framings, tracking state and smoothed
// picture after every frame, and the analysis picture of the frame itself.
TEST_F(VpeTest, Yuy2AnalysisAfterTheZoomTracksAsBeforeIt) {
    const int w = 320, h = 240, pitch = 2 * w;
    const Scene scene(Scene::Standard());
    std::vector<std::vector<uint8_t>> frames(120, std::vector<uint8_t>(size_t(pitch) * h));
    for (size_t f = 0; f < frames.size(); ++f) scene.Render(int(f), w, h, PixelFormat::kYuy2, frames[f].data(), pitch);
    for (int testFreq : {5, 1}) {
        SCOPED_TRACE(testFreq);
        struct State {
            VPE_FRAMING framing;
            TrackState track;
            std::vector<uint8_t> smoothed;
        };
        // Each context runs alone from a fresh frame-rate estimate, which the
        // library shares between contexts.
        const auto run = [&](int digZoom, std::vector<State>& states) {
            ASSERT_EQ(vpeInit(nullptr, nullptr, testing::CountingAlloc, testing::CountingFree, VPE_VERSION),
                      VPE_SUCCESS);
            PVPE_CONTEXT c = NewContext();
            ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
            vpeSetAttrib(c, VPE_ATTR_TEST_FREQ, testFreq);
            vpeSetAttrib(c, VPE_ATTR_DIG_ZOOM, digZoom);
            std::vector<uint8_t> dst(size_t(pitch) * h), analysis(size_t(w / 2) * (h / 2) * 3 / 2);
            for (size_t f = 0; f < frames.size(); ++f) {
                const uint8_t* src = frames[f].data();
                ASSERT_EQ(vpeFtk(c, dst.data(), w, h, pitch, src, w, h, pitch, nullptr, MT_YUY2, uint32_t(f * 33)),
                          VPE_SUCCESS);
                ASSERT_EQ(ResizeYuy2ToI420(analysis.data(), w / 2, h / 2, src, w, h, pitch), IMG_SUCCESS);
                ASSERT_EQ(std::memcmp(c->analysis, analysis.data(), analysis.size()), 0) << f;
                State state{{}, c->track, std::vector<uint8_t>(c->smoothed, c->smoothed + analysis.size())};
                vpeGetFraming(c, &state.framing);
                states.push_back(std::move(state));
            }
        };
        std::vector<State> zoomed, plain;
        run(1, zoomed);
        run(0, plain);
        ASSERT_EQ(zoomed.size(), plain.size());
        for (size_t f = 0; f < zoomed.size(); ++f) {
            SCOPED_TRACE(f);
            ASSERT_EQ(std::memcmp(&zoomed[f].framing, &plain[f].framing, sizeof(VPE_FRAMING)), 0);
            ASSERT_EQ(std::memcmp(&zoomed[f].track, &plain[f].track, sizeof(TrackState)), 0);
            ASSERT_EQ(zoomed[f].smoothed, plain[f].smoothed);
        }
        // The scene was followed: the framing narrowed.
        EXPECT_LT(zoomed.back().framing.width, w << 16);
    }
}

}  // namespace
}  // namespace qk::vpe
