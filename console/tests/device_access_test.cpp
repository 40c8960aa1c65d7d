// The console's device access on the real driver, proxy and SetupAPI with
// the simulated camera plugged: the camera list, sessions opened and closed
// for every operation (also across an unplug), the control records' read and
// write rules, and the custom properties. The rules that depend on odd
// answers a camera may give are driven through a scripted control.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "capture/k0340_props.h"
#include "capture/tests/capture_fixture.h"
#include "console/k0340cvw.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/nt/pnp.h"
#include "setupapi.h"
#include "sim/camera/uvc.h"

namespace {

using namespace k0340cvw;

class DeviceAccessTest : public k0340::testing::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        ASSERT_EQ(qk::dshow::InstallSystemServers(), S_OK);
    }
    void PlugAndWait(qk::sim::CameraConfig config = {}) {
        PlugCamera(config);
        ASSERT_FALSE(FilterLink().empty());
    }
    static ConsoleState List() {
        ConsoleState state{};
        EnumerateCameras(&state);
        return state;
    }
};

TEST_F(DeviceAccessTest, ListsThePluggedCameraByItsDescriptionAndNothingElse) {
    ConsoleState empty{};
    EXPECT_EQ(EnumerateCameras(&empty), CVW_E_NO_DEVICE);
    EXPECT_EQ(empty.deviceCount, 0);

    PlugAndWait();
    ConsoleState state{};
    std::memset(state.deviceNames, 0x5A, sizeof state.deviceNames);
    state.deviceCount = 0;
    ASSERT_EQ(EnumerateCameras(&state), CVW_OK);
    ASSERT_EQ(state.deviceCount, 1);
    EXPECT_STREQ(state.deviceNames[0], "QK0340 Camera");
    EXPECT_EQ(static_cast<unsigned char>(state.deviceNames[1][0]), 0x5A) << "a slot beyond the list was written";
    EXPECT_STREQ(SupportedHardwareId(), "USB\\VID_FA57&PID_0340&MI_00");
}

TEST_F(DeviceAccessTest, ACameraOfAnotherProductOrWithoutItsDriverIsNotListed) {
    qk::sim::CameraConfig other;
    other.productId = 0x0341;
    PlugCamera(other);
    qk::nt::pnp::WaitIdle();
    EXPECT_EQ(List().deviceCount, 0);

    // Gone from the bus: its node stays in the class, without a loaded driver.
    Unplug(PlugCamera());
    qk::nt::pnp::WaitIdle();
    EXPECT_EQ(List().deviceCount, 0);
}

TEST_F(DeviceAccessTest, TwoCamerasAreBothListedInSetupOrder) {
    PlugCamera();
    PlugCamera();
    ASSERT_FALSE(FilterLink().empty());
    ConsoleState state = List();
    ASSERT_EQ(state.deviceCount, 2);
    EXPECT_STREQ(state.deviceNames[0], "QK0340 Camera");
    EXPECT_STREQ(state.deviceNames[1], "QK0340 Camera");
}

TEST_F(DeviceAccessTest, AtMostTenCamerasAreRecorded) {
    for (int i = 0; i < 11; ++i) {
        qk::sim::CameraConfig config;
        config.microphone = false;  // the video functions are what counts
        PlugCamera(config);
    }
    ASSERT_FALSE(FilterLink().empty());
    // Eleven started cameras in the image class...
    const GUID imageClass = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
    HDEVINFO set = SetupDiGetClassDevsW(&imageClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    int present = 0;
    while (SetupDiEnumDeviceInfo(set, present, &device)) ++present;
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_EQ(present, 11);
    // ... and ten of them recorded.
    ConsoleState state{};
    ASSERT_EQ(EnumerateCameras(&state), CVW_OK);
    EXPECT_EQ(state.deviceCount, kMaxCameras);
    for (int i = 0; i < kMaxCameras; ++i) EXPECT_STREQ(state.deviceNames[i], "QK0340 Camera");
}

TEST_F(DeviceAccessTest, ASessionBindsTheNamedCameraWithAllItsInterfacesAndReleasesThem) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("qk0340 CAMERA", &session));  // letter case does not matter
    EXPECT_NE(session.filter, nullptr);
    EXPECT_NE(session.propertySet, nullptr);
    EXPECT_NE(session.cameraControl, nullptr);
    EXPECT_NE(session.procAmp, nullptr);
    EXPECT_NE(session.videoControl, nullptr);
    EXPECT_NE(session.pin, nullptr);
    CloseDeviceSession(&session);
    EXPECT_EQ(session.filter, nullptr);
    EXPECT_EQ(session.pin, nullptr);

    // A name only begun, or another camera's: no session, nothing held.
    for (const char* name : {"QK0340", "QK0340 Camera 2", ""}) {
        SCOPED_TRACE(name);
        DeviceSession none;
        EXPECT_FALSE(OpenDeviceSession(name, &none));
        EXPECT_EQ(none.filter, nullptr);
        CloseDeviceSession(&none);
    }
}

