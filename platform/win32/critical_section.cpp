// Critical sections over a recursive mutex of the host: the structure holds
// the lock object, which InitializeCriticalSection makes and
// DeleteCriticalSection frees.
#include <cstdint>
#include <mutex>

#include "wdm.h"
#include "windows.h"

namespace {

std::recursive_mutex* Lock(LPCRITICAL_SECTION section) { return static_cast<std::recursive_mutex*>(section->LockObject); }

DWORD OwnerId() { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(PsGetCurrentThreadId())); }

}  // namespace

VOID InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    *lpCriticalSection = {};
    lpCriticalSection->LockObject = new std::recursive_mutex();
}

VOID EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Lock(lpCriticalSection)->lock();
    ++lpCriticalSection->RecursionCount;
    lpCriticalSection->OwningThread = OwnerId();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!Lock(lpCriticalSection)->try_lock()) return FALSE;
    ++lpCriticalSection->RecursionCount;
    lpCriticalSection->OwningThread = OwnerId();
    return TRUE;
}

VOID LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = 0;
    Lock(lpCriticalSection)->unlock();
}

VOID DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete Lock(lpCriticalSection);
    lpCriticalSection->LockObject = nullptr;
}
