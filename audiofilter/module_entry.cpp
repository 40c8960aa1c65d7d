// The entry point of the loadable K0340Aud.sys.
#include "audiofilter/k0340aud_entry.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                     PUNICODE_STRING RegistryPath) {
    return K0340AudDriverEntry(DriverObject, RegistryPath);
}
