// Requests to the camera: synchronous URBs (one at a time, 5 s at most) and
// the class requests of the video function. Requests made at DISPATCH_LEVEL
// go into the device's queue and are sent in order from a work item.
#include <cstring>

#include "capture/k0340dev.h"

namespace k0340 {

PVOID Allocate(SIZE_T bytes) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, bytes, kTagPool);
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

VOID Free(PVOID block) {
    if (block != nullptr) ExFreePoolWithTag(block, kTagPool);
}

namespace {

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Work queued from DISPATCH_LEVEL (marker "CMCT"): a class request copied
// with up to 64 bytes of its data, or one of the driver's own sequences that
// need PASSIVE_LEVEL.
enum class DeferredKind : ULONG { ClassRequest, ExposureKick, PrivacyRefresh };
struct DeferredRequest {
    ULONG marker;
    LIST_ENTRY link;
    DeferredKind kind;
    UCHAR request;
    USHORT value;
    USHORT index;
    ULONG length;
    UCHAR data[64];
};

int SendClassRequest(UsbCameraDevice* device, UCHAR request, USHORT value, USHORT index, PVOID data, ULONG length,
                     ULONG* transferred) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    auto& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    bool in = (request & 0x80) != 0;
    r.TransferFlags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = data;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    NTSTATUS status = device->SubmitUrbSynchronously(&urb);
    if (transferred) *transferred = r.TransferBufferLength;
    return NT_SUCCESS(status) && USBD_SUCCESS(r.Hdr.Status) ? 0 : -1;
}

VOID RunDeferred(UsbCameraDevice* device, DeferredRequest* block) {
    CameraContext* camera = device->GetCameraContext();
    switch (block->kind) {
        case DeferredKind::ClassRequest:
            SendClassRequest(device, block->request, block->value, block->index, block->data, block->length, nullptr);
            break;
        case DeferredKind::ExposureKick:
            if (camera != nullptr) ExposureKick(camera);
            break;
        case DeferredKind::PrivacyRefresh:
            if (camera != nullptr && Load(camera->registersWork)) {
                UCHAR value = 0;
                if (ReadRegister(camera, 0x8108, &value) == 0) Store(camera->hardwarePrivacy, static_cast<BOOLEAN>(value == 1));
            }
            InterlockedExchange(&device->deferred.privacyRefreshQueued, 0);
            break;
    }
}

// Drains the device's queue in order. One work item at a time does this, so
// requests made at DISPATCH_LEVEL reach the camera in the order they were made.
VOID DrainDeferred(PDEVICE_OBJECT, PVOID context) {
    auto* device = static_cast<UsbCameraDevice*>(context);
    DeferredQueue& q = device->deferred;
    PIO_WORKITEM item = nullptr;
    for (;;) {
        KIRQL old;
        KeAcquireSpinLock(&q.lock, &old);
        if (IsListEmpty(&q.list)) {
            q.running = FALSE;
            item = q.item;
            q.item = nullptr;
            KeReleaseSpinLock(&q.lock, old);
            break;
        }
        PLIST_ENTRY e = RemoveHeadList(&q.list);
        KeReleaseSpinLock(&q.lock, old);
        auto* block = CONTAINING_RECORD(e, DeferredRequest, link);
        RunDeferred(device, block);
        Free(block);
        InterlockedDecrement(&q.queued);
    }
    IoFreeWorkItem(item);
}

// Appends to the queue and starts a drain when none runs; -1 (and the block
// freed) when the device is going away or no work item could be had.
int Enqueue(UsbCameraDevice* device, DeferredRequest* block) {
    DeferredQueue& q = device->deferred;
    block->marker = kMarkerDeferredRequest;
    PIO_WORKITEM item = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&q.lock, &old);
    bool refused = q.closed;
    if (!refused && !q.running) {
        item = IoAllocateWorkItem(device->ks->FunctionalDeviceObject);
        refused = item == nullptr;
        if (!refused) {
            q.running = TRUE;
            q.item = item;
        }
    }
    if (!refused) {
        InsertTailList(&q.list, &block->link);
        InterlockedIncrement(&q.queued);
    }
    KeReleaseSpinLock(&q.lock, old);
    if (refused) {
        Free(block);
        return -1;
    }
    if (item != nullptr) IoQueueWorkItem(item, DrainDeferred, DelayedWorkQueue, device);
    return 0;
}

}  // namespace

VOID InitialiseDeferredQueue(UsbCameraDevice* device) {
    KeInitializeSpinLock(&device->deferred.lock);
    InitializeListHead(&device->deferred.list);
}

VOID CloseDeferredQueue(UsbCameraDevice* device) {
    KIRQL old;
    KeAcquireSpinLock(&device->deferred.lock, &old);
    device->deferred.closed = TRUE;
    KeReleaseSpinLock(&device->deferred.lock, old);
}

LONG DeferredRequestsOutstanding(UsbCameraDevice* device) {
    return InterlockedCompareExchange(&device->deferred.queued, 0, 0);
}

