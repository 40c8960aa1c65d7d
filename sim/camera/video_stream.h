// The camera's VideoStreaming interface: probe and commit (UVC 1.1 4.3.1.1),
// and on an alternate setting other than 0 the stream of the committed
// format: a new frame every frame interval, split into payloads with UVC
// payload headers, one payload per 1 ms bus frame, as much as the
// alternate setting's bandwidth carries. Not thread-safe: the camera's lock
// guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/usb/device.h"
#include "sim/camera/camera_config.h"
#include "sim/camera/descriptors.h"
#include "sim/camera/frame_source.h"
#include "sim/camera/uvc.h"

namespace qk::sim {

// The 34-byte probe and commit block.
struct ProbeCommit {
    uint16_t bmHint = 0;
    uint8_t bFormatIndex = 0;
    uint8_t bFrameIndex = 0;
    uint32_t dwFrameInterval = 0;
    uint16_t wKeyFrameRate = 0;
    uint16_t wPFrameRate = 0;
    uint16_t wCompQuality = 0;
    uint16_t wCompWindowSize = 0;
    uint16_t wDelay = 0;
    uint32_t dwMaxVideoFrameSize = 0;
    uint32_t dwMaxPayloadTransferSize = 0;
    uint32_t dwClockFrequency = 0;
    uint8_t bmFramingInfo = 0;
    uint8_t bPreferedVersion = 0;
    uint8_t bMinVersion = 0;
    uint8_t bMaxVersion = 0;

    // Writes as many bytes of the block as `out` holds; returns how many.
    uint32_t Write(std::span<uint8_t> out) const;
    // Reads a block of 26 (UVC 1.0) or 34 bytes.
    static ProbeCommit Read(std::span<const uint8_t> in);
};

// One frame the camera sent, as it went on the wire.
struct SentFrame {
    uint64_t stream = 0;  // which stream (counted from 1 since the camera was plugged)
    uint64_t number = 0;  // frame number in the stream
    VideoFormat format = VideoFormat::Yuy2;
    int width = 0, height = 0;
    uint8_t frameId = 0;
    uint32_t presentationTime = 0;  // device clock (48 MHz) at capture
    int64_t captureTime = 0;        // 100 ns since the camera was plugged
    uint32_t firstBusFrame = 0;
    bool blanked = false;  // the sensor gave a black picture (privacy)
    bool corrupted = false;
    std::vector<uint8_t> bytes;
    std::optional<FaceBox> face;
};

// What the camera saw of the faults on its video endpoint since it was
// plugged, counting only packets the host asked for.
struct StreamCounters {
    uint64_t lostPackets = 0;        // spoilt on the wire by the faults
    uint64_t stalls = 0;             // times the endpoint halted
    // Times the host asked for video again after a halt: it cleared the halt
    // (or started a new stream), which is how a driver recovers from one.
    uint64_t resumedAfterStall = 0;
};

// Makes the frames the stream sends (rendering and encoding are the camera's).
class FrameMaker {
public:
    virtual ~FrameMaker() = default;
    virtual void MakeFrame(SentFrame& frame, bool firstOfStream) = 0;
};

class VideoStream {
public:
    VideoStream(const CameraConfig& config, const std::vector<StreamingFormat>& formats);

    // VS_PROBE_CONTROL, VS_COMMIT_CONTROL and VS_STREAM_ERROR_CODE_CONTROL.
    qk::usb::ControlResult Request(const qk::usb::SetupPacket& setup, std::span<uint8_t> data);
    // Alternate setting `alternate` from bus frame `frame` on; false refuses it.
    bool SetAlternate(uint8_t alternate, uint32_t frame);
    void PowerOn(uint32_t attachFrame);

    // The packet of bus frame `frame` (frames not asked for are lost to the host).
    qk::usb::IsoResult Packet(uint32_t frame, std::span<uint8_t> packet, FrameMaker& maker);

    bool Streaming() const { return alternate_ != 0; }
    uint8_t Alternate() const { return alternate_; }
    const ProbeCommit& Probe() const { return probe_; }
    const ProbeCommit& Commit() const { return commit_; }
    uvc::RequestError LastError() const { return lastError_; }
    uint64_t FramesStarted() const { return videoFrame_; }
    const StreamCounters& Counters() const { return counters_; }

    // Bus time (100 ns) of the start of `frame`.
    static int64_t FrameTime(uint64_t frame) { return static_cast<int64_t>(frame) * 10'000; }

private:
    bool Negotiate(ProbeCommit& block) const;
    uint32_t PayloadNeeded(const StreamingFormat& format, const StreamingFrame& frame, uint32_t interval) const;
    qk::usb::IsoResult Serve(uint64_t frame, std::span<uint8_t>* packet, FrameMaker& maker);
    void StartFrame(uint64_t busFrame, FrameMaker& maker);
    bool Faulty(uint64_t packetIndex) const;
    qk::usb::ControlResult Fail(uvc::RequestError error);

    const CameraConfig& config_;
    const std::vector<StreamingFormat>& formats_;
    ProbeCommit probe_, commit_, default_;
    uvc::RequestError lastError_ = uvc::RequestError::None;
    uint64_t attachFrame_ = 0;

    uint8_t alternate_ = 0;
    uint32_t bytesPerFrame_ = 0;
    uint64_t streams_ = 0;
    uint64_t streamStart_ = 0;    // bus frame the stream started in
    uint64_t nextFrame_ = 0;      // next bus frame to serve
    uint64_t packetIndex_ = 0;    // packets of this stream so far
    uint64_t videoFrame_ = 0;     // video frames started in this stream
    int64_t nextCapture_ = 0;     // bus time of the next capture
    int64_t period_ = 0;          // capture period (frame interval, slowed down by the fault)
    bool busy_ = false;
    uint8_t frameId_ = 1;         // toggles to 0 for the first frame
    SentFrame current_;
    size_t sent_ = 0;
    bool detached_ = false;
    bool stallDone_ = false;    // the one halt of stallAtPacket has happened
    bool haltPending_ = false;  // stalled, and the host has not come back since
    StreamCounters counters_;
};

}  // namespace qk::sim
