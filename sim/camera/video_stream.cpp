#include "sim/camera/video_stream.h"

#include <algorithm>
#include <cstring>

namespace qk::sim {

namespace {

using qk::usb::ControlResult;
using qk::usb::Handshake;
using qk::usb::IsoResult;
using uvc::RequestError;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | uint32_t{Get16(p + 2)} << 16; }

// The device clock (48 MHz) at `time` (100 ns units).
uint32_t DeviceClock(int64_t time) { return static_cast<uint32_t>(static_cast<uint64_t>(time) * 24 / 5); }

bool Contains(const std::vector<uint64_t>& list, uint64_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

uint32_t ProbeCommit::Write(std::span<uint8_t> out) const {
    uint8_t b[uvc::kProbeLength] = {};
    Put16(b + 0, bmHint);
    b[2] = bFormatIndex;
    b[3] = bFrameIndex;
    Put32(b + 4, dwFrameInterval);
    Put16(b + 8, wKeyFrameRate);
    Put16(b + 10, wPFrameRate);
    Put16(b + 12, wCompQuality);
    Put16(b + 14, wCompWindowSize);
    Put16(b + 16, wDelay);
    Put32(b + 18, dwMaxVideoFrameSize);
    Put32(b + 22, dwMaxPayloadTransferSize);
    Put32(b + 26, dwClockFrequency);
    b[30] = bmFramingInfo;
    b[31] = bPreferedVersion;
    b[32] = bMinVersion;
    b[33] = bMaxVersion;
    size_t n = std::min<size_t>(out.size(), sizeof b);
    std::memcpy(out.data(), b, n);
    return static_cast<uint32_t>(n);
}

ProbeCommit ProbeCommit::Read(std::span<const uint8_t> in) {
    uint8_t b[uvc::kProbeLength] = {};
    std::memcpy(b, in.data(), std::min<size_t>(in.size(), sizeof b));
    ProbeCommit p;
    p.bmHint = Get16(b);
    p.bFormatIndex = b[2];
    p.bFrameIndex = b[3];
    p.dwFrameInterval = Get32(b + 4);
    p.wKeyFrameRate = Get16(b + 8);
    p.wPFrameRate = Get16(b + 10);
    p.wCompQuality = Get16(b + 12);
    p.wCompWindowSize = Get16(b + 14);
    p.wDelay = Get16(b + 16);
    p.dwMaxVideoFrameSize = Get32(b + 18);
    p.dwMaxPayloadTransferSize = Get32(b + 22);
    p.dwClockFrequency = Get32(b + 26);
    p.bmFramingInfo = b[30];
    p.bPreferedVersion = b[31];
    p.bMinVersion = b[32];
    p.bMaxVersion = b[33];
    return p;
}

VideoStream::VideoStream(const CameraConfig& config, const std::vector<StreamingFormat>& formats)
    : config_(config), formats_(formats) {
    PowerOn(0);
}

void VideoStream::PowerOn(uint32_t attachFrame) {
    attachFrame_ = attachFrame;
    default_ = {};
    if (!formats_.empty() && !formats_.front().frames.empty()) {
        default_.bFormatIndex = formats_.front().index;
        default_.bFrameIndex = formats_.front().frames.front().index;
        Negotiate(default_);
    }
    probe_ = commit_ = default_;
    alternate_ = 0;
    busy_ = false;
    detached_ = false;
    lastError_ = RequestError::None;
}

uint32_t VideoStream::PayloadNeeded(const StreamingFormat& format, const StreamingFrame& frame, uint32_t interval) const {
    // Bytes a 1 ms frame must carry: the frame spread over its interval
    // (MJPEG taken at a quarter of the raw size), plus the payload header.
    uint64_t bytes = format.format == VideoFormat::Yuy2 ? frame.MaxFrameBytes(format.format)
                                                        : frame.MaxFrameBytes(format.format) / 4;
    uint64_t perFrame = (bytes * 10'000 + interval - 1) / std::max<uint32_t>(interval, 1) + uvc::kHeaderLength;
    for (const auto& alternate : kStreamingAlternates) {
        if (alternate.bytesPerFrame >= perFrame) return alternate.bytesPerFrame;
    }
    return kStreamingAlternates.back().bytesPerFrame;
}

bool VideoStream::Negotiate(ProbeCommit& block) const {
    const StreamingFormat* format = nullptr;
    for (const auto& f : formats_) {
        if (f.index == block.bFormatIndex) format = &f;
    }
    const StreamingFrame* frame = format ? format->Frame(block.bFrameIndex) : nullptr;
    if (frame == nullptr || frame->intervals.empty()) return false;
    // The supported interval nearest to the one asked for (the shortest when none is asked).
    uint32_t chosen = frame->intervals.front();
    if (block.dwFrameInterval != 0) {
        for (uint32_t interval : frame->intervals) {
            if (std::llabs(int64_t{interval} - block.dwFrameInterval) < std::llabs(int64_t{chosen} - block.dwFrameInterval)) {
                chosen = interval;
            }
        }
    }
    block.dwFrameInterval = chosen;
    block.wDelay = 0;
    block.dwMaxVideoFrameSize = frame->MaxFrameBytes(format->format);
    block.dwMaxPayloadTransferSize = PayloadNeeded(*format, *frame, chosen);
    block.dwClockFrequency = uvc::kClockHz;
    block.bmFramingInfo = 0x03;  // frame id and end of frame in every header
    block.bPreferedVersion = block.bMinVersion = block.bMaxVersion = 1;
    return true;
}

ControlResult VideoStream::Fail(RequestError error) {
    lastError_ = error;
    return {Handshake::Stall, 0};
}

ControlResult VideoStream::Request(const qk::usb::SetupPacket& setup, std::span<uint8_t> data) {
    auto selector = static_cast<uint8_t>(setup.wValue >> 8);
    if (selector == uvc::kVsStreamErrorCode) {
        if (setup.bRequest == uvc::kGetCur || setup.bRequest == uvc::kGetInfo) {
            if (!data.empty()) data[0] = setup.bRequest == uvc::kGetCur ? 0 : uvc::kInfoGet;
            return {Handshake::Ack, data.empty() ? 0u : 1u};
        }
        return Fail(RequestError::InvalidRequest);
    }
    if (selector != uvc::kVsProbe && selector != uvc::kVsCommit) return Fail(RequestError::InvalidControl);
    bool probe = selector == uvc::kVsProbe;
    ProbeCommit& block = probe ? probe_ : commit_;
    lastError_ = RequestError::None;
    switch (setup.bRequest) {
        case uvc::kSetCur: {
            if (setup.In() || (setup.wLength != uvc::kProbeLength && setup.wLength != uvc::kProbeLengthUvc10)) {
                return Fail(RequestError::InvalidRequest);
            }
            // A new format while frames flow would change the stream under the host.
            if (!probe && Streaming()) return Fail(RequestError::WrongState);
            ProbeCommit asked = ProbeCommit::Read(data);
            if (!Negotiate(asked)) return Fail(RequestError::OutOfRange);
            block = asked;
            return {Handshake::Ack, setup.wLength};
        }
        case uvc::kGetCur: return {Handshake::Ack, block.Write(data)};
        case uvc::kGetInfo:
            if (data.empty()) return {Handshake::Ack, 0};
            data[0] = uvc::kInfoGet | uvc::kInfoSet;
            return {Handshake::Ack, 1};
        case uvc::kGetLen:
            if (data.size() < 2) return Fail(RequestError::InvalidRequest);
            Put16(data.data(), uvc::kProbeLength);
            return {Handshake::Ack, 2};
        case uvc::kGetMin:
        case uvc::kGetMax:
        case uvc::kGetDef:
        case uvc::kGetRes: {
            if (!probe) return Fail(RequestError::InvalidRequest);
            ProbeCommit answer = probe_;
            if (setup.bRequest == uvc::kGetDef) {
                answer = default_;
            } else if (setup.bRequest == uvc::kGetRes) {
                answer = {};
            } else {
                const StreamingFrame* frame = nullptr;
                for (const auto& f : formats_) {
                    if (f.index == probe_.bFormatIndex) frame = f.Frame(probe_.bFrameIndex);
                }
                if (frame != nullptr) {
                    answer.dwFrameInterval =
                        setup.bRequest == uvc::kGetMin ? frame->intervals.front() : frame->intervals.back();
                    Negotiate(answer);
                }
            }
            return {Handshake::Ack, answer.Write(data)};
        }
        default: return Fail(RequestError::InvalidRequest);
    }
}

bool VideoStream::SetAlternate(uint8_t alternate, uint32_t frame) {
    if (alternate == 0) {
        alternate_ = 0;
        busy_ = false;
        return true;
    }
    auto it = std::find_if(kStreamingAlternates.begin(), kStreamingAlternates.end(),
                           [alternate](const StreamingAlternate& a) { return a.number == alternate; });
    if (it == kStreamingAlternates.end()) return false;
    bytesPerFrame_ = it->bytesPerFrame;
    if (alternate_ != 0) {
        alternate_ = alternate;  // another bandwidth for the same stream
        return true;
    }
    alternate_ = alternate;
    ++streams_;
    streamStart_ = uint64_t{frame} + 1;
    nextFrame_ = streamStart_;
    packetIndex_ = 0;
    stallDone_ = false;
    videoFrame_ = 0;
    busy_ = false;
    frameId_ = 1;
    detached_ = false;
    period_ = static_cast<int64_t>(commit_.dwFrameInterval) * std::max<uint32_t>(config_.faults.slowdown, 1);
    nextCapture_ = FrameTime(streamStart_);
    return true;
}

bool VideoStream::Faulty(uint64_t index) const {
    const Faults& f = config_.faults;
    if (f.loseEveryNthPacket != 0 && index % f.loseEveryNthPacket == f.loseEveryNthPacket - 1) return true;
    if (Contains(f.losePackets, index)) return true;
    return f.errorFromPacket && index >= *f.errorFromPacket && index < *f.errorFromPacket + f.errorPackets;
}

void VideoStream::StartFrame(uint64_t busFrame, FrameMaker& maker) {
    SentFrame frame;
    frame.stream = streams_;
    frame.number = videoFrame_;
    for (const auto& f : formats_) {
        if (f.index != commit_.bFormatIndex) continue;
        frame.format = f.format;
        if (const StreamingFrame* size = f.Frame(commit_.bFrameIndex)) {
            frame.width = size->width;
            frame.height = size->height;
        }
    }
    frame.captureTime = nextCapture_ - FrameTime(attachFrame_);
    frame.presentationTime = DeviceClock(frame.captureTime);
    frame.firstBusFrame = static_cast<uint32_t>(busFrame);
    // The frame id toggles with every frame (UVC 1.1 2.4.3.3), unless the
    // fault keeps it for this one.
    if (videoFrame_ == 0 || !Contains(config_.faults.keepFrameIdFrames, videoFrame_)) frameId_ ^= 1;
    frame.frameId = frameId_;
    maker.MakeFrame(frame, videoFrame_ == 0);
    current_ = std::move(frame);
    sent_ = 0;
    busy_ = !current_.bytes.empty();
    ++videoFrame_;
}

IsoResult VideoStream::Serve(uint64_t frame, std::span<uint8_t>* packet, FrameMaker& maker) {
    uint64_t index = packetIndex_++;
    if (detached_) return {IsoResult::Status::Detached, 0};
    int64_t now = FrameTime(frame);
    if (!busy_ && now >= nextCapture_) {
        StartFrame(frame, maker);
        while (nextCapture_ <= now) nextCapture_ += period_;
    }
    if (config_.faults.detachAfterFrames && !busy_ && videoFrame_ >= *config_.faults.detachAfterFrames) detached_ = true;
    if (detached_) return {IsoResult::Status::Detached, 0};
    uint32_t length = 0;
    uint8_t header[uvc::kHeaderLength];
    bool idle = !busy_;
    if (busy_ || config_.headerOnlyWhenIdle) {
        size_t room = bytesPerFrame_ > uvc::kHeaderLength ? bytesPerFrame_ - uvc::kHeaderLength : 0;
        size_t n = busy_ ? std::min(room, current_.bytes.size() - sent_) : 0;
        bool last = busy_ && sent_ + n == current_.bytes.size();
        header[0] = uvc::kHeaderLength;
        header[1] = static_cast<uint8_t>(uvc::kHeaderEoh | uvc::kHeaderPts | uvc::kHeaderScr | frameId_ |
                                         (last ? uvc::kHeaderEof : 0));
        Put32(header + 2, current_.presentationTime);
        // Source clock reference: the device clock now and the 11-bit SOF counter.
        Put32(header + 6, DeviceClock(now - FrameTime(attachFrame_)));
        Put16(header + 10, static_cast<uint32_t>(frame & 0x7FF));
        if (packet != nullptr && packet->size() >= uvc::kHeaderLength + n) {
            std::memcpy(packet->data(), header, uvc::kHeaderLength);
            if (n > 0) std::memcpy(packet->data() + uvc::kHeaderLength, current_.bytes.data() + sent_, n);
            length = static_cast<uint32_t>(uvc::kHeaderLength + n);
        }
        sent_ += n;
        if (last) busy_ = false;
    }
    // Packets of frames the host did not ask for (packet null) go nowhere:
    // a fault in them is never seen and is not counted.
    const bool asked = packet != nullptr;
    // The halt lands on the first packet the host asks for from the given
    // index on: a host running late past that very packet still meets it,
    // as it would meet a fault that persists until something reads it.
    if (config_.faults.stallAtPacket && !stallDone_ && index >= *config_.faults.stallAtPacket && asked) {
        stallDone_ = true;
        ++counters_.stalls;
        haltPending_ = true;
        return {IsoResult::Status::Stall, 0};
    }
    // A lost packet went out and was spoilt on the way: its data is gone.
    if (Faulty(index) && !idle) {
        if (asked) ++counters_.lostPackets;
        return {IsoResult::Status::NoResponse, 0};
    }
    return {IsoResult::Status::Ok, length};
}

IsoResult VideoStream::Packet(uint32_t busFrame, std::span<uint8_t> packet, FrameMaker& maker) {
    if (!Streaming()) return {IsoResult::Status::NoResponse, 0};
    if (haltPending_) {
        haltPending_ = false;
        ++counters_.resumedAfterStall;
    }
    uint64_t frame = busFrame;
    if (frame < nextFrame_) return {IsoResult::Status::NoResponse, 0};  // a frame already gone by
    // Frames the host did not ask for went by all the same.
    while (nextFrame_ < frame) {
        if (!busy_ && !detached_) {
            // Nothing to send until the next capture: jump there, and skip
            // whole capture periods the host would not see anything of.
            int64_t target = FrameTime(frame);
            if (period_ > 0 && nextCapture_ + 2 * period_ < target) {
                int64_t skip = (target - nextCapture_) / period_ - 1;
                nextCapture_ += skip * period_;
                videoFrame_ += static_cast<uint64_t>(skip);
                if (skip & 1) frameId_ ^= 1;
            }
            uint64_t captureFrame = static_cast<uint64_t>((nextCapture_ + 9'999) / 10'000);
            uint64_t jumpTo = std::min(std::max(captureFrame, nextFrame_), frame);
            packetIndex_ += jumpTo - nextFrame_;
            nextFrame_ = jumpTo;
            if (nextFrame_ == frame) break;
        }
        Serve(nextFrame_, nullptr, maker);
        ++nextFrame_;
    }
    IsoResult result = Serve(frame, &packet, maker);
    nextFrame_ = frame + 1;
    return result;
}

}  // namespace qk::sim
