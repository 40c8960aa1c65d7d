// The camera context: identification, camera variant, the register block,
// capability discovery from the video-class descriptors, and the probe and
// commit negotiation of a stream.
#include <cstdio>
#include <cstring>

#include "capture/k0340dev.h"
#include "common/usb_ids.h"

namespace k0340 {
namespace {

// Selectors of the units (USB Video Class 1.1, A.9).
constexpr UCHAR kPuBacklight = 0x01, kPuBrightness = 0x02, kPuContrast = 0x03, kPuGain = 0x04, kPuPowerLine = 0x05,
                kPuHue = 0x06, kPuSaturation = 0x07, kPuSharpness = 0x08, kPuGamma = 0x09,
                kPuWhiteBalanceTemperature = 0x0A, kPuWhiteBalanceTemperatureAuto = 0x0B,
                kPuWhiteBalanceComponent = 0x0C, kPuWhiteBalanceComponentAuto = 0x0D, kPuDigitalMultiplier = 0x0E,
                kPuDigitalMultiplierLimit = 0x0F, kPuHueAuto = 0x10;
constexpr UCHAR kCtExposureMode = 0x02, kCtExposureTime = 0x04, kCtFocus = 0x06, kCtFocusAuto = 0x08, kCtIris = 0x09,
                kCtPrivacy = 0x11;
constexpr UCHAR kXuRegisterBlock = 0x04;
constexpr UCHAR kVsProbe = 0x01, kVsCommit = 0x02;
constexpr UCHAR kRegisterUnit = 4;  // the extension unit's id on the QK0340, used before discovery

void AddEntry(CameraContext* c, LONG control, LONG kind, LONG defaultValue, std::initializer_list<LONG> values) {
    if (c->capabilityCount >= c->capabilityRoom) return;  // entries are added only while there is room
    CapabilityEntry& e = c->capabilities[c->capabilityCount++];
    e = {};
    e.control = control;
    e.kind = kind;
    e.defaultValue = defaultValue;
    for (LONG v : values) {
        if (e.count < 20) e.values[e.count++] = v;
    }
}

// A 1-, 2- or 4-byte little-endian value of a control, signed as UVC defines
// the controls the driver reads (brightness and hue are signed; the others fit).
LONG Value(const UCHAR* b, ULONG bytes) {
    if (bytes == 1) return b[0];
    if (bytes == 2) return static_cast<SHORT>(b[0] | (b[1] << 8));
    return static_cast<LONG>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<ULONG>(b[3]) << 24));
}

struct ControlReading {
    LONG current = 0, defaultValue = 0, resolution = 0, maximum = 0, minimum = 0;
};

ControlReading ReadControl(CameraContext* c, UCHAR unit, UCHAR selector, ULONG bytes) {
    ControlReading r;
    UCHAR buffer[4];
    const UCHAR requests[] = {kGetCur, kGetDef, kGetRes, kGetMax, kGetMin};
    LONG* targets[] = {&r.current, &r.defaultValue, &r.resolution, &r.maximum, &r.minimum};
    for (int i = 0; i < 5; ++i) {
        std::memset(buffer, 0, sizeof buffer);
        // A failed read leaves zero; the range checks below replace it.
        if (UnitRequest(c->device, requests[i], unit, selector, buffer, bytes) == 0) *targets[i] = Value(buffer, bytes);
    }
    if (r.resolution < 1) r.resolution = 1;
    return r;
}

// Stores a ranged control: an off-grid or out-of-range default becomes the
// fallback, an invalid current value the default.
void StoreRange(CameraContext* c, int control, const ControlReading& r, LONG fallback) {
    ControlState& s = c->controls[control];
    s.minimum = r.minimum;
    s.maximum = r.maximum;
    s.step = r.resolution;
    LONG def = r.defaultValue;
    // Computed wide: a 4-byte control's range can span more than a LONG.
    auto offGrid = [&](LONG v) { return (LONGLONG{v} - r.minimum) % r.resolution != 0; };
    if (def < r.minimum || def > r.maximum || offGrid(def)) def = fallback;
    s.defaultValue = def;
    LONG cur = r.current;
    if (cur < r.minimum || cur > r.maximum || offGrid(cur)) cur = def;
    s.current = cur;
    s.flags = 2;
    s.capabilities = 2;
}

}  // namespace

int ReadRegister(CameraContext* camera, USHORT address, UCHAR* value) {
    UCHAR unit = camera->extensionUnit ? camera->extensionUnit : kRegisterUnit;
    UCHAR block[4] = {0x00, static_cast<UCHAR>(address & 0xFF), static_cast<UCHAR>(address >> 8), 0};
    if (UnitRequest(camera->device, kSetCur, unit, kXuRegisterBlock, block, 4) != 0) return -1;
    if (UnitRequest(camera->device, kGetCur, unit, kXuRegisterBlock, block, 4) != 0) return -1;
    *value = block[3];
    return 0;
}

