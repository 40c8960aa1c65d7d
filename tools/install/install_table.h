// What an installation of the package puts on a machine, as tables. Later
// issues extend them: folders, the drivers' services, the hardware IDs the
// Plug and Play manager maps to drivers, plain keys, and the module files
// copied from the build into the system root.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qk::install {

// Folders below the system root (forward slashes).
struct Folder {
    std::string_view path;
};

// HKLM\SYSTEM\CurrentControlSet\Services\<name>: a kernel driver loaded on
// demand ("Type" 1, "Start" 3, "ErrorControl" 1) from
// \SystemRoot\System32\drivers\<imageFile>.
struct Service {
    std::u16string_view name;
    std::u16string_view imageFile;
    std::u16string_view displayName;
};

// HKLM\SYSTEM\DriverDatabase\DeviceIds\<hardware ID with '\' as '#'>: the
// function driver and upper filters of devices with that hardware ID. A
// hardware ID is built from the USB identifiers: "USB\VID_vvvv" alone (any
// product of the vendor), with "&PID_pppp", and with "&MI_ii" for one
// interface of a composite device.
// A string the installation writes into a device's driver key (as a driver
// package's AddReg does); Plug and Play copies it there when it sets the
// device up.
struct DriverValue {
    std::u16string_view name;
    std::u16string_view text;
};

// A number the installation writes into the key of a device interface
// (as a driver package's AddInterface does); Plug and Play copies it there
// when the interface is registered, unless the key already has that value.
struct InterfaceValue {
    std::u16string_view name;
    uint32_t number;
};

struct Device {
    uint16_t vendorId;
    int32_t productId;  // -1: any product
    int32_t interface;  // -1: the whole device
    std::u16string_view service;
    std::u16string_view upperFilters;  // one filter, or empty for none
    std::u16string_view classGuid;
    std::u16string_view className;
    std::u16string_view deviceDesc;
    std::u16string_view friendlyName;  // empty: not written
    std::span<const DriverValue> driverValues = {};
    // A compatible ID ("USB\\Class_01") to match instead of the vendor and
    // product; the devices' own IDs are matched before it.
    std::u16string_view compatibleId = {};
    // A device that is no USB device: its own hardware ID, matched instead
    // of the vendor and product.
    std::u16string_view hardwareId = {};
    // Values for the key of the interface of class `interfaceClass` that a
    // driver of the stack registers.
    std::u16string_view interfaceClass = {};
    std::span<const InterfaceValue> interfaceValues = {};
};

// Keys created empty (below HKEY_LOCAL_MACHINE).
struct PlainKey {
    std::u16string_view path;
};

// A REG_DWORD an installation writes only when the machine has none yet, so
// that installing again keeps what the user chose since.
struct InitialValue {
    std::u16string_view path;  // below HKEY_LOCAL_MACHINE
    std::u16string_view name;
    uint32_t number;
};

// A string the installation owns and writes every time (an empty name is
// the key's default value): the Video-for-Windows driver list and the COM
// classes of the package's in-process servers.
struct MachineString {
    std::u16string_view path;  // below HKEY_LOCAL_MACHINE
    std::u16string_view name;
    std::u16string_view text;
};

// A file the build makes, copied into the root: `buildName` from the build's
// module folder to `destination` below the root. The loadable modules and the
// capture driver's substitute pictures, which the build draws beside them.
struct ModuleFile {
    std::string_view buildName;
    std::string_view destination;
};

// The array codec's audio function on the high-definition audio bus.
inline constexpr std::u16string_view kArrayCodecHardwareId = u"HDAUDIO\\FUNC_01&VEN_FB20&DEV_0A20";

std::span<const Folder> Folders();
std::span<const Service> Services();
std::span<const Device> Devices();
std::span<const PlainKey> PlainKeys();
std::span<const InitialValue> InitialValues();
std::span<const ModuleFile> ModuleFiles();
std::span<const MachineString> MachineStrings();

}  // namespace qk::install
