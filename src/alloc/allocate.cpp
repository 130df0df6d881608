// qj_malloc: picks the block's source, writes the guarded layout and charges every statistic.
#include "Quorrick.h"
#include "alloc/aligned.h"
#include "alloc/block.h"
#include "alloc/counters.h"
#include "alloc/large_blocks.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/report.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "histogram/histogram.h"
#include "platform/platform.h"
#include "pools/chunk_pools.h"
#include "trace/trace.h"
#include "tracking/alloc_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velt::zur::memory {

namespace detail {

BlockLayout layout{};

void computeBlockLayout() {
    const Settings& s = settings;
    BlockLayout l{};
    l.usedTag = s.use_memoryUsedTag ? 4 : 0;
    l.tags = s.use_qj7_tags ? 4 : 0;
    l.allocInfo = s.use_callstack ? 4 : 0;
    l.traceWord = s.use_traceIdentifiers ? 4 : 0;
    l.guard = s.tailguards ? static_cast<std::uint32_t>(s.tailguard_length) : 0;
    l.head = l.usedTag + l.tags + 4 + l.allocInfo + l.traceWord;
    l.overhead = l.head + l.guard + l.tags;
    l.allocInfoBack = 4 + l.traceWord;
    l.headerBack = 4 + l.traceWord + l.allocInfo;
    l.headerFlags = s.use_callstack ? kHeaderCallStack : 0;
    l.poolsServe = s.use_pools && !s.use_valloc;
    l.patterns = s.patterns;
    setLargeBlockPlacement(l.head);
    layout = l;
}

namespace {

#if defined(__GNUC__)
#define QJ_COLD __attribute__((cold, noinline))
#define QJ_LIKELY(x) __builtin_expect(!!(x), 1)
#define QJ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define QJ_COLD
#define QJ_LIKELY(x) (x)
#define QJ_UNLIKELY(x) (x)
#endif

QJ_COLD void reportSanity(std::uint32_t size) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Quorrick.dll: sanity check: block size %d (%5.2f MB) doesn't seem sane\n",
                  static_cast<std::int32_t>(size), static_cast<double>(size) / 1048576.0);
    platform::debugOutput(text);
}

QJ_COLD void* reportFailedAllocation(std::uint32_t size) {
    reportFatal("Quorrick.dll: all alloc attempts failed for size %d", static_cast<std::int32_t>(size));
    return nullptr;
}

// Page-guard placement: the block ends where the first of two pages ends.
QJ_COLD unsigned char* guardedPagesBlock(std::uint32_t gross) {
    auto* pages = static_cast<unsigned char*>(guardPagesRequest());
    if (pages != nullptr)
        return pages + platform::kGuardPageSize - gross;
    reportError(false, "memory.dll: VirtualAlloc fails, max 32660 virtual alloc alloctions "
                       "allowed by Windows:(");
    return nullptr;
}

// The host's request handed on as it is (guarded allocator off, or after a fatal report),
// through the seam like every other request to the runtime heap.
QJ_COLD void* passThrough(std::uint32_t size) { return heapAllocate(size); }

} // namespace
} // namespace detail

void* qj_malloc(std::uint32_t size, std::int32_t memoryName) {
    using namespace detail;
    if (QJ_UNLIKELY(!settings.use_memoryDll || failed() || detached.load(std::memory_order_relaxed)))
        return passThrough(size);
    size += size == 0 ? 1 : 0;
    const BlockLayout& l = layout;
    const std::uint64_t gross64 = std::uint64_t{size} + l.overhead;
    const std::uint32_t limit = max_alloc_size.load(std::memory_order_relaxed);
    if (QJ_UNLIKELY(size > limit || gross64 > kMaxGrossSize)) {
        if (size > limit)
            reportSanity(size);
        // The header cannot record such a size: refuse rather than lay out a wrapped block.
        if (gross64 > kMaxGrossSize)
            return reportFailedAllocation(size);
    }
    const auto gross = static_cast<std::uint32_t>(gross64);

    std::uint32_t header = l.headerFlags;
    unsigned char* block = nullptr;
    if (l.poolsServe && gross <= ChunkPools::kLargestPoolSize && callingThreadId() == main_thread_id) {
        std::int32_t chainIndex = 0;
        block = static_cast<unsigned char*>(ChunkPools::alloc(gross, chainIndex));
        if (QJ_LIKELY(block != nullptr)) {
            chargeAllocation(gross, false);
            header |= kHeaderPooled | (gross << kSizeShift) |
                      (static_cast<std::uint32_t>(chainIndex) << kChainShift);
        }
    }
    if (block == nullptr) {
        // Charged before the memory is sought: a failed request stays counted.
        chargeAllocation(gross, true);
        header |= gross << kSizeShift;
        if (QJ_UNLIKELY(settings.use_valloc && gross < kPageGuardLimit)) {
            block = guardedPagesBlock(gross);
        } else if (QJ_UNLIKELY(isLargeBlock(gross))) {
            block = largeBlockMap(gross);
        } else {
            block = heapBlockAllocate(gross);
        }
        if (QJ_UNLIKELY(block == nullptr))
            return reportFailedAllocation(size);
    }

    unsigned char* at = block;
    if (l.usedTag != 0) {
        store32(at, kUsedTagLive);
        at += 4;
    }
    if (QJ_UNLIKELY(l.tags != 0)) {
        std::memcpy(at, kFrontTag, 4);
        std::memcpy(block + gross - 4, kEndTag, 4);
        at += 4;
    }
    store32(at, header);
    at += 4;
    if (QJ_UNLIKELY(l.allocInfo != 0)) {
        std::uint32_t word = 0;
        {
            ScopedLock lock(globalLock());
            word = allocInfoFindOrInsert(settings.callstack_depth);
            if (word != 0)
                allocInfoUpdate(word, static_cast<std::int32_t>(gross));
        }
        store32(at, word);
        at += 4;
    }
    if (QJ_UNLIKELY(l.traceWord != 0)) {
        const std::uint32_t traceValue = traceAllocate(static_cast<std::int32_t>(gross));
        // Indices outside the sixteen names are charged to name 0, so that the release,
        // which reads the index back from the word, undoes exactly this charge.
        const std::int32_t name =
            (memoryName >= 0 && memoryName < kMemoryNameCount) ? memoryName : 0;
        memoryNameAllocate(name, static_cast<std::int32_t>(gross));
        store32(at, ((traceValue & kTraceValueMask) << kTraceValueShift) |
                        static_cast<std::uint32_t>(name));
        at += 4;
    }
    if (QJ_UNLIKELY(settings.use_histogram))
        histogramAddBlock(gross);
    if (l.patterns)
        std::memset(at, kAllocFill, size);
    noteUserPointer(reinterpret_cast<std::uintptr_t>(at), gross);
    if (QJ_UNLIKELY(atLargeOffset(reinterpret_cast<std::uintptr_t>(at))))
        largeBlockForget(reinterpret_cast<std::uintptr_t>(at));
    if (l.guard == 4)
        store32(at + size, 0x99999999u);
    else if (l.guard != 0)
        std::memset(at + size, kGuardFill, l.guard);
    return at;
}

} // namespace velt::zur::memory