int WriteRegister(CameraContext* camera, USHORT address, UCHAR value) {
    UCHAR unit = camera->extensionUnit ? camera->extensionUnit : kRegisterUnit;
    UCHAR block[4] = {0x20, static_cast<UCHAR>(address & 0xFF), static_cast<UCHAR>(address >> 8), value};
    return UnitRequest(camera->device, kSetCur, unit, kXuRegisterBlock, block, 4);
}

NTSTATUS CreateCameraContext(UsbCameraDevice* device, CameraContext** context) {
    // The supported camera only: "VID_%04x&PID_%04x" compared without regard to case.
    USB_DEVICE_DESCRIPTOR descriptor{};
    ULONG got = 0;
    NTSTATUS status = GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, sizeof descriptor, &got);
    if (!NT_SUCCESS(status) || got < sizeof descriptor) return STATUS_UNSUCCESSFUL;
    char camera[32], supported[32];
    std::snprintf(camera, sizeof camera, "VID_%04x&PID_%04x", descriptor.idVendor, descriptor.idProduct);
    std::snprintf(supported, sizeof supported, "VID_%04x&PID_%04x", qk::ids::kCameraVendorId, qk::ids::kCameraProductId);
    for (size_t i = 0; camera[i] || supported[i]; ++i) {
        auto lower = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch; };
        if (lower(camera[i]) != lower(supported[i])) return STATUS_UNSUCCESSFUL;
    }
    auto* c = static_cast<CameraContext*>(Allocate(sizeof(CameraContext)));
    if (c == nullptr) return STATUS_UNSUCCESSFUL;
    c->marker = kMarkerCameraContext;
    c->device = device;
    c->zoomCopy = 50;
    c->pictures[0] = static_cast<UCHAR*>(Allocate(kPictureBuffer));
    c->pictures[1] = static_cast<UCHAR*>(Allocate(kPictureBuffer));
    c->workBuffer = static_cast<UCHAR*>(Allocate(kWorkBuffer));
    c->workBufferBytes = c->workBuffer ? kWorkBuffer : 0;
    c->fittedWhich = -1;
    if (c->pictures[0] == nullptr || c->pictures[1] == nullptr || c->workBuffer == nullptr) {
        DestroyCameraContext(c);
        return STATUS_UNSUCCESSFUL;
    }
    // Variant: a camera whose register 0x8100 reads 1 is variant 1.
    UCHAR value = 0;
    c->variant = ReadRegister(c, 0x8100, &value) == 0 && value == 1 ? 1 : 2;
    *context = c;
    return STATUS_SUCCESS;
}

VOID DestroyCameraContext(CameraContext* context) {
    if (context == nullptr) return;
    Free(context->pictures[0]);
    Free(context->pictures[1]);
    Free(context->workBuffer);
    Free(context->frameWork);
    Free(context->capabilities);
    for (UCHAR* picture : context->substitutes) Free(picture);
    Free(context);
}

