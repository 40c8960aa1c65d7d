// The capture filter's controls as a kernel-streaming client reaches them:
// every row of the control table on both camera variants (offered or not,
// ranges from the basic-support query, a value set and read back and what
// the camera was sent), the busy answers of the effects controls, and the
// fixed items of the VideoControl, VideoCompression and camera-extras sets.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "capture/k0340_props.h"
#include "capture/k0340dev.h"
#include "capture/tests/capture_fixture.h"
#include "sim/camera/controls.h"
#include "sim/camera/uvc.h"

namespace k0340::testing {
namespace {

using qk::sim::Unit;

const GUID& kProcAmp = PROPSETID_VIDCAP_VIDEOPROCAMP;
const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
const GUID& kVideoControl = PROPSETID_VIDCAP_VIDEOCONTROL;
const GUID& kSetA = PROPSETID_K0340_CAMERA;
const GUID& kSetB = PROPSETID_K0340_TRACKING;
const GUID& kSetC = PROPSETID_K0340_FOCUS;

enum class Kind { P40, P36, Q36, Mode };

// A row of the control table with what the shipping camera does with it.
struct Row {
    const char* name;
    const GUID* set;
    ULONG id;
    Kind kind;
    bool offered;
    // For ranges the basic-support answer; min == max == 0 for lists.
    LONG minimum, maximum, step, defaultValue;
    LONG value;  // a valid manual value to set (ignored when not settable)
    // What the camera holds afterwards, where it holds anything.
    Unit unit;
    UCHAR selector;  // 0: nothing to check on the camera
    LONG cameraValue;
};

const Row kRows[] = {
    {"brightness", &kProcAmp, 0, Kind::P40, true, -64, 64, 1, 0, 10, Unit::ProcessingUnit, 0x02, 10},
    {"contrast", &kProcAmp, 1, Kind::P40, true, 0, 64, 1, 32, 40, Unit::ProcessingUnit, 0x03, 40},
    {"hue", &kProcAmp, 2, Kind::P40, true, -40, 40, 1, 0, -5, Unit::ProcessingUnit, 0x06, -5},
    {"saturation", &kProcAmp, 3, Kind::P40, true, 0, 4, 1, 1, 3, Unit::ProcessingUnit, 0x07, 6},
    {"sharpness", &kProcAmp, 4, Kind::P40, true, 0, 7, 1, 3, 5, Unit::ProcessingUnit, 0x08, 5},
    {"gamma", &kProcAmp, 5, Kind::P40, true, 20, 250, 10, 100, 120, Unit::ProcessingUnit, 0x09, 120},
    {"color enable", &kProcAmp, 6, Kind::P40, false},
    {"white balance", &kProcAmp, 7, Kind::P40, true, 2800, 6500, 10, 4650, 5000, Unit::ProcessingUnit, 0x0A, 5000},
    {"backlight", &kProcAmp, 8, Kind::P40, true, 0, 2, 1, 0, 1, Unit::ProcessingUnit, 0x01, 1},
    {"white balance preset", &kSetA, 258, Kind::Q36, true, 0, 0, 0, 0, 2, Unit::ProcessingUnit, 0x0A, 2800},
    {"power line", &kSetA, 259, Kind::Q36, true, 0, 0, 0, 0, 3, Unit::ProcessingUnit, 0x05, 2},
    {"pan", &kCamera, 0, Kind::P40, true, -50, 50, 1, 0, 20},
    {"tilt", &kCamera, 1, Kind::P40, true, -50, 50, 1, 0, -20},
    {"pan-tilt", &kCamera, 9, Kind::P40, false},
    {"zoom", &kCamera, 3, Kind::P40, true, 50, 100, 1, 50, 70},
    {"exposure", &kCamera, 4, Kind::P40, true, -6, -2, 1, -5, -4, Unit::CameraTerminal, 0x04, 600},
    {"mirror", &kVideoControl, 3, Kind::Mode, true, 0, 1, 1, 0, 3, Unit::ExtensionUnit, 0x01, 3},
    {"gain", &kProcAmp, 9, Kind::P40, true, 0, 100, 1, 0, 50, Unit::ProcessingUnit, 0x04, 50},
    {"iris", &kCamera, 5, Kind::P40, false},
    {"focus", &kCamera, 6, Kind::P40, true, 0, 250, 5, 70, 100, Unit::CameraTerminal, 0x06, 100},
    {"tracking reserved 1", &kSetB, 1, Kind::P36, false},
    {"tracking mode", &kSetB, 2, Kind::P36, true, 0, 0, 0, 0, 1},
    {"tracking speed", &kSetB, 3, Kind::P36, true, 0, 0, 0, 0, 2},
    {"picture-in-picture", &kSetB, 4, Kind::P36, true, 0, 0, 0, 0, 1},
    {"tracking reserved 5", &kSetB, 5, Kind::P36, false},
    {"tracking reserved 6", &kSetB, 6, Kind::P36, false},
    {"tracking reserved 7", &kSetB, 7, Kind::P36, false},
    {"privacy", &kCamera, 8, Kind::P40, true, 0, 1, 1, 0, 1},
    {"focus area", &kSetC, 258, Kind::Q36, true, 0, 0, 0, 0, 5, Unit::ExtensionUnit, 0x02, 0},
    {"focus windows", &kSetC, 259, Kind::Q36, true, 1, 16, 1, 6, 9},
    {"focus scale", &kSetC, 260, Kind::Q36, true, 1, 100, 1, 2, 40},
    {"third focus parameter", &kSetC, 261, Kind::Q36, true, 1, 255, 1, 8, 12},
};

ControlAnswer Get(HANDLE h, const Row& r) {
    switch (r.kind) {
        case Kind::P40: return GetP(h, *r.set, r.id, 40);
        case Kind::P36: return GetP(h, *r.set, r.id, 36);
        case Kind::Q36: return GetQ(h, *r.set, r.id);
        case Kind::Mode: {
            ControlAnswer a = GetP(h, *r.set, r.id, 32);
            return {a.status, a.flags, a.flags, 0};  // the mode word is at 28
        }
    }
    return {};
}

NTSTATUS Set(HANDLE h, const Row& r, LONG value, LONG flags = 2) {
    switch (r.kind) {
        case Kind::P40: return SetP(h, *r.set, r.id, value, flags, 40);
        case Kind::P36: return SetP(h, *r.set, r.id, value, flags, 36);
        case Kind::Q36: return SetQ(h, *r.set, r.id, value, flags);
        case Kind::Mode: return SetP(h, *r.set, r.id, 0, value, 32);  // StreamIndex 0, mode at 28
    }
    return STATUS_INVALID_PARAMETER;
}

class ControlsTest : public CaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(ControlsTest, EveryRowOfTheControlTableAsTheCameraOffersIt) {
    qk::sim::CameraConfig config;
    config.variant = GetParam();
    PlugCamera(config);
    auto filter = OpenFilter();
    ASSERT_NE(filter, nullptr);
    HANDLE h = filter->Handle();
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        Support support = BasicSupport(h, *r.set, r.id);
        if (!r.offered) {
            EXPECT_FALSE(NT_SUCCESS(support.status)) << "a row the camera lacks has no item";
            EXPECT_FALSE(NT_SUCCESS(Get(h, r).status));
            continue;
        }
        ASSERT_EQ(support.status, STATUS_SUCCESS);
        EXPECT_EQ(support.access & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
        if (r.step != 0) {
            EXPECT_TRUE(support.ranged);
            EXPECT_EQ(support.minimum, r.minimum);
            EXPECT_EQ(support.maximum, r.maximum);
            EXPECT_EQ(support.step, r.step);
            EXPECT_EQ(support.defaultValue, r.defaultValue);
        } else {
            EXPECT_FALSE(support.ranged) << "lists carry no range";
        }
        ASSERT_EQ(Set(h, r, r.value), STATUS_SUCCESS);
        ControlAnswer got = Get(h, r);
        EXPECT_TRUE(got.status == STATUS_SUCCESS || got.status == STATUS_DEVICE_BUSY) << std::hex << got.status;
        EXPECT_EQ(got.value, r.value);
        if (r.selector != 0) {
            EXPECT_EQ(camera_->ControlValue(r.unit, r.selector), r.cameraValue);
        }
        // Off the range, or off its grid: refused before the camera hears of it.
        if (r.step != 0 && r.kind != Kind::Mode) {
            EXPECT_EQ(Set(h, r, r.maximum + r.step), STATUS_UNSUCCESSFUL);
            if (r.step > 1) {
                EXPECT_EQ(Set(h, r, r.minimum + 1), STATUS_UNSUCCESSFUL);
            }
            EXPECT_EQ(Get(h, r).value, r.value);
        }
        // Tracking changes what the other effects controls answer: back off.
        if (r.set == &kSetB && r.id == KSPROPERTY_K0340_TRACKING_MODE) {
            ASSERT_EQ(Set(h, r, 0), STATUS_SUCCESS);
        }
    }
    // The registers behind the focus rows, and the camera variant (read only).
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterFocusWindows), 9);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterFocusScale), 40);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterFocusThird), 12);
    ControlAnswer variant = GetQ(h, kSetC, KSPROPERTY_K0340_CAMERA_VARIANT);
    EXPECT_EQ(variant.status, STATUS_SUCCESS);
    EXPECT_EQ(variant.value, GetParam() == 2 ? 1 : 0);
    EXPECT_FALSE(NT_SUCCESS(SetQ(h, kSetC, KSPROPERTY_K0340_CAMERA_VARIANT, 1)));
}

