#include "platform/audio/engine.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/audio/usb_audio.h"
#include "platform/nt/pnp.h"

namespace qk::audio {

ks::client::Bytes WaveFormat(const Format& format) {
    KSDATAFORMAT_WAVEFORMATEX f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.SampleSize = format.FrameBytes();
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = format.channels;
    f.WaveFormatEx.nSamplesPerSec = format.rate;
    f.WaveFormatEx.wBitsPerSample = format.bits;
    f.WaveFormatEx.nBlockAlign = static_cast<USHORT>(format.FrameBytes());
    f.WaveFormatEx.nAvgBytesPerSec = format.rate * format.FrameBytes();
    ks::client::Bytes b(sizeof f);
    std::memcpy(b.data(), &f, sizeof f);
    return b;
}

namespace {

constexpr ULONG kPlayTailMs = 60;

bool AudioRange(ks::client::Filter& filter, ULONG pin, KSDATARANGE_AUDIO* range) {
    std::vector<ks::client::Bytes> ranges;
    if (!NT_SUCCESS(filter.DataRanges(pin, &ranges))) return false;
    for (const auto& r : ranges) {
        if (r.size() < sizeof(KSDATARANGE_AUDIO)) continue;
        std::memcpy(range, r.data(), sizeof *range);
        if (IsEqualGUID(range->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return true;
    }
    return false;
}

// Waits for `done` under `lock`, calling `wait` (or sleeping a millisecond)
// between looks; false after `timeoutMs` looks without it.
template <typename Done>
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Done done,
               const std::function<void()>& wait, ULONG timeoutMs) {
    for (ULONG looks = 0; !done(); ++looks) {
        if (looks >= timeoutMs) return false;
        if (wait) {
            lock.unlock();
            wait();
            lock.lock();
        } else {
            changed.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    return true;
}

}  // namespace

std::vector<FilterInfo> AudioFilters() {
    std::vector<FilterInfo> filters;
    for (const auto& i : nt::pnp::Interfaces(KSCATEGORY_AUDIO)) {
        FilterInfo info;
        info.link = i.symbolicLink;
        info.instance = i.instancePath;
        std::unique_ptr<ks::client::Filter> filter;
        if (NT_SUCCESS(ks::client::Filter::Open(i.symbolicLink, &filter))) {
            ULONG pins = 0;
            filter->PinCount(&pins);
            KSPIN_DATAFLOW flow;
            info.capture = pins > kCapturePin && NT_SUCCESS(filter->DataFlow(kCapturePin, &flow)) &&
                           flow == KSPIN_DATAFLOW_OUT && AudioRange(*filter, kCapturePin, &info.captureRange);
            info.render = pins > kRenderPin && NT_SUCCESS(filter->DataFlow(kRenderPin, &flow)) &&
                          flow == KSPIN_DATAFLOW_IN && AudioRange(*filter, kRenderPin, &info.renderRange);
        }
        filters.push_back(std::move(info));
    }
    return filters;
}

NTSTATUS Stream::Open(const std::u16string& filterLink, ULONG pinId, const Format& format, StreamOptions options,
                      std::unique_ptr<Stream>* stream) {
    if (format.channels == 0 || format.bits == 0 || format.rate == 0 || options.queued == 0 || options.bufferMs == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_ptr<Stream> s(new Stream);
    s->format_ = format;
    s->options_ = options;
    NTSTATUS status = ks::client::Filter::Open(filterLink, &s->filter_);
    if (!NT_SUCCESS(status)) return status;
    status = s->filter_->CreatePin(pinId, WaveFormat(format), &s->pin_);
    if (!NT_SUCCESS(status)) return status;
    *stream = std::move(s);
    return STATUS_SUCCESS;
}

Stream::~Stream() {
    pin_.reset();
    filter_.reset();
}

NTSTATUS Stream::Record(size_t frames, std::vector<int16_t>* out, const std::function<void()>& wait, ULONG timeoutMs) {
    const ULONG frameBytes = format_.FrameBytes();
    const ULONG bufferBytes = std::max<ULONG>(1, format_.rate * options_.bufferMs / 1000) * frameBytes;
    const size_t wanted = frames * frameBytes;
    struct Slot {
        std::vector<uint8_t> data;
        bool inFlight = false;
        NTSTATUS status = STATUS_SUCCESS;
        ULONG used = 0;
    };
    std::mutex lock;  // guards the slots' results
    std::condition_variable changed;
    std::vector<Slot> slots(options_.queued);
    for (auto& slot : slots) slot.data.resize(bufferBytes);
    std::deque<size_t> order;  // slots in the order their reads were queued

    auto queue = [&](size_t i) {
        {
            std::lock_guard guard(lock);
            slots[i].inFlight = true;
        }
        order.push_back(i);
        ++stats_.queued;
        pin_->QueueRead(slots[i].data.data(), bufferBytes, sizeof(KSSTREAM_HEADER),
                        [&, i](const ks::client::Pin::Sample& sample) {
                            std::lock_guard guard(lock);
                            slots[i].status = sample.status;
                            slots[i].used = sample.Header().DataUsed;
                            slots[i].inFlight = false;
                            changed.notify_all();
                        });
    };
    NTSTATUS result = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(result)) {
        pin_->SetState(KSSTATE_STOP);
        return result;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(wanted);
    for (size_t i = 0; i < slots.size(); ++i) queue(i);
    while (bytes.size() < wanted) {
        const size_t i = order.front();
        std::unique_lock guard(lock);
        if (!WaitUntil(guard, changed, [&] { return !slots[i].inFlight; }, wait, timeoutMs)) {
            result = STATUS_IO_TIMEOUT;
            break;
        }
        const NTSTATUS status = slots[i].status;
        const ULONG used = std::min(slots[i].used, bufferBytes);
        guard.unlock();
        order.pop_front();
        ++stats_.completed;
        if (!NT_SUCCESS(status)) {
            ++stats_.failed;
            result = status;
            break;
        }
        stats_.bytes += used;
        bytes.insert(bytes.end(), slots[i].data.begin(), slots[i].data.begin() + std::min<size_t>(used, wanted - bytes.size()));
        if (bytes.size() < wanted) queue(i);
    }
    // Stopping cancels the reads still queued; each comes back once.
    pin_->SetState(KSSTATE_STOP);
    std::unique_lock guard(lock);
    WaitUntil(
        guard, changed, [&] { return std::none_of(slots.begin(), slots.end(), [](const Slot& s) { return s.inFlight; }); },
        wait, 0xFFFFFFFF);
    for (size_t i : order) {
        ++stats_.completed;
        if (slots[i].status == STATUS_CANCELLED) ++stats_.cancelled;
        else if (!NT_SUCCESS(slots[i].status)) ++stats_.failed;
    }
    guard.unlock();
    bytes.resize(bytes.size() - bytes.size() % frameBytes);
    out->resize(bytes.size() / 2);
    std::memcpy(out->data(), bytes.data(), bytes.size());
    return result;
}

NTSTATUS Stream::Play(const std::vector<int16_t>& sound, const std::function<void()>& wait, ULONG timeoutMs) {
    const ULONG frameBytes = format_.FrameBytes();
    // A write completes when the device's driver has taken it, up to some
    // tens of milliseconds before it is heard: silence after the end keeps
    // the pin running until the last of the sound has gone out.
    std::vector<int16_t> pcm = sound;
    pcm.resize(pcm.size() + size_t{format_.rate} * kPlayTailMs / 1000 * format_.channels, 0);
    const size_t chunk = std::max<size_t>(1, format_.rate * options_.bufferMs / 1000) * frameBytes / 2;  // samples
    std::mutex lock;  // guards inFlight and firstError
    std::condition_variable changed;
    ULONG inFlight = 0;
    NTSTATUS firstError = STATUS_SUCCESS;
    NTSTATUS result = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(result)) {
        pin_->SetState(KSSTATE_STOP);
        return result;
    }
    for (size_t at = 0; at < pcm.size() && NT_SUCCESS(result);) {
        std::unique_lock guard(lock);
        if (!WaitUntil(guard, changed, [&] { return inFlight < options_.queued; }, wait, timeoutMs)) {
            result = STATUS_IO_TIMEOUT;
            break;
        }
        if (!NT_SUCCESS(firstError)) {
            result = firstError;
            break;
        }
        ++inFlight;
        guard.unlock();
        const size_t n = std::min(chunk, pcm.size() - at);
        ++stats_.queued;
        stats_.bytes += n * 2;
        pin_->QueueWrite(pcm.data() + at, static_cast<ULONG>(n * 2), [&](const ks::client::Pin::Sample& sample) {
            std::lock_guard g(lock);
            --inFlight;
            ++stats_.completed;
            if (sample.status == STATUS_CANCELLED) ++stats_.cancelled;
            else if (!NT_SUCCESS(sample.status)) ++stats_.failed;
            if (!NT_SUCCESS(sample.status) && NT_SUCCESS(firstError)) firstError = sample.status;
            changed.notify_all();
        });
        at += n;
    }
    std::unique_lock guard(lock);
    if (NT_SUCCESS(result) && !WaitUntil(guard, changed, [&] { return inFlight == 0; }, wait, timeoutMs)) {
        result = STATUS_IO_TIMEOUT;
    }
    guard.unlock();
    pin_->SetState(KSSTATE_STOP);
    guard.lock();
    WaitUntil(guard, changed, [&] { return inFlight == 0; }, wait, 0xFFFFFFFF);
    if (NT_SUCCESS(result)) result = firstError;
    return result;
}

}  // namespace qk::audio
