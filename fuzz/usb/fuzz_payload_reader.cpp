// Isochronous packets from a device: any bytes, lost packets in between.
// The reader must account for every byte and never read outside a packet.
#include <cstdint>
#include <span>

#include "sim/camera/payload_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qk::sim::PayloadReader byFrameId(qk::sim::PayloadReader::Split::FrameIdOnly);
    qk::sim::PayloadReader both;
    size_t payloadBytes = 0;
    uint32_t frame = 0;
    // Records: one length byte (0xFF: a lost packet), then that many bytes.
    for (size_t at = 0; at < size;) {
        uint8_t length = data[at++];
        ++frame;
        if (length == 0xFF) {
            byFrameId.LostPacket(frame);
            both.LostPacket(frame);
            continue;
        }
        size_t n = length < size - at ? length : size - at;
        std::span<const uint8_t> packet(data + at, n);
        byFrameId.Packet(packet, frame);
        both.Packet(packet, frame);
        if (n > 0 && data[at] <= n) payloadBytes += n - data[at];
        at += n;
    }
    byFrameId.Flush();
    both.Flush();
    for (auto* reader : {&byFrameId, &both}) {
        size_t total = 0;
        for (const auto& f : reader->TakeFrames()) total += f.data.size();
        if (total > payloadBytes) __builtin_trap();  // more frame data than payload came in
    }
    return 0;
}
