#include "tools/session/capture_stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

#include "ksmedia.h"
#include "platform/ks/clock.h"
#include "platform/nt/pnp.h"
#include "platform/nt/wformat.h"

namespace qk::session {

// One read buffer with the sample that last completed into it. The
// completion runs on the driver's completing thread; `done` hands the sample
// over to the streaming thread, the event wakes it.
struct CaptureStream::Slot {
    Bytes buffer;
    ks::client::Pin::Sample sample;
    std::atomic<bool> done{false};
};

namespace {

constexpr ULONG kHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

struct StatusName {
    NTSTATUS status;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_CANCELLED, "STATUS_CANCELLED"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
    {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED"},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
    {STATUS_TOO_MANY_OPENED_FILES, "STATUS_TOO_MANY_OPENED_FILES"},
    {STATUS_PROPSET_NOT_FOUND, "STATUS_PROPSET_NOT_FOUND"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
};

std::string RequestText(const FormatRequest& request) {
    return Format("%s %dx%d at %g fps", Name(request.format), request.width, request.height, request.framesPerSecond);
}

}  // namespace

std::string StatusText(NTSTATUS status) {
    std::string hex = Format("0x%08X", static_cast<unsigned>(status));
    for (const auto& s : kStatusNames) {
        if (s.status == status) return std::string(s.name) + " (" + hex + ")";
    }
    return "status " + hex;
}

bool CaptureStream::Open(ks::client::Filter& filter, const FormatRequest& request, const StreamOptions& options,
                         std::unique_ptr<CaptureStream>* stream, std::string* error) {
    std::unique_ptr<CaptureStream> s(new CaptureStream());
    s->options_ = options;
    s->options_.queuedReads = std::clamp(options.queuedReads, 1, 64);
    ULONG pins = 0;
    NTSTATUS status = filter.PinCount(&pins);
    if (!NT_SUCCESS(status)) {
        *error = "cannot count the filter's pins: " + StatusText(status);
        return false;
    }
    bool found = false;
    for (ULONG id = 0; id < pins && !found; ++id) {
        KSPIN_DATAFLOW flow{};
        std::vector<Bytes> ranges;
        if (!NT_SUCCESS(filter.DataFlow(id, &flow)) || flow != KSPIN_DATAFLOW_OUT) continue;
        if (!NT_SUCCESS(filter.DataRanges(id, &ranges))) continue;
        s->offers_ = ReadOffers(ranges);
        if (!s->offers_.empty()) {
            s->pinId_ = id;
            found = true;
        }
    }
    if (!found) {
        *error = "the capture filter has no output pin with video formats";
        return false;
    }
    Choice choice;
    if (!ChooseOffer(s->offers_, request, &choice, error)) return false;
    status = filter.Intersect(s->pinId_, RangeForIntersection(choice), &s->formatBytes_);
    if (!NT_SUCCESS(status)) {
        *error = "the driver's intersection refused " + RequestText(request) + ": " + StatusText(status);
        return false;
    }
    if (!ReadConnectionFormat(s->formatBytes_, &s->format_, error)) return false;
    status = filter.CreatePin(s->pinId_, s->formatBytes_, &s->pin_);
    if (!NT_SUCCESS(status)) {
        *error = "the driver refused to create its capture pin for " + RequestText(request) + ": " + StatusText(status) +
                 "; the camera offers " + DescribeOffers(s->offers_);
        return false;
    }
    if (s->options_.referenceClock) {
        s->clock_ = ks::CreateClock();
        status = s->clock_ == nullptr ? STATUS_INSUFFICIENT_RESOURCES : s->pin_->SetClock(s->clock_);
        if (!NT_SUCCESS(status)) {
            *error = "the pin did not take the reference clock: " + StatusText(status);
            return false;
        }
    }
    KeInitializeEvent(&s->completed_, SynchronizationEvent, FALSE);
    *stream = std::move(s);
    return true;
}

CaptureStream::~CaptureStream() {
    // Closing the pin cancels what is queued and waits for those completions,
    // which still write into the slots; the slots go after it.
    pin_.reset();
    if (clock_ != nullptr) ZwClose(clock_);
}

NTSTATUS CaptureStream::SetState(KSSTATE state) { return pin_->SetState(state); }

NTSTATUS CaptureStream::QueryDroppedFrames(DroppedFrames* dropped) {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S request{};
    request.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
    request.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer = request;
    ULONG returned = 0;
    NTSTATUS status = ks::client::Property(pin_->Handle(), &request, sizeof request, &answer, sizeof answer, &returned);
    if (!NT_SUCCESS(status)) return status;
    if (returned < sizeof answer) return STATUS_INVALID_BUFFER_SIZE;
    dropped->pictureNumber = answer.PictureNumber;
    dropped->dropCount = answer.DropCount;
    dropped->averageFrameSize = answer.AverageFrameSize;
    return STATUS_SUCCESS;
}

NTSTATUS CaptureStream::Queue(Slot* slot) {
    slot->done = false;
    return pin_->QueueRead(slot->buffer.data(), static_cast<ULONG>(slot->buffer.size()), kHeaderBytes,
                           [this, slot](const ks::client::Pin::Sample& sample) {
                               slot->sample = sample;
                               slot->done = true;
                               KeSetEvent(&completed_, 0, FALSE);
                           });
}

SampleReport CaptureStream::Report(const Slot& slot, uint64_t index) const {
    SampleReport report;
    report.index = index;
    report.status = slot.sample.status;
    const Bytes& header = slot.sample.header;
    if (header.size() >= sizeof(KSSTREAM_HEADER)) {
        KSSTREAM_HEADER h;
        std::memcpy(&h, header.data(), sizeof h);
        // The driver says how much it wrote; never believe more than the buffer.
        report.dataUsed = std::min<uint32_t>(h.DataUsed, static_cast<uint32_t>(slot.buffer.size()));
        report.presentationTime = h.PresentationTime.Time;
        report.duration = h.Duration;
        report.optionsFlags = h.OptionsFlags;
    }
    if (header.size() >= kHeaderBytes) {
        KS_FRAME_INFO info;
        std::memcpy(&info, header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
        report.pictureNumber = info.PictureNumber;
        report.dropCount = info.DropCount;
    }
    report.data = std::span<const uint8_t>(slot.buffer.data(), report.dataUsed);
    return report;
}

// Watches for the removal of a filter's interface. Notifications run on the
// Plug and Play thread and may still arrive after Unsubscribe has returned,
// so they only touch the shared flag.
class RemovalWatch {
public:
    explicit RemovalWatch(const std::u16string& link) : removed_(std::make_shared<std::atomic<bool>>(false)) {
        if (link.empty()) return;
        cookie_ = qk::nt::pnp::Subscribe([removed = removed_, link](const qk::nt::pnp::Event& e) {
            if (e.kind == qk::nt::pnp::EventKind::InterfaceRemoval && e.symbolicLink == link) *removed = true;
        });
    }
    ~RemovalWatch() {
        if (cookie_ >= 0) qk::nt::pnp::Unsubscribe(cookie_);
    }
    bool Removed() const { return *removed_; }

private:
    std::shared_ptr<std::atomic<bool>> removed_;
    int cookie_ = -1;
};

bool CaptureStream::Run(const std::function<bool(const SampleReport&)>& onSample, std::string* error) {
    RemovalWatch removal(options_.filterLink);
    const KSSTATE steps[] = {KSSTATE_ACQUIRE, KSSTATE_PAUSE};
    for (KSSTATE state : steps) {
        NTSTATUS status = pin_->SetState(state);
        if (!NT_SUCCESS(status)) {
            *error = std::string("the pin refused to go to ") + (state == KSSTATE_ACQUIRE ? "acquire" : "pause") + ": " +
                     StatusText(status);
            pin_->SetState(KSSTATE_STOP);
            return false;
        }
    }
    // Reads are queued in pause, before the first frame can arrive.
    slots_.clear();
    std::deque<Slot*> inFlight;
    uint64_t queued = 0;
    auto more = [&] { return options_.maxSamples == 0 || queued < options_.maxSamples; };
    for (int i = 0; i < options_.queuedReads && more(); ++i) {
        slots_.push_back(std::make_unique<Slot>());
        slots_.back()->buffer.assign(format_.sampleBytes, 0);
        Queue(slots_.back().get());
        inFlight.push_back(slots_.back().get());
        ++queued;
    }
    bool ok = true;
    NTSTATUS status = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *error = "the pin refused to run: " + StatusText(status);
        ok = false;
    }
    uint64_t index = 0;
    while (ok && !inFlight.empty()) {
        Slot* head = inFlight.front();
        // Waits in short slices so that a removal is seen soon.
        constexpr int64_t kSlice = 500'000;  // 50 ms of platform time
        int64_t waited = 0;
        while (!head->done) {
            if (options_.onWait) options_.onWait();
            if (removal.Removed()) {
                *error = qk::Format("the camera went away: its capture filter was removed (after %llu samples)",
                                static_cast<unsigned long long>(index));
                ok = false;
                break;
            }
            if (waited >= options_.sampleTimeout100ns) {
                *error = qk::Format("no sample came for %.1f s (after %llu samples)",
                                static_cast<double>(options_.sampleTimeout100ns) / 1e7,
                                static_cast<unsigned long long>(index));
                ok = false;
                break;
            }
            LARGE_INTEGER timeout;
            timeout.QuadPart = -std::min(kSlice, options_.sampleTimeout100ns - waited);
            if (KeWaitForSingleObject(&completed_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
                waited -= timeout.QuadPart;
            }
        }
        if (!ok) break;
        inFlight.pop_front();
        SampleReport report = Report(*head, index++);
        bool goOn = onSample(report);
        if (options_.onWait) options_.onWait();
        if (!NT_SUCCESS(report.status) && report.status != STATUS_CANCELLED) {
            // The pin gave up (the camera went, the device failed): queueing more would only fail again.
            *error = "a read failed with " + StatusText(report.status);
            ok = false;
            break;
        }
        if (goOn && more()) {
            Queue(head);
            inFlight.push_back(head);
            ++queued;
        } else if (!goOn) {
            break;
        }
    }
    // Stop cancels the reads still queued; their completions come before the slots may go.
    pin_->SetState(KSSTATE_STOP);
    pin_->WaitIdle();
    return ok;
}

}  // namespace qk::session
