// The USB bus of the simulated machine: a root-enumerated host controller
// whose driver ("QkUsbHub") reports one child device per function of each
// plugged device, and serves the URBs their drivers send.
//
//   qk::usb::WriteInstallationEntries();             // once per system root
//   int port = qk::usb::Plug(std::make_shared<qk::sim::Camera>(config));
//   ...
//   qk::usb::Unplug(port);                           // hot unplug
#pragma once

#include <memory>
#include <string>

#include "platform/usb/device.h"
#include "wdm.h"

namespace qk::usb {

inline constexpr char16_t kBusService[] = u"QkUsbHub";
inline constexpr char16_t kBusImage[] = u"QkUsbHub.sys";
inline constexpr char16_t kBusDeviceId[] = u"ROOT\\QKUSBHOST";
inline constexpr char16_t kBusDescription[] = u"QK USB Host Controller";

// Writes the bus driver's service entry and its driver-database entry for the
// root device, and registers the driver image with the I/O manager.
NTSTATUS WriteInstallationEntries();

// Adds the host controller to the machine's device tree unless it is there
// already; returns its instance path (empty when it could not start).
std::u16string StartHostController();

enum class Wait { ForPnp, No };

// Connects a device to the lowest free port and returns the port number; the
// bus reads its descriptors as a hub would and reports its functions. With
// Wait::ForPnp, returns once their stacks are built and started.
int Plug(std::shared_ptr<Device> device, Wait wait = Wait::ForPnp);

// Disconnects the device on `port`: its pending transfers complete with an
// error, new requests fail, and its functions go through surprise removal.
bool Unplug(int port, Wait wait = Wait::ForPnp);

// The bus's current 1 ms frame number.
uint32_t CurrentFrame();

}  // namespace qk::usb
