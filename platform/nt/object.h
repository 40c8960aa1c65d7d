// Kernel objects reachable through handles. Layers that hand out handles
// (registry keys, files, threads) derive their objects from KernelObject and
// insert them here; ZwClose closes any of them.
#pragma once

#include <memory>

#include "wdm.h"

namespace qk::nt {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual const char* TypeName() const = 0;
    // The object's address as drivers see it (ObReferenceObjectByHandle):
    // for objects that wrap a target structure (a thread), that structure.
    virtual void* Body() { return this; }
};

// Returns a new handle (never null) to `object` with the access granted.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object, ACCESS_MASK granted);

// STATUS_INVALID_HANDLE for a handle that is not open (and a verifier report).
NTSTATUS LookupHandle(HANDLE handle, std::shared_ptr<KernelObject>* object, ACCESS_MASK* granted);

// As LookupHandle, and STATUS_OBJECT_TYPE_MISMATCH when the object is not a T.
template <typename T>
NTSTATUS LookupHandleAs(HANDLE handle, std::shared_ptr<T>* object, ACCESS_MASK* granted = nullptr) {
    std::shared_ptr<KernelObject> base;
    NTSTATUS status = LookupHandle(handle, &base, granted);
    if (!NT_SUCCESS(status)) return status;
    auto typed = std::dynamic_pointer_cast<T>(base);
    if (!typed) return STATUS_OBJECT_TYPE_MISMATCH;
    *object = std::move(typed);
    return STATUS_SUCCESS;
}

// Closes a handle; a handle that is not open is a verifier report unless
// `reportMisuse` is false (user-mode callers just get the error).
NTSTATUS CloseHandle(HANDLE handle, bool reportMisuse = true);
size_t OpenHandleCount();

}  // namespace qk::nt
