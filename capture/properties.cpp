// The property sets of the capture filter: the automation table built from
// the camera's capability table (only the controls the camera has), the two
// hooks every get and set passes through, and the handlers behind them:
// mirror and frame rates (VideoControl), the camera extras of set A (status,
// still pictures, the parental lock), compression, privacy, and the general
// control table.
#include <cstring>
#include <new>

#include "capture/k0340_props.h"
#include "capture/k0340dev.h"
#include "imaging/convert/convert.h"

namespace k0340 {
namespace {

// Where a row's fields lie in its property structure (0: not present).
struct Layout {
    ULONG valueOffset;
    ULONG flagsOffset;
    ULONG capabilitiesOffset;
};
constexpr Layout kLayoutP{24, 28, 32};
constexpr Layout kLayoutQ{28, 32, 0};
constexpr Layout kLayoutM{0, 28, 0};  // the mode word acts as the flags
constexpr Layout kLayoutValue{28, 0, 0};

struct ControlRow {
    const GUID* set;
    ULONG id;
    Layout layout;
    ULONG itemBytes;
};

const GUID& kProcAmp = PROPSETID_VIDCAP_VIDEOPROCAMP;
const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
const GUID& kVideoControl = PROPSETID_VIDCAP_VIDEOCONTROL;
const GUID& kCompression = PROPSETID_VIDCAP_VIDEOCOMPRESSION;
const GUID& kSetA = PROPSETID_K0340_CAMERA;
const GUID& kSetB = PROPSETID_K0340_TRACKING;
const GUID& kSetC = PROPSETID_K0340_FOCUS;

// The control table: the row is the control index.
const ControlRow kRows[kControlCount] = {
    {&kProcAmp, 0, kLayoutP, 40},       {&kProcAmp, 1, kLayoutP, 40},     {&kProcAmp, 2, kLayoutP, 40},
    {&kProcAmp, 3, kLayoutP, 40},       {&kProcAmp, 4, kLayoutP, 40},     {&kProcAmp, 5, kLayoutP, 40},
    {&kProcAmp, 6, kLayoutP, 40},       {&kProcAmp, 7, kLayoutP, 40},     {&kProcAmp, 8, kLayoutP, 40},
    {&kSetA, 258, kLayoutQ, 36},        {&kSetA, 259, kLayoutQ, 36},      {&kCamera, 0, kLayoutP, 40},
    {&kCamera, 1, kLayoutP, 40},        {&kCamera, 9, kLayoutP, 40},      {&kCamera, 3, kLayoutP, 40},
    {&kCamera, 3, kLayoutP, 40},        {&kCamera, 4, kLayoutP, 40},      {&kVideoControl, 3, kLayoutM, 32},
    {&kVideoControl, 3, kLayoutM, 32},  {&kProcAmp, 9, kLayoutP, 40},     {&kCamera, 5, kLayoutP, 40},
    {&kCamera, 6, kLayoutP, 40},        {&kSetB, 1, kLayoutP, 36},        {&kSetB, 2, kLayoutP, 36},
    {&kSetB, 3, kLayoutP, 36},          {&kSetB, 4, kLayoutP, 36},        {&kSetB, 5, kLayoutP, 36},
    {&kCompression, 3, kLayoutValue, 32}, {&kSetB, 6, kLayoutP, 36},      {&kSetB, 7, kLayoutP, 36},
    {&kCamera, 8, kLayoutP, 40},        {&kSetC, 258, kLayoutQ, 36},      {&kSetC, 259, kLayoutQ, 36},
    {&kSetC, 260, kLayoutQ, 36},        {&kSetC, 261, kLayoutQ, 36},      {&kSetC, 262, kLayoutQ, 36},
};

// Rows that never have capability entries.
bool NeverOffered(int row) {
    switch (row) {
        case kColorEnable: case kPanTilt: case kZoom2: case kTrackingReserved1: case kTrackingReserved5:
        case kQuality: case kReserved6: case kReserved7:
            return true;
        default:
            return false;
    }
}

// Controls whose values the driver itself acts on: their ranges are checked
// whatever the flags say.
bool DriverOwned(int row) {
    return row == kPan || row == kTilt || row == kZoom || row == kTrackingMode || row == kTrackingSpeed ||
           row == kPictureInPicture || row == kPrivacy;
}

LONG ReadLong(const UCHAR* data, ULONG offset) {
    LONG v;
    std::memcpy(&v, data + offset, sizeof v);
    return v;
}
void WriteLong(UCHAR* data, ULONG offset, LONG v) { std::memcpy(data + offset, &v, sizeof v); }

NTSTATUS ResultStatus(int result, bool set) {
    if (result == kControlDone) return STATUS_SUCCESS;
    if (result == kControlBusy) return STATUS_DEVICE_BUSY;
    return set ? STATUS_NOT_SUPPORTED : STATUS_UNSUCCESSFUL;
}

bool Offered(const CameraContext* c, int row) {
    const CapabilityEntry* e = CapabilityFor(c, row);
    if (e == nullptr || NeverOffered(row)) return false;
    return !(e->kind == kCapRange && e->values[0] == 0 && e->values[1] == 0);
}

LONGLONG TickCount() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

LONGLONG TicksFor(LONGLONG milliseconds) {
    ULONG increment = KeQueryTimeIncrement();
    return increment ? milliseconds * 10000 / increment : 0;
}

LONGLONG ElapsedMilliseconds(LONGLONG since) {
    return (TickCount() - since) * static_cast<LONGLONG>(KeQueryTimeIncrement()) / 10000;
}

VOID InitialiseLock(UsbCameraDevice* d) {
    if (d->lock.initialised) return;
    d->ReadLockFlag();
    d->lock.referenceTick = TickCount() - TicksFor(10000);
    d->lock.initialised = TRUE;
}

// ---- The hooks -------------------------------------------------------------------------------

NTSTATUS Route(PIRP irp, PKSIDENTIFIER request, PVOID data, bool set) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (filter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    UsbCameraDevice* d = DeviceOf(KsFilterGetDevice(filter));
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PropertyCall call{irp, request, stack->Parameters.DeviceIoControl.InputBufferLength, static_cast<UCHAR*>(data),
                      data != nullptr ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0};
    KsAcquireDevice(d->ks);
    NTSTATUS status;
    if (!d->present || d->GetCameraContext() == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        const GUID& s = request->Set;
        if (IsEqualGUID(s, kVideoControl)) {
            status = set ? d->SetVideoControl(call) : d->GetVideoControl(call);
        } else if (IsEqualGUID(s, kSetA) && request->Id > 2047) {
            status = set ? d->SetCameraExtras(call) : d->GetCameraExtras(call);
        } else if (IsEqualGUID(s, kCompression)) {
            status = set ? d->SetVideoCompression(call) : d->GetVideoCompression(call);
        } else if (IsEqualGUID(s, kCamera) && request->Id == KSPROPERTY_CAMERACONTROL_PRIVACY) {
            status = set ? d->SetPrivacy(call) : d->GetPrivacy(call);
        } else {
            status = set ? d->SetControl(call) : d->GetControl(call);
        }
        if (set && NT_SUCCESS(status) && d->present) {
            CameraContext* c = d->GetCameraContext();
            if (!d->Streaming()) SavePictureSettings(d);
            SyncPrivacyMode(c);
        }
    }
    KsReleaseDevice(d->ks);
    return status;
}

NTSTATUS HookGet(PIRP irp, PKSIDENTIFIER request, PVOID data) { return Route(irp, request, data, false); }
NTSTATUS HookSet(PIRP irp, PKSIDENTIFIER request, PVOID data) { return Route(irp, request, data, true); }

// ---- The automation table -----------------------------------------------------------------------

struct RangeValues {
    KSPROPERTY_STEPPING_LONG stepping;
    LONG defaultValue;
    KSPROPERTY_MEMBERSLIST lists[2];
    KSPROPERTY_VALUES values;
};

KSPROPERTY_ITEM Item(ULONG id, ULONG bytes, bool get, bool set, ULONG minData = ~0u) {
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetPropertyHandler = get ? HookGet : nullptr;
    item.MinProperty = bytes;
    item.MinData = minData == ~0u ? bytes : minData;
    item.SetPropertyHandler = set ? HookSet : nullptr;
    return item;
}

constexpr ULONG kMaxItems = kControlCount + 16;
constexpr ULONG kSetCount = 7;

// One block holds the whole table (freed with the device's object bag).
struct AutomationBlock {
    KSAUTOMATION_TABLE table;
    KSPROPERTY_SET sets[kSetCount];
    KSPROPERTY_ITEM items[kMaxItems];
    RangeValues ranges[kControlCount];
};

}  // namespace

int ControlRowFor(const GUID& set, ULONG id) {
    for (int row = 0; row < kControlCount; ++row) {
        if (kRows[row].id == id && IsEqualGUID(*kRows[row].set, set)) return row;
    }
    return -1;
}

NTSTATUS UsbCameraDevice::BuildAutomationTables() {
    auto* block = static_cast<AutomationBlock*>(Allocate(sizeof(AutomationBlock)));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KsAddItemToObjectBag(ks->Bag, block, [](PVOID b) { Free(b); });
    if (!NT_SUCCESS(status)) {
        Free(block);
        return status;
    }
    CameraContext* c = camera_;
    ULONG itemCount = 0, setCount = 0;
    const GUID* order[kSetCount] = {&kProcAmp, &kCamera, &kVideoControl, &kCompression, &kSetA, &kSetB, &kSetC};
    for (const GUID* set : order) {
        ULONG first = itemCount;
        auto add = [&](const KSPROPERTY_ITEM& item) {
            if (itemCount < kMaxItems) block->items[itemCount++] = item;
        };
        for (int row = 0; row < kControlCount; ++row) {
            if (!IsEqualGUID(*kRows[row].set, *set) || !Offered(c, row)) continue;
            // Rows 17 and 18 share one item (the mirror mode).
            if (row == kMirrorVertical && Offered(c, kMirrorHorizontal)) continue;
            KSPROPERTY_ITEM item = Item(kRows[row].id, kRows[row].itemBytes, true, row != kCameraVariant);
            if (kRows[row].layout.valueOffset == 24 && kRows[row].itemBytes == 40) item.SerializedSize = 4;
            const CapabilityEntry* e = CapabilityFor(c, row);
            if (e->kind == kCapRange) {
                RangeValues& r = block->ranges[row];
                r.stepping.SteppingDelta = static_cast<ULONG>(e->values[2]);
                r.stepping.Bounds.SignedMinimum = e->values[0];
                r.stepping.Bounds.SignedMaximum = e->values[1];
                r.defaultValue = e->defaultValue;
                r.lists[0].MembersHeader = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0};
                r.lists[0].Members = &r.stepping;
                r.lists[1].MembersHeader = {KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT};
                r.lists[1].Members = &r.defaultValue;
                r.values.PropTypeSet.Set = KSPROPTYPESETID_General;
                r.values.PropTypeSet.Id = 3;  // VT_I4
                r.values.MembersListCount = 2;
                r.values.MembersList = r.lists;
                item.Values = &r.values;
            }
            add(item);
        }
        // Fixed items, present whatever the camera offers.
        if (set == &kVideoControl) {
            add(Item(KSPROPERTY_VIDEOCONTROL_CAPS, 32, true, false));
            add(Item(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, true, false));
            add(Item(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, true, false, 0));
        } else if (set == &kCompression) {
            add(Item(0, 48, true, false));
        } else if (set == &kSetA) {
            add(Item(KSPROPERTY_K0340_STATUS, 36, true, false));
            add(Item(KSPROPERTY_K0340_STILL_SIZES, 192, true, false));
            add(Item(KSPROPERTY_K0340_STILL_CAPTURE, 60, true, false));
            add(Item(KSPROPERTY_K0340_STATUS_QUERY, K0340_STATUS_QUERY_BYTES, true, false));
            add(Item(KSPROPERTY_K0340_PARENTAL_LOCK, 36, true, true));
        }
        if (itemCount == first) continue;
        block->sets[setCount++] = {set, itemCount - first, &block->items[first], 0, nullptr};
    }
    block->table.PropertySetsCount = setCount;
    block->table.PropertyItemSize = sizeof(KSPROPERTY_ITEM);
    block->table.PropertySets = block->sets;
    automation = &block->table;
    return STATUS_SUCCESS;
}

