// Every class request on the camera's units with its answer, stalls for what
// the camera does not have, the register block, and probe and commit.
#include <gtest/gtest.h>

#include "sim/camera/tests/camera_fixture.h"

namespace qk::sim::testing {
namespace {

using qk::usb::Handshake;
using uvc::RequestError;

constexpr uint8_t kCt = 1, kPu = 2, kXu = 4;

int32_t Value(const std::vector<uint8_t>& d, bool isSigned) {
    uint32_t v = 0;
    for (size_t i = 0; i < d.size(); ++i) v |= uint32_t{d[i]} << (8 * i);
    if (isSigned && d.size() < 4 && (v >> (8 * d.size() - 1)) & 1) v |= ~0u << (8 * d.size());
    return static_cast<int32_t>(v);
}

std::vector<uint8_t> Bytes(int32_t value, size_t size) {
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
    return b;
}

uint8_t EntityOf(Unit unit) { return unit == Unit::CameraTerminal ? kCt : unit == Unit::ProcessingUnit ? kPu : kXu; }

uint8_t ErrorCode(CameraConversation& c) { return c.Get(uvc::kGetCur, 0, uvc::kVcRequestErrorCode, 1).data.at(0); }

TEST(CameraControlsTest, EveryOfferedControlAnswersEveryRequestItsKindHas) {
    CameraConversation c;
    for (const ControlSpec& spec : ControlTable()) {
        if (!c.camera->ControlValue(spec.unit, spec.selector) || spec.kind == ControlKind::Register) continue;
        SCOPED_TRACE(spec.name);
        uint8_t entity = EntityOf(spec.unit);
        Reply info = c.Get(uvc::kGetInfo, entity, spec.selector, 1);
        CameraConfig defaults;
        bool offered = spec.unit == Unit::ProcessingUnit   ? (defaults.processingControls >> spec.bit) & 1
                       : spec.unit == Unit::CameraTerminal ? (defaults.cameraControls >> spec.bit) & 1
                                                           : (defaults.extensionControls >> spec.bit) & 1;
        if (!offered) {
            EXPECT_EQ(info.handshake, Handshake::Stall);
            EXPECT_EQ(ErrorCode(c), uint8_t(RequestError::InvalidControl));
            continue;
        }
        ASSERT_EQ(info.handshake, Handshake::Ack);
        EXPECT_EQ(info.data[0] & 0x01, 0x01);
        EXPECT_EQ(ErrorCode(c), 0);
        Reply length = c.Get(uvc::kGetLen, entity, spec.selector, 2);
        ASSERT_EQ(length.data.size(), 2u);
        EXPECT_EQ(length.data[0], spec.size);
        Reply current = c.Get(uvc::kGetCur, entity, spec.selector, spec.size);
        EXPECT_EQ(current.data.size(), spec.size);
        bool ranged = spec.kind == ControlKind::Range;
        for (uint8_t request : {uvc::kGetMin, uvc::kGetMax, uvc::kGetRes, uvc::kGetDef}) {
            Reply r = c.Get(request, entity, spec.selector, spec.size);
            bool expected = ranged || (request == uvc::kGetDef && spec.kind != ControlKind::ReadOnly) ||
                            (request == uvc::kGetRes && spec.kind == ControlKind::ExposureMode);
            EXPECT_EQ(r.handshake, expected ? Handshake::Ack : Handshake::Stall) << int(request);
            if (!expected) {
                EXPECT_EQ(ErrorCode(c), uint8_t(RequestError::InvalidRequest));
            }
        }
        if (ranged) {
            EXPECT_EQ(Value(c.Get(uvc::kGetMin, entity, spec.selector, spec.size).data, spec.isSigned), spec.minimum);
            EXPECT_EQ(Value(c.Get(uvc::kGetMax, entity, spec.selector, spec.size).data, spec.isSigned), spec.maximum);
            EXPECT_EQ(Value(c.Get(uvc::kGetRes, entity, spec.selector, spec.size).data, false), spec.resolution);
        }
        if (spec.kind != ControlKind::ReadOnly && spec.kind != ControlKind::ExposureMode) {
            EXPECT_EQ(Value(c.Get(uvc::kGetDef, entity, spec.selector, spec.size).data, spec.isSigned), spec.defaultValue);
            EXPECT_EQ(Value(current.data, spec.isSigned), spec.defaultValue);
        }
    }
}

TEST(CameraControlsTest, UnknownUnitsSelectorsAndRequestsStallWithTheirErrorCode) {
    CameraConversation c;
    struct Case {
        const char* name;
        uint8_t request, entity, selector;
        RequestError error;
    };
    const Case cases[] = {
        {"unknown processing unit selector", uvc::kGetCur, kPu, 0x13, RequestError::InvalidControl},
        {"unknown camera terminal selector", uvc::kGetCur, kCt, 0x1F, RequestError::InvalidControl},
        {"unknown extension unit selector", uvc::kGetCur, kXu, 0x09, RequestError::InvalidControl},
        {"selector zero", uvc::kGetInfo, kPu, 0x00, RequestError::InvalidControl},
        {"control the bitmap does not offer", uvc::kGetCur, kCt, uvc::kCtZoomAbsolute, RequestError::InvalidControl},
        {"unit that does not exist", uvc::kGetCur, 9, 0x02, RequestError::InvalidUnit},
        {"undefined request code", 0x8F, kPu, uvc::kPuBrightness, RequestError::InvalidRequest},
        {"interface control other than the error code", uvc::kGetCur, 0, uvc::kVcVideoPowerMode,
         RequestError::InvalidControl},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(c.Get(k.request, k.entity, k.selector, 4).handshake, Handshake::Stall);
        EXPECT_EQ(ErrorCode(c), uint8_t(k.error));
    }
    // Vendor requests and requests to interfaces the camera does not have stall too.
    EXPECT_EQ(c.Send(0xC1, 0x01, 0, 0, {}, 4).handshake, Handshake::Stall);
    EXPECT_EQ(c.Send(0xA1, uvc::kGetCur, 0x0100, 0x0009, {}, 4).handshake, Handshake::Stall);
}

TEST(CameraControlsTest, SetCurChecksRangeGridLengthAndAutomaticModes) {
    CameraConversation c;
    struct Case {
        const char* name;
        uint8_t entity, selector;
        std::vector<uint8_t> data;
        Handshake handshake;
        RequestError error;
    };
    const Case cases[] = {
        {"brightness, negative, in range", kPu, uvc::kPuBrightness, Bytes(-20, 2), Handshake::Ack, RequestError::None},
        {"brightness above the maximum", kPu, uvc::kPuBrightness, Bytes(65, 2), Handshake::Stall, RequestError::OutOfRange},
        {"brightness with one byte", kPu, uvc::kPuBrightness, {5}, Handshake::Stall, RequestError::InvalidRequest},
        {"gamma off its grid", kPu, uvc::kPuGamma, Bytes(105, 2), Handshake::Stall,
         RequestError::InvalidValueWithinRange},
        {"white balance while automatic", kPu, uvc::kPuWhiteBalanceTemperature, Bytes(5000, 2), Handshake::Stall,
         RequestError::WrongState},
        {"white balance to manual", kPu, uvc::kPuWhiteBalanceTemperatureAuto, {0}, Handshake::Ack, RequestError::None},
        {"white balance, now manual", kPu, uvc::kPuWhiteBalanceTemperature, Bytes(5000, 2), Handshake::Ack,
         RequestError::None},
        {"exposure while aperture priority", kCt, uvc::kCtExposureTimeAbsolute, Bytes(300, 4), Handshake::Stall,
         RequestError::WrongState},
        {"exposure mode with two bits", kCt, uvc::kCtAeMode, {0x0A}, Handshake::Stall, RequestError::OutOfRange},
        {"exposure mode not supported (auto)", kCt, uvc::kCtAeMode, {0x02}, Handshake::Stall, RequestError::OutOfRange},
        {"exposure mode manual", kCt, uvc::kCtAeMode, {0x01}, Handshake::Ack, RequestError::None},
        {"exposure, now manual", kCt, uvc::kCtExposureTimeAbsolute, Bytes(300, 4), Handshake::Ack, RequestError::None},
        {"focus while automatic", kCt, uvc::kCtFocusAbsolute, Bytes(100, 2), Handshake::Stall, RequestError::WrongState},
        {"power line 60 Hz", kPu, uvc::kPuPowerLineFrequency, {2}, Handshake::Ack, RequestError::None},
        {"power line 3 (not in UVC 1.1)", kPu, uvc::kPuPowerLineFrequency, {3}, Handshake::Stall,
         RequestError::OutOfRange},
        {"status byte is read-only", kXu, kXuStatus, {0}, Handshake::Stall, RequestError::InvalidRequest},
        {"mirror both ways", kXu, kXuMirror, Bytes(3, 2), Handshake::Ack, RequestError::None},
        {"focus area 5", kXu, kXuFocusArea, Bytes(5, 2), Handshake::Stall, RequestError::OutOfRange},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(c.Set(k.entity, k.selector, k.data).handshake, k.handshake);
        EXPECT_EQ(ErrorCode(c), uint8_t(k.error));
    }
    EXPECT_EQ(c.camera->ControlValue(Unit::ProcessingUnit, uvc::kPuBrightness), -20);
    EXPECT_EQ(c.camera->ControlValue(Unit::ProcessingUnit, uvc::kPuWhiteBalanceTemperature), 5000);
    EXPECT_EQ(c.camera->ControlValue(Unit::CameraTerminal, uvc::kCtAeMode), 1);
    // GET_INFO tells that a value is disabled by its automatic mode.
    EXPECT_EQ(c.Get(uvc::kGetInfo, kCt, uvc::kCtFocusAbsolute, 1).data[0],
              uvc::kInfoGet | uvc::kInfoSet | uvc::kInfoDisabledByAuto | uvc::kInfoAutoUpdate);
    EXPECT_EQ(c.Get(uvc::kGetRes, kCt, uvc::kCtAeMode, 1).data[0], 0x09);  // supported exposure modes
}

TEST(CameraControlsTest, OverridesGiveTheAnswersOfABrokenCamera) {
    CameraConfig config;
    config.overrides[{Unit::ProcessingUnit, uvc::kPuSharpness}] = {.minimum = 0, .maximum = 7, .resolution = 0,
                                                                   .defaultValue = 12};
    config.overrides[{Unit::ProcessingUnit, uvc::kPuContrast}] = {.stall = true};
    config.autoModeLocksManualControls = false;
    CameraConversation c(config);
    EXPECT_EQ(Value(c.Get(uvc::kGetDef, kPu, uvc::kPuSharpness, 2).data, false), 12);  // outside [0, 7]
    EXPECT_EQ(Value(c.Get(uvc::kGetRes, kPu, uvc::kPuSharpness, 2).data, false), 0);
    EXPECT_EQ(Value(c.Get(uvc::kGetCur, kPu, uvc::kPuSharpness, 2).data, false), 12);
    EXPECT_EQ(c.Set(kPu, uvc::kPuSharpness, Bytes(3, 2)).handshake, Handshake::Ack);  // no grid to be off
    EXPECT_EQ(c.Get(uvc::kGetCur, kPu, uvc::kPuContrast, 2).handshake, Handshake::Stall);
    // Without the locking, manual values are accepted in automatic mode.
    EXPECT_EQ(c.Set(kCt, uvc::kCtFocusAbsolute, Bytes(100, 2)).handshake, Handshake::Ack);
}

TEST(CameraControlsTest, RegisterBlockReadsAndWritesTheCamerasRegisters) {
    for (int variant : {1, 2}) {
        SCOPED_TRACE(variant);
        CameraConfig config;
        config.variant = variant;
        CameraConversation c(config);
        auto read = [&](uint16_t address) {
            std::vector<uint8_t> block = {kRegisterRead, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), 0};
            EXPECT_EQ(c.Set(kXu, kXuRegisterBlock, block).handshake, Handshake::Ack);
            Reply r = c.Get(uvc::kGetCur, kXu, kXuRegisterBlock, 4);
            EXPECT_EQ(r.data.size(), 4u);
            EXPECT_EQ(r.data[1] | r.data[2] << 8, address);
            return r.data[3];
        };
        auto write = [&](uint16_t address, uint8_t value) {
            return c.Set(kXu, kXuRegisterBlock,
                         {kRegisterWrite, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), value});
        };
        EXPECT_EQ(read(kRegisterVariant), variant);
        EXPECT_EQ(read(kRegisterFocusWindows), 6);
        EXPECT_EQ(read(kRegisterFocusScale), 2);
        EXPECT_EQ(read(kRegisterFocusThird), 0);  // as it comes up; the driver writes 8
        EXPECT_EQ(write(kRegisterFocusThird, 8).handshake, Handshake::Ack);
        EXPECT_EQ(read(kRegisterFocusThird), 8);
        EXPECT_EQ(read(kRegisterPrivacySwitch), 0);
        c.camera->SetPrivacySwitch(true);  // flipped at run time
        EXPECT_EQ(read(kRegisterPrivacySwitch), 1);
        write(kRegisterPrivacySwitch, 0);  // wired: a write changes nothing
        EXPECT_EQ(read(kRegisterPrivacySwitch), 1);
        write(kRegisterCameraMode, 0x81);
        EXPECT_EQ(read(kRegisterCameraMode), 0x81);
        EXPECT_EQ(c.camera->Register(kRegisterCameraMode), 0x81);
        EXPECT_EQ(c.Set(kXu, kXuRegisterBlock, {0x10, 0x00, 0x81, 0}).handshake, Handshake::Stall);  // unknown command
        EXPECT_EQ(c.Set(kXu, kXuRegisterBlock, {0x20, 0x00}).handshake, Handshake::Stall);            // short block
        EXPECT_EQ(c.Get(uvc::kGetMin, kXu, kXuRegisterBlock, 4).handshake, Handshake::Stall);
        EXPECT_EQ(c.Get(uvc::kGetLen, kXu, kXuRegisterBlock, 2).data, (std::vector<uint8_t>{4, 0}));
        EXPECT_EQ(c.Get(uvc::kGetCur, kXu, kXuStatus, 1).data, (std::vector<uint8_t>{1}));
    }
}

