// The capture filter and its video capture pin: descriptors, data ranges,
// intersection and format checks, the pin state machine, and the processing
// routine that turns one camera frame into one output sample.
#include <cstring>

#include "capture/k0340dev.h"
#include "imaging/convert/convert.h"
#include "imaging/jpeg/jpeg.h"

namespace k0340 {
namespace {

constexpr ULONG kStreamHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// The pin's context (tag "KCNw").
struct PinContext {
    UsbCameraDevice* device;
    CameraContext* camera;
    LONGLONG* frameCounter;  // separate 8-byte block in the object bag
    BOOLEAN formatAcquired;
    PIKSREFERENCECLOCK clock;
    BOOLEAN clockPresent;
    BOOLEAN retry;
    LONGLONG lastPresentationTime;
    LONGLONG pictureNumber;
    LONGLONG dropCount;
    KSSTATE state;
    ULONG handled;         // frames handled since creation (the first two are cancelled)
    ULONG delivered;       // samples completed since creation
    BOOLEAN firstAfterOpen;
};

VOID FreeContextBlock(PVOID block) { ExFreePoolWithTag(block, kTagContext); }

PinContext* ContextOf(PKSPIN pin) { return static_cast<PinContext*>(pin->Context); }

UsbCameraDevice* DeviceOfPin(PKSPIN pin) { return DeviceOf(KsGetDevice(pin)); }

// ---- The JPEG decoder: one for the whole driver ---------------------------------------------

KSPIN_LOCK g_decoderLock = 0;  // guards the decoder and every global below
const UCHAR* g_jpegData;
ULONG g_jpegBytes;
UCHAR* g_jpegDestination;
ULONG g_jpegPitch;
ULONG g_jpegDestinationBytes;
int g_jpegWidth, g_jpegHeight;
// The camera whose stream the decoder's tables belong to; null: none, the
// decoder starts again with the typical tables at the next frame.
const CameraContext* g_decoderOwner = nullptr;

void* DecoderAllocate(size_t bytes) { return Allocate(bytes); }
void DecoderRelease(void* block) { Free(block); }

// The typical Huffman tables of ITU-T T.81 Annex K.3 as one DHT segment
// between SOI and EOI. Motion-JPEG cameras may leave DHT out of their frames
// (or send it only with the first frame of a stream, which the pin cancels
// without decoding); frames without tables are coded with these.
constexpr UCHAR kStandardTablesStream[] = {
    0xFF, 0xD8, 0xFF, 0xC4, 0x01, 0xA2,
    // DC, table 0 (luminance)
    0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // DC, table 1 (chrominance)
    0x01, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC, table 0 (luminance)
    0x10, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5,
    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA,
    // AC, table 1 (chrominance)
    0x11, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0,
    0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26,
    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA,
    0xFF, 0xD9};
static_assert(sizeof(kStandardTablesStream) == 2 + 2 + 0x1A2 + 2);

int JpegData(const uint8_t** chunk, uint32_t* length) {
    *chunk = g_jpegData;
    *length = g_jpegBytes;
    g_jpegBytes = 0;
    return 1;
}

int JpegImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    // The decoded frame must be the camera frame the stream asked for.
    if (width != g_jpegWidth || height != g_jpegHeight) return 0;
    if (g_jpegPitch > 0xFFFF || static_cast<uint64_t>(g_jpegPitch) * static_cast<uint64_t>(height) > g_jpegDestinationBytes) {
        return 0;
    }
    *destination = g_jpegDestination;
    *pitch = static_cast<uint16_t>(g_jpegPitch);
    return 1;
}

// ---- The pin --------------------------------------------------------------------------------

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
    UsbCameraDevice* device = DeviceOfPin(pin);
    // One camera runs one stream: a pin on a second filter is refused and
    // the running stream does not notice.
    KsAcquireDevice(device->ks);
    bool taken = device->pin != nullptr;
    if (!taken) device->pin = pin;
    KsReleaseDevice(device->ks);
    if (taken) return STATUS_SHARING_VIOLATION;
    auto fail = [&](NTSTATUS status) {
        KsAcquireDevice(device->ks);
        if (device->pin == pin) device->pin = nullptr;
        KsReleaseDevice(device->ks);
        return status;
    };
    auto* context = static_cast<PinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PinContext), kTagContext));
    if (context == nullptr) return fail(STATUS_INSUFFICIENT_RESOURCES);
    std::memset(context, 0, sizeof *context);
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreeContextBlock);
    if (!NT_SUCCESS(status)) {
        FreeContextBlock(context);
        return fail(status);
    }
    auto* counter = static_cast<LONGLONG*>(Allocate(sizeof(LONGLONG)));
    if (counter == nullptr) return fail(STATUS_INSUFFICIENT_RESOURCES);
    KsAddItemToObjectBag(pin->Bag, counter, [](PVOID b) { Free(b); });
    context->device = device;
    context->camera = device->GetCameraContext();
    context->frameCounter = counter;
    context->state = KSSTATE_STOP;
    pin->Context = context;
    pin->StreamHeaderSize = kStreamHeaderBytes;
    // The pin's descriptor and its framing become its own to edit.
    status = KsEdit(pin, &pin->Descriptor, kTagEdit);
    if (NT_SUCCESS(status)) {
        auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
        status = KsEdit(pin, &descriptor->AllocatorFraming, kTagEdit);
        if (NT_SUCCESS(status)) {
            auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
            ULONG size = 0;
            if (pin->ConnectionFormat != nullptr && pin->ConnectionFormat->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
                size = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat)
                           ->VideoInfoHeader.bmiHeader.biSizeImage;
            }
            framing->CountItems = 1;
            framing->FramingItem[0].MemoryType = KSMEMORY_TYPE_KERNEL_NONPAGED;
            framing->FramingItem[0].Frames = 5;
            framing->FramingItem[0].PhysicalRange = {size, size, 0};
            framing->FramingItem[0].FramingRange.Range = {size, size, 0};
        }
    }
    if (!NT_SUCCESS(status)) return fail(status);
    return status;
}