// ---- General controls ---------------------------------------------------------------------------

NTSTATUS UsbCameraDevice::SetControl(const PropertyCall& call) {
    int row = ControlRowFor(call.request->Set, call.request->Id);
    if (row < 0 || kRows[row].layout.flagsOffset == 0 || call.dataBytes < kRows[row].itemBytes) return STATUS_NOT_SUPPORTED;
    CameraContext* c = camera_;
    const CapabilityEntry* e = CapabilityFor(c, row);
    if (e == nullptr || !Offered(c, row)) return STATUS_NOT_SUPPORTED;
    const Layout& l = kRows[row].layout;
    LONG flags = ReadLong(call.data, l.flagsOffset);
    LONG value = ReadLong(call.data, l.valueOffset);
    // Automatic needs no value, except where the driver itself uses it.
    if ((flags != 1 || DriverOwned(row)) && !CapabilityAllows(*e, value)) return STATUS_UNSUCCESSFUL;
    ControlRequest r{static_cast<ULONG>(row), value, flags, 0};
    return ResultStatus(SetControlValue(c, &r), true);
}

NTSTATUS UsbCameraDevice::GetControl(const PropertyCall& call) {
    int row = ControlRowFor(call.request->Set, call.request->Id);
    if (row < 0 || call.dataBytes < kRows[row].itemBytes) return STATUS_NOT_SUPPORTED;
    ControlRequest r{static_cast<ULONG>(row), 0, 0, 0};
    int result = GetControlValue(camera_, &r);
    if (result == kControlFailed) return STATUS_UNSUCCESSFUL;
    const Layout& l = kRows[row].layout;
    if (l.valueOffset) WriteLong(call.data, l.valueOffset, r.value);
    if (l.flagsOffset) WriteLong(call.data, l.flagsOffset, r.flags);
    if (l.capabilitiesOffset) WriteLong(call.data, l.capabilitiesOffset, r.capabilities);
    call.irp->IoStatus.Information = kRows[row].itemBytes;
    return ResultStatus(result, false);
}