VOID DiscoverCapabilities(CameraContext* c, const UCHAR* descriptors, ULONG length) {
    // The units and their control bitmaps from the class-specific descriptors
    // of the video control interface (the streaming interface reuses the same
    // subtype numbers for its formats and frames).
    bool inVideoControl = false;
    for (ULONG at = 0; at + 3 <= length;) {
        UCHAR bLength = descriptors[at];
        if (bLength < 3 || at + bLength > length) break;
        const UCHAR* d = descriptors + at;
        if (d[1] == 0x04 && bLength >= 9) inVideoControl = d[5] == 0x0E && d[6] == 0x01;
        if (d[1] == 0x24 && inVideoControl) {
            if (d[2] == 0x05 && bLength >= 10) {  // processing unit
                c->processingUnit = d[3];
                c->processingControls = d[8] | (d[9] << 8);
            } else if (d[2] == 0x02 && bLength >= 15) {  // input (camera) terminal
                c->cameraTerminal = d[3];
                // Four bytes at offset 15, as far as the descriptor goes.
                ULONG bits = 0;
                for (ULONG i = 0; i < 4 && 15 + i < bLength; ++i) bits |= ULONG{d[15 + i]} << (8 * i);
                c->cameraControls = bits;
            } else if (d[2] == 0x06 && bLength >= 24) {  // extension unit
                UCHAR pins = d[21];
                ULONG offset = pins + 23u;
                if (offset < bLength) {
                    c->extensionUnit = d[3];
                    UCHAR size = d[22u + pins];
                    ULONG bits = 0;
                    for (ULONG i = 0; i < size && i < 4 && offset + i < bLength; ++i) bits |= ULONG{d[offset + i]} << (8 * i);
                    c->extensionControls = bits;
                }
            }
        }
        at += bLength;
    }
    ULONG bitsSet = static_cast<ULONG>(__builtin_popcount(c->processingControls) +
                                       __builtin_popcount(c->cameraControls) + __builtin_popcount(c->extensionControls));
    c->capabilityRoom = bitsSet + 13;
    // A configuration with a second streaming interface discovers again: the
    // first table goes.
    Free(c->capabilities);
    c->capabilities = static_cast<CapabilityEntry*>(Allocate(sizeof(CapabilityEntry) * c->capabilityRoom));
    if (c->capabilities == nullptr) c->capabilityRoom = 0;
    c->capabilityCount = 0;

    const ULONG pu = c->processingControls, ct = c->cameraControls, xu = c->extensionUnit ? c->extensionControls : 0;
    auto ranged = [&](int control, UCHAR unit, UCHAR selector, ULONG bytes, LONG fallback) {
        ControlReading r = ReadControl(c, unit, selector, bytes);
        StoreRange(c, control, r, fallback);
        ControlState& s = c->controls[control];
        AddEntry(c, control, kCapRange, s.defaultValue, {s.minimum, s.maximum, s.step});
    };
    const UCHAR p = c->processingUnit, t = c->cameraTerminal;
    if (pu & (1u << 0)) ranged(kBrightness, p, kPuBrightness, 2, 0);
    if (pu & (1u << 1)) ranged(kContrast, p, kPuContrast, 2, 1);
    if (pu & (1u << 2)) ranged(kHue, p, kPuHue, 2, 0);
    if (pu & (1u << 3)) {
        ControlReading r = ReadControl(c, p, kPuSaturation, 2);
        StoreRange(c, kSaturation, r, 5);
        // The property offers levels 3..7 as 0..4; the camera starts at level 4.
        ControlState& s = c->controls[kSaturation];
        if (r.defaultValue != 4) {
            USHORT level = 4;
            UnitRequest(c->device, kSetCur, p, kPuSaturation, &level, 2);
        }
        s.current = 4;
        AddEntry(c, kSaturation, kCapRange, 1, {0, 4, 1});
    }
    if (pu & (1u << 4)) ranged(kSharpness, p, kPuSharpness, 2, 0);
    if (pu & (1u << 5)) ranged(kGamma, p, kPuGamma, 2, 50);
    if (pu & ((1u << 6) | (1u << 7))) {
        if (pu & (1u << 6)) ranged(kWhiteBalance, p, kPuWhiteBalanceTemperature, 2, 6500);
        if (pu & (1u << 7)) ranged(kWhiteBalance, p, kPuWhiteBalanceComponent, 4, 6500);
        AddEntry(c, kWhiteBalancePreset, kCapList, 0, {0, 1, 2, 3});
    }
    if (pu & (1u << 8)) ranged(kBacklight, p, kPuBacklight, 2, 0);
    if (pu & (1u << 9)) ranged(kGain, p, kPuGain, 2, 0);
    if (pu & (1u << 10)) {
        ControlReading r = ReadControl(c, p, kPuPowerLine, 1);
        ControlState& s = c->controls[kPowerLine];
        s.defaultValue = r.defaultValue + 1;
        s.current = r.current + 1;
        s.minimum = 1;
        s.maximum = 3;
        s.step = 1;
        s.flags = s.capabilities = 2;
        AddEntry(c, kPowerLine, kCapList, s.defaultValue, {1, 2, 3});
    }
    if (pu & (1u << 11)) {
        ControlReading r = ReadControl(c, p, kPuHueAuto, 1);
        c->controls[kHue].flags = r.defaultValue == 0 ? 2 : 1;
        c->hueModeFlags = c->controls[kHue].flags;
    }
    if (pu & ((1u << 12) | (1u << 13))) {
        UCHAR selector = (pu & (1u << 12)) ? kPuWhiteBalanceTemperatureAuto : kPuWhiteBalanceComponentAuto;
        ControlReading r = ReadControl(c, p, selector, 1);
        c->controls[kWhiteBalance].capabilities |= 1;
        c->controls[kWhiteBalance].flags = r.defaultValue == 0 ? 2 : 1;
        c->whiteBalanceModeFlags = c->controls[kWhiteBalance].flags;
    }
    if (pu & (1u << 14)) ReadControl(c, p, kPuDigitalMultiplier, 2);
    if (pu & (1u << 15)) ReadControl(c, p, kPuDigitalMultiplierLimit, 2);
    if (ct & (1u << 1)) {
        ControlReading r = ReadControl(c, t, kCtExposureMode, 1);
        c->controls[kExposure].capabilities |= 1;
        c->exposureModeFlags = (r.defaultValue & 1) ? 2 : 1;
    }
    if (ct & (1u << 3)) {
        ControlReading r = ReadControl(c, t, kCtExposureTime, 4);
        StoreRange(c, kExposure, r, 300);
        ControlState& s = c->controls[kExposure];
        s.capabilities |= (ct & (1u << 1)) ? 1 : 0;
        s.flags = c->exposureModeFlags == 1 ? 1 : 2;
        AddEntry(c, kExposure, kCapRange, ExposureValueFromCamera(s.defaultValue),
                 {ExposureValueFromCamera(s.minimum), ExposureValueFromCamera(s.maximum), 1});
    }
    if (ct & (1u << 5)) ranged(kFocus, t, kCtFocus, 2, 70);
    if (ct & (1u << 7)) ranged(kIris, t, kCtIris, 2, 0);
    if (ct & (1u << 17)) {
        ControlReading r = ReadControl(c, t, kCtFocusAuto, 1);
        c->controls[kFocus].capabilities |= 1;
        c->controls[kFocus].flags = r.defaultValue == 0 ? 2 : 1;
        c->focusModeFlags = c->controls[kFocus].flags;
    }
    // Controls the driver always offers.
    AddEntry(c, kPrivacy, kCapRange, 0, {0, 1, 1});
    USHORT off = 0;
    UnitRequest(c->device, kSetCur, t, kCtPrivacy, &off, 2);
    AddEntry(c, kZoom, kCapRange, 50, {50, 100, 1});
    AddEntry(c, kPan, kCapRange, 0, {-50, 50, 1});
    AddEntry(c, kTilt, kCapRange, 0, {-50, 50, 1});
    AddEntry(c, kTrackingMode, kCapList, 0, {0, 1, 2});
    AddEntry(c, kTrackingSpeed, kCapList, 1, {0, 1, 2});
    AddEntry(c, kPictureInPicture, kCapList, 0, {0, 1, 2});
    if (xu & (1u << 0)) {
        AddEntry(c, kMirrorHorizontal, kCapRange, 0, {0, 1, 1});
        AddEntry(c, kMirrorVertical, kCapRange, 0, {0, 2, 2});
    }
    if (xu & (1u << 1)) AddEntry(c, kFocusArea, kCapList, 5, {0, 1, 2, 3, 4, 5});
    if (xu & (1u << 3)) {
        AddEntry(c, kFocusWindows, kCapRange, 6, {1, 16, 1});
        AddEntry(c, kFocusScale, kCapRange, 2, {1, 100, 1});
        AddEntry(c, kFocusThird, kCapRange, 8, {1, 255, 1});
    }
    AddEntry(c, kCameraVariant, kCapList, 1, {1, 0});
    // The extension unit's controls have no GET requests of their own: they
    // start at their entries' defaults, so that what is saved before anyone
    // sets them is a value they accept.
    for (int control : {kFocusArea, kFocusWindows, kFocusScale, kFocusThird}) {
        const CapabilityEntry* e = CapabilityFor(c, control);
        if (e == nullptr) continue;
        ControlState& s = c->controls[control];
        s.defaultValue = s.current = e->defaultValue;
        s.flags = s.capabilities = 2;
    }
}

