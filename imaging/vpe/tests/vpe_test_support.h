// Shared by the effects library's tests: memory hooks that count what they
// hand out, and a context made the way the capture driver makes it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "imaging/vpe/vpe.h"
#include "platform/nt/debug.h"

namespace qk::vpe::testing {

struct HookLog {
    int allocations[128] = {};  // by kind (kinds above 127 counted at 127)
    int frees = 0;
    bool failAllocations = false;
    void* lastOwner = nullptr;
};
inline HookLog& Log() {
    static HookLog log;
    return log;
}

inline void CountingAlloc(void** pointer, uint32_t size, int32_t kind, void* owner) {
    HookLog& log = Log();
    ++log.allocations[kind < 0 ? 0 : kind > 127 ? 127 : kind];
    log.lastOwner = owner;
    *pointer = log.failAllocations ? nullptr : std::aligned_alloc(64, (size_t(size) + 63) / 64 * 64);
}
inline void CountingFree(void* pointer, void*) {
    ++Log().frees;
    std::free(pointer);
}

// The library started with counting hooks; every test starts from a clean
// log, verbose switches off and a fresh frame-rate estimator.
class VpeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log() = HookLog{};
        ASSERT_EQ(vpeInit(nullptr, nullptr, CountingAlloc, CountingFree, VPE_VERSION), VPE_SUCCESS);
        qk::debug::Clear();
    }
    void TearDown() override {
        for (PVPE_CONTEXT c : contexts_) {
            vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, 0);
            vpeSetAttrib(c, VPE_ATTR_VERBOSE_LEVEL, 0);
            vpeDestroy(c);
        }
    }
    // A context as the driver makes it (flip flags 2: RGB24 is bottom-up).
    PVPE_CONTEXT NewContext(int32_t flipFlags = VPE_FLIP_RGB24) {
        PVPE_CONTEXT c = nullptr;
        EXPECT_EQ(vpeCreate(&c, flipFlags, nullptr), VPE_SUCCESS);
        contexts_.push_back(c);
        return c;
    }
    std::vector<PVPE_CONTEXT> contexts_;
};

}  // namespace qk::vpe::testing
