// The effects stage in the driver: the zoom box the manual controls make, the
// manual zoom on delivered pictures, and the capture size that face tracking
// and zoom need (a small output captured larger, the stream restarted when
// that changes while it runs).
#include <gtest/gtest.h>

#include "capture/k0340_props.h"
#include "capture/k0340dev.h"
#include "capture/tests/capture_fixture.h"
#include "imaging/vpe/vpe.h"

namespace k0340::testing {
namespace {

const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
const GUID& kSetB = PROPSETID_K0340_TRACKING;

TEST(ZoomBox, FromZoomPanAndTilt) {
    struct {
        LONG zoom, pan, tilt;
        ULONG width, height;
        ZoomBox box;
    } const cases[] = {
        {50, 0, 0, 640, 480, {0, 0, 6400, 4800}},              // no zoom: the whole picture
        {75, 0, 0, 640, 480, {800, 600, 4800, 3600}},          // 480 x 360 pixels, centred
        {100, 50, -50, 640, 480, {3200, 2400, 3200, 2400}},    // the bottom-right quarter
        {100, -50, 50, 640, 480, {0, 0, 3200, 2400}},          // the top-left quarter
        {60, 25, 10, 352, 288, {264, 115, 3168, 2592}},
        {100, 0, 0, 1600, 1200, {4000, 3000, 8000, 6000}},
    };
    for (const auto& c : cases) {
        ZoomBox b = ManualZoomBox(c.zoom, c.pan, c.tilt, c.width, c.height);
        SCOPED_TRACE(::testing::Message() << c.zoom << " " << c.pan << " " << c.tilt << " " << c.width);
        EXPECT_EQ(b.x, c.box.x);
        EXPECT_EQ(b.y, c.box.y);
        EXPECT_EQ(b.width, c.box.width);
        EXPECT_EQ(b.height, c.box.height);
    }
}

class EffectsStreamTest : public CaptureTest {
protected:
    void TearDown() override {
        stream_.reset();
        filter_.reset();
        CaptureTest::TearDown();
    }
    void Plug() {
        PlugCamera();
        filter_ = OpenFilter();
        ASSERT_NE(filter_, nullptr);
    }
    // The last delivered picture after `count` more deliveries.
    Sample Next(size_t count = 3) { return stream_->NextDelivered(count); }
    // The size of the frames the camera sends now.
    std::pair<int, int> CameraFrameSize() {
        auto sent = camera_->SentFrames();
        return sent.empty() ? std::pair{0, 0} : std::pair{sent.back().width, sent.back().height};
    }
    std::unique_ptr<qk::ks::client::Filter> filter_;
    std::unique_ptr<LiveStream> stream_;
};

TEST_F(EffectsStreamTest, TheManualZoomShowsItsBoxOfThePicture) {
    Plug();
    auto format = Format(*filter_, kFormatYuy2, 640, 480, 30);
    stream_ = LiveStream::Start(*filter_, format);
    ASSERT_NE(stream_, nullptr);
    Sample whole = Next();
    ASSERT_EQ(whole.data.size(), 640u * 480 * 2);
    ASSERT_EQ(SetP(filter_->Handle(), kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 75, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(filter_->Handle(), kCamera, KSPROPERTY_CAMERACONTROL_PAN, 20, 2), STATUS_SUCCESS);
    Sample zoomed = Next(4);
    ASSERT_EQ(zoomed.data.size(), whole.data.size());
    // The same zoom of the unzoomed picture, made here with the library's own routine.
    ZoomBox box = ManualZoomBox(75, 20, 0, 640, 480);
    std::vector<uint8_t> expected(whole.data.size());
    ASSERT_EQ(ftkZoomYuy2(expected.data(), 640, 480, 1280, whole.data.data(), 640, 480, 1280,
                          static_cast<int32_t>(int64_t{box.x} * 65536 / 10), static_cast<int32_t>(int64_t{box.y} * 65536 / 10),
                          static_cast<int32_t>(int64_t{box.width} * 65536 / 10),
                          static_cast<int32_t>(int64_t{box.height} * 65536 / 10)),
              0);
    double asZoomed = Psnr(expected, zoomed.data.data(), zoomed.data.size());
    EXPECT_GT(asZoomed, 45.0);
    // The pattern is smooth, so the unzoomed picture is not far off either; the zoom is much nearer.
    EXPECT_GT(asZoomed, Psnr(whole.data, zoomed.data.data(), zoomed.data.size()) + 10.0);
    // The camera was not asked for another size: 640x480 is captured as it is.
    EXPECT_EQ(CameraFrameSize(), (std::pair{640, 480}));
}

TEST_F(EffectsStreamTest, SmallOutputsAreCapturedLargerWhileTrackingOrZoomNeedIt) {
    Plug();
    // Zoom 50 and tracking off: a 160x120 stream captures 160x120.
    auto small = Format(*filter_, kFormatYuy2, 160, 120, 30);
    stream_ = LiveStream::Start(*filter_, small);
    ASSERT_NE(stream_, nullptr);
    ASSERT_EQ(Next().data.size(), 160u * 120 * 2);
    EXPECT_EQ(CameraFrameSize(), (std::pair{160, 120}));
    stream_.reset();
    // Tracking on before the stream: the camera sends 320x240, the sample stays 160x120.
    ASSERT_EQ(SetP(filter_->Handle(), kSetB, KSPROPERTY_K0340_TRACKING_MODE, 1, 2, 36), STATUS_SUCCESS);
    stream_ = LiveStream::Start(*filter_, small);
    ASSERT_NE(stream_, nullptr);
    EXPECT_EQ(Next().data.size(), 160u * 120 * 2);
    EXPECT_EQ(CameraFrameSize(), (std::pair{320, 240}));
    stream_.reset();
    ASSERT_EQ(SetP(filter_->Handle(), kSetB, KSPROPERTY_K0340_TRACKING_MODE, 0, 2, 36), STATUS_SUCCESS);

    // While a 320x240 stream runs, a zoom asks for 640x480 and back: the
    // driver restarts the stream itself and the samples keep coming.
    auto medium = Format(*filter_, kFormatRgb24, 320, 240, 30);
    stream_ = LiveStream::Start(*filter_, medium);
    ASSERT_NE(stream_, nullptr);
    Sample before = Next();
    ASSERT_EQ(before.data.size(), 320u * 240 * 3);
    EXPECT_EQ(CameraFrameSize(), (std::pair{320, 240}));
    ASSERT_EQ(SetP(filter_->Handle(), kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 60, 2), STATUS_SUCCESS);
    Sample during = Next(4);
    EXPECT_EQ(during.data.size(), 320u * 240 * 3);
    EXPECT_EQ(CameraFrameSize(), (std::pair{640, 480}));
    ASSERT_EQ(SetP(filter_->Handle(), kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 50, 2), STATUS_SUCCESS);
    Sample after = Next(4);
    EXPECT_EQ(CameraFrameSize(), (std::pair{320, 240}));
    // Back at zoom 50 the picture is the one from before the zoom.
    EXPECT_GT(Psnr(before.data, after.data.data(), after.data.size()), 40.0);
    Sample pattern{STATUS_SUCCESS, {}, {}, after.data};
    EXPECT_GT(Psnr(PatternSource::Expected(320, 240), AsTopDownBgr(pattern, kFormatRgb24, 320, 240).data(), 320u * 240 * 3),
              26.0);
}

}  // namespace
}  // namespace k0340::testing
