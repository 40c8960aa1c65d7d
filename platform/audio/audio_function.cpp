#include "platform/audio/audio_function.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/nt/reg_util.h"

namespace qk::audio {
namespace function {

namespace {

constexpr ULONG kTag = 'uAkQ';
constexpr ULONG kCaptureRingMs = 500;    // capture kept for reads that come late
constexpr ULONG kRenderRingMs = 20;      // render queued ahead of the device: the playback latency

std::atomic<uint64_t> g_captureDropped{0};
std::atomic<uint64_t> g_renderSilent{0};


// Streams and their device meet at pin close and at removal, which may run
// on different threads; this lock keeps their links consistent.
KSPIN_LOCK g_streamLock = 0;

Device* DeviceOf(PKSDEVICE ks) { return static_cast<Device*>(ks->Context); }

}  // namespace

PVOID Allocate(SIZE_T bytes) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, bytes, kTag);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

void Free(PVOID p) {
    if (p != nullptr) ExFreePoolWithTag(p, kTag);
}

namespace {

// ---- The rings -------------------------------------------------------------------------------------

// Capture: a packet's bytes go in; when the ring is full the oldest go
// (nobody read them in time).
void RingPush(Stream* s, const UCHAR* data, ULONG bytes) {
    const ULONG frame = s->info->FrameBytes();
    bytes -= bytes % frame;
    if (bytes > s->ringBytes) {
        g_captureDropped += bytes - s->ringBytes;
        data += bytes - s->ringBytes;
        bytes = s->ringBytes;
    }
    if (s->ringFill + bytes > s->ringBytes) {
        const ULONG drop = s->ringFill + bytes - s->ringBytes;
        s->ringStart = (s->ringStart + drop) % s->ringBytes;
        s->ringFill -= drop;
        g_captureDropped += drop;
    }
    ULONG end = (s->ringStart + s->ringFill) % s->ringBytes;
    const ULONG first = std::min(bytes, s->ringBytes - end);
    std::memcpy(s->ring + end, data, first);
    std::memcpy(s->ring, data + first, bytes - first);
    s->ringFill += bytes;
}

void RingPop(Stream* s, UCHAR* out, ULONG bytes) {
    const ULONG first = std::min(bytes, s->ringBytes - s->ringStart);
    std::memcpy(out, s->ring + s->ringStart, first);
    std::memcpy(out + first, s->ring, bytes - first);
    s->ringStart = (s->ringStart + bytes) % s->ringBytes;
    s->ringFill -= bytes;
}

}  // namespace

void CapturePushLocked(Stream* s, const UCHAR* data, ULONG bytes) { RingPush(s, data, bytes); }

void RenderTakeLocked(Stream* s, UCHAR* out, ULONG bytes) {
    const ULONG have = std::min(bytes, s->ringFill);
    RingPop(s, out, have);
    std::memset(out + have, 0, bytes - have);
    if (have < bytes) g_renderSilent += (bytes - have) / s->info->FrameBytes();
}

namespace {

// ---- The pins -----------------------------------------------------------------------------------------

Stream* StreamOf(PKSPIN pin) { return static_cast<Stream*>(pin->Context); }

const WAVEFORMATEX* WaveOf(const KSDATAFORMAT* format) {
    if (format->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX) ||
        !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return nullptr;
    }
    return &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format)->WaveFormatEx;
}

// The device streams in its own channel count; a client may ask for those
// channels or for one (their average on capture, copied to each on render).
NTSTATUS PinSetFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
    Device* d = DeviceOf(KsGetDevice(pin));
    const StreamInfo& info = pin->Id == kCapturePin ? d->capture : d->render;
    const WAVEFORMATEX* w = WaveOf(pin->ConnectionFormat);
    if (w == nullptr) return STATUS_NO_MATCH;
    WAVEFORMATEX wave;
    std::memcpy(&wave, w, sizeof wave);
    bool pcm = wave.wFormatTag == WAVE_FORMAT_PCM;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        pin->ConnectionFormat->FormatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) && wave.cbSize >= 22) {
        WAVEFORMATEXTENSIBLE x;
        std::memcpy(&x, w, sizeof x);
        pcm = IsEqualGUID(x.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    }
    if (!pcm || info.subframeBytes != 2 || wave.wBitsPerSample != 16 || !info.HasRate(wave.nSamplesPerSec) ||
        (wave.nChannels != 1 && wave.nChannels != info.channels) || wave.nBlockAlign != wave.nChannels * 2) {
        return STATUS_NO_MATCH;
    }
    if (Stream* s = StreamOf(pin)) {
        if (InterlockedCompareExchange(&s->running, 0, 0)) return STATUS_INVALID_DEVICE_STATE;
        s->rate = wave.nSamplesPerSec;
        s->clientChannels = wave.nChannels;
    }
    return STATUS_SUCCESS;
}