NTSTATUS PinClose(PKSPIN pin, PIRP) {
    UsbCameraDevice* device = DeviceOfPin(pin);
    KsAcquireDevice(device->ks);
    if (device->pin == pin) device->pin = nullptr;
    KsReleaseDevice(device->ks);
    return STATUS_SUCCESS;
}

NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
    UsbCameraDevice* device = DeviceOfPin(pin);
    if (pin->ConnectionFormat == nullptr) return STATUS_NO_MATCH;
    return device->ValidateFormat(pin->ConnectionFormat, pin->ConnectionFormat->FormatSize, range);
}

NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    UsbCameraDevice* device = DeviceOfPin(pin);
    PinContext* context = ContextOf(pin);
    NTSTATUS status = STATUS_SUCCESS;
    KsAcquireDevice(device->ks);
    if (device->pin != pin) {
        // Not the camera's stream (its creation was refused): nothing to move.
        status = to == KSSTATE_STOP ? STATUS_SUCCESS : STATUS_DEVICE_BUSY;
    } else if (to == KSSTATE_STOP) {
        device->CloseStream();
        device->ForgetFormat();
        device->wanted = StreamWanted::Closed;
        context->formatAcquired = FALSE;
        if (context->clock != nullptr) context->clock->Release();
        context->clock = nullptr;
        context->clockPresent = FALSE;
        device->clock = nullptr;
    } else if (from == KSSTATE_STOP && to == KSSTATE_ACQUIRE) {
        if (!device->present) {
            status = STATUS_DEVICE_DATA_ERROR;
        } else if (pin->ConnectionFormat == nullptr ||
                   !NT_SUCCESS(device->MatchFormat(pin->ConnectionFormat, pin->ConnectionFormat->FormatSize))) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = device->OpenStream();
            if (NT_SUCCESS(status)) {
                device->wanted = StreamWanted::Opened;
                context->formatAcquired = TRUE;
                context->firstAfterOpen = TRUE;
                if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context->clock))) {
                    context->clockPresent = TRUE;
                    device->clock = context->clock;
                }
            } else {
                device->ForgetFormat();
            }
        }
    } else if (from == KSSTATE_RUN && to == KSSTATE_PAUSE) {
        status = device->Pause();
        device->streamPaused = TRUE;
        device->wanted = StreamWanted::Opened;
    } else if (from == KSSTATE_PAUSE && to == KSSTATE_RUN) {
        status = device->RunStream();
        device->streamPaused = FALSE;
        if (NT_SUCCESS(status)) device->wanted = StreamWanted::Running;
    }
    if (NT_SUCCESS(status)) context->state = to;
    KsReleaseDevice(device->ks);
    return status;
}

