// A reference reader of UVC payloads (USB Video Class 1.1 2.4.3.3): it takes
// the isochronous packets of a stream and reassembles the frames in them,
// checking every header so that any packet, however malformed, is either
// used or counted as bad. Tests compare its frames with what the camera sent.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qk::sim {

struct ReassembledFrame {
    std::vector<uint8_t> data;
    uint8_t frameId = 0;
    bool endOfFrame = false;  // closed by a payload with EOF
    bool error = false;       // a payload carried the error bit
    bool damaged = false;     // a packet of it was lost or malformed
    // The first frame a reader sees: nothing marked its start (a reader that
    // joins a stream may have missed its first payloads).
    bool startUnseen = false;
    bool hasPresentationTime = false;
    uint32_t presentationTime = 0;
    uint32_t firstBusFrame = 0;
    uint32_t payloads = 0;
};

class PayloadReader {
public:
    enum class Split {
        FrameIdOnly,        // a frame ends only when the frame id toggles
        FrameIdOrEndOfFrame,  // ... or when a payload carries EOF
    };
    struct Counts {
        uint64_t packets = 0;
        uint64_t empty = 0;        // zero-length packets
        uint64_t headerOnly = 0;   // a header and no data
        uint64_t malformed = 0;    // header length impossible for the packet or its flags
        uint64_t lost = 0;         // packets the bus reported as failed
        uint64_t scr = 0;          // headers with a source clock reference
    };

    explicit PayloadReader(Split split = Split::FrameIdOrEndOfFrame) : split_(split) {}

    // One isochronous packet as received in bus frame `busFrame`.
    void Packet(std::span<const uint8_t> packet, uint32_t busFrame);
    // A packet the bus reported with an error: whatever it held is gone.
    void LostPacket(uint32_t busFrame);
    // End of the stream: a frame in assembly is handed out as it is.
    void Flush();

    std::vector<ReassembledFrame> TakeFrames();
    const Counts& Totals() const { return counts_; }

private:
    void Close();

    Split split_;
    Counts counts_;
    bool assembling_ = false;
    bool lostBetween_ = false;  // a packet was lost while no frame was in assembly
    bool haveFrameId_ = false;
    uint8_t lastFrameId_ = 0;
    ReassembledFrame current_;
    std::vector<ReassembledFrame> done_;
};

}  // namespace qk::sim
