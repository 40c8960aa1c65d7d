// Talking to a camera model directly, as the bus would: control transfers
// and isochronous packets frame by frame.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/camera/camera.h"
#include "sim/camera/payload_reader.h"

namespace qk::sim::testing {

struct Reply {
    qk::usb::Handshake handshake;
    std::vector<uint8_t> data;
};

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    return s;
}

class CameraConversation {
public:
    explicit CameraConversation(CameraConfig config = {}, std::shared_ptr<FrameSource> frames = nullptr)
        : camera(std::make_shared<Camera>(std::move(config), std::move(frames))) {
        camera->Reset(frame);
        Send(0x00, 0x05, 7, 0, {});  // SET_ADDRESS
        Send(0x00, 0x09, 1, 0, {});  // SET_CONFIGURATION
    }

    Reply Send(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data,
               uint16_t inLength = 0) {
        qk::usb::SetupPacket setup{requestType, request, value, index,
                                   static_cast<uint16_t>((requestType & 0x80) ? inLength : data.size())};
        if (requestType & 0x80) data.assign(inLength, 0xEE);
        qk::usb::ControlResult r = camera->Control(setup, data, frame);
        data.resize(r.handshake == qk::usb::Handshake::Ack ? r.length : 0);
        return {r.handshake, data};
    }
    // A class request to the VideoControl interface (entity in the high byte of wIndex).
    Reply Get(uint8_t request, uint8_t entity, uint8_t selector, uint16_t length) {
        return Send(0xA1, request, static_cast<uint16_t>(selector << 8), static_cast<uint16_t>(entity << 8), {}, length);
    }
    Reply Set(uint8_t entity, uint8_t selector, std::vector<uint8_t> data) {
        return Send(0x21, 0x01, static_cast<uint16_t>(selector << 8), static_cast<uint16_t>(entity << 8), std::move(data));
    }
    // Probe (selector 1) and commit (2) on the streaming interface.
    Reply StreamingSet(uint8_t selector, const ProbeCommit& block) {
        std::vector<uint8_t> bytes(34);
        block.Write(bytes);
        return Send(0x21, 0x01, static_cast<uint16_t>(selector << 8), 1, bytes);
    }
    ProbeCommit StreamingGet(uint8_t request, uint8_t selector) {
        return ProbeCommit::Read(Send(0xA1, request, static_cast<uint16_t>(selector << 8), 1, {}, 34).data);
    }
    // Negotiates format/frame/interval and selects `alternate` (7 by default).
    void StartStream(uint8_t format, uint8_t frameIndex, uint32_t interval, uint8_t alternate = 7) {
        ProbeCommit p = StreamingGet(0x81, 1);
        p.bmHint = 1;
        p.bFormatIndex = format;
        p.bFrameIndex = frameIndex;
        p.dwFrameInterval = interval;
        ASSERT_EQ(StreamingSet(1, p).handshake, qk::usb::Handshake::Ack);
        ASSERT_EQ(StreamingSet(2, StreamingGet(0x81, 1)).handshake, qk::usb::Handshake::Ack);
        ASSERT_EQ(Send(0x01, 0x0B, alternate, 1, {}).handshake, qk::usb::Handshake::Ack);
    }
    void StopStream() { Send(0x01, 0x0B, 0, 1, {}); }
    // Polls `count` bus frames of the video endpoint into `reader`.
    std::vector<qk::usb::IsoResult> Poll(int count, PayloadReader& reader, uint32_t packetBytes = 24576) {
        std::vector<qk::usb::IsoResult> results;
        std::vector<uint8_t> packet(packetBytes);
        for (int i = 0; i < count; ++i) {
            ++frame;
            qk::usb::IsoResult r = camera->IsochronousIn(0x81, frame, packet);
            results.push_back(r);
            if (r.status == qk::usb::IsoResult::Status::Ok) {
                reader.Packet(std::span<const uint8_t>(packet.data(), r.length), frame);
                lastPackets.emplace_back(packet.begin(), packet.begin() + r.length);
                if (lastPackets.size() > 64) lastPackets.erase(lastPackets.begin());
            } else {
                reader.LostPacket(frame);
            }
        }
        return results;
    }

    std::shared_ptr<Camera> camera;
    uint32_t frame = 100000;
    std::vector<std::vector<uint8_t>> lastPackets;
};

}  // namespace qk::sim::testing
