// Chunk pools, the inside view: size classes, the per-class chain of MemoryPools and the
// free-chunk links. chunk_pools.cpp and the pool unit tests include this; the rest of the
// library goes through chunk_pools.h.
//
// Three levels: each size class has one ChunkPool; a ChunkPool is a chain of up to
// maxNumOfChainsPerPool MemoryPools, numbered by chainIndex in chain order; a MemoryPool
// owns one memoryChunk of nominally 1 MiB cut into equal chunks. Free chunks form a
// singly linked list through their first four bytes.
//
// Free-chunk links are four bytes wide on every target, since class 4 has four-byte
// chunks:
//   - 32-bit targets: the address of the next free chunk, 0 at the end of the list.
//   - 64-bit targets: the number of the next free chunk within the same memoryChunk,
//     counted from 1 (chunk k is at chunkMemory + k * chunkSize and has the link k + 1);
//     0 ends the list. Such a link cannot point below the memoryChunk or between two
//     chunks; every value past the last chunk, the release fill 0xdddddddd among them,
//     points past it.
// Either way a link is followed only after it has been checked to be the start of a
// chunk of the same memoryChunk, so an overwritten link is reported, never followed.
//
// Only the main thread allocates from and releases into the pools; nothing here locks.
#ifndef QJ_POOLS_POOL_INTERNAL_H
#define QJ_POOLS_POOL_INTERNAL_H

#include "frame/hints.h"

#include <cstdint>
#include <cstring>

#if UINTPTR_MAX > 0xFFFFFFFFu
#define QJ_POOL_ADDRESS_LINKS 0
#else
#define QJ_POOL_ADDRESS_LINKS 1
#endif

namespace velt::zur::memory::detail {

// The size classes in ascending order, ended by -1. The class 58 has chunks of 60 bytes.
constexpr std::int32_t poolBlockSizes[] = {4,  8,  12, 16, 20, 24, 28, 32, 48,
                                           58, 64, 68, 72, 76, 80, 84, 88, -1};

constexpr std::int32_t maxNumOfChainsPerPool = 512;
// Nominal size of a memoryChunk; the chunks cut from it take chunkSize * numChunks bytes.
constexpr std::int32_t kNominalChunkBytes = 0x100000;

using Link = std::uint32_t;

class MemoryPool {
public:
    MemoryPool(std::int32_t nominalBytes, std::int32_t classSize, MemoryPool* before);
    // Releases the MemoryPools chained after this one, from the end of the chain back
    // towards this one, then this one's memoryChunk.
    ~MemoryPool();
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    // A chunk from this MemoryPool, or from the first one further along the chain that
    // has room (appending one when none has); `index` comes in as this one's chainIndex
    // and goes out as the chainIndex of the one that served. Null when no chunk can be
    // handed out safely.
    void* alloc(std::uint32_t size, std::int32_t& index);
    // Puts a chunk back at the head of the free list; false (after a report) when it is
    // not a chunk of this memoryChunk, and then nothing is written.
    bool free(void* chunk);

