// What the high-definition audio bus driver gives the function driver of a
// codec's audio function (through IRP_MN_QUERY_INTERFACE on the function's
// device object): the converters' formats and the streams that move their
// samples, each buffer handed over in the bus's DPC at DISPATCH_LEVEL.
#pragma once

#include "wdm.h"

namespace qk::hdaudio {

// {9E1D3A52-5F0B-4C61-A7B3-2C8E40F1D6A4}
inline constexpr GUID kBusInterfaceGuid = {0x9e1d3a52, 0x5f0b, 0x4c61, {0xa7, 0xb3, 0x2c, 0x8e, 0x40, 0xf1, 0xd6, 0xa4}};
inline constexpr USHORT kBusInterfaceVersion = 1;
inline constexpr ULONG kMaxRates = 16;

// Capture: `bytes` of the converter's frames arrived in `buffer`. Render:
// fill `buffer` with `bytes` of frames to play. DISPATCH_LEVEL.
using PBUS_TRANSFER_CALLBACK = VOID (*)(PVOID context, PUCHAR buffer, ULONG bytes);

struct BusInterface {
    INTERFACE base;
    ULONG captureChannels;
    ULONG renderChannels;  // 0: the function has no output converter
    ULONG rates[kMaxRates];
    ULONG rateCount;
    // A stream on one converter at `rate` in the converter's channel count.
    NTSTATUS (*AllocateStream)(PVOID context, BOOLEAN capture, ULONG rate, PBUS_TRANSFER_CALLBACK callback,
                               PVOID callbackContext, PVOID* stream);
    // Running streams are serviced every period; stopping returns once no
    // callback of the stream runs any more. Fails once the codec left the link.
    NTSTATUS (*SetRunState)(PVOID context, PVOID stream, BOOLEAN run);
    VOID (*FreeStream)(PVOID context, PVOID stream);
};

}  // namespace qk::hdaudio
