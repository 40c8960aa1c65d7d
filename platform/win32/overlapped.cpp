// kernel32's events and overlapped device requests: a request issued with an
// OVERLAPPED runs on while the caller goes on; its status and byte count land
// in the OVERLAPPED and its event is set when it completes, on whatever
// thread completes it. Closing the device's last handle cancels what is still
// in flight (the I/O manager's part).
#include <atomic>
#include <memory>

#include "platform/nt/io_manager.h"
#include "platform/nt/object.h"
#include "platform/win32/overlapped.h"
#include "wdm.h"
#include "windows.h"

namespace {

class UserEvent : public qk::nt::KernelObject {
public:
    UserEvent(bool manualReset, bool signalled) {
        KeInitializeEvent(&event_, manualReset ? NotificationEvent : SynchronizationEvent, signalled ? TRUE : FALSE);
    }
    const char* TypeName() const override { return "Event"; }
    void* Body() override { return &event_; }
    PKEVENT Event() { return &event_; }

private:
    KEVENT event_;
};

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::shared_ptr<UserEvent> EventOf(HANDLE handle) {
    std::shared_ptr<UserEvent> event;
    if (handle == nullptr || !NT_SUCCESS(qk::nt::LookupHandleAs(handle, &event))) return nullptr;
    return event;
}

// The status and count a completion left, read with the ordering the
// completing thread wrote them in (status last).
NTSTATUS StatusOf(const OVERLAPPED* overlapped) {
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD returned) {
    if (returned) *returned = static_cast<DWORD>(information);
    if (!NT_SUCCESS(status)) return FailWith(RtlNtStatusToDosError(status));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

namespace qk::win32 {

BOOL DeviceIoControlOverlapped(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes, LPVOID output,
                               DWORD outputBytes, LPDWORD returned, LPOVERLAPPED overlapped) {
    std::shared_ptr<UserEvent> event;
    if (overlapped->hEvent != nullptr) {
        event = EventOf(overlapped->hEvent);
        if (!event) return FailWith(ERROR_INVALID_HANDLE);
        KeClearEvent(event->Event());
    }
    overlapped->InternalHigh = 0;
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
    // The completion keeps the event object alive even if the caller closes its handle first.
    NTSTATUS issued = qk::nt::io::DeviceControlAsync(
        device, code, input, inputBytes, output, outputBytes, [overlapped, event](NTSTATUS status, ULONG_PTR information) {
            overlapped->InternalHigh = information;
            __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
            if (event) KeSetEvent(event->Event(), 0, FALSE);
        });
    NTSTATUS final = StatusOf(overlapped);
    // Still pending although the dispatch did not say so: it was never sent (a bad handle).
    if (final == STATUS_PENDING && issued != STATUS_PENDING) return FailWith(RtlNtStatusToDosError(issued));
    if (final == STATUS_PENDING) return FailWith(ERROR_IO_PENDING);
    return Finish(final, overlapped->InternalHigh, returned);
}

}  // namespace qk::win32

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return qk::nt::InsertHandle(std::make_shared<UserEvent>(bManualReset != FALSE, bInitialState != FALSE),
                                EVENT_ALL_ACCESS);
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = EventOf(hEvent);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    KeSetEvent(event->Event(), 0, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = EventOf(hEvent);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    KeClearEvent(event->Event());
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto event = EventOf(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    NTSTATUS status = KeWaitForSingleObject(event->Event(), UserRequest, UserMode, FALSE,
                                            dwMilliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (StatusOf(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) return FailWith(ERROR_IO_INCOMPLETE);
        auto event = EventOf(lpOverlapped->hEvent);
        while (StatusOf(lpOverlapped) == STATUS_PENDING) {
            if (event) {
                KeWaitForSingleObject(event->Event(), UserRequest, UserMode, FALSE, nullptr);
            } else {
                // Without an event the caller can only be told by looking again.
                LARGE_INTEGER ms;
                ms.QuadPart = -10000;
                KeDelayExecutionThread(UserMode, FALSE, &ms);
            }
        }
    }
    return Finish(StatusOf(lpOverlapped), lpOverlapped->InternalHigh, lpNumberOfBytesTransferred);
}

BOOL CancelIo(HANDLE hFile) {
    PFILE_OBJECT file = qk::nt::io::FileObjectOfHandle(hFile);
    if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE);
    qk::nt::io::CancelFileRequests(file);
    return TRUE;
}