TEST_F(DeviceAccessTest, AWrittenControlReachesTheDriverAndTheCamera) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ControlSetting brightness{};
    ASSERT_TRUE(ReadControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &brightness));
    EXPECT_EQ(brightness.valid, 1);
    EXPECT_LT(brightness.minimum, brightness.maximum);
    EXPECT_EQ(brightness.appliedValue, brightness.value);
    CloseDeviceSession(&session);

    // A new session for the write, as a panel's apply step does.
    LONG wanted = brightness.value == brightness.maximum ? brightness.minimum : brightness.maximum;
    brightness.value = wanted;
    brightness.autoMode = 0;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ASSERT_TRUE(WriteControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &brightness));
    CloseDeviceSession(&session);
    EXPECT_EQ(brightness.appliedValue, wanted);
    EXPECT_EQ(brightness.appliedFlags & 3, kFlagManual);

    ControlSetting again{};
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ASSERT_TRUE(ReadControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &again));
    CloseDeviceSession(&session);
    EXPECT_EQ(again.value, wanted);
    EXPECT_EQ(camera_->ControlValue(qk::sim::Unit::ProcessingUnit, qk::sim::uvc::kPuBrightness), wanted);
}

TEST_F(DeviceAccessTest, CustomPropertiesAndTheLockTravelThroughTheSession) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ASSERT_TRUE(SetCustomProperty(&session, PROPSETID_K0340_TRACKING, KSPROPERTY_K0340_TRACKING_MODE, 24, 1));
    LONG mode = -1;
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_TRACKING, KSPROPERTY_K0340_TRACKING_MODE, 24, &mode));
    EXPECT_EQ(mode, 1);

    ASSERT_TRUE(SendLockCommand(&session, K0340_LOCK_STORE_CHECK_VALUE, 0x12345678));
    ASSERT_TRUE(SendLockCommand(&session, K0340_LOCK_ENABLE, 0));
    LONG locked = -1;
    ASSERT_TRUE(GetLockState(&session, &locked));
    EXPECT_EQ(locked, 1);
    ASSERT_TRUE(SendLockCommand(&session, K0340_LOCK_DISABLE, 0));
    ASSERT_TRUE(GetLockState(&session, &locked));
    EXPECT_EQ(locked, 0);

    // The pan/tilt status set is not the driver's: the get fails.
    const GUID panTilt = {0x45B7AB4F, 0xF7F0, 0x494C, {0x88, 0xD0, 0x3F, 0x4E, 0xF8, 0xE1, 0xEF, 0x47}};
    LONG busy = 0;
    EXPECT_FALSE(GetCustomProperty(&session, panTilt, 3, 28, &busy));
    // A payload word outside the request buffer is refused before any request.
    EXPECT_FALSE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 36, &busy));
    EXPECT_FALSE(SetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 20, 1));
    CloseDeviceSession(&session);

    // The check value lands under the 32-bit view of the product key.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Lumora Tech\\Web Cameras\\QK0340\\Console",
                            0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    DWORD value = 0, bytes = sizeof value, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Reserved2", nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(DeviceAccessTest, WhiteBalanceIsAChoiceOfAutomaticAndThreePresets) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ControlSetting choice{};
    ASSERT_TRUE(ReadWhiteBalanceChoice(&session, &choice));
    EXPECT_EQ(choice.valid, 1);
    EXPECT_EQ(choice.minimum, 0);
    EXPECT_EQ(choice.maximum, 3);
    EXPECT_EQ(choice.value, 0) << "the camera starts on automatic white balance";

    choice.value = 2;
    ASSERT_TRUE(WriteWhiteBalanceChoice(&session, &choice));
    EXPECT_EQ(choice.appliedValue, 2);
    LONG preset = 0, value = 0, flags = 0;
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_WHITEBALANCE_PRESET, 28, &preset));
    EXPECT_EQ(preset, 2);
    ASSERT_EQ(session.procAmp->Get(VideoProcAmp_WhiteBalance, &value, &flags), S_OK);
    EXPECT_EQ(flags & 3, kFlagManual);
    CloseDeviceSession(&session);

    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ControlSetting again{};
    ASSERT_TRUE(ReadWhiteBalanceChoice(&session, &again));
    EXPECT_EQ(again.value, 2);
    again.value = 0;
    ASSERT_TRUE(WriteWhiteBalanceChoice(&session, &again));
    ASSERT_EQ(session.procAmp->Get(VideoProcAmp_WhiteBalance, &value, &flags), S_OK);
    EXPECT_EQ(flags & 3, kFlagAuto);
    CloseDeviceSession(&session);
}

