#include "platform/nt/pool.h"

#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/nt/kernel.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::nt::pool {
namespace {

constexpr uint64_t kLiveMagic = 0x4C4F4F504B514C56ull;   // block in use
constexpr uint64_t kFreedMagic = 0x44454552464B5146ull;  // block freed, in quarantine
constexpr uint64_t kGuard = 0xFDFDFDFDFDFDFDFDull;
constexpr size_t kQuarantineBlocks = 512;
constexpr size_t kQuarantineBytes = 64u << 20;
constexpr size_t kFillLimit = 1u << 20;  // larger blocks are not poisoned (cost)

// 64 bytes so that the caller's block is 16-byte aligned like the target's pool.
struct alignas(16) Header {
    uint64_t magic;
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    PDRIVER_OBJECT owner;
    Header* prev;
    Header* next;
    uint64_t pad;
};
static_assert(sizeof(Header) == 64);

struct PoolState {
    std::mutex lock;  // guards everything below
    Header live{};    // sentinel of the list of live blocks
    std::deque<Header*> quarantine;
    size_t quarantineBytes = 0;
    std::map<ULONG, TagStats> stats;
    std::function<bool(ULONG, size_t, POOL_TYPE)> failure;
    PoolState() { live.prev = live.next = &live; }
};

PoolState& State() {
    static PoolState* state = new PoolState;  // lives for the process: blocks may outlive statics
    return *state;
}

uint8_t* Payload(Header* h) { return reinterpret_cast<uint8_t*>(h + 1); }

void Unlink(Header* h) {
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->prev = h->next = nullptr;
}

void Quarantine(PoolState& s, Header* h) {
    s.quarantine.push_back(h);
    s.quarantineBytes += h->size;
    while (s.quarantine.size() > kQuarantineBlocks || s.quarantineBytes > kQuarantineBytes) {
        Header* old = s.quarantine.front();
        s.quarantine.pop_front();
        s.quarantineBytes -= old->size;
        std::free(old);
    }
}

}  // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::map<ULONG, TagStats> Stats() {
    auto& s = State();
    std::lock_guard guard(s.lock);
    return s.stats;
}

TagStats StatsFor(ULONG tag) {
    auto& s = State();
    std::lock_guard guard(s.lock);
    auto it = s.stats.find(tag);
    return it == s.stats.end() ? TagStats{} : it->second;
}

uint64_t OutstandingBlocks() {
    auto& s = State();
    std::lock_guard guard(s.lock);
    uint64_t n = 0;
    for (auto& [tag, st] : s.stats) n += st.outstandingBlocks;
    return n;
}

void SetFailurePredicate(std::function<bool(ULONG, size_t, POOL_TYPE)> predicate) {
    auto& s = State();
    std::lock_guard guard(s.lock);
    s.failure = std::move(predicate);
}

size_t CheckLeaks(PDRIVER_OBJECT driver, const char* when) {
    auto& s = State();
    std::map<ULONG, std::pair<size_t, size_t>> leaked;  // tag -> blocks, bytes
    size_t count = 0;
    {
        std::lock_guard guard(s.lock);
        for (Header* h = s.live.next; h != &s.live;) {
            Header* next = h->next;
            if (driver == nullptr || h->owner == driver) {
                auto& l = leaked[h->tag];
                l.first++;
                l.second += h->size;
                auto& st = s.stats[h->tag];
                st.outstandingBlocks--;
                st.outstandingBytes -= h->size;
                Unlink(h);
                h->magic = kFreedMagic;
                std::free(h);
                ++count;
            }
            h = next;
        }
    }
    for (auto& [tag, l] : leaked) {
        verifier::Raise(verifier::Violation::PoolLeak,
                        Format("%s: %zu block(s), %zu bytes of tag '%s' still allocated", when, l.first, l.second,
                               TagText(tag).c_str()));
    }
    return count;
}

}  // namespace qk::nt::pool

