// Plug and Play on a filter device: start (identify the device below and
// fix its profile), stop and removal; the control device goes with the last
// filter device.
#include "audiofilter/capture_processor.h"
#include "audiofilter/filter.h"
#include "common/usb_ids.h"
#include "usb.h"
#include "usbdlib.h"
#include "usbioctl.h"

namespace k0340aud {

namespace {

constexpr char16_t kHdAudioBusDriver[] = u"\\Driver\\HDAudBus";

bool DriverIs(PDEVICE_OBJECT device, const char16_t* name) {
    if (device == nullptr || device->DriverObject == nullptr) return false;
    UNICODE_STRING wanted;
    RtlInitUnicodeString(&wanted, name);
    return RtlEqualUnicodeString(&device->DriverObject->DriverName, &wanted, TRUE);
}

NTSTATUS StartCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    (void)irp;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}


LONG CaptureChannelsOf(Profile profile, uint16_t product) {
    switch (profile) {
        case Profile::Camera:
        case Profile::PartnerA:
        case Profile::PartnerB:
        case Profile::PartnerD9:
        case Profile::PartnerD10:
        case Profile::ArrayCodec: return 2;
        case Profile::PartnerC: return product == 2 ? 2 : 1;
        case Profile::PartnerD: return product == 4 || product == 5 ? 2 : 1;
        default: return 1;
    }
}

void StopFilter(FilterExtension* f) {
    StopWorkers(f);
    f->echoPathActive = 0;
    ReplaceCanceller(f, nullptr);
    f->started = 0;
    if (f->deviceDescriptor != nullptr) {
        ExFreePoolWithTag(f->deviceDescriptor, kPoolTag);
        f->deviceDescriptor = nullptr;
    }
    CaptureProcessor::Destroy(f->captureProcessor);
    f->captureProcessor = nullptr;
}

NTSTATUS StartFilter(FilterExtension* f) {
    if (f->started) return STATUS_SUCCESS;
    if (f->captureProcessor == nullptr) f->captureProcessor = CaptureProcessor::Create();
    IdentifyDevice(f);
    SignalEvent(kEventDevices, static_cast<uint32_t>(Control()->deviceCount));
    if (f->interfaceName.Buffer != nullptr) IoSetDeviceInterfaceState(&f->interfaceName, TRUE);
    NTSTATUS status = StartWorkers(f);
    if (!NT_SUCCESS(status)) return status;
    f->started = 1;
    return STATUS_SUCCESS;
}

void RemoveFilter(FilterExtension* f, PIRP irp) {
    if (f->started) StopFilter(f);
    f->removed = 1;
    ControlExtension* control = Control();
    KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&control->lock, &old);
    RemoveEntryList(&f->link);
    KeReleaseSpinLock(&control->lock, old);
    const LONG left = InterlockedDecrement(&control->deviceCount);
    KeReleaseMutex(&control->listMutex, FALSE);
    SignalEvent(kEventDevices, static_cast<uint32_t>(left));

    irp->IoStatus.Status = STATUS_SUCCESS;
    PassDown(f, irp);
    // This request's count and the initial one; wait for whoever is still inside.
    InterlockedDecrement(&f->ioCount);
    if (InterlockedDecrement(&f->ioCount) > 0) {
        KeWaitForSingleObject(&f->removeEvent, Executive, KernelMode, FALSE, nullptr);
    }
    if (f->interfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&f->interfaceName, FALSE);
        RtlFreeUnicodeString(&f->interfaceName);
    }
    IoDetachDevice(f->lowerDevice);
    IoDeleteDevice(f->self);
    if (left == 0) DeleteControlDevice();
}

}  // namespace

bool ProfileProcessesCapture(Profile profile) {
    switch (profile) {
        case Profile::None:
        case Profile::Off:
        case Profile::OtherUsb: return false;
        default: return true;
    }
}

NTSTATUS SendUrb(PDEVICE_OBJECT target, void* urb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    return status;
}

void IdentifyDevice(FilterExtension* f) {
    if (f->deviceDescriptor == nullptr) {
        f->deviceDescriptor = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 18, kPoolTag));
    }
    UCHAR* d = f->deviceDescriptor;
    if (d == nullptr) {
        // Without a descriptor the device has no profile and nothing is processed.
        f->profile = Profile::None;
        return;
    }
    RtlZeroMemory(d, 18);
    d[8] = d[9] = 0xFF;
    bool answered = false;
    if (!DriverIs(f->physicalDevice, kHdAudioBusDriver)) {
        auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), kPoolTag));
        if (urb != nullptr) {
            RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
            UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                         d, nullptr, 18, nullptr);
            answered = NT_SUCCESS(SendUrb(f->lowerDevice, urb)) &&
                       urb->UrbControlDescriptorRequest.TransferBufferLength >= 12;
            ExFreePoolWithTag(urb, kPoolTag);
        }
    }
    if (!answered) {
        // Not a USB device (or one on the high-definition audio bus): the array codec.
        d[8] = kMarkerArrayCodec & 0xFF;
        d[9] = kMarkerArrayCodec >> 8;
    }
    const uint16_t vendor = static_cast<uint16_t>(d[8] | d[9] << 8);
    const uint16_t product = static_cast<uint16_t>(d[10] | d[11] << 8);
    f->profile = ProfileOf(vendor, product);
    if (f->profile == Profile::Off) {
        d[8] = d[9] = 0xFF;
    }
    f->captureChannels = CaptureChannelsOf(f->profile, product);
    f->renderChannels = 2;
    if (f->captureProcessor != nullptr) f->captureProcessor->SetMicrophones(static_cast<ULONG>(f->captureChannels));
}

NTSTATUS DispatchPnp(FilterExtension* f, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            KeClearEvent(&f->startEvent);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, StartCompleted, &f->startEvent, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(f->lowerDevice, irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&f->startEvent, Executive, KernelMode, FALSE, nullptr);
            }
            status = irp->IoStatus.Status;
            if (NT_SUCCESS(status)) status = StartFilter(f);
            CompleteRequest(irp, status, irp->IoStatus.Information);
            LeaveRequest(f);
            return status;
        }
        case IRP_MN_STOP_DEVICE: {
            StopFilter(f);
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(f, irp);
            LeaveRequest(f);
            return status;
        }
        case IRP_MN_REMOVE_DEVICE:
            RemoveFilter(f, irp);
            return STATUS_SUCCESS;
        default: {
            NTSTATUS status = PassDown(f, irp);
            LeaveRequest(f);
            return status;
        }
    }
}

}  // namespace k0340aud
