// The processing pipeline of a filter device: two worker threads, each fed by
// its own queue of held capture reads and a semaphore; the choice of path at
// the first request of a pin; MicBoost, the capture processor, push-to-talk
// and the level meters. Completion routines only queue and signal; every
// held request is completed exactly once, by its worker.
#include <algorithm>
#include <cstring>

#include "audiofilter/capture_processor.h"
#include "audiofilter/echo_canceller.h"
#include "audiofilter/filter.h"
#include "ks.h"

namespace k0340aud {

namespace {

constexpr ULONG kLargestProcessedCapture = 380000;  // bytes; larger capture buffers pass unprocessed
constexpr KPRIORITY kWaitingPriority = 11;
constexpr KPRIORITY kWorkingPriority = 12;
constexpr KPRIORITY kExitingPriority = 31;

struct Path {
    PLIST_ENTRY queue;
    PKSPIN_LOCK lock;
    PKSEMAPHORE semaphore;
    LONG* state;
    PKEVENT exited;
    PVOID* thread;
};

Path CapturePath(FilterExtension* f) {
    return {&f->captureQueue, &f->captureQueueLock, &f->captureQueueSemaphore, &f->captureWorkerState,
            &f->captureWorkerExited, &f->captureThread};
}
Path EchoPath(FilterExtension* f) {
    return {&f->echoQueue, &f->echoQueueLock, &f->echoQueueSemaphore, &f->echoWorkerState, &f->echoWorkerExited,
            &f->echoThread};
}

// A held read came back with success: queue it for its worker.
NTSTATUS ReadCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context, bool echo) {
    auto* f = static_cast<FilterExtension*>(context);
    Path path = echo ? EchoPath(f) : CapturePath(f);
    ExInterlockedInsertTailList(path.queue, &irp->Tail.Overlay.ListEntry, path.lock);
    __try {
        KeReleaseSemaphore(path.semaphore, IO_NO_INCREMENT, 1, FALSE);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        // Beyond 20 pending signals: the request is queued all the same and
        // goes with the others at the next wake-up.
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS CaptureReadCompleted(PDEVICE_OBJECT d, PIRP irp, PVOID context) { return ReadCompleted(d, irp, context, false); }
NTSTATUS EchoReadCompleted(PDEVICE_OBJECT d, PIRP irp, PVOID context) { return ReadCompleted(d, irp, context, true); }

// The data of a completed read: the header's Data, or the MDL's system address.
UCHAR* DataOf(PIRP irp, KSSTREAM_HEADER* header) {
    if (irp->MdlAddress != nullptr) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, HighPagePriority));
    return static_cast<UCHAR*>(header->Data);
}

KSSTREAM_HEADER* HeaderOf(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(KSSTREAM_HEADER)) return nullptr;
    void* header = irp->UserBuffer != nullptr ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer;
    return static_cast<KSSTREAM_HEADER*>(header);
}

bool RightInput(const FilterExtension* f) {
    return f->muxSource == 1 || (f->muxSource == 2 && f->profile == Profile::PartnerE);
}

void ProcessHeld(FilterExtension* f, PIRP irp, bool echo) {
    KSSTREAM_HEADER* header = NT_SUCCESS(irp->IoStatus.Status) ? HeaderOf(irp) : nullptr;
    UCHAR* data = header != nullptr ? DataOf(irp, header) : nullptr;
    if (header == nullptr || data == nullptr || header->DataUsed == 0) return;
    // A header that claims more than its buffer holds is not believed.
    if (header->DataUsed > header->FrameExtent) return;
    f->lastCaptureSize = header->DataUsed;
    f->captureTotal += header->DataUsed;
    DspStateScope state;
    if (!state.Saved()) return;  // passed on unprocessed
    if (echo) {
        if (RightInput(f) && f->micBoost) ApplyMicBoost(data, header->DataUsed, f->captureBits, f->micBoost, &f->micBoostCarry);
        if (f->echoPathActive) {
            if (EchoCanceller* c = AcquireCanceller(f)) {
                c->PushCapture(data, header->DataUsed);
                header->DataUsed = c->PullCapture(data, header->FrameExtent);
                c->Release();
            }
        }
    } else if (header->DataUsed < kLargestProcessedCapture) {
        header->DataUsed = ProcessCaptureBuffer(f, data, header->DataUsed);
    }
    if (f->metersOn) UpdateMeter(&f->captureMeter, data, header->DataUsed, false);
}

