// The engine library's server side, for linking it into a process (tests
// and tools register it under "BlinklyEx.dll"); the loadable module exports
// the same functions under the COM names.
#pragma once

#include "objbase.h"

namespace kfx {

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT CanUnloadNow();
HRESULT RegisterServer();
HRESULT UnregisterServer();
long LiveObjectCount();

// StartKFX.exe: starts the engine's service for the machine's run.
int StartKfxMain(const char* arguments, int show);

// Registers the engine library with the platform, and its service starter
// too when `Linked` (else StartKFX.exe runs from its file).
enum class Starter { Linked, FromFile };
void RegisterBuiltin(Starter starter = Starter::Linked);

}  // namespace kfx
