// kernel32's overlapped device requests: a request issued with an
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

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
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
    std::shared_ptr<void> event;
    if (overlapped->hEvent != nullptr) {
        event = HoldEvent(overlapped->hEvent);
        if (!event) return FailWith(ERROR_INVALID_HANDLE);
        ResetEvent(overlapped->hEvent);
    }
    overlapped->InternalHigh = 0;
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
    // The completion keeps the event object alive even if the caller closes its handle first.
    NTSTATUS issued = qk::nt::io::DeviceControlAsync(
        device, code, input, inputBytes, output, outputBytes, [overlapped, event](NTSTATUS status, ULONG_PTR information) {
            overlapped->InternalHigh = information;
            __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
            SignalEvent(event);
        });
    NTSTATUS final = StatusOf(overlapped);
    // Still pending although the dispatch did not say so: it was never sent (a bad handle).
    if (final == STATUS_PENDING && issued != STATUS_PENDING) return FailWith(RtlNtStatusToDosError(issued));
    if (final == STATUS_PENDING) return FailWith(ERROR_IO_PENDING);
    return Finish(final, overlapped->InternalHigh, returned);
}

}  // namespace qk::win32

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (StatusOf(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) return FailWith(ERROR_IO_INCOMPLETE);
        const bool event = qk::win32::HoldEvent(lpOverlapped->hEvent) != nullptr;
        while (StatusOf(lpOverlapped) == STATUS_PENDING) {
            if (event) {
                WaitForSingleObject(lpOverlapped->hEvent, INFINITE);
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
