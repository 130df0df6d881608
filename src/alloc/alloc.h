// The allocation front end as the other subsystems see it.
#ifndef QJ_ALLOC_ALLOC_H
#define QJ_ALLOC_ALLOC_H

#include "alloc/block.h"

#include <cstdint>

namespace velt::zur::memory::detail {

// A consistent snapshot of the global counters.
struct CounterSnapshot {
    std::int64_t totalBytes;      // gross bytes of live blocks
    std::int64_t accumulatedBytes;
    std::int64_t liveCount;       // live blocks
    std::int64_t accumulatedCount;
    std::int64_t unpooledCount;   // guarded allocations no pool served
};
CounterSnapshot readCounters();

// The counters' line of the status text.
class TextBuilder;
void appendCounterStatus(TextBuilder& out);

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_ALLOC_H
