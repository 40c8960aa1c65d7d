// kernel32's file and device calls: a user-mode path reaches a named device
// ("\\.\Name") through IRP_MJ_CREATE/DEVICE_CONTROL/CLOSE, or a file of the
// system root ("C:\...") through the kernel's file calls. Handles are the
// kernel's: the machine has one address space and one handle table.
#include <cstring>
#include <string>

#include "platform/nt/io_manager.h"
#include "platform/nt/object.h"
#include "platform/nt/wformat.h"
#include "platform/win32/overlapped.h"
#include "windows.h"
#include "wdm.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct StatusMapping {
    NTSTATUS status;
    ULONG error;
};

constexpr StatusMapping kMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
    {STATUS_DELETE_PENDING, ERROR_DELETE_PENDING},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_DATA_ERROR, ERROR_GEN_FAILURE},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_NO_MATCH, ERROR_NO_MATCH_W},
    {STATUS_PROPSET_NOT_FOUND, ERROR_SET_NOT_FOUND},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_TOO_MANY_OPENED_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
    {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
    {STATUS_DISK_FULL, ERROR_CANTWRITE},
};

BOOL Fail(NTSTATUS status) {
    t_lastError = RtlNtStatusToDosError(status);
    return FALSE;
}

bool IsDevicePath(const std::u16string& path) {
    return path.rfind(u"\\\\.\\", 0) == 0 || path.rfind(u"\\\\?\\", 0) == 0 || path.rfind(u"\\??\\", 0) == 0;
}

// A drive path of the system root for the kernel's file calls.
bool KernelFilePath(const std::u16string& path, std::u16string* kernel) {
    if (path.size() >= 3 && (path[0] == u'C' || path[0] == u'c') && path[1] == u':' && path[2] == u'\\') {
        *kernel = u"\\??\\C:" + path.substr(2);
        return true;
    }
    return false;
}

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    for (const auto& m : kMappings) {
        if (m.status == Status) return m.error;
    }
    // Other warnings and errors: a general failure.
    return NT_SUCCESS(Status) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

DWORD GetLastError() { return t_lastError; }
VOID SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path(lpFileName);
    HANDLE handle;
    NTSTATUS status;
    std::u16string kernel;
    if (IsDevicePath(path)) {
        if (dwCreationDisposition != OPEN_EXISTING) {
            Fail(STATUS_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        status = qk::nt::io::OpenDevice(path, dwDesiredAccess, &handle);
    } else if (KernelFilePath(path, &kernel)) {
        static constexpr ULONG kDisposition[] = {0, FILE_CREATE, FILE_OVERWRITE_IF, FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
        if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
            Fail(STATUS_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        UNICODE_STRING name{static_cast<USHORT>(kernel.size() * 2), static_cast<USHORT>(kernel.size() * 2), kernel.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        status = ZwCreateFile(&handle, dwDesiredAccess, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, dwShareMode,
                              kDisposition[dwCreationDisposition], FILE_NON_DIRECTORY_FILE, nullptr, 0);
    } else {
        status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    t_lastError = ERROR_SUCCESS;
    return handle;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // The ANSI code page of the machine is ISO 8859-1.
    std::u16string wide;
    for (const char* p = lpFileName; *p; ++p) wide.push_back(static_cast<unsigned char>(*p));
    return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (hDevice == nullptr || hDevice == INVALID_HANDLE_VALUE) return Fail(STATUS_INVALID_HANDLE);
    if (lpOverlapped != nullptr) {
        return qk::win32::DeviceIoControlOverlapped(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                    nOutBufferSize, lpBytesReturned, lpOverlapped);
    }
    ULONG returned = 0;
    NTSTATUS status = qk::nt::io::DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                nOutBufferSize, &returned);
    if (lpBytesReturned) *lpBytesReturned = returned;
    // Warnings (a partial answer) fail the call but still report what was returned.
    if (!NT_SUCCESS(status)) return Fail(status);
    t_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) return Fail(STATUS_NOT_SUPPORTED);
    ULONG got = 0;
    NTSTATUS status;
    if (qk::nt::io::FileObjectOfHandle(hFile) != nullptr) {
        status = qk::nt::io::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, &got);
    } else {
        IO_STATUS_BLOCK iosb{};
        status = ZwReadFile(hFile, nullptr, nullptr, nullptr, &iosb, lpBuffer, nNumberOfBytesToRead, nullptr, nullptr);
        got = static_cast<ULONG>(iosb.Information);
        if (status == STATUS_END_OF_FILE) status = STATUS_SUCCESS;  // reading at the end reads nothing
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = got;
    if (!NT_SUCCESS(status)) return Fail(status);
    t_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) return Fail(STATUS_NOT_SUPPORTED);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwWriteFile(hFile, nullptr, nullptr, nullptr, &iosb, const_cast<LPVOID>(lpBuffer),
                                  nNumberOfBytesToWrite, nullptr, nullptr);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(iosb.Information);
    if (!NT_SUCCESS(status)) return Fail(status);
    t_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    // A bad handle is the caller's error to see, not a verifier matter in user mode.
    NTSTATUS status = qk::nt::CloseHandle(hObject, false);
    if (!NT_SUCCESS(status)) return Fail(status);
    return TRUE;
}
