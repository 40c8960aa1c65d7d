// StartKFX.exe's work: the record that the engine's service runs. Kept apart
// from the engine library so that the program file needs nothing but the
// registry.
#include "outside/KfxEngine/engine.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "winreg.h"

namespace kfx {

int StartKfxMain(const char*, int) {
    // The engine's key stays; only the record that the service runs goes
    // with the machine (a volatile key would make every key below it so).
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEngineKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) return 1;
    RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunningKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return 1;
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace kfx
