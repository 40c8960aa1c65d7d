#include "platform/audio/usb_audio.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "ksmedia.h"
#include "platform/audio/audio_function.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/reg_util.h"
#include "usb100.h"
#include "usbdi.h"
#include "usbdlib.h"
#include "usbioctl.h"
#include "usbspec.h"

namespace qk::audio {

namespace {

using namespace function;

constexpr ULONG kPacketsPerRequest = 4;  // 4 ms of audio per isochronous request; kRequests of them on the bus
// Audio class constants of the descriptors and requests used here.
constexpr UCHAR kClassAudio = 0x01, kSubclassControl = 0x01, kSubclassStreaming = 0x02;
constexpr UCHAR kCsInterface = 0x24, kAsGeneral = 0x01, kAsFormatType = 0x02, kFormatTypeI = 0x01;
constexpr UCHAR kSetCur = 0x01;
constexpr USHORT kSamplingFrequencyControl = 0x0100;


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
        RenderTakeLocked(s, r->buffer + offset, bytes);
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
            CapturePushLocked(s, r->buffer + p.Offset, length);
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

void FreeTransfers(Stream* s) {
    for (IsoRequest& r : s->requests) {
        if (r.irp) IoFreeIrp(r.irp);
        Free(r.urb);
        Free(r.buffer);
        r = IsoRequest{};
    }
}

// ---- The transport -----------------------------------------------------------------------------------

NTSTATUS StartDevice(Device* d) {
    NTSTATUS status = ReadConfiguration(d);
    if (!NT_SUCCESS(status)) return status;
    ParseFunction(d);
    if (!d->capture.present) return STATUS_SUCCESS;  // not a function of this driver
    return SelectConfiguration(d);
}

NTSTATUS Acquire(Device* d, Stream* s) {
    NTSTATUS status = SelectAlternate(d, s, s->info->alternate);
    if (!NT_SUCCESS(status)) return status;
    s->acquired = true;
    return SetRate(d, s);
}

void Release(Device* d, Stream* s) {
    SelectAlternate(d, s, 0);
    s->acquired = false;
}

const Transport kUsbTransport = {StartDevice, Acquire, Release, StartStream, HaltStream, FreeTransfers};

NTSTATUS UsbAdd(PKSDEVICE ks) { return AddDevice(ks, &kUsbTransport); }

const KSDEVICE_DISPATCH kDeviceDispatch = {UsbAdd,  DeviceStart, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, DeviceRemove, nullptr, DeviceSurpriseRemoval};
const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

NTSTATUS UsbAudioDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    InitializeShared();
    return KsInitializeDriver(driver, registryPath, &kDeviceDescriptor);
}

NTSTATUS RegisterFunctionDriver() {
    static std::once_flag once;
    std::call_once(once, [] { qk::nt::io::RegisterStaticDriver(kFunctionImage, UsbAudioDriverEntry); });
    return WriteServiceEntry(kFunctionService, kFunctionImage);
}

}  // namespace qk::audio