void FreeStream(PVOID p) {
    auto* s = static_cast<Stream*>(p);
    Free(s->ring);
    Free(s);
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
    Device* d = DeviceOf(KsGetDevice(pin));
    if (!d->present) return STATUS_DEVICE_NOT_CONNECTED;
    auto* s = static_cast<Stream*>(Allocate(sizeof(Stream)));
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (s) Stream;
    s->pin = pin;
    s->capture = pin->Id == kCapturePin;
    s->info = s->capture ? &d->capture : &d->render;
    WAVEFORMATEX wave;
    std::memcpy(&wave, WaveOf(pin->ConnectionFormat), sizeof wave);
    s->rate = wave.nSamplesPerSec;
    s->clientChannels = wave.nChannels;
    const ULONG frame = s->info->FrameBytes();
    s->ringBytes = (s->info->MaxRate() * (s->capture ? kCaptureRingMs : kRenderRingMs) / 1000 + 1) * frame;
    s->ring = static_cast<UCHAR*>(Allocate(s->ringBytes));
    if (s->ring == nullptr || !NT_SUCCESS(KsAddItemToObjectBag(pin->Bag, s, FreeStream))) {
        FreeStream(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeSpinLock(&s->lock);
    KIRQL old;
    KeAcquireSpinLock(&g_streamLock, &old);
    s->device = d;
    d->streams[pin->Id] = s;
    KeReleaseSpinLock(&g_streamLock, old);
    pin->Context = s;
    return STATUS_SUCCESS;
}

Device* DetachStream(Stream* s) {
    KIRQL old;
    KeAcquireSpinLock(&g_streamLock, &old);
    Device* d = s->device;
    if (d != nullptr && d->streams[s->pin->Id] == s) d->streams[s->pin->Id] = nullptr;
    s->device = nullptr;
    KeReleaseSpinLock(&g_streamLock, old);
    return d;
}

void StopStream(Stream* s, const Transport* transport) {
    transport->halt(s, s->device);
    transport->freeTransfers(s);
}

NTSTATUS PinClose(PKSPIN pin, PIRP) {
    Stream* s = StreamOf(pin);
    if (s == nullptr) return STATUS_SUCCESS;
    const Transport* transport = DeviceOf(KsGetDevice(pin))->transport;
    StopStream(s, transport);
    Device* d = DetachStream(s);
    if (d != nullptr && d->present && s->acquired) transport->release(d, s);
    return STATUS_SUCCESS;
}

NTSTATUS PinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    Stream* s = StreamOf(pin);
    Device* d = s->device;
    const Transport* transport = DeviceOf(KsGetDevice(pin))->transport;
    if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
        if (d == nullptr || !d->present) return STATUS_DEVICE_NOT_CONNECTED;
        return d->transport->acquire(d, s);
    }
    if (to == KSSTATE_RUN) {
        if (d == nullptr || !d->present) return STATUS_DEVICE_NOT_CONNECTED;
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        s->ringStart = s->ringFill = 0;
        KeReleaseSpinLock(&s->lock, old);
        NTSTATUS status = transport->start(s);
        if (!NT_SUCCESS(status)) StopStream(s, transport);
        return status;
    }
    if (to == KSSTATE_PAUSE && from == KSSTATE_RUN) StopStream(s, transport);
    if (to == KSSTATE_STOP && d != nullptr && d->present && s->acquired) transport->release(d, s);
    return STATUS_SUCCESS;
}

