// The release quarantine (quarantine/quarantine.h): a ring of held blocks, grown in the
// runtime heap, under one lock that no other lock is taken under.
#include "quarantine/quarantine.h"

#include "frame/locks.h"
#include "frame/runtime_heap.h"

#include <cstring>

namespace velt::zur::memory::detail {

bool quarantine_on = false;

namespace {

SpinLock quarantine_lock;
std::uint32_t limit_bytes = 0;
unsigned char fill_byte = 0;
QuarantineGiveBack give_back = nullptr;
QuarantineChanged report_changed = nullptr;

// The ring: `count` blocks from `first`, oldest first, in `capacity` slots (a power of two).
QuarantinedBlock* ring = nullptr;
std::uint32_t capacity = 0;
std::uint32_t first = 0;
std::uint32_t count = 0;
std::uint64_t bytes_held = 0;

constexpr std::uint32_t kFirstCapacity = 1024;
// Blocks that leave with one admission are handled this many at a time outside the lock.
constexpr std::uint32_t kLeaveBatch = 32;

// Offset of the first byte from `from` to `to` of `block` that is not the fill, or `to`.
std::uint32_t firstChanged(const unsigned char* block, std::uint32_t from, std::uint32_t to,
                           unsigned char fill) {
    const std::uint64_t word = 0x0101010101010101ull * fill;
    std::uint32_t at = from;
    while (at + 8 <= to) {
        std::uint64_t value;
        std::memcpy(&value, block + at, sizeof value);
        if (value != word)
            break;
        at += 8;
    }
    while (at < to && block[at] == fill)
        ++at;
    return at;
}

// Verifies a block that has left the list, then gives it back.
void leave(const QuarantinedBlock& held) {
    const std::uint32_t changed = firstChanged(held.block, held.checkedFrom, held.gross, fill_byte);
    if (changed != held.gross)
        report_changed(held, changed);
    give_back(held);
}

// Room for one more block; false when the ring cannot grow.
bool makeRoom() QJ_REQUIRES(quarantine_lock) {
    if (count < capacity)
        return true;
    const std::uint32_t grown = capacity == 0 ? kFirstCapacity : capacity * 2;
    auto* bigger =
        static_cast<QuarantinedBlock*>(heapAllocate(std::size_t{grown} * sizeof(QuarantinedBlock)));
    if (bigger == nullptr)
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
        bigger[i] = ring[(first + i) & (capacity - 1)];
    heapRelease(ring);
    ring = bigger;
    capacity = grown;
    first = 0;
    return true;
}

} // namespace

void quarantineStart(std::uint32_t limitBytes, unsigned char fill, QuarantineGiveBack giveBack,
                     QuarantineChanged changed) {
    limit_bytes = limitBytes;
    fill_byte = fill;
    give_back = giveBack;
    report_changed = changed;
    quarantine_on = limitBytes != 0;
}

void quarantineAdmit(const QuarantinedBlock& held) {
    QuarantinedBlock leaving[kLeaveBatch];
    std::uint32_t leaves = 0;
    bool noted = false;
    {
        SpinGuard guard(quarantine_lock);
        if (makeRoom()) {
            ring[(first + count) & (capacity - 1)] = held;
            ++count;
            bytes_held += held.gross;
            noted = true;
        }
        while (bytes_held > limit_bytes && count > 0 && leaves < kLeaveBatch) {
            leaving[leaves++] = ring[first];
            bytes_held -= ring[first].gross;
            first = (first + 1) & (capacity - 1);
            --count;
        }
    }
    if (!noted)
        leave(held);
    for (std::uint32_t i = 0; i < leaves; ++i)
        leave(leaving[i]);
    // A large block may push out more than one batch: the rest leave with later admissions.
}

void quarantineVerifyAll() {
    QuarantinedBlock changedBlock{};
    std::uint32_t changedAt = 0;
    bool found = false;
    {
        SpinGuard guard(quarantine_lock);
        for (std::uint32_t i = 0; i < count && !found; ++i) {
            const QuarantinedBlock& held = ring[(first + i) & (capacity - 1)];
            const std::uint32_t at =
                firstChanged(held.block, held.checkedFrom, held.gross, fill_byte);
            if (at != held.gross) {
                changedBlock = held;
                changedAt = at;
                found = true;
            }
        }
    }
    if (found)
        report_changed(changedBlock, changedAt);
}

void quarantineDrain() {
    for (;;) {
        QuarantinedBlock leaving[kLeaveBatch];
        std::uint32_t leaves = 0;
        {
            SpinGuard guard(quarantine_lock);
            while (count > 0 && leaves < kLeaveBatch) {
                leaving[leaves++] = ring[first];
                bytes_held -= ring[first].gross;
                first = (first + 1) & (capacity - 1);
                --count;
            }
        }
        if (leaves == 0)
            return;
        for (std::uint32_t i = 0; i < leaves; ++i)
            leave(leaving[i]);
    }
}

bool quarantineFind(std::uintptr_t p, QuarantinedBlock& found) {
    SpinGuard guard(quarantine_lock);
    // Newest first: a block released last is the likeliest subject.
    for (std::uint32_t i = count; i > 0; --i) {
        const QuarantinedBlock& held = ring[(first + i - 1) & (capacity - 1)];
        const auto start = reinterpret_cast<std::uintptr_t>(held.block);
        if (p >= start && p < start + held.gross) {
            found = held;
            return true;
        }
    }
    return false;
}

std::uint64_t quarantineBytes() {
    SpinGuard guard(quarantine_lock);
    return bytes_held;
}

void quarantineHoldForFork() QJ_NO_THREAD_SAFETY_ANALYSIS { quarantine_lock.lock(); }
void quarantineReleaseAfterFork() QJ_NO_THREAD_SAFETY_ANALYSIS { quarantine_lock.unlock(); }

} // namespace velt::zur::memory::detail
