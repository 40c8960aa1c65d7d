// vpeFtk as the capture pin calls it: argument checks, analysis sizes, the
// frame-rate estimate, the framing speed, pass-through and the overlay.
#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

size_t Bytes(int mediaType, int w, int h) {
    return mediaType == MT_RGB24 ? size_t(w) * h * 3 : mediaType == MT_YUY2 ? size_t(w) * h * 2 : size_t(w) * h * 3 / 2;
}
int Pitch(int mediaType, int w) { return mediaType == MT_RGB24 ? 3 * w : mediaType == MT_YUY2 ? 2 * w : w; }

TEST_F(VpeTest, FtkRefusesWhatItCannotProcess) {
    PVPE_CONTEXT c = NewContext();
    const int w = 320, h = 240;
    std::vector<uint8_t> src(Bytes(MT_YUY2, w, h), 128), dst(src.size(), 0);
    // Not started: every size differs from the (absent) stream's.
    EXPECT_EQ(vpeFtk(c, dst.data(), w, h, 2 * w, src.data(), w, h, 2 * w, nullptr, MT_YUY2, 0), VPE_SIZE_CHANGED);
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    struct Case {
        const char* name;
        PVPE_CONTEXT context;
        uint8_t* dst;
        int dstW, dstH, dstPitch;
        const uint8_t* src;
        int srcW, srcH, srcPitch, mediaType, result;
    };
    const Case cases[] = {
        {"null context", nullptr, dst.data(), w, h, 2 * w, src.data(), w, h, 2 * w, MT_YUY2, VPE_INVALID_PARAM},
        {"null source", c, dst.data(), w, h, 2 * w, nullptr, w, h, 2 * w, MT_YUY2, VPE_INVALID_PARAM},
        {"null destination", c, nullptr, w, h, 2 * w, src.data(), w, h, 2 * w, MT_YUY2, VPE_INVALID_PARAM},
        {"negative source width", c, dst.data(), w, h, 2 * w, src.data(), -w, h, 2 * w, MT_YUY2, VPE_INVALID_PARAM},
        {"negative destination width", c, dst.data(), -w, h, 2 * w, src.data(), w, h, 2 * w, MT_YUY2,
         VPE_INVALID_PARAM},
        {"other source width", c, dst.data(), w, h, 2 * w, src.data(), w - 2, h, 2 * w, MT_YUY2, VPE_SIZE_CHANGED},
        {"other source height", c, dst.data(), w, h, 2 * w, src.data(), w, h - 1, 2 * w, MT_YUY2, VPE_SIZE_CHANGED},
        {"unknown media type", c, dst.data(), w, h, 2 * w, src.data(), w, h, 2 * w, 103, VPE_UNKNOWN_MEDIA_TYPE},
        {"destination below the analysis size", c, dst.data(), 158, 120, 2 * w, src.data(), w, h, 2 * w, MT_YUY2,
         VPE_ANALYSIS_FAILED},
        {"short source pitch", c, dst.data(), w, h, 2 * w, src.data(), w, h, 2 * w - 2, MT_YUY2, VPE_INVALID_PARAM},
        {"short destination pitch", c, dst.data(), w, h, 2 * w - 2, src.data(), w, h, 2 * w, MT_YUY2,
         VPE_INVALID_PARAM},
        {"odd YUY2 destination", c, dst.data(), w - 1, h, 2 * w, src.data(), w, h, 2 * w, MT_YUY2, VPE_INVALID_PARAM},
        {"padded I420 source", c, dst.data(), w, h, w, src.data(), w, h, w + 2, MT_I420, IMG_PITCH_NOT_WIDTH},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(vpeFtk(k.context, k.dst, k.dstW, k.dstH, k.dstPitch, k.src, k.srcW, k.srcH, k.srcPitch, nullptr,
                         k.mediaType, 0),
                  k.result);
    }
    for (uint8_t b : dst) ASSERT_EQ(b, 0);  // nothing written by a refusal
}

