// The camera's descriptors: a composite device with an interface association
// for the video function (VideoControl interface 0 with camera terminal,
// processing unit, extension unit and output terminal; VideoStreaming
// interface 1 with YUY2 and MJPEG formats and alternate settings 0-7), to
// which the microphone function adds its own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/usb/standard_device.h"
#include "sim/camera/camera_config.h"

namespace qk::sim {

struct StreamingFrame {
    uint8_t index = 0;  // bFrameIndex
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint32_t> intervals;  // shortest first
    uint32_t MaxFrameBytes(VideoFormat format) const;
};

struct StreamingFormat {
    uint8_t index = 0;  // bFormatIndex
    VideoFormat format = VideoFormat::Yuy2;
    std::vector<StreamingFrame> frames;
    const StreamingFrame* Frame(uint8_t frameIndex) const;
};

// An alternate setting of the streaming interface: its endpoint's
// wMaxPacketSize (high speed, bits 11-12 the extra transactions) and what
// that moves in one 1 ms frame.
struct StreamingAlternate {
    uint8_t number;
    uint16_t wMaxPacketSize;
    uint32_t bytesPerFrame;
};

inline constexpr std::array<StreamingAlternate, 7> kStreamingAlternates = {{
    {1, 0x0080, 1024},    // 128 x 1 per microframe
    {2, 0x0200, 4096},    // 512 x 1
    {3, 0x0400, 8192},    // 1024 x 1
    {4, 0x0B00, 12288},   // 768 x 2
    {5, 0x0C00, 16384},   // 1024 x 2
    {6, 0x13C0, 23040},   // 960 x 3
    {7, 0x1400, 24576},   // 1024 x 3: the largest uncompressed format at its fastest rate
}};

inline constexpr uint8_t kVideoEndpoint = 0x81;

// String descriptor indices.
inline constexpr uint8_t kStringManufacturer = 1;
inline constexpr uint8_t kStringProduct = 2;
inline constexpr uint8_t kStringSerial = 3;
inline constexpr uint8_t kStringVideo = 4;
inline constexpr uint8_t kStringAudio = 5;

// GUID of the camera's extension unit.
inline constexpr uint8_t kExtensionUnitGuid[16] = {0x40, 0x03, 0x57, 0xFA, 0x6B, 0x1E, 0x4C, 0x45,
                                                   0x9E, 0x2D, 0x51, 0x8A, 0x33, 0x40, 0xC1, 0x7E};

struct VideoDescriptors {
    qk::usb::DescriptorSet set;
    std::vector<StreamingFormat> formats;
};

// The streaming formats of `config`, numbered as the descriptors number them.
std::vector<StreamingFormat> StreamingFormats(const CameraConfig& config);

// Builds the device's descriptors; `audio` holds the microphone function's
// descriptors (interface association and interfaces 2 and up) and
// `audioInterfaces` how many interfaces they define.
VideoDescriptors BuildDescriptors(const CameraConfig& config, const std::vector<uint8_t>& audio, uint8_t audioInterfaces);

}  // namespace qk::sim
