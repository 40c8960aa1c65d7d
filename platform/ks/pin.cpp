// Pins: creation from a connect block, the state machine, the data format,
// the queue of stream buffers, processing and the leading-edge stream pointer.
#include <cstring>
#include <new>

#include "platform/ks/create_name.h"
#include "platform/ks/ks_objects.h"
#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::ks {
namespace {

constexpr ULONG kFormatTag = 'tmFK';
constexpr int kMaxProcessRounds = 4096;

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PKSDATAFORMAT CopyFormat(Pin* pin, const KSDATAFORMAT* format, ULONG bytes) {
    auto* copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, bytes, kFormatTag));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, format, bytes);
    copy->FormatSize = bytes;
    pin->bag.Add(copy, nullptr);
    return copy;
}

// The pin's data ranges whose three GUIDs the format falls in, in order.
std::vector<const KSDATARANGE*> MatchingRanges(Pin* pin, const KSDATAFORMAT* format) {
    std::vector<const KSDATARANGE*> ranges;
    const KSPIN_DESCRIPTOR& d = pin->ks.Descriptor->PinDescriptor;
    for (ULONG i = 0; i < d.DataRangesCount; ++i) {
        if (d.DataRanges[i] != nullptr && FormatInRange(format, d.DataRanges[i])) ranges.push_back(d.DataRanges[i]);
    }
    return ranges;
}

// Offers the pin's format to the minidriver with each range it could belong
// to (the GUIDs say nothing of sizes and rates) until one is accepted.
NTSTATUS OfferFormat(Pin* pin, PKSDATAFORMAT old) {
    auto ranges = MatchingRanges(pin, pin->ks.ConnectionFormat);
    if (ranges.empty()) return STATUS_NO_MATCH;
    if (!pin->ks.Descriptor->Dispatch || !pin->ks.Descriptor->Dispatch->SetDataFormat) return STATUS_SUCCESS;
    NTSTATUS status = STATUS_NO_MATCH;
    for (const KSDATARANGE* range : ranges) {
        status = pin->ks.Descriptor->Dispatch->SetDataFormat(&pin->ks, old, nullptr, range, nullptr);
        if (status != STATUS_NO_MATCH) break;
    }
    return status;
}

