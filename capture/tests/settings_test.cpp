// Settings the capture driver keeps in the registry, across a restart of the
// machine: the picture settings and face tracking in the camera's driver key
// (all 18 picture values or none), the privacy value, the parental-lock flag
// under the product key and the console's check value under its 32-bit view.
#include <gtest/gtest.h>

#include "capture/k0340_props.h"
#include "capture/k0340dev.h"
#include "capture/tests/capture_fixture.h"
#include "platform/nt/debug.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/usb/usb_bus.h"
#include "sim/camera/controls.h"

namespace k0340::testing {
namespace {

using qk::sim::Unit;

const GUID& kProcAmp = PROPSETID_VIDCAP_VIDEOPROCAMP;
const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
const GUID& kSetA = PROPSETID_K0340_CAMERA;
const GUID& kSetB = PROPSETID_K0340_TRACKING;
const GUID& kSetC = PROPSETID_K0340_FOCUS;

constexpr char16_t kVideoProcAmp[] = u"Settings\\VideoProcAmp";
constexpr char16_t kCameraControl[] = u"Settings\\CameraControl";
constexpr char16_t kVpe[] = u"Settings\\VPE";
constexpr char16_t kProductKey[] = u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\QK0340";
constexpr char16_t kConsoleKey[] = u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340\\Console";

std::optional<ULONG> ReadDword(const std::u16string& path, const std::u16string& name) {
    HANDLE key;
    if (!NT_SUCCESS(qk::nt::reg::OpenPath(path, KEY_READ, &key))) return std::nullopt;
    auto value = qk::nt::reg::QueryDword(key, name);
    ZwClose(key);
    return value;
}

class SettingsTest : public CaptureTest {
protected:
    HANDLE Plug() {
        filter_.reset();
        int port = PlugCamera();
        port_ = port;
        filter_ = OpenFilter();
        return filter_ ? filter_->Handle() : nullptr;
    }
    void Unplug() {
        filter_.reset();
        CaptureTest::Unplug(port_);
        qk::nt::pnp::WaitIdle();
    }
    void TearDown() override {
        filter_.reset();
        CaptureTest::TearDown();
    }
    std::unique_ptr<qk::ks::client::Filter> filter_;
    int port_ = -1;
};

TEST_F(SettingsTest, PictureAndTrackingSettingsSurviveARestart) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 20, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, 3, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_GAMMA, 150, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 3000, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_FOCUS, 100, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetQ(h, kSetA, KSPROPERTY_K0340_POWERLINE, 3), STATUS_SUCCESS);
    ASSERT_EQ(SetQ(h, kSetC, KSPROPERTY_K0340_FOCUS_SCALE, 55), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM, 90, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 0, 2, 36), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kCamera, KSPROPERTY_CAMERACONTROL_PRIVACY, 1, 2), STATUS_SUCCESS);
    // Stored as the camera means them: the saturation as its level.
    EXPECT_EQ(DeviceValue(kVideoProcAmp, u"Saturation"), 6u);
    EXPECT_EQ(DeviceValue(kCameraControl, u"PowerlineFreq"), 3u);
    EXPECT_EQ(DeviceValue(kVpe, u"Zoom"), 90u);
    EXPECT_EQ(DeviceValue(nullptr, u"Privacy"), 1u);
    Unplug();

    Reboot();
    h = Plug();
    ASSERT_NE(h, nullptr);
    // The camera powered up with its own defaults; the driver gave it the stored ones.
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x02), 20);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x07), 6);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x09), 150);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x0B), 0) << "white balance stays manual";
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x0A), 3000);
    EXPECT_EQ(camera_->ControlValue(Unit::CameraTerminal, 0x06), 100);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x05), 2);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterFocusScale), 55);
    EXPECT_EQ(GetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION).value, 3);
    EXPECT_EQ(GetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).flags, 2);
    EXPECT_EQ(GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_ZOOM).value, 90);
    EXPECT_EQ(GetP(h, kSetB, KSPROPERTY_K0340_TRACKING_SPEED, 36).value, 0);
    EXPECT_EQ(GetP(h, kCamera, KSPROPERTY_CAMERACONTROL_PRIVACY).value, 1);
}

