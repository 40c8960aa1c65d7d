// The local heap: fixed blocks, zero-filled on request.
#include <cstdlib>
#include <cstring>

#include "windows.h"

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes == 0 ? 1 : uBytes) : std::malloc(uBytes == 0 ? 1 : uBytes);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