VOID ParseStreamingFormats(CameraContext* c, const UCHAR* descriptors, ULONG length) {
    c->formatCount = 0;
    CameraFormat* current = nullptr;
    for (ULONG at = 0; at + 3 <= length;) {
        UCHAR bLength = descriptors[at];
        if (bLength < 3 || at + bLength > length) break;
        const UCHAR* d = descriptors + at;
        at += bLength;
        if (d[1] == 0x04) break;  // the next interface: streaming descriptors end
        if (d[1] != 0x24) continue;
        UCHAR subtype = d[2];
        if ((subtype == 0x04 || subtype == 0x06) && bLength >= 4) {
            if (c->formatCount >= sizeof c->formats / sizeof c->formats[0]) continue;
            current = &c->formats[c->formatCount++];
            *current = {};
            current->formatIndex = d[3];
            current->type = subtype == 0x04 ? CameraStream::Uncompressed : CameraStream::Mjpeg;
        } else if ((subtype == 0x05 || subtype == 0x07) && current != nullptr && bLength >= 26) {
            if (current->frameCount >= sizeof current->frames / sizeof current->frames[0]) continue;
            CameraFrame& f = current->frames[current->frameCount++];
            f = {};
            f.frameIndex = d[3];
            f.width = static_cast<USHORT>(d[5] | (d[6] << 8));
            f.height = static_cast<USHORT>(d[7] | (d[8] << 8));
            UCHAR type = d[25];
            // Discrete intervals from offset 26; a continuous range (type 0) gives its three values.
            ULONG count = type == 0 ? 3 : type;
            for (ULONG i = 0; i < count && i < 32 && 26 + 4 * i + 4 <= bLength; ++i) {
                const UCHAR* v = d + 26 + 4 * i;
                f.intervals[f.intervalCount++] = v[0] | (v[1] << 8) | (v[2] << 16) | (ULONG{v[3]} << 24);
            }
        }
    }
}

