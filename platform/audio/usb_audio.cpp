#include "platform/audio/usb_audio.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "ksmedia.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/reg_util.h"
#include "usb100.h"
#include "usbdi.h"
#include "usbdlib.h"
#include "usbioctl.h"
#include "usbspec.h"

namespace qk::audio {

namespace {

constexpr ULONG kTag = 'uAkQ';
constexpr ULONG kPacketsPerRequest = 4;  // 4 ms of audio per isochronous request
constexpr ULONG kRequests = 4;           // 16 ms queued on the bus
constexpr ULONG kMaxRates = 16;
constexpr ULONG kCaptureRingMs = 500;    // capture kept for reads that come late
constexpr ULONG kRenderRingMs = 20;      // render queued ahead of the bus: the playback latency
// Audio class constants of the descriptors and requests used here.
constexpr UCHAR kClassAudio = 0x01, kSubclassControl = 0x01, kSubclassStreaming = 0x02;
constexpr UCHAR kCsInterface = 0x24, kAsGeneral = 0x01, kAsFormatType = 0x02, kFormatTypeI = 0x01;
constexpr UCHAR kSetCur = 0x01;
constexpr USHORT kSamplingFrequencyControl = 0x0100;

std::atomic<uint64_t> g_captureDropped{0};
std::atomic<uint64_t> g_renderSilent{0};

// One AudioStreaming interface's streaming setting (alternate 1), as read
// from the configuration descriptor.
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

// The running state of one pin: the bytes between the pipe and the pin's
// queue in the device's own format, and the requests on the bus.
struct Stream {
    Device* device = nullptr;  // null once the device is gone
    PKSPIN pin = nullptr;
    const StreamInfo* info = nullptr;
    bool capture = true;
    ULONG rate = 0;
    USHORT clientChannels = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG maxPacket = 0;
    KSPIN_LOCK lock = 0;  // guards the ring and the render pacing
    UCHAR* ring = nullptr;
    ULONG ringBytes = 0;
    ULONG ringStart = 0;
    ULONG ringFill = 0;
    ULONG pacing = 0;  // render: thousandths of a frame carried to the next packet
    LONG running = 0;
    LONG outstanding = 0;
    KEVENT idle;
    IsoRequest requests[kRequests];
    bool interfaceSelected = false;
};

struct Device {
    PKSDEVICE ks = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    USBD_CONFIGURATION_HANDLE configHandle = nullptr;
    UCHAR controlInterface = 0;
    StreamInfo capture, render;
    bool present = false;
    Stream* streams[2] = {};  // by pin id; guarded by g_streamLock
    // The filter as this device's descriptors describe it.
    KSDATARANGE_AUDIO ranges[2] = {};
    PKSDATARANGE rangeList[2] = {};
    KSPIN_DESCRIPTOR_EX pins[2] = {};
    KSFILTER_DESCRIPTOR filter = {};
    GUID categories[3] = {};
};

// Streams and their device meet at pin close and at removal, which may run
// on different threads; this lock keeps their links consistent.
KSPIN_LOCK g_streamLock = 0;

PVOID Allocate(SIZE_T bytes) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, bytes, kTag);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

void Free(PVOID p) {
    if (p != nullptr) ExFreePoolWithTag(p, kTag);
}

Device* DeviceOf(PKSDEVICE ks) { return static_cast<Device*>(ks->Context); }

// ---- Requests to the device ----------------------------------------------------------------------

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SubmitUrb(Device* d, PURB urb) {
    PIRP irp = IoAllocateIrp(d->lower->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(d->lower, irp);
    LARGE_INTEGER limit;
    limit.QuadPart = -50000000;  // 5 s
    NTSTATUS status;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = STATUS_IO_TIMEOUT;
    } else {
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS ReadConfiguration(Device* d) {
    USB_CONFIGURATION_DESCRIPTOR head{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, &head, nullptr, sizeof head, nullptr);
    NTSTATUS status = SubmitUrb(d, &urb);
    if (!NT_SUCCESS(status)) return status;
    if (head.wTotalLength < sizeof head) return STATUS_DEVICE_DATA_ERROR;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(head.wTotalLength));
    if (config == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, config, nullptr, head.wTotalLength, nullptr);
    status = SubmitUrb(d, &urb);
    if (!NT_SUCCESS(status) || urb.UrbControlDescriptorRequest.TransferBufferLength < head.wTotalLength ||
        config->wTotalLength != head.wTotalLength) {
        Free(config);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    d->config = config;
    return STATUS_SUCCESS;
}

// Walks the configuration: the AudioControl interface, and for each
// AudioStreaming interface its first streaming setting with a Type I PCM
// format of whole bytes and an isochronous endpoint. Every length is checked
// against the descriptor's own and the configuration's end.
void ParseFunction(Device* d) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(d->config);
    const ULONG total = d->config->wTotalLength;
    StreamInfo current;
    bool inStreaming = false;
    auto finish = [&] {
        if (!inStreaming || !current.present || current.rateCount == 0 || current.endpoint == 0 ||
            current.channels == 0 || current.subframeBytes == 0 || current.bits == 0 ||
            current.bits > current.subframeBytes * 8) {
            return;
        }
        StreamInfo& slot = (current.endpoint & 0x80) ? d->capture : d->render;
        if (!slot.present) slot = current;
    };
    for (ULONG at = 0; at + 2 <= total;) {
        const UCHAR length = bytes[at];
        const UCHAR type = bytes[at + 1];
        if (length < 2 || length > total - at) break;
        const UCHAR* p = bytes + at;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
            finish();
            current = StreamInfo{};
            inStreaming = false;
            if (p[5] == kClassAudio && p[6] == kSubclassControl) d->controlInterface = p[2];
            if (p[5] == kClassAudio && p[6] == kSubclassStreaming && p[3] != 0 && p[4] >= 1) {
                inStreaming = true;
                current.interfaceNumber = p[2];
                current.alternate = p[3];
            }
        } else if (inStreaming && type == kCsInterface && length >= 8 && p[2] == kAsFormatType && p[3] == kFormatTypeI) {
            current.channels = p[4];
            current.subframeBytes = p[5];
            current.bits = p[6];
            const UCHAR count = p[7];
            // Discrete rates only (a continuous range gives two entries, taken as its ends).
            const ULONG entries = count == 0 ? 2 : count;
            for (ULONG i = 0; i < entries && 8 + 3 * (i + 1) <= length && current.rateCount < kMaxRates; ++i) {
                const UCHAR* r = p + 8 + 3 * i;
                current.rates[current.rateCount++] = ULONG{r[0]} | ULONG{r[1]} << 8 | ULONG{r[2]} << 16;
            }
            current.present = true;
        } else if (inStreaming && type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && (p[3] & 3) == 1 &&
                   current.endpoint == 0) {
            current.endpoint = p[2];
            current.maxPacket = static_cast<USHORT>((p[4] | p[5] << 8) & 0x7FF);
        }
        at += length;
    }
    finish();
}

// Selects the configuration with every interface of the function at its
// setting 0 (no bandwidth until a pin runs).
NTSTATUS SelectConfiguration(Device* d) {
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    ULONG listed = 0;
    const UCHAR numbers[3] = {d->controlInterface, d->capture.interfaceNumber, d->render.interfaceNumber};
    const bool wanted[3] = {true, d->capture.present, d->render.present};
    for (int i = 0; i < 3; ++i) {
        if (!wanted[i]) continue;
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(d->config, d->config, numbers[i], 0, -1, -1, -1);
        if (iface == nullptr) return STATUS_DEVICE_DATA_ERROR;
        list[listed++].InterfaceDescriptor = iface;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(d->config, list);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SubmitUrb(d, urb);
    if (NT_SUCCESS(status)) d->configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectAlternate(Device* d, Stream* s, UCHAR alternate) {
    const USHORT size = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(1));
    auto* urb = static_cast<PURB>(Allocate(size));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, size, d->configHandle, s->info->interfaceNumber, alternate);
    urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
    urb->UrbSelectInterface.Interface.NumberOfPipes = alternate ? 1 : 0;
    urb->UrbSelectInterface.Interface.Pipes[0].MaximumTransferSize = kPacketsPerRequest * s->info->maxPacket;
    NTSTATUS status = SubmitUrb(d, urb);
    if (NT_SUCCESS(status) && alternate != 0) {
        if (urb->UrbSelectInterface.Interface.NumberOfPipes < 1) {
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            s->pipe = urb->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
            s->maxPacket = urb->UrbSelectInterface.Interface.Pipes[0].MaximumPacketSize;
        }
    }
    Free(urb);
    return status;
}

NTSTATUS SetRate(Device* d, Stream* s) {
    UCHAR data[3] = {static_cast<UCHAR>(s->rate), static_cast<UCHAR>(s->rate >> 8), static_cast<UCHAR>(s->rate >> 16)};
    URB urb{};
    auto& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_CLASS_ENDPOINT;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = sizeof data;
    r.TransferBuffer = data;
    r.Request = kSetCur;
    r.Value = kSamplingFrequencyControl;
    r.Index = s->info->endpoint;
    return SubmitUrb(d, &urb);
}

NTSTATUS AbortPipe(Device* d, Stream* s) {
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = s->pipe;
    return SubmitUrb(d, &urb);
}

// ---- The rings -------------------------------------------------------------------------------------

// Capture: a packet's bytes go in; when the ring is full the oldest go
// (nobody read them in time).
void RingPush(Stream* s, const UCHAR* data, ULONG bytes) {
    const ULONG frame = s->info->FrameBytes();
    bytes -= bytes % frame;
    if (bytes > s->ringBytes) {
        g_captureDropped += bytes - s->ringBytes;
        data += bytes - s->ringBytes;
        bytes = s->ringBytes;
    }
    if (s->ringFill + bytes > s->ringBytes) {
        const ULONG drop = s->ringFill + bytes - s->ringBytes;
        s->ringStart = (s->ringStart + drop) % s->ringBytes;
        s->ringFill -= drop;
        g_captureDropped += drop;
    }
    ULONG end = (s->ringStart + s->ringFill) % s->ringBytes;
    const ULONG first = std::min(bytes, s->ringBytes - end);
    std::memcpy(s->ring + end, data, first);
    std::memcpy(s->ring, data + first, bytes - first);
    s->ringFill += bytes;
}

void RingPop(Stream* s, UCHAR* out, ULONG bytes) {
    const ULONG first = std::min(bytes, s->ringBytes - s->ringStart);
    std::memcpy(out, s->ring + s->ringStart, first);
    std::memcpy(out + first, s->ring, bytes - first);
    s->ringStart = (s->ringStart + bytes) % s->ringBytes;
    s->ringFill -= bytes;
}

// ---- Isochronous transfers --------------------------------------------------------------------------

ULONG UrbBytes() { return static_cast<ULONG>(GET_ISO_URB_SIZE(kPacketsPerRequest)); }

// Render: the next request's packets from the ring, one bus frame's share of
// samples each (fractions carried); silence where the ring ran dry.
ULONG FillRenderPackets(Stream* s, IsoRequest* r) {
    auto& u = r->urb->UrbIsochronousTransfer;
    const ULONG frame = s->info->FrameBytes();
    ULONG offset = 0;
    KIRQL old;
    KeAcquireSpinLock(&s->lock, &old);
    for (ULONG i = 0; i < kPacketsPerRequest; ++i) {
        s->pacing += s->rate;
        ULONG frames = s->pacing / 1000;
        s->pacing %= 1000;
        frames = std::min(frames, s->maxPacket / frame);
        const ULONG bytes = frames * frame;
        const ULONG have = std::min(bytes, s->ringFill);
        RingPop(s, r->buffer + offset, have);
        std::memset(r->buffer + offset + have, 0, bytes - have);
        if (have < bytes) g_renderSilent += (bytes - have) / frame;
        u.IsoPacket[i].Offset = offset;
        u.IsoPacket[i].Length = bytes;
        offset += bytes;
    }
    KeReleaseSpinLock(&s->lock, old);
    return offset;
}

NTSTATUS IsoDone(PDEVICE_OBJECT, PIRP irp, PVOID context);

void SubmitIso(IsoRequest* r) {
    Stream* s = r->stream;
    std::memset(r->urb, 0, UrbBytes());
    auto& u = r->urb->UrbIsochronousTransfer;
    u.Hdr.Length = static_cast<USHORT>(UrbBytes());
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = s->pipe;
    u.NumberOfPackets = kPacketsPerRequest;
    u.TransferBuffer = r->buffer;
    if (s->capture) {
        u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
        u.TransferBufferLength = kPacketsPerRequest * s->maxPacket;
        for (ULONG i = 0; i < kPacketsPerRequest; ++i) u.IsoPacket[i].Offset = i * s->maxPacket;
    } else {
        u.TransferFlags = USBD_TRANSFER_DIRECTION_OUT | USBD_START_ISO_TRANSFER_ASAP;
        u.TransferBufferLength = FillRenderPackets(s, r);
    }
    IoReuseIrp(r->irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = r->urb;
    IoSetCompletionRoutine(r->irp, IsoDone, r, TRUE, TRUE, TRUE);
    IoCallDriver(s->device->lower, r->irp);
}

void Returned(Stream* s) {
    if (InterlockedDecrement(&s->outstanding) == 0) KeSetEvent(&s->idle, IO_NO_INCREMENT, FALSE);
}

// A request back from the bus: capture packets go into the ring and the pin
// is asked to fill its reads; render writes waiting for room get it. The
// request goes out again while the stream runs, so the bus clock paces
// everything.
NTSTATUS IsoDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<IsoRequest*>(context);
    Stream* s = r->stream;
    auto& u = r->urb->UrbIsochronousTransfer;
    const bool ok = NT_SUCCESS(irp->IoStatus.Status) && USBD_SUCCESS(u.Hdr.Status);
    if (ok && s->capture) {
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        for (ULONG i = 0; i < u.NumberOfPackets && i < kPacketsPerRequest; ++i) {
            const USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[i];
            if (!USBD_SUCCESS(p.Status) || p.Offset >= r->bufferBytes) continue;
            const ULONG length = std::min({p.Length, s->maxPacket, r->bufferBytes - p.Offset});
            RingPush(s, r->buffer + p.Offset, length);
        }
        KeReleaseSpinLock(&s->lock, old);
    }
    if (ok && InterlockedCompareExchange(&s->running, 0, 0)) {
        KsPinAttemptProcessing(s->pin, FALSE);
        SubmitIso(r);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // Stopped, or the pipe failed (the device left): the stream ends here.
    Returned(s);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS StartStream(Stream* s) {
    Device* d = s->device;
    for (IsoRequest& r : s->requests) {
        r.stream = s;
        r.bufferBytes = kPacketsPerRequest * s->maxPacket;
        r.buffer = static_cast<UCHAR*>(Allocate(r.bufferBytes));
        r.urb = static_cast<PURB>(Allocate(UrbBytes()));
        r.irp = IoAllocateIrp(d->lower->StackSize, FALSE);
        if (r.buffer == nullptr || r.urb == nullptr || r.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&s->idle, NotificationEvent, FALSE);
    s->pacing = 0;
    InterlockedExchange(&s->running, 1);
    InterlockedExchange(&s->outstanding, kRequests);
    for (IsoRequest& r : s->requests) SubmitIso(&r);
    return STATUS_SUCCESS;
}

// Ends the stream's transfers: the pipe is aborted so nothing waits for the
// bus clock, and the requests are all back before this returns.
void HaltStream(Stream* s, Device* d) {
    if (InterlockedExchange(&s->running, 0) != 0) {
        if (d != nullptr && d->present) AbortPipe(d, s);
        KeWaitForSingleObject(&s->idle, Executive, KernelMode, FALSE, nullptr);
    }
}

void StopStream(Stream* s) {
    HaltStream(s, s->device);
    for (IsoRequest& r : s->requests) {
        if (r.irp) IoFreeIrp(r.irp);
        Free(r.urb);
        Free(r.buffer);
        r = IsoRequest{};
    }
}

// ---- The pins -----------------------------------------------------------------------------------------

Stream* StreamOf(PKSPIN pin) { return static_cast<Stream*>(pin->Context); }

const WAVEFORMATEX* WaveOf(const KSDATAFORMAT* format) {
    if (format->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX) ||
        !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return nullptr;
    }
    return &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format)->WaveFormatEx;
}

// The device streams in its own channel count; a client may ask for those
// channels or for one (their average on capture, copied to each on render).
NTSTATUS PinSetFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
    Device* d = DeviceOf(KsGetDevice(pin));
    const StreamInfo& info = pin->Id == kCapturePin ? d->capture : d->render;
    const WAVEFORMATEX* w = WaveOf(pin->ConnectionFormat);
    if (w == nullptr) return STATUS_NO_MATCH;
    WAVEFORMATEX wave;
    std::memcpy(&wave, w, sizeof wave);
    bool pcm = wave.wFormatTag == WAVE_FORMAT_PCM;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        pin->ConnectionFormat->FormatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) && wave.cbSize >= 22) {
        WAVEFORMATEXTENSIBLE x;
        std::memcpy(&x, w, sizeof x);
        pcm = IsEqualGUID(x.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    }
    if (!pcm || info.subframeBytes != 2 || wave.wBitsPerSample != 16 || !info.HasRate(wave.nSamplesPerSec) ||
        (wave.nChannels != 1 && wave.nChannels != info.channels) || wave.nBlockAlign != wave.nChannels * 2) {
        return STATUS_NO_MATCH;
    }
    if (Stream* s = StreamOf(pin)) {
        if (InterlockedCompareExchange(&s->running, 0, 0)) return STATUS_INVALID_DEVICE_STATE;
        s->rate = wave.nSamplesPerSec;
        s->clientChannels = wave.nChannels;
    }
    return STATUS_SUCCESS;
}