// Capture: each read is filled whole from the ring (in the client's channel
// count) and completes when full, so reads come back at the device's pace.
NTSTATUS CaptureProcess(Stream* s) {
    const ULONG deviceFrame = s->info->FrameBytes();
    const ULONG channels = s->info->channels;
    const ULONG clientFrame = ULONG{s->clientChannels} * 2;
    UCHAR scratch[512];
    for (;;) {
        PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(s->pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (p == nullptr) return STATUS_SUCCESS;
        ULONG frames = p->OffsetOut.Remaining / clientFrame;
        if (frames == 0) {
            // Room for less than a frame: the read ends with what it has.
            KsStreamPointerUnlock(p, TRUE);
            continue;
        }
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        frames = std::min(frames, s->ringFill / deviceFrame);
        ULONG done = 0;
        while (done < frames) {
            const ULONG n = std::min<ULONG>(frames - done, sizeof scratch / deviceFrame);
            RingPop(s, scratch, n * deviceFrame);
            UCHAR* out = p->OffsetOut.Data + done * clientFrame;
            if (clientFrame == deviceFrame) {
                std::memcpy(out, scratch, n * deviceFrame);
            } else {
                for (ULONG f = 0; f < n; ++f) {
                    int32_t sum = 0;
                    for (ULONG c = 0; c < channels; ++c) {
                        int16_t v;
                        std::memcpy(&v, scratch + f * deviceFrame + c * 2, 2);
                        sum += v;
                    }
                    const auto mono = static_cast<int16_t>(sum / static_cast<int32_t>(channels));
                    std::memcpy(out + f * 2, &mono, 2);
                }
            }
            done += n;
        }
        KeReleaseSpinLock(&s->lock, old);
        const ULONG bytes = frames * clientFrame;
        p->StreamHeader->DataUsed += bytes;
        const bool full = bytes >= p->OffsetOut.Remaining - p->OffsetOut.Remaining % clientFrame;
        KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, bytes, full ? TRUE : FALSE);
        if (!full) return STATUS_SUCCESS;  // the ring is empty: wait for the bus
    }
}

// Render: writes are taken into the ring as room allows (in the device's
// channel count) and complete once all their bytes are in.
NTSTATUS RenderProcess(Stream* s) {
    const ULONG deviceFrame = s->info->FrameBytes();
    const ULONG channels = s->info->channels;
    const ULONG clientFrame = ULONG{s->clientChannels} * 2;
    UCHAR scratch[512];
    for (;;) {
        PKSSTREAM_POINTER p = KsPinGetLeadingEdgeStreamPointer(s->pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (p == nullptr) return STATUS_SUCCESS;
        // The write's valid bytes are its DataUsed; what was taken before is consumed.
        const ULONG consumed = p->OffsetIn.Count - p->OffsetIn.Remaining;
        const ULONG valid = std::min(p->StreamHeader->DataUsed, p->OffsetIn.Count);
        const ULONG available = valid > consumed ? valid - consumed : 0;
        ULONG frames = available / clientFrame;
        if (frames == 0) {
            KsStreamPointerUnlock(p, TRUE);
            continue;
        }
        KIRQL old;
        KeAcquireSpinLock(&s->lock, &old);
        frames = std::min(frames, (s->ringBytes - s->ringFill) / deviceFrame);
        ULONG done = 0;
        while (done < frames) {
            const ULONG n = std::min<ULONG>(frames - done, sizeof scratch / deviceFrame);
            const UCHAR* in = p->OffsetIn.Data + done * clientFrame;
            if (clientFrame == deviceFrame) {
                std::memcpy(scratch, in, n * deviceFrame);
            } else {
                for (ULONG f = 0; f < n; ++f) {
                    for (ULONG c = 0; c < channels; ++c) std::memcpy(scratch + f * deviceFrame + c * 2, in + f * 2, 2);
                }
            }
            RingPush(s, scratch, n * deviceFrame);
            done += n;
        }
        KeReleaseSpinLock(&s->lock, old);
        const ULONG bytes = frames * clientFrame;
        const bool all = bytes + clientFrame > available;
        KsStreamPointerAdvanceOffsetsAndUnlock(p, all ? p->OffsetIn.Remaining : bytes, 0, all ? TRUE : FALSE);
        if (!all) return STATUS_SUCCESS;  // the ring is full: wait for the bus
    }
}

NTSTATUS PinProcess(PKSPIN pin) {
    Stream* s = StreamOf(pin);
    if (s == nullptr || !InterlockedCompareExchange(&s->running, 0, 0)) return STATUS_SUCCESS;
    return s->capture ? CaptureProcess(s) : RenderProcess(s);
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, PinProcess, nullptr, PinSetFormat, PinSetState};

// ---- The device ----------------------------------------------------------------------------------------

void StopAllStreams(Device* d) {
    for (int i = 0; i < 2; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&g_streamLock, &old);
        Stream* s = d->streams[i];
        KeReleaseSpinLock(&g_streamLock, old);
        if (s != nullptr) d->transport->halt(s, d);
    }
}

void FreeDevice(PVOID p) {
    auto* d = static_cast<Device*>(p);
    for (int i = 0; i < 2; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&g_streamLock, &old);
        if (d->streams[i] != nullptr) d->streams[i]->device = nullptr;
        d->streams[i] = nullptr;
        KeReleaseSpinLock(&g_streamLock, old);
    }
    Free(d->config);
    Free(d->bus);
    Free(d);
}

}  // namespace