NTSTATUS NegotiateStream(CameraContext* c, LONGLONG requestedInterval) {
    StreamDescription& s = c->stream;
    // The capture size: the output size, but the effects library scales up
    // from a larger capture when zoom or tracking is on.
    s.captureWidth = s.outputWidth;
    s.captureHeight = s.outputHeight;
    s.scaling = FALSE;
    if (c->zoomCopy != 50 || c->trackingCopy != 0) {
        if ((s.outputWidth == 160 && s.outputHeight == 120) || (s.outputWidth == 176 && s.outputHeight == 144)) {
            s.captureWidth = 320;
            s.captureHeight = 240;
            s.scaling = TRUE;
        } else if ((s.outputWidth == 320 && s.outputHeight == 240) || (s.outputWidth == 352 && s.outputHeight == 288)) {
            s.captureWidth = 640;
            s.captureHeight = 480;
            s.scaling = TRUE;
        }
    }
    // The camera stream: uncompressed when the camera offers it, except for MJPG output.
    const CameraFormat* format = nullptr;
    for (ULONG i = 0; i < c->formatCount; ++i) {
        if (s.format != kFormatMjpg && c->formats[i].type == CameraStream::Uncompressed) format = &c->formats[i];
    }
    if (format == nullptr) {
        for (ULONG i = 0; i < c->formatCount; ++i) {
            if (c->formats[i].type == CameraStream::Mjpeg) format = &c->formats[i];
        }
    }
    if (format == nullptr) return STATUS_UNSUCCESSFUL;
    c->cameraStream = format->type;
    // The largest frame not exceeding the capture size in both directions.
    const CameraFrame* frame = nullptr;
    ULONG best = 0xFFFFFFFF;
    for (ULONG i = 0; i < format->frameCount; ++i) {
        const CameraFrame& f = format->frames[i];
        if (f.width > s.captureWidth || f.height > s.captureHeight) continue;
        ULONG distance = (s.captureWidth - f.width) + (s.captureHeight - f.height);
        if (distance < best) {
            best = distance;
            frame = &f;
        }
    }
    if (frame == nullptr || frame->intervalCount == 0) return STATUS_UNSUCCESSFUL;
    // The first listed interval not shorter than the one asked for; when every
    // interval is shorter, the longest the frame offers.
    ULONG interval = 0;
    for (ULONG i = 0; i < frame->intervalCount && interval == 0; ++i) {
        if (static_cast<LONGLONG>(frame->intervals[i]) >= requestedInterval) interval = frame->intervals[i];
    }
    if (interval == 0) {
        for (ULONG i = 0; i < frame->intervalCount; ++i) {
            if (frame->intervals[i] > interval) interval = frame->intervals[i];
        }
    }
    // The camera sends frames of its own size; the pin scales up when the
    // camera has no frame of the capture size.
    s.captureWidth = frame->width;
    s.captureHeight = frame->height;
    UCHAR probe[34];
    std::memset(probe, 0, sizeof probe);
    if (StreamingRequest(c->device, kGetCur, kVsProbe, probe, sizeof probe) != 0) return STATUS_UNSUCCESSFUL;
    probe[0] = 1;  // bmHint: the frame interval is fixed
    probe[1] = 0;
    probe[2] = format->formatIndex;
    probe[3] = frame->frameIndex;
    std::memcpy(probe + 4, &interval, 4);
    if (StreamingRequest(c->device, kSetCur, kVsProbe, probe, sizeof probe) != 0 ||
        StreamingRequest(c->device, kGetCur, kVsProbe, probe, sizeof probe) != 0 ||
        StreamingRequest(c->device, kSetCur, kVsCommit, probe, sizeof probe) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    s.interval100ns = interval;
    return STATUS_SUCCESS;
}

}  // namespace k0340
