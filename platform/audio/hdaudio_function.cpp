#include "platform/audio/hdaudio_function.h"

#include <cstring>
#include <mutex>

#include "platform/audio/audio_function.h"
#include "platform/hdaudio/bus_interface.h"
#include "platform/nt/io_manager.h"

namespace qk::audio {
namespace {

using namespace function;
using qk::hdaudio::BusInterface;

BusInterface* BusOf(Device* d) { return static_cast<BusInterface*>(d->bus); }

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the bus for its interface to this codec function.
NTSTATUS QueryBusInterface(Device* d) {
    auto* bus = static_cast<BusInterface*>(Allocate(sizeof(BusInterface)));
    if (bus == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(d->lower->StackSize, FALSE);
    if (irp == nullptr) {
        Free(bus);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &qk::hdaudio::kBusInterfaceGuid;
    next->Parameters.QueryInterface.Size = sizeof(BusInterface);
    next->Parameters.QueryInterface.Version = qk::hdaudio::kBusInterfaceVersion;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(d->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        Free(bus);
        return status;
    }
    d->bus = bus;
    return STATUS_SUCCESS;
}

void DescribeConverter(const BusInterface* bus, ULONG channels, StreamInfo* info) {
    if (channels == 0 || channels > 0xFF || bus->rateCount == 0) return;
    info->present = true;
    info->channels = static_cast<UCHAR>(channels);
    info->subframeBytes = 2;
    info->bits = 16;
    info->rateCount = std::min(bus->rateCount, kMaxRates);
    std::memcpy(info->rates, bus->rates, info->rateCount * sizeof(ULONG));
}

NTSTATUS StartDevice(Device* d) {
    NTSTATUS status = QueryBusInterface(d);
    if (!NT_SUCCESS(status)) return status;
    DescribeConverter(BusOf(d), BusOf(d)->captureChannels, &d->capture);
    DescribeConverter(BusOf(d), BusOf(d)->renderChannels, &d->render);
    return STATUS_SUCCESS;
}

// The bus's DPC: capture bytes arrive, or render bytes are wanted; then the
// pin moves its queue as the USB driver's isochronous completion does.
VOID Transfer(PVOID context, PUCHAR buffer, ULONG bytes) {
    auto* s = static_cast<Stream*>(context);
    KIRQL old;
    KeAcquireSpinLock(&s->lock, &old);
    if (s->capture) {
        CapturePushLocked(s, buffer, bytes);
    } else {
        RenderTakeLocked(s, buffer, bytes);
    }
    KeReleaseSpinLock(&s->lock, old);
    if (InterlockedCompareExchange(&s->running, 0, 0)) KsPinAttemptProcessing(s->pin, FALSE);
}

// The codec's converters need no set-up of their own before they run.
NTSTATUS Acquire(Device*, Stream* s) {
    s->acquired = true;
    return STATUS_SUCCESS;
}

void Release(Device*, Stream* s) { s->acquired = false; }

// A bus stream for each run of the pin.
NTSTATUS Start(Stream* s) {
    BusInterface* bus = BusOf(s->device);
    PVOID stream = nullptr;
    NTSTATUS status = bus->AllocateStream(bus->base.Context, s->capture ? TRUE : FALSE, s->rate, Transfer, s, &stream);
    if (!NT_SUCCESS(status)) return status;
    InterlockedExchangePointer(&s->busStream, stream);
    InterlockedExchange(&s->running, 1);
    return bus->SetRunState(bus->base.Context, stream, TRUE);
}

// Freeing the bus stream stops it and waits out a transfer in progress; the
// stream is taken once, whichever of the pin and the device's removal comes first.
void Halt(Stream* s, Device* d) {
    InterlockedExchange(&s->running, 0);
    PVOID stream = InterlockedExchangePointer(&s->busStream, nullptr);
    if (stream != nullptr && d != nullptr && d->bus != nullptr) BusOf(d)->FreeStream(BusOf(d)->base.Context, stream);
}

void FreeTransfers(Stream*) {}

const Transport kHdTransport = {StartDevice, Acquire, Release, Start, Halt, FreeTransfers};

NTSTATUS HdAdd(PKSDEVICE ks) { return AddDevice(ks, &kHdTransport); }

const KSDEVICE_DISPATCH kDeviceDispatch = {HdAdd,   DeviceStart, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, DeviceRemove, nullptr, DeviceSurpriseRemoval};
const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

NTSTATUS HdAudioDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    InitializeShared();
    return KsInitializeDriver(driver, registryPath, &kDeviceDescriptor);
}

NTSTATUS RegisterHdFunctionDriver() {
    static std::once_flag once;
    std::call_once(once, [] { qk::nt::io::RegisterStaticDriver(kHdFunctionImage, HdAudioDriverEntry); });
    return WriteServiceEntry(kHdFunctionService, kHdFunctionImage);
}

}  // namespace qk::audio
