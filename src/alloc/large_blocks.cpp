// Large blocks mapped directly, and the set of released ones.
#include "alloc/large_blocks.h"

#include "alloc/aligned.h"

#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "platform/platform.h"

#include <cstddef>

namespace velt::zur::memory::detail {

std::uintptr_t large_user_offset = 0;
std::atomic<bool> large_blocks_remembered{false};

namespace {

constexpr std::size_t kPage = platform::kGuardPageSize;

// Released user pointers: an open-addressing set (linear probing, backward-shift
// deletion) with a ring that evicts the oldest once it is full. Guarded by the global
// lock; only large releases and pointers at the large offset ever take it here.
constexpr std::size_t kRemembered = 1 << 14;
constexpr std::size_t kSlots = kRemembered * 2;

std::uintptr_t slots[kSlots] QJ_GUARDED_BY(global_lock);
std::uintptr_t ring[kRemembered] QJ_GUARDED_BY(global_lock);
std::size_t ring_next QJ_GUARDED_BY(global_lock) = 0;
std::size_t ring_used QJ_GUARDED_BY(global_lock) = 0;

std::size_t home(std::uintptr_t p) {
    std::uint64_t h = static_cast<std::uint64_t>(p >> 12) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 40) & (kSlots - 1);
}

std::size_t find(std::uintptr_t p) QJ_REQUIRES(global_lock) {
    for (std::size_t i = home(p);; i = (i + 1) & (kSlots - 1)) {
        if (slots[i] == p || slots[i] == 0)
            return i;
    }
}

void erase(std::uintptr_t p) QJ_REQUIRES(global_lock) {
    std::size_t hole = find(p);
    if (slots[hole] != p)
        return;
    slots[hole] = 0;
    for (std::size_t i = (hole + 1) & (kSlots - 1); slots[i] != 0; i = (i + 1) & (kSlots - 1)) {
        const std::size_t want = home(slots[i]);
        // Move the entry back into the hole unless its home lies cyclically in (hole, i].
        const bool stays = hole <= i ? (hole < want && want <= i) : (hole < want || want <= i);
        if (!stays) {
            slots[hole] = slots[i];
            slots[i] = 0;
            hole = i;
        }
    }
}

bool remember(std::uintptr_t p) QJ_REQUIRES(global_lock) {
    if (slots[find(p)] == p)
        return false;
    if (ring_used == kRemembered)
        erase(ring[ring_next]);
    else
        ++ring_used;
    large_blocks_remembered.store(true, std::memory_order_relaxed);
    ring[ring_next] = p;
    ring_next = (ring_next + 1) % kRemembered;
    slots[find(p)] = p;
    return true;
}

// Distance from the mapping's start to the block.
std::size_t large_pad = kLargePad;
// Distance from the block to its user pointer.
std::size_t large_head = 0;

std::size_t mappedBytes(std::uint32_t gross) {
    return (std::size_t{gross} + large_pad + kPage - 1) & ~(kPage - 1);
}

// An aligned block whose alignment is beyond a page: maps enough to find a user pointer
// of that alignment, then gives back the pages before and after the block's own, so that
// what stays is shaped like every other large block of the run.
unsigned char* largeBlockMapAligned(std::uint32_t gross, std::size_t align) {
    const std::size_t bytes = mappedBytes(gross);
    auto* pages = static_cast<unsigned char*>(pagesRequest(bytes + align));
    if (pages == nullptr)
        return nullptr;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(pages);
    const std::uintptr_t user = (start + large_pad + large_head + align - 1) & ~(align - 1);
    const std::uintptr_t keep = user - large_head - large_pad;
    if (keep > start)
        platform::pagesUnmap(pages, keep - start);
    if (start + bytes + align > keep + bytes)
        platform::pagesUnmap(reinterpret_cast<void*>(keep + bytes), start + align - keep);
    return reinterpret_cast<unsigned char*>(keep + large_pad);
}

} // namespace

void setLargeBlockPlacement(std::uint32_t head) {
    large_head = head;
    large_pad = aligned_blocks ? kPage - head : kLargePad;
    large_user_offset = (large_pad + head) & 0xFFF;
}

unsigned char* largeBlockMap(std::uint32_t gross) {
    if (aligned_blocks && blockAlignment() > kPage)
        return largeBlockMapAligned(gross, blockAlignment());
    auto* pages = static_cast<unsigned char*>(pagesRequest(mappedBytes(gross)));
    return pages != nullptr ? pages + large_pad : nullptr;
}

bool largeBlockClaim(std::uintptr_t userPointer) {
    ScopedLock lock(globalLock());
    return remember(userPointer);
}

void largeBlockUnmap(unsigned char* block, std::uint32_t gross) {
    platform::pagesUnmap(block - large_pad, mappedBytes(gross));
}

bool largeBlockReleasedSlow(std::uintptr_t p) {
    ScopedLock lock(globalLock());
    return slots[find(p)] == p;
}

void largeBlockForgetSlow(std::uintptr_t p) {
    ScopedLock lock(globalLock());
    erase(p);
}

} // namespace velt::zur::memory::detail
