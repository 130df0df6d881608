// qj_malloc: picks the block's source, writes the guarded layout and charges every statistic.
#include "Quorrick.h"
#include "alloc/block.h"
#include "alloc/counters.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/report.h"
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
    layout = l;
    initCounters();
}

namespace {

void reportSanity(std::uint32_t size) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Quorrick.dll: sanity check: block size %d (%5.2f MB) doesn't seem sane\n",
                  static_cast<std::int32_t>(size), static_cast<double>(size) / 1048576.0);
    platform::debugOutput(text);
}

} // namespace
} // namespace detail

void* qj_malloc(std::uint32_t size, std::int32_t memoryName) {
    using namespace detail;
    if (!settings.use_memoryDll || failed() || detached.load(std::memory_order_relaxed))
        return std::malloc(size);
    if (size == 0)
        size = 1;
    const BlockLayout& l = layout;
    const std::uint64_t gross64 = std::uint64_t{size} + l.overhead;
    if (size > max_alloc_size.load(std::memory_order_relaxed))
        reportSanity(size);
    if (gross64 > kMaxGrossSize) {
        // The header cannot record the size: refuse rather than lay out a wrapped block.
        reportFatal("Quorrick.dll: all alloc attempts failed for size %d",
                    static_cast<std::int32_t>(size));
        return nullptr;
    }
    const auto gross = static_cast<std::uint32_t>(gross64);
    chargeAllocation(gross);

    std::uint32_t header = settings.use_callstack ? kHeaderCallStack : 0;
    unsigned char* block = nullptr;
    if (!settings.use_valloc && settings.use_pools && gross <= ChunkPools::kLargestPoolSize &&
        callingThreadId() == main_thread_id) {
        std::int32_t chainIndex = 0;
        block = static_cast<unsigned char*>(ChunkPools::alloc(gross, chainIndex));
        if (block != nullptr)
            header |= kHeaderPooled | (gross << kSizeShift) |
                      (static_cast<std::uint32_t>(chainIndex) << kChainShift);
    }
    if (block == nullptr) {
        chargeUnpooled();
        header |= gross << kSizeShift;
        if (settings.use_valloc && gross < kPageGuardLimit) {
            auto* pages = static_cast<unsigned char*>(platform::guardPagesCommit());
            if (pages != nullptr)
                block = pages + platform::kGuardPageSize - gross;
            else
                reportError(false, "memory.dll: VirtualAlloc fails, max 32660 virtual alloc "
                                   "alloctions allowed by Windows:(");
        } else {
            const std::uint32_t pad = heapPad(gross);
            auto* raw = static_cast<unsigned char*>(std::malloc(std::size_t{gross} + pad));
            if (raw != nullptr)
                block = raw + pad;
        }
        if (block == nullptr) {
            reportFatal("Quorrick.dll: all alloc attempts failed for size %d",
                        static_cast<std::int32_t>(size));
            return nullptr;
        }
    }

    unsigned char* at = block;
    if (l.usedTag != 0) {
        store32(at, kUsedTagLive);
        at += 4;
    }
    if (l.tags != 0) {
        std::memcpy(at, kFrontTag, 4);
        std::memcpy(block + gross - 4, kEndTag, 4);
        at += 4;
    }
    store32(at, header);
    at += 4;
    if (l.allocInfo != 0) {
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
    if (l.traceWord != 0) {
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
    if (settings.use_histogram)
        histogramAddBlock(gross);
    if (settings.patterns)
        std::memset(at, kAllocFill, size);
    noteUserPointer(reinterpret_cast<std::uintptr_t>(at), gross);
    if (l.guard != 0)
        std::memset(at + size, kGuardFill, l.guard);
    return at;
}

} // namespace velt::zur::memory
