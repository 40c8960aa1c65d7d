// Reference counting for the platform's COM objects: each object counts
// itself in its server's live-object count, so that a reference a program
// never releases keeps the server from unloading and shows at process end.
#pragma once

#include <atomic>

#include "objbase.h"
#include "platform/com/com_runtime.h"

namespace qk::dshow {

class RefCount {
public:
    explicit RefCount(qk::com::ObjectCount& server) : server_(server) { server_.Add(); }
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;
    virtual ~RefCount() { server_.Remove(); }

protected:
    ULONG AddRefImpl() { return refs_.fetch_add(1) + 1; }
    ULONG ReleaseImpl() {
        ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

private:
    qk::com::ObjectCount& server_;
    std::atomic<ULONG> refs_{1};
};

// Hands out an interface with one reference, the SDK's QueryInterface contract.
template <class Interface>
HRESULT Hand(Interface* object, void** out) {
    object->AddRef();
    *out = object;
    return S_OK;
}

// The live objects of the platform's DirectShow servers.
qk::com::ObjectCount& DevEnumObjects();
qk::com::ObjectCount& ProxyObjects();

// HRESULT of a kernel status as the proxy reports it to applications.
HRESULT FromStatus(NTSTATUS status);

}  // namespace qk::dshow