INSTANTIATE_TEST_SUITE_P(BothVariants, ControlsTest, ::testing::Values(1, 2));

class ControlBehaviourTest : public CaptureTest {
protected:
    HANDLE Plug(qk::sim::CameraConfig config = {}) {
        PlugCamera(config);
        filter_ = OpenFilter();
        return filter_ ? filter_->Handle() : nullptr;
    }
    void TearDown() override {
        filter_.reset();  // closed before the machine goes
        CaptureTest::TearDown();
    }
    std::unique_ptr<qk::ks::client::Filter> filter_;
};

TEST_F(ControlBehaviourTest, AutomaticModesAndTheirManualValues) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    // Flags 1 skips the range check: the camera refuses the value instead.
    EXPECT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 1000, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 1000, 2), STATUS_UNSUCCESSFUL);
    // White balance: automatic, then a manual temperature no preset names.
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x0B), 1);
    EXPECT_EQ(GetQ(h, kSetA, KSPROPERTY_K0340_WHITEBALANCE_PRESET).value, 0);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 5000, 2), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x0B), 0);
    EXPECT_FALSE(NT_SUCCESS(GetQ(h, kSetA, KSPROPERTY_K0340_WHITEBALANCE_PRESET).status));
    ASSERT_EQ(SetQ(h, kSetA, KSPROPERTY_K0340_WHITEBALANCE_PRESET, 1), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x0A), 4650);
    EXPECT_EQ(GetQ(h, kSetA, KSPROPERTY_K0340_WHITEBALANCE_PRESET).value, 1);
    EXPECT_EQ(GetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).flags, 2);
    // Exposure: the mode bits the camera supports, the time in 100 us units.
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, -3, 2), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x02), 0x01);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x04), 1200);
    ControlAnswer exposure = GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE);
    EXPECT_EQ(exposure.value, -3);
    EXPECT_EQ(exposure.flags, 2);
    EXPECT_EQ(exposure.capabilities, 3);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x02), 0x08);
    EXPECT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, -3, 3), STATUS_NOT_SUPPORTED);
    // Focus: automatic on the camera's own switch.
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_FOCUS, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x08), 1);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_FOCUS, 35, 2), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x08), 0);
    EXPECT_EQ(GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_FOCUS).value, 35);
    // Focus area 0 is in the list but no area: the camera is not asked.
    EXPECT_EQ(SetQ(h, kSetC, KSPROPERTY_K0340_FOCUS_AREA, 0), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(SetQ(h, kSetC, KSPROPERTY_K0340_FOCUS_AREA, 3), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ControlValue(Unit::ExtensionUnit, 0x02), 3);
}