using namespace qk::nt::pool;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (PoolType & 1) != 0;
    if (paged) qk::nt::CheckIrqlAtMost(APC_LEVEL, "ExAllocatePoolWithTag(PagedPool)");
    else qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    auto& s = State();
    {
        std::lock_guard guard(s.lock);
        if (s.failure && s.failure(Tag, NumberOfBytes, PoolType)) return nullptr;
    }
    if (NumberOfBytes > (SIZE_T{1} << 40)) return nullptr;
    auto* h = static_cast<Header*>(std::malloc(sizeof(Header) + NumberOfBytes + sizeof(uint64_t)));
    if (h == nullptr) return nullptr;
    h->magic = kLiveMagic;
    h->tag = Tag;
    h->type = PoolType;
    h->size = NumberOfBytes;
    h->owner = qk::nt::CurrentThreadContext().driver;
    // Fresh pool holds garbage on the target; a pattern makes reads of
    // uninitialised memory visible instead of reading lucky zeros.
    if (NumberOfBytes <= kFillLimit) std::memset(Payload(h), 0xC1, NumberOfBytes);
    std::memcpy(Payload(h) + NumberOfBytes, &kGuard, sizeof kGuard);
    std::lock_guard guard(s.lock);
    h->next = s.live.next;
    h->prev = &s.live;
    s.live.next->prev = h;
    s.live.next = h;
    auto& st = s.stats[Tag];
    st.allocations++;
    st.outstandingBlocks++;
    st.outstandingBytes += NumberOfBytes;
    if (st.outstandingBytes > st.peakBytes) st.peakBytes = st.outstandingBytes;
    return Payload(h);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag("None"));
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    POOL_TYPE type = (Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPool;
    void* p = ExAllocatePoolWithTag(type, NumberOfBytes, Tag);
    if (p != nullptr && !(Flags & POOL_FLAG_UNINITIALIZED)) std::memset(p, 0, NumberOfBytes);
    return p;
}

static void FreeBlock(PVOID P, ULONG Tag, bool checkTag) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    if (P == nullptr) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse, "ExFreePool of a null pointer");
        return;
    }
    if ((reinterpret_cast<uintptr_t>(P) & 15) != 0) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse,
                            qk::Format("ExFreePool of %p, which is not a pool block", P));
        return;
    }
    auto* h = reinterpret_cast<Header*>(P) - 1;
    if (h->magic == kLiveMagic) {
        // Freeing memory that holds a set timer or queued DPC would corrupt the queues.
        if (auto* kernel = qk::nt::Kernel::GetOrNull()) kernel->CheckFreedBlock(P, h->size);
    }
    auto& s = State();
    std::lock_guard guard(s.lock);
    if (h->magic == kFreedMagic) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse,
                            qk::Format("double free of pool block %p (tag '%s')", P, TagText(h->tag).c_str()));
        return;
    }
    if (h->magic != kLiveMagic) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse,
                            qk::Format("ExFreePool of %p, which is not a pool block", P));
        return;
    }
    if (checkTag && h->tag != Tag) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse,
                            qk::Format("block %p of tag '%s' freed with tag '%s'", P, TagText(h->tag).c_str(),
                                       TagText(Tag).c_str()));
    }
    uint64_t guardValue;
    std::memcpy(&guardValue, Payload(h) + h->size, sizeof guardValue);
    if (guardValue != kGuard) {
        qk::verifier::Raise(qk::verifier::Violation::PoolMisuse,
                            qk::Format("pool block %p (tag '%s', %zu bytes) was written past its end", P,
                                       TagText(h->tag).c_str(), h->size));
    }
    auto& st = s.stats[h->tag];
    st.frees++;
    st.outstandingBlocks--;
    st.outstandingBytes -= h->size;
    Unlink(h);
    h->magic = kFreedMagic;
    if (h->size <= kFillLimit) std::memset(Payload(h), 0xDF, h->size);
    Quarantine(s, h);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, Tag, true); }
VOID ExFreePool(PVOID P) { FreeBlock(P, 0, false); }