// Completes the leading frame: status, size, time stamps, frame information.
void CompleteSample(PKSPIN pin, PKSSTREAM_POINTER pointer, NTSTATUS status, ULONG dataUsed, LONGLONG frameTime) {
    PinContext* c = ContextOf(pin);
    UsbCameraDevice* d = c->device;
    KSSTREAM_HEADER* h = pointer->StreamHeader;
    LONGLONG duration = d->streamFormat.interval100ns;
    h->PresentationTime.Numerator = h->PresentationTime.Denominator = 1;
    h->Duration = duration;
    h->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | (c->delivered == 0 ? KSSTREAM_HEADER_OPTIONSF_PREROLL : 0);
    h->DataUsed = NT_SUCCESS(status) ? dataUsed : 0;
    h->PresentationTime.Time = 0;
    if (c->clockPresent && NT_SUCCESS(status) && duration > 0) {
        LONGLONG time = frameTime;
        if (c->delivered >= 3 && time <= c->lastPresentationTime) time = c->lastPresentationTime + duration;
        h->PresentationTime.Time = time;
        c->lastPresentationTime = time;
        LONGLONG drops = time / duration - *c->frameCounter;
        c->dropCount = drops > 0 ? drops : 0;
        c->pictureNumber = *c->frameCounter + c->dropCount;
        h->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
        ++*c->frameCounter;
    }
    if (h->Size >= kStreamHeaderBytes) {
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->PictureNumber = c->pictureNumber;
        info->DropCount = c->dropCount;
    }
    ++c->delivered;
    if (!NT_SUCCESS(status)) KsStreamPointerSetStatusCode(pointer, status);
    KsStreamPointerAdvanceOffsetsAndUnlock(pointer, 0, h->DataUsed, TRUE);
}

// Paints a substitute picture into the sample: the fitted picture is kept in
// the camera's picture buffer for the stream and copied for every frame.
bool PaintInto(CameraContext* c, Substitute which, const StreamFormat& s, UCHAR* out, ULONG outBytes) {
    auto index = static_cast<LONG>(which);
    if (c->fittedWhich != index || c->fittedWidth != s.width || c->fittedHeight != s.height ||
        c->fittedFormat != s.formatIndex) {
        c->fittedWhich = -1;
        ULONG bytes = PaintSubstitute(which, c->substitutes[index], s.width, s.height, s.formatIndex, c->pictures[0],
                                      kPictureBuffer, c->pictures[1], kPictureBuffer);
        if (bytes == 0) return false;
        c->fittedWhich = index;
        c->fittedWidth = s.width;
        c->fittedHeight = s.height;
        c->fittedFormat = s.formatIndex;
        c->fittedBytes = bytes;
    }
    if (c->fittedBytes > outBytes) return false;
    std::memcpy(out, c->pictures[1], c->fittedBytes);
    return true;
}

