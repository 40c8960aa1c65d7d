// What a simulated QK0340 camera is made of: its variant, identifiers,
// streaming formats, the controls its descriptors offer, and the faults a
// test injects. Everything has the value of the shipping camera by default.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/usb_ids.h"

namespace qk::sim {

enum class VideoFormat : uint8_t { Yuy2, Mjpeg };

// One frame size with its frame intervals (100 ns units, shortest first).
struct FrameSize {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint32_t> intervals;
};

struct FormatSpec {
    VideoFormat format = VideoFormat::Yuy2;
    std::vector<FrameSize> frames;
};

// Frame intervals of the rates the camera offers.
inline constexpr uint32_t kInterval30 = 333333;
inline constexpr uint32_t kInterval25 = 400000;
inline constexpr uint32_t kInterval20 = 500000;
inline constexpr uint32_t kInterval15 = 666666;
inline constexpr uint32_t kInterval10 = 1000000;
inline constexpr uint32_t kInterval7_5 = 1333333;
inline constexpr uint32_t kInterval5 = 2000000;

// The formats a camera of `variant` (1 or 2) offers: an uncompressed YUY2
// format and an MJPEG format whose frames cover every size and rate of the
// capture driver's format table for that variant.
std::vector<FormatSpec> DefaultFormats(int variant);

// The units of the video function that carry controls.
enum class Unit : uint8_t { CameraTerminal, ProcessingUnit, ExtensionUnit };

// Replaces parts of a control's answers (also with values a broken camera
// gives: a default outside the range, a resolution of zero).
struct ControlOverride {
    std::optional<int32_t> minimum;
    std::optional<int32_t> maximum;
    std::optional<int32_t> resolution;
    std::optional<int32_t> defaultValue;
    std::optional<int32_t> current;
    bool stall = false;  // every request to the control stalls
};

struct MjpegOptions {
    int quality = 85;
    bool subsampling420 = false;  // 4:2:2 (as common webcams) unless set
    int restartInterval = 0;      // MCUs between restart markers; 0 for none
    bool progressive = false;     // progressive frames (ITU-T T.81 G), as some cameras send
    // Only the first frame of a stream carries its Huffman tables; the others
    // rely on the standard tables (ITU-T T.81 K.3), as motion-JPEG streams do.
    bool omitHuffmanTablesAfterFirst = false;
};

// Faults, counted from the start of each stream (packet 0 is the first
// isochronous packet after the streaming interface left alternate setting 0;
// frame 0 the first video frame).
struct Faults {
    uint32_t loseEveryNthPacket = 0;         // these packets fail on the wire (transaction error)
    std::vector<uint64_t> losePackets;       // ... and these
    std::vector<uint64_t> keepFrameIdFrames;  // frames whose frame id does not toggle
    std::vector<uint64_t> corruptJpegFrames;  // frames whose entropy-coded data gets wrong bytes
    uint32_t corruptBytes = 8;
    std::optional<uint64_t> stallAtPacket;    // the endpoint halts once, in the first packet asked for from here
    std::optional<uint64_t> errorFromPacket;  // a run of packets that fail ...
    uint32_t errorPackets = 0;                // ... this long
    int64_t controlLatency = 0;               // 100 ns every class request takes to answer
    uint32_t slowdown = 1;                    // the sensor needs this many frame intervals per frame
    std::optional<uint64_t> detachAfterFrames;  // the camera leaves the bus after this many frames
    std::vector<std::pair<Unit, uint8_t>> stallControls;  // requests to these controls stall
};

// bmControls bits of the shipping camera.
inline constexpr uint32_t kDefaultProcessingControls =
    0x0001 | 0x0002 | 0x0004 | 0x0008 | 0x0010 | 0x0020 | 0x0040 | 0x0100 | 0x0200 | 0x0400 | 0x1000;
inline constexpr uint32_t kDefaultCameraControls = 0x000002 | 0x000008 | 0x000020 | 0x020000;
inline constexpr uint32_t kDefaultExtensionControls = 0x0F;

struct CameraConfig {
    int variant = 2;
    uint16_t vendorId = ids::kCameraVendorId;
    uint16_t productId = ids::kCameraProductId;
    uint16_t revision = 0x0100;
    std::u16string manufacturer = u"Lumora Tech";
    std::u16string product = u"QK0340 Web Camera";
    std::u16string serial;  // none: the usual for webcams

    std::vector<FormatSpec> formats;  // empty: DefaultFormats(variant)

    uint32_t processingControls = kDefaultProcessingControls;  // PU bmControls (2 bytes)
    uint32_t cameraControls = kDefaultCameraControls;          // CT bmControls
    uint8_t cameraControlSize = 3;                             // CT bControlSize
    bool extensionUnit = true;
    uint8_t extensionControls = kDefaultExtensionControls;  // XU bmControls (1 byte)
    uint8_t cameraTerminalId = 1;
    uint8_t processingUnitId = 2;
    uint8_t outputTerminalId = 3;
    uint8_t extensionUnitId = 4;
    std::map<std::pair<Unit, uint8_t>, ControlOverride> overrides;
    // Manual values refuse writes while their automatic mode is on (UVC 1.1
    // 4.2.2.1: exposure time, focus, white balance temperature, hue).
    bool autoModeLocksManualControls = true;
    uint8_t supportedExposureModes = 0x09;  // manual and aperture priority
    uint8_t statusByte = 1;                 // XU status: 1 when the register block works
    uint8_t thirdFocusParameterAtPowerUp = 0;
    bool privacySwitchOn = false;
    // Vendor-specific descriptors added to the video control interface so that
    // the configuration descriptor is at least this long (0: as it comes).
    size_t minimumConfigurationLength = 0;

    MjpegOptions mjpeg;
    bool headerOnlyWhenIdle = false;  // idle frames: a bare payload header instead of an empty packet

    bool microphone = true;  // the two-microphone capture function (interfaces 2 and 3)
    bool speaker = false;    // a render path for tests that need a loudspeaker (interface 4)

    Faults faults;

    // The last frames sent, kept for tests to compare pictures against: each
    // is a copy of a frame, which a long or measured run need not pay for.
    size_t keptFrames = 64;

    const std::vector<FormatSpec>& Formats() const;

private:
    mutable std::vector<FormatSpec> defaultFormats_;
};

}  // namespace qk::sim
