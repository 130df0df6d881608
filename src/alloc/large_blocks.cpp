// Large blocks mapped directly, and the set of released ones.
#include "alloc/large_blocks.h"

#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "platform/platform.h"

#include <cstddef>

namespace velt::zur::memory::detail {

std::uintptr_t large_user_offset = 0;

namespace {

constexpr std::size_t kPage = platform::kGuardPageSize;

// Released user pointers: an open-addressing set (linear probing, backward-shift
// deletion) with a ring that evicts the oldest once it is full. Guarded by the global
// lock; only large releases and pointers at the large offset ever take it here.
constexpr std::size_t kRemembered = 1 << 14;
constexpr std::size_t kSlots = kRemembered * 2;

std::uintptr_t slots[kSlots];
std::uintptr_t ring[kRemembered];
std::size_t ring_next = 0;
std::size_t ring_used = 0;

std::size_t home(std::uintptr_t p) {
    std::uint64_t h = static_cast<std::uint64_t>(p >> 12) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 40) & (kSlots - 1);
}

std::size_t find(std::uintptr_t p) {
    for (std::size_t i = home(p);; i = (i + 1) & (kSlots - 1)) {
        if (slots[i] == p || slots[i] == 0)
            return i;
    }
}

void erase(std::uintptr_t p) {
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

void remember(std::uintptr_t p) {
    if (slots[find(p)] == p)
        return;
    if (ring_used == kRemembered)
        erase(ring[ring_next]);
    else
        ++ring_used;
    ring[ring_next] = p;
    ring_next = (ring_next + 1) % kRemembered;
    slots[find(p)] = p;
}

std::size_t mappedBytes(std::uint32_t gross) {
    return (std::size_t{gross} + kLargePad + kPage - 1) & ~(kPage - 1);
}

} // namespace

unsigned char* largeBlockMap(std::uint32_t gross) {
    auto* pages = static_cast<unsigned char*>(pagesRequest(mappedBytes(gross)));
    return pages != nullptr ? pages + kLargePad : nullptr;
}

void largeBlockUnmap(unsigned char* block, std::uint32_t gross, std::uintptr_t userPointer) {
    {
        ScopedLock lock(globalLock());
        remember(userPointer);
    }
    platform::pagesUnmap(block - kLargePad, mappedBytes(gross));
}

bool largeBlockReleased(std::uintptr_t p) {
    ScopedLock lock(globalLock());
    return slots[find(p)] == p;
}

void largeBlockForget(std::uintptr_t p) {
    ScopedLock lock(globalLock());
    erase(p);
}

} // namespace velt::zur::memory::detail
