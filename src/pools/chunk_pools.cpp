// Chunk pools: small main-thread blocks in 17 size classes, cut from memoryChunks of
// nominally 1 MiB. See pool_internal.h for the structures and the link encoding.
//
// Every link is checked before it is followed: it must locate the start of a chunk
// inside the chunks really cut from its memoryChunk (chunkSize * numChunks bytes, a
// little less than the nominal 1 MiB for most classes). A link that fails is reported
// and dropped; the chunk that held it is still handed out, having passed its own checks.
// A chunk given back is checked the same way before its first word is written.
#include "pools/chunk_pools.h"

#include "frame/hints.h"
#include "frame/report.h"
#include "frame/runtime_heap.h"
#include "frame/text_builder.h"
#include "pools/pool_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velt::zur::memory {

namespace detail {

using namespace pool;

namespace {

// The pool texts carry no prefix of their own.
constexpr char kChainsWrapped[] = "MemoryPool error , maxNumOfChainsPerPool wrapped";
constexpr char kIndexRefused[] = "memory.dll: setInternalPoolByIndex() fails, should not come here";
constexpr char kChunkMemoryFill[] = "chunkMemory error 0xdddddddd";
constexpr char kHeadMissing[] = "currentMemPtr == NULL";
[[maybe_unused]] constexpr char kLinkBelow[] = "less Overwritten memory in pool.";
constexpr char kLinkPast[] = "more Overwritten memory in pool.";
constexpr char kLinkFill[] = "MemoryPool error 0xdddddddd";
constexpr char kFreeUnknown[] = "memory.dll: chunkPools::free fails, should not come here!";
constexpr char kFreeBelow[] = "trying to free a ptr outside memoryChunk, less";
constexpr char kFreePast[] = "trying to free a ptr outside memoryChunk, greater";
constexpr char kFreeFill[] = "memoryPool err 0xddddddddd";

void reportPoolError(const char* message) { reportError(false, message); }

} // namespace

void poolReport(const char* message) { pool_error_sink(message); }

namespace {

void report(const char* message) { poolReport(message); }

// Reports a non-zero link that chunkAt refused. A link inside the range but off a chunk
// boundary reaches past the start of the chunk it falls in and counts as past the range.
QJ_COLD void reportBadLink([[maybe_unused]] const MemoryPool& m, [[maybe_unused]] Link link) {
#if QJ_POOL_ADDRESS_LINKS
    if (link < address(m.chunkMemory)) {
        report(kLinkBelow);
        return;
    }
#endif
    report(kLinkPast);
}

// The head of the free list is unusable: nothing is handed out.
} // namespace

void* refuseHead(const MemoryPool& m) {
    if (m.currentMemPtr == 0)
        report(kHeadMissing);
    else
        reportBadLink(m, m.currentMemPtr);
    return nullptr;
}

// The link in a chunk just taken is unusable: report it and drop the rest of the list, so
// that nothing is ever read or written through it.
void dropBadLink(MemoryPool& m, Link link) {
    if (pool::chunkAt(m, link) == nullptr)
        reportBadLink(m, link);
    if (link == kReleaseFill)
        report(kLinkFill);
    m.currentMemPtr = 0;
}

namespace {

// The memoryChunk of m, its chunks linked in address order. False when the runtime heap
// has no room for it.
QJ_COLD bool createChunkMemory(MemoryPool& m) {
    const std::uint32_t size = static_cast<std::uint32_t>(m.chunkSize);
    const std::uint32_t count = static_cast<std::uint32_t>(m.numChunks);
    auto* memory = static_cast<unsigned char*>(heapAllocate(std::size_t{size} * count));
    if (memory == nullptr)
        return false;
    unsigned char* chunk = memory;
    for (std::uint32_t k = 0; k + 1 < count; ++k, chunk += size)
        store32(chunk, linkTo(chunk + size, k + 1));
    store32(chunk, 0);
    m.chunkMemory = memory;
    m.currentMemPtr = linkTo(memory, 0);
    if (address(memory) == kReleaseFill)
        report(kChunkMemoryFill);
    return true;
}

MemoryPool* newMemoryPool(std::int32_t nominalBytes, std::int32_t classSize, MemoryPool* before) {
    void* raw = heapAllocate(sizeof(MemoryPool));
    return raw != nullptr ? new (raw) MemoryPool(nominalBytes, classSize, before) : nullptr;
}

void deleteMemoryPool(MemoryPool* m) {
    m->~MemoryPool();
    heapRelease(m);
}

} // namespace

void pushOnFreeChainList(ChunkPool& pool, MemoryPool* m) {
    m->nextWithFree = pool.firstWithFree;
    m->onFreeChainList = true;
    pool.firstWithFree = m;
}

namespace {

// Registers a MemoryPool just appended at `index` and puts it on the free chain list.
void setInternalPoolByIndex(std::uint32_t size, std::int32_t index, MemoryPool* m) {
    ChunkPool* pool = sizeToPool[size];
    if (index < 0 || index >= maxNumOfChainsPerPool) {
        report(kIndexRefused);
        return;
    }
    pool->byIndex[index] = m;
    if (!m->onFreeChainList)
        pushOnFreeChainList(*pool, m);
}

} // namespace

// The slow part of MemoryPool::alloc: walks past full MemoryPools (renumbering each with
// its position), appends one at the end of the chain when all are full, and creates the
// memoryChunk of the one that serves.
void* allocAlongChain(MemoryPool* m, std::uint32_t size, std::int32_t& index) {
    std::int32_t at = index;
    for (;;) {
        m->chainIndex = at;
        if (m->usedChunks < m->numChunks)
            break;
        ++at;
        if (m->next == nullptr) {
            if (at >= maxNumOfChainsPerPool)
                report(kChainsWrapped);
            MemoryPool* n = newMemoryPool(m->memoryChunkSize, m->chunkSize, m);
            if (n == nullptr)
                return nullptr; // no room for the bookkeeping: the block goes to the heap
            m->next = n;
            setInternalPoolByIndex(size, at, n);
        }
        m = m->next;
    }
    index = at;
    if (m->chunkMemory == nullptr && !createChunkMemory(*m))
        return nullptr;
    return takeChunk(*m);
}

// An allocation from `m` yielded nothing. If m was taken off the free chain list for it
// but still has room by its count, it goes back on, so that it is not lost to the class.
void* declined(ChunkPool& pool, MemoryPool* m) {
    if (m != nullptr && !m->onFreeChainList && m->usedChunks < m->numChunks)
        pushOnFreeChainList(pool, m);
    return nullptr;
}

void reportBadRelease(const MemoryPool& m, const unsigned char* chunk) {
    if (address(chunk) < address(m.chunkMemory))
        report(kFreeBelow);
    else
        report(kFreePast); // past the chunks, or inside one rather than at its start
    if (address(chunk) == kReleaseFill)
        report(kFreeFill);
}

namespace {

ChunkPool* chunk_pools = nullptr; // poolCount records, in the order of poolBlockSizes

} // namespace

std::int32_t poolCount = 0;
std::int32_t largestPoolSize = 0;
ChunkPool** sizeToPool = nullptr;
PoolErrorSink pool_error_sink = &reportPoolError;

MemoryPool::MemoryPool(std::int32_t nominalBytes, std::int32_t classSize, MemoryPool* before)
    : numChunks(nominalBytes / ((classSize + 3) & ~3)), chunkSize((classSize + 3) & ~3),
      chunkReciprocal(static_cast<std::uint32_t>(((std::uint64_t{1} << 32) + chunkSize - 1) /
                                                 static_cast<std::uint32_t>(chunkSize))),
      previous(before), memoryChunkSize(nominalBytes) {}

MemoryPool::~MemoryPool() {
    MemoryPool* last = this;
    while (last->next != nullptr)
        last = last->next;
    while (last != this) {
        MemoryPool* before = last->previous;
        before->next = nullptr;
        deleteMemoryPool(last);
        last = before;
    }
    heapRelease(chunkMemory);
}

void* MemoryPool::alloc(std::uint32_t size, std::int32_t& index) { return pool::allocFrom(*this, size, index); }

bool MemoryPool::free(void* chunk) {
    auto* const at = static_cast<unsigned char*>(chunk);
    const std::uintptr_t offset = pool::address(at) - pool::address(chunkMemory);
    if (QJ_UNLIKELY(chunkMemory == nullptr || offset >= pool::chunkBytes(*this))) {
        reportBadRelease(*this, at);
        return false;
    }
    const std::uint32_t number = pool::chunkNumberAt(*this, static_cast<std::uint32_t>(offset));
    if (QJ_UNLIKELY(number * static_cast<std::uint32_t>(chunkSize) != offset ||
                    pool::address(at) == kReleaseFill)) {
        reportBadRelease(*this, at);
        return false;
    }
    pool::store32(at, currentMemPtr);
    currentMemPtr = pool::linkTo(at, number);
    --usedChunks;
    return true;
}

bool setNominalChunkBytes(std::uint32_t size, std::int32_t bytes) {
    if (sizeToPool == nullptr || size > static_cast<std::uint32_t>(largestPoolSize))
        return false;
    ChunkPool* pool = sizeToPool[size];
    if (pool == nullptr || pool->first->chunkMemory != nullptr ||
        pool->first->next != nullptr || bytes < pool->first->chunkSize ||
        bytes > kNominalChunkBytes)
        return false;
    pool->first->memoryChunkSize = bytes;
    pool->first->numChunks = bytes / pool->first->chunkSize;
    return true;
}

} // namespace detail

