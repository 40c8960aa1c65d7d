// K0340Vfw built into a process (tests, the command-line tool) under its
// file name, with the exports the loadable module has.
#include "platform/com/com_runtime.h"
#include "platform/win32/module_table.h"
#include "vfw/builtin.h"
#include "vfw/k0340vfw.h"

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace k0340vfw {

void RegisterBuiltin() {
    qk::com::RegisterBuiltinServer(u"K0340Vfw.dll", {DllGetClassObject, DllCanUnloadNow, DllRegisterServer,
                                                     DllUnregisterServer});
    // The module table gets every export, DriverProc included.
    qk::win32::RegisterBuiltinModule(u"K0340Vfw.dll", {
                                                          {"DriverProc", reinterpret_cast<void*>(DriverProc)},
                                                          {"DllGetClassObject", reinterpret_cast<void*>(DllGetClassObject)},
                                                          {"DllCanUnloadNow", reinterpret_cast<void*>(DllCanUnloadNow)},
                                                          {"DllRegisterServer", reinterpret_cast<void*>(DllRegisterServer)},
                                                          {"DllUnregisterServer", reinterpret_cast<void*>(DllUnregisterServer)},
                                                      });
}

long LiveObjectCount() { return LiveObjects().Value(); }

}  // namespace k0340vfw
