// The allocation front end as the other subsystems see it.
#ifndef QJ_ALLOC_ALLOC_H
#define QJ_ALLOC_ALLOC_H

#include "alloc/block.h"

#include <cstdint>

namespace velt::zur::memory::detail {

// A consistent snapshot of the global counters.
struct CounterSnapshot {
    std::int64_t totalBytes; // gross bytes of live blocks
    std::int64_t accumulatedBytes;
    std::int64_t liveCount; // live blocks
    std::int64_t accumulatedCount;
    std::int64_t unpooledCount; // guarded allocations no pool served
};
CounterSnapshot readCounters();

// The counters' line of the status text.
class TextBuilder;
void appendCounterStatus(TextBuilder& out);

// Starts the release quarantine with the `release_quarantine` setting; called while
// attaching, after the block layout is known.
void startReleaseQuarantine(std::uint32_t limitBytes);

// Set by the preloaded library: a release whose used tag says live but whose header is
// implausible is reported as memory before the block overwritten, not as a foreign pointer.
extern bool launcher_texts;

// What the library can tell of the block a program's pointer p names, for a report about
// it: a live block, or a released one the quarantine still holds.
struct BlockSubject {
    bool known;             // p is the user pointer of such a block
    bool released;          // the quarantine holds it
    std::uint32_t size;     // its requested size (when known)
    std::uint32_t siteWord; // its allocation-site word, 0 when none
};
BlockSubject describeBlock(std::uintptr_t p);

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_ALLOC_H
