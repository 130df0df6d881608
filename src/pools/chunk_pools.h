// Chunk pools: the small-block allocator for blocks made on the main thread.
// Only the main thread allocates from or releases into the pools; nothing here locks.
#ifndef QJ_POOLS_CHUNK_POOLS_H
#define QJ_POOLS_CHUNK_POOLS_H

#include <cstddef>
#include <cstdint>

namespace velt::zur::memory {

namespace detail {
class TextBuilder;
}

class ChunkPools {
public:
    // Largest gross size a pool serves.
    static constexpr std::uint32_t kLargestPoolSize = 88;

    static void init();
    // A chunk of at least `size` bytes and the chain index of the pool that served it,
    // or null when no pool takes the size or the pools cannot get memory.
    static void* alloc(std::uint32_t size, std::int32_t& chainIndex);
    // Returns a chunk; false (after a report) when no pool matches.
    static bool free(void* block, std::uint32_t size, std::int32_t chainIndex);
    // Whether `block` is the start of a chunk of the MemoryPool that `size` and
    // `chainIndex` name; a block's whole chunk is then at least `size` bytes long.
    static bool holds(const void* block, std::uint32_t size, std::int32_t chainIndex);
    // Longest status table: the title, then 17 columns of 16 characters on two lines.
    static constexpr std::size_t kStatusTextLength = 557;
    // Appends the status table to `out`.
    static void appendStatus(detail::TextBuilder& out);
    // Writes the status table at `buffer`, which holds at least kStatusTextLength + 1
    // bytes; returns the position of its terminating zero.
    static char* printStatus(char* buffer);
    static void shutdown();
};

} // namespace velt::zur::memory

#endif // QJ_POOLS_CHUNK_POOLS_H
