// K0340Vfw's COM server: the class factory template table of its two
// filters, DllGetClassObject, DllCanUnloadNow and the registration, in
// which the filters carry the lowest merit an automatic graph build would
// never pick (MERIT_UNLIKELY).
#include <cstring>

#include "vfw/k0340vfw.h"

namespace k0340vfw {
namespace {

constexpr DWORD kMeritUnlikely = 0x200000;

struct FactoryTemplate {
    const char16_t* name;
    const CLSID* clsid;
    HRESULT (*create)(REFIID, void**);
};

constexpr FactoryTemplate kTemplates[] = {
    {u"VFW Sample Grabber", &CLSID_VfwSampleGrabber, CreateSampleGrabber},
    {u"VFW Null Render Filter", &CLSID_VfwNullRenderer, CreateNullRenderer},
};

// Factories are static: their locks keep the library loaded.
class Factory final : public IClassFactory {
public:
    explicit Factory(const FactoryTemplate& t) : template_(t) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return template_.create(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) LiveObjects().Add();
        else LiveObjects().Remove();
        return S_OK;
    }

private:
    const FactoryTemplate& template_;
};

Factory g_factories[] = {Factory(kTemplates[0]), Factory(kTemplates[1])};

}  // namespace

qk::com::ObjectCount& LiveObjects() {
    static qk::com::ObjectCount count;
    return count;
}

}  // namespace k0340vfw

extern "C" K0340VFW_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < std::size(k0340vfw::kTemplates); ++i) {
        if (*k0340vfw::kTemplates[i].clsid == rclsid) return k0340vfw::g_factories[i].QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" K0340VFW_EXPORT HRESULT DllCanUnloadNow() { return k0340vfw::LiveObjects().CanUnloadNow(); }

// Each class under HKEY_CLASSES_ROOT\CLSID with the library as its
// in-process server, and its merit beside it.
extern "C" K0340VFW_EXPORT HRESULT DllRegisterServer() {
    for (const auto& t : k0340vfw::kTemplates) {
        HRESULT hr = qk::com::RegisterInprocClass(*t.clsid, t.name, u"K0340Vfw.dll", u"Both");
        if (FAILED(hr)) return SELFREG_E_CLASS;
        std::u16string path = u"CLSID\\" + qk::com::GuidString(*t.clsid);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS) return SELFREG_E_CLASS;
        DWORD merit = k0340vfw::kMeritUnlikely;
        LSTATUS status = RegSetValueExW(key, u"Merit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&merit), sizeof merit);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return SELFREG_E_CLASS;
    }
    return S_OK;
}

extern "C" K0340VFW_EXPORT HRESULT DllUnregisterServer() {
    HRESULT result = S_OK;
    for (const auto& t : k0340vfw::kTemplates) {
        if (FAILED(qk::com::UnregisterInprocClass(*t.clsid))) result = SELFREG_E_CLASS;
    }
    return result;
}