void Worker(FilterExtension* f, bool echo) {
    Path path = echo ? EchoPath(f) : CapturePath(f);
    PKTHREAD self = KeGetCurrentThread();
    while (true) {
        KeSetPriorityThread(self, kWaitingPriority);
        KeWaitForSingleObject(path.semaphore, Executive, KernelMode, FALSE, nullptr);
        if (*path.state == 0) {
            *path.state = -1;
            KeSetPriorityThread(self, kExitingPriority);
            KeSetEvent(path.exited, IO_NO_INCREMENT, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        KeSetPriorityThread(self, kWorkingPriority);
        while (PLIST_ENTRY entry = ExInterlockedRemoveHeadList(path.queue, path.lock)) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            __try {
                ProcessHeld(f, irp, echo);
            } __except (EXCEPTION_EXECUTE_HANDLER) {
                // Completed as it is below, like every request taken.
            }
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }
}

VOID CaptureWorker(PVOID context) { Worker(static_cast<FilterExtension*>(context), false); }
VOID EchoWorker(PVOID context) { Worker(static_cast<FilterExtension*>(context), true); }

NTSTATUS StartWorker(FilterExtension* f, Path path, PKSTART_ROUTINE routine) {
    KeInitializeEvent(path.exited, NotificationEvent, FALSE);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, f);
    if (!NT_SUCCESS(status)) return status;
    *path.state = 1;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, path.thread, nullptr))) {
        *path.thread = nullptr;
    }
    ZwClose(thread);
    return STATUS_SUCCESS;
}

void StopWorker(Path path) {
    if (*path.state <= 0) return;
    *path.state = 0;
    KeReleaseSemaphore(path.semaphore, IO_NO_INCREMENT, 1, FALSE);
    KeWaitForSingleObject(path.exited, Executive, KernelMode, FALSE, nullptr);
    if (*path.thread != nullptr) {
        KeWaitForSingleObject(*path.thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(*path.thread);
        *path.thread = nullptr;
    }
}

}  // namespace

NTSTATUS StartWorkers(FilterExtension* f) {
    InitializeListHead(&f->captureQueue);
    InitializeListHead(&f->echoQueue);
    KeInitializeSemaphore(&f->captureQueueSemaphore, 0, 20);
    KeInitializeSemaphore(&f->echoQueueSemaphore, 0, 20);
    KeInitializeSpinLock(&f->captureQueueLock);
    KeInitializeSpinLock(&f->echoQueueLock);
    f->captureWorkerState = -1;
    f->echoWorkerState = -1;
    NTSTATUS status = StartWorker(f, CapturePath(f), CaptureWorker);
    if (!NT_SUCCESS(status)) return status;
    status = StartWorker(f, EchoPath(f), EchoWorker);
    if (!NT_SUCCESS(status)) StopWorker(CapturePath(f));
    return status;
}

void StopWorkers(FilterExtension* f) {
    StopWorker(CapturePath(f));
    StopWorker(EchoPath(f));
}

void ChoosePath(FilterExtension* f) {
    if (f->echoQuellOn) {
        // Echo cancellation needs both streams at one rate; until both run,
        // reads go to the echo worker, which passes them on after MicBoost.
        f->capturePathActive = 0;
        if (f->captureRunning && f->renderRunning && f->renderRate == f->captureRate && f->captureRate <= 48000) {
            if (f->captureProcessor != nullptr) f->captureProcessor->RequestReset();
            f->echoPathActive = 0;
            EchoCanceller* c = EchoCanceller::Create(f->captureRate, ULONG(f->captureChannels), f->captureBits,
                                                     ULONG(f->renderChannels), f->renderBits);
            if (c != nullptr && !NT_SUCCESS(c->Start())) {
                EchoCanceller::Destroy(c);
                c = nullptr;
            }
            ReplaceCanceller(f, c);
            f->echoDelay = -1;
            // Without a canceller (no memory, no thread) the echo worker passes the microphone on.
            f->echoPathActive = c != nullptr ? 1 : 0;
        } else {
            f->echoPathActive = 0;
        }
        return;
    }
    const bool capture = f->captureChannels <= 2 && f->captureRate != 0;
    f->echoPathActive = 0;
    ReplaceCanceller(f, nullptr);
    f->capturePathActive = capture ? 1 : 0;
}