// One frame into the leading sample; STATUS_CANCELLED for a frame that gives none.
NTSTATUS ProcessFrame(PinContext* pc, FrameDescriptor* frame, UCHAR* out, ULONG outBytes) {
    UsbCameraDevice* d = pc->device;
    CameraContext* c = d->GetCameraContext();
    const StreamFormat& s = d->streamFormat;
    if (c == nullptr || outBytes < s.sizeImage) return STATUS_CANCELLED;  // a buffer too short takes nothing
    // The parental lock and the hardware switch replace the picture without decoding it.
    if (frame->flags & kFrameLocked) {
        return PaintInto(c, Substitute::ParentalLock, s, out, outBytes) ? STATUS_SUCCESS : STATUS_CANCELLED;
    }
    if (Load(c->hardwarePrivacy)) {
        return PaintInto(c, Substitute::HardwarePrivacy, s, out, outBytes) ? STATUS_SUCCESS : STATUS_CANCELLED;
    }
    if (pc->firstAfterOpen) {
        pc->firstAfterOpen = FALSE;
        if (Load(c->exposureModeFlags) == 1 && s.width <= 800 && s.height <= 600) {
            // The kick needs the camera's answers, so it runs at PASSIVE_LEVEL
            // behind the requests already queued; this frame carries the old exposure.
            QueueExposureKick(d);
            return STATUS_CANCELLED;
        }
    }
    if (s.formatIndex == kFormatMjpg) {
        return NT_SUCCESS(ConvertFrame(d, frame, out, outBytes, s.width, s.height)) ? STATUS_SUCCESS : STATUS_CANCELLED;
    }
    // With effects (or a capture larger than the output) the picture goes to
    // the work picture and the effects write the sample; otherwise straight in.
    const bool enlarged = c->stream.scaling != FALSE;
    const bool effects = enlarged || EffectsActive(c);
    UCHAR* picture = effects ? c->workBuffer : out;
    ULONG pictureBytes = effects ? c->workBufferBytes : outBytes;
    ULONG width = enlarged ? c->stream.captureWidth : s.width;
    ULONG height = enlarged ? c->stream.captureHeight : s.height;
    if (!NT_SUCCESS(ConvertFrame(d, frame, picture, pictureBytes, width, height))) return STATUS_CANCELLED;
    if (effects) {
        EffectsFrame f{picture, pictureBytes, c->frameWork, c->frameWorkBytes, out, s.sizeImage, width, height,
                       s.width, s.height, s.formatIndex, static_cast<UCHAR>((Load(c->mirrorBits) & 2) ? 1 : 0),
                       static_cast<UCHAR>(frame->flags)};
        if (EffectsProcessFrame(c, f) != 0) return STATUS_CANCELLED;
    }
    if ((frame->flags & kFramePrivacy) && !PaintInto(c, Substitute::SoftwarePrivacy, s, out, outBytes)) {
        return STATUS_CANCELLED;  // never the camera's picture while private
    }
    return STATUS_SUCCESS;
}

// Processing runs while the class driver may be changing the pin's state:
// the device's gate keeps it out of a stream that is being closed.
NTSTATUS ProcessOneFrame(PKSPIN pin);

NTSTATUS PinProcess(PKSPIN pin) {
    UsbCameraDevice* d = ContextOf(pin)->device;
    InterlockedIncrement(&d->processingActive);
    NTSTATUS status = InterlockedCompareExchange(&d->processingGateClosed, 0, 0) ? STATUS_PENDING : ProcessOneFrame(pin);
    InterlockedDecrement(&d->processingActive);
    return status;
}

