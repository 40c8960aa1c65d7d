// The Plug and Play manager of the simulated kernel: the device tree, driver
// matching from the installation entries, building device stacks, start,
// removal (orderly and surprise), power, device interfaces, and the
// notifications user mode receives.
//
// Installation entries it reads (written by the installer):
//   HKLM\SYSTEM\DriverDatabase\DeviceIds\<hardware ID with '\' as '#'>
//     "Service", "ClassGUID", "Class", "DeviceDesc", "FriendlyName",
//     "UpperFilters", "LowerFilters" (REG_MULTI_SZ)
//   HKLM\SYSTEM\CurrentControlSet\Services\<service>\"ImagePath"
// Entries it keeps per device instance:
//   HKLM\SYSTEM\CurrentControlSet\Enum\<instance path>  (device key: "Device Parameters")
//   HKLM\SYSTEM\CurrentControlSet\Control\Class\{class}\NNNN  (driver key)
//   HKLM\SYSTEM\CurrentControlSet\Control\DeviceClasses\{interface}\...  (interface keys)
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace qk::nt::pnp {

// Problem codes of a device that did not start.
enum class Problem : ULONG {
    None = 0,
    FailedStart = 10,
    FailedAdd = 31,
    NoDriver = 28,
    DriverFailedLoad = 39,
    Removed = 47,
};

struct DeviceInfo {
    std::u16string instancePath;  // "USB\VID_FA57&PID_0340&MI_00\6&1&0&0000"
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
    std::u16string friendlyName;
    std::u16string service;
    std::vector<std::u16string> upperFilters;
    std::u16string className;
    GUID classGuid{};
    std::u16string driverKey;  // "{guid}\0000"
    bool started = false;
    bool present = true;
    Problem problem = Problem::None;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string parentInstancePath;
};

struct InterfaceInfo {
    GUID interfaceClass{};
    std::u16string symbolicLink;  // "\??\USB#VID_...#{guid}\ref"
    std::u16string instancePath;
    bool enabled = false;
};

// ---- Devices -----------------------------------------------------------------
// Creates a root-enumerated device (a bus or a stand-alone device) with the
// given IDs and processes it: drivers matched, loaded, added and started.
// Returns the instance path.
std::u16string AddRootDevice(const std::u16string& deviceId, const std::vector<std::u16string>& hardwareIds,
                             const std::u16string& description);
// Orderly removal (query remove, remove) of a device and its children; a
// device whose drivers veto the query stays. Returns whether it went.
bool RemoveDevice(const std::u16string& instancePath);
// Sets the device power state of a started device (IRP_MN_SET_POWER).
NTSTATUS SetDevicePower(const std::u16string& instancePath, DEVICE_POWER_STATE state);

std::vector<DeviceInfo> Devices();
bool FindDevice(const std::u16string& instancePath, DeviceInfo* info);
std::vector<InterfaceInfo> Interfaces(const GUID& interfaceClass, bool enabledOnly = true);

// Waits until every queued enumeration, start and removal has been processed.
void WaitIdle();

// ---- Notifications to user mode ------------------------------------------------
enum class EventKind { DeviceArrival, DeviceRemoval, InterfaceArrival, InterfaceRemoval };
struct Event {
    EventKind kind;
    std::u16string instancePath;
    GUID interfaceClass{};
    std::u16string symbolicLink;
};
// Callbacks run on the Plug and Play thread; returns a cookie for Unsubscribe.
int Subscribe(std::function<void(const Event&)> callback);
void Unsubscribe(int cookie);

// ---- For the I/O manager -----------------------------------------------------------
// A file object on a device stack closed: a removal waiting for the last
// handle may go on.
void FileClosed(PDEVICE_OBJECT device);
void FileOpened(PDEVICE_OBJECT device);

}  // namespace qk::nt::pnp