    // The fields that every allocation and release touches come first.
    unsigned char* chunkMemory = nullptr; // the memoryChunk; null until the first chunk is taken
    Link currentMemPtr = 0;               // head of the free-chunk list, as a link
    std::int32_t usedChunks = 0;          // chunks handed out and not yet returned
    std::int32_t numChunks = 0;           // memoryChunkSize / chunkSize
    std::int32_t chunkSize = 0;           // class size rounded up to a multiple of 4
    std::uint32_t chunkReciprocal = 0;    // ceil(2^32 / chunkSize), see chunkNumberAt
    std::int32_t chainIndex = 0;          // position in the chain, 0 for the first
    std::uint32_t liveBlocks = 0;         // live blocks of the whole class; first MemoryPool only
    bool onFreeChainList = false;         // linked into the ChunkPool's free chain list
    MemoryPool* nextWithFree = nullptr;   // next MemoryPool in that list
    MemoryPool* next = nullptr;           // next in the chain; owned
    MemoryPool* previous = nullptr;       // the MemoryPool this one was appended to
    std::int32_t memoryChunkSize = 0;     // nominal size, copied along the chain
};

struct ChunkPool {
    MemoryPool* first;          // chain index 0; owns the chain
    MemoryPool* firstWithFree;  // head of the free chain list, used as a stack
    MemoryPool* byIndex[maxNumOfChainsPerPool]; // by chainIndex; not owning
};

// Set up by ChunkPools::init, cleared by ChunkPools::shutdown (largestPoolSize stays).
extern std::int32_t poolCount;
extern QJ_HIDDEN std::int32_t largestPoolSize;
extern QJ_HIDDEN ChunkPool** sizeToPool; // largestPoolSize + 1 entries, by gross size

// Where pool errors go: a fatal reportError in the library. The unit tests point it at a
// recorder, so that they can see the reports without setting the sticky failure flag.
using PoolErrorSink = void (*)(const char* message);
extern PoolErrorSink pool_error_sink;

// Test hook: gives the class that serves `size` a nominal memoryChunk of `bytes` (at least
// one chunk, at most kNominalChunkBytes) before its first chunk is taken. MemoryPools
// appended later copy it, as they copy the real one. False when that is not possible.
bool setNominalChunkBytes(std::uint32_t size, std::int32_t bytes);


// --- The hot paths, inlined into the allocation front end --------------------------

constexpr std::uint32_t kReleaseFill = 0xDDDDDDDDu;

// Reports through pool_error_sink.
void poolReport(const char* message);
// The cold parts of the paths below (chunk_pools.cpp).
QJ_COLD void* refuseHead(const MemoryPool& m);
QJ_COLD void dropBadLink(MemoryPool& m, Link link);
QJ_COLD void* allocAlongChain(MemoryPool* m, std::uint32_t size, std::int32_t& index);
QJ_COLD void* declined(ChunkPool& pool, MemoryPool* m);
QJ_COLD void reportBadRelease(const MemoryPool& m, const unsigned char* chunk);
QJ_COLD void pushOnFreeChainList(ChunkPool& pool, MemoryPool* m);

namespace pool {

inline std::uint32_t load32(const void* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline void store32(void* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }

inline std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Bytes really cut into chunks.
inline std::uint32_t chunkBytes(const MemoryPool& m) {
    return static_cast<std::uint32_t>(m.numChunks) * static_cast<std::uint32_t>(m.chunkSize);
}

// Number of the chunk that holds `offset`, for offset < chunkBytes(m): one multiplication
// by ceil(2^32 / chunkSize) instead of a division. The result is exact while
// offset * (chunkSize - 1) < 2^32, which a memoryChunk of at most 1 MiB keeps well within.
inline std::uint32_t chunkNumberAt(const MemoryPool& m, std::uint32_t offset) {
    return static_cast<std::uint32_t>((std::uint64_t{offset} * m.chunkReciprocal) >> 32);
}

// The link that locates chunk `number`, which starts at `chunk`.
inline Link linkTo([[maybe_unused]] const unsigned char* chunk, [[maybe_unused]] std::uint32_t number) {
#if QJ_POOL_ADDRESS_LINKS
    return static_cast<Link>(address(chunk));
#else
    return number + 1;
#endif
}

// The chunk a non-zero link locates, or null when the link is not the start of one of
// m's chunks.
inline unsigned char* chunkAt(const MemoryPool& m, Link link) {
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

QJ_ALWAYS_INLINE void* allocFrom(MemoryPool& m, std::uint32_t size, std::int32_t& index) {
    if (QJ_UNLIKELY(m.usedChunks >= m.numChunks || m.chunkMemory == nullptr))
        return allocAlongChain(&m, size, index);
    return takeChunk(m);
}

// ChunkPools::alloc.
QJ_ALWAYS_INLINE void* alloc(std::uint32_t size, std::int32_t& chainIndex) {
    ChunkPool* const* table = sizeToPool;
    // Size 0 wraps round to the largest value and is refused with the sizes past 88.
    if (QJ_UNLIKELY(size - 1 >= static_cast<std::uint32_t>(largestPoolSize) || table == nullptr))
        return nullptr;
    ChunkPool* pool = table[size];
    if (QJ_UNLIKELY(pool == nullptr))
        return nullptr;
    MemoryPool* m = pool->firstWithFree;
    std::int32_t index; // the caller's chainIndex is written once, at the end
    void* chunk;
    if (QJ_LIKELY(m != nullptr)) {
        // This allocation takes m's last free chunk: m leaves the free chain list.
        if (QJ_UNLIKELY(m->usedChunks + 1 >= m->numChunks)) {
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

// alloc for a size the front end has checked (1 to kLargestPoolSize): the head of the
// first MemoryPool with room, when it keeps room after this chunk; alloc otherwise.
QJ_ALWAYS_INLINE void* allocChecked(std::uint32_t size, std::int32_t& chainIndex) {
    ChunkPool* const* table = sizeToPool;
    ChunkPool* pool = QJ_LIKELY(table != nullptr) ? table[size] : nullptr;
    MemoryPool* m = QJ_LIKELY(pool != nullptr) ? pool->firstWithFree : nullptr;
    if (QJ_LIKELY(m != nullptr && m->chunkMemory != nullptr && m->usedChunks + 1 < m->numChunks)) {
        void* chunk = takeChunk(*m);
        if (QJ_UNLIKELY(chunk == nullptr))
            return declined(*pool, m);
        ++pool->first->liveBlocks;
        chainIndex = m->chainIndex;
        return chunk;
    }
    return alloc(size, chainIndex);
}

// The head chunk that allocChecked would take for `size` (1 to kLargestPoolSize), found
// without a change and without a call: null when the first MemoryPool with room would not
// keep room after it, or when its head or the link in the head needs allocChecked's own
// handling. takeHead then takes it.
struct Head {
    ChunkPool* pool;
    MemoryPool* memory;
    unsigned char* chunk;
    Link next;
};
QJ_ALWAYS_INLINE bool peekHead(std::uint32_t size, Head& head) {
    ChunkPool* const* table = sizeToPool;
    ChunkPool* pool = QJ_LIKELY(table != nullptr) ? table[size] : nullptr;
    MemoryPool* m = QJ_LIKELY(pool != nullptr) ? pool->firstWithFree : nullptr;
    if (QJ_UNLIKELY(m == nullptr || m->chunkMemory == nullptr || m->usedChunks + 1 >= m->numChunks ||
                    m->currentMemPtr == 0))
        return false;
    unsigned char* const chunk = chunkAt(*m, m->currentMemPtr);
    if (QJ_UNLIKELY(chunk == nullptr))
        return false;
    const Link link = load32(chunk);
    if (QJ_UNLIKELY(link != 0 && (chunkAt(*m, link) == nullptr ||
                                  (QJ_POOL_ADDRESS_LINKS && link == kReleaseFill))))
        return false;
    head = Head{pool, m, chunk, link};
    return true;
}
QJ_ALWAYS_INLINE void* takeHead(const Head& head, std::int32_t& chainIndex) {
    MemoryPool& m = *head.memory;
    ++m.usedChunks;
    m.currentMemPtr = head.next;
    ++head.pool->first->liveBlocks;
    chainIndex = m.chainIndex;
    return head.chunk;
}

// A chunk found by `locate`: its MemoryPool, its ChunkPool and its number.
struct Place {
    ChunkPool* pool;
    MemoryPool* memory;
    std::uint32_t number;
};

// Whether `block` is the start of a chunk of the MemoryPool that `size` and `chainIndex`
// name, and where (ChunkPools::holds).
QJ_ALWAYS_INLINE bool locate(const void* block, std::uint32_t size, std::int32_t chainIndex,
                             Place& place) {
    ChunkPool* const* table = sizeToPool;
    if (QJ_UNLIKELY(table == nullptr || size > static_cast<std::uint32_t>(largestPoolSize) ||
                    static_cast<std::uint32_t>(chainIndex) >= std::uint32_t{maxNumOfChainsPerPool}))
        return false;
    ChunkPool* pool = table[size];
    if (QJ_UNLIKELY(pool == nullptr))
        return false;
    MemoryPool* m = pool->byIndex[chainIndex];
    if (QJ_UNLIKELY(m == nullptr || m->chunkMemory == nullptr))
        return false;
    const std::uintptr_t offset = address(block) - address(m->chunkMemory);
    if (QJ_UNLIKELY(offset >= chunkBytes(*m)))
        return false;
    const std::uint32_t number = chunkNumberAt(*m, static_cast<std::uint32_t>(offset));
    if (QJ_UNLIKELY(number * static_cast<std::uint32_t>(m->chunkSize) != offset))
        return false;
    place = Place{pool, m, number};
    return true;
}

// Puts back a chunk that `locate` found; the release fill as an address is refused (and
// reported), as ChunkPools::free refuses it.
QJ_ALWAYS_INLINE void giveBack(void* block, const Place& place) {
    MemoryPool& m = *place.memory;
    auto* const at = static_cast<unsigned char*>(block);
    if (QJ_UNLIKELY(address(at) == kReleaseFill)) {
        reportBadRelease(m, at);
        return;
    }
    store32(at, m.currentMemPtr);
    m.currentMemPtr = linkTo(at, place.number);
    --m.usedChunks;
    --place.pool->first->liveBlocks;
    // A MemoryPool that was full becomes the first to be used again.
    if (QJ_UNLIKELY(!m.onFreeChainList))
        pushOnFreeChainList(*place.pool, &m);
}

} // namespace pool

} // namespace velt::zur::memory::detail

#endif // QJ_POOLS_POOL_INTERNAL_H