void FreeStream(PVOID p) {
    auto* s = static_cast<Stream*>(p);
    Free(s->ring);
    Free(s);
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
    Device* d = DeviceOf(KsGetDevice(pin));
    if (!d->present) return STATUS_DEVICE_NOT_CONNECTED;
    auto* s = static_cast<Stream*>(Allocate(sizeof(Stream)));
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (s) Stream;
    s->pin = pin;
    s->capture = pin->Id == kCapturePin;
    s->info = s->capture ? &d->capture : &d->render;
    WAVEFORMATEX wave;
    std::memcpy(&wave, WaveOf(pin->ConnectionFormat), sizeof wave);
    s->rate = wave.nSamplesPerSec;
    s->clientChannels = wave.nChannels;
    const ULONG frame = s->info->FrameBytes();
    s->ringBytes = (s->info->MaxRate() * (s->capture ? kCaptureRingMs : kRenderRingMs) / 1000 + 1) * frame;
    s->ring = static_cast<UCHAR*>(Allocate(s->ringBytes));
    if (s->ring == nullptr || !NT_SUCCESS(KsAddItemToObjectBag(pin->Bag, s, FreeStream))) {
        FreeStream(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeSpinLock(&s->lock);
    KIRQL old;
    KeAcquireSpinLock(&g_streamLock, &old);
    s->device = d;
    d->streams[pin->Id] = s;
    KeReleaseSpinLock(&g_streamLock, old);
    pin->Context = s;
    return STATUS_SUCCESS;
}

Device* DetachStream(Stream* s) {
    KIRQL old;
    KeAcquireSpinLock(&g_streamLock, &old);
    Device* d = s->device;
    if (d != nullptr && d->streams[s->pin->Id] == s) d->streams[s->pin->Id] = nullptr;
    s->device = nullptr;
    KeReleaseSpinLock(&g_streamLock, old);
    return d;
}

NTSTATUS PinClose(PKSPIN pin, PIRP) {
    Stream* s = StreamOf(pin);
    if (s == nullptr) return STATUS_SUCCESS;
    StopStream(s);
    Device* d = DetachStream(s);
    if (d != nullptr && d->present && s->interfaceSelected) SelectAlternate(d, s, 0);
    return STATUS_SUCCESS;
}

NTSTATUS PinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    Stream* s = StreamOf(pin);
    Device* d = s->device;
    if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
        if (d == nullptr || !d->present) return STATUS_DEVICE_NOT_CONNECTED;
        NTSTATUS status = SelectAlternate(d, s, s->info->alternate);
        if (NT_SUCCESS(status)) {
            s->interfaceSelected = true;
            status = SetRate(d, s);
        }
        return status;
    }
    if (to == KSSTATE_RUN) {
        if (d == nullptr || !d->present) return STATUS_DEVICE_NOT_CONNECTED;
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        s->ringStart = s->ringFill = 0;
        KeReleaseSpinLock(&s->lock, old);
        NTSTATUS status = StartStream(s);
        if (!NT_SUCCESS(status)) StopStream(s);
        return status;
    }
    if (to == KSSTATE_PAUSE && from == KSSTATE_RUN) StopStream(s);
    if (to == KSSTATE_STOP && d != nullptr && d->present && s->interfaceSelected) {
        SelectAlternate(d, s, 0);
        s->interfaceSelected = false;
    }
    return STATUS_SUCCESS;
}

