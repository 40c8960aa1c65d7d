// The COM runtime of the machine's user-mode programs: apartments per thread,
// activation of in-process servers through the class registry
// (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32), the servers' modules kept
// loaded until they can unload, task memory, and the check at process end
// that every server has let go of its objects (DllCanUnloadNow), which finds
// a reference leaked by a deliverable as the pool check finds a pool leak.
#include "platform/com/com_runtime.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/nt/machine.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"
#include "platform/win32/module_table.h"
#include "wdm.h"
#include "windows.h"

namespace qk::com {
namespace {

// Built-in servers outlive machines: the process registers them once.
std::mutex g_builtinLock;  // guards BuiltinServers()
std::map<std::u16string, ServerExports>& BuiltinServers() {
    static auto* table = new std::map<std::u16string, ServerExports>();
    return *table;
}

std::u16string Upper(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

struct Server {
    qk::win32::CodeModule* module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

// The servers one machine has loaded. A server stays loaded until
// CoFreeUnusedLibraries finds it unused, or the process ends.
class Runtime {
public:
    explicit Runtime(Machine& machine) : generation_(NextGeneration()) {
        // The module table goes after us: servers are released before their modules unload.
        qk::win32::PrepareModuleTable();
        machine.OnShutdown([this] { ProcessEnd(); });
    }
    ~Runtime() = default;

    long Generation() const { return generation_; }

    HRESULT Load(const std::u16string& file, Server** out) {
        std::lock_guard guard(lock_);
        auto key = Upper(file);
        auto it = servers_.find(key);
        if (it != servers_.end()) {
            *out = &it->second;
            return S_OK;
        }
        Server server;
        {
            std::lock_guard builtinGuard(g_builtinLock);
            auto b = BuiltinServers().find(key);
            if (b != BuiltinServers().end()) {
                server.getClassObject = b->second.getClassObject;
                server.canUnloadNow = b->second.canUnloadNow;
            }
        }
        if (server.getClassObject == nullptr) {
            std::string error;
            server.module = qk::win32::LoadCodeModule(file, &error);
            if (server.module == nullptr) {
                DbgPrint("COM: %s\n", error.c_str());
                return CO_E_DLLNOTFOUND;
            }
            server.getClassObject =
                reinterpret_cast<LPFNGETCLASSOBJECT>(qk::win32::CodeModuleExport(server.module, "DllGetClassObject"));
            server.canUnloadNow =
                reinterpret_cast<LPFNCANUNLOADNOW>(qk::win32::CodeModuleExport(server.module, "DllCanUnloadNow"));
            if (server.getClassObject == nullptr) {
                qk::win32::ReleaseCodeModule(server.module);
                return CO_E_ERRORINDLL;
            }
        }
        auto placed = servers_.emplace(key, server);
        *out = &placed.first->second;
        return S_OK;
    }

    void FreeUnused() {
        std::lock_guard guard(lock_);
        for (auto it = servers_.begin(); it != servers_.end();) {
            if (it->second.canUnloadNow != nullptr && it->second.canUnloadNow() == S_OK) {
                if (it->second.module) qk::win32::ReleaseCodeModule(it->second.module);
                it = servers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::vector<std::u16string> Loaded() {
        std::lock_guard guard(lock_);
        std::vector<std::u16string> names;
        for (const auto& [key, server] : servers_) names.push_back(key);
        return names;
    }

private:
    static long NextGeneration() {
        static std::atomic<long> next{1};
        return next.fetch_add(1);
    }

    // A server that still has objects at the end has leaked them: an
    // interface somebody never released.
    void ProcessEnd() {
        std::lock_guard guard(lock_);
        for (auto& [key, server] : servers_) {
            if (server.canUnloadNow != nullptr && server.canUnloadNow() != S_OK) {
                qk::verifier::Raise(qk::verifier::Violation::ComObjectLeak,
                                    ToUtf8(key) + " still has live objects at process end");
            }
            if (server.module) qk::win32::ReleaseCodeModule(server.module);
        }
        servers_.clear();
    }

    const long generation_;
    std::mutex lock_;  // guards servers_
    std::map<std::u16string, Server> servers_;
};

// A thread's apartment. The machine's generation tells a thread that outlived
// one machine (a test's main thread) that its old apartment is gone.
struct Apartment {
    long generation = 0;
    int initCount = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

Runtime& TheRuntime() { return Machine::Current().Component<Runtime>(); }

Apartment& CurrentApartment() {
    long generation = TheRuntime().Generation();
    if (t_apartment.generation != generation) t_apartment = Apartment{generation, 0, 0};
    return t_apartment;
}

LSTATUS ReadString(HKEY key, const char16_t* name, std::u16string* out) {
    DWORD type = 0, bytes = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_BADKEY;
    std::u16string text(bytes / 2 + 1, u'\0');
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
    if (status != ERROR_SUCCESS) return status;
    text.resize(bytes / 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    *out = text;
    return ERROR_SUCCESS;
}

}  // namespace

// ---- Platform interface ------------------------------------------------------------------

void RegisterBuiltinServer(const std::u16string& fileName, const ServerExports& exports) {
    {
        std::lock_guard guard(g_builtinLock);
        BuiltinServers()[Upper(fileName)] = exports;
    }
    // regsvr32 and the loader find the registration entry points by name too.
    std::vector<qk::win32::Export> table = {
        {"DllGetClassObject", reinterpret_cast<void*>(exports.getClassObject)},
        {"DllCanUnloadNow", reinterpret_cast<void*>(exports.canUnloadNow)},
    };
    if (exports.registerServer) table.push_back({"DllRegisterServer", reinterpret_cast<void*>(exports.registerServer)});
    if (exports.unregisterServer) {
        table.push_back({"DllUnregisterServer", reinterpret_cast<void*>(exports.unregisterServer)});
    }
    qk::win32::RegisterBuiltinModule(fileName, std::move(table));
}

std::vector<std::u16string> LoadedServers() { return TheRuntime().Loaded(); }

bool ThreadInitialised() { return CurrentApartment().initCount > 0; }

std::u16string GuidString(REFGUID guid) {
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return std::u16string(text);
}

std::string GuidText(REFGUID guid) { return ToUtf8(GuidString(guid)); }

HRESULT RegisterInprocClass(REFCLSID clsid, const std::u16string& name, const std::u16string& module,
                            const std::u16string& threadingModel) {
    std::u16string path = u"CLSID\\" + GuidString(clsid);
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    auto setString = [](HKEY k, const char16_t* valueName, const std::u16string& text) {
        return RegSetValueExW(k, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * 2));
    };
    status = setString(key, nullptr, name);
    HKEY server = nullptr;
    if (status == ERROR_SUCCESS) {
        status = RegCreateKeyExW(key, u"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &server, nullptr);
    }
    if (status == ERROR_SUCCESS) status = setString(server, nullptr, module);
    if (status == ERROR_SUCCESS) status = setString(server, u"ThreadingModel", threadingModel);
    if (server) RegCloseKey(server);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT UnregisterInprocClass(REFCLSID clsid) {
    std::u16string path = u"CLSID\\" + GuidString(clsid);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return S_OK;
    RegDeleteKeyW(key, u"InprocServer32");
    RegCloseKey(key);
    LSTATUS status = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

}  // namespace qk::com

// ---- SDK calls ---------------------------------------------------------------------------------

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    auto& apartment = qk::com::CurrentApartment();
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (apartment.initCount > 0 && apartment.model != model) return RPC_E_CHANGED_MODE;
    apartment.model = model;
    return apartment.initCount++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
    auto& apartment = qk::com::CurrentApartment();
    if (apartment.initCount > 0) --apartment.initCount;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!qk::com::ThreadInitialised()) return CO_E_NOTINITIALIZED;
    // Only in-process servers exist on this machine.
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::u16string path = u"CLSID\\" + qk::com::GuidString(rclsid) + u"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
    std::u16string module;
    LSTATUS status = qk::com::ReadString(key, nullptr, &module);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || module.empty()) return REGDB_E_READREGDB;
    qk::com::Server* server = nullptr;
    HRESULT hr = qk::com::TheRuntime().Load(module, &server);
    if (FAILED(hr)) return hr;
    return server->getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() { qk::com::TheRuntime().FreeUnused(); }

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb == 0 ? 1 : cb); }
void CoTaskMemFree(LPVOID pv) { std::free(pv); }
