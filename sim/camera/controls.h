// The controls of the camera's video function: the camera terminal,
// processing unit and extension unit controls its descriptors offer, with
// the eight UVC requests, the request error code, and the register block of
// the extension unit. Not thread-safe: the camera's lock guards it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>

#include "platform/usb/device.h"
#include "sim/camera/camera_config.h"
#include "sim/camera/uvc.h"

namespace qk::sim {

enum class ControlKind : uint8_t {
    Range,         // every GET request; SET_CUR within [min, max] on the resolution grid
    Choice,        // GET_CUR, GET_DEF, GET_INFO, GET_LEN; SET_CUR within [min, max]
    ExposureMode,  // as Choice, plus GET_RES: the bitmap of supported modes; SET_CUR one supported bit
    ReadOnly,      // GET_CUR, GET_INFO, GET_LEN
    Register,      // the 4-byte register block: command, address (2 bytes), data
};

struct ControlSpec {
    Unit unit;
    uint8_t selector;
    uint8_t bit;   // in the unit's bmControls
    uint8_t size;  // bytes of the value
    bool isSigned;
    ControlKind kind;
    int32_t minimum;
    int32_t maximum;
    int32_t resolution;
    int32_t defaultValue;
    const char* name;
};

// The camera's registers behind the extension unit's register block.
inline constexpr uint16_t kRegisterVariant = 0x8100;
inline constexpr uint16_t kRegisterFocusWindows = 0x8101;
inline constexpr uint16_t kRegisterFocusScale = 0x8102;
inline constexpr uint16_t kRegisterFocusThird = 0x8103;
inline constexpr uint16_t kRegisterPrivacySwitch = 0x8108;
inline constexpr uint16_t kRegisterCameraMode = 0xBA00;
// Camera mode bits: the sensor in standby (frames come out black) and the
// privacy indicator lamp.
inline constexpr uint8_t kCameraModeSensorStandby = 0x80;
inline constexpr uint8_t kCameraModeIndicator = 0x01;
inline constexpr uint8_t kRegisterRead = 0x00;
inline constexpr uint8_t kRegisterWrite = 0x20;

// Selectors of the extension unit.
inline constexpr uint8_t kXuMirror = 0x01;
inline constexpr uint8_t kXuFocusArea = 0x02;
inline constexpr uint8_t kXuStatus = 0x03;
inline constexpr uint8_t kXuRegisterBlock = 0x04;

// Every control the camera can offer (which ones it does is the descriptors' bmControls).
std::span<const ControlSpec> ControlTable();

class VideoControls {
public:
    explicit VideoControls(const CameraConfig& config);

    // A class request to the VideoControl interface; wIndex's high byte names
    // the entity (0: the interface itself).
    qk::usb::ControlResult Request(const qk::usb::SetupPacket& setup, std::span<uint8_t> data);

    // Power-on values (every control at its default, registers as shipped).
    void PowerOn();

    bool Offered(Unit unit, uint8_t selector) const;
    std::optional<int32_t> Value(Unit unit, uint8_t selector) const;
    uint8_t Register(uint16_t address) const;
    uint8_t MirrorBits() const;
    // Whether the sensor gives black frames: the privacy switch, the camera
    // mode's standby bit or the camera terminal's privacy control.
    bool SensorBlanked() const;
    void SetPrivacySwitch(bool on);
    bool PrivacySwitch() const { return privacySwitch_; }
    uvc::RequestError LastError() const { return lastError_; }

private:
    struct State {
        const ControlSpec* spec;
        int32_t minimum, maximum, resolution, defaultValue, current;
        bool stall;
    };
    State* Find(Unit unit, uint8_t selector);
    const State* Find(Unit unit, uint8_t selector) const;
    bool LockedByAutomatic(const ControlSpec& spec) const;
    qk::usb::ControlResult UnitRequest(Unit unit, const qk::usb::SetupPacket& setup, std::span<uint8_t> data);
    qk::usb::ControlResult RegisterRequest(const qk::usb::SetupPacket& setup, std::span<uint8_t> data);
    qk::usb::ControlResult Fail(uvc::RequestError error);
    qk::usb::ControlResult Done(uint32_t length);

    const CameraConfig& config_;
    std::map<std::pair<Unit, uint8_t>, State> states_;
    std::map<uint16_t, uint8_t> registers_;
    uint8_t block_[4] = {};  // the register block as last written or read
    bool privacySwitch_ = false;
    uvc::RequestError lastError_ = uvc::RequestError::None;
};

}  // namespace qk::sim