TEST(CameraControlsTest, CameraWithoutExtensionUnitHasNoneOfItsControls) {
    CameraConfig config;
    config.extensionUnit = false;
    CameraConversation c(config);
    EXPECT_EQ(c.Get(uvc::kGetCur, kXu, kXuMirror, 2).handshake, Handshake::Stall);
    EXPECT_EQ(ErrorCode(c), uint8_t(RequestError::InvalidUnit));
}

TEST(CameraControlsTest, ProbeAndCommitNegotiateAsUvcDefines) {
    CameraConversation c;
    ProbeCommit current = c.StreamingGet(uvc::kGetCur, uvc::kVsProbe);
    EXPECT_EQ(current.bFormatIndex, 1);
    EXPECT_EQ(current.bFrameIndex, 1);
    EXPECT_EQ(current.dwClockFrequency, 48000000u);
    EXPECT_EQ(c.Send(0xA1, uvc::kGetLen, 0x0100, 1, {}, 2).data, (std::vector<uint8_t>{34, 0}));
    EXPECT_EQ(c.Send(0xA1, uvc::kGetCur, 0x0100, 1, {}, 64).data.size(), 34u);

    // Format 2 (MJPEG), frame 1 (640 x 480), 8 fps asked: the nearest rate offered is 10 fps.
    ProbeCommit asked = current;
    asked.bmHint = 1;
    asked.bFormatIndex = 2;
    asked.bFrameIndex = 1;
    asked.dwFrameInterval = 1250000;
    EXPECT_EQ(c.StreamingSet(uvc::kVsProbe, asked).handshake, Handshake::Ack);
    ProbeCommit answer = c.StreamingGet(uvc::kGetCur, uvc::kVsProbe);
    EXPECT_EQ(answer.bFormatIndex, 2);
    EXPECT_EQ(answer.dwFrameInterval, kInterval10);
    EXPECT_EQ(answer.dwMaxVideoFrameSize, 640u * 480 * 2);
    EXPECT_GT(answer.dwMaxPayloadTransferSize, 0u);
    EXPECT_EQ(c.StreamingGet(uvc::kGetMin, uvc::kVsProbe).dwFrameInterval, kInterval30);
    EXPECT_EQ(c.StreamingGet(uvc::kGetMax, uvc::kVsProbe).dwFrameInterval, kInterval5);
    EXPECT_EQ(c.StreamingGet(uvc::kGetDef, uvc::kVsProbe).bFormatIndex, 1);
    // The uncompressed 640 x 480 at 30 fps needs 18444 bytes a frame: alternate setting 6.
    asked.bFormatIndex = 1;
    asked.dwFrameInterval = kInterval30;
    c.StreamingSet(uvc::kVsProbe, asked);
    EXPECT_EQ(c.StreamingGet(uvc::kGetCur, uvc::kVsProbe).dwMaxPayloadTransferSize, 23040u);
    asked.bFrameIndex = 7;  // 1600 x 1200 at 5 fps: 19212 bytes a frame
    c.StreamingSet(uvc::kVsProbe, asked);
    EXPECT_EQ(c.StreamingGet(uvc::kGetCur, uvc::kVsProbe).dwMaxPayloadTransferSize, 23040u);
    asked.bFrameIndex = 1;
    c.StreamingSet(uvc::kVsProbe, asked);

    // Out of range indices stall; so do blocks of a wrong length.
    ProbeCommit bad = asked;
    bad.bFormatIndex = 3;
    EXPECT_EQ(c.StreamingSet(uvc::kVsProbe, bad).handshake, Handshake::Stall);
    bad = asked;
    bad.bFrameIndex = 40;
    EXPECT_EQ(c.StreamingSet(uvc::kVsCommit, bad).handshake, Handshake::Stall);
    EXPECT_EQ(c.Send(0x21, uvc::kSetCur, 0x0100, 1, std::vector<uint8_t>(30, 1)).handshake, Handshake::Stall);
    EXPECT_EQ(c.Send(0xA1, uvc::kGetCur, 0x0300, 1, {}, 34).handshake, Handshake::Stall);  // still probe: not offered

    // Commit, then no new commit while streaming.
    EXPECT_EQ(c.StreamingSet(uvc::kVsCommit, c.StreamingGet(uvc::kGetCur, uvc::kVsProbe)).handshake, Handshake::Ack);
    EXPECT_EQ(c.camera->Committed().dwFrameInterval, kInterval30);
    ASSERT_EQ(c.Send(0x01, 0x0B, 7, 1, {}).handshake, Handshake::Ack);
    EXPECT_EQ(c.StreamingSet(uvc::kVsCommit, asked).handshake, Handshake::Stall);
    EXPECT_EQ(c.StreamingSet(uvc::kVsProbe, asked).handshake, Handshake::Ack);
}

}  // namespace
}  // namespace qk::sim::testing