// Capture: each read is filled whole from the ring (in the client's channel
// count) and completes when full, so reads come back at the device's pace.
NTSTATUS CaptureProcess(Stream* s) {
    const ULONG deviceFrame = s->info->FrameBytes();
    const ULONG channels = s->info->channels;
    const ULONG clientFrame = ULONG{s->clientChannels} * 2;
    UCHAR scratch[512];
    for (;;) {
        PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(s->pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (p == nullptr) return STATUS_SUCCESS;
        ULONG frames = p->OffsetOut.Remaining / clientFrame;
        if (frames == 0) {
            // Room for less than a frame: the read ends with what it has.
            KsStreamPointerUnlock(p, TRUE);
            continue;
        }
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        frames = std::min(frames, s->ringFill / deviceFrame);
        ULONG done = 0;
        while (done < frames) {
            const ULONG n = std::min<ULONG>(frames - done, sizeof scratch / deviceFrame);
            RingPop(s, scratch, n * deviceFrame);
            UCHAR* out = p->OffsetOut.Data + done * clientFrame;
            if (clientFrame == deviceFrame) {
                std::memcpy(out, scratch, n * deviceFrame);
            } else {
                for (ULONG f = 0; f < n; ++f) {
                    int32_t sum = 0;
                    for (ULONG c = 0; c < channels; ++c) {
                        int16_t v;
                        std::memcpy(&v, scratch + f * deviceFrame + c * 2, 2);
                        sum += v;
                    }
                    const auto mono = static_cast<int16_t>(sum / static_cast<int32_t>(channels));
                    std::memcpy(out + f * 2, &mono, 2);
                }
            }
            done += n;
        }
        KeReleaseSpinLock(&s->lock, old);
        const ULONG bytes = frames * clientFrame;
        p->StreamHeader->DataUsed += bytes;
        const bool full = bytes >= p->OffsetOut.Remaining - p->OffsetOut.Remaining % clientFrame;
        KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, bytes, full ? TRUE : FALSE);
        if (!full) return STATUS_SUCCESS;  // the ring is empty: wait for the bus
    }
}

