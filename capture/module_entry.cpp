// The entry point of the loadable K0340Dev.sys; the I/O manager looks the
// module up by this name when Plug and Play loads the driver for the camera.
#include "capture/k0340dev_entry.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                     PUNICODE_STRING RegistryPath) {
    return K0340DevDriverEntry(DriverObject, RegistryPath);
}
