// USB Audio Class 1.0 constants the microphone model speaks (UAC 1.0 appendix A).
#pragma once

#include <cstdint>

namespace qk::sim::uac {

inline constexpr uint8_t kClassAudio = 0x01;
inline constexpr uint8_t kSubclassControl = 0x01;
inline constexpr uint8_t kSubclassStreaming = 0x02;

inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kCsEndpoint = 0x25;

// AudioControl descriptor subtypes (A.5).
inline constexpr uint8_t kAcHeader = 0x01;
inline constexpr uint8_t kAcInputTerminal = 0x02;
inline constexpr uint8_t kAcOutputTerminal = 0x03;
inline constexpr uint8_t kAcFeatureUnit = 0x06;
// AudioStreaming descriptor subtypes (A.6) and the endpoint's (A.8).
inline constexpr uint8_t kAsGeneral = 0x01;
inline constexpr uint8_t kAsFormatType = 0x02;
inline constexpr uint8_t kEpGeneral = 0x01;

// Terminal types (USB Audio Terminal Types 1.0).
inline constexpr uint16_t kTtStreaming = 0x0101;
inline constexpr uint16_t kTtMicrophoneArray = 0x0205;
inline constexpr uint16_t kTtSpeaker = 0x0301;

inline constexpr uint16_t kFormatPcm = 0x0001;
inline constexpr uint8_t kFormatTypeI = 0x01;

// Requests (A.9) and controls (A.10).
inline constexpr uint8_t kSetCur = 0x01;
inline constexpr uint8_t kGetCur = 0x81;
inline constexpr uint8_t kGetMin = 0x82;
inline constexpr uint8_t kGetMax = 0x83;
inline constexpr uint8_t kGetRes = 0x84;
inline constexpr uint8_t kMuteControl = 0x01;
inline constexpr uint8_t kVolumeControl = 0x02;
inline constexpr uint8_t kSamplingFrequencyControl = 0x01;

}  // namespace qk::sim::uac
