// Kernel-streaming interception on a filter device: which pin a create opens
// and in what format, the admission rules that steer the audio engine to a
// format the processing can use, the bookkeeping of pin closes, the first
// read and write of a pin, and the properties the filter watches.
#include <cstring>

#include "audiofilter/capture_processor.h"
#include "audiofilter/filter.h"
#include "ks.h"
#include "ksmedia.h"

namespace k0340aud {

namespace {

constexpr size_t kBlockOffset = 78;        // the pin string (38 characters) and a backslash
constexpr size_t kInlineThreshold = 224;   // shorter names carry a pointer to the block
constexpr size_t kPointerFormBytes = kInlineThreshold - kBlockOffset - 1;

bool SameGuid(const void* p, const GUID& g) { return std::memcmp(p, &g, sizeof(GUID)) == 0; }

// The pin create's block from the file name; false when it is not one.
bool PinCreateBlock(PFILE_OBJECT file, const UCHAR** block, size_t* bytes) {
    if (file == nullptr || file->FileName.Buffer == nullptr || file->FileName.Length < kBlockOffset + 4) return false;
    const auto* name = reinterpret_cast<const UCHAR*>(file->FileName.Buffer);
    // Only a pin create carries a block: any other name (a filter opened with
    // a long reference string) would have its bytes taken for a pointer.
    static constexpr char16_t kPinString[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
    if (std::memcmp(name, kPinString, kBlockOffset) != 0) return false;
    if (file->FileName.Length < kInlineThreshold) {
        if (file->FileName.Length < kBlockOffset + sizeof(void*)) return false;
        const UCHAR* pointer;
        std::memcpy(&pointer, name + kBlockOffset, sizeof pointer);
        if (pointer == nullptr) return false;
        *block = pointer;
        *bytes = kPointerFormBytes;
        return true;
    }
    *block = name + kBlockOffset;
    *bytes = file->FileName.Length - kBlockOffset;
    return true;
}

}  // namespace

bool ParseAudioFormat(const UCHAR* data, size_t bytes, AudioFormat* format) {
    if (data == nullptr || bytes < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return false;
    KSDATAFORMAT header;
    std::memcpy(&header, data, sizeof header);
    if (!SameGuid(&header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) || !SameGuid(&header.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        !SameGuid(&header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return false;
    }
    WAVEFORMATEX wave;
    std::memcpy(&wave, data + sizeof(KSDATAFORMAT), sizeof wave);
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (bytes < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) || wave.cbSize < 22) return false;
        WAVEFORMATEXTENSIBLE extensible;
        std::memcpy(&extensible, data + sizeof(KSDATAFORMAT), sizeof extensible);
        if (!SameGuid(&extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return false;
    } else if (wave.wFormatTag != WAVE_FORMAT_PCM) {
        return false;
    }
    format->rateHz = wave.nSamplesPerSec;
    format->channels = wave.nChannels;
    format->bits = wave.wBitsPerSample;
    return true;
}

bool ParsePinCreate(PFILE_OBJECT file, ULONG* pinId, AudioFormat* format) {
    const UCHAR* block;
    size_t bytes;
    if (!PinCreateBlock(file, &block, &bytes) || bytes < sizeof(KSPIN_CONNECT)) return false;
    KSPIN_CONNECT connect;
    std::memcpy(&connect, block, sizeof connect);
    *pinId = connect.PinId;
    return ParseAudioFormat(block + sizeof connect, bytes - sizeof connect, format);
}

PinKind QueryPinKind(FilterExtension* f, PFILE_OBJECT filterFile, ULONG pinId) {
    KSP_PIN property{};
    property.Property.Set = KSPROPSETID_Pin;
    property.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pinId;
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW(0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KS_PROPERTY, f->lowerDevice, &property, sizeof property, &flow,
                                             sizeof flow, FALSE, &done, &io);
    if (irp == nullptr) return PinKind::Neither;
    IoGetNextIrpStackLocation(irp)->FileObject = filterFile;
    NTSTATUS status = IoCallDriver(f->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    if (!NT_SUCCESS(status)) return PinKind::Neither;
    return flow == KSPIN_DATAFLOW_IN ? PinKind::Render : flow == KSPIN_DATAFLOW_OUT ? PinKind::Capture : PinKind::Neither;
}

// The mono rule: the camera (and partner D's product 10) is opened in stereo,
// so the audio engine, whose mono open fails, converts for the application.
static NTSTATUS MonoRule(FilterExtension* f, const AudioFormat& format) {
    const bool monoRuleApplies = f->profile == Profile::Camera || f->profile == Profile::PartnerD10;
    if (!monoRuleApplies) return STATUS_SUCCESS;
    const bool mono = format.channels == 1;
    if (f->osLevel == 2) return mono ? STATUS_NO_MATCH : STATUS_SUCCESS;
    if (!f->monoRefused) {
        switch (format.rateHz) {
            case 8000:
            case 11025:
            case 22050:
            case 44100:
            case 48000:
                if (!mono) return STATUS_SUCCESS;
                f->rememberedRate = static_cast<USHORT>(format.rateHz == 44100 && f->osLevel == 1 ? 48000 : format.rateHz);
                f->monoRefused = 1;
                f->secondChance = 0;
                return STATUS_NO_MATCH;
            default: return STATUS_SUCCESS;
        }
    }
    if (mono) return STATUS_NO_MATCH;
    if (format.rateHz == f->rememberedRate) return STATUS_SUCCESS;
    if (format.rateHz == 48000) {
        if (f->secondChance) return STATUS_SUCCESS;
        f->secondChance = 1;
        return STATUS_NO_MATCH;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS AdmitPin(FilterExtension* f, PinKind kind, const AudioFormat& format) {
    NTSTATUS status = STATUS_SUCCESS;
    if (kind == PinKind::Render) {
        f->renderFormatPending = 1;
        f->renderRate = static_cast<USHORT>(format.rateHz);
        f->renderChannels = static_cast<LONG>(format.channels);
        f->renderBits = format.bits;
        f->renderTotal = 0;
        if (f->echoQuellOn && !f->echoRateFixed) {
            const bool wrong = format.rateHz != f->echoQuellRate || (f->echoNeeds16Bit && format.bits != 16);
            if (wrong) {
                if (!f->lastRenderRefused || format.rateHz != f->refusedRenderRate) {
                    f->refusalCount = 1;
                    f->refusedRenderRate = format.rateHz;
                } else {
                    ++f->refusalCount;
                }
                if (f->refusalCount >= 7) {
                    // The seventh attempt in a row at one rate: the engine insists.
                    f->echoQuellRate = format.rateHz;
                    f->refusalCount = 0;
                    SaveSettings(f);
                } else {
                    status = STATUS_NO_MATCH;
                }
            }
        }
        f->lastRenderRefused = status == STATUS_NO_MATCH;
        if (status != STATUS_NO_MATCH) f->monoRefused = 0;
        return status;
    }
    // Capture.
    f->captureFormatPending = 1;
    f->captureRate = static_cast<USHORT>(format.rateHz);
    f->captureChannels = static_cast<LONG>(format.channels);
    f->captureBits = format.bits;
    f->captureTotal = 0;
    if (f->echoQuellOn) {
        if (format.rateHz == f->echoQuellRate) {
            status = MonoRule(f, format);
        } else if (f->refusalCount >= 20) {
            f->echoQuellOn = 0;  // not saved
            status = MonoRule(f, format);
        } else {
            status = STATUS_NO_MATCH;
        }
        f->refusalCount = status == STATUS_NO_MATCH ? f->refusalCount + 1 : 0;
    } else if (f->bfa3On && format.channels != 2) {
        status = STATUS_NO_MATCH;
    } else {
        status = MonoRule(f, format);
    }
    if (status != STATUS_NO_MATCH) f->monoRefused = 0;
    f->lastCaptureRefused = status == STATUS_NO_MATCH;
    return status;
}


namespace {

VOID SaveLater(PDEVICE_OBJECT device, PVOID context) {
    auto* item = static_cast<PIO_WORKITEM>(context);
    SaveSettings(static_cast<FilterExtension*>(device->DeviceExtension));
    IoFreeWorkItem(item);
}

// A render create admitted while echo cancellation is on, refused below: the
// device cannot play at the echo rate, so 48000 Hz is tried next, and after
// that echo cancellation gives up. Completion routines may run at dispatch
// level, so the registry is written from a work item.
NTSTATUS RenderCreateCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* f = static_cast<FilterExtension*>(context);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (irp->IoStatus.Status != STATUS_NO_MATCH) return STATUS_SUCCESS;
    if (f->echoQuellRate == 48000) {
        f->echoQuellOn = 0;  // not saved
    } else {
        f->echoQuellRate = 48000;
        PIO_WORKITEM item = IoAllocateWorkItem(f->self);
        if (item != nullptr) IoQueueWorkItem(item, SaveLater, DelayedWorkQueue, item);
    }
    return STATUS_SUCCESS;
}

// The property data of an IOCTL_KS_PROPERTY: system buffer, else the MDL, else the user buffer.
UCHAR* PropertyData(PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) return static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (irp->MdlAddress != nullptr) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, HighPagePriority));
    return static_cast<UCHAR*>(irp->UserBuffer);
}

NTSTATUS WatchProperty(FilterExtension* f, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const auto* request = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (request == nullptr || inBytes < sizeof(KSPROPERTY)) return PassDown(f, irp);
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof property);
    const bool set = (property.Flags & KSPROPERTY_TYPE_SET) != 0;
    if (SameGuid(&property.Set, KSPROPSETID_Audio) && property.Id == KSPROPERTY_AUDIO_MUX_SOURCE && set) {
        const UCHAR* data = PropertyData(irp);
        if (data != nullptr && outBytes >= 4) std::memcpy(&f->muxSource, data, 4);
    } else if (SameGuid(&property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_STATE) {
        f->captureMeter.peak = 0;
        f->renderMeter.peak = 0;
    } else if (SameGuid(&property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_DATAFORMAT &&
               set) {
        AudioFormat format;
        const UCHAR* data = PropertyData(irp);
        if (data != nullptr && ParseAudioFormat(data, outBytes, &format)) {
            if ((f->echoQuellOn || f->echoPathActive) && format.rateHz != f->echoQuellRate) {
                return CompleteRequest(irp, STATUS_NO_MATCH, 0);
            }
            f->renderRate = static_cast<USHORT>(format.rateHz);
            f->renderChannels = static_cast<LONG>(format.channels);
            f->renderBits = format.bits;
        }
    }
    return PassDown(f, irp);
}

// The first stream header of a read or write: user buffer, else system buffer.
KSSTREAM_HEADER* FirstHeader(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG bytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* header = irp->UserBuffer != nullptr ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer;
    if (header == nullptr || bytes < sizeof(KSSTREAM_HEADER)) return nullptr;
    return static_cast<KSSTREAM_HEADER*>(header);
}

NTSTATUS ReadStream(FilterExtension* f, PIRP irp) {
    if (!ProfileProcessesCapture(f->profile)) return PassDown(f, irp);
    KeWaitForSingleObject(&f->pathMutex, Executive, KernelMode, FALSE, nullptr);
    if (f->captureFormatPending) {
        f->captureFormatPending = 0;
        f->captureRunning = 1;
        WriteStreamOpen(1);
        SignalEvent(kEventStream, 1);
        LoadFormatOverride(f, true);
        ChoosePath(f);
        if (f->captureProcessor != nullptr) {
            f->captureProcessor->SetFormat(f->captureRate, static_cast<ULONG>(f->captureChannels), f->captureBits);
            f->captureProcessor->RequestReset();
        }
        ResetMeter(&f->captureMeter, f->captureRate, static_cast<ULONG>(f->captureChannels));
        f->micBoostCarry = 0;
    }
    const bool capturePath = f->capturePathActive != 0, echoPath = f->echoQuellOn || f->echoPathActive;
    KeReleaseMutex(&f->pathMutex, FALSE);
    if (capturePath) return QueueRead(f, irp, false);
    if (echoPath) return QueueRead(f, irp, true);
    return PassDown(f, irp);
}

NTSTATUS WriteStream(FilterExtension* f, PIRP irp) {
    KeWaitForSingleObject(&f->pathMutex, Executive, KernelMode, FALSE, nullptr);
    if (f->renderFormatPending) {
        f->renderFormatPending = 0;
        f->renderRunning = 1;
        SignalEvent(kEventStream, 2);
        LoadFormatOverride(f, false);
        ChoosePath(f);
        ResetMeter(&f->renderMeter, f->renderRate, static_cast<ULONG>(f->renderChannels));
    }
    KeReleaseMutex(&f->pathMutex, FALSE);
    KSSTREAM_HEADER* header = FirstHeader(irp);
    if (header != nullptr && !(header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA)) {
        f->renderTotal += header->DataUsed;
        f->lastRenderSize = header->DataUsed;
        // The echo path takes the application's audio as its reference and
        // gives back what the loudspeaker plays (the probe while it calibrates).
        if (f->echoPathActive && header->Data != nullptr && header->DataUsed <= header->FrameExtent) {
            header->DataUsed = ProcessRenderBuffer(f, static_cast<UCHAR*>(header->Data), header->DataUsed,
                                                   header->DataUsed);
        }
        if (f->metersOn && header->Data != nullptr && header->DataUsed <= header->FrameExtent) {
            UpdateMeter(&f->renderMeter, static_cast<const UCHAR*>(header->Data), header->DataUsed, f->renderBits == 32);
        }
    }
    return PassDown(f, irp);
}

// The second request of a device control that came with no stack location
// for the device below (it was built before the filter attached): the
// status, count and MDL go back to the first, and both are finished here.
NTSTATUS SecondCompleted(PDEVICE_OBJECT, PIRP second, PVOID context) {
    auto* first = static_cast<PIRP>(context);
    first->IoStatus = second->IoStatus;
    first->MdlAddress = second->MdlAddress;
    second->MdlAddress = nullptr;
    IoFreeIrp(second);
    IoCompleteRequest(first, IO_NO_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardInSecondRequest(FilterExtension* f, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PIRP second = IoAllocateIrp(f->lowerDevice->StackSize, FALSE);
    if (second == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    second->AssociatedIrp.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    if (irp->AssociatedIrp.SystemBuffer != nullptr) second->Flags |= IRP_BUFFERED_IO;
    second->MdlAddress = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    second->UserBuffer = irp->UserBuffer;
    second->RequestorMode = irp->RequestorMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(second);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl = stack->Parameters.DeviceIoControl;
    next->FileObject = stack->FileObject;
    IoSetCompletionRoutine(second, SecondCompleted, irp, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    IoCallDriver(f->lowerDevice, second);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS FilterCreate(FilterExtension* f, PIRP irp) {
    if (f->settingsPending) LoadSettings(f);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ULONG pinId = 0;
    AudioFormat format;
    if (!ParsePinCreate(file, &pinId, &format)) return PassDown(f, irp);
    const PinKind kind = QueryPinKind(f, file->RelatedFileObject, pinId);
    if (kind == PinKind::Neither) return PassDown(f, irp);
    if (AdmitPin(f, kind, format) == STATUS_NO_MATCH) return CompleteRequest(irp, STATUS_NO_MATCH, 0);
    if (kind == PinKind::Render && f->echoQuellOn) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RenderCreateCompleted, f, FALSE, TRUE, TRUE);
        return IoCallDriver(f->lowerDevice, irp);
    }
    return PassDown(f, irp);
}

NTSTATUS FilterClose(FilterExtension* f, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ULONG pinId = 0;
    AudioFormat format;
    if (ParsePinCreate(file, &pinId, &format)) {
        const PinKind kind = QueryPinKind(f, file->RelatedFileObject, pinId);
        KeWaitForSingleObject(&f->pathMutex, Executive, KernelMode, FALSE, nullptr);
        if (kind == PinKind::Capture && f->captureRunning) {
            f->captureRunning = 0;
            WriteStreamOpen(0);
            f->captureMeter.peak = 0;
            SignalEvent(kEventStream, 3);
        } else if (kind == PinKind::Render && f->renderRunning) {
            f->renderRunning = 0;
            f->renderMeter.peak = 0;
            SignalEvent(kEventStream, 4);
        }
        if (kind != PinKind::Neither) f->echoPathActive = 0;
        KeReleaseMutex(&f->pathMutex, FALSE);
    }
    return PassDown(f, irp);
}

NTSTATUS FilterDeviceControl(FilterExtension* f, PIRP irp) {
    if (irp->CurrentLocation <= f->lowerDevice->StackSize) return ForwardInSecondRequest(f, irp);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
        // The filter does not let pins connect to each other directly through it.
        case IOCTL_KS_HANDSHAKE: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        case IOCTL_KS_PROPERTY: return WatchProperty(f, irp);
        case IOCTL_KS_READ_STREAM: return ReadStream(f, irp);
        case IOCTL_KS_WRITE_STREAM: return WriteStream(f, irp);
        default: return PassDown(f, irp);
    }
}

}  // namespace k0340aud