TEST_F(SettingsTest, ADeviceKeyWithSeventeenOfTheEighteenValuesLoadsNone) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -30, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetQ(h, kSetC, KSPROPERTY_K0340_FOCUS_SCALE, 70), STATUS_SUCCESS);
    ASSERT_EQ(SetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 2), STATUS_SUCCESS);
    Unplug();
    h = Plug();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x02), -30) << "all 18 stored: loaded";
    Unplug();  // removal writes all 18 again
    ASSERT_TRUE(DeleteDeviceValue(kCameraControl, u"FocusWindows"));
    h = Plug();
    ASSERT_NE(h, nullptr);
    // None of them: the camera keeps its power-up brightness, and gets the two
    // settings it does not start with.
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x02), 0);
    EXPECT_EQ(camera_->ControlValue(Unit::ProcessingUnit, 0x07), 4);
    EXPECT_EQ(camera_->Register(qk::sim::kRegisterFocusScale), 2);
    EXPECT_EQ(GetP(h, kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION).value, 1);
}

TEST_F(SettingsTest, TuningValuesUnderTheProductKeyReachTheEffectsLibrary) {
    HANDLE product;
    ASSERT_EQ(qk::nt::reg::CreatePath(kProductKey, KEY_ALL_ACCESS, &product), STATUS_SUCCESS);
    // The verbose mask for calls and tracking, a speed and a test frequency of
    // our own, and Vis, whose setting prints the library's settings dump.
    ASSERT_EQ(qk::nt::reg::SetDword(product, u"100", 5), STATUS_SUCCESS);
    ASSERT_EQ(qk::nt::reg::SetDword(product, u"200", 123), STATUS_SUCCESS);
    ASSERT_EQ(qk::nt::reg::SetDword(product, u"201", 9), STATUS_SUCCESS);
    ASSERT_EQ(qk::nt::reg::SetDword(product, u"230", 1), STATUS_SUCCESS);
    ASSERT_EQ(qk::nt::reg::SetDword(product, u"236", 77), STATUS_SUCCESS);  // not a tuning value: never read
    ZwClose(product);
    qk::debug::Clear();
    ASSERT_NE(Plug(), nullptr);
    EXPECT_TRUE(qk::debug::Contains("  Vel            : 123\n"));
    EXPECT_TRUE(qk::debug::Contains("  Test Freq      : 9\n"));
    EXPECT_TRUE(qk::debug::Contains("id:201, val:9\n"));
    EXPECT_FALSE(qk::debug::Contains("id:236"));
}

TEST_F(SettingsTest, TheLockFlagAndTheConsoleValueLiveUnderTheProductKey) {
    HANDLE h = Plug();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ReadDword(kProductKey, u"Reserved"), 0u) << "the installation leaves the lock off";
    K0340_PARENTAL_LOCK_S lock{};
    lock.Action = K0340_LOCK_STORE_CHECK_VALUE;
    lock.Value = 0xC0FFEE42;
    ASSERT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, KSPROPERTY_TYPE_SET, &lock,
                                             sizeof lock),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadDword(kConsoleKey, u"Reserved2"), 0xC0FFEE42u);
    lock = {};
    lock.Action = K0340_LOCK_ENABLE;
    ASSERT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, KSPROPERTY_TYPE_SET, &lock,
                                             sizeof lock),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadDword(kProductKey, u"Reserved"), 1u);
    lock.Action = 7;
    EXPECT_EQ(qk::ks::client::StructProperty(h, kSetA, KSPROPERTY_K0340_PARENTAL_LOCK, KSPROPERTY_TYPE_SET, &lock,
                                             sizeof lock),
              STATUS_NOT_SUPPORTED);
    Unplug();
    // Installing again keeps what the user chose.
    Reboot();
    EXPECT_EQ(ReadDword(kProductKey, u"Reserved"), 1u);
}

}  // namespace
}  // namespace k0340::testing
