// The isochronous transport: the frame pool and its slots, the requests that
// circulate on the streaming pipe, frame assembly on the frame-id toggle of
// the payload headers (USB Video Class 1.1, 2.4.3.3), the 2 ms re-submission,
// the 250 ms watchdog and the recovery of a broken pipe.
#include <cstring>

#include "capture/k0340dev.h"

namespace k0340 {

// Payload header flags (USB Video Class 1.1, 2.4.3.3).
constexpr UCHAR kHeaderEndOfFrame = 0x02;

// ---- Layer 1: the frame pool ------------------------------------------------------------------

NTSTATUS FramePool::AllocatePool(ULONG largestFrameBytes) {
    ULONG sum = largestFrameBytes + kFrameDescriptorBytes;
    poolBytes_ = sum < 2621437 ? 5242880 : 2 * sum + 8;
    // Slots start on 8-byte boundaries; 8 bytes of slack keep two of the
    // largest slots inside the pool.
    pool_ = static_cast<UCHAR*>(Allocate(poolBytes_ + 8));
    return pool_ ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID FramePool::FreePool() {
    Free(pool_);
    pool_ = nullptr;
    slotCount_ = 0;
}

NTSTATUS FramePool::InitialiseRing(ULONG frameBufferBytes) {
    if (pool_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(pool_, 0, poolBytes_ + 8);
    frameBufferBytes_ = frameBufferBytes;
    // Each slot: the 32-bit busy word (padded to 8), the descriptor, the frame data.
    slotStride_ = (frameBufferBytes + kFrameDescriptorBytes + 4 + 7) & ~7u;
    slotCount_ = (poolBytes_ + 8) / slotStride_;
    nextSlot_ = 0;
    if (slotCount_ < 2) {
        slotCount_ = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < slotCount_; ++i) {
        auto* frame = reinterpret_cast<FrameDescriptor*>(pool_ + size_t{i} * slotStride_ + 8);
        frame->marker = kMarkerFrame;
        frame->data = reinterpret_cast<UCHAR*>(frame) + kFrameDescriptorBytes;
        frame->capacity = frameBufferBytes;
    }
    return STATUS_SUCCESS;
}

VOID FramePool::ResetRing() {
    for (ULONG i = 0; i < slotCount_; ++i) {
        __atomic_store_n(reinterpret_cast<LONG*>(pool_ + size_t{i} * slotStride_), 0, __ATOMIC_SEQ_CST);
    }
    nextSlot_ = 0;
}

FrameDescriptor* FramePool::TakeNextSlot() {
    for (ULONG n = 0; n < slotCount_; ++n) {
        ULONG i = (nextSlot_ + n) % slotCount_;
        auto* busy = reinterpret_cast<volatile LONG*>(pool_ + size_t{i} * slotStride_);
        if (InterlockedCompareExchange(busy, 1, 0) == 0) {
            nextSlot_ = (i + 1) % slotCount_;
            auto* frame = reinterpret_cast<FrameDescriptor*>(pool_ + size_t{i} * slotStride_ + 8);
            frame->filled = 0;
            frame->counted = 0;
            frame->flags = 0;
            frame->presentationTime = 0;
            return frame;
        }
    }
    return nullptr;
}

VOID FramePool::ReleaseSlot(FrameDescriptor* frame) {
    if (frame == nullptr) return;
    auto* busy = reinterpret_cast<volatile LONG*>(reinterpret_cast<UCHAR*>(frame) - 8);
    InterlockedExchange(busy, 0);
}

// ---- Requests ------------------------------------------------------------------------------------

// One isochronous request (marker "ISCT"): 32 packets of data, then its URB.
struct IsochRequest {
    ULONG marker;
    UsbCameraDevice* owner;
    LONG outstanding;
    PIRP irp;
    KTIMER resubmitTimer;
    KDPC resubmitDpc;
    BOOLEAN rebuild;
    ULONG index;
    ULONG bufferBytes;
    UCHAR* buffer;
    PURB urb;
};

namespace {

NTSTATUS IsochComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);
LONG RequestsOutstanding(UsbCameraDevice* d);

void BuildUrb(IsochRequest* r, ULONG startFrame, bool asap) {
    TransportHeader* t = r->owner->transport;
    std::memset(r->urb, 0, kIsochUrbBytes);
    auto& u = r->urb->UrbIsochronousTransfer;
    u.Hdr.Length = kIsochUrbBytes;
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = t->pipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | (asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
    u.TransferBufferLength = kPacketsPerRequest * t->maxPacket;
    u.TransferBuffer = r->buffer;
    u.StartFrame = startFrame;
    u.NumberOfPackets = kPacketsPerRequest;
    for (ULONG i = 0; i < kPacketsPerRequest; ++i) u.IsoPacket[i].Offset = i * t->maxPacket;
}

// A request is sent by whoever moves its outstanding count from 0 to 1: the
// re-submission timer and a (re)start can never both send it.
bool Claim(IsochRequest* r) { return InterlockedCompareExchange(&r->outstanding, 1, 0) == 0; }

// Sends a claimed request.
NTSTATUS Submit(IsochRequest* r) {
    UsbCameraDevice* d = r->owner;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = r->urb;
    IoSetCompletionRoutine(r->irp, IsochComplete, r, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(d->lowerDevice, r->irp);
    if (status != STATUS_PENDING) {
        // Returned at once: the watchdog's recovery takes it from here.
        InterlockedExchange(&d->transport->errorSeen, 1);
    }
    return status;
}

VOID QueueRecovery(UsbCameraDevice* d);

VOID ResubmitDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<IsochRequest*>(context);
    TransportHeader* t = r->owner->transport;
    if (!(Load(t->stateFlags) & kStreamingFlag) || (Load(t->stateFlags) & (kAbortRequested | kStopRequested)) || Load(t->errorSeen) ||
        !Load(t->started) || !Claim(r)) {
        return;
    }
    BuildUrb(r, 0, true);
    Submit(r);
}

}  // namespace

VOID MarkPayloadLost(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    t->lostSincePayload = TRUE;
    // A frame whose end-of-frame header came has all its payload; the loss is
    // the next frame's, which starts bad when it follows right on the loss.
    if (t->assembling != nullptr && !t->assemblingEnded) t->assembling->flags |= kFrameBad;
}

VOID AssemblePacket(UsbCameraDevice* d, const UCHAR* packet, ULONG length) {
    TransportHeader* t = d->transport;
    if (length == 0) return;
    UCHAR headerLength = packet[0];
    // A packet whose header fills it carries nothing (and its frame id does not count).
    if (headerLength >= length || headerLength < 2) return;
    UCHAR frameId = packet[1] & 0x01;
    const UCHAR* payload = packet + headerLength;
    ULONG bytes = length - headerLength;
    // Payload lost just before a toggle may have been the new frame's start.
    const bool lostBefore = t->lostSincePayload;
    t->lostSincePayload = FALSE;
    if (frameId != t->lastFrameId) {
        t->lastFrameId = frameId;
        if (t->assembling != nullptr) d->FrameComplete(t->assembling);
        t->assembling = d->NewFrameDescriptor();
        if (t->assembling == nullptr) {
            // Every slot is taken: payload is dropped until the pin frees one.
            if (d->pin != nullptr) KsPinAttemptProcessing(d->pin, TRUE);
            return;
        }
        if (lostBefore) t->assembling->flags |= kFrameBad;
        t->assemblingEnded = (packet[1] & kHeaderEndOfFrame) != 0;
        ULONG n = bytes <= t->assembling->capacity ? bytes : 0;
        std::memcpy(t->assembling->data, payload, n);
        t->assembling->filled = n;
        t->assembling->counted = bytes;
        return;
    }
    FrameDescriptor* f = t->assembling;
    if (f == nullptr) return;
    if (packet[1] & kHeaderEndOfFrame) t->assemblingEnded = TRUE;
    f->counted += bytes;
    if (f->filled + bytes <= f->capacity) {
        std::memcpy(f->data + f->filled, payload, bytes);
        f->filled += bytes;
    }
}

namespace {

// The request is done with once its count is back at 0: only then may a
// restart or the timer send it again, so the count drops after the last use.
VOID Returned(IsochRequest* r, LONG flags) {
    UsbCameraDevice* d = r->owner;
    TransportHeader* t = d->transport;
    InterlockedDecrement(&r->outstanding);
    // Whoever waits for the pipe to fall quiet need not wait for the watchdog.
    if ((flags & (kAbortRequested | kStopRequested)) && RequestsOutstanding(d) == 0) {
        if (flags & kAbortRequested) KeSetEvent(&t->abortEvent, IO_NO_INCREMENT, FALSE);
        if (flags & kStopRequested) KeSetEvent(&t->stopEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID LosePayloadLocked(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    KIRQL old;
    KeAcquireSpinLock(&t->assemblyLock, &old);
    MarkPayloadLost(d);
    KeReleaseSpinLock(&t->assemblyLock, old);
}

NTSTATUS IsochComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<IsochRequest*>(context);
    UsbCameraDevice* d = r->owner;
    TransportHeader* t = d->transport;
    if (!Load(t->started)) InterlockedExchange(&t->errorSeen, 1);
    LONG flags = Load(t->stateFlags);
    if ((flags & (kAbortRequested | kStopRequested)) || Load(t->errorSeen)) {
        // Its payload is not taken: the frame around it cannot be whole.
        LosePayloadLocked(d);
        Returned(r, Load(t->stateFlags));
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    auto& u = r->urb->UrbIsochronousTransfer;
    if (!NT_SUCCESS(irp->IoStatus.Status) || !USBD_SUCCESS(u.Hdr.Status)) {
        InterlockedExchange(&t->errorSeen, 1);
        LosePayloadLocked(d);
        QueueRecovery(d);
        Returned(r, Load(t->stateFlags));
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KIRQL old = KeGetCurrentIrql();
    bool raised = old < DISPATCH_LEVEL;
    if (raised) KeAcquireSpinLock(&t->assemblyLock, &old);
    else KeAcquireSpinLockAtDpcLevel(&t->assemblyLock);
    // Bus frames between the last request and this one were never asked
    // for: whatever the camera sent in them is gone.
    if (t->expectedKnown && u.StartFrame != t->expectedFrame) MarkPayloadLost(d);
    t->expectedFrame = u.StartFrame + u.NumberOfPackets;
    t->expectedKnown = TRUE;
    for (ULONG i = 0; i < u.NumberOfPackets && i < kPacketsPerRequest; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[i];
        if (!USBD_SUCCESS(p.Status)) {
            MarkPayloadLost(d);
            continue;
        }
        if (p.Offset >= r->bufferBytes) continue;
        ULONG length = p.Length;
        if (length > t->maxPacket) length = t->maxPacket;
        if (length > r->bufferBytes - p.Offset) length = r->bufferBytes - p.Offset;
        AssemblePacket(d, r->buffer + p.Offset, length);
    }
    if (raised) KeReleaseSpinLock(&t->assemblyLock, old);
    else KeReleaseSpinLockFromDpcLevel(&t->assemblyLock);
    Returned(r, Load(t->stateFlags));
    LARGE_INTEGER due;
    due.QuadPart = -20000;  // 2 ms
    KeSetTimer(&r->resubmitTimer, due, &r->resubmitDpc);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

LONG RequestsOutstanding(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    LONG n = 0;
    for (ULONG i = 0; i < t->requestCount; ++i) n += InterlockedCompareExchange(&t->requests[i]->outstanding, 0, 0);
    return n;
}

VOID RecoveryWork(PDEVICE_OBJECT, PVOID context);

struct RecoveryBlock {
    ULONG marker;  // "RSCT"
    UsbCameraDevice* device;
    PIO_WORKITEM item;
    LONG generation;  // the stream it was queued for
};

VOID QueueRecovery(UsbCameraDevice* d) {
    // The counter rests at -1; only one recovery is ever pending.
    if (InterlockedCompareExchange(&d->recoveryCounter, 0, -1) != -1) return;
    auto* block = static_cast<RecoveryBlock*>(Allocate(sizeof(RecoveryBlock)));
    PIO_WORKITEM item = block ? IoAllocateWorkItem(d->ks->FunctionalDeviceObject) : nullptr;
    if (item == nullptr) {
        Free(block);
        InterlockedExchange(&d->recoveryCounter, -1);
        return;
    }
    block->marker = kMarkerRecovery;
    block->device = d;
    block->item = item;
    block->generation = InterlockedCompareExchange(&d->streamGeneration, 0, 0);
    IoQueueWorkItem(item, RecoveryWork, DelayedWorkQueue, block);
}

// Waits until no request of the pipe is outstanding, 8 s at most; FALSE on time-out.
BOOLEAN WaitForQuiet(UsbCameraDevice* d, PKEVENT event) {
    LARGE_INTEGER step;
    step.QuadPart = -500000;  // 50 ms: a completion or the watchdog normally ends it sooner
    for (int waited = 0; RequestsOutstanding(d) != 0; waited += 50) {
        if (waited >= 8000) return FALSE;
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &step);
    }
    return TRUE;
}

VOID WatchdogDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* d = static_cast<UsbCameraDevice*>(context);
    TransportHeader* t = d->transport;
    if (!(Load(t->stateFlags) & kStreamingFlag)) return;
    if (RequestsOutstanding(d) != 0) return;
    bool stop = Load(t->stateFlags) & kStopRequested, abort = Load(t->stateFlags) & kAbortRequested;
    if (!Load(t->errorSeen) && !stop && !abort && d->present) return;
    if (Load(t->started) && Load(t->errorSeen) && d->present && !abort) QueueRecovery(d);
    if (stop) {
        InterlockedAnd(&t->stateFlags, ~static_cast<LONG>(kStopRequested));
        InterlockedExchange(&t->errorSeen, 0);
        KeSetEvent(&t->stopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (abort) {
        InterlockedAnd(&t->stateFlags, ~static_cast<LONG>(kAbortRequested));
        KeSetEvent(&t->abortEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS StartTransfers(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    if (!Load(t->opened) || t->requestCount == 0) return STATUS_DEVICE_NOT_READY;
    if (!Load(t->started)) PipeRequest(d, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, t->pipe);
    ULONG frame = 0;
    NTSTATUS status = CurrentFrameNumber(d, &frame);
    if (!NT_SUCCESS(status)) return status;
    // Completions that came back while stopped marked an error; it is not this run's.
    Store(t->errorSeen, static_cast<LONG>(0));
    // Transfers begin wherever the camera is in its frame: the first frame
    // assembled may lack its start, and a frame left from before is torn.
    KIRQL old;
    KeAcquireSpinLock(&t->assemblyLock, &old);
    FrameDescriptor* torn = t->assembling;
    t->assembling = nullptr;
    t->lastFrameId = 0xFF;
    t->expectedKnown = FALSE;
    t->lostSincePayload = TRUE;
    KeReleaseSpinLock(&t->assemblyLock, old);
    d->ReleaseSlot(torn);
    Store(t->started, static_cast<LONG>(TRUE));
    Store(t->suspended, static_cast<LONG>(FALSE));
    t->nextStartFrame = frame + 10;
    for (ULONG i = 0; i < t->requestCount; ++i) {
        IsochRequest* r = t->requests[i];
        if (!Claim(r)) continue;
        if (r->rebuild) {
            IoReuseIrp(r->irp, STATUS_SUCCESS);
            r->rebuild = FALSE;
        }
        BuildUrb(r, t->nextStartFrame, false);
        t->nextStartFrame += kPacketsPerRequest;
        Submit(r);
    }
    return STATUS_SUCCESS;
}

NTSTATUS StopTransfers(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    // Not started any more: completions and re-submission timers stand down
    // first, so nothing is sent again once the pipe is quiet.
    Store(t->started, static_cast<LONG>(FALSE));
    KeClearEvent(&t->abortEvent);
    InterlockedOr(&t->stateFlags, kAbortRequested);
    for (ULONG i = 0; i < t->requestCount; ++i) KeCancelTimer(&t->requests[i]->resubmitTimer);
    KeFlushQueuedDpcs();
    PipeRequest(d, URB_FUNCTION_ABORT_PIPE, t->pipe);
    WaitForQuiet(d, &t->abortEvent);
    InterlockedAnd(&t->stateFlags, ~static_cast<LONG>(kAbortRequested));
    for (ULONG i = 0; i < t->requestCount; ++i) {
        KeCancelTimer(&t->requests[i]->resubmitTimer);
        t->requests[i]->rebuild = TRUE;
    }
    KeFlushQueuedDpcs();
    KIRQL old;
    KeAcquireSpinLock(&t->assemblyLock, &old);
    FrameDescriptor* dropped = t->assembling;
    t->assembling = nullptr;
    t->lastFrameId = 0xFF;
    KeReleaseSpinLock(&t->assemblyLock, old);
    d->ReleaseSlot(dropped);
    FlushReadyList(d);
    Store(t->errorSeen, static_cast<LONG>(0));
    Store(t->suspended, static_cast<LONG>(TRUE));
    return STATUS_SUCCESS;
}

VOID RecoveryWork(PDEVICE_OBJECT, PVOID context) {
    auto* block = static_cast<RecoveryBlock*>(context);
    UsbCameraDevice* d = block->device;
    TransportHeader* t = d->transport;
    KsAcquireDevice(d->ks);
    // A stream closed (or opened again) since this was queued is not this recovery's.
    if (Load(t->opened) && d->present && block->generation == InterlockedCompareExchange(&d->streamGeneration, 0, 0)) {
        PipeRequest(d, URB_FUNCTION_ABORT_PIPE, t->pipe);
        KeClearEvent(&t->stopEvent);
        InterlockedOr(&t->stateFlags, kStopRequested);
        BOOLEAN quiet = WaitForQuiet(d, &t->stopEvent);
        InterlockedAnd(&t->stateFlags, ~static_cast<LONG>(kStopRequested));
        // A re-submission armed before the failure must not fire into the restart.
        for (ULONG i = 0; i < t->requestCount; ++i) KeCancelTimer(&t->requests[i]->resubmitTimer);
        KeFlushQueuedDpcs();
        if (quiet) {
            PipeRequest(d, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, t->pipe);
            if (Load(t->started)) {
                for (ULONG i = 0; i < t->requestCount; ++i) t->requests[i]->rebuild = TRUE;
                CameraContext* c = d->GetCameraContext();
                if (c != nullptr) {
                    c->streaming = FALSE;
                    c->streaming = TRUE;
                }
                Store(t->started, static_cast<LONG>(FALSE));  // the restart resets the pipe and begins again
                StartTransfers(d);
            }
        }
    }
    KsReleaseDevice(d->ks);
    PIO_WORKITEM item = block->item;
    Free(block);
    InterlockedExchange(&d->recoveryCounter, -1);
    IoFreeWorkItem(item);
}

ULONG TransportSize() { return sizeof(TransportHeader); }

NTSTATUS InitialiseTransport(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    t->marker = kMarkerTransportHeader;
    t->lastFrameId = 0xFF;
    KeInitializeSpinLock(&t->assemblyLock);
    KeInitializeSpinLock(&t->readyLock);
    InitializeListHead(&t->readyList);
    KeInitializeEvent(&t->stopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&t->abortEvent, NotificationEvent, FALSE);
    KeInitializeTimerEx(&t->watchdog, NotificationTimer);
    KeInitializeDpc(&t->watchdogDpc, WatchdogDpc, d);
    return STATUS_SUCCESS;
}

VOID ReleaseTransport(UsbCameraDevice* d) {
    if (d->transport == nullptr) return;
    KeCancelTimer(&d->transport->watchdog);
    KeFlushQueuedDpcs();
}

BOOLEAN TakePipeInformation(UsbCameraDevice* d, PipeEntry* pipe) {
    // The first isochronous IN pipe offered at configuration is the transport's.
    if (pipe->type != UsbdPipeTypeIsochronous || !pipe->in) return FALSE;
    d->transport->pipe = pipe->handle;
    d->transport->maxPacket = pipe->maxPacket;
    pipe->maxTransfer = 32768;
    d->transport->maxTransfer = pipe->maxTransfer;
    return TRUE;
}

VOID FreeRequests(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    for (ULONG i = 0; i < t->requestCount; ++i) KeCancelTimer(&t->requests[i]->resubmitTimer);
    KeFlushQueuedDpcs();
    // An IRP still with the bus is not freed under it.
    if (RequestsOutstanding(d) != 0 && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        PipeRequest(d, URB_FUNCTION_ABORT_PIPE, t->pipe);
        LARGE_INTEGER twoMs;
        twoMs.QuadPart = -20000;
        while (RequestsOutstanding(d) != 0) KeDelayExecutionThread(KernelMode, FALSE, &twoMs);
    }
    for (ULONG i = 0; i < t->requestCount; ++i) {
        IsochRequest* r = t->requests[i];
        if (r->irp) IoFreeIrp(r->irp);
        Free(r);
        t->requests[i] = nullptr;
    }
    t->requestCount = 0;
}

NTSTATUS CreateRequests(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    // The streaming pipe: pipe 0 of the streaming interface as selected.
    if (d->streamingInformation == nullptr || d->streamingInformation->NumberOfPipes == 0) return STATUS_DEVICE_DATA_ERROR;
    const USBD_PIPE_INFORMATION& pipe = d->streamingInformation->Pipes[0];
    t->pipe = pipe.PipeHandle;
    t->maxPacket = pipe.MaximumPacketSize;
    t->maxTransfer = pipe.MaximumTransferSize;
    if (t->maxPacket == 0) return STATUS_DEVICE_DATA_ERROR;
    if (t->requestCount != 0) FreeRequests(d);  // never more than one set
    ULONG count = d->requestsInFlight <= 6 ? d->requestsInFlight : 6;
    for (ULONG i = 0; i < count; ++i) {
        ULONG bufferBytes = kPacketsPerRequest * t->maxPacket;
        auto* r = static_cast<IsochRequest*>(Allocate(sizeof(IsochRequest) + bufferBytes + kIsochUrbBytes));
        if (r == nullptr) {
            FreeRequests(d);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        r->marker = kMarkerIsochRequest;
        r->owner = d;
        r->index = i;
        r->bufferBytes = bufferBytes;
        r->buffer = reinterpret_cast<UCHAR*>(r + 1);
        r->urb = reinterpret_cast<PURB>(r->buffer + bufferBytes);
        r->irp = IoAllocateIrp(d->lowerDevice->StackSize, FALSE);
        KeInitializeTimer(&r->resubmitTimer);
        KeInitializeDpc(&r->resubmitDpc, ResubmitDpc, r);
        t->requests[t->requestCount++] = r;
        if (r->irp == nullptr) {
            FreeRequests(d);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

const TransportTable kIsochTransport = {
    kMarkerTransportTable, TransportSize, RequestsOutstanding, InitialiseTransport, ReleaseTransport,
    TakePipeInformation,   CreateRequests, FreeRequests,       StartTransfers,      StopTransfers,
};

}  // namespace

const TransportTable* IsochTransportTable() { return &kIsochTransport; }

NTSTATUS OpenTransport(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    d->camera_->streaming = TRUE;
    NTSTATUS status = d->transportOps->createRequests(d);
    if (!NT_SUCCESS(status)) {
        d->camera_->streaming = FALSE;
        return status;
    }
    t->expectedKnown = FALSE;
    t->lostSincePayload = FALSE;
    Store(t->opened, static_cast<LONG>(TRUE));
    Store(t->started, static_cast<LONG>(FALSE));
    Store(t->errorSeen, static_cast<LONG>(0));
    Store(t->stateFlags, static_cast<LONG>(kStreamingFlag));
    t->lastFrameId = 0xFF;
    t->nextDue = 0;
    LARGE_INTEGER due;
    due.QuadPart = -2500000;  // 250 ms
    KeSetTimerEx(&t->watchdog, due, 250, &t->watchdogDpc);
    return STATUS_SUCCESS;
}

VOID CloseTransport(UsbCameraDevice* d) {
    TransportHeader* t = d->transport;
    if (!Load(t->opened)) return;
    if (Load(t->started)) d->transportOps->stopTransfers(d);
    InterlockedAnd(&t->stateFlags, ~static_cast<LONG>(kStreamingFlag));
    KeCancelTimer(&t->watchdog);
    KeFlushQueuedDpcs();
    // A recovery still queued finds the stream closed and does nothing.
    CameraContext* c = d->GetCameraContext();
    if (c != nullptr) c->streaming = FALSE;
    SavePictureSettings(d);
    d->SelectStreamingAlternate(0);
    d->transportOps->freeRequests(d);
    KIRQL old;
    KeAcquireSpinLock(&t->assemblyLock, &old);
    FrameDescriptor* dropped = t->assembling;
    t->assembling = nullptr;
    KeReleaseSpinLock(&t->assemblyLock, old);
    d->ReleaseSlot(dropped);
    FlushReadyList(d);
    Store(t->opened, static_cast<LONG>(FALSE));
    Store(t->started, static_cast<LONG>(FALSE));
    Store(t->suspended, static_cast<LONG>(FALSE));
}

VOID FlushReadyList(UsbCameraDevice* d) {
    while (FrameDescriptor* f = TakeReadyFrame(d)) d->ReleaseSlot(f);
}

FrameDescriptor* TakeReadyFrame(UsbCameraDevice* d) {
    PLIST_ENTRY e = ExInterlockedRemoveHeadList(&d->transport->readyList, &d->transport->readyLock);
    return e ? CONTAINING_RECORD(e, FrameDescriptor, link) : nullptr;
}

VOID UsbCameraDevice::FrameComplete(FrameDescriptor* frame) {
    TransportHeader* t = transport;
    // Time stamp and pacing against the graph's clock.
    if (clock != nullptr) {
        LONGLONG now = clock->GetTime();
        LONGLONG interval = streamFormat.interval100ns > 0 ? streamFormat.interval100ns : 333333;
        if (t->nextDue != 0 && now < t->nextDue) {
            ReleaseSlot(frame);  // too early for the asked rate
            return;
        }
        t->nextDue = (t->nextDue ? t->nextDue : now) + interval;
        frame->presentationTime = now;
    }
    if (LockHoldsFrames(this)) frame->flags |= kFrameLocked;
    if (Load(privacyValue) == 1) frame->flags |= kFramePrivacy;
    ExInterlockedInsertTailList(&t->readyList, &frame->link, &t->readyLock);
    if (pin != nullptr && InterlockedExchange(&t->pinWantsFrames, 0) != 0) KsPinAttemptProcessing(pin, TRUE);
}

}  // namespace k0340