TEST_F(ControlBehaviourTest, ExposureAndSaturationMappings) {
    EXPECT_EQ(ExposureCameraFromValue(-1), 100) << "half a second goes out as 10 ms";
    EXPECT_EQ(ExposureCameraFromValue(-6), 100);
    EXPECT_EQ(ExposureCameraFromValue(-2), 2000);
    struct {
        LONG camera, property;
    } const cases[] = {{5, -6}, {100, -6}, {150, -6}, {151, -5}, {300, -5}, {350, -5}, {351, -4},
                       {650, -4}, {700, -3}, {1200, -3}, {1250, -3}, {1251, -2}, {2400, -2}, {9999, -2}};
    for (auto c : cases) EXPECT_EQ(ExposureValueFromCamera(c.camera), c.property) << c.camera;

    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    // The camera starts at level 4, which the property shows as 1.
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x07), 4);
    EXPECT_EQ(GetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION).value, 1);
}

TEST_F(ControlBehaviourTest, EffectsControlsAnswerBusyAsTrackingDecides) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    // Tracking off: speed and picture-in-picture are busy, an unchanged value changes nothing.
    ControlAnswer speed = GetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 36);
    EXPECT_EQ(speed.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(speed.value, 1);
    EXPECT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 1, 2, 36), STATUS_DEVICE_BUSY);
    EXPECT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 2, 2, 36), STATUS_SUCCESS);
    EXPECT_EQ(GetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 36).value, 2);
    // Manual zoom, pan and tilt, remembered while tracking runs.
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 80, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_PAN, -30, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_MODE, 1, 2, 36), STATUS_SUCCESS);
    ControlAnswer zoom = GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM);
    EXPECT_EQ(zoom.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(zoom.value, 50) << "tracking frames the picture itself";
    EXPECT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_PAN, 10, 2), STATUS_DEVICE_BUSY);
    EXPECT_EQ(GetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 36).status, STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_MODE, 0, 2, 36), STATUS_SUCCESS);
    EXPECT_EQ(GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM).value, 80);
    EXPECT_EQ(GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_PAN).value, -30);
    // The driver's own controls are checked even when a client says automatic.
    EXPECT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 500, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_MODE, 7, 1, 36), STATUS_UNSUCCESSFUL);
}