NTSTATUS ProcessOneFrame(PKSPIN pin) {
    PinContext* c = ContextOf(pin);
    UsbCameraDevice* d = c->device;
    if (d->transport == nullptr) return STATUS_PENDING;
    FrameDescriptor* frame = TakeReadyFrame(d);
    if (frame == nullptr) {
        c->retry = TRUE;
        InterlockedExchange(&d->transport->pinWantsFrames, 1);
        // A frame may have arrived between the look and the request.
        frame = TakeReadyFrame(d);
        if (frame == nullptr) return STATUS_PENDING;
    }
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (pointer == nullptr) {
        c->retry = TRUE;
        d->ReleaseSlot(frame);
        return STATUS_PENDING;
    }
    c->retry = FALSE;
    LONGLONG frameTime = frame->presentationTime;
    NTSTATUS status;
    if (c->handled++ < 2) {
        status = STATUS_CANCELLED;  // the first two frames a pin handles carry the camera's start-up
    } else if (frame->flags & kFrameBad) {
        status = STATUS_CANCELLED;  // damaged on the way: never a wrong picture
    } else {
        status = ProcessFrame(c, frame, pointer->OffsetOut.Data, pointer->OffsetOut.Remaining);
    }
    ULONG dataUsed = d->streamFormat.sizeImage;
    if (NT_SUCCESS(status) && d->streamFormat.formatIndex == kFormatMjpg && !(frame->flags & (kFrameLocked))) {
        dataUsed = frame->filled;
    }
    if (NT_SUCCESS(status)) {
        OfferStillFrame(d, pointer->OffsetOut.Data, d->streamFormat.width, d->streamFormat.height,
                        d->streamFormat.formatIndex);
    }
    CompleteSample(pin, pointer, status, dataUsed, frameTime);
    d->ReleaseSlot(frame);
    // The switch is read for every frame, at PASSIVE_LEVEL, for the next one.
    QueuePrivacyRefresh(d);
    return STATUS_SUCCESS;
}

NTSTATUS GetDroppedFrames(PIRP irp, PKSIDENTIFIER, PVOID data) {
    PKSPIN pin = KsGetPinFromIrp(irp);
    if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    PinContext* c = ContextOf(pin);
    auto* out = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(data);
    out->PictureNumber = c->pictureNumber;
    out->DropCount = c->dropCount;
    out->AverageFrameSize = c->device->streamFormat.sizeImage;
    irp->IoStatus.Information = sizeof *out;
    return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT, {GetDroppedFrames}, sizeof(KSPROPERTY), sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET kPinPropertySets[] = {{&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr}};
const KSAUTOMATION_TABLE kPinAutomation = {1, sizeof(KSPROPERTY_ITEM), kPinPropertySets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN pinRequest, PKSDATARANGE callerRange, PKSDATARANGE ourRange,
                   ULONG dataBytes, PVOID data, PULONG dataSize) {
    return IntersectRange(callerRange, callerRange->FormatSize, reinterpret_cast<const KS_DATARANGE_VIDEO*>(ourRange),
                          data, dataBytes, dataSize);
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, PinProcess, nullptr, PinSetDataFormat, PinSetDeviceState};
const KSALLOCATOR_FRAMING_EX kFraming = {1, 0, {1, 1, 0}, 0, {{KSMEMORY_TYPE_KERNEL_NONPAGED}}};
const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

NTSTATUS FilterCreate(PKSFILTER, PIRP) { return STATUS_SUCCESS; }
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, nullptr, nullptr, nullptr};

}  // namespace

