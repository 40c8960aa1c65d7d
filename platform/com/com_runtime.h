// The platform side of the COM runtime: what the system's own in-process
// servers (built into the process) and the tests need beyond the SDK calls
// of objbase.h.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "objbase.h"

namespace qk::com {

// The exports of an in-process server built into the process: the system's
// own libraries ("quartz.dll") and, in tests, deliverables linked in.
struct ServerExports {
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
    HRESULT (*registerServer)() = nullptr;
    HRESULT (*unregisterServer)() = nullptr;
};
void RegisterBuiltinServer(const std::u16string& fileName, const ServerExports& exports);

// Live objects of one built-in server; its DllCanUnloadNow answers S_OK only
// at zero. Platform objects count themselves in their constructor and
// destructor (LiveObject below).
class ObjectCount {
public:
    void Add() { count_.fetch_add(1); }
    void Remove() { count_.fetch_sub(1); }
    long Value() const { return count_.load(); }
    HRESULT CanUnloadNow() const { return count_.load() == 0 ? S_OK : S_FALSE; }

private:
    std::atomic<long> count_{0};
};

// The in-process servers loaded at the moment (file names).
std::vector<std::u16string> LoadedServers();

// Whether the calling thread has initialised COM.
bool ThreadInitialised();

// Writes an in-process server's class registration in HKEY_CLASSES_ROOT\CLSID:
// the default value (the class name), InprocServer32 (module, ThreadingModel).
HRESULT RegisterInprocClass(REFCLSID clsid, const std::u16string& name, const std::u16string& module,
                            const std::u16string& threadingModel);
HRESULT UnregisterInprocClass(REFCLSID clsid);

// "{6DB09BC4-9E27-4AC1-B2A9-07442E08A16C}".
std::u16string GuidString(REFGUID guid);
std::string GuidText(REFGUID guid);

}  // namespace qk::com
