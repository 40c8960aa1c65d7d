// The engine library's exports under their COM names, in the loadable
// module only (a process that links several servers keeps them apart).
#include "outside/KfxEngine/engine.h"

#define KFX_EXPORT extern "C" __attribute__((visibility("default")))

KFX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) { return kfx::GetClassObject(clsid, riid, ppv); }
KFX_EXPORT HRESULT DllCanUnloadNow() { return kfx::CanUnloadNow(); }
KFX_EXPORT HRESULT DllRegisterServer() { return kfx::RegisterServer(); }
KFX_EXPORT HRESULT DllUnregisterServer() { return kfx::UnregisterServer(); }
