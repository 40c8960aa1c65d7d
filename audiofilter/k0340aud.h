// The audio filter's control interface as its clients see it: the control
// device's name, the I/O control codes and the 52-byte feature request block.
// Shared with the console and the command-line tools.
#pragma once

#include <cstdint>

#include "common/usb_ids.h"

namespace k0340aud {

// Device profiles, fixed at start from the device descriptor. Tools name a
// device's profile from the descriptor the control device returns (with its
// marker vendor ID where one was set).
enum class Profile : uint8_t {
    None,        // no descriptor buffer: nothing is processed
    Camera,      // the supported camera
    Off,         // another product of the camera's vendor (marker 0xFFFF)
    PartnerA,
    PartnerB,
    PartnerC,
    PartnerD,    // products other than 9 and 10
    PartnerD9,
    PartnerD10,
    PartnerE,    // a headset with a loudspeaker
    OtherUsb,
    ArrayCodec,  // no USB answer (marker 0x8086)
};
inline constexpr uint16_t kMarkerOff = 0xFFFF;
inline constexpr uint16_t kMarkerArrayCodec = 0x8086;

constexpr Profile ProfileOf(uint16_t vendor, uint16_t product) {
    using namespace qk::ids;
    if (vendor == kMarkerArrayCodec) return Profile::ArrayCodec;
    if (vendor == kMarkerOff) return Profile::Off;
    if (vendor == kCameraVendorId) {
        return product == kCameraProductId || product == 0xFFFE || product == 0xFFFF ? Profile::Camera : Profile::Off;
    }
    if (vendor == kPartnerVendorA) return Profile::PartnerA;
    if (vendor == kPartnerVendorB) return Profile::PartnerB;
    if (vendor == kPartnerVendorC) return Profile::PartnerC;
    if (vendor == kPartnerVendorD) return product == 9 ? Profile::PartnerD9 : product == 10 ? Profile::PartnerD10 : Profile::PartnerD;
    if (vendor == kPartnerVendorE) return Profile::PartnerE;
    return Profile::OtherUsb;
}

constexpr const char* ProfileName(Profile profile) {
    switch (profile) {
        case Profile::None: return "none (nothing processed)";
        case Profile::Camera: return "the camera";
        case Profile::Off: return "off (another product of the camera's maker)";
        case Profile::PartnerA: return "partner A";
        case Profile::PartnerB: return "partner B";
        case Profile::PartnerC: return "partner C";
        case Profile::PartnerD: return "partner D";
        case Profile::PartnerD9: return "partner D, product 9";
        case Profile::PartnerD10: return "partner D, product 10";
        case Profile::PartnerE: return "partner E (headset)";
        case Profile::OtherUsb: return "other USB device (capture passed through)";
        case Profile::ArrayCodec: return "array codec";
    }
    return "?";
}

inline constexpr char16_t kControlDeviceName[] = u"\\Device\\HalvardFilterLumoraK0340";
inline constexpr char16_t kControlLinkName[] = u"\\DosDevices\\HalvardFilterLumoraK0340";
inline constexpr char16_t kControlUserPath[] = u"\\\\.\\HalvardFilterLumoraK0340";

// Feature numbers.
inline constexpr uint32_t FEATURE_NOISEGUARD = 0;
inline constexpr uint32_t FEATURE_BFA = 1;
inline constexpr uint32_t FEATURE_ECHOQUELL = 2;
inline constexpr uint32_t FEATURE_BFA3 = 3;

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t AudioFilterCode(uint32_t function) { return (0x22u << 16) | (function << 2); }

inline constexpr uint32_t IOCTL_AUDFLT_SET_FEATURE = AudioFilterCode(0x800);
inline constexpr uint32_t IOCTL_AUDFLT_GET_FEATURE = AudioFilterCode(0x801);
inline constexpr uint32_t IOCTL_AUDFLT_GET_CONFIG_DESCRIPTOR = AudioFilterCode(0x802);
inline constexpr uint32_t IOCTL_AUDFLT_GET_STREAM_STATE = AudioFilterCode(0x803);
inline constexpr uint32_t IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR = AudioFilterCode(0x806);
inline constexpr uint32_t IOCTL_AUDFLT_GET_STRINGS = AudioFilterCode(0x807);
inline constexpr uint32_t IOCTL_AUDFLT_GET_DEVICE_COUNT = AudioFilterCode(0x808);
inline constexpr uint32_t IOCTL_AUDFLT_WAIT_EVENT = AudioFilterCode(0x809);
inline constexpr uint32_t IOCTL_AUDFLT_READ_ECHO_TRACE = AudioFilterCode(0x80A);
inline constexpr uint32_t IOCTL_AUDFLT_READ_ECHO_REFERENCE = AudioFilterCode(0x80B);
inline constexpr uint32_t IOCTL_AUDFLT_GET_ECHO_REDUCTION = AudioFilterCode(0x80C);
inline constexpr uint32_t IOCTL_AUDFLT_GET_LAST_CAPTURE_SIZE = AudioFilterCode(0x80D);
inline constexpr uint32_t IOCTL_AUDFLT_ENABLE_METERS = AudioFilterCode(0x80E);
inline constexpr uint32_t IOCTL_AUDFLT_GET_LEVEL = AudioFilterCode(0x80F);
inline constexpr uint32_t IOCTL_AUDFLT_SET_ARRAY_INSTALLED = AudioFilterCode(0x811);
inline constexpr uint32_t IOCTL_AUDFLT_GET_ARRAY_INSTALLED = AudioFilterCode(0x812);
inline constexpr uint32_t IOCTL_AUDFLT_GET_STEREO_SUPPORTED = AudioFilterCode(0x813);
inline constexpr uint32_t IOCTL_AUDFLT_HAS_ARRAY_CODEC = AudioFilterCode(0x815);
inline constexpr uint32_t IOCTL_AUDFLT_GET_FORMATS = AudioFilterCode(0x816);
inline constexpr uint32_t IOCTL_AUDFLT_SET_PUSH_TO_TALK = AudioFilterCode(0x818);
inline constexpr uint32_t IOCTL_AUDFLT_GET_ECHO_DELAY = AudioFilterCode(0x819);
static_assert(IOCTL_AUDFLT_SET_FEATURE == 0x222000 && IOCTL_AUDFLT_GET_ECHO_DELAY == 0x222064);
static_assert(IOCTL_AUDFLT_SET_ARRAY_INSTALLED == 0x222044 && IOCTL_AUDFLT_GET_FORMATS == 0x222058);

// The console's request block (little-endian).
struct FeatureRequest {
    uint32_t feature;
    uint32_t reserved0;
    uint32_t available;  // out: 1 if the feature can be used
    uint32_t enabled;    // in (set): 1 on, 0 off; out (get): 1 if on
    uint32_t reserved[9];
};
static_assert(sizeof(FeatureRequest) == 52);

// Event waiting: the input is a mask, the output {type, detail}.
inline constexpr uint32_t kWaitCaptureEvents = 1u << 0;
inline constexpr uint32_t kWaitRenderEvents = 1u << 1;
inline constexpr uint32_t kWaitDeviceEvents = 1u << 2;
inline constexpr uint32_t kEventStream = 0;    // detail: 1 capture started, 2 render started, 3/4 stopped
inline constexpr uint32_t kEventDevices = 1;   // detail: the device count
inline constexpr uint32_t kEventReleased = 2;  // detail: unchanged
inline constexpr uint32_t kWaiterSlots = 20;

}  // namespace k0340aud
