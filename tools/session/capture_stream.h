// Streaming from a capture filter as an application does: find the capture
// pin, negotiate a format through the pin's intersection handler, create the
// pin with a reference clock, move it to run and keep several reads queued,
// handing every completed sample to the caller in the order the driver
// completed them.
//
//   std::unique_ptr<qk::session::CaptureStream> stream;
//   if (!qk::session::CaptureStream::Open(*filter, {PixelFormat::Yuy2, 640, 480, 30}, {}, &stream, &error)) ...
//   stream->Run([&](const qk::session::SampleReport& s) { ...; return more; }, &error);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ks.h"
#include "platform/ks/client.h"
#include "wdm.h"
#include "tools/session/negotiation.h"

namespace qk::session {

// One completed read.
struct SampleReport {
    uint64_t index = 0;  // completion order, from 0
    NTSTATUS status = STATUS_PENDING;
    uint32_t dataUsed = 0;
    int64_t presentationTime = 0;  // 100 ns of the reference clock
    int64_t duration = 0;
    uint32_t optionsFlags = 0;      // KSSTREAM_HEADER_OPTIONSF_*
    int64_t pictureNumber = 0;      // from the KS_FRAME_INFO extended header
    int64_t dropCount = 0;
    std::span<const uint8_t> data;  // the first dataUsed bytes of the buffer; valid during the callback
    bool Delivered() const { return NT_SUCCESS(status) && dataUsed > 0; }
    bool TimeValid() const { return (optionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0; }
};

struct StreamOptions {
    int queuedReads = 4;                  // reads kept in flight (the driver's allocator framing asks for 5)
    bool referenceClock = true;           // hand the pin a clock, as a graph with a clock does
    int64_t sampleTimeout100ns = 50'000'000;  // 5 s of platform time without a completion ends the run
    uint64_t maxSamples = 0;              // 0: until the callback says stop
    // The filter's interface link: when it goes away (the camera was pulled
    // out), the run ends at once instead of waiting for reads the driver
    // keeps until the pin stops, as an application does on the removal
    // notification. Empty: not watched.
    std::u16string filterLink;
    // Runs on the streaming thread after every sample and every 50 ms of
    // platform time while a sample is awaited: the place for a caller's own
    // timed work (pulling the camera out at a given second).
    std::function<void()> onWait;
};

// The driver's dropped-frames property (KSPROPERTY_DROPPEDFRAMES_CURRENT).
struct DroppedFrames {
    int64_t pictureNumber = 0;
    int64_t dropCount = 0;
    uint32_t averageFrameSize = 0;
};

class CaptureStream {
public:
    // Finds the first output pin with video ranges, chooses the offer for
    // `request` and creates the pin with the format the intersection gives.
    // False with a message (listing what is offered when the request names
    // something the camera lacks).
    static bool Open(ks::client::Filter& filter, const FormatRequest& request, const StreamOptions& options,
                     std::unique_ptr<CaptureStream>* stream, std::string* error);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    const ConnectionFormat& Format() const { return format_; }
    const Bytes& FormatBytes() const { return formatBytes_; }
    const std::vector<OfferedFormat>& Offers() const { return offers_; }
    ks::client::Pin& Pin() { return *pin_; }
    ULONG PinId() const { return pinId_; }

    // Moves the pin to run (through acquire and pause) with the reads queued
    // and hands each completed sample to `onSample` until it returns false,
    // maxSamples have completed, or no sample comes within the time-out; then
    // stops the pin (cancelling what is still queued). False with a message
    // when a state change fails or samples stop coming.
    bool Run(const std::function<bool(const SampleReport&)>& onSample, std::string* error);

    // Sets the pin's state (the caller steps through the states itself).
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS QueryDroppedFrames(DroppedFrames* dropped);

private:
    struct Slot;
    CaptureStream() = default;
    NTSTATUS Queue(Slot* slot);
    SampleReport Report(const Slot& slot, uint64_t index) const;

    StreamOptions options_;
    std::vector<OfferedFormat> offers_;
    ULONG pinId_ = 0;
    Bytes formatBytes_;
    ConnectionFormat format_;
    HANDLE clock_ = nullptr;
    KEVENT completed_;                         // set by every completion
    std::vector<std::unique_ptr<Slot>> slots_;  // read buffers; outlive every read the pin has queued
    std::unique_ptr<ks::client::Pin> pin_;
};

// Status codes in words for messages: "STATUS_NO_MATCH (0xC0000272)".
std::string StatusText(NTSTATUS status);

}  // namespace qk::session