void ChunkPools::init() {
    using namespace detail;
    if (sizeToPool != nullptr)
        return;
    std::int32_t count = 0;
    std::int32_t largest = 0;
    for (; poolBlockSizes[count] != -1; ++count)
        if (poolBlockSizes[count] > largest)
            largest = poolBlockSizes[count];

    // Memory the pools cannot get leaves them (or the class) off: every request of that
    // size then goes to the runtime heap.
    auto** table = static_cast<ChunkPool**>(heapAllocate(sizeof(ChunkPool*) * (largest + 1)));
    auto* pools = static_cast<ChunkPool*>(heapAllocate(sizeof(ChunkPool) * count));
    if (table == nullptr || pools == nullptr) {
        heapRelease(table);
        heapRelease(pools);
        return;
    }
    for (std::int32_t s = 0; s <= largest; ++s)
        table[s] = nullptr;
    std::int32_t unassigned = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        ChunkPool& pool = pools[i];
        pool.firstWithFree = nullptr;
        for (MemoryPool*& entry : pool.byIndex)
            entry = nullptr;
        pool.first = newMemoryPool(kNominalChunkBytes, poolBlockSizes[i], nullptr);
        if (pool.first != nullptr) {
            for (std::int32_t s = unassigned; s <= poolBlockSizes[i]; ++s)
                table[s] = &pool;
            pool.byIndex[0] = pool.first;
            pushOnFreeChainList(pool, pool.first);
        }
        unassigned = poolBlockSizes[i] + 1;
    }
    chunk_pools = pools;
    largestPoolSize = largest;
    poolCount = count;
    sizeToPool = table;
}