// Completes the requests whose frames are all done. Called without the queue lock.
void CompleteFinished(std::vector<std::unique_ptr<Request>>& finished) {
    for (auto& r : finished) {
        // The caller's stream headers get what the driver wrote into the copies.
        std::memcpy(r->userHeaders, r->headers.data(), r->headers.size());
        PIRP irp = r->irp;
        irp->IoStatus.Status = r->status;
        irp->IoStatus.Information = r->headers.size();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// With the queue lock held: marks the front frame done and moves finished
// requests to `finished`.
void RetireFront(Pin* pin, std::vector<std::unique_ptr<Request>>& finished) {
    Frame frame = pin->frames.front();
    pin->frames.pop_front();
    for (auto it = pin->requests.begin(); it != pin->requests.end(); ++it) {
        Request* r = it->get();
        if (r->irp != frame.irp) continue;
        if (!NT_SUCCESS(frame.status) && NT_SUCCESS(r->status)) r->status = frame.status;
        if (++r->framesDone == r->frames) {
            finished.push_back(std::move(*it));
            pin->requests.erase(it);
        }
        break;
    }
}

void FillPointer(Pin* pin) {
    Frame& f = pin->frames.front();
    pin->leading.StreamHeader = f.header;
    KSSTREAM_POINTER_OFFSET& offset = pin->ks.DataFlow == KSPIN_DATAFLOW_OUT ? pin->leading.OffsetOut : pin->leading.OffsetIn;
    offset.Data = static_cast<PUCHAR>(f.header->Data) + f.consumed;
    offset.Count = f.header->FrameExtent;
    offset.Remaining = f.header->FrameExtent > f.consumed ? f.header->FrameExtent - f.consumed : 0;
    pin->leading.Offset = &offset;
}

// Cancels every queued frame (stop, close, removal): their requests complete
// with STATUS_CANCELLED. A frame the minidriver holds locked stays.
void FlushQueue(Pin* pin, NTSTATUS status) {
    std::vector<std::unique_ptr<Request>> finished;
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    size_t keep = pin->leadingLocked ? 1 : 0;
    while (pin->frames.size() > keep) {
        // Retire from the back so a locked front frame keeps its place.
        Frame frame = pin->frames.back();
        pin->frames.pop_back();
        for (auto it = pin->requests.begin(); it != pin->requests.end(); ++it) {
            Request* r = it->get();
            if (r->irp != frame.irp) continue;
            r->status = status;
            if (++r->framesDone == r->frames) {
                finished.push_back(std::move(*it));
                pin->requests.erase(it);
            }
            break;
        }
    }
    KeReleaseSpinLock(&pin->queueLock, old);
    for (auto& r : finished) IoSetCancelRoutine(r->irp, nullptr);
    CompleteFinished(finished);
}

VOID CancelStream(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Pin* pin = reinterpret_cast<Pin*>(IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext);
    std::vector<std::unique_ptr<Request>> finished;
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    for (size_t i = pin->frames.size(); i-- > 0;) {
        if (pin->frames[i].irp != irp) continue;
        if (i == 0 && pin->leadingLocked) continue;  // completes when the minidriver lets go
        pin->frames.erase(pin->frames.begin() + static_cast<std::ptrdiff_t>(i));
        for (auto it = pin->requests.begin(); it != pin->requests.end(); ++it) {
            Request* r = it->get();
            if (r->irp != irp) continue;
            r->status = STATUS_CANCELLED;
            if (++r->framesDone == r->frames) {
                finished.push_back(std::move(*it));
                pin->requests.erase(it);
            }
            break;
        }
    }
    KeReleaseSpinLock(&pin->queueLock, old);
    CompleteFinished(finished);
}

// The pin's state is read by processing and by reads queued on other
// threads while a state change moves it.
KSSTATE StateOf(const Pin* pin) { return __atomic_load_n(&pin->ks.DeviceState, __ATOMIC_ACQUIRE); }
void MoveState(Pin* pin, KSSTATE state) { __atomic_store_n(&pin->ks.DeviceState, state, __ATOMIC_RELEASE); }

void RunProcessing(Pin* pin) {
    const ULONG flags = pin->ks.Descriptor->Flags;
    for (int round = 0; round < kMaxProcessRounds; ++round) {
        {
            std::lock_guard guard(pin->processLock);
            pin->again = false;
        }
        bool haveFrames;
        {
            KIRQL old;
            KeAcquireSpinLock(&pin->queueLock, &old);
            haveFrames = !pin->frames.empty();
            KeReleaseSpinLock(&pin->queueLock, old);
        }
        bool allowed = (!(flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) || StateOf(pin) == KSSTATE_RUN) &&
                       (haveFrames || (flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING));
        NTSTATUS status = STATUS_PENDING;
        if (allowed && pin->ks.Descriptor->Dispatch && pin->ks.Descriptor->Dispatch->Process) {
            qk::nt::DriverScope scope(KsGetDevice(&pin->ks)->FunctionalDeviceObject->DriverObject);
            if (flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                status = pin->ks.Descriptor->Dispatch->Process(&pin->ks);
                KeLowerIrql(old);
            } else {
                status = pin->ks.Descriptor->Dispatch->Process(&pin->ks);
            }
        }
        std::lock_guard guard(pin->processLock);
        // Success asks for another round when there is more to do; pending
        // waits for the next arrival or an explicit attempt.
        if (!pin->again && !(allowed && status == STATUS_SUCCESS)) {
            pin->processing = false;
            return;
        }
    }
    std::lock_guard guard(pin->processLock);
    pin->processing = false;
}

void AttemptProcessing(Pin* pin, bool asynchronous) {
    {
        std::lock_guard guard(pin->processLock);
        if (pin->processing) {
            pin->again = true;
            return;
        }
        pin->processing = true;
    }
    bool runHere = !asynchronous && !(pin->ks.Descriptor->Flags & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING) &&
                   (KeGetCurrentIrql() < DISPATCH_LEVEL ||
                    (pin->ks.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING));
    if (runHere) {
        RunProcessing(pin);
        return;
    }
    PDRIVER_OBJECT driver = KsGetDevice(&pin->ks)->FunctionalDeviceObject->DriverObject;
    qk::nt::Kernel::Get().QueueWork(driver, [pin] { RunProcessing(pin); });
}

void WaitProcessingIdle(Pin* pin) {
    qk::nt::Kernel::Get().FlushWork();
    while (true) {
        {
            std::lock_guard guard(pin->processLock);
            if (!pin->processing) return;
        }
        LARGE_INTEGER ms;
        ms.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
    }
}

}  // namespace

NTSTATUS SetPinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG bytes) {
    if (bytes < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > bytes) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (MatchingRanges(pin, format).empty()) return STATUS_NO_MATCH;
    PKSDATAFORMAT old = pin->ks.ConnectionFormat;
    PKSDATAFORMAT copy = CopyFormat(pin, format, format->FormatSize);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    pin->ks.ConnectionFormat = copy;
    NTSTATUS status = OfferFormat(pin, old);
    if (!NT_SUCCESS(status)) {
        pin->ks.ConnectionFormat = old;
        pin->bag.Remove(copy, true);
        return status;
    }
    if (old != nullptr) pin->bag.Remove(old, true);
    return STATUS_SUCCESS;
}