int QueueExposureKick(UsbCameraDevice* device) {
    auto* block = static_cast<DeferredRequest*>(Allocate(sizeof(DeferredRequest)));
    if (block == nullptr) return -1;
    block->kind = DeferredKind::ExposureKick;
    return Enqueue(device, block);
}

VOID QueuePrivacyRefresh(UsbCameraDevice* device) {
    // Two control transfers and a worker's wake-ups a read: not more often
    // than every 100 ms (three frames at 30 fps), which the picture follows.
    constexpr LONGLONG kInterval100ns = 1000000;
    LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    if (now - Load(device->deferred.lastPrivacyRefresh) < kInterval100ns) return;
    if (InterlockedCompareExchange(&device->deferred.privacyRefreshQueued, 1, 0) != 0) return;
    Store(device->deferred.lastPrivacyRefresh, now);
    auto* block = static_cast<DeferredRequest*>(Allocate(sizeof(DeferredRequest)));
    if (block == nullptr) {
        InterlockedExchange(&device->deferred.privacyRefreshQueued, 0);
        return;
    }
    block->kind = DeferredKind::PrivacyRefresh;
    if (Enqueue(device, block) != 0) InterlockedExchange(&device->deferred.privacyRefreshQueued, 0);
}

NTSTATUS UsbCameraDevice::SubmitUrbSynchronously(PURB urb) {
    KeWaitForSingleObject(&requestSemaphore, Executive, KernelMode, FALSE, nullptr);
    if (!present) {
        KeReleaseSemaphore(&requestSemaphore, IO_NO_INCREMENT, 1, FALSE);
        return kNotPresentWarning;
    }
    PIRP irp = IoAllocateIrp(lowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        KeReleaseSemaphore(&requestSemaphore, IO_NO_INCREMENT, 1, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lowerDevice, irp);
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
    KeReleaseSemaphore(&requestSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return status;
}

int ClassRequest(UsbCameraDevice* device, UCHAR request, USHORT value, USHORT index, PVOID data, ULONG length,
                 ULONG* transferred) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        return SendClassRequest(device, request, value, index, data, length, transferred);
    }
    // A request made at DISPATCH_LEVEL cannot wait for the bus: it goes out
    // from the device's queue and the caller gets success at once, without data.
    auto* block = static_cast<DeferredRequest*>(Allocate(sizeof(DeferredRequest)));
    if (block == nullptr) return -1;
    block->kind = DeferredKind::ClassRequest;
    block->request = request;
    block->value = value;
    block->index = index;
    block->length = length < sizeof block->data ? length : sizeof block->data;
    if (data != nullptr && block->length) std::memcpy(block->data, data, block->length);
    if (transferred) *transferred = 0;
    return Enqueue(device, block);
}

int UnitRequest(UsbCameraDevice* device, UCHAR request, UCHAR unit, UCHAR selector, PVOID data, ULONG length) {
    return ClassRequest(device, request, static_cast<USHORT>(selector << 8), static_cast<USHORT>(unit << 8), data,
                        length);
}

int StreamingRequest(UsbCameraDevice* device, UCHAR request, UCHAR selector, PVOID data, ULONG length) {
    return ClassRequest(device, request, static_cast<USHORT>(selector << 8), 1, data, length);
}

NTSTATUS GetDescriptor(UsbCameraDevice* device, UCHAR type, PVOID buffer, ULONG length, ULONG* transferred) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    NTSTATUS status = device->SubmitUrbSynchronously(&urb);
    if (transferred) *transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb.UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS PipeRequest(UsbCameraDevice* device, USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = device->SubmitUrbSynchronously(&urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb.UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS CurrentFrameNumber(UsbCameraDevice* device, ULONG* frame) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbGetCurrentFrameNumber.Hdr.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb.UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    NTSTATUS status = device->SubmitUrbSynchronously(&urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb.UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    *frame = urb.UrbGetCurrentFrameNumber.FrameNumber;
    return status;
}

NTSTATUS UsbCameraDevice::SelectStreamingAlternate(UCHAR alternate) {
    if (streamingInterface == nullptr || configurationHandle == nullptr) return STATUS_INVALID_DEVICE_STATE;
    // The remembered descriptor was given room for exactly one pipe.
    ULONG pipes = 1;
    USHORT size = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
    auto* urb = static_cast<PURB>(Allocate(size));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, size, configurationHandle, streamingInterface->bInterfaceNumber, alternate);
    urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    urb->UrbSelectInterface.Interface.NumberOfPipes = pipes;
    urb->UrbSelectInterface.Interface.Pipes[0].MaximumTransferSize = 32768;
    NTSTATUS status = SubmitUrbSynchronously(urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        streamingAlternate = alternate;
        // The selected pipe replaces the saved copy only on a streaming setting.
        if (alternate != 0) {
            if (streamingInformation == nullptr) {
                streamingInformation = static_cast<PUSBD_INTERFACE_INFORMATION>(Allocate(GET_USBD_INTERFACE_SIZE(1)));
            }
            if (streamingInformation != nullptr) {
                std::memcpy(streamingInformation, &urb->UrbSelectInterface.Interface, GET_USBD_INTERFACE_SIZE(1));
            }
        }
    }
    Free(urb);
    return status;
}

}  // namespace k0340
