// Placement of aligned heap blocks inside their runtime blocks.
#include "alloc/aligned.h"

namespace velt::zur::memory::detail {

bool aligned_blocks = false;

#if defined(_WIN32)
thread_local std::uint32_t requested_alignment = 0;
#else
__attribute__((tls_model("initial-exec"))) thread_local std::uint32_t requested_alignment = 0;
#endif

unsigned char* alignedHeapBlock(std::uint32_t gross) {
    const std::uint32_t align = blockAlignment();
    if (align > kMaxAlignment)
        return nullptr;
    // The user pointer is the first aligned address at least the runtime heap's pad plus
    // the head past the runtime block's start. The runtime heap's blocks are 16-byte
    // aligned, so for 16 bytes the distance is fixed and the request grows by at most 12
    // bytes, which keeps every block below the large-block size out of the heap's own
    // mappings.
    const std::uintptr_t head = layout.head;
    const std::uintptr_t pad = heapPad(gross);
    const std::size_t extra = align == kMinAlignment ? pad + ((kMinAlignment - head % kMinAlignment) % kMinAlignment)
                                                     : pad + head + align;
    auto* raw = static_cast<unsigned char*>(heapAllocate(std::size_t{gross} + extra));
    if (raw == nullptr)
        return nullptr;
    const std::uintptr_t user =
        (reinterpret_cast<std::uintptr_t>(raw) + pad + head + align - 1) & ~std::uintptr_t{align - 1};
    auto* block = reinterpret_cast<unsigned char*>(user - head);
    // The front word lies inside the pad: the runtime heap may overwrite it once the
    // block is released, when nothing reads it any more.
    store32(frontWordAt(block), static_cast<std::uint32_t>(block - raw));
    return block;
}

} // namespace velt::zur::memory::detail
