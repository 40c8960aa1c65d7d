// The engine object: categories and effects from the catalogue, each
// camera's choice under HKEY_LOCAL_MACHINE\SOFTWARE\Lumora Tech\KFXE\Cameras,
// and the windows told of every change. The engine's service is its record
// that it runs ("Running", a volatile key StartKFX.exe makes): a camera's
// effects change only while it runs, as the service would apply them.
#include "outside/KfxEngine/engine.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "outside/KfxEngine/catalogue.h"
#include "outside/KfxEngine/kfx_engine.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_runtime.h"
#include "platform/win32/programs.h"
#include "windows.h"
#include "winreg.h"
#include "winuser.h"

namespace kfx {
namespace {

constexpr size_t kMaxCameraChars = 260;

qk::com::ObjectCount& Live() {
    static qk::com::ObjectCount count;
    return count;
}

// Windows of every engine object of the process: a change made through
// one client reaches the panels of all.
std::mutex g_windowsLock;  // guards Windows()
std::set<HWND>& Windows() {
    static std::set<HWND> windows;
    return windows;
}

void NotifyWindows() {
    std::vector<HWND> windows;
    {
        std::lock_guard guard(g_windowsLock);
        windows.assign(Windows().begin(), Windows().end());
    }
    const UINT message = RegisterWindowMessageW(kChangedMessage);
    for (HWND w : windows) {
        if (IsWindow(w)) PostMessageW(w, message, 0, 0);
    }
}

bool KeyExists(const std::u16string& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool Running() { return KeyExists(kRunningKey); }

// Registry key names cannot hold a backslash; camera names can.
std::u16string CameraKey(const std::u16string& camera) {
    std::u16string key = std::u16string(kEngineKey) + u"\\Cameras\\";
    for (char16_t c : camera) key += c == u'\\' ? u'#' : c;
    return key;
}

bool ValidCamera(LPCOLESTR camera, std::u16string* out) {
    if (camera == nullptr || *camera == 0) return false;
    std::u16string text;
    for (const char16_t* c = camera; *c; ++c) {
        if (text.size() == kMaxCameraChars) return false;
        text.push_back(*c);
    }
    *out = std::move(text);
    return true;
}

std::u16string ReadText(HKEY key, const char16_t* name) {
    char16_t text[128] = {};
    DWORD type = 0, bytes = sizeof text - sizeof(char16_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS || type != REG_SZ) {
        return {};
    }
    return std::u16string(text, std::min<size_t>(bytes / sizeof(char16_t), 127)).c_str();
}

bool WriteText(HKEY key, const char16_t* name, const std::u16string& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

// A list of strings in task memory, as the interface hands them out.
HRESULT StringArray(const std::vector<std::u16string>& strings, BSTR** out) {
    *out = static_cast<BSTR*>(CoTaskMemAlloc(std::max<size_t>(1, strings.size()) * sizeof(BSTR)));
    if (*out == nullptr) return E_OUTOFMEMORY;
    for (size_t i = 0; i < strings.size(); ++i) {
        (*out)[i] = SysAllocString(strings[i].c_str());
        if ((*out)[i] == nullptr) {
            FreeStrings(*out, static_cast<ULONG>(i));
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

class Engine final : public IKfxEngine, public IKfxEngineWindows {
public:
    Engine() { Live().Add(); }
    ~Engine() {
        std::lock_guard guard(g_windowsLock);
        for (HWND w : mine_) Windows().erase(w);
        Live().Remove();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKfxEngine) {
            *ppv = static_cast<IKfxEngine*>(this);
        } else if (riid == IID_IKfxEngineWindows) {
            *ppv = static_cast<IKfxEngineWindows*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Open(LPCOLESTR language) override {
        if (language == nullptr) return E_POINTER;
        // The engine's own language, or one the installation recorded.
        if (*language != 0 && !KeyExists(std::u16string(kLanguagesKey) + u"\\" + language)) return E_INVALIDARG;
        opened_ = true;
        return S_OK;
    }

    HRESULT GetCategories(ULONG* count, BSTR** names) override {
        if (count == nullptr || names == nullptr) return E_POINTER;
        *count = 0;
        *names = nullptr;
        if (!opened_) return KFX_E_NOT_OPEN;
        const auto categories = Categories();
        HRESULT hr = StringArray(categories, names);
        if (SUCCEEDED(hr)) *count = static_cast<ULONG>(categories.size());
        return hr;
    }

    HRESULT GetEffects(LPCOLESTR category, ULONG* count, BSTR** names, BSTR** thumbnails) override {
        if (category == nullptr || count == nullptr || names == nullptr || thumbnails == nullptr) return E_POINTER;
        *count = 0;
        *names = *thumbnails = nullptr;
        if (!opened_) return KFX_E_NOT_OPEN;
        std::vector<std::u16string> n, t;
        for (const Effect& e : AllEffects()) {
            if (e.category != category) continue;
            n.push_back(e.name);
            t.push_back(e.thumbnail);
        }
        if (n.empty()) return E_INVALIDARG;
        HRESULT hr = StringArray(n, names);
        if (SUCCEEDED(hr)) hr = StringArray(t, thumbnails);
        if (FAILED(hr)) {
            if (*names) FreeStrings(*names, static_cast<ULONG>(n.size()));
            *names = nullptr;
            return hr;
        }
        *count = static_cast<ULONG>(n.size());
        return S_OK;
    }

    HRESULT IsRunning(BOOL* running) override {
        if (running == nullptr) return E_POINTER;
        *running = Running();
        return S_OK;
    }

    HRESULT EnableEffects(LPCOLESTR camera, BOOL enable) override {
        std::u16string name;
        if (!ValidCamera(camera, &name)) return E_INVALIDARG;
        if (!Running()) return KFX_E_NOT_RUNNING;
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, CameraKey(name).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return E_FAIL;
        }
        const DWORD value = enable ? 1 : 0;
        const bool ok =
            RegSetValueExW(key, u"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
        RegCloseKey(key);
        if (ok) NotifyWindows();
        return ok ? S_OK : E_FAIL;
    }

    HRESULT ApplyEffect(LPCOLESTR camera, LPCOLESTR category, LPCOLESTR effect) override {
        std::u16string name;
        if (!ValidCamera(camera, &name) || category == nullptr || effect == nullptr) return E_INVALIDARG;
        if (!Running()) return KFX_E_NOT_RUNNING;
        if (!FindEffect(category, effect)) return E_FAIL;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CameraKey(name).c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
            return E_FAIL;  // effects were never switched on for the camera
        }
        DWORD enabled = 0, type = 0, bytes = sizeof enabled;
        bool ok = RegQueryValueExW(key, u"Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&enabled), &bytes) == ERROR_SUCCESS &&
                  type == REG_DWORD && enabled == 1;
        ok = ok && WriteText(key, u"Category", category) && WriteText(key, u"Effect", effect);
        RegCloseKey(key);
        if (ok) NotifyWindows();
        return ok ? S_OK : E_FAIL;
    }

    HRESULT GetCameraEffect(LPCOLESTR camera, BOOL* enabled, BSTR* category, BSTR* effect) override {
        std::u16string name;
        if (enabled == nullptr || category == nullptr || effect == nullptr) return E_POINTER;
        *enabled = FALSE;
        *category = *effect = nullptr;
        if (!ValidCamera(camera, &name)) return E_INVALIDARG;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CameraKey(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return S_FALSE;
        DWORD value = 0, type = 0, bytes = sizeof value;
        *enabled = RegQueryValueExW(key, u"Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
                   type == REG_DWORD && value == 1;
        *category = SysAllocString(ReadText(key, u"Category").c_str());
        *effect = SysAllocString(ReadText(key, u"Effect").c_str());
        RegCloseKey(key);
        return S_OK;
    }

    HRESULT ImportEffect(LPCOLESTR file, BSTR* category, BSTR* name) override {
        if (file == nullptr || category == nullptr || name == nullptr) return E_POINTER;
        *category = *name = nullptr;
        Effect imported;
        const HRESULT hr = ImportEffectFile(file, &imported);
        if (FAILED(hr)) return hr;
        *category = SysAllocString(imported.category.c_str());
        *name = SysAllocString(imported.name.c_str());
        NotifyWindows();
        return S_OK;
    }

    HRESULT RegisterWindow(HWND window) override {
        if (!IsWindow(window)) return E_INVALIDARG;
        std::lock_guard guard(g_windowsLock);
        Windows().insert(window);
        mine_.insert(window);
        return S_OK;
    }

    HRESULT UnregisterWindow(HWND window) override {
        std::lock_guard guard(g_windowsLock);
        if (mine_.erase(window) == 0) return S_FALSE;
        Windows().erase(window);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
    bool opened_ = false;
    std::set<HWND> mine_;  // under g_windowsLock
};

HRESULT CreateEngine(REFIID riid, void** ppv) {
    auto* engine = new Engine();
    const HRESULT hr = engine->QueryInterface(riid, ppv);
    engine->Release();
    return hr;
}

qk::com::StaticClassFactory g_factory(CreateEngine, Live());

}  // namespace

void FreeStrings(BSTR* strings, ULONG count) {
    if (strings == nullptr) return;
    for (ULONG i = 0; i < count; ++i) SysFreeString(strings[i]);
    CoTaskMemFree(strings);
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_KfxEngine) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

HRESULT CanUnloadNow() { return Live().CanUnloadNow(); }
long LiveObjectCount() { return Live().Value(); }

HRESULT RegisterServer() {
    return SUCCEEDED(qk::com::RegisterInprocClass(CLSID_KfxEngine, u"KFXE Engine", kEngineFile, u"Apartment")) ? S_OK
                                                                                                               : SELFREG_E_CLASS;
}

HRESULT UnregisterServer() { return SUCCEEDED(qk::com::UnregisterInprocClass(CLSID_KfxEngine)) ? S_OK : SELFREG_E_CLASS; }

void RegisterBuiltin(Starter starter) {
    qk::com::RegisterBuiltinServer(kEngineFile, {[](REFCLSID c, REFIID i, LPVOID* p) { return GetClassObject(c, i, p); },
                                                 [] { return CanUnloadNow(); }, [] { return RegisterServer(); },
                                                 [] { return UnregisterServer(); }});
    if (starter == Starter::Linked) qk::win32::RegisterProgram(u"StartKFX.exe", StartKfxMain, qk::win32::ProgramPlace::Installed);
}

}  // namespace kfx
