// Arbitrary isochronous packets into frame assembly: payload headers of any
// length, toggles in any order, frames larger than their slots.
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/k0340dev.h"

namespace {

struct Rig {
    Rig() {
        device.transport = &transport;
        device.transportOps = k0340::IsochTransportTable();
        device.transportOps->initialise(&device);
        device.AllocatePool(k0340::kLargestFrame);
    }
    ~Rig() { device.FreePool(); }
    k0340::UsbCameraDevice device;
    k0340::TransportHeader transport{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* rig = new Rig;
    k0340::UsbCameraDevice& d = rig->device;
    if (size < 1) return 0;
    // The first byte picks the slot size: many small slots or two large ones.
    d.InitialiseRing(data[0] & 1 ? k0340::kLargestFrame : k0340::kSmallFrameBuffer);
    rig->transport.assembling = nullptr;
    rig->transport.lastFrameId = 0xFF;
    size_t at = 1;
    while (at + 2 <= size) {
        // Each packet: a 16-bit length, then that many bytes (as far as the input goes).
        size_t length = data[at] | (data[at + 1] << 8);
        at += 2;
        if (length > size - at) length = size - at;
        d.transportOps->requestsOutstanding(&d);
        k0340::AssemblePacket(&d, data + at, static_cast<ULONG>(length));
        at += length;
        // The pin takes frames now and then.
        if (length & 1) {
            if (auto* f = k0340::TakeReadyFrame(&d)) {
                if (f->filled > f->capacity) __builtin_trap();
                d.ReleaseSlot(f);
            }
        }
    }
    k0340::FlushReadyList(&d);
    d.ReleaseSlot(rig->transport.assembling);
    d.ResetRing();
    return 0;
}