const KSFILTER_DESCRIPTOR* BuildFilterDescriptor(UsbCameraDevice* device) {
    // Built per device: the data ranges come from the camera's format table.
    struct Descriptors {
        KSPIN_DESCRIPTOR_EX pin;
        KSFILTER_DESCRIPTOR filter;
    };
    auto* d = static_cast<Descriptors*>(Allocate(sizeof(Descriptors)));
    if (d == nullptr) return nullptr;
    KsAddItemToObjectBag(device->ks->Bag, d, [](PVOID b) { Free(b); });
    KSPIN_DESCRIPTOR_EX& pin = d->pin;
    pin.Dispatch = &kPinDispatch;
    pin.AutomationTable = &kPinAutomation;
    pin.PinDescriptor.DataRangesCount = device->formats.count;
    pin.PinDescriptor.DataRanges = device->dataRangePointers;
    pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
    pin.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
    pin.Flags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_HYPERCRITICAL_PROCESSING |
                KSPIN_FLAG_ASYNCHRONOUS_PROCESSING | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL |
                KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT;
    static_assert((KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_HYPERCRITICAL_PROCESSING |
                   KSPIN_FLAG_ASYNCHRONOUS_PROCESSING | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL |
                   KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT) == 0x5002D);
    pin.InstancesPossible = 1;
    pin.InstancesNecessary = 1;
    pin.AllocatorFraming = &kFraming;
    pin.IntersectHandler = Intersect;
    KSFILTER_DESCRIPTOR& f = d->filter;
    f.Dispatch = &kFilterDispatch;
    f.AutomationTable = device->automation;
    f.Version = KSFILTER_DESCRIPTOR_VERSION;
    f.ReferenceGuid = &KSNAME_Filter;
    f.PinDescriptorsCount = 1;
    f.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    f.PinDescriptors = &d->pin;
    f.CategoriesCount = 2;
    f.Categories = kCategories;
    return &d->filter;
}

namespace {

// Loads the typical tables; the caller holds the decoder lock.
VOID LoadStandardTablesLocked() {
    g_jpegData = kStandardTablesStream;
    g_jpegBytes = sizeof(kStandardTablesStream);
    g_jpegDestination = nullptr;
    g_jpegDestinationBytes = 0;
    g_jpegWidth = g_jpegHeight = -1;
    // The stream has no frame, so the decoder answers "no scans"; its tables stay.
    jpgDecode(JpegImage, JpegData);
}

// Makes the decoder this camera's for one frame: a decoder that last served
// another camera (or a stream opened since) starts again with the typical
// tables; the kind and orientation are set for every frame, so two cameras
// never decode in each other's. The caller holds the decoder lock.
bool TakeDecoderLocked(const CameraContext* camera, int kind, bool bottomUp) {
    if (g_decoderOwner != camera) {
        if (jpgInit(JPG_VERSION, nullptr) != JPG_SUCCESS) return false;
        // Progressive frames' coefficients come from the driver's pool.
        jpgSetMemoryHooks(DecoderAllocate, DecoderRelease);
        LoadStandardTablesLocked();
        g_decoderOwner = camera;
    }
    jpgSetOption(JPG_OPT_OUTPUT_KIND, kind);
    jpgSetBottomUp(bottomUp ? 1 : 0);
    return true;
}

}  // namespace

VOID PrepareDecoder(const CameraContext* camera) {
    KIRQL old;
    KeAcquireSpinLock(&g_decoderLock, &old);
    if (g_decoderOwner == camera || g_decoderOwner == nullptr) g_decoderOwner = nullptr;
    KeReleaseSpinLock(&g_decoderLock, old);
}

VOID ForgetDecoder(const CameraContext* camera) {
    KIRQL old;
    KeAcquireSpinLock(&g_decoderLock, &old);
    if (g_decoderOwner == camera) g_decoderOwner = nullptr;
    KeReleaseSpinLock(&g_decoderLock, old);
}

