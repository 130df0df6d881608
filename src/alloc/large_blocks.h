// Large blocks: mapped by the library itself, with a memory of the released ones.
//
// The runtime heap returns large blocks to the system on release, so a second release
// of one would read unmapped memory. Blocks whose heap request could reach kLargeBlockSize
// are therefore mapped here, each starting kLargePad bytes into its first page, which puts
// every large user pointer at one fixed offset within its page. Releasing one unmaps it
// and remembers its user pointer; a later release of a pointer at that offset is looked
// up among the remembered ones before anything is read. Pointers at any other offset
// never cost a lookup, and no system call is added to the release of any block that is
// not large.
#ifndef QJ_ALLOC_LARGE_BLOCKS_H
#define QJ_ALLOC_LARGE_BLOCKS_H

#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

constexpr std::uint32_t kLargeBlockSize = 128 * 1024;
constexpr std::uint32_t kLargePad = 16;
// The heap is asked for a block's gross size plus its pad (block.h) and adds a header of
// its own, so a block reaches kLargeBlockSize at the heap before its gross size does.
// Every block whose request could reach it is mapped here.
constexpr std::uint32_t kLargeBlockGross = kLargeBlockSize - 64;
inline bool isLargeBlock(std::uint32_t gross) { return gross >= kLargeBlockGross; }

// Page offset shared by every large user pointer of this run; set while attaching.
extern QJ_HIDDEN std::uintptr_t large_user_offset;

// Places large blocks for a head of `head` bytes: kLargePad into their first page, or,
// for aligned blocks (alloc/aligned.h), with the user pointer at the start of a page.
void setLargeBlockPlacement(std::uint32_t head);

inline bool atLargeOffset(std::uintptr_t p) { return (p & 0xFFF) == large_user_offset; }

// Set by the first large release, never cleared: until then no pointer is a released
// large block, and neither test below needs to look.
extern QJ_HIDDEN std::atomic<bool> large_blocks_remembered;
inline bool anyLargeReleased() { return large_blocks_remembered.load(std::memory_order_relaxed); }

// Maps a block of `gross` bytes; returns its block start or null.
unsigned char* largeBlockMap(std::uint32_t gross);
// Claims the block at `userPointer` for its release and remembers it as released; false
// when it is remembered already (another thread's release claimed it first).
bool largeBlockClaim(std::uintptr_t userPointer);
// Unmaps a claimed block.
void largeBlockUnmap(unsigned char* block, std::uint32_t gross);
// Whether `p` is the user pointer of a large block already released (and not reused).
bool largeBlockReleasedSlow(std::uintptr_t p);
// Whether p may be a released large block: largeBlockReleased without its lookup.
inline bool largeBlockMaybeReleased(std::uintptr_t p) { return anyLargeReleased() && atLargeOffset(p); }
inline bool largeBlockReleased(std::uintptr_t p) {
    return anyLargeReleased() && atLargeOffset(p) && largeBlockReleasedSlow(p);
}
// A new block at `p`: it is no longer a released one.
void largeBlockForgetSlow(std::uintptr_t p);
inline void largeBlockForget(std::uintptr_t p) {
    if (anyLargeReleased() && atLargeOffset(p))
        largeBlockForgetSlow(p);
}

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_LARGE_BLOCKS_H
