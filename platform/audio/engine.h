// The audio engine as a client of kernel streaming: finds the machine's audio
// filters by their device interface, opens a pin through the device's whole
// stack (so every request passes any filter driver installed above the
// function driver), sets it running and keeps several stream requests
// queued, paced by the device's clock.
//
//   auto filters = qk::audio::AudioFilters();
//   std::unique_ptr<qk::audio::Stream> s;
//   qk::audio::Stream::Open(filters[0].link, qk::audio::kCapturePin, {16000, 2}, {}, &s);
//   std::vector<int16_t> pcm;
//   s->Record(16000, &pcm);  // one second
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ks.h"
#include "ksmedia.h"
#include "platform/ks/client.h"

namespace qk::audio {

struct Format {
    ULONG rate = 16000;
    USHORT channels = 2;
    USHORT bits = 16;
    ULONG FrameBytes() const { return ULONG{channels} * bits / 8; }
};

// KSDATAFORMAT_WAVEFORMATEX for a PCM format.
ks::client::Bytes WaveFormat(const Format& format);

struct FilterInfo {
    std::u16string link;      // the filter's interface link with its reference string
    std::u16string instance;  // the device's instance path
    bool capture = false;     // has a capture pin (id 0)
    bool render = false;      // has a render pin (id 1)
    KSDATARANGE_AUDIO captureRange{};
    KSDATARANGE_AUDIO renderRange{};
};

// The audio filters of the machine, in the order Plug and Play lists them,
// with what their pins offer.
std::vector<FilterInfo> AudioFilters();

struct StreamOptions {
    ULONG queued = 4;     // stream requests kept queued
    ULONG bufferMs = 10;  // audio per request
};

// What a stream has done: every request it queued must come back exactly once.
struct StreamStats {
    uint64_t queued = 0;
    uint64_t completed = 0;
    uint64_t failed = 0;     // completed with an error (other than a cancel at the stop)
    uint64_t cancelled = 0;  // completed cancelled (the requests still queued when it stopped)
    uint64_t bytes = 0;
};

class Stream {
public:
    static NTSTATUS Open(const std::u16string& filterLink, ULONG pinId, const Format& format, StreamOptions options,
                         std::unique_ptr<Stream>* stream);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Runs the pin until `frames` frames have been read and stops it again;
    // `out` receives them interleaved. `wait` is called whenever nothing has
    // completed yet (tests step the machine's clock there); by default the
    // engine sleeps a millisecond. Fails with the first request that failed,
    // or STATUS_IO_TIMEOUT when no request completes for `timeoutMs` of calls
    // to `wait`.
    NTSTATUS Record(size_t frames, std::vector<int16_t>* out, const std::function<void()>& wait = {},
                    ULONG timeoutMs = 5000);
    // Plays `pcm` (interleaved, the stream's channel count) through a render
    // pin, keeping the writes queued, and returns when the last has been
    // played (it is followed by a little silence). `wait` as for Record.
    NTSTATUS Play(const std::vector<int16_t>& pcm, const std::function<void()>& wait = {}, ULONG timeoutMs = 5000);

    const StreamStats& Stats() const { return stats_; }
    const Format& TheFormat() const { return format_; }
    ks::client::Pin& Pin() { return *pin_; }

private:
    Stream() = default;
    std::unique_ptr<ks::client::Filter> filter_;
    std::unique_ptr<ks::client::Pin> pin_;
    Format format_;
    StreamOptions options_;
    StreamStats stats_;
};

}  // namespace qk::audio