NTSTATUS AddDevice(PKSDEVICE ks, const Transport* transport) {
    auto* d = static_cast<Device*>(Allocate(sizeof(Device)));
    if (d == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (d) Device;
    d->ks = ks;
    d->transport = transport;
    NTSTATUS status = KsAddItemToObjectBag(ks->Bag, d, FreeDevice);
    if (!NT_SUCCESS(status)) {
        Free(d);
        return status;
    }
    ks->Context = d;
    return STATUS_SUCCESS;
}

namespace {

KSDATARANGE_AUDIO RangeOf(const StreamInfo& info) {
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.SampleSize = info.FrameBytes();
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = info.channels;
    r.MinimumBitsPerSample = r.MaximumBitsPerSample = info.bits;
    r.MinimumSampleFrequency = info.MinRate();
    r.MaximumSampleFrequency = info.MaxRate();
    return r;
}

void BuildFilter(Device* d) {
    const StreamInfo* infos[2] = {&d->capture, &d->render};
    for (ULONG id = 0; id < 2; ++id) {
        d->ranges[id] = RangeOf(*infos[id]);
        d->rangeList[id] = &d->ranges[id].DataRange;
        KSPIN_DESCRIPTOR_EX& pin = d->pins[id];
        pin.Dispatch = &kPinDispatch;
        pin.PinDescriptor.DataRangesCount = 1;
        pin.PinDescriptor.DataRanges = &d->rangeList[id];
        pin.PinDescriptor.DataFlow = id == kCapturePin ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
        pin.PinDescriptor.Category = id == kCapturePin ? &KSNODETYPE_MICROPHONE_ARRAY : &KSNODETYPE_SPEAKER;
        // Processing runs in the transport's completion itself: the pin's
        // queue moves with the device's clock and not a work item later.
        pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
        pin.InstancesPossible = 1;
    }
    d->categories[0] = KSCATEGORY_AUDIO;
    d->categories[1] = KSCATEGORY_CAPTURE;
    d->categories[2] = KSCATEGORY_RENDER;
    d->filter.Version = KSFILTER_DESCRIPTOR_VERSION;
    d->filter.ReferenceGuid = &KSNAME_Filter;
    d->filter.PinDescriptorsCount = d->render.present ? 2 : 1;
    d->filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    d->filter.PinDescriptors = d->pins;
    d->filter.CategoriesCount = d->render.present ? 3 : 2;
    d->filter.Categories = d->categories;
}

}  // namespace

NTSTATUS DeviceStart(PKSDEVICE ks, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    Device* d = DeviceOf(ks);
    if (d->started) return STATUS_SUCCESS;  // started again after a stop
    d->lower = ks->NextDeviceObject;
    d->present = true;
    NTSTATUS status = d->transport->startDevice(d);
    if (!NT_SUCCESS(status)) return status;
    // A function without a capture stream this driver can carry is not its.
    if (!d->capture.present) return STATUS_NOT_SUPPORTED;
    d->started = true;
    BuildFilter(d);
    KsAcquireDevice(ks);
    status = KsCreateFilterFactory(ks->FunctionalDeviceObject, &d->filter, const_cast<PWSTR>(u"GLOBAL"), nullptr, 0,
                                   nullptr, nullptr, nullptr);
    KsReleaseDevice(ks);
    return status;
}

void DeviceSurpriseRemoval(PKSDEVICE ks, PIRP) {
    Device* d = DeviceOf(ks);
    d->present = false;  // the transfers fail by themselves; nothing is sent to a device that left
    StopAllStreams(d);
}

void DeviceRemove(PKSDEVICE ks, PIRP) {
    Device* d = DeviceOf(ks);
    StopAllStreams(d);
    d->present = false;
}

NTSTATUS WriteServiceEntry(const char16_t* service, const char16_t* image) {
    HANDLE key;
    NTSTATUS status = qk::nt::reg::CreatePath(
        std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + service, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!qk::nt::reg::QueryString(key, u"ImagePath")) {
        qk::nt::reg::SetString(key, u"ImagePath", std::u16string(u"\\SystemRoot\\System32\\drivers\\") + image,
                               REG_EXPAND_SZ);
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}

void InitializeShared() {
    static std::once_flag once;
    std::call_once(once, [] { KeInitializeSpinLock(&g_streamLock); });
}

}  // namespace function

Counters ReadCounters() { return {function::g_captureDropped.load(), function::g_renderSilent.load()}; }

}  // namespace qk::audio