NTSTATUS CreatePin(PIRP irp, Filter* filter) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    const uint8_t* block;
    size_t blockBytes;
    if (!ParsePinCreateName(file->FileName, &block, &blockBytes) ||
        blockBytes < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    KSPIN_CONNECT connect;
    std::memcpy(&connect, block, sizeof connect);
    KSDATAFORMAT header;
    std::memcpy(&header, block + sizeof connect, sizeof header);
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (connect.PinId >= fd->PinDescriptorsCount) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > blockBytes - sizeof(KSPIN_CONNECT)) {
        return CompleteIrp(irp, STATUS_INVALID_BUFFER_SIZE);
    }
    auto* pd = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(fd->PinDescriptors) +
                                                             size_t{connect.PinId} * fd->PinDescriptorSize);
    if (filter->pins[connect.PinId].size() >= pd->InstancesPossible) {
        return CompleteIrp(irp, STATUS_TOO_MANY_OPENED_FILES);
    }
    if (!IsEqualGUID(connect.Interface.Set, KSINTERFACESETID_Standard) ||
        !IsEqualGUID(connect.Medium.Set, KSMEDIUMSETID_Standard)) {
        return CompleteIrp(irp, STATUS_NO_MATCH);
    }
    auto* pin = new (std::nothrow) Pin;
    if (pin == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    pin->filter = filter;
    pin->file = file;
    pin->ks.Descriptor = pd;
    pin->ks.Bag = &pin->bag;
    pin->ks.Id = connect.PinId;
    pin->ks.Communication = pd->PinDescriptor.Communication;
    pin->ks.ConnectionIsExternal = TRUE;
    pin->ks.ConnectionInterface = connect.Interface;
    pin->ks.ConnectionMedium = connect.Medium;
    pin->ks.ConnectionPriority = connect.Priority;
    pin->ks.DataFlow = pd->PinDescriptor.DataFlow;
    pin->ks.DeviceState = KSSTATE_STOP;
    pin->ks.ClientState = KSSTATE_STOP;
    pin->ks.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    pin->leading.Pin = &pin->ks;
    // The format goes through the minidriver's check before the pin exists for it.
    std::vector<uint8_t> format(block + sizeof connect, block + sizeof connect + header.FormatSize);
    if (MatchingRanges(pin, reinterpret_cast<const KSDATAFORMAT*>(format.data())).empty()) {
        delete pin;
        return CompleteIrp(irp, STATUS_NO_MATCH);
    }
    pin->ks.ConnectionFormat = CopyFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(format.data()), header.FormatSize);
    if (pin->ks.ConnectionFormat == nullptr) {
        delete pin;
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    NTSTATUS status = OfferFormat(pin, nullptr);
    if (NT_SUCCESS(status) && pd->Dispatch && pd->Dispatch->Create) status = pd->Dispatch->Create(&pin->ks, irp);
    if (!NT_SUCCESS(status)) {
        delete pin;
        return CompleteIrp(irp, status);
    }
    file->FsContext = &pin->header;
    filter->pins[connect.PinId].push_back(pin);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS SetPinState(Pin* pin, KSSTATE target) {
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    pin->ks.ClientState = target;
    // States move one step at a time, each step seen by the minidriver.
    while (StateOf(pin) != target) {
        KSSTATE from = StateOf(pin);
        KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
        if (pin->ks.Descriptor->Dispatch && pin->ks.Descriptor->Dispatch->SetDeviceState) {
            qk::nt::DriverScope scope(KsGetDevice(&pin->ks)->FunctionalDeviceObject->DriverObject);
            NTSTATUS status = pin->ks.Descriptor->Dispatch->SetDeviceState(&pin->ks, to, from);
            if (!NT_SUCCESS(status)) {
                pin->ks.ClientState = from;
                return status;
            }
        }
        MoveState(pin, to);
        if (to == KSSTATE_STOP) {
            WaitProcessingIdle(pin);
            FlushQueue(pin, STATUS_CANCELLED);
        }
    }
    if (target == KSSTATE_RUN) AttemptProcessing(pin, true);
    return STATUS_SUCCESS;
}

NTSTATUS ClosePin(PIRP irp, Pin* pin) {
    SetPinState(pin, KSSTATE_STOP);
    WaitProcessingIdle(pin);
    FlushQueue(pin, STATUS_CANCELLED);
    if (pin->ks.Descriptor->Dispatch && pin->ks.Descriptor->Dispatch->Close) {
        pin->ks.Descriptor->Dispatch->Close(&pin->ks, irp);
    }
    if (pin->clock != nullptr) pin->clock->Release();
    auto& siblings = pin->filter->pins[pin->ks.Id];
    std::erase(siblings, pin);
    pin->file->FsContext = nullptr;
    delete pin;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS QueueStream(PIRP irp, Pin* pin, bool write) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // Reads and writes alike carry their stream headers in the output buffer.
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* user = irp->UserBuffer;
    if ((write && pin->ks.DataFlow != KSPIN_DATAFLOW_IN) || (!write && pin->ks.DataFlow != KSPIN_DATAFLOW_OUT)) {
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (StateOf(pin) == KSSTATE_STOP) return CompleteIrp(irp, STATUS_INVALID_DEVICE_STATE);
    if (user == nullptr || length < sizeof(KSSTREAM_HEADER)) return CompleteIrp(irp, STATUS_INVALID_BUFFER_SIZE);
    auto request = std::make_unique<Request>();
    request->irp = irp;
    request->userHeaders = user;
    request->headers.assign(static_cast<uint8_t*>(user), static_cast<uint8_t*>(user) + length);
    // Walk the headers by their own sizes; every one must fit and be whole.
    std::vector<KSSTREAM_HEADER*> headers;
    for (size_t offset = 0; offset < length;) {
        if (length - offset < sizeof(KSSTREAM_HEADER)) return CompleteIrp(irp, STATUS_INVALID_BUFFER_SIZE);
        auto* h = reinterpret_cast<KSSTREAM_HEADER*>(request->headers.data() + offset);
        if (h->Size < sizeof(KSSTREAM_HEADER) || h->Size > length - offset || (h->Size & 7) != 0 ||
            h->Size < pin->ks.StreamHeaderSize) {
            return CompleteIrp(irp, STATUS_INVALID_BUFFER_SIZE);
        }
        if (h->Data == nullptr && h->FrameExtent != 0) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        if (!write) h->DataUsed = 0;
        headers.push_back(h);
        offset += h->Size;
    }
    request->frames = static_cast<ULONG>(headers.size());
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelStream);
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    for (auto* h : headers) pin->frames.push_back({irp, h});
    pin->requests.push_back(std::move(request));
    KeReleaseSpinLock(&pin->queueLock, old);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        irp->CancelIrql = cancelIrql;
        CancelStream(nullptr, irp);
        return STATUS_PENDING;
    }
    if (!(pin->ks.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING)) AttemptProcessing(pin, false);
    return STATUS_PENDING;
}

}  // namespace qk::ks

