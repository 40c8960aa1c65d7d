// Inspection and fault injection for the kernel pool (tests and the leak check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "wdm.h"

namespace qk::nt::pool {

// The tag whose bytes in memory are the four characters of `text` ("KCNw").
constexpr ULONG Tag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<uint8_t>(text[0])) | static_cast<ULONG>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<uint8_t>(text[2])) << 16 | static_cast<ULONG>(static_cast<uint8_t>(text[3])) << 24;
}
std::string TagText(ULONG tag);

struct TagStats {
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t outstandingBlocks = 0;
    uint64_t outstandingBytes = 0;
    uint64_t peakBytes = 0;
};

std::map<ULONG, TagStats> Stats();
TagStats StatsFor(ULONG tag);
uint64_t OutstandingBlocks();

// Reports (PoolLeak) every block still allocated by `driver` (or every block at
// all when driver is null), then releases them; returns how many there were.
size_t CheckLeaks(PDRIVER_OBJECT driver, const char* when);

// When set, an allocation for which the predicate returns true fails (null),
// as on a machine out of memory.
void SetFailurePredicate(std::function<bool(ULONG tag, size_t bytes, POOL_TYPE type)> predicate);

}  // namespace qk::nt::pool
