// The kernel-streaming side the system's audio function drivers share: one
// filter per audio function with a capture pin (id 0) and, where the function
// has a loudspeaker, a render pin (id 1), 16-bit PCM in the function's channel
// count (or one channel) at its rates, and rings between the transport and
// the pins' queues. A transport (USB isochronous pipes, high-definition audio
// bus streams) learns the function's formats and moves the samples; it hands
// capture bytes in and takes render bytes out at the device's pace.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ks.h"
#include "ksmedia.h"
#include "usbdi.h"
#include "wdm.h"

namespace qk::audio {

// What the driver has seen since the process started (all devices): bytes of
// capture dropped because no read was queued for them, and render frames
// sent as silence because no write had data for them.
struct Counters {
    uint64_t captureBytesDropped = 0;
    uint64_t renderSilentFrames = 0;
};
Counters ReadCounters();

// The pins of every audio function's filter.
inline constexpr ULONG kCapturePin = 0;
inline constexpr ULONG kRenderPin = 1;

namespace function {

inline constexpr ULONG kMaxRates = 16;
inline constexpr ULONG kRequests = 4;  // USB: isochronous requests on the bus per stream

// One direction of the function: its format and, for USB, the streaming
// interface that carries it.
struct StreamInfo {
    bool present = false;
    UCHAR interfaceNumber = 0;
    UCHAR alternate = 0;
    UCHAR endpoint = 0;
    USHORT maxPacket = 0;
    UCHAR channels = 0;
    UCHAR subframeBytes = 0;
    UCHAR bits = 0;
    ULONG rates[kMaxRates] = {};
    ULONG rateCount = 0;
    bool HasRate(ULONG rate) const { return std::find(rates, rates + rateCount, rate) != rates + rateCount; }
    ULONG MinRate() const { return rateCount ? *std::min_element(rates, rates + rateCount) : 0; }
    ULONG MaxRate() const { return rateCount ? *std::max_element(rates, rates + rateCount) : 0; }
    ULONG FrameBytes() const { return ULONG{channels} * subframeBytes; }
};

struct Device;
struct Stream;

struct IsoRequest {
    Stream* stream = nullptr;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    UCHAR* buffer = nullptr;
    ULONG bufferBytes = 0;
};

// What moves one function's samples. Every hook runs at PASSIVE_LEVEL.
struct Transport {
    // Learns the function's formats into the device's capture and render infos.
    NTSTATUS (*startDevice)(Device* d);
    // A pin goes from stop to acquire: the stream's resources on the device
    // at the stream's rate (marks `acquired`).
    NTSTATUS (*acquire)(Device* d, Stream* s);
    // Gives them back (the pin stops or closes on a present device).
    void (*release)(Device* d, Stream* s);
    // The pin runs: transfers start and go on at the device's pace.
    NTSTATUS (*start)(Stream* s);
    // Ends the transfers (the device may have gone: `d` null or not present);
    // no transfer of the stream runs once it returns.
    void (*halt)(Stream* s, Device* d);
    // Frees what `start` allocated (after `halt`).
    void (*freeTransfers)(Stream* s);
};

// The running state of one pin: the bytes between the transport and the
// pin's queue in the device's own format.
struct Stream {
    Device* device = nullptr;  // null once the device is gone
    PKSPIN pin = nullptr;
    const StreamInfo* info = nullptr;
    bool capture = true;
    ULONG rate = 0;
    USHORT clientChannels = 0;
    KSPIN_LOCK lock = 0;  // guards the ring and the render pacing
    UCHAR* ring = nullptr;
    ULONG ringBytes = 0;
    ULONG ringStart = 0;
    ULONG ringFill = 0;
    LONG running = 0;
    bool acquired = false;
    // The USB transport's.
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG maxPacket = 0;
    ULONG pacing = 0;  // render: thousandths of a frame carried to the next packet
    LONG outstanding = 0;
    KEVENT idle;
    IsoRequest requests[kRequests];
    // The high-definition audio transport's: the bus's stream.
    PVOID busStream = nullptr;
};

struct Device {
    PKSDEVICE ks = nullptr;
    const Transport* transport = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    bool started = false;
    StreamInfo capture, render;
    bool present = false;
    Stream* streams[2] = {};  // by pin id; guarded by the streams' lock
    // The filter as this device's formats describe it.
    KSDATARANGE_AUDIO ranges[2] = {};
    PKSDATARANGE rangeList[2] = {};
    KSPIN_DESCRIPTOR_EX pins[2] = {};
    KSFILTER_DESCRIPTOR filter = {};
    GUID categories[3] = {};
    // The USB transport's.
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    USBD_CONFIGURATION_HANDLE configHandle = nullptr;
    UCHAR controlInterface = 0;
    // The high-definition audio transport's: the bus interface (pool memory).
    PVOID bus = nullptr;
};

// Zeroed pool memory with the drivers' tag.
PVOID Allocate(SIZE_T bytes);
void Free(PVOID p);

// Capture: a transfer's bytes go into the ring (the oldest go when it is
// full). Render: `bytes` of the ring into `out`, silence (counted) where it
// ran dry. Both with the stream's lock held.
void CapturePushLocked(Stream* s, const UCHAR* data, ULONG bytes);
void RenderTakeLocked(Stream* s, UCHAR* out, ULONG bytes);

// The device dispatch of a function driver over `transport`: its add routine
// calls AddDevice; the others are shared.
NTSTATUS AddDevice(PKSDEVICE ks, const Transport* transport);
NTSTATUS DeviceStart(PKSDEVICE ks, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST);
void DeviceSurpriseRemoval(PKSDEVICE ks, PIRP);
void DeviceRemove(PKSDEVICE ks, PIRP);
// Called once from each driver entry.
void InitializeShared();
// The driver's service entry in the current machine's registry, when missing.
NTSTATUS WriteServiceEntry(const char16_t* service, const char16_t* image);

}  // namespace function
}  // namespace qk::audio