using namespace qk::ks;

VOID KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) { AttemptProcessing(PinOf(Pin), Asynchronous != FALSE); }

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
    qk::ks::Pin* pin = PinOf(Pin);
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    if (pin->frames.empty() || pin->leadingLocked) {
        KeReleaseSpinLock(&pin->queueLock, old);
        return nullptr;
    }
    FillPointer(pin);
    if (State == KSSTREAM_POINTER_STATE_LOCKED) {
        pin->leadingLocked = true;
        // A locked frame's request may not be cancelled under the minidriver.
        IoSetCancelRoutine(pin->frames.front().irp, nullptr);
    }
    KeReleaseSpinLock(&pin->queueLock, old);
    return &pin->leading;
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
    qk::ks::Pin* pin = PinOf(StreamPointer->Pin);
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    NTSTATUS status = pin->frames.empty() ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        pin->leadingLocked = true;
        IoSetCancelRoutine(pin->frames.front().irp, nullptr);
        FillPointer(pin);
    }
    KeReleaseSpinLock(&pin->queueLock, old);
    return status;
}

static void Release(qk::ks::Pin* pin, ULONG used, bool eject) {
    std::vector<std::unique_ptr<Request>> finished;
    PIRP rearm = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    if (!pin->frames.empty()) {
        Frame& f = pin->frames.front();
        f.consumed += used;
        if (eject || f.consumed >= f.header->FrameExtent) {
            RetireFront(pin, finished);
        } else {
            rearm = f.irp;
        }
    }
    pin->leadingLocked = false;
    // Frames of requests still queued can be cancelled again.
    for (auto& r : pin->requests) {
        if (r->irp != rearm && std::any_of(pin->frames.begin(), pin->frames.end(),
                                          [&](const Frame& fr) { return fr.irp == r->irp; })) {
            IoSetCancelRoutine(r->irp, CancelStream);
        }
    }
    if (rearm) IoSetCancelRoutine(rearm, CancelStream);
    KeReleaseSpinLock(&pin->queueLock, old);
    for (auto& r : finished) IoSetCancelRoutine(r->irp, nullptr);
    CompleteFinished(finished);
}

VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) { Release(PinOf(StreamPointer->Pin), 0, Eject); }

NTSTATUS KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                                BOOLEAN Eject) {
    qk::ks::Pin* pin = PinOf(StreamPointer->Pin);
    Release(pin, pin->ks.DataFlow == KSPIN_DATAFLOW_OUT ? OutUsed : InUsed, Eject);
    return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
    qk::ks::Pin* pin = PinOf(StreamPointer->Pin);
    bool wasLocked = pin->leadingLocked;
    Release(pin, 0, true);
    if (!wasLocked) return STATUS_SUCCESS;
    return KsStreamPointerLock(StreamPointer);
}

NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status) {
    qk::ks::Pin* pin = PinOf(StreamPointer->Pin);
    KIRQL old;
    KeAcquireSpinLock(&pin->queueLock, &old);
    if (!pin->frames.empty()) pin->frames.front().status = Status;
    KeReleaseSpinLock(&pin->queueLock, old);
    return STATUS_SUCCESS;
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    qk::ks::Pin* pin = PinOf(Pin);
    if (pin->clock == nullptr) return STATUS_DEVICE_NOT_READY;
    pin->clock->AddRef();
    *Interface = pin->clock;
    return STATUS_SUCCESS;
}