TEST_F(VpeTest, TallRgb24AnalysisIsRefusedOtherTypesKeepTheirFraming) {
    const int w = 640, h = 600;  // factor 4: analysis 160 x 150
    for (int mediaType : {MT_RGB24, MT_I420, MT_YUY2}) {
        SCOPED_TRACE(mediaType);
        PVPE_CONTEXT c = NewContext();
        ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
        vpeSetAttrib(c, VPE_ATTR_TEST_FREQ, 0);  // detect on every frame
        std::vector<uint8_t> src(Bytes(mediaType, w, h), 128), dst(src.size(), 0);
        const int result = mediaType == MT_RGB24 ? VPE_ANALYSIS_TOO_LARGE : VPE_SUCCESS;
        for (int frame = 0; frame < 3; ++frame) {
            EXPECT_EQ(vpeFtk(c, dst.data(), w, h, Pitch(mediaType, w), src.data(), w, h, Pitch(mediaType, w), nullptr,
                             mediaType, uint32_t(33 * frame)),
                      result);
        }
        VPE_FRAMING f{};
        vpeGetFraming(c, &f);
        EXPECT_EQ(f.x, 0);
        EXPECT_EQ(f.width, w << 16);
        EXPECT_EQ(f.targetWidth, w);
        EXPECT_EQ(c->track.detectionCounter, 0);
    }
    // An analysis picture beyond the buffers is refused for every type.
    PVPE_CONTEXT c = NewContext();
    ASSERT_EQ(vpeFtkInit(c, 160, 200), VPE_SUCCESS);
    std::vector<uint8_t> src(Bytes(MT_I420, 160, 200), 1), dst(src.size());
    EXPECT_EQ(vpeFtk(c, dst.data(), 160, 200, 160, src.data(), 160, 200, 160, nullptr, MT_I420, 0),
              VPE_ANALYSIS_TOO_LARGE);
}

TEST_F(VpeTest, FrameRateIsEstimatedOverThirtyFramesAndSurvivesAWrap) {
    PVPE_CONTEXT c = NewContext();
    ASSERT_EQ(vpeFtkInit(c, 160, 120), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, VPE_VERBOSE_TRACKING);
    debug::Clear();
    // Each estimate spans the 31 frame intervals from one estimate frame to
    // the next: 40 ms apart gives 30000 / 1240 = 24.
    const uint32_t wrapSoon = 65536 - 300;
    uint32_t stamp = wrapSoon - 31 * 40;
    for (int i = 0; i < 32; ++i, stamp += 40) UpdateFrameRate(stamp);
    EXPECT_EQ(TheLibrary().fpsEstimate.load(), 24);
    EXPECT_TRUE(debug::Contains("VPE: Fps::24\n"));
    // A 16-bit stamp that wraps inside the next window keeps the estimate.
    stamp = wrapSoon + 20;
    for (int i = 0; i < 31; ++i, stamp = (stamp + 20) & 0xFFFF) UpdateFrameRate(stamp);
    EXPECT_EQ(TheLibrary().fpsEstimate.load(), 24);
    // So does a window longer than two seconds.
    for (int i = 0; i < 31; ++i) UpdateFrameRate(stamp += 100);
    EXPECT_EQ(TheLibrary().fpsEstimate.load(), 24);
    for (int i = 0; i < 31; ++i) UpdateFrameRate(stamp += 20);
    EXPECT_EQ(TheLibrary().fpsEstimate.load(), 48);
    ASSERT_EQ(vpeFtkInit(c, 160, 120), VPE_SUCCESS);
    EXPECT_EQ(TheLibrary().fpsEstimate.load(), 20);
}

// Framing speed: one frame of movement toward a target, without detection.
int32_t WidthStepAt(VPE_CONTEXT* c, int32_t vel, int32_t fps) {
    vpeSetAttrib(c, VPE_ATTR_VEL, vel);
    vpeFtkInit(c, 640, 480);
    c->track.targetX = 320;
    c->track.targetY = 240;
    c->track.targetWidth = 160;
    std::vector<uint8_t> picture(160 * 120 * 3 / 2, 0);
    EXPECT_EQ(ftkTrack(c, nullptr, picture.data(), 160, 120, fps), VPE_SUCCESS);
    EXPECT_EQ(c->track.detectionCounter, 1);
    return (640 << 16) - c->track.currentWidth;
}

TEST_F(VpeTest, FramingMovesVelTimesUOverTwoPixelsPerSecond) {
    PVPE_CONTEXT c = NewContext();
    // Vel 200, u = 4, whole picture shown: 400 source pixels a second, 13.33 a frame at 30.
    EXPECT_EQ(WidthStepAt(c, 200, 30), 2184 * 400);
    EXPECT_EQ(WidthStepAt(c, 200, 45), 2184 * 400);    // above 30 counts as 30
    EXPECT_EQ(WidthStepAt(c, 200, 0), 6553 * 400);     // 0 counts as 10
    EXPECT_EQ(WidthStepAt(c, 200, -3), 6553 * 400);
    EXPECT_EQ(WidthStepAt(c, 50, 30), 2184 * 100);
    EXPECT_EQ(WidthStepAt(c, -50, 30), 0);             // a negative speed holds the framing
    // Narrower framings move slower, toward half the speed.
    vpeSetAttrib(c, VPE_ATTR_VEL, 200);
    vpeFtkInit(c, 640, 480);
    c->track.currentWidth = 320 << 16;
    c->track.targetWidth = 640;
    std::vector<uint8_t> picture(160 * 120 * 3 / 2, 0);
    ftkTrack(c, nullptr, picture.data(), 160, 120, 30);
    EXPECT_EQ(c->track.currentWidth - (320 << 16), int32_t(MulQ16(2184 * 400, 32768 + 16384)));
    // A target within the step is reached at once.
    c->track.targetWidth = (c->track.currentWidth >> 16) + 1;
    c->track.targetX = c->track.currentX >> 16;
    c->track.targetY = c->track.currentY >> 16;
    ftkTrack(c, nullptr, picture.data(), 160, 120, 30);
    EXPECT_EQ(c->track.currentWidth, c->track.targetWidth << 16);
    EXPECT_EQ(c->track.currentHeight, int32_t(MulQ16(c->track.currentWidth, c->track.inverseAspectQ16)));
    EXPECT_EQ(ftkTrack(c, nullptr, nullptr, 160, 120, 30), VPE_INVALID_PARAM);
}