TEST_F(DeviceAccessTest, PowerLineFrequencyFallsBackToTheDriversOwnProperty) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    // The driver offers no standard power-line control: the fallback reads set A.
    ControlSetting s{};
    ASSERT_TRUE(ReadPowerLineFrequency(&session, &s));
    EXPECT_EQ(s.valid, 1);
    EXPECT_EQ(s.minimum, 1);
    EXPECT_EQ(s.maximum, 3);
    EXPECT_EQ(s.defaultValue, 2);
    LONG hertz = 0;
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 28, &hertz));
    EXPECT_EQ(s.value, hertz == 2 ? 1 : hertz == 3 ? 2 : 0);

    s.value = s.value == 2 ? 1 : 2;
    const LONG wanted = s.value == 1 ? 2 : 3;
    EXPECT_TRUE(WritePowerLineFrequency(&session, &s));
    EXPECT_EQ(s.appliedValue, s.value);
    ASSERT_TRUE(GetCustomProperty(&session, PROPSETID_K0340_CAMERA, KSPROPERTY_K0340_POWERLINE, 28, &hertz));
    EXPECT_EQ(hertz, wanted);
    CloseDeviceSession(&session);
}

TEST_F(DeviceAccessTest, MirrorAndFlipAreTheModeBitsOfThePin) {
    PlugAndWait();
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ControlSetting mirror{}, flip{};
    ASSERT_TRUE(ReadMirrorFlip(&session, &mirror, &flip));
    ASSERT_EQ(mirror.valid, 1);
    ASSERT_EQ(flip.valid, 1);
    EXPECT_TRUE(WriteMirrorFlip(&session, &mirror, &flip)) << "nothing changed: nothing to write";
    mirror.value = 1;
    ASSERT_TRUE(WriteMirrorFlip(&session, &mirror, &flip));
    LONG mode = -1;
    ASSERT_EQ(session.videoControl->GetMode(session.pin, &mode), S_OK);
    EXPECT_EQ(mode, VideoControlFlag_FlipHorizontal);
    flip.value = 1;
    mirror.value = 0;
    ASSERT_TRUE(WriteMirrorFlip(&session, &mirror, &flip));
    ASSERT_EQ(session.videoControl->GetMode(session.pin, &mode), S_OK);
    EXPECT_EQ(mode, VideoControlFlag_FlipVertical);
    CloseDeviceSession(&session);
}

TEST_F(DeviceAccessTest, AControlTheCameraRefusesIsOnlyThatControlUnavailable) {
    qk::sim::CameraConfig config;
    config.faults.stallControls = {{qk::sim::Unit::ProcessingUnit, qk::sim::uvc::kPuContrast}};
    PlugAndWait(config);
    DeviceSession session;
    ASSERT_TRUE(OpenDeviceSession("QK0340 Camera", &session));
    ControlSetting contrast{}, brightness{};
    EXPECT_FALSE(ReadControl(&session, kVideoProcAmp, VideoProcAmp_Contrast, &contrast));
    EXPECT_EQ(contrast.valid, 0);
    EXPECT_TRUE(ReadControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &brightness));
    CloseDeviceSession(&session);
}

TEST_F(DeviceAccessTest, TheCameraWaitGivesUpAfterTwentyTriesHalfASecondApart) {
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForCamera("QK0340 Camera"));
    const DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 19u * 500u);
    EXPECT_LT(waited, 19u * 500u + 1500u);
}

