// What the bus asks of a USB device model: control transfers on endpoint 0
// and isochronous packets, one per 1 ms bus frame. Device models (sim/) build
// on this header only, so that they run without the simulated kernel.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qk::usb {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool In() const { return (bmRequestType & 0x80) != 0; }
    uint8_t Type() const { return (bmRequestType >> 5) & 3; }       // 0 standard, 1 class, 2 vendor
    uint8_t Recipient() const { return bmRequestType & 0x1F; }      // 0 device, 1 interface, 2 endpoint
};

// The handshake that ends a control transfer.
enum class Handshake {
    Ack,         // the request was carried out
    Stall,       // the device refused it (request error)
    NoResponse,  // the device did not answer at all
};

struct ControlResult {
    Handshake handshake = Handshake::Ack;
    uint32_t length = 0;  // bytes of the data stage that moved
};

struct IsoResult {
    enum class Status {
        Ok,          // `length` bytes (0 for an empty packet)
        NoResponse,  // the device sent nothing (transaction error)
        Stall,       // the endpoint halted
        Detached,    // the device left the bus in this frame
    };
    Status status = Status::Ok;
    uint32_t length = 0;
};

enum class Speed { Full, High };

// One USB device on a bus port. The bus calls it from its dispatch routines
// and from its DPC, so every call must be thread-safe. `frame` is the bus's
// 1 ms frame number at the time of the transaction; it never goes back.
class Device {
public:
    virtual ~Device() = default;

    virtual Speed DeviceSpeed() const = 0;

    // Port reset: back to the default state (unconfigured, every interface
    // at alternate setting 0).
    virtual void Reset(uint32_t frame) = 0;

    // A control transfer on endpoint 0. For IN requests `data` has room for
    // setup.wLength bytes and receives the answer; for OUT requests it holds
    // the setup.wLength bytes the host sent.
    virtual ControlResult Control(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) = 0;

    // How long (100 ns units) the device takes before it answers `setup`
    // (it NAKs meanwhile). The bus completes the transfer that much later.
    virtual int64_t ControlLatency(const SetupPacket& setup) { return 0; }

    // The packet of isochronous IN `endpoint` in bus frame `frame`, written
    // into `packet` (room for what the endpoint moves in one frame). Frames
    // the host does not ask for are lost, as on a real bus; they are never
    // asked for later.
    virtual IsoResult IsochronousIn(uint8_t endpoint, uint32_t frame, std::span<uint8_t> packet) = 0;

    // The packet the host sends to isochronous OUT `endpoint` in `frame`.
    virtual IsoResult IsochronousOut(uint8_t endpoint, uint32_t frame, std::span<const uint8_t> packet) = 0;

    // A short name for the debugger and for dumps.
    virtual std::string Name() const = 0;
};

}  // namespace qk::usb
