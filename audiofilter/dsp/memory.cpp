#include "audiofilter/dsp/memory.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace qk::dsp {

namespace {

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

std::mutex g_lock;  // guards g_source
MemorySource g_source{HeapAllocate, HeapRelease, nullptr};

// Ahead of every block: who frees it. 16 bytes keep the block aligned for floats and complex pairs.
struct alignas(16) BlockHeader {
    void (*release)(void*, void*);
    void* context;
};
static_assert(sizeof(BlockHeader) == 16);

}  // namespace

void SetMemorySource(const MemorySource& source) {
    std::lock_guard guard(g_lock);
    g_source = source.allocate != nullptr && source.release != nullptr ? source
                                                                         : MemorySource{HeapAllocate, HeapRelease, nullptr};
}

void* Allocate(std::size_t bytes) {
    MemorySource source;
    {
        std::lock_guard guard(g_lock);
        source = g_source;
    }
    if (bytes > static_cast<std::size_t>(-1) - sizeof(BlockHeader)) throw std::bad_alloc();
    void* raw = source.allocate(bytes + sizeof(BlockHeader), source.context);
    if (raw == nullptr) throw std::bad_alloc();
    auto* header = static_cast<BlockHeader*>(raw);
    header->release = source.release;
    header->context = source.context;
    return header + 1;
}

void Release(void* block) noexcept {
    if (block == nullptr) return;
    auto* header = static_cast<BlockHeader*>(block) - 1;
    header->release(header, header->context);
}

}  // namespace qk::dsp