TEST_F(ControlBehaviourTest, ACameraWithoutExtensionUnitOffersNoMirrorOrFocusRegisters) {
    qk::sim::CameraConfig config;
    config.extensionUnit = false;
    HANDLE h = Plug(config);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(NT_SUCCESS(BasicSupport(h, kVideoControl, KSPROPERTY_VIDEOCONTROL_MODE).status));
    for (ULONG id = KSPROPERTY_K0340_FOCUS_AREA; id <= KSPROPERTY_K0340_FOCUS_THIRD; ++id) {
        EXPECT_FALSE(NT_SUCCESS(BasicSupport(h, kSetC, id).status)) << id;
    }
    ControlAnswer caps = GetP(h, kVideoControl, KSPROPERTY_VIDEOCONTROL_CAPS, 32);
    EXPECT_EQ(caps.status, STATUS_SUCCESS);
    EXPECT_EQ(caps.flags, 0) << "no mirror offered";
    EXPECT_EQ(GetQ(h, kSetC, KSPROPERTY_K0340_CAMERA_VARIANT).status, STATUS_SUCCESS);
}

TEST_F(ControlBehaviourTest, FixedItemsAnswerWhateverTheCameraOffers) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    ControlAnswer caps = GetP(h, kVideoControl, KSPROPERTY_VIDEOCONTROL_CAPS, 32);
    EXPECT_EQ(caps.flags, KS_VideoControlFlag_FlipHorizontal | KS_VideoControlFlag_FlipVertical);
    // Frame rates of record 0 (YUY2 640x480, table A): size query, short buffer, the list.
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request{};
    request.Property.Set = kVideoControl;
    request.Property.Id = KSPROPERTY_VIDEOCONTROL_FRAME_RATES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.RangeIndex = 0;
    ULONG got = 0;
    EXPECT_EQ(qk::ks::client::Property(h, &request, sizeof request, nullptr, 0, &got), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, 8u + 6 * 8);
    uint8_t small[16];
    EXPECT_EQ(qk::ks::client::Property(h, &request, sizeof request, small, sizeof small, &got), STATUS_BUFFER_TOO_SMALL);
    std::vector<uint8_t> list(got);
    ASSERT_EQ(qk::ks::client::Property(h, &request, sizeof request, list.data(), got, &got), STATUS_SUCCESS);
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.data(), sizeof header);
    EXPECT_EQ(header.Count, 6u);
    EXPECT_EQ(header.Size, 48u);
    LONGLONG first, last;
    std::memcpy(&first, list.data() + 8, 8);
    std::memcpy(&last, list.data() + 8 + 5 * 8, 8);
    EXPECT_EQ(first, 2000000);
    EXPECT_EQ(last, 333333);
    request.RangeIndex = 13;  // one past table A
    EXPECT_EQ(qk::ks::client::Property(h, &request, sizeof request, list.data(), got, &got), STATUS_INVALID_PARAMETER);
    // The actual rate with no stream: the record's shortest interval.
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S actual{};
    actual.RangeIndex = 11;  // RGB24 1280x960: 5 and 7.5 fps
    ASSERT_EQ(qk::ks::client::StructProperty(h, kVideoControl, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
                                             KSPROPERTY_TYPE_GET, &actual, sizeof actual),
              STATUS_SUCCESS);
    EXPECT_EQ(actual.CurrentActualFrameRate, 1333333);
    EXPECT_EQ(actual.CurrentMaxAvailableFrameRate, 1333333);
    // No quality control; no still sizes without a stream format.
    uint8_t compression[48] = {};
    EXPECT_EQ(qk::ks::client::StructProperty(h, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 0, KSPROPERTY_TYPE_GET, compression,
                                             sizeof compression),
              STATUS_NOT_SUPPORTED);
    K0340_STILL_SIZES_S stills{};
    EXPECT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_STILL_SIZES, KSPROPERTY_TYPE_GET, &stills,
                                             sizeof stills),
              STATUS_NOT_SUPPORTED);
    // The status query: idle, the register block works, an unknown id.
    uint8_t query[K0340_STATUS_QUERY_BYTES + 4] = {};
    const ULONG ids[] = {K0340_QUERY_STREAMING, K0340_QUERY_IDLE, K0340_QUERY_REGISTERS_WORK, K0340_QUERY_REGISTERS_FAIL, 9};
    std::memcpy(query + 24, ids, sizeof ids);
    ASSERT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_STATUS_QUERY, KSPROPERTY_TYPE_GET, query,
                                             sizeof query),
              STATUS_SUCCESS);
    ULONG answers[5];
    std::memcpy(answers, query + 24, sizeof answers);
    EXPECT_EQ(answers[0], K0340_ANSWER_NO);
    EXPECT_EQ(answers[1], K0340_ANSWER_YES);
    EXPECT_EQ(answers[2], K0340_ANSWER_YES);
    EXPECT_EQ(answers[3], K0340_ANSWER_NO);
    EXPECT_EQ(answers[4], K0340_ANSWER_UNKNOWN);
    KSPROPERTY bare{};
    bare.Set = kSetA;
    bare.Id = KSPROPERTY_K0340_STATUS_QUERY;
    bare.Flags = KSPROPERTY_TYPE_GET;
    uint8_t padded[K0340_STATUS_QUERY_BYTES] = {};
    std::memcpy(padded, &bare, sizeof bare);
    EXPECT_EQ(qk::ks::client::Property(h, padded, sizeof padded, nullptr, 0, &got), STATUS_BUFFER_OVERFLOW);
}

TEST_F(ControlBehaviourTest, PropertySetsMoveThePrivacyModeOfTheCamera) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    camera_->SetPrivacySwitch(true);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 4, 2), STATUS_SUCCESS);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterCameraMode) & 0x81, 0x81);
    camera_->SetPrivacySwitch(false);
    K0340_STATUS_S status{};
    ASSERT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_STATUS, KSPROPERTY_TYPE_GET, &status,
                                             sizeof status),
              STATUS_SUCCESS);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterCameraMode) & 0x81, 0);
}

}  // namespace
}  // namespace k0340::testing