TEST_F(VpeTest, WithoutZoomTheSourcePassesUnchangedOrScaledToTheOutput) {
    PVPE_CONTEXT c = NewContext(0);
    const int w = 320, h = 240;
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_DIG_ZOOM, 0);
    vpeSetAttrib(c, VPE_ATTR_PIP, 0);
    for (int mediaType : {MT_RGB24, MT_I420, MT_YUY2}) {
        SCOPED_TRACE(mediaType);
        std::vector<uint8_t> src(Bytes(mediaType, w, h));
        for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 13 + i / 640);
        std::vector<uint8_t> dst(src.size(), 0);
        ASSERT_EQ(vpeFtk(c, dst.data(), w, h, Pitch(mediaType, w), src.data(), w, h, Pitch(mediaType, w), nullptr,
                         mediaType, 0),
                  VPE_SUCCESS);
        EXPECT_EQ(dst, src);
        // A smaller output (the pin captures 320 x 240 for a 160 x 120 stream)
        // gets the whole picture scaled, as the manual zoom of the whole box.
        const int ow = 160, oh = 120;
        std::vector<uint8_t> small(Bytes(mediaType, ow, oh), 0), want(small.size(), 0);
        ASSERT_EQ(vpeFtk(c, small.data(), ow, oh, Pitch(mediaType, ow), src.data(), w, h, Pitch(mediaType, w), nullptr,
                         mediaType, 0),
                  VPE_SUCCESS);
        ASSERT_EQ(vpeDigitalZoom(c, want.data(), ow, oh, Pitch(mediaType, ow), src.data(), w, h, Pitch(mediaType, w), 0,
                                 0, 10 * w, 10 * h, mediaType, 0),
                  VPE_SUCCESS);
        EXPECT_EQ(small, want);
    }
}

TEST_F(VpeTest, OverlayGoesOverTheFirstLinesAndIntoTheAuxBuffer) {
    PVPE_CONTEXT c = NewContext(0);
    const int w = 320, h = 240;
    ASSERT_EQ(vpeFtkInit(c, w, h), VPE_SUCCESS);
    vpeSetAttrib(c, VPE_ATTR_PIP, 0);
    std::vector<uint8_t> src(Bytes(MT_RGB24, w, h), 128), dst(src.size(), 0);
    std::vector<uint8_t> aux(160 * 120 * 3 + 8, 0xEE);
    ASSERT_EQ(vpeFtk(c, dst.data(), w, h, 3 * w, src.data(), w, h, 3 * w, aux.data(), MT_RGB24, 0), VPE_SUCCESS);
    for (size_t i = 160 * 120 * 3; i < aux.size(); ++i) EXPECT_EQ(aux[i], 0xEE);
    // Vis 0: black background; the guide line at 45 % of the width is black too.
    EXPECT_EQ(aux[3 * (10 * 160 + 5)], 0);
    // Vis 888: the overlay replaces the output's first lines.
    vpeSetAttrib(c, VPE_ATTR_VIS, VPE_VIS_DRAW_OUTPUT);
    ASSERT_EQ(vpeFtk(c, dst.data(), w, h, 3 * w, src.data(), w, h, 3 * w, nullptr, MT_RGB24, 33), VPE_SUCCESS);
    for (int y = 0; y < 120; ++y) {
        ASSERT_TRUE(std::equal(dst.begin() + y * 3 * w, dst.begin() + y * 3 * w + 3 * 160,
                               c->overlayRgb + y * 3 * 160));
    }
    EXPECT_GE(dst[200 * 3 * w + 3 * 200], 126);  // below the overlay: the zoomed picture
    // YUY2 gets no overlay at all.
    std::vector<uint8_t> yuy2(Bytes(MT_YUY2, w, h), 128), out(yuy2.size(), 0);
    std::fill(aux.begin(), aux.end(), 0xEE);
    ASSERT_EQ(vpeFtk(c, out.data(), w, h, 2 * w, yuy2.data(), w, h, 2 * w, aux.data(), MT_YUY2, 66), VPE_SUCCESS);
    for (uint8_t b : aux) ASSERT_EQ(b, 0xEE);
}

}  // namespace
}  // namespace qk::vpe
