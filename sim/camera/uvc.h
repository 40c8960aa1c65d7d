// USB Video Class 1.1 constants the camera model speaks (UVC 1.1 appendix A).
#pragma once

#include <cstdint>

namespace qk::sim::uvc {

// Interface class, subclasses (A.1-A.3).
inline constexpr uint8_t kClassVideo = 0x0E;
inline constexpr uint8_t kSubclassControl = 0x01;
inline constexpr uint8_t kSubclassStreaming = 0x02;
inline constexpr uint8_t kSubclassCollection = 0x03;

// Class-specific descriptor types and subtypes (A.4-A.6).
inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kCsEndpoint = 0x25;
inline constexpr uint8_t kVcHeader = 0x01;
inline constexpr uint8_t kVcInputTerminal = 0x02;
inline constexpr uint8_t kVcOutputTerminal = 0x03;
inline constexpr uint8_t kVcSelectorUnit = 0x04;
inline constexpr uint8_t kVcProcessingUnit = 0x05;
inline constexpr uint8_t kVcExtensionUnit = 0x06;
inline constexpr uint8_t kVsInputHeader = 0x01;
inline constexpr uint8_t kVsFormatUncompressed = 0x04;
inline constexpr uint8_t kVsFrameUncompressed = 0x05;
inline constexpr uint8_t kVsFormatMjpeg = 0x06;
inline constexpr uint8_t kVsFrameMjpeg = 0x07;
inline constexpr uint8_t kVsColorFormat = 0x0D;

// Terminal types (B.1-B.2).
inline constexpr uint16_t kTtStreaming = 0x0101;
inline constexpr uint16_t kIttCamera = 0x0201;

// Requests (A.8).
inline constexpr uint8_t kSetCur = 0x01;
inline constexpr uint8_t kGetCur = 0x81;
inline constexpr uint8_t kGetMin = 0x82;
inline constexpr uint8_t kGetMax = 0x83;
inline constexpr uint8_t kGetRes = 0x84;
inline constexpr uint8_t kGetLen = 0x85;
inline constexpr uint8_t kGetInfo = 0x86;
inline constexpr uint8_t kGetDef = 0x87;

// VideoControl interface controls (A.9.1).
inline constexpr uint8_t kVcVideoPowerMode = 0x01;
inline constexpr uint8_t kVcRequestErrorCode = 0x02;

// Camera terminal controls (A.9.4).
inline constexpr uint8_t kCtScanningMode = 0x01;
inline constexpr uint8_t kCtAeMode = 0x02;
inline constexpr uint8_t kCtAePriority = 0x03;
inline constexpr uint8_t kCtExposureTimeAbsolute = 0x04;
inline constexpr uint8_t kCtExposureTimeRelative = 0x05;
inline constexpr uint8_t kCtFocusAbsolute = 0x06;
inline constexpr uint8_t kCtFocusRelative = 0x07;
inline constexpr uint8_t kCtFocusAuto = 0x08;
inline constexpr uint8_t kCtIrisAbsolute = 0x09;
inline constexpr uint8_t kCtIrisRelative = 0x0A;
inline constexpr uint8_t kCtZoomAbsolute = 0x0B;
inline constexpr uint8_t kCtPrivacy = 0x11;

// Processing unit controls (A.9.5).
inline constexpr uint8_t kPuBacklightCompensation = 0x01;
inline constexpr uint8_t kPuBrightness = 0x02;
inline constexpr uint8_t kPuContrast = 0x03;
inline constexpr uint8_t kPuGain = 0x04;
inline constexpr uint8_t kPuPowerLineFrequency = 0x05;
inline constexpr uint8_t kPuHue = 0x06;
inline constexpr uint8_t kPuSaturation = 0x07;
inline constexpr uint8_t kPuSharpness = 0x08;
inline constexpr uint8_t kPuGamma = 0x09;
inline constexpr uint8_t kPuWhiteBalanceTemperature = 0x0A;
inline constexpr uint8_t kPuWhiteBalanceTemperatureAuto = 0x0B;
inline constexpr uint8_t kPuWhiteBalanceComponent = 0x0C;
inline constexpr uint8_t kPuWhiteBalanceComponentAuto = 0x0D;
inline constexpr uint8_t kPuDigitalMultiplier = 0x0E;
inline constexpr uint8_t kPuDigitalMultiplierLimit = 0x0F;
inline constexpr uint8_t kPuHueAuto = 0x10;

// VideoStreaming interface controls (A.9.7).
inline constexpr uint8_t kVsProbe = 0x01;
inline constexpr uint8_t kVsCommit = 0x02;
inline constexpr uint8_t kVsStreamErrorCode = 0x06;

// Auto-exposure modes (4.2.2.1.2).
inline constexpr uint8_t kAeManual = 0x01;
inline constexpr uint8_t kAeAuto = 0x02;
inline constexpr uint8_t kAeShutterPriority = 0x04;
inline constexpr uint8_t kAeAperturePriority = 0x08;

// GET_INFO bits (4.1.2).
inline constexpr uint8_t kInfoGet = 0x01;
inline constexpr uint8_t kInfoSet = 0x02;
inline constexpr uint8_t kInfoDisabledByAuto = 0x04;
inline constexpr uint8_t kInfoAutoUpdate = 0x08;

// bRequestErrorCode values (4.2.1.2).
enum class RequestError : uint8_t {
    None = 0x00,
    NotReady = 0x01,
    WrongState = 0x02,
    Power = 0x03,
    OutOfRange = 0x04,
    InvalidUnit = 0x05,
    InvalidControl = 0x06,
    InvalidRequest = 0x07,
    InvalidValueWithinRange = 0x08,
    Unknown = 0xFF,
};

// Payload header bmHeaderInfo bits (2.4.3.3).
inline constexpr uint8_t kHeaderFid = 0x01;
inline constexpr uint8_t kHeaderEof = 0x02;
inline constexpr uint8_t kHeaderPts = 0x04;
inline constexpr uint8_t kHeaderScr = 0x08;
inline constexpr uint8_t kHeaderStill = 0x20;
inline constexpr uint8_t kHeaderError = 0x40;
inline constexpr uint8_t kHeaderEoh = 0x80;
inline constexpr uint8_t kHeaderLength = 12;  // with PTS and SCR

// Length of the probe and commit block (UVC 1.1; UVC 1.0 hosts send 26).
inline constexpr uint16_t kProbeLength = 34;
inline constexpr uint16_t kProbeLengthUvc10 = 26;

// The device clock the PTS and SCR count in (dwClockFrequency).
inline constexpr uint32_t kClockHz = 48'000'000;

// YUY2 format GUID {32595559-0000-0010-8000-00AA00389B71}, as stored in the descriptor.
inline constexpr uint8_t kGuidYuy2[16] = {'Y', 'U', 'Y', '2', 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

}  // namespace qk::sim::uvc
