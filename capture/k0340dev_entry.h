// The entry point of K0340Dev, for the loader and for tests that register the
// driver with the I/O manager by its image name "K0340Dev.sys".
#pragma once

#include "wdm.h"

extern "C" NTSTATUS K0340DevDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
