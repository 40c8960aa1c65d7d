// The system's audio function driver for codecs on the high-definition audio
// bus ("QkHdAudio.sys"): the same kernel-streaming filter as the USB audio
// function driver (capture pin 0, render pin 1 where the codec has an output
// converter), its samples moved by the bus's streams. Audio filter drivers
// install above it as upper filters.
#pragma once

#include "wdm.h"

namespace qk::audio {

inline constexpr char16_t kHdFunctionService[] = u"QkHdAudio";
inline constexpr char16_t kHdFunctionImage[] = u"QkHdAudio.sys";

NTSTATUS HdAudioDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Registers the driver image with the I/O manager (once per process) and
// writes its service entry into the current machine's registry when missing.
NTSTATUS RegisterHdFunctionDriver();

}  // namespace qk::audio
