#include "sim/camera/controls.h"

#include <algorithm>
#include <cstring>

namespace qk::sim {

namespace {

using qk::usb::ControlResult;
using qk::usb::Handshake;
using qk::usb::SetupPacket;
using uvc::RequestError;

constexpr ControlKind kRange = ControlKind::Range;
constexpr ControlKind kChoice = ControlKind::Choice;
constexpr Unit kCt = Unit::CameraTerminal;
constexpr Unit kPu = Unit::ProcessingUnit;
constexpr Unit kXu = Unit::ExtensionUnit;

// Ranges and defaults of the shipping camera. Units as UVC 1.1 defines them
// (exposure in 100 us, white balance in kelvin, gamma in hundredths).
constexpr ControlSpec kControls[] = {
    {kPu, uvc::kPuBrightness, 0, 2, true, kRange, -64, 64, 1, 0, "brightness"},
    {kPu, uvc::kPuContrast, 1, 2, false, kRange, 0, 64, 1, 32, "contrast"},
    {kPu, uvc::kPuHue, 2, 2, true, kRange, -40, 40, 1, 0, "hue"},
    {kPu, uvc::kPuSaturation, 3, 2, false, kRange, 0, 10, 1, 4, "saturation"},
    {kPu, uvc::kPuSharpness, 4, 2, false, kRange, 0, 7, 1, 3, "sharpness"},
    {kPu, uvc::kPuGamma, 5, 2, false, kRange, 20, 250, 10, 100, "gamma"},
    {kPu, uvc::kPuWhiteBalanceTemperature, 6, 2, false, kRange, 2800, 6500, 10, 4650, "white balance temperature"},
    {kPu, uvc::kPuWhiteBalanceComponent, 7, 4, false, kRange, 0, 0x00FF00FF, 1, 0x00800080, "white balance component"},
    {kPu, uvc::kPuBacklightCompensation, 8, 2, false, kRange, 0, 2, 1, 0, "backlight compensation"},
    {kPu, uvc::kPuGain, 9, 2, false, kRange, 0, 100, 1, 0, "gain"},
    {kPu, uvc::kPuPowerLineFrequency, 10, 1, false, kChoice, 0, 2, 1, 1, "power line frequency"},
    {kPu, uvc::kPuHueAuto, 11, 1, false, kChoice, 0, 1, 1, 0, "hue, automatic"},
    {kPu, uvc::kPuWhiteBalanceTemperatureAuto, 12, 1, false, kChoice, 0, 1, 1, 1, "white balance temperature, automatic"},
    {kPu, uvc::kPuWhiteBalanceComponentAuto, 13, 1, false, kChoice, 0, 1, 1, 1, "white balance component, automatic"},
    {kPu, uvc::kPuDigitalMultiplier, 14, 2, false, kRange, 100, 400, 1, 100, "digital multiplier"},
    {kPu, uvc::kPuDigitalMultiplierLimit, 15, 2, false, kRange, 100, 400, 1, 400, "digital multiplier limit"},
    {kCt, uvc::kCtScanningMode, 0, 1, false, kChoice, 0, 1, 1, 1, "scanning mode"},
    {kCt, uvc::kCtAeMode, 1, 1, false, ControlKind::ExposureMode, 1, 8, 1, uvc::kAeAperturePriority, "exposure mode"},
    {kCt, uvc::kCtAePriority, 2, 1, false, kChoice, 0, 1, 1, 0, "exposure priority"},
    {kCt, uvc::kCtExposureTimeAbsolute, 3, 4, false, kRange, 5, 2500, 1, 300, "exposure time"},
    {kCt, uvc::kCtFocusAbsolute, 5, 2, false, kRange, 0, 250, 5, 70, "focus"},
    {kCt, uvc::kCtIrisAbsolute, 7, 2, false, kRange, 0, 10, 1, 4, "iris"},
    {kCt, uvc::kCtZoomAbsolute, 9, 2, false, kRange, 100, 400, 1, 100, "zoom"},
    {kCt, uvc::kCtFocusAuto, 17, 1, false, kChoice, 0, 1, 1, 1, "focus, automatic"},
    {kCt, uvc::kCtPrivacy, 18, 1, false, kChoice, 0, 1, 1, 0, "privacy"},
    {kXu, kXuMirror, 0, 2, false, kRange, 0, 3, 1, 0, "mirror"},
    {kXu, kXuFocusArea, 1, 2, false, kRange, 0, 4, 1, 0, "focus area"},
    {kXu, kXuStatus, 2, 1, false, ControlKind::ReadOnly, 0, 1, 1, 1, "status"},
    {kXu, kXuRegisterBlock, 3, 4, false, ControlKind::Register, 0, 0, 0, 0, "register block"},
};

int32_t Decode(std::span<const uint8_t> data, size_t size, bool isSigned) {
    uint32_t v = 0;
    for (size_t i = 0; i < size && i < data.size(); ++i) v |= uint32_t{data[i]} << (8 * i);
    if (isSigned && size < 4 && (v & (1u << (8 * size - 1)))) v |= ~0u << (8 * size);
    return static_cast<int32_t>(v);
}

uint32_t Encode(std::span<uint8_t> data, int32_t value, size_t size) {
    size_t n = std::min(size, data.size());
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
    return static_cast<uint32_t>(n);
}

}  // namespace

std::span<const ControlSpec> ControlTable() { return kControls; }

VideoControls::VideoControls(const CameraConfig& config) : config_(config) { PowerOn(); }

void VideoControls::PowerOn() {
    states_.clear();
    for (const auto& spec : kControls) {
        State s{&spec, spec.minimum, spec.maximum, spec.resolution, spec.defaultValue, spec.defaultValue, false};
        if (spec.unit == kCt && spec.selector == uvc::kCtAeMode) s.resolution = config_.supportedExposureModes;
        if (spec.unit == kXu && spec.selector == kXuStatus) s.current = s.defaultValue = config_.statusByte;
        auto it = config_.overrides.find({spec.unit, spec.selector});
        if (it != config_.overrides.end()) {
            const ControlOverride& o = it->second;
            if (o.minimum) s.minimum = *o.minimum;
            if (o.maximum) s.maximum = *o.maximum;
            if (o.resolution) s.resolution = *o.resolution;
            if (o.defaultValue) s.defaultValue = s.current = *o.defaultValue;
            if (o.current) s.current = *o.current;
            s.stall = o.stall;
        }
        for (const auto& stalled : config_.faults.stallControls) {
            if (stalled == std::make_pair(spec.unit, spec.selector)) s.stall = true;
        }
        states_[{spec.unit, spec.selector}] = s;
    }
    registers_.clear();
    registers_[kRegisterVariant] = static_cast<uint8_t>(config_.variant == 1 ? 1 : 2);
    registers_[kRegisterFocusWindows] = 6;
    registers_[kRegisterFocusScale] = 2;
    registers_[kRegisterFocusThird] = config_.thirdFocusParameterAtPowerUp;
    registers_[kRegisterCameraMode] = 0;
    privacySwitch_ = config_.privacySwitchOn;
    registers_[kRegisterPrivacySwitch] = privacySwitch_ ? 1 : 0;
    std::memset(block_, 0, sizeof block_);
    lastError_ = RequestError::None;
}

VideoControls::State* VideoControls::Find(Unit unit, uint8_t selector) {
    auto it = states_.find({unit, selector});
    return it == states_.end() ? nullptr : &it->second;
}

const VideoControls::State* VideoControls::Find(Unit unit, uint8_t selector) const {
    auto it = states_.find({unit, selector});
    return it == states_.end() ? nullptr : &it->second;
}

bool VideoControls::Offered(Unit unit, uint8_t selector) const {
    const State* s = Find(unit, selector);
    if (s == nullptr) return false;
    switch (unit) {
        case Unit::ProcessingUnit: return s->spec->bit < 16 && (config_.processingControls >> s->spec->bit) & 1;
        case Unit::CameraTerminal:
            return s->spec->bit < 8 * std::min<uint8_t>(config_.cameraControlSize, 4) &&
                   (config_.cameraControls >> s->spec->bit) & 1;
        case Unit::ExtensionUnit: return config_.extensionUnit && ((config_.extensionControls >> s->spec->bit) & 1);
    }
    return false;
}

std::optional<int32_t> VideoControls::Value(Unit unit, uint8_t selector) const {
    const State* s = Find(unit, selector);
    if (s == nullptr) return std::nullopt;
    return s->current;
}

uint8_t VideoControls::Register(uint16_t address) const {
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

uint8_t VideoControls::MirrorBits() const {
    if (!Offered(kXu, kXuMirror)) return 0;
    return static_cast<uint8_t>(Find(kXu, kXuMirror)->current & 3);
}

bool VideoControls::SensorBlanked() const {
    bool privacy = Offered(kCt, uvc::kCtPrivacy) && Find(kCt, uvc::kCtPrivacy)->current != 0;
    return privacySwitch_ || (Register(kRegisterCameraMode) & kCameraModeSensorStandby) || privacy;
}

void VideoControls::SetPrivacySwitch(bool on) {
    privacySwitch_ = on;
    registers_[kRegisterPrivacySwitch] = on ? 1 : 0;
}

bool VideoControls::LockedByAutomatic(const ControlSpec& spec) const {
    if (!config_.autoModeLocksManualControls) return false;
    auto automatic = [this](Unit unit, uint8_t selector) {
        return Offered(unit, selector) && Find(unit, selector)->current != 0;
    };
    int32_t ae = Offered(kCt, uvc::kCtAeMode) ? Find(kCt, uvc::kCtAeMode)->current : uvc::kAeManual;
    if (spec.unit == kCt) {
        switch (spec.selector) {
            case uvc::kCtExposureTimeAbsolute: return ae == uvc::kAeAuto || ae == uvc::kAeAperturePriority;
            case uvc::kCtIrisAbsolute: return ae == uvc::kAeAuto || ae == uvc::kAeShutterPriority;
            case uvc::kCtFocusAbsolute: return automatic(kCt, uvc::kCtFocusAuto);
            default: return false;
        }
    }
    if (spec.unit == kPu) {
        switch (spec.selector) {
            case uvc::kPuWhiteBalanceTemperature: return automatic(kPu, uvc::kPuWhiteBalanceTemperatureAuto);
            case uvc::kPuWhiteBalanceComponent: return automatic(kPu, uvc::kPuWhiteBalanceComponentAuto);
            case uvc::kPuHue: return automatic(kPu, uvc::kPuHueAuto);
            default: return false;
        }
    }
    return false;
}

ControlResult VideoControls::Fail(RequestError error) {
    lastError_ = error;
    return {Handshake::Stall, 0};
}

ControlResult VideoControls::Done(uint32_t length) {
    lastError_ = RequestError::None;
    return {Handshake::Ack, length};
}

ControlResult VideoControls::Request(const SetupPacket& setup, std::span<uint8_t> data) {
    auto entity = static_cast<uint8_t>(setup.wIndex >> 8);
    auto selector = static_cast<uint8_t>(setup.wValue >> 8);
    if (entity == 0) {
        // The interface's own controls: only the request error code (UVC 1.1 4.2.1.2).
        if (selector != uvc::kVcRequestErrorCode) return Fail(RequestError::InvalidControl);
        uint8_t value;
        switch (setup.bRequest) {
            case uvc::kGetCur: value = static_cast<uint8_t>(lastError_); break;
            case uvc::kGetInfo: value = uvc::kInfoGet; break;
            default: return Fail(RequestError::InvalidRequest);
        }
        // Reading the code does not change it.
        return {Handshake::Ack, Encode(data, value, 1)};
    }
    if (entity == config_.cameraTerminalId) return UnitRequest(kCt, setup, data);
    if (entity == config_.processingUnitId) return UnitRequest(kPu, setup, data);
    if (config_.extensionUnit && entity == config_.extensionUnitId) return UnitRequest(kXu, setup, data);
    return Fail(RequestError::InvalidUnit);
}

ControlResult VideoControls::UnitRequest(Unit unit, const SetupPacket& setup, std::span<uint8_t> data) {
    auto selector = static_cast<uint8_t>(setup.wValue >> 8);
    State* s = Find(unit, selector);
    if (s == nullptr || !Offered(unit, selector)) return Fail(RequestError::InvalidControl);
    if (s->stall) return Fail(RequestError::Unknown);
    const ControlSpec& spec = *s->spec;
    if (spec.kind == ControlKind::Register) return RegisterRequest(setup, data);
    bool locked = LockedByAutomatic(spec);
    bool readOnly = spec.kind == ControlKind::ReadOnly;
    switch (setup.bRequest) {
        case uvc::kSetCur: {
            if (setup.In()) return Fail(RequestError::InvalidRequest);
            if (readOnly) return Fail(RequestError::InvalidRequest);
            if (setup.wLength != spec.size) return Fail(RequestError::InvalidRequest);
            if (locked) return Fail(RequestError::WrongState);
            int32_t value = Decode(data, spec.size, spec.isSigned);
            if (spec.kind == ControlKind::ExposureMode) {
                // Exactly one mode, and one the camera supports (UVC 1.1 4.2.2.1.2).
                bool oneBit = value > 0 && (value & (value - 1)) == 0;
                if (!oneBit || !(value & s->resolution)) return Fail(RequestError::OutOfRange);
            } else {
                if (value < s->minimum || value > s->maximum) return Fail(RequestError::OutOfRange);
                if (spec.kind == ControlKind::Range && s->resolution > 0 && (value - s->minimum) % s->resolution != 0) {
                    return Fail(RequestError::InvalidValueWithinRange);
                }
            }
            s->current = value;
            return Done(spec.size);
        }
        case uvc::kGetCur: return Done(Encode(data, s->current, spec.size));
        case uvc::kGetInfo: {
            uint8_t info = readOnly ? uvc::kInfoGet : uvc::kInfoGet | uvc::kInfoSet;
            if (locked) info |= uvc::kInfoDisabledByAuto | uvc::kInfoAutoUpdate;
            return Done(Encode(data, info, 1));
        }
        case uvc::kGetLen: return Done(Encode(data, spec.size, 2));
        case uvc::kGetDef:
            if (readOnly) return Fail(RequestError::InvalidRequest);
            return Done(Encode(data, s->defaultValue, spec.size));
        case uvc::kGetRes:
            if (spec.kind != ControlKind::Range && spec.kind != ControlKind::ExposureMode) {
                return Fail(RequestError::InvalidRequest);
            }
            return Done(Encode(data, s->resolution, spec.size));
        case uvc::kGetMin:
        case uvc::kGetMax:
            if (spec.kind != ControlKind::Range) return Fail(RequestError::InvalidRequest);
            return Done(Encode(data, setup.bRequest == uvc::kGetMin ? s->minimum : s->maximum, spec.size));
        default: return Fail(RequestError::InvalidRequest);
    }
}

ControlResult VideoControls::RegisterRequest(const SetupPacket& setup, std::span<uint8_t> data) {
    switch (setup.bRequest) {
        case uvc::kSetCur: {
            if (setup.In() || setup.wLength != 4) return Fail(RequestError::InvalidRequest);
            uint8_t command = data[0];
            auto address = static_cast<uint16_t>(data[1] | data[2] << 8);
            if (command == kRegisterWrite) {
                // The variant and the switch are wired; writes to them change nothing.
                if (address != kRegisterVariant && address != kRegisterPrivacySwitch) registers_[address] = data[3];
                std::memcpy(block_, data.data(), 4);
            } else if (command == kRegisterRead) {
                block_[0] = command;
                block_[1] = data[1];
                block_[2] = data[2];
                block_[3] = Register(address);
            } else {
                return Fail(RequestError::OutOfRange);
            }
            return Done(4);
        }
        case uvc::kGetCur: {
            size_t n = std::min<size_t>(4, data.size());
            std::memcpy(data.data(), block_, n);
            return Done(static_cast<uint32_t>(n));
        }
        case uvc::kGetInfo: return Done(Encode(data, uvc::kInfoGet | uvc::kInfoSet, 1));
        case uvc::kGetLen: return Done(Encode(data, 4, 2));
        default: return Fail(RequestError::InvalidRequest);
    }
}

}  // namespace qk::sim
