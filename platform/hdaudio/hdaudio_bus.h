// The high-definition audio bus of the simulated machine: a root-enumerated
// controller whose driver ("HDAudBus", so its driver object is
// "\Driver\HDAudBus") reports one child device per codec audio function on
// its link, with the hardware ID HDAUDIO\FUNC_01&VEN_vvvv&DEV_dddd.
//
//   qk::hdaudio::WriteInstallationEntries();        // once per system root
//   int address = qk::hdaudio::Plug(std::make_shared<qk::sim::ArrayCodec>(source));
//   ...
//   qk::hdaudio::Unplug(address);                    // the codec leaves the link
#pragma once

#include <memory>
#include <string>

#include "platform/hdaudio/codec.h"
#include "wdm.h"

namespace qk::hdaudio {

inline constexpr char16_t kBusService[] = u"HDAudBus";
inline constexpr char16_t kBusImage[] = u"HDAudBus.sys";
inline constexpr char16_t kBusDeviceId[] = u"ROOT\\QKHDAUDIO";
inline constexpr char16_t kBusDescription[] = u"QK High Definition Audio Controller";
// The controller hands each stream's samples over once per period.
inline constexpr LONG kPeriodMs = 4;

// The hardware ID of a codec's audio function group.
std::u16string FunctionHardwareId(uint16_t vendorId, uint16_t deviceId);

// Writes the bus driver's service entry and its driver-database entry for the
// root device, and registers the driver image with the I/O manager.
NTSTATUS WriteInstallationEntries();

// Adds the controller to the machine's device tree unless it is there already;
// returns its instance path (empty when it could not start).
std::u16string StartController();

// Attaches a codec at the lowest free address (0-14) and returns the address,
// or -1 when the link is full; returns once Plug and Play has built its stack.
int Plug(std::shared_ptr<Codec> codec);

// The codec at `address` leaves the link: its streams stop being serviced and
// its function goes through surprise removal. With `waitForPnp`, returns once
// Plug and Play has taken its stack down.
bool Unplug(int address, bool waitForPnp = true);

// Requests sent to the codecs' functions that this bus does not define (a
// USB request block, say), refused since the machine started.
uint64_t RefusedRequests();

}  // namespace qk::hdaudio
