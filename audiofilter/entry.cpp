// Driver entry, the control device, AddDevice and the dispatch routines of
// the audio upper filter. Every routine first tells the control device from a
// filter device; a filter device brackets its work with ioCount so that
// removal waits for requests still inside a dispatch routine.
#include <new>

#include "audiofilter/capture_processor.h"
#include "audiofilter/dsp/memory.h"
#include "audiofilter/filter.h"
#include "audiofilter/k0340aud_entry.h"

namespace k0340aud {

PDEVICE_OBJECT g_controlDevice = nullptr;

namespace {

// Device interface class of the filter devices.
constexpr GUID kFilterInterfaceClass = {0x56907941, 0x3AFE, 0x11D4, {0xAE, 0x2C, 0x00, 0xA0, 0xCC, 0x24, 0x2D, 0x2C}};

FilterExtension* FilterOf(PDEVICE_OBJECT device) { return static_cast<FilterExtension*>(device->DeviceExtension); }

ULONG OsLevel() {
    if (IoIsWdmVersionAvailable(1, 0x20)) return 4;
    if (IoIsWdmVersionAvailable(1, 0x10)) return 3;
    if (IoIsWdmVersionAvailable(1, 0x05)) return 2;
    if (IoIsWdmVersionAvailable(1, 0x00)) return 1;
    return 0;
}

void SetDefaults(FilterExtension* f, PDEVICE_OBJECT self, PDEVICE_OBJECT pdo) {
    new (f) FilterExtension{};
    f->marker = kFilterMarker;
    f->self = self;
    f->physicalDevice = pdo;
    KeInitializeEvent(&f->startEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&f->removeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&f->captureWorkerExited, NotificationEvent, FALSE);
    KeInitializeEvent(&f->echoWorkerExited, NotificationEvent, FALSE);
    KeInitializeSemaphore(&f->captureQueueSemaphore, 0, 20);
    KeInitializeSemaphore(&f->echoQueueSemaphore, 0, 20);
    KeInitializeSpinLock(&f->captureQueueLock);
    KeInitializeSpinLock(&f->echoQueueLock);
    KeInitializeSpinLock(&f->echoLock);
    KeInitializeMutex(&f->pathMutex, 0);
    InitializeListHead(&f->captureQueue);
    InitializeListHead(&f->echoQueue);
    f->captureWorkerState = -1;
    f->echoWorkerState = -1;
    f->ioCount = 1;
    f->muxSource = 1;
    f->captureChannels = 1;
    f->renderChannels = 2;
    f->owner = f;
    f->captureBits = 16;
    f->renderBits = 16;
    f->noiseGuardOn = 1;
    f->settingsPending = 1;
    f->echoNeeds16Bit = 1;
    f->echoQuellRate = 8000;
    f->osLevel = OsLevel();
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (g_controlDevice == nullptr) {
        NTSTATUS status = CreateControlDevice(driver);
        if (!NT_SUCCESS(status)) return status;
    }
    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &self);
    if (!NT_SUCCESS(status)) return status;
    FilterExtension* f = FilterOf(self);
    SetDefaults(f, self, pdo);

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(self, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(self);
        return STATUS_NO_SUCH_DEVICE;
    }
    f->lowerDevice = lower;
    self->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    self->DeviceType = lower->DeviceType;
    self->Characteristics = lower->Characteristics;
    self->AlignmentRequirement = lower->AlignmentRequirement;

    ControlExtension* control = Control();
    KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&control->lock, &old);
    InsertTailList(&control->devices, &f->link);
    KeReleaseSpinLock(&control->lock, old);
    KeReleaseMutex(&control->listMutex, FALSE);
    InterlockedIncrement(&control->deviceCount);

    if (NT_SUCCESS(IoRegisterDeviceInterface(pdo, &kFilterInterfaceClass, nullptr, &f->interfaceName))) {
        ReadInterfaceDefaults(f);
    }
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterPower(FilterExtension* f, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(f->lowerDevice, irp);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (*static_cast<const ULONG*>(device->DeviceExtension) == kControlMarker) {
        switch (major) {
            case IRP_MJ_CREATE:
            case IRP_MJ_CLOSE:
            case IRP_MJ_CLEANUP: return CompleteRequest(irp, STATUS_SUCCESS, 0);
            case IRP_MJ_DEVICE_CONTROL: return DispatchControl(device, irp);
            case IRP_MJ_POWER: PoStartNextPowerIrp(irp); return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
            default: return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        }
    }
    FilterExtension* f = FilterOf(device);
    EnterRequest(f);
    if (f->removed) {
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        NTSTATUS status = CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
        LeaveRequest(f);
        return status;
    }
    if (major == IRP_MJ_PNP) return DispatchPnp(f, irp);  // it leaves the count itself
    NTSTATUS status;
    switch (major) {
        case IRP_MJ_CREATE: status = FilterCreate(f, irp); break;
        case IRP_MJ_CLOSE: status = FilterClose(f, irp); break;
        case IRP_MJ_DEVICE_CONTROL: status = FilterDeviceControl(f, irp); break;
        case IRP_MJ_POWER: status = FilterPower(f, irp); break;
        default: status = PassDown(f, irp); break;
    }
    LeaveRequest(f);
    return status;
}

}  // namespace

ControlExtension* Control() { return static_cast<ControlExtension*>(g_controlDevice->DeviceExtension); }

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kControlDeviceName);
    RtlInitUnicodeString(&link, kControlLinkName);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    auto* control = new (device->DeviceExtension) ControlExtension{};
    control->marker = kControlMarker;
    InitializeListHead(&control->devices);
    KeInitializeSpinLock(&control->lock);
    KeInitializeMutex(&control->listMutex, 0);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_controlDevice = device;
    return STATUS_SUCCESS;
}

void DeleteControlDevice() {
    if (g_controlDevice == nullptr) return;
    // Nobody is left to signal the waiters: they go back to their callers now.
    ReleaseAllWaiters();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kControlLinkName);
    IoDeleteSymbolicLink(&link);
    PDEVICE_OBJECT device = g_controlDevice;
    g_controlDevice = nullptr;
    IoDeleteDevice(device);
}

NTSTATUS PassDown(FilterExtension* filter, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(filter->lowerDevice, irp);
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void EnterRequest(FilterExtension* filter) { InterlockedIncrement(&filter->ioCount); }

void LeaveRequest(FilterExtension* filter) {
    if (InterlockedDecrement(&filter->ioCount) == 0) KeSetEvent(&filter->removeEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace k0340aud

NTSTATUS K0340AudDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    using namespace k0340aud;
    NTSTATUS status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) return status;
    for (auto& routine : DriverObject->MajorFunction) routine = Dispatch;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    // The stages' memory from the pool with the filter's tag: the leak check
    // at unload and the pool's fault injection cover it as the rest.
    qk::dsp::SetMemorySource({[](size_t bytes, void*) -> void* { return ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag); },
                              [](void* block, void*) { ExFreePoolWithTag(block, kPoolTag); }, nullptr});
    DriverObject->DriverUnload = [](PDRIVER_OBJECT) { qk::dsp::SetMemorySource({}); };
    return STATUS_SUCCESS;
}
