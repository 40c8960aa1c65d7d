// K0340Vfw's COM server: the class factory template table of its two
// filters, DllGetClassObject, DllCanUnloadNow and the registration, in
// which the filters carry a merit (0x200000, the do-not-use level) that an
// automatic graph build never picks.
#include <cstring>

#include "vfw/k0340vfw.h"

namespace k0340vfw {
namespace {

constexpr DWORD kMeritUnlikely = 0x200000;

// The filters' pins as the mapper records them: the grabber takes and gives
// any type, the null renderer renders video.
const REGPINTYPES kAnyType = {&GUID_NULL, &GUID_NULL};
const REGPINTYPES kVideo = {&MEDIATYPE_Video, &GUID_NULL};
const REGFILTERPINS2 kGrabberPins[] = {
    {0, 1, 1, &kAnyType, 0, nullptr, nullptr},
    {REG_PINFLAG_B_OUTPUT, 1, 1, &kAnyType, 0, nullptr, nullptr},
};
const REGFILTERPINS2 kRendererPins[] = {
    {REG_PINFLAG_B_RENDERER, 1, 1, &kVideo, 0, nullptr, nullptr},
};

struct FactoryTemplate {
    const char16_t* name;
    const CLSID* clsid;
    HRESULT (*create)(REFIID, void**);
    const REGFILTERPINS2* pins;
    ULONG pinCount;
};

const FactoryTemplate kTemplates[] = {
    {u"VFW Sample Grabber", &CLSID_VfwSampleGrabber, CreateSampleGrabber, kGrabberPins, 2},
    {u"VFW Null Render Filter", &CLSID_VfwNullRenderer, CreateNullRenderer, kRendererPins, 1},
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
// in-process server, and in the filter mapper with its merit and pins, as
// the SDK's filter registration does.
extern "C" K0340VFW_EXPORT HRESULT DllRegisterServer() {
    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) return hr;
    for (const auto& t : k0340vfw::kTemplates) {
        hr = qk::com::RegisterInprocClass(*t.clsid, t.name, u"K0340Vfw.dll", u"Both");
        if (FAILED(hr)) break;
        REGFILTER2 filter{};
        filter.dwVersion = 2;
        filter.dwMerit = k0340vfw::kMeritUnlikely;
        filter.cPins2 = t.pinCount;
        filter.rgPins2 = t.pins;
        hr = mapper->RegisterFilter(*t.clsid, t.name, nullptr, &CLSID_LegacyAmFilterCategory, nullptr, &filter);
        if (FAILED(hr)) break;
    }
    mapper->Release();
    return FAILED(hr) ? SELFREG_E_CLASS : S_OK;
}

extern "C" K0340VFW_EXPORT HRESULT DllUnregisterServer() {
    IFilterMapper2* mapper = nullptr;
    CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                     reinterpret_cast<void**>(&mapper));
    HRESULT result = S_OK;
    for (const auto& t : k0340vfw::kTemplates) {
        // A filter the mapper never knew is no failure: the class is what goes.
        if (mapper != nullptr) mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, *t.clsid);
        if (FAILED(qk::com::UnregisterInprocClass(*t.clsid))) result = SELFREG_E_CLASS;
    }
    if (mapper != nullptr) mapper->Release();
    return result;
}
