// Where the stages' memory comes from. By default the C++ heap; a driver
// points it at its pool (with its tag) before it sets a stage up, so its leak
// check and its allocation-fault injection see the stages' memory too. Each
// block remembers the routine that frees it, so blocks allocated before a
// change of source are still freed correctly after it.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace qk::dsp {

struct MemorySource {
    void* (*allocate)(std::size_t bytes, void* context) = nullptr;  // null when out of memory
    void (*release)(void* block, void* context) = nullptr;
    void* context = nullptr;
};

// Replaces the source process-wide; an empty source means the C++ heap again.
void SetMemorySource(const MemorySource& source);

// Raw blocks from the current source; Allocate throws std::bad_alloc when it fails.
void* Allocate(std::size_t bytes);
void Release(void* block) noexcept;

template <typename T>
struct SourceAllocator {
    using value_type = T;
    SourceAllocator() = default;
    template <typename U>
    SourceAllocator(const SourceAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(Allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { Release(p); }
    template <typename U>
    bool operator==(const SourceAllocator<U>&) const noexcept { return true; }
};

template <typename T>
using DspVector = std::vector<T, SourceAllocator<T>>;

}  // namespace qk::dsp
