// User-mode synchronisation: named events and mutexes, the wait functions,
// threads, and the terminal-services session of a process. Names live in
// the machine's namespace: "Global\" names are seen from every session,
// other names (and "Local\" ones) from the caller's session only.
#pragma once

#include "minwindef.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 259
#define ERROR_NOT_OWNER 288
#define ERROR_TOO_MANY_POSTS 298
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003
#define MUTEX_ALL_ACCESS 0x001F0001

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
// Unnamed or named counting semaphores; a release past the maximum fails
// with ERROR_TOO_MANY_POSTS and changes nothing.
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCWSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
#define DUPLICATE_SAME_ACCESS 0x00000002
// Within the one process of the machine, with the source's access.
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD access, BOOL inherit,
                     DWORD options);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
VOID Sleep(DWORD milliseconds);
DWORD GetTickCount();
BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
DWORD WTSGetActiveConsoleSessionId();
