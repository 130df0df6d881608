// Aligned guarded blocks, for a host that needs the runtime heap's alignment (the
// preloaded library serving an unmodified program's malloc and operator new).
//
// When aligned_blocks is on (set before attaching, for the whole run), every heap block is
// placed so that its user pointer is aligned to the calling thread's requested_alignment
// (at least 16 bytes); the block layout from the used tag to the end tag is unchanged, so
// the tail guard still starts at the first byte past the requested size. The distance
// from the runtime block's start to the block is kept in the front word, the four bytes
// before the block, read only while the block is live; its top four bits belong to the
// host (the preloaded library keeps the allocating function's family there). Large
// blocks put their user pointer at the start of a page, with the front word before it.
#ifndef QJ_ALLOC_ALIGNED_H
#define QJ_ALLOC_ALIGNED_H

#include "alloc/block.h"
#include "frame/runtime_heap.h"

#include <cstdint>

namespace velt::zur::memory::detail {

constexpr std::uint32_t kMinAlignment = 16;
constexpr std::uint32_t kFrontOffsetMask = 0x0FFFFFFF;
constexpr unsigned kFrontHostShift = 28;
// Largest alignment a heap block can be given (the front word's offset field).
constexpr std::uint32_t kMaxAlignment = 1u << 26;

extern bool aligned_blocks;

#if defined(_WIN32)
extern thread_local std::uint32_t requested_alignment;
#else
extern __attribute__((tls_model("initial-exec"))) thread_local std::uint32_t requested_alignment;
#endif

// The alignment of the calling thread's next block: the requested one, at least 16.
inline std::uint32_t blockAlignment() {
    const std::uint32_t align = requested_alignment;
    return align < kMinAlignment ? kMinAlignment : align;
}

unsigned char* alignedHeapBlock(std::uint32_t gross);

// Where the word before the block lives.
inline unsigned char* frontWordAt(unsigned char* block) { return block - 4; }

// The runtime block that holds a heap block of `gross` bytes, null when the heap refuses.
inline unsigned char* heapBlockAllocate(std::uint32_t gross) {
    if (__builtin_expect(aligned_blocks, 0))
        return alignedHeapBlock(gross);
    const std::uint32_t pad = heapPad(gross);
    auto* raw = static_cast<unsigned char*>(heapAllocate(std::size_t{gross} + pad));
    return raw != nullptr ? raw + pad : nullptr;
}

// The runtime block's start, for the release of a heap block.
inline void* heapBlockStart(unsigned char* block, std::uint32_t gross) {
    if (__builtin_expect(aligned_blocks, 0))
        return block - (load32(frontWordAt(block)) & kFrontOffsetMask);
    return block - heapPad(gross);
}

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_ALIGNED_H
