#include "sim/camera/payload_reader.h"

#include "sim/camera/uvc.h"

namespace qk::sim {

void PayloadReader::Close() {
    if (assembling_) done_.push_back(std::move(current_));
    current_ = {};
    assembling_ = false;
}

void PayloadReader::Packet(std::span<const uint8_t> packet, uint32_t busFrame) {
    ++counts_.packets;
    if (packet.empty()) {
        ++counts_.empty;
        return;
    }
    uint8_t length = packet[0];
    if (length < 2 || length > packet.size()) {
        ++counts_.malformed;
        if (assembling_) current_.damaged = true;
        return;
    }
    uint8_t info = packet[1];
    // The optional fields must fit in the header the packet declares.
    size_t needed = 2 + ((info & uvc::kHeaderPts) ? 4 : 0) + ((info & uvc::kHeaderScr) ? 6 : 0);
    if (needed > length) {
        ++counts_.malformed;
        if (assembling_) current_.damaged = true;
        return;
    }
    if (info & uvc::kHeaderScr) ++counts_.scr;
    std::span<const uint8_t> payload = packet.subspan(length);
    uint8_t frameId = info & uvc::kHeaderFid;
    bool eof = (info & uvc::kHeaderEof) != 0;
    if (payload.empty()) {
        ++counts_.headerOnly;
        // A bare header may still end the frame.
        if (eof && assembling_ && split_ == Split::FrameIdOrEndOfFrame && frameId == lastFrameId_) {
            current_.endOfFrame = true;
            Close();
        }
        return;
    }
    bool toggled = haveFrameId_ && frameId != lastFrameId_;
    if (toggled || !assembling_) {
        Close();
        assembling_ = true;
        current_.frameId = frameId;
        current_.firstBusFrame = busFrame;
        // What was lost just before may have been this frame's first payload.
        current_.damaged = lostBetween_;
        current_.startUnseen = !haveFrameId_;
        lostBetween_ = false;
    }
    haveFrameId_ = true;
    lastFrameId_ = frameId;
    if ((info & uvc::kHeaderPts) && !current_.hasPresentationTime) {
        current_.hasPresentationTime = true;
        current_.presentationTime =
            static_cast<uint32_t>(packet[2] | packet[3] << 8 | packet[4] << 16 | uint32_t{packet[5]} << 24);
    }
    if (info & uvc::kHeaderError) current_.error = true;
    current_.data.insert(current_.data.end(), payload.begin(), payload.end());
    ++current_.payloads;
    if (eof) {
        current_.endOfFrame = true;
        if (split_ == Split::FrameIdOrEndOfFrame) Close();
    }
}

void PayloadReader::LostPacket(uint32_t) {
    ++counts_.packets;
    ++counts_.lost;
    if (assembling_) {
        current_.damaged = true;
    } else {
        lostBetween_ = true;
    }
}

void PayloadReader::Flush() { Close(); }

std::vector<ReassembledFrame> PayloadReader::TakeFrames() {
    std::vector<ReassembledFrame> out;
    out.swap(done_);
    return out;
}

}  // namespace qk::sim