NTSTATUS ConvertFrame(UsbCameraDevice* d, const FrameDescriptor* frame, UCHAR* out, ULONG outBytes, ULONG width,
                      ULONG height) {
    CameraContext* c = d->GetCameraContext();
    const StreamFormat& s = d->streamFormat;
    const int cw = static_cast<int>(c->stream.captureWidth), ch = static_cast<int>(c->stream.captureHeight);
    const int ow = static_cast<int>(width), oh = static_cast<int>(height);
    if (s.formatIndex == kFormatMjpg) {
        if (c->cameraStream != CameraStream::Mjpeg || frame->filled > outBytes) return STATUS_UNSUCCESSFUL;
        std::memcpy(out, frame->data, frame->filled);
        return STATUS_SUCCESS;
    }
    // Whatever is written must fit the buffer it goes to.
    const ULONGLONG pictureBytes = ULONGLONG{width} * height * kSubFormats[s.formatIndex].biBitCount / 8;
    if (pictureBytes > outBytes) return STATUS_UNSUCCESSFUL;
    const bool scale = ow != cw || oh != ch;
    // Scaling needs the conversion buffer as scratch, so it cannot also be the target.
    UCHAR* work = c->frameWork;
    ULONG workBytes = c->frameWorkBytes;
    if (scale && out == work) return STATUS_UNSUCCESSFUL;
    // The camera frame as YUY2 (uncompressed) or in the output's own kind (decoded).
    const UCHAR* picture;
    bool pictureIsRgb = false;
    // A picture of the camera's own size takes the decoder's output as it is;
    // RGB24 pictures are bottom-up, which the decoder writes directly.
    const bool decodeIntoSample = (s.formatIndex == kFormatYuy2 || s.formatIndex == kFormatRgb24) && !scale;
    if (c->cameraStream == CameraStream::Uncompressed) {
        if (frame->filled != static_cast<ULONG>(cw) * ch * 2) return STATUS_UNSUCCESSFUL;  // merged or short frame
        picture = frame->data;
    } else {
        pictureIsRgb = s.formatIndex == kFormatRgb24;
        ULONG pitch = static_cast<ULONG>(cw) * (pictureIsRgb ? 3 : 2);
        KIRQL old;
        KeAcquireSpinLock(&g_decoderLock, &old);
        int result = JPG_ERR_DATA;
        if (TakeDecoderLocked(c, pictureIsRgb ? JPG_KIND_RGB24 : JPG_KIND_YUY2, decodeIntoSample && pictureIsRgb)) {
            g_jpegData = frame->data;
            g_jpegBytes = frame->filled;
            g_jpegDestination = decodeIntoSample ? out : work;
            g_jpegPitch = pitch;
            g_jpegDestinationBytes = decodeIntoSample ? outBytes : workBytes;
            g_jpegWidth = cw;
            g_jpegHeight = ch;
            result = jpgDecode(JpegImage, JpegData);
        }
        KeReleaseSpinLock(&g_decoderLock, old);
        if (result != JPG_SUCCESS) return STATUS_UNSUCCESSFUL;
        if (decodeIntoSample) return STATUS_SUCCESS;
        picture = work;
    }
    int r = IMG_SUCCESS;
    switch (s.formatIndex) {
        case kFormatYuy2:
            if (scale) r = ResizeNearest(out, ow, oh, ow * 2, picture, cw, ch, cw * 2, MT_YUY2);
            else if (out != picture) std::memcpy(out, picture, static_cast<size_t>(ow) * oh * 2);
            break;
        case kFormatRgb24: {
            // RGB24 samples are bottom-up: the top-down picture is flipped into the sample.
            const UCHAR* rgb = picture;
            if (!pictureIsRgb) {
                if (static_cast<ULONG>(cw) * ch * 3 > workBytes) return STATUS_UNSUCCESSFUL;
                r = ConvertYuy2ToRgb24(work, cw * 3, picture, cw, ch);
                rgb = work;
            }
            if (r != IMG_SUCCESS) break;
            if (scale) {
                // Scale top-down into the upper part of the sample, then flip in place.
                r = ResizeNearest(out, ow, oh, ow * 3, rgb, cw, ch, cw * 3, MT_RGB24);
                if (r == IMG_SUCCESS) r = FlipTopBottom(out, out, ow, oh, ow * 3, MT_RGB24);
            } else {
                r = FlipTopBottom(out, rgb, ow, oh, ow * 3, MT_RGB24);
            }
            break;
        }
        case kFormatI420:
            // From the uncompressed stream, for output widths up to 640 only.
            if (ow > 640 || scale || pictureIsRgb) return STATUS_UNSUCCESSFUL;
            r = ConvertYuy2ToI420(out, picture, cw, ch, cw * 2);
            break;
        default:
            return STATUS_UNSUCCESSFUL;
    }
    return r == IMG_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace k0340
