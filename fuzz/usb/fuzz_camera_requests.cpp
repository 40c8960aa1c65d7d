// Control requests from a host, in any order and with any lengths, and the
// isochronous packets that follow: the camera model answers or stalls and
// never reads or writes outside the data stage or the packet.
#include <cstdint>
#include <vector>

#include "sim/camera/camera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    qk::sim::CameraConfig config;
    config.variant = (data[0] & 1) ? 1 : 2;
    config.extensionUnit = (data[0] & 2) == 0;
    config.speaker = (data[0] & 4) != 0;
    config.formats = {{qk::sim::VideoFormat::Yuy2, {{32, 24, {qk::sim::kInterval30}}}},
                      {qk::sim::VideoFormat::Mjpeg, {{32, 24, {qk::sim::kInterval30, qk::sim::kInterval5}}}}};
    config.faults.loseEveryNthPacket = data[1] & 7;
    qk::sim::Camera camera(config);
    uint32_t frame = 1000;
    camera.Reset(frame);
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> packet(24576);
    int polls = 0;
    // Records: type, request, value (2), index (2), length, then the OUT data.
    for (size_t at = 2; at + 7 <= size;) {
        const uint8_t* r = data + at;
        at += 7;
        if (r[0] == 0xFF) {
            // A run of isochronous frames on an endpoint.
            uint8_t endpoint = r[1];
            for (int i = 0; i < (r[2] & 31) && polls < 200; ++i, ++polls) {
                ++frame;
                if (endpoint & 0x80) {
                    camera.IsochronousIn(endpoint, frame, packet);
                } else {
                    camera.IsochronousOut(endpoint, frame, std::span<const uint8_t>(packet.data(), r[3]));
                }
            }
            continue;
        }
        qk::usb::SetupPacket setup{r[0], r[1], static_cast<uint16_t>(r[2] | r[3] << 8),
                                   static_cast<uint16_t>(r[4] | r[5] << 8), r[6]};
        if (setup.In()) {
            buffer.assign(setup.wLength, 0);
        } else {
            size_t n = setup.wLength < size - at ? setup.wLength : size - at;
            buffer.assign(data + at, data + at + n);
            setup.wLength = static_cast<uint16_t>(n);
            at += n;
        }
        qk::usb::ControlResult result = camera.Control(setup, buffer, frame);
        if (result.length > setup.wLength) __builtin_trap();
    }
    return 0;
}
