// The platform's DirectShow servers as in-process COM servers built into the
// process: their class factories, DllGetClassObject and DllCanUnloadNow,
// and the class registration the system's installation writes.
#include <atomic>

#include "platform/com/com_runtime.h"
#include "platform/dshow/base_classes.h"
#include "platform/dshow/com_object.h"
#include "platform/dshow/dshow_servers.h"
#include "strmif.h"

namespace qk::dshow {
namespace {

using Creator = HRESULT (*)(REFIID, void**);

// A factory is static: it lives as long as the server's code and counts only
// its locks, which keep the server loaded.
class Factory final : public IClassFactory {
public:
    Factory(qk::com::ObjectCount& objects, Creator create) : objects_(objects), create_(create) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) return Hand(static_cast<IClassFactory*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        return create_(riid, ppvObject);
    }
    HRESULT LockServer(BOOL fLock) override {
        if (fLock) objects_.Add();
        else objects_.Remove();
        return S_OK;
    }

private:
    qk::com::ObjectCount& objects_;
    const Creator create_;
};

Factory& DevEnumFactory() {
    static Factory factory(DevEnumObjects(), CreateSystemDeviceEnum);
    return factory;
}
Factory& ProxyFactory() {
    static Factory factory(ProxyObjects(), CreateKsProxy);
    return factory;
}

HRESULT DevEnumGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_SystemDeviceEnum) return CLASS_E_CLASSNOTAVAILABLE;
    return DevEnumFactory().QueryInterface(riid, ppv);
}
HRESULT DevEnumCanUnloadNow() { return DevEnumObjects().CanUnloadNow(); }

HRESULT ProxyGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_Proxy) return CLASS_E_CLASSNOTAVAILABLE;
    return ProxyFactory().QueryInterface(riid, ppv);
}
HRESULT ProxyCanUnloadNow() { return ProxyObjects().CanUnloadNow(); }

Factory& GraphFactory() {
    static Factory factory(QuartzObjects(), CreateFilterGraph);
    return factory;
}
Factory& BuilderFactory() {
    static Factory factory(QuartzObjects(), CreateCaptureGraphBuilder);
    return factory;
}
Factory& ClockFactory() {
    static Factory factory(QuartzObjects(), CreateSystemClock);
    return factory;
}
Factory& MapperFactory() {
    static Factory factory(QuartzObjects(), CreateFilterMapper);
    return factory;
}
Factory& AllocatorFactory() {
    static Factory factory(QuartzObjects(), CreateMemAllocator);
    return factory;
}

HRESULT QuartzGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid == CLSID_FilterGraph) return GraphFactory().QueryInterface(riid, ppv);
    if (clsid == CLSID_MemoryAllocator) return AllocatorFactory().QueryInterface(riid, ppv);
    if (clsid == CLSID_CaptureGraphBuilder2) return BuilderFactory().QueryInterface(riid, ppv);
    if (clsid == CLSID_SystemClock) return ClockFactory().QueryInterface(riid, ppv);
    if (clsid == CLSID_FilterMapper2) return MapperFactory().QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}
HRESULT QuartzCanUnloadNow() { return QuartzObjects().CanUnloadNow(); }
HRESULT QuartzRegister() {
    HRESULT hr = qk::com::RegisterInprocClass(CLSID_FilterGraph, u"Filter Graph", u"quartz.dll", u"Both");
    if (SUCCEEDED(hr)) hr = qk::com::RegisterInprocClass(CLSID_MemoryAllocator, u"Memory Allocator", u"quartz.dll", u"Both");
    if (SUCCEEDED(hr)) {
        hr = qk::com::RegisterInprocClass(CLSID_CaptureGraphBuilder2, u"Capture Graph Builder 2", u"quartz.dll", u"Both");
    }
    if (SUCCEEDED(hr)) hr = qk::com::RegisterInprocClass(CLSID_SystemClock, u"System Clock", u"quartz.dll", u"Both");
    if (SUCCEEDED(hr)) hr = qk::com::RegisterInprocClass(CLSID_FilterMapper2, u"Filter Mapper2", u"quartz.dll", u"Both");
    return hr;
}
HRESULT QuartzUnregister() {
    qk::com::UnregisterInprocClass(CLSID_FilterGraph);
    qk::com::UnregisterInprocClass(CLSID_CaptureGraphBuilder2);
    qk::com::UnregisterInprocClass(CLSID_SystemClock);
    qk::com::UnregisterInprocClass(CLSID_FilterMapper2);
    return qk::com::UnregisterInprocClass(CLSID_MemoryAllocator);
}

HRESULT DevEnumRegister() {
    return qk::com::RegisterInprocClass(CLSID_SystemDeviceEnum, u"System Device Enum", u"devenum.dll", u"Both");
}
HRESULT DevEnumUnregister() { return qk::com::UnregisterInprocClass(CLSID_SystemDeviceEnum); }
HRESULT ProxyRegister() {
    return qk::com::RegisterInprocClass(CLSID_Proxy, u"ActiveMovie Filter Class Manager", u"ksproxy.ax", u"Both");
}
HRESULT ProxyUnregister() { return qk::com::UnregisterInprocClass(CLSID_Proxy); }

}  // namespace

HRESULT InstallSystemServers() {
    static std::atomic<bool> builtIn{false};
    if (!builtIn.exchange(true)) {
        qk::com::RegisterBuiltinServer(u"devenum.dll", {DevEnumGetClassObject, DevEnumCanUnloadNow, DevEnumRegister,
                                                        DevEnumUnregister});
        qk::com::RegisterBuiltinServer(u"ksproxy.ax",
                                       {ProxyGetClassObject, ProxyCanUnloadNow, ProxyRegister, ProxyUnregister});
        qk::com::RegisterBuiltinServer(u"quartz.dll",
                                       {QuartzGetClassObject, QuartzCanUnloadNow, QuartzRegister, QuartzUnregister});
    }
    HRESULT hr = DevEnumRegister();
    if (SUCCEEDED(hr)) hr = ProxyRegister();
    if (SUCCEEDED(hr)) hr = QuartzRegister();
    return hr;
}

}  // namespace qk::dshow