// Render: writes are taken into the ring as room allows (in the device's
// channel count) and complete once all their bytes are in.
NTSTATUS RenderProcess(Stream* s) {
    const ULONG deviceFrame = s->info->FrameBytes();
    const ULONG channels = s->info->channels;
    const ULONG clientFrame = ULONG{s->clientChannels} * 2;
    UCHAR scratch[512];
    for (;;) {
        PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(s->pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (p == nullptr) return STATUS_SUCCESS;
        // The write's valid bytes are its DataUsed; what was taken before is consumed.
        const ULONG consumed = p->OffsetIn.Count - p->OffsetIn.Remaining;
        const ULONG valid = std::min(p->StreamHeader->DataUsed, p->OffsetIn.Count);
        const ULONG available = valid > consumed ? valid - consumed : 0;
        ULONG frames = available / clientFrame;
        if (frames == 0) {
            KsStreamPointerUnlock(p, TRUE);
            continue;
        }
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        frames = std::min(frames, (s->ringBytes - s->ringFill) / deviceFrame);
        ULONG done = 0;
        while (done < frames) {
            const ULONG n = std::min<ULONG>(frames - done, sizeof scratch / deviceFrame);
            const UCHAR* in = p->OffsetIn.Data + done * clientFrame;
            if (clientFrame == deviceFrame) {
                std::memcpy(scratch, in, n * deviceFrame);
            } else {
                for (ULONG f = 0; f < n; ++f) {
                    for (ULONG c = 0; c < channels; ++c) std::memcpy(scratch + f * deviceFrame + c * 2, in + f * 2, 2);
                }
            }
            RingPush(s, scratch, n * deviceFrame);
            done += n;
        }
        KeReleaseSpinLock(&s->lock, old);
        const ULONG bytes = frames * clientFrame;
        const bool all = bytes + clientFrame > available;
        KsStreamPointerAdvanceOffsetsAndUnlock(p, all ? p->OffsetIn.Remaining : bytes, 0, all ? TRUE : FALSE);
        if (!all) return STATUS_SUCCESS;  // the ring is full: wait for the bus
    }
}

NTSTATUS PinProcess(PKSPIN pin) {
    Stream* s = StreamOf(pin);
    if (s == nullptr || !InterlockedCompareExchange(&s->running, 0, 0)) return STATUS_SUCCESS;
    return s->capture ? CaptureProcess(s) : RenderProcess(s);
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, PinProcess, nullptr, PinSetFormat, PinSetState};

// ---- The device ----------------------------------------------------------------------------------------

void StopAllStreams(Device* d) {
    for (int i = 0; i < 2; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&g_streamLock, &old);
        Stream* s = d->streams[i];
        KeReleaseSpinLock(&g_streamLock, old);
        if (s != nullptr) HaltStream(s, d);
    }
}