void* ChunkPools::alloc(std::uint32_t size, std::int32_t& chainIndex) {
    return detail::pool::alloc(size, chainIndex);
}

bool ChunkPools::free(void* block, std::uint32_t size, std::int32_t chainIndex) {
    using namespace detail;
    ChunkPool* const* table = sizeToPool;
    if (QJ_UNLIKELY(table == nullptr))
        return true; // the pools are gone (a release after shutdown): nothing to do
    ChunkPool* pool = size <= static_cast<std::uint32_t>(largestPoolSize) ? table[size] : nullptr;
    MemoryPool* m = nullptr;
    if (pool != nullptr && chainIndex >= 0 && chainIndex < maxNumOfChainsPerPool)
        m = pool->byIndex[chainIndex];
    if (QJ_UNLIKELY(m == nullptr)) {
        report(kFreeUnknown);
        return false;
    }
    if (QJ_UNLIKELY(!m->free(block)))
        return true; // reported; the chunk is left where it is
    --pool->first->liveBlocks;
    // A MemoryPool that was full becomes the first to be used again.
    if (!m->onFreeChainList)
        pushOnFreeChainList(*pool, m);
    return true;
}

bool ChunkPools::holds(const void* block, std::uint32_t size, std::int32_t chainIndex) {
    detail::pool::Place place{};
    return detail::pool::locate(block, size, chainIndex, place);
}

void ChunkPools::appendStatus(detail::TextBuilder& out) {
    using namespace detail;
    const std::int32_t count = poolCount;
    const ChunkPool* pools = chunk_pools;
    if (count < 1 || pools == nullptr) {
        out.appendText("ChunkPools not activated\n");
        return;
    }
    constexpr int kColumn = 16;
    out.appendText("ChunkPools\n");
    for (std::int32_t i = 0; i < count; ++i)
        out.append("%-*d", kColumn, static_cast<int>(poolBlockSizes[i]));
    out.appendText("\n");
    for (std::int32_t i = 0; i < count; ++i) {
        const MemoryPool* first = pools[i].first;
        out.append("%-*u", kColumn, static_cast<unsigned>(first != nullptr ? first->liveBlocks : 0));
    }
    out.appendText("\n");
}

char* ChunkPools::printStatus(char* buffer) {
    detail::TextBuilder out(buffer, kStatusTextLength + 1);
    appendStatus(out);
    return buffer + out.length();
}

void ChunkPools::shutdown() {
    using namespace detail;
    ChunkPool** table = sizeToPool;
    ChunkPool* pools = chunk_pools;
    const std::int32_t count = poolCount;
    // Cleared first: from here on alloc declines, free ignores and printStatus says so.
    sizeToPool = nullptr;
    chunk_pools = nullptr;
    poolCount = 0;
    heapRelease(table);
    if (pools == nullptr)
        return;
    for (std::int32_t i = 0; i < count; ++i)
        if (pools[i].first != nullptr)
            deleteMemoryPool(pools[i].first);
    heapRelease(pools);
}

} // namespace velt::zur::memory
