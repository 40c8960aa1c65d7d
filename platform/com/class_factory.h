// The class factory of an in-process server's class, as a static object of
// the server: it is never deleted, and a lock on it keeps the server loaded
// by counting in the server's live objects.
#pragma once

#include "objbase.h"
#include "platform/com/com_runtime.h"

namespace qk::com {

class StaticClassFactory final : public IClassFactory {
public:
    // Makes an object of the class and hands out `riid` on it (one reference).
    using Create = HRESULT (*)(REFIID riid, void** ppv);

    StaticClassFactory(Create create, ObjectCount& live) : create_(create), live_(live) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return create_(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) live_.Add();
        else live_.Remove();
        return S_OK;
    }

private:
    Create create_;
    ObjectCount& live_;
};

}  // namespace qk::com