// ---- VideoControl: capabilities, frame rates, mirror ------------------------------------------

NTSTATUS UsbCameraDevice::SetVideoControl(const PropertyCall& call) {
    if (call.request->Id != KSPROPERTY_VIDEOCONTROL_MODE || call.dataBytes < 32) return STATUS_NOT_SUPPORTED;
    LONG mode = ReadLong(call.data, 28);
    bool any = false;
    for (int row : {kMirrorHorizontal, kMirrorVertical}) {
        if (!Offered(camera_, row)) continue;
        any = true;
        ControlRequest r{static_cast<ULONG>(row), 0, mode, 0};
        if (SetControlValue(camera_, &r) != kControlDone) return STATUS_NOT_SUPPORTED;
    }
    return any ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS UsbCameraDevice::GetVideoControl(const PropertyCall& call) {
    CameraContext* c = camera_;
    switch (call.request->Id) {
        case KSPROPERTY_VIDEOCONTROL_CAPS: {
            LONG caps = (Offered(c, kMirrorHorizontal) ? KS_VideoControlFlag_FlipHorizontal : 0) |
                        (Offered(c, kMirrorVertical) ? KS_VideoControlFlag_FlipVertical : 0);
            WriteLong(call.data, 28, caps);
            call.irp->IoStatus.Information = 32;
            return STATUS_SUCCESS;
        }
        case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE:
        case KSPROPERTY_VIDEOCONTROL_FRAME_RATES: {
            if (call.requestBytes < 40) return STATUS_INVALID_PARAMETER;
            ULONG rangeIndex;
            std::memcpy(&rangeIndex, reinterpret_cast<const UCHAR*>(call.request) + 28, sizeof rangeIndex);
            if (rangeIndex >= formats.count) return STATUS_INVALID_PARAMETER;
            const FormatRecord& record = formats.records[rangeIndex];
            LONGLONG shortest = record.intervals[record.intervalCount - 1];
            if (call.request->Id == KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE) {
                KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S out;
                std::memcpy(&out, call.data, sizeof out);
                out.RangeIndex = rangeIndex;
                out.Dimensions = {static_cast<LONG>(record.width), static_cast<LONG>(record.height)};
                out.CurrentActualFrameRate = formatMatched ? streamFormat.interval100ns : shortest;
                out.CurrentMaxAvailableFrameRate = shortest;
                std::memcpy(call.data, &out, sizeof out);
                call.irp->IoStatus.Information = sizeof out;
                return STATUS_SUCCESS;
            }
            ULONG bytes = sizeof(KSMULTIPLE_ITEM) + record.intervalCount * sizeof(LONGLONG);
            call.irp->IoStatus.Information = bytes;
            if (call.dataBytes == 0) return STATUS_BUFFER_OVERFLOW;
            if (call.dataBytes < bytes) return STATUS_BUFFER_TOO_SMALL;
            KSMULTIPLE_ITEM header{record.intervalCount * static_cast<ULONG>(sizeof(LONGLONG)), record.intervalCount};
            std::memcpy(call.data, &header, sizeof header);
            std::memcpy(call.data + sizeof header, record.intervals, record.intervalCount * sizeof(LONGLONG));
            return STATUS_SUCCESS;
        }
        case KSPROPERTY_VIDEOCONTROL_MODE: {
            LONG mode = 0;
            bool any = false;
            for (int row : {kMirrorHorizontal, kMirrorVertical}) {
                if (!Offered(c, row)) continue;
                any = true;
                ControlRequest r{static_cast<ULONG>(row), 0, 0, 0};
                if (GetControlValue(c, &r) != kControlDone) return STATUS_UNSUCCESSFUL;
                mode |= r.flags;
            }
            if (!any) return STATUS_NOT_SUPPORTED;
            WriteLong(call.data, 28, mode);
            call.irp->IoStatus.Information = 32;
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_NOT_SUPPORTED;
    }
}

// ---- Compression and privacy ---------------------------------------------------------------------

NTSTATUS UsbCameraDevice::SetVideoCompression(const PropertyCall&) { return STATUS_NOT_SUPPORTED; }
NTSTATUS UsbCameraDevice::GetVideoCompression(const PropertyCall&) { return STATUS_NOT_SUPPORTED; }

NTSTATUS UsbCameraDevice::SetPrivacy(const PropertyCall& call) {
    if (call.dataBytes < 40) return STATUS_NOT_SUPPORTED;
    LONG value = ReadLong(call.data, 24);
    if (value != 0 && value != 1) return STATUS_UNSUCCESSFUL;
    Store(privacyValue, value);
    // Kept at once as well as at removal: a machine that stops without a
    // removal keeps the camera private.
    SavePrivacy();
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::GetPrivacy(const PropertyCall& call) {
    if (call.dataBytes < 40) return STATUS_NOT_SUPPORTED;
    WriteLong(call.data, 24, privacyValue);
    WriteLong(call.data, 28, 2);
    WriteLong(call.data, 32, 2);
    call.irp->IoStatus.Information = 40;
    return STATUS_SUCCESS;
}

// ---- Set A: status, stills, parental lock -----------------------------------------------------

NTSTATUS UsbCameraDevice::SetCameraExtras(const PropertyCall& call) {
    if (call.request->Id != KSPROPERTY_K0340_PARENTAL_LOCK || call.dataBytes < 36) return STATUS_NOT_SUPPORTED;
    InitialiseLock(this);
    ULONG action = static_cast<ULONG>(ReadLong(call.data, 28));
    switch (action) {
        case K0340_LOCK_DISABLE:
            Store(lock.enabled, static_cast<BOOLEAN>(FALSE));
            Store(lock.released, static_cast<BOOLEAN>(TRUE));
            break;
        case K0340_LOCK_ENABLE:
            Store(lock.enabled, static_cast<BOOLEAN>(TRUE));
            lock.referenceTick -= TicksFor(10000);  // the next stream opens locked
            lock.enabledSinceOpen = TRUE;
            break;
        case K0340_LOCK_RELEASE:
            Store(lock.released, static_cast<BOOLEAN>(TRUE));
            break;
        case K0340_LOCK_STORE_CHECK_VALUE:
            if (WriteConsoleValue(this, static_cast<ULONG>(ReadLong(call.data, 32))) != 0) return STATUS_UNSUCCESSFUL;
            break;
        default:
            return STATUS_NOT_SUPPORTED;
    }
    WriteLockFlag();
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::GetCameraExtras(const PropertyCall& call) {
    CameraContext* c = camera_;
    switch (call.request->Id) {
        case KSPROPERTY_K0340_STATUS: {
            SyncPrivacyMode(c);
            ULONG status = (Streaming() ? K0340_STATUS_STREAMING : K0340_STATUS_IDLE) |
                           (c->registersWork ? K0340_STATUS_REGISTERS_WORK : K0340_STATUS_REGISTERS_FAIL);
            ULONG low = status & 3;
            WriteLong(call.data, 28, low ? 1 : 0);
            WriteLong(call.data, 32, static_cast<LONG>(low & (~low + 1)));
            call.irp->IoStatus.Information = 36;
            return STATUS_SUCCESS;
        }
        case KSPROPERTY_K0340_STILL_SIZES: {
            if (!formatMatched || matchedRecord == nullptr) return STATUS_NOT_SUPPORTED;
            K0340_STILL_SIZES_S out{};
            std::memcpy(&out, call.data, sizeof(KSPROPERTY) + sizeof(ULONG));
            out.Count = matchedRecord->stillCount < 10 ? matchedRecord->stillCount : 10;
            for (ULONG i = 0; i < out.Count; ++i) {
                const StillSize& s = matchedRecord->stills[i];
                out.Sizes[i] = {s.width, s.height, s.width * s.height * 3, 0};
            }
            std::memcpy(call.data, &out, sizeof out);
            call.irp->IoStatus.Information = sizeof out;
            return STATUS_SUCCESS;
        }
        case KSPROPERTY_K0340_STILL_CAPTURE:
            return CaptureStill(call);
        case KSPROPERTY_K0340_STATUS_QUERY: {
            SyncPrivacyMode(c);
            const bool streaming = Streaming();
            for (ULONG at = 24; at + 4 <= call.dataBytes; at += 4) {
                ULONG id = static_cast<ULONG>(ReadLong(call.data, at));
                ULONG answer;
                switch (id) {
                    case K0340_QUERY_STREAMING: answer = streaming ? K0340_ANSWER_YES : K0340_ANSWER_NO; break;
                    case K0340_QUERY_IDLE: answer = streaming ? K0340_ANSWER_NO : K0340_ANSWER_YES; break;
                    case K0340_QUERY_REGISTERS_WORK: answer = c->registersWork ? K0340_ANSWER_YES : K0340_ANSWER_NO; break;
                    case K0340_QUERY_REGISTERS_FAIL: answer = c->registersWork ? K0340_ANSWER_NO : K0340_ANSWER_YES; break;
                    default: answer = K0340_ANSWER_UNKNOWN; break;
                }
                WriteLong(call.data, at, static_cast<LONG>(answer));
            }
            call.irp->IoStatus.Information = call.dataBytes & ~3u;
            return STATUS_SUCCESS;
        }
        case KSPROPERTY_K0340_PARENTAL_LOCK: {
            InitialiseLock(this);
            ULONG state = !lock.enabled ? K0340_LOCK_STATE_DISABLED
                          : lock.released ? K0340_LOCK_STATE_RELEASED
                                          : K0340_LOCK_STATE_LOCKED;
            WriteLong(call.data, 24, 0);
            WriteLong(call.data, 28, static_cast<LONG>(state));
            WriteLong(call.data, 32, 0);
            call.irp->IoStatus.Information = 36;
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_NOT_SUPPORTED;
    }
}

// ---- The parental lock's stream steps -------------------------------------------------------

VOID LockOnStreamOpen(UsbCameraDevice* d) {
    InitialiseLock(d);
    d->ReadLockFlag();
    d->lock.enabledSinceOpen = FALSE;
    if (!d->lock.enabled) {
        Store(d->lock.released, static_cast<BOOLEAN>(TRUE));
    } else if (ElapsedMilliseconds(d->lock.referenceTick) > 10000) {
        Store(d->lock.released, static_cast<BOOLEAN>(FALSE));
    }
}

VOID LockOnStreamPause(UsbCameraDevice* d) {
    // A stream opened again within 10 s of this stays released, unless the
    // lock was enabled meanwhile: the stream stopping after an enable would
    // otherwise undo it.
    if (d->lock.released && !d->lock.enabledSinceOpen) d->lock.referenceTick = TickCount();
}

BOOLEAN LockHoldsFrames(UsbCameraDevice* d) {
    // Read at frame completion, at DISPATCH_LEVEL, while handlers may change it.
    return (d->description.flags & 4) && Load(d->lock.enabled) && !Load(d->lock.released);
}

}  // namespace k0340

// ---- Still capture ---------------------------------------------------------------------------------
// A still is the next picture the stream delivers after the request, as a
// bottom-up RGB24 picture of the still size (the stream's own size); the frame
// path copies it and the request hands it to the caller's locked buffer.

namespace k0340 {

NTSTATUS UsbCameraDevice::CaptureStill(const PropertyCall& call) {
    SyncPrivacyMode(camera_);
    if (wanted != StreamWanted::Running || transport == nullptr || !Load(transport->started) || matchedRecord == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    K0340_STILL_CAPTURE_S in;
    std::memcpy(&in, call.data, sizeof in);
    if (in.SizeIndex >= matchedRecord->stillCount || in.SizeIndex >= kMaxStills) return STATUS_INVALID_PARAMETER;
    const StillSize size = matchedRecord->stills[in.SizeIndex];
    const ULONGLONG bytes = ULONGLONG{size.width} * size.height * 3;
    if (bytes > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
    if (in.BufferLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    ULONG_PTR address = 0;
    if (IoIs32bitProcess(call.irp)) {
        ULONG narrow;
        std::memcpy(&narrow, in.BufferAddress, sizeof narrow);
        address = narrow;
    } else {
        ULONGLONG wide;
        std::memcpy(&wide, in.BufferAddress, sizeof wide);
        address = static_cast<ULONG_PTR>(wide);
    }
    if (address == 0) return STATUS_INVALID_PARAMETER;
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(address), static_cast<ULONG>(bytes), FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    __try {
        MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        IoFreeMdl(mdl);
        return GetExceptionCode();
    }
    auto* picture = static_cast<UCHAR*>(Allocate(static_cast<SIZE_T>(bytes)));
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL old;
    KeAcquireSpinLock(&still.lock, &old);
    if (picture == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (still.wanted) {
        status = STATUS_DEVICE_BUSY;  // one still at a time
    } else {
        still.wanted = TRUE;
        still.taken = FALSE;
        still.picture = picture;
        still.width = size.width;
        still.height = size.height;
        KeClearEvent(&stillFrameEvent);
    }
    KeReleaseSpinLock(&still.lock, old);
    if (NT_SUCCESS(status)) {
        // The frame path does not take the device mutex, but stream changes
        // and removal do: wait without it.
        LARGE_INTEGER limit;
        limit.QuadPart = -100000000LL;  // 10 s
        KsReleaseDevice(ks);
        KeWaitForSingleObject(&stillFrameEvent, Executive, KernelMode, FALSE, &limit);
        KsAcquireDevice(ks);
        KeAcquireSpinLock(&still.lock, &old);
        bool taken = still.taken;
        still.wanted = FALSE;
        still.taken = FALSE;
        still.picture = nullptr;
        KeReleaseSpinLock(&still.lock, old);
        if (!taken) {
            status = present ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
        } else {
            auto* destination = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            if (destination == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                std::memcpy(destination, picture, static_cast<size_t>(bytes));
                in.Width = size.width;
                in.Height = size.height;
                in.Bytes = static_cast<ULONG>(bytes);
                in.Reserved = 0;
                std::memcpy(call.data, &in, sizeof in);
                call.irp->IoStatus.Information = sizeof in;
            }
        }
    }
    Free(picture);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return status;
}

VOID OfferStillFrame(UsbCameraDevice* d, const UCHAR* sample, ULONG width, ULONG height, ULONG format) {
    KIRQL old;
    KeAcquireSpinLock(&d->still.lock, &old);
    StillCapture& s = d->still;
    bool filled = false;
    if (s.wanted && !s.taken && s.picture != nullptr && s.width == width && s.height == height) {
        const int w = static_cast<int>(width), h = static_cast<int>(height);
        if (format == kFormatRgb24) {
            std::memcpy(s.picture, sample, size_t{width} * height * 3);
            filled = true;
        } else if (format == kFormatYuy2) {
            filled = ConvertYuy2ToRgb24(s.picture, w * 3, sample, w, h) == IMG_SUCCESS &&
                     FlipTopBottom(s.picture, s.picture, w, h, w * 3, MT_RGB24) == IMG_SUCCESS;
        }
        s.taken = filled;
    }
    KeReleaseSpinLock(&d->still.lock, old);
    if (filled) d->SignalStillFrame();
}

VOID AbandonStillCapture(UsbCameraDevice* d) {
    KIRQL old;
    KeAcquireSpinLock(&d->still.lock, &old);
    bool waiting = d->still.wanted;
    KeReleaseSpinLock(&d->still.lock, old);
    if (waiting) d->SignalStillFrame();
}

}  // namespace k0340
