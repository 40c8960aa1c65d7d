// System threads and object references.
#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/thread_object.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

using qk::nt::Kernel;
namespace verifier = qk::verifier;

namespace {
// Object types are compared by address only.
struct _OBJECT_TYPE_TAG {
    const char* name;
};
_OBJECT_TYPE_TAG g_threadType{"Thread"}, g_eventType{"Event"}, g_fileType{"File"};
POBJECT_TYPE g_threadTypePtr = reinterpret_cast<POBJECT_TYPE>(&g_threadType);
POBJECT_TYPE g_eventTypePtr = reinterpret_cast<POBJECT_TYPE>(&g_eventType);
POBJECT_TYPE g_fileTypePtr = reinterpret_cast<POBJECT_TYPE>(&g_fileType);
}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = Kernel::Get().CreateSystemThread(ThreadHandle, StartRoutine, StartContext);
    if (NT_SUCCESS(status) && ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = *ThreadHandle;
    }
    return status;
}

[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (!qk::nt::CurrentThreadContext().systemThread) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "PsTerminateSystemThread outside a system thread");
    }
    throw qk::nt::ThreadExit{ExitStatus};
}

PKTHREAD KeGetCurrentThread() { return qk::nt::CurrentThreadBody(); }

HANDLE PsGetCurrentThreadId() {
    PKTHREAD t = qk::nt::CurrentThreadBody();
    return t->UniqueThread != nullptr ? t->UniqueThread : reinterpret_cast<HANDLE>(t);
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;  // the host schedules; the value is kept for queries
    return old;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    std::shared_ptr<qk::nt::KernelObject> object;
    ACCESS_MASK granted = 0;
    NTSTATUS status = qk::nt::LookupHandle(Handle, &object, &granted);
    if (!NT_SUCCESS(status)) return status;
    if (ObjectType == *PsThreadType && std::dynamic_pointer_cast<qk::nt::SystemThread>(object) == nullptr) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (DesiredAccess != 0 && (DesiredAccess & ~granted & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED)) != 0 &&
        !(granted & GENERIC_ALL)) {
        return STATUS_ACCESS_DENIED;
    }
    void* body = object->Body();
    Kernel::Get().AddReference(body, object);
    *Object = body;
    return STATUS_SUCCESS;
}

LONG_PTR ObReferenceObject(PVOID Object) {
    Kernel& k = Kernel::Get();
    if (k.ExternalReference(Object)) return 1;
    // A body that is already referenced can be referenced again.
    if (k.DropReference(Object)) {
        k.AddReference(Object, nullptr);
        k.AddReference(Object, nullptr);
        return 1;
    }
    verifier::Raise(verifier::Violation::ObjectMisuse,
                    qk::Format("ObReferenceObject of %p, which is not a referenced object", Object));
    return 0;
}

LONG_PTR ObDereferenceObject(PVOID Object) {
    Kernel& k = Kernel::Get();
    if (k.ExternalDereference(Object)) return 0;
    if (k.DropReference(Object)) return 0;
    verifier::Raise(verifier::Violation::ObjectMisuse,
                    qk::Format("ObDereferenceObject of %p, which holds no reference", Object));
    return 0;
}