TEST_F(DeviceAccessTest, SessionsFailWhileTheCameraIsAwayAndWorkAgainOnceItIsBack) {
    const int port = PlugCamera();
    ASSERT_FALSE(FilterLink().empty());
    Unplug(port);
    qk::nt::pnp::WaitIdle();
    DeviceSession session;
    EXPECT_FALSE(OpenDeviceSession("QK0340 Camera", &session));
    CloseDeviceSession(&session);
    ControlSetting s{};
    s.valid = 1;
    EXPECT_FALSE(ReadControl(nullptr, kVideoProcAmp, VideoProcAmp_Brightness, &s));
    EXPECT_EQ(s.valid, 0);

    PlugAndWait();
    EXPECT_TRUE(WaitForCamera("QK0340 Camera"));
}

// ---- Read and write rules on a scripted control -------------------------------------------
// Answers ranges and values as a test sets them and records each write.
class ScriptedControl final : public IAMCameraControl {
public:
    LONG minimum = 0, maximum = 100, step = 1, defaultValue = 50, caps = 3;
    LONG value = 10, flags = kFlagManual;
    bool failSet = false;
    std::vector<std::pair<LONG, LONG>> writes;

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT GetRange(LONG, LONG* mn, LONG* mx, LONG* st, LONG* df, LONG* cp) override {
        *mn = minimum;
        *mx = maximum;
        *st = step;
        *df = defaultValue;
        *cp = caps;
        return S_OK;
    }
    HRESULT Set(LONG, LONG v, LONG f) override {
        if (failSet) return E_FAIL;
        writes.push_back({v, f});
        value = v;
        flags = f;
        return S_OK;
    }
    HRESULT Get(LONG, LONG* v, LONG* f) override {
        *v = value;
        *f = flags;
        return S_OK;
    }
};

