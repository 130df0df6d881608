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

constexpr std::uint32_t kReleaseFill = 0xDDDDDDDDu;

void reportPoolError(const char* message) { reportError(false, message); }

void report(const char* message) { pool_error_sink(message); }

std::uint32_t load32(const void* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
void store32(void* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Bytes really cut into chunks.
std::uint32_t chunkBytes(const MemoryPool& m) {
    return static_cast<std::uint32_t>(m.numChunks) * static_cast<std::uint32_t>(m.chunkSize);
}

// Number of the chunk that holds `offset`, for offset < chunkBytes(m): one multiplication
// by ceil(2^32 / chunkSize) instead of a division. The result is exact while
// offset * (chunkSize - 1) < 2^32, which a memoryChunk of at most 1 MiB keeps well within.
std::uint32_t chunkNumberAt(const MemoryPool& m, std::uint32_t offset) {
    return static_cast<std::uint32_t>((std::uint64_t{offset} * m.chunkReciprocal) >> 32);
}

// The link that locates chunk `number`, which starts at `chunk`.
Link linkTo([[maybe_unused]] const unsigned char* chunk, [[maybe_unused]] std::uint32_t number) {
#if QJ_POOL_ADDRESS_LINKS
    return static_cast<Link>(address(chunk));
#else
    return number + 1;
#endif
}

// The chunk a non-zero link locates, or null when the link is not the start of one of
// m's chunks.
unsigned char* chunkAt(const MemoryPool& m, Link link) {
#if QJ_POOL_ADDRESS_LINKS
    const std::uint32_t offset = link - static_cast<std::uint32_t>(address(m.chunkMemory));
    if (offset >= chunkBytes(m) ||
        chunkNumberAt(m, offset) * static_cast<std::uint32_t>(m.chunkSize) != offset)
        return nullptr;
    return reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(link));
#else
    const std::uint32_t number = link - 1;
    if (number >= static_cast<std::uint32_t>(m.numChunks))
        return nullptr;
    return m.chunkMemory + std::size_t{number} * static_cast<std::uint32_t>(m.chunkSize);
#endif
}

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
QJ_COLD void* refuseHead(const MemoryPool& m) {
    if (m.currentMemPtr == 0)
        report(kHeadMissing);
    else
        reportBadLink(m, m.currentMemPtr);
    return nullptr;
}

// The link in a chunk just taken is unusable: report it and drop the rest of the list, so
// that nothing is ever read or written through it.
QJ_COLD void dropBadLink(MemoryPool& m, Link link) {
    if (chunkAt(m, link) == nullptr)
        reportBadLink(m, link);
    if (link == kReleaseFill)
        report(kLinkFill);
    m.currentMemPtr = 0;
}

// Takes the head of m's free list; m has its memoryChunk and a free chunk by its count.
QJ_ALWAYS_INLINE void* takeChunk(MemoryPool& m) {
    unsigned char* const chunk = m.currentMemPtr != 0 ? chunkAt(m, m.currentMemPtr) : nullptr;
    if (QJ_UNLIKELY(chunk == nullptr))
        return refuseHead(m);
    const Link link = load32(chunk);
    ++m.usedChunks;
    // On 64-bit targets the release fill never passes chunkAt; on 32-bit ones it is an
    // address that could.
    if (QJ_UNLIKELY(link != 0 && (chunkAt(m, link) == nullptr ||
                                  (QJ_POOL_ADDRESS_LINKS && link == kReleaseFill)))) {
        dropBadLink(m, link);
        return chunk;
    }
    m.currentMemPtr = link;
    return chunk;
}

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

void pushOnFreeChainList(ChunkPool& pool, MemoryPool* m) {
    m->nextWithFree = pool.firstWithFree;
    m->onFreeChainList = true;
    pool.firstWithFree = m;
}

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

// The slow part of MemoryPool::alloc: walks past full MemoryPools (renumbering each with
// its position), appends one at the end of the chain when all are full, and creates the
// memoryChunk of the one that serves.
QJ_COLD void* allocAlongChain(MemoryPool* m, std::uint32_t size, std::int32_t& index) {
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
QJ_COLD void* declined(ChunkPool& pool, MemoryPool* m) {
    if (m != nullptr && !m->onFreeChainList && m->usedChunks < m->numChunks)
        pushOnFreeChainList(pool, m);
    return nullptr;
}

QJ_COLD void reportBadRelease(const MemoryPool& m, const unsigned char* chunk) {
    if (address(chunk) < address(m.chunkMemory))
        report(kFreeBelow);
    else
        report(kFreePast); // past the chunks, or inside one rather than at its start
    if (address(chunk) == kReleaseFill)
        report(kFreeFill);
}

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

namespace {

QJ_ALWAYS_INLINE void* allocFrom(MemoryPool& m, std::uint32_t size, std::int32_t& index) {
    if (QJ_UNLIKELY(m.usedChunks >= m.numChunks || m.chunkMemory == nullptr))
        return allocAlongChain(&m, size, index);
    return takeChunk(m);
}

QJ_ALWAYS_INLINE bool releaseInto(MemoryPool& m, void* chunk) {
    auto* const at = static_cast<unsigned char*>(chunk);
    const std::uintptr_t offset = address(at) - address(m.chunkMemory);
    if (QJ_UNLIKELY(m.chunkMemory == nullptr || offset >= chunkBytes(m))) {
        reportBadRelease(m, at);
        return false;
    }
    const std::uint32_t number = chunkNumberAt(m, static_cast<std::uint32_t>(offset));
    if (QJ_UNLIKELY(number * static_cast<std::uint32_t>(m.chunkSize) != offset ||
                    address(at) == kReleaseFill)) {
        reportBadRelease(m, at);
        return false;
    }
    store32(at, m.currentMemPtr);
    m.currentMemPtr = linkTo(at, number);
    --m.usedChunks;
    return true;
}

} // namespace

void* MemoryPool::alloc(std::uint32_t size, std::int32_t& index) { return allocFrom(*this, size, index); }

bool MemoryPool::free(void* chunk) { return releaseInto(*this, chunk); }

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
    using namespace detail;
    ChunkPool* const* table = sizeToPool;
    // Size 0 wraps round to the largest value and is refused with the sizes past 88.
    if (size - 1 >= static_cast<std::uint32_t>(largestPoolSize) || table == nullptr)
        return nullptr;
    ChunkPool* pool = table[size];
    if (pool == nullptr)
        return nullptr;
    MemoryPool* m = pool->firstWithFree;
    std::int32_t index; // the caller's chainIndex is written once, at the end
    void* chunk;
    if (m != nullptr) {
        // This allocation takes m's last free chunk: m leaves the free chain list.
        if (m->usedChunks + 1 >= m->numChunks) {
            m->onFreeChainList = false;
            pool->firstWithFree = m->nextWithFree;
        }
        index = m->chainIndex;
        chunk = allocFrom(*m, size, index);
    } else {
        // Every MemoryPool of the class is full: walk the chain from its start.
        index = 0;
        chunk = allocAlongChain(pool->first, size, index);
    }
    if (QJ_UNLIKELY(chunk == nullptr))
        return declined(*pool, m);
    ++pool->first->liveBlocks;
    chainIndex = index;
    return chunk;
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
    if (QJ_UNLIKELY(!releaseInto(*m, block)))
        return true; // reported; the chunk is left where it is
    --pool->first->liveBlocks;
    // A MemoryPool that was full becomes the first to be used again.
    if (!m->onFreeChainList)
        pushOnFreeChainList(*pool, m);
    return true;
}

bool ChunkPools::holds(const void* block, std::uint32_t size, std::int32_t chainIndex) {
    using namespace detail;
    ChunkPool* const* table = sizeToPool;
    if (table == nullptr || size > static_cast<std::uint32_t>(largestPoolSize) || chainIndex < 0 ||
        chainIndex >= maxNumOfChainsPerPool || table[size] == nullptr)
        return false;
    const MemoryPool* m = table[size]->byIndex[chainIndex];
    if (m == nullptr || m->chunkMemory == nullptr)
        return false;
    const std::uintptr_t offset = address(block) - address(m->chunkMemory);
    return offset < chunkBytes(*m) &&
           chunkNumberAt(*m, static_cast<std::uint32_t>(offset)) * static_cast<std::uint32_t>(m->chunkSize) ==
               offset;
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