EchoCanceller* AcquireCanceller(FilterExtension* f) {
    KIRQL old;
    KeAcquireSpinLock(&f->echoLock, &old);
    EchoCanceller* c = f->echoCanceller;
    if (c != nullptr) c->AddRef();
    KeReleaseSpinLock(&f->echoLock, old);
    return c;
}

void ReplaceCanceller(FilterExtension* f, EchoCanceller* next) {
    KIRQL old;
    KeAcquireSpinLock(&f->echoLock, &old);
    EchoCanceller* previous = f->echoCanceller;
    f->echoCanceller = next;
    KeReleaseSpinLock(&f->echoLock, old);
    if (previous != nullptr) previous->Release();
}

ULONG ProcessRenderBuffer(FilterExtension* f, UCHAR* data, ULONG bytes, ULONG capacity) {
    EchoCanceller* c = AcquireCanceller(f);
    if (c == nullptr) return bytes;
    c->PushRender(data, bytes);
    bytes = c->PullRender(data, capacity);
    c->Release();
    return bytes;
}

NTSTATUS QueueRead(FilterExtension* f, PIRP irp, bool echoPath) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    // Only a successful read is held; a failed one completes as it is.
    IoSetCompletionRoutine(irp, echoPath ? EchoReadCompleted : CaptureReadCompleted, f, TRUE, FALSE, FALSE);
    IoCallDriver(f->lowerDevice, irp);
    // Marked pending, so pending is what the caller hears, whatever came back.
    return STATUS_PENDING;
}

ULONG ProcessCaptureBuffer(FilterExtension* f, UCHAR* data, ULONG bytes) {
    CaptureProcessor* p = f->captureProcessor;
    if (p == nullptr) return bytes;
    if (RightInput(f)) {
        if (f->micBoost) ApplyMicBoost(data, bytes, f->captureBits, f->micBoost, &f->micBoostCarry);
        bytes = p->Process(data, bytes);
        if (f->pushToTalkOn && !f->talkKeyDown) std::memset(data, 0, bytes);
        return bytes;
    }
    // Another recording input: the audio passes through unchanged.
    p->SetFeature(FEATURE_NOISEGUARD, 0);
    p->SetFeature(FEATURE_BFA, 0);
    p->SetFeature(FEATURE_BFA3, 0);
    bytes = p->Process(data, bytes);
    p->SetFeature(FEATURE_NOISEGUARD, f->noiseGuardOn);
    p->SetFeature(FEATURE_BFA, f->bfaOn);
    p->SetFeature(FEATURE_BFA3, f->bfa3On);
    return bytes;
}

void ResetMeter(LevelMeter* meter, ULONG rateHz, ULONG channels) {
    if (rateHz == 0 || channels == 0) return;
    meter->peak = 0;
    meter->smoothed = 0;
    meter->position = 0;
    meter->carry = 0;
    meter->window = rateHz * channels / 20;
    meter->weight = meter->window * 1000 / (rateHz * channels);
}

void UpdateMeter(LevelMeter* meter, const UCHAR* data, ULONG bytes, bool samples32) {
    if (meter->window == 0) return;
    const ULONG size = samples32 ? 4 : 2;
    // Locals: the byte pointer may alias the meter, which would make the
    // compiler reload every field for every sample.
    const LONG weight = LONG(meter->weight);
    const ULONG window = meter->window;
    LONG smoothed = meter->smoothed, peak = meter->peak;
    ULONG position = meter->position;
    ULONG i = std::min(meter->carry, bytes);
    for (; i + size <= bytes; i += size) {
        LONG v;
        if (samples32) {
            int32_t s;
            std::memcpy(&s, data + i, 4);
            v = LONG((s < 0 ? -int64_t(s) : int64_t(s)) / 65535);
        } else {
            int16_t s;
            std::memcpy(&s, data + i, 2);
            v = s < 0 ? -LONG(s) : LONG(s);
        }
        smoothed = (v * weight + (1000 - weight) * smoothed) / 1000;
        peak = std::max(peak, v);
        if (++position >= window) {
            position = 0;
            peak = smoothed;
        }
    }
    meter->smoothed = smoothed;
    meter->peak = peak;
    meter->position = position;
    // A sample split at the end: its rest at the start of the next buffer is skipped.
    meter->carry = i < bytes ? size - (bytes - i) : 0;
}

}  // namespace k0340aud