TEST(ControlRules, ReadNormalisesOddAnswers) {
    struct Case {
        const char* name;
        LONG minimum, maximum, step, defaultValue, value, flags;
        LONG wantMin, wantMax, wantStep, wantDefault, wantValue, wantFlags;
        size_t wantWrites;
    };
    const Case cases[] = {
        {"swapped range", 10, 0, 1, 5, 5, kFlagManual, 0, 10, 1, 5, 5, kFlagManual, 0},
        {"step zero", 0, 10, 0, 5, 5, kFlagManual, 0, 10, 1, 5, 5, kFlagManual, 0},
        {"step beyond range", 0, 10, 11, 5, 5, kFlagManual, 0, 10, 1, 5, 5, kFlagManual, 0},
        {"default outside", 0, 10, 1, 40, 5, kFlagManual, 0, 10, 1, 10, 5, kFlagManual, 0},
        {"manual value outside is written back", 0, 10, 1, 5, 25, kFlagManual, 0, 10, 1, 5, 10, kFlagManual, 1},
        {"automatic value outside is only clamped", 0, 10, 1, 5, -3, kFlagAuto, 0, 10, 1, 5, 0, kFlagAuto, 0},
        {"both modes become automatic", 0, 10, 1, 5, 5, 3 | 0x10, 0, 10, 1, 5, 5, kFlagAuto | 0x10, 1},
        {"no mode becomes automatic", 0, 10, 1, 5, 5, 0, 0, 10, 1, 5, 5, kFlagAuto, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedControl control;
        control.minimum = c.minimum;
        control.maximum = c.maximum;
        control.step = c.step;
        control.defaultValue = c.defaultValue;
        control.value = c.value;
        control.flags = c.flags;
        DeviceSession session{};
        session.cameraControl = &control;
        ControlSetting s{};
        ASSERT_TRUE(ReadControl(&session, kCameraControl, CameraControl_Exposure, &s));
        EXPECT_EQ(s.valid, 1);
        EXPECT_EQ(s.minimum, c.wantMin);
        EXPECT_EQ(s.maximum, c.wantMax);
        EXPECT_EQ(s.step, c.wantStep);
        EXPECT_EQ(s.defaultValue, c.wantDefault);
        EXPECT_EQ(s.value, c.wantValue);
        EXPECT_EQ(s.appliedValue, c.wantValue);
        EXPECT_EQ(s.appliedFlags, c.wantFlags);
        EXPECT_EQ(s.autoMode, c.wantFlags & kFlagAuto);
        EXPECT_EQ(control.writes.size(), c.wantWrites);
    }
}

TEST(ControlRules, PanTiltAndZoomAreWrittenBackAsReadAndAFailedWriteBackFailsTheRead) {
    for (LONG property : {CameraControl_Pan, CameraControl_Tilt, CameraControl_Zoom}) {
        SCOPED_TRACE(property);
        ScriptedControl control;
        DeviceSession session{};
        session.cameraControl = &control;
        ControlSetting s{};
        ASSERT_TRUE(ReadControl(&session, kCameraControl, property, &s));
        ASSERT_EQ(control.writes.size(), 1u);
        EXPECT_EQ(control.writes[0], (std::pair<LONG, LONG>{10, kFlagManual}));
        control.failSet = true;
        EXPECT_FALSE(ReadControl(&session, kCameraControl, property, &s));
        EXPECT_EQ(s.valid, 0);
    }
    // An interface the session lacks, or an unknown interface id.
    ScriptedControl control;
    DeviceSession session{};
    session.cameraControl = &control;
    ControlSetting s{};
    EXPECT_FALSE(ReadControl(&session, kVideoProcAmp, VideoProcAmp_Brightness, &s));
    EXPECT_FALSE(ReadControl(&session, 7, 0, &s));
}

TEST(ControlRules, WriteSendsOnlyChangesAndKeepsTheAppliedValueOnFailure) {
    ScriptedControl control;
    DeviceSession session{};
    session.cameraControl = &control;
    ControlSetting s{};
    ASSERT_TRUE(ReadControl(&session, kCameraControl, CameraControl_Exposure, &s));
    ASSERT_TRUE(WriteControl(&session, kCameraControl, CameraControl_Exposure, &s));
    EXPECT_TRUE(control.writes.empty()) << "nothing changed, nothing written";

    s.value = 20;
    control.failSet = true;
    EXPECT_FALSE(WriteControl(&session, kCameraControl, CameraControl_Exposure, &s));
    EXPECT_EQ(s.appliedValue, 10) << "a failed write is tried again at the next apply";
    control.failSet = false;
    ASSERT_TRUE(WriteControl(&session, kCameraControl, CameraControl_Exposure, &s));
    ASSERT_EQ(control.writes.size(), 1u);
    EXPECT_EQ(control.writes[0], (std::pair<LONG, LONG>{20, kFlagManual}));
    EXPECT_EQ(s.appliedValue, 20);

    s.autoMode = 1;  // the box ticked: same value, the automatic flag
    ASSERT_TRUE(WriteControl(&session, kCameraControl, CameraControl_Exposure, &s));
    ASSERT_EQ(control.writes.size(), 2u);
    EXPECT_EQ(control.writes[1], (std::pair<LONG, LONG>{20, kFlagAuto}));
    EXPECT_EQ(s.appliedFlags, kFlagAuto);
}

TEST(ControlRules, SnapToStepAndPageSize) {
    ControlSetting s{};
    s.minimum = 0;
    s.maximum = 100;
    s.step = 10;
    s.value = 20;
    struct Case {
        LONG v;
        bool nearest;
        bool moved;
        LONG want;
    };
    const Case cases[] = {
        {27, false, true, 30}, {13, false, true, 10}, {24, true, true, 20}, {25, true, true, 30},
        {20, false, false, 20}, {40, false, false, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.v << (c.nearest ? " nearest" : ""));
        LONG v = c.v;
        EXPECT_EQ(SnapToStep(&s, &v, c.nearest), c.moved);
        EXPECT_EQ(v, c.want);
    }
    s.value = 25;  // off the grid: nothing is snapped
    LONG v = 27;
    EXPECT_FALSE(SnapToStep(&s, &v, false));

    ControlSetting page{};
    page.maximum = 255;
    page.step = 1;
    EXPECT_EQ(PageSize(&page), 26);
    page.maximum = 5;
    EXPECT_EQ(PageSize(&page), 1);
    page.maximum = 100;
    page.step = 10;
    EXPECT_EQ(PageSize(&page), 10);
    page.maximum = 1000;
    EXPECT_EQ(PageSize(&page), 100);
}

}  // namespace