void FreeDevice(PVOID p) {
    auto* d = static_cast<Device*>(p);
    for (int i = 0; i < 2; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&g_streamLock, &old);
        if (d->streams[i] != nullptr) d->streams[i]->device = nullptr;
        d->streams[i] = nullptr;
        KeReleaseSpinLock(&g_streamLock, old);
    }
    Free(d->config);
    Free(d);
}

NTSTATUS DeviceAdd(PKSDEVICE ks) {
    auto* d = static_cast<Device*>(Allocate(sizeof(Device)));
    if (d == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (d) Device;
    d->ks = ks;
    NTSTATUS status = KsAddItemToObjectBag(ks->Bag, d, FreeDevice);
    if (!NT_SUCCESS(status)) {
        Free(d);
        return status;
    }
    ks->Context = d;
    return STATUS_SUCCESS;
}

KSDATARANGE_AUDIO RangeOf(const StreamInfo& info) {
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.SampleSize = info.FrameBytes();
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = info.channels;
    r.MinimumBitsPerSample = r.MaximumBitsPerSample = info.bits;
    r.MinimumSampleFrequency = info.MinRate();
    r.MaximumSampleFrequency = info.MaxRate();
    return r;
}

void BuildFilter(Device* d) {
    const StreamInfo* infos[2] = {&d->capture, &d->render};
    for (ULONG id = 0; id < 2; ++id) {
        d->ranges[id] = RangeOf(*infos[id]);
        d->rangeList[id] = &d->ranges[id].DataRange;
        KSPIN_DESCRIPTOR_EX& pin = d->pins[id];
        pin.Dispatch = &kPinDispatch;
        pin.PinDescriptor.DataRangesCount = 1;
        pin.PinDescriptor.DataRanges = &d->rangeList[id];
        pin.PinDescriptor.DataFlow = id == kCapturePin ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
        pin.PinDescriptor.Category = id == kCapturePin ? &KSNODETYPE_MICROPHONE_ARRAY : &KSNODETYPE_SPEAKER;
        // Processing runs in the isochronous completion itself: the pin's
        // queue moves with the bus clock and not a work item later.
        pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
        pin.InstancesPossible = 1;
    }
    d->categories[0] = KSCATEGORY_AUDIO;
    d->categories[1] = KSCATEGORY_CAPTURE;
    d->categories[2] = KSCATEGORY_RENDER;
    d->filter.Version = KSFILTER_DESCRIPTOR_VERSION;
    d->filter.ReferenceGuid = &KSNAME_Filter;
    d->filter.PinDescriptorsCount = d->render.present ? 2 : 1;
    d->filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    d->filter.PinDescriptors = d->pins;
    d->filter.CategoriesCount = d->render.present ? 3 : 2;
    d->filter.Categories = d->categories;
}

NTSTATUS DeviceStart(PKSDEVICE ks, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    Device* d = DeviceOf(ks);
    if (d->config != nullptr) return STATUS_SUCCESS;  // started again after a stop
    d->lower = ks->NextDeviceObject;
    d->present = true;
    NTSTATUS status = ReadConfiguration(d);
    if (!NT_SUCCESS(status)) return status;
    ParseFunction(d);
    // A function without a capture stream this driver can carry is not its.
    if (!d->capture.present) return STATUS_NOT_SUPPORTED;
    status = SelectConfiguration(d);
    if (!NT_SUCCESS(status)) return status;
    BuildFilter(d);
    KsAcquireDevice(ks);
    status = KsCreateFilterFactory(ks->FunctionalDeviceObject, &d->filter, const_cast<PWSTR>(u"GLOBAL"), nullptr, 0,
                                   nullptr, nullptr, nullptr);
    KsReleaseDevice(ks);
    return status;
}

void DeviceSurpriseRemoval(PKSDEVICE ks, PIRP) {
    Device* d = DeviceOf(ks);
    d->present = false;  // the pipes fail by themselves; nothing is sent to a device that left
    StopAllStreams(d);
}

void DeviceRemove(PKSDEVICE ks, PIRP) {
    Device* d = DeviceOf(ks);
    StopAllStreams(d);
    d->present = false;
}

const KSDEVICE_DISPATCH kDeviceDispatch = {DeviceAdd,  DeviceStart, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr,    DeviceRemove, nullptr, DeviceSurpriseRemoval};
const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

NTSTATUS UsbAudioDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    KeInitializeSpinLock(&g_streamLock);
    return KsInitializeDriver(driver, registryPath, &kDeviceDescriptor);
}

NTSTATUS RegisterFunctionDriver() {
    static std::once_flag once;
    std::call_once(once, [] { qk::nt::io::RegisterStaticDriver(kFunctionImage, UsbAudioDriverEntry); });
    HANDLE key;
    NTSTATUS status = qk::nt::reg::CreatePath(
        std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + kFunctionService, KEY_ALL_ACCESS,
        &key);
    if (!NT_SUCCESS(status)) return status;
    if (!qk::nt::reg::QueryString(key, u"ImagePath")) {
        qk::nt::reg::SetString(key, u"ImagePath", std::u16string(u"\\SystemRoot\\System32\\drivers\\") + kFunctionImage,
                               REG_EXPAND_SZ);
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}

Counters ReadCounters() { return {g_captureDropped.load(), g_renderSilent.load()}; }

}  // namespace qk::audio
