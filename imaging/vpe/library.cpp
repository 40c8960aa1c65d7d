// Library start and stop: the host's hooks and the memory self-test.
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {

Library& TheLibrary() {
    static Library library;
    return library;
}

namespace {

// Allocates a small block, writes its last byte and reads it back, so that a
// host whose hook hands out unusable memory is caught at start rather than
// on the first frame.
int MemorySelfTest(VPE_MEM_ALLOC memAlloc, VPE_MEM_FREE memFree) {
    DbgPrint("Testing memory allocation ...");
    if (memAlloc == nullptr) {
        DbgPrint("Fail. MemAlloc is null\n");
        return VPE_INVALID_PARAM;
    }
    constexpr uint32_t kSize = 1024;
    void* block = nullptr;
    memAlloc(&block, kSize, VPE_MEM_SELF_TEST, nullptr);
    if (block == nullptr) {
        DbgPrint("Fail. MemAlloc returns null\n");
        return VPE_NO_MEMORY;
    }
    DbgPrint("Ok. returns 0x%08x\n", Low32(block));
    volatile uint8_t* last = static_cast<uint8_t*>(block) + kSize - 1;
    DbgPrint("Writing 123 to last byte\n");
    *last = 123;
    const int readBack = *last;
    DbgPrint("Reading back %d\n", readBack);
    if (memFree == nullptr) {
        DbgPrint("VPE: ERROR VpeMemFree is NULL!\n");
    } else {
        DbgPrint("Freeing memory 0x%08x\n", Low32(block));
        memFree(block, nullptr);
    }
    if (readBack != 123) return VPE_NO_MEMORY;
    DbgPrint("Memory test ok\n");
    DbgPrint("OK\n");
    return VPE_SUCCESS;
}

}  // namespace

}  // namespace qk::vpe

using qk::vpe::Low32;
using qk::vpe::TheLibrary;

int vpeInit(VPE_HOST_HOOK pB, VPE_HOST_HOOK pE, VPE_MEM_ALLOC memAlloc, VPE_MEM_FREE memFree, int version) {
    DbgPrint("VPE: Version %d...", VPE_VERSION);
    if (version != VPE_VERSION) {
        DbgPrint("VPE: Version mismatched, expected %d, but get %d\n", VPE_VERSION, version);
        return VPE_VERSION_MISMATCH;
    }
    DbgPrint("VPE: vpeInit, pB:%x pE:%x alloc:%x free:%x ver:%d\n", Low32(reinterpret_cast<const void*>(pB)),
             Low32(reinterpret_cast<const void*>(pE)), Low32(reinterpret_cast<const void*>(memAlloc)),
             Low32(reinterpret_cast<const void*>(memFree)), version);
    auto& lib = TheLibrary();
    lib.hostBegin = pB;
    lib.hostEnd = pE;
    lib.memAlloc = memAlloc;
    lib.memFree = memFree;
    // The colour tables of the conversions are built by the compiler; what
    // start-up resets is the frame-rate estimator shared by the contexts.
    lib.fpsBaseSet = 0;
    lib.fpsCounter = 0;
    lib.fpsEstimate = 20;
    lib.skinTest = 1;
    return qk::vpe::MemorySelfTest(memAlloc, memFree);
}

int vpeExit() {
    qk::vpe::Trace(VPE_VERBOSE_CALLS, qk::vpe::kLevelSummary, "VPE: vpeExit()\n");
    auto& lib = TheLibrary();
    lib.hostBegin = nullptr;
    lib.hostEnd = nullptr;
    return VPE_SUCCESS;
}
