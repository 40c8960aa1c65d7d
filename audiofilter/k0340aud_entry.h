// K0340Aud's driver entry, for the loadable module and for processes that
// link the driver in (registered under the image name "K0340Aud.sys").
#pragma once

#include "wdm.h"

NTSTATUS K0340AudDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
