// USB identifiers of the supported camera and of the partner microphones the
// audio filter recognises. They are build configuration, kept in one place.
#pragma once

#include <cstdint>

namespace qk::ids {

inline constexpr uint16_t kCameraVendorId = 0xFA57;
inline constexpr uint16_t kCameraProductId = 0x0340;

// Partner microphone vendors A to E of the audio filter's device profiles.
inline constexpr uint16_t kPartnerVendorA = 0xFA01;
inline constexpr uint16_t kPartnerVendorB = 0xFA02;
inline constexpr uint16_t kPartnerVendorC = 0xFA03;
inline constexpr uint16_t kPartnerVendorD = 0xFA04;
inline constexpr uint16_t kPartnerVendorE = 0xFA05;

// Interface numbers of the camera's composite device.
inline constexpr uint8_t kVideoControlInterface = 0;
inline constexpr uint8_t kVideoStreamingInterface = 1;
inline constexpr uint8_t kAudioControlInterface = 2;
inline constexpr uint8_t kAudioStreamingInterface = 3;

}  // namespace qk::ids
