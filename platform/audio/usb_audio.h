// The system's USB audio function driver ("QkUsbAudio.sys"): binds to the
// audio function of a USB device (an AudioControl interface and its
// AudioStreaming interfaces), exposes one kernel-streaming filter with a
// capture pin (id 0) and, where the device has a loudspeaker, a render pin
// (id 1), and moves 16-bit PCM over the isochronous pipes paced by the bus
// clock. Audio filter drivers install above it as upper filters.
#pragma once

#include <cstdint>

#include "ks.h"
#include "platform/audio/audio_function.h"
#include "wdm.h"

namespace qk::audio {

inline constexpr char16_t kFunctionService[] = u"QkUsbAudio";
inline constexpr char16_t kFunctionImage[] = u"QkUsbAudio.sys";

NTSTATUS UsbAudioDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Registers the driver image with the I/O manager (once per process) and
// writes its service entry into the current machine's registry when missing.
NTSTATUS RegisterFunctionDriver();

}  // namespace qk::audio
