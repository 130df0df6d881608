// Chunk pools (placeholder until the pools land: serves nothing).
#include "pools/chunk_pools.h"

#include <cstring>

namespace velt::zur::memory {
void ChunkPools::init() {}
void* ChunkPools::alloc(std::uint32_t, std::int32_t&) { return nullptr; }
bool ChunkPools::free(void*, std::uint32_t, std::int32_t) { return false; }
char* ChunkPools::printStatus(char* buffer) {
    static const char text[] = "ChunkPools not activated\n";
    std::memcpy(buffer, text, sizeof text);
    return buffer + sizeof text - 1;
}
void ChunkPools::shutdown() {}
} // namespace velt::zur::memory
