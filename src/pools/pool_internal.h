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

#include <cstdint>

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
extern std::int32_t largestPoolSize;
extern ChunkPool** sizeToPool; // largestPoolSize + 1 entries, by gross size

// Where pool errors go: a fatal reportError in the library. The unit tests point it at a
// recorder, so that they can see the reports without setting the sticky failure flag.
using PoolErrorSink = void (*)(const char* message);
extern PoolErrorSink pool_error_sink;

// Test hook: gives the class that serves `size` a nominal memoryChunk of `bytes` (at least
// one chunk, at most kNominalChunkBytes) before its first chunk is taken. MemoryPools
// appended later copy it, as they copy the real one. False when that is not possible.
bool setNominalChunkBytes(std::uint32_t size, std::int32_t bytes);

} // namespace velt::zur::memory::detail

#endif // QJ_POOLS_POOL_INTERNAL_H
