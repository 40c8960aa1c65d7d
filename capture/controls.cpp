// Camera controls: what each control of the property layer does to the
// camera (the class requests of the USB Video Class processing unit, camera
// terminal and the extension unit with its register block), which value the
// driver keeps and which it reports, and the controls that belong to the
// effects stage (zoom, pan, tilt, face tracking) with the stream restart a
// new capture size needs.
#include <cstring>

#include "capture/k0340dev.h"

namespace k0340 {
namespace {

// Selectors (USB Video Class 1.1, A.9.4 to A.9.6) and the extension unit's.
constexpr UCHAR kPuBacklight = 0x01, kPuBrightness = 0x02, kPuContrast = 0x03, kPuGain = 0x04, kPuPowerLine = 0x05,
                kPuHue = 0x06, kPuSaturation = 0x07, kPuSharpness = 0x08, kPuGamma = 0x09,
                kPuWhiteBalanceTemperature = 0x0A, kPuWhiteBalanceTemperatureAuto = 0x0B,
                kPuWhiteBalanceComponent = 0x0C, kPuWhiteBalanceComponentAuto = 0x0D;
constexpr UCHAR kCtExposureMode = 0x02, kCtExposureTime = 0x04, kCtFocus = 0x06, kCtFocusAuto = 0x08;
constexpr UCHAR kXuMirror = 0x01, kXuFocusArea = 0x02, kXuStatus = 0x03;

// Camera registers behind the extension unit's register block.
constexpr USHORT kRegisterFocusWindows = 0x8101, kRegisterFocusScale = 0x8102, kRegisterFocusThird = 0x8103,
                 kRegisterPrivacySwitch = 0x8108, kRegisterCameraMode = 0xBA00;
// Camera-mode bits that follow the privacy switch: sensor standby and the indicator.
constexpr UCHAR kPrivacyModeBits = 0x81;

constexpr LONG kAutomatic = 1, kManual = 2;

// The plain unit controls: value sent as it is, 2 bytes.
struct UnitControl {
    int control;
    UCHAR selector;
};
constexpr UnitControl kUnitControls[] = {
    {kBrightness, kPuBrightness}, {kContrast, kPuContrast},   {kHue, kPuHue},         {kSharpness, kPuSharpness},
    {kGamma, kPuGamma},           {kBacklight, kPuBacklight}, {kGain, kPuGain},
};

// Exposure property values (log2 of seconds) for camera values 100..2400 in steps of 100.
constexpr LONG kExposureRows[24] = {-6, -5, -5, -4, -4, -4, -3, -3, -3, -3, -3, -3,
                                    -2, -2, -2, -2, -2, -2, -2, -2, -2, -2, -2, -2};

USHORT FocusRegister(ULONG control) {
    return control == kFocusWindows ? kRegisterFocusWindows
           : control == kFocusScale ? kRegisterFocusScale
                                    : kRegisterFocusThird;
}

bool IsEffectsControl(ULONG control) {
    return control == kPan || control == kTilt || control == kZoom || control == kTrackingMode ||
           control == kTrackingSpeed || control == kPictureInPicture;
}

UsbCameraDevice* DeviceOfCamera(CameraContext* c) { return c->device; }

VOID WaitMilliseconds(LONG ms) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    LARGE_INTEGER wait;
    wait.QuadPart = -10000LL * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

// Effects-state values are read by the frame path; the stage's lock orders them.
LONG EffectsValue(CameraContext* c, ULONG control) {
    EffectsState* e = c->effects;
    if (e == nullptr) return 0;
    switch (control) {
        case kPan: return e->pan;
        case kTilt: return e->tilt;
        case kZoom: return e->zoom;
        case kTrackingMode: return e->trackingMode;
        case kTrackingSpeed: return e->speed;
        case kPictureInPicture: return e->pictureInPicture;
        default: return 0;
    }
}

bool NeedsLargerCapture(LONG zoom, LONG tracking) { return zoom != 50 || tracking != 0; }

// Keeps the camera context's copies of zoom and tracking mode, and restarts a
// running stream whose capture size they change.
int UpdateCaptureCopies(CameraContext* c) {
    EffectsState* e = c->effects;
    bool before = NeedsLargerCapture(c->zoomCopy, c->trackingCopy);
    c->zoomCopy = e->zoom;
    c->trackingCopy = e->trackingMode;
    bool after = NeedsLargerCapture(c->zoomCopy, c->trackingCopy);
    UsbCameraDevice* d = DeviceOfCamera(c);
    // Only outputs narrower than 640 are captured larger; the restart brings
    // the camera to the size the new setting needs, in either direction.
    if (before == after || !d->Streaming() || c->stream.outputWidth >= 640) return 0;
    return NT_SUCCESS(d->RestartStream()) ? 0 : -1;
}

int SetEffectsControl(CameraContext* c, ControlRequest* r) {
    EffectsState* e = c->effects;
    if (e == nullptr) return kControlFailed;
    const bool tracking = e->trackingMode != 0;
    int result = kControlDone;
    switch (r->control) {
        case kPan:
        case kTilt:
        case kZoom: {
            // Tracking owns the framing while it runs.
            if (tracking) return kControlBusy;
            LONG* field = r->control == kPan ? &e->pan : r->control == kTilt ? &e->tilt : &e->zoom;
            KIRQL old;
            KeAcquireSpinLock(&e->lock, &old);
            *field = r->value;
            KeReleaseSpinLock(&e->lock, old);
            if (r->control == kZoom) result = UpdateCaptureCopies(c);
            break;
        }
        case kTrackingMode: {
            if (r->value == e->trackingMode) return kControlDone;
            LONG previous = e->trackingMode;
            KIRQL old;
            KeAcquireSpinLock(&e->lock, &old);
            e->trackingMode = r->value;
            KeReleaseSpinLock(&e->lock, old);
            if (EffectsApplyTracking(c) != 0) {
                KeAcquireSpinLock(&e->lock, &old);
                e->trackingMode = previous;
                KeReleaseSpinLock(&e->lock, old);
                return kControlFailed;
            }
            KeAcquireSpinLock(&e->lock, &old);
            if (r->value == 0) {
                e->zoom = e->rememberedZoom;
                e->pan = e->rememberedPan;
                e->tilt = e->rememberedTilt;
            } else if (previous == 0) {
                e->rememberedZoom = e->zoom;
                e->rememberedPan = e->pan;
                e->rememberedTilt = e->tilt;
                e->zoom = 50;
                e->pan = 0;
                e->tilt = 0;
            }
            KeReleaseSpinLock(&e->lock, old);
            result = UpdateCaptureCopies(c);
            break;
        }
        case kTrackingSpeed:
        case kPictureInPicture: {
            LONG* field = r->control == kTrackingSpeed ? &e->speed : &e->pictureInPicture;
            if (r->value == *field) return tracking ? kControlDone : kControlBusy;
            LONG previous = *field;
            *field = r->value;
            if (EffectsApplyTracking(c) != 0) {
                *field = previous;
                return kControlFailed;
            }
            break;
        }
        default:
            return kControlFailed;
    }
    SaveFaceTracking(DeviceOfCamera(c));
    return result;
}

}  // namespace

// ---- Exposure tables ---------------------------------------------------------------------------

LONG ExposureValueFromCamera(LONG cameraUnits) {
    if (cameraUnits <= 100) return -6;
    if (cameraUnits >= 2400) return -2;
    // The nearer row wins; a tie goes to the lower row.
    LONG row = (cameraUnits - 100) / 100;
    LONG rest = (cameraUnits - 100) % 100;
    if (rest > 50) ++row;
    return kExposureRows[row];
}

LONG ExposureCameraFromValue(LONG value) {
    switch (value) {
        case -6: return 100;
        case -5: return 300;
        case -4: return 600;
        case -3: return 1200;
        case -2: return 2000;
        default: return 100;
    }
}

// ---- Camera writes -----------------------------------------------------------------------------

bool CapabilityAllows(const CapabilityEntry& e, LONG value) {
    switch (e.kind) {
        case kCapRange: {
            LONGLONG step = e.values[2] > 0 ? e.values[2] : 1;
            return value >= e.values[0] && value <= e.values[1] && (LONGLONG{value} - e.values[0]) % step == 0;
        }
        case kCapList:
            for (LONG i = 0; i < e.count && i < 20; ++i) {
                if (e.values[i] == value) return true;
            }
            return false;
        case kCapFlag:
            return value == 0 || value == 1;
        default:
            return false;
    }
}

bool StoredValueAllowed(const CameraContext* c, int control, LONG value) {
    // Stored in the camera's own units where they differ from the property's.
    if (control == kSaturation) return value >= 3 && value <= 7;
    if (control == kExposure) {
        const ControlState& s = c->controls[kExposure];
        return value >= s.minimum && value <= s.maximum;
    }
    const CapabilityEntry* e = CapabilityFor(c, control);
    return e != nullptr && CapabilityAllows(*e, value);
}

const CapabilityEntry* CapabilityFor(const CameraContext* c, int control) {
    for (ULONG i = 0; c->capabilities != nullptr && i < c->capabilityCount; ++i) {
        if (c->capabilities[i].control == control) return &c->capabilities[i];
    }
    return nullptr;
}

int WriteUnitControl(CameraContext* c, int control, LONG value) {
    for (const UnitControl& u : kUnitControls) {
        if (u.control != control) continue;
        SHORT v = static_cast<SHORT>(value);
        return UnitRequest(c->device, kSetCur, c->processingUnit, u.selector, &v, 2);
    }
    return -1;
}

int WriteSaturationLevel(CameraContext* c, LONG level) {
    USHORT v = static_cast<USHORT>(level);
    return UnitRequest(c->device, kSetCur, c->processingUnit, kPuSaturation, &v, 2);
}

int WriteWhiteBalanceAuto(CameraContext* c, LONG flags) {
    if (flags != kAutomatic && flags != kManual) return -1;
    UCHAR on = flags == kAutomatic ? 1 : 0;
    UCHAR selector = (c->processingControls & (1u << 12)) ? kPuWhiteBalanceTemperatureAuto : kPuWhiteBalanceComponentAuto;
    return UnitRequest(c->device, kSetCur, c->processingUnit, selector, &on, 1);
}

int WriteWhiteBalanceTemperature(CameraContext* c, LONG kelvin) {
    if (c->processingControls & (1u << 6)) {
        USHORT v = static_cast<USHORT>(kelvin);
        return UnitRequest(c->device, kSetCur, c->processingUnit, kPuWhiteBalanceTemperature, &v, 2);
    }
    ULONG v = static_cast<ULONG>(kelvin);
    return UnitRequest(c->device, kSetCur, c->processingUnit, kPuWhiteBalanceComponent, &v, 4);
}

int WritePowerLine(CameraContext* c, LONG value) {
    UCHAR v = static_cast<UCHAR>(value - 1);
    return UnitRequest(c->device, kSetCur, c->processingUnit, kPuPowerLine, &v, 1);
}

int WriteMirrorBits(CameraContext* c, USHORT bits) {
    if (UnitRequest(c->device, kSetCur, c->extensionUnit, kXuMirror, &bits, 2) != 0) return -1;
    Store(c->mirrorBits, bits);
    return 0;
}

int WriteFocusArea(CameraContext* c, LONG area) {
    if (area < 1 || area > 5) return -1;
    USHORT v = static_cast<USHORT>(area == 5 ? 0 : area);
    return UnitRequest(c->device, kSetCur, c->extensionUnit, kXuFocusArea, &v, 2);
}

int WriteFocusPosition(CameraContext* c, LONG position) {
    USHORT v = static_cast<USHORT>(position);
    if (UnitRequest(c->device, kSetCur, c->cameraTerminal, kCtFocus, &v, 2) != 0) return -1;
    Store(c->controls[kFocus].current, position);
    return 0;
}

int SetExposureMode(CameraContext* c, LONG flags) {
    UCHAR supported = 0;
    if (UnitRequest(c->device, kGetRes, c->cameraTerminal, kCtExposureMode, &supported, 1) != 0) return -1;
    UCHAR mode;
    int result = 0;
    if (flags == kAutomatic) {
        mode = supported & 0x0A;
    } else {
        // Manual; any other flags write the manual bits and fail.
        mode = supported & 0x05;
        result = flags == kManual ? 0 : -1;
    }
    if (UnitRequest(c->device, kSetCur, c->cameraTerminal, kCtExposureMode, &mode, 1) != 0) return -1;
    if (result == 0) {
        // Also written by the deferred exposure kick while a save may read them.
        Store(c->exposureModeFlags, flags);
        Store(c->controls[kExposure].flags, flags);
    }
    return result;
}

int SetFocusMode(CameraContext* c, LONG flags) {
    UCHAR on = flags == kAutomatic ? 1 : 0;
    if (UnitRequest(c->device, kSetCur, c->cameraTerminal, kCtFocusAuto, &on, 1) != 0) return -1;
    if (flags != kAutomatic && flags != kManual) return -1;
    Store(c->focusModeFlags, flags);
    Store(c->controls[kFocus].flags, flags);
    return 0;
}

int WriteExposure(CameraContext* c, LONG cameraUnits) {
    ULONG value = static_cast<ULONG>(cameraUnits);
    if (UnitRequest(c->device, kSetCur, c->cameraTerminal, kCtExposureTime, &value, 4) != 0) return -1;
    Store(c->controls[kExposure].current, cameraUnits);
    return 0;
}

VOID ExposureKick(CameraContext* c) {
    // Nudges the camera's exposure loop on the first frame after an open.
    bool focusWasAutomatic = Load(c->focusModeFlags) == kAutomatic && (c->controls[kFocus].capabilities & 1);
    if (focusWasAutomatic) SetFocusMode(c, kManual);
    SetExposureMode(c, kManual);
    WriteExposure(c, 300);
    SetExposureMode(c, kAutomatic);
    if (focusWasAutomatic) SetFocusMode(c, kAutomatic);
}

int ReadClamped(CameraContext* c, int control, LONG* value) {
    ControlState& s = c->controls[control];
    LONG v = 0;
    if (control == kExposure) {
        ULONG raw = 0;
        if (UnitRequest(c->device, kGetCur, c->cameraTerminal, kCtExposureTime, &raw, 4) != 0) return -1;
        v = static_cast<LONG>(raw);
    } else if (control == kFocus) {
        USHORT raw = 0;
        if (UnitRequest(c->device, kGetCur, c->cameraTerminal, kCtFocus, &raw, 2) != 0) return -1;
        v = raw;
    } else {
        return -1;
    }
    LONG clamped = v;
    if (clamped > s.maximum) clamped = s.maximum;
    if (clamped < s.minimum) clamped = s.minimum;
    LONGLONG step = s.step > 0 ? s.step : 1;
    LONGLONG off = (LONGLONG{clamped} - s.minimum) % step;
    if (off != 0) clamped = static_cast<LONG>(clamped - off);  // the next grid value below
    if (clamped != v) {
        if (control == kExposure) WriteExposure(c, clamped);
        else WriteFocusPosition(c, clamped);
    }
    s.current = clamped;
    *value = clamped;
    return 0;
}

BOOLEAN RefreshRegisterStatus(CameraContext* c) {
    UCHAR status = 0;
    BOOLEAN works = c->extensionUnit != 0 &&
                    UnitRequest(c->device, kGetCur, c->extensionUnit, kXuStatus, &status, 1) == 0 && status == 1;
    Store(c->registersWork, works);
    return works;
}

VOID SyncPrivacyMode(CameraContext* c) {
    if (!RefreshRegisterStatus(c)) return;
    UCHAR privacy = 0, mode = 0;
    if (ReadRegister(c, kRegisterPrivacySwitch, &privacy) != 0) return;
    Store(c->hardwarePrivacy, static_cast<BOOLEAN>(privacy == 1));
    if (ReadRegister(c, kRegisterCameraMode, &mode) != 0) return;
    UCHAR wanted = privacy == 1 ? static_cast<UCHAR>(mode | kPrivacyModeBits)
                                      : static_cast<UCHAR>(mode & ~kPrivacyModeBits);
    if (wanted == mode) return;
    if (WriteRegister(c, kRegisterCameraMode, wanted) == 0 && privacy != 1) {
        DbgPrint("New value = 0x%X.\r\n", wanted);
    }
}

// ---- The control table -------------------------------------------------------------------------

int SetControlValue(CameraContext* c, ControlRequest* r) {
    if (r->control >= kControlCount) return kControlFailed;
    if (IsEffectsControl(r->control)) return SetEffectsControl(c, r);
    ControlState& s = c->controls[r->control];
    switch (r->control) {
        case kBrightness:
        case kContrast:
        case kSharpness:
        case kGamma:
        case kBacklight:
        case kGain:
            if (WriteUnitControl(c, static_cast<int>(r->control), r->value) != 0) return kControlFailed;
            s.current = r->value;
            return kControlDone;
        case kHue:
            s.flags = r->flags;
            if (WriteUnitControl(c, kHue, r->value) != 0) return kControlFailed;
            s.current = r->value;
            return kControlDone;
        case kSaturation: {
            // The property's 0..4 are the camera's levels 3..7.
            LONG level = r->value >= 0 && r->value <= 4 ? r->value + 3 : 5;
            if (WriteSaturationLevel(c, level) != 0) return kControlFailed;
            s.current = level;
            return kControlDone;
        }
        case kWhiteBalance: {
            if (r->flags != kAutomatic && r->flags != kManual) return kControlFailed;
            if (s.capabilities & kAutomatic) {
                if (WriteWhiteBalanceAuto(c, r->flags) != 0) return kControlFailed;
            } else if (r->flags == kAutomatic) {
                return kControlFailed;  // the camera has no automatic white balance
            }
            s.flags = r->flags;
            c->whiteBalanceModeFlags = r->flags;
            if (r->flags == kManual) {
                if (WriteWhiteBalanceTemperature(c, r->value) != 0) return kControlFailed;
                s.current = r->value;
            }
            return kControlDone;
        }
        case kWhiteBalancePreset: {
            static constexpr LONG kKelvin[] = {0, 4650, 2800, 6500};
            if (r->value < 0 || r->value > 3) return kControlFailed;
            ControlRequest wb{kWhiteBalance, kKelvin[r->value], r->value == 0 ? kAutomatic : kManual, 0};
            return SetControlValue(c, &wb);
        }
        case kPowerLine:
            if (WritePowerLine(c, r->value) != 0) return kControlFailed;
            s.current = r->value;
            return kControlDone;
        case kExposure: {
            if (r->flags != kAutomatic && r->flags != kManual) {
                SetExposureMode(c, r->flags);  // writes the manual bits; fails
                return kControlFailed;
            }
            if (s.capabilities & kAutomatic) {
                if (SetExposureMode(c, r->flags) != 0) return kControlFailed;
            } else if (r->flags == kAutomatic) {
                return kControlFailed;  // no automatic exposure on this camera
            }
            s.flags = r->flags;
            if (r->flags == kManual) {
                if (WriteExposure(c, ExposureCameraFromValue(r->value)) != 0) return kControlFailed;
                WaitMilliseconds(500);  // the sensor settles on the new time
            }
            return kControlDone;
        }
        case kFocus: {
            if (r->flags != kAutomatic && r->flags != kManual) {
                SetFocusMode(c, r->flags);
                return kControlFailed;
            }
            if (s.capabilities & kAutomatic) {
                if (SetFocusMode(c, r->flags) != 0) return kControlFailed;
            } else if (r->flags == kAutomatic) {
                return kControlFailed;
            }
            s.flags = r->flags;
            if (r->flags == kManual && WriteFocusPosition(c, r->value) != 0) return kControlFailed;
            return kControlDone;
        }
        case kMirrorHorizontal:
        case kMirrorVertical: {
            USHORT bit = r->control == kMirrorHorizontal ? 1 : 2;
            USHORT bits = c->mirrorBits;
            bits = (r->flags & bit) ? static_cast<USHORT>(bits | bit) : static_cast<USHORT>(bits & ~bit);
            if (WriteMirrorBits(c, bits) != 0) return kControlFailed;
            s.flags = (bits & bit) ? bit : 0;
            return kControlDone;
        }
        case kFocusArea:
            if (WriteFocusArea(c, r->value) != 0) return kControlFailed;
            s.current = r->value;
            return kControlDone;
        case kFocusWindows:
        case kFocusScale:
        case kFocusThird: {
            if (WriteRegister(c, FocusRegister(r->control), static_cast<UCHAR>(r->value)) != 0) return kControlFailed;
            s.current = r->value;
            return kControlDone;
        }
        default:
            // Colour enable, pan-tilt, the second zoom row, iris, the reserved
            // rows and the camera variant have no behaviour.
            return kControlFailed;
    }
}

int GetControlValue(CameraContext* c, ControlRequest* r) {
    if (r->control >= kControlCount) return kControlFailed;
    ControlState& s = c->controls[r->control];
    r->flags = s.flags;
    r->capabilities = s.capabilities;
    if (IsEffectsControl(r->control)) {
        if (c->effects == nullptr) return kControlFailed;
        r->value = EffectsValue(c, r->control);
        r->flags = r->capabilities = kManual;
        const bool tracking = c->effects->trackingMode != 0;
        if (r->control == kPan || r->control == kTilt || r->control == kZoom) return tracking ? kControlBusy : kControlDone;
        if (r->control == kTrackingMode) return kControlDone;
        return tracking ? kControlDone : kControlBusy;
    }
    switch (r->control) {
        case kBrightness:
        case kContrast:
        case kHue:
        case kSharpness:
        case kGamma:
        case kBacklight:
        case kGain:
        case kPowerLine:
        case kFocusArea:
            r->value = s.current;
            return kControlDone;
        case kSaturation:
            if (s.current < 3 || s.current > 7) {
                // A level the property cannot show: the camera goes back to 4.
                if (WriteSaturationLevel(c, 4) != 0) return kControlFailed;
                s.current = 4;
            }
            r->value = s.current - 3;
            return kControlDone;
        case kWhiteBalance:
            r->value = s.current;
            return kControlDone;
        case kWhiteBalancePreset: {
            const ControlState& wb = c->controls[kWhiteBalance];
            r->flags = r->capabilities = kManual;
            if (wb.flags == kAutomatic) {
                r->value = 0;
                return kControlDone;
            }
            switch (wb.current) {
                case 2800: r->value = 2; return kControlDone;
                case 4650: r->value = 1; return kControlDone;
                case 6500: r->value = 3; return kControlDone;
                default: return kControlFailed;
            }
        }
        case kExposure: {
            LONG units;
            if (ReadClamped(c, kExposure, &units) != 0) return kControlFailed;
            r->value = ExposureValueFromCamera(units);
            return kControlDone;
        }
        case kFocus:
            return ReadClamped(c, kFocus, &r->value) == 0 ? kControlDone : kControlFailed;
        case kMirrorHorizontal:
        case kMirrorVertical: {
            USHORT bits = 0;
            if (UnitRequest(c->device, kGetCur, c->extensionUnit, kXuMirror, &bits, 2) != 0 || bits >= 4) {
                return kControlFailed;
            }
            Store(c->mirrorBits, bits);
            USHORT bit = r->control == kMirrorHorizontal ? 1 : 2;
            r->flags = (bits & bit) ? bit : 0;
            s.flags = r->flags;
            r->value = 0;
            return kControlDone;
        }
        case kFocusWindows:
        case kFocusScale:
        case kFocusThird: {
            const USHORT address = FocusRegister(r->control);
            UCHAR value = 0;
            if (ReadRegister(c, address, &value) != 0) return kControlFailed;
            if (r->control == kFocusThird && value == 0) {
                // The camera powers up with 0, which it cannot work with.
                if (WriteRegister(c, address, 8) != 0) return kControlFailed;
                value = 8;
            }
            s.current = value;
            r->value = value;
            return kControlDone;
        }
        case kCameraVariant:
            r->value = c->variant == 2 ? 1 : 0;
            r->flags = r->capabilities = kManual;
            return kControlDone;
        default:
            return kControlFailed;
    }
}

}  // namespace k0340
