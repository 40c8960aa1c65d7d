// The I/O manager of the simulated kernel: driver and device objects, the
// object namespace (device names and symbolic links), IRPs and their
// completion, and the user-mode entry into a named device. Kernel code calls
// it through the WDK functions in wdm.h; the Plug and Play manager, the win32
// layer and tests use the C++ interface below.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/machine.h"
#include "wdm.h"

namespace qk::nt::io {

// ---- Drivers --------------------------------------------------------------------
// Drivers linked into the process register their entry under their image
// file name ("K0340Dev.sys"); others are loaded from the system root's drivers
// folder as modules exporting DriverEntry.
void RegisterStaticDriver(std::u16string imageName, PDRIVER_INITIALIZE entry);

// Loads the driver of service `serviceName` from `imageName` (a file name in
// the drivers folder) and runs its DriverEntry; a driver already loaded is
// returned as it is.
NTSTATUS LoadDriver(const std::u16string& serviceName, const std::u16string& imageName, PDRIVER_OBJECT* driver);
// Creates a driver object directly from an entry point (tests).
NTSTATUS CreateDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
PDRIVER_OBJECT FindDriver(const std::u16string& serviceName);
// Calls the unload routine and checks that the driver left nothing behind:
// devices, pool (per tag), system threads. Returns STATUS_DEVICE_BUSY (and
// unloads nothing) while the driver still has devices.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
std::vector<PDRIVER_OBJECT> LoadedDrivers();

// ---- Namespace ---------------------------------------------------------------------
// Resolves "\\.\X", "\??\X", "\DosDevices\X", "\GLOBAL??\X" and "\Device\X"
// (following symbolic links) to the named device object and the rest of the
// path after its name (for a pin or interface reference string).
PDEVICE_OBJECT ResolveDevice(std::u16string_view path, std::u16string* remainder);
std::u16string DeviceName(PDEVICE_OBJECT device);
bool SymbolicLinkExists(std::u16string_view link);

// ---- User-mode entry ------------------------------------------------------------------
// Opens a device as CreateFile does (IRP_MJ_CREATE to the top of its stack);
// the handle closes with ZwClose (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE when the
// file object's last reference goes).
NTSTATUS OpenDevice(std::u16string_view path, ACCESS_MASK access, HANDLE* handle,
                    PFILE_OBJECT relatedFile = nullptr, const void* extendedName = nullptr, size_t extendedBytes = 0);
PFILE_OBJECT FileObjectOfHandle(HANDLE handle);
// DeviceIoControl: IRP_MJ_DEVICE_CONTROL with the buffers of the code's method,
// waiting for completion; *returned is the request's Information.
NTSTATUS DeviceControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG* returned);
// The same without waiting: `done` runs with the final status and Information
// on the thread that completes the request (possibly before this returns).
// Returns what the driver's dispatch returned (STATUS_PENDING while in flight).
NTSTATUS DeviceControlAsync(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength, std::function<void(NTSTATUS, ULONG_PTR)> done);
NTSTATUS ReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* returned);
// Cancels (IoCancelIrp) every asynchronous request still in flight on the
// file; closing the file's last handle does this before its cleanup.
void CancelFileRequests(PFILE_OBJECT file);

// ---- IRP inspection ---------------------------------------------------------------------
// IRPs allocated and not yet freed, for leak checks of whole scenarios.
size_t LiveIrpCount();
// Whether a device object of the driver is deleted but still referenced (a
// file on it is open): the driver's code must stay until it goes.
bool HasDeletedDevicesInUse(PDRIVER_OBJECT driver);

// The WDM version the machine reports to IoIsWdmVersionAvailable.
void SetWdmVersion(UCHAR major, UCHAR minor);

// Device-object hooks for the Plug and Play manager.
struct DeviceHooks {
    std::function<void(PDEVICE_OBJECT)> deleted;     // IoDeleteDevice ran
    std::function<void(PDEVICE_OBJECT)> fileOpened;  // a create on the device succeeded
    std::function<void(PDEVICE_OBJECT)> fileClosed;  // a file object on the device went
};
void SetDeviceHooks(DeviceHooks hooks);
// The Plug and Play record attached to a device object (the PnP manager's).
void SetDeviceNode(PDEVICE_OBJECT device, void* node);
void* DeviceNode(PDEVICE_OBJECT device);
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);  // without taking a reference
PDEVICE_OBJECT BottomDevice(PDEVICE_OBJECT device);

}  // namespace qk::nt::io
