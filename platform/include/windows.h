// User-mode services of the simulated machine, under the SDK's names: only the
// subset the package's user-mode code calls.
#pragma once

#include "minwindef.h"
#include "winreg.h"

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#endif
#define FILE_SHARE_READ_W 0x00000001
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_ATTRIBUTE_NORMAL_W 0x00000080

// More system error codes of the file and device calls.
#define ERROR_BAD_FORMAT 11
#define ERROR_HANDLE_EOF 38
#define ERROR_BAD_COMMAND 22
#define ERROR_FILE_EXISTS 80
#define ERROR_SEM_TIMEOUT 121
#define ERROR_IO_PENDING 997
#define ERROR_OPERATION_ABORTED 995
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_NOT_READY 21
#define ERROR_BUSY 170
#define ERROR_DEV_NOT_EXIST 55
#define ERROR_INVALID_USER_BUFFER 1784
#define ERROR_NO_MATCH_W 1169
#define ERROR_SET_NOT_FOUND 1170
#define ERROR_NOT_FOUND 1168
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_DELETE_PENDING 303

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

DWORD GetLastError();
VOID SetLastError(DWORD dwErrCode);
// The system error code for a kernel status (the mapping the user-mode calls use).
ULONG RtlNtStatusToDosError(NTSTATUS Status);

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
// Folders of the machine's drive C: the parent must exist; an existing
// folder is ERROR_ALREADY_EXISTS.
BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY_W 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE_W 0x00000020
DWORD GetFileAttributesW(LPCWSTR lpFileName);

// ---- Critical sections and the local heap ----------------------------------------------
// A critical section is recursive for its owning thread, as on the target; the
// structure only holds the platform's lock object.
typedef struct _CRITICAL_SECTION {
    void* LockObject;
    LONG RecursionCount;
    DWORD OwningThread;
    ULONG_PTR Reserved[3];
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;
VOID InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

typedef void* HLOCAL;
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

#include "libloaderapi.h"
#include "sysinfoapi.h"
#include "synchapi.h"

// ---- Overlapped device requests --------------------------------------------------------
#define ERROR_IO_INCOMPLETE 996
// DeviceIoControl with an OVERLAPPED returns at once: TRUE when the request
// finished, else FALSE with ERROR_IO_PENDING; Internal holds the status and
// InternalHigh the bytes returned, and hEvent (reset first) is set when the
// request completes. Closing the device's last handle cancels what is in flight.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);
