// qj_free and getSizeOfAllocation: the ordered tests of a released pointer, and the
// undoing of every charge its allocation made.
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

#include <cstdlib>
#include <cstring>

// The release tests read memory that may already belong to the runtime heap again (that
// is how a second release is recognised); the address sanitizer must let those reads be.
#if defined(__SANITIZE_ADDRESS__)
#define QJ_PROBE __attribute__((no_sanitize("address"), noinline))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QJ_PROBE __attribute__((no_sanitize("address"), noinline))
#endif
#endif
#if !defined(QJ_PROBE)
#define QJ_PROBE inline
#endif

namespace velt::zur::memory {

namespace detail {
namespace {

constexpr std::uintptr_t kPageMask = platform::kGuardPageSize - 1;

// Reads a word the library has not proved readable; false when its memory is gone (the
// runtime heap may give a released block's pages back to the system, and a wild pointer
// may point between mappings): such a release is reported, not a fault.
inline bool probe32(std::uintptr_t at, std::uint32_t& value) { return platform::probeRead32(at, value); }

// True when the first `count` bytes at `at` all hold the release fill.
QJ_PROBE bool probeReleased(std::uintptr_t at, std::uintptr_t count) {
    if (count >= 4) {
        std::uint32_t word = 0;
        return probe32(at, word) && word == kFreeFillWord;
    }
    for (std::uintptr_t i = 0; i < count; ++i) {
        // Each byte from the aligned word that holds it: such a word never crosses a page.
        const std::uintptr_t byte = at + i;
        std::uint32_t word = 0;
        if (!probe32(byte & ~std::uintptr_t{3}, word))
            return false;
        unsigned char bytes[4];
        std::memcpy(bytes, &word, sizeof bytes);
        if (bytes[byte & 3] != kFreeFill)
            return false;
    }
    return count > 0;
}

bool isBadPattern(std::uintptr_t p) {
    return p == 0xDDDDDDDDu || p == 0xCDCDCDCDu ||
           (sizeof(std::uintptr_t) == 8 &&
            (p == static_cast<std::uintptr_t>(0xDDDDDDDDDDDDDDDDull) ||
             p == static_cast<std::uintptr_t>(0xCDCDCDCDCDCDCDCDull)));
}

bool insideRange(std::uintptr_t p) {
    return p >= lowest_user_address.load(std::memory_order_relaxed) &&
           p <= highest_user_address.load(std::memory_order_relaxed);
}

// Whether a header word can belong to a block this run handed out at user pointer p.
bool plausibleHeader(std::uint32_t header, std::uintptr_t p) {
    const BlockLayout& l = layout;
    const std::uint32_t gross = headerSize(header);
    if (gross < l.overhead + 1 || gross > largest_gross_size.load(std::memory_order_relaxed))
        return false;
    if (((header & kHeaderCallStack) != 0) != settings.use_callstack)
        return false;
    if (header & kHeaderPooled) {
        if (!settings.use_pools || settings.use_valloc || gross > ChunkPools::kLargestPoolSize)
            return false;
    } else if (settings.use_valloc && gross < kPageGuardLimit) {
        // Page-guard blocks end exactly on the page boundary.
        if (((p - l.head + gross) & kPageMask) != 0)
            return false;
    }
    return true;
}

} // namespace
} // namespace detail

void qj_free(void* ptr) {
    using namespace detail;
    if (failed() || detached.load(std::memory_order_relaxed))
        return;
    if (!settings.use_memoryDll) {
        heapRelease(ptr);
        return;
    }
    if (ptr == nullptr)
        return;
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (isBadPattern(p)) {
        reportFatal("memory.dll: free() called using a bad memory ptr 0x%lx",
                    static_cast<unsigned long>(p));
        return;
    }
    if (!insideRange(p)) {
        reportFatal("memory.dll: free() ptr outside range of memoryDLL allocations, ptr:0x%lx",
                    static_cast<unsigned long>(p));
        return;
    }
    // A large block released before is unmapped: recognise it before reading anything.
    if (atLargeOffset(p) && largeBlockReleased(p)) {
        reportFatal("memory.dll: free() called twice for memory 0x%lx", static_cast<unsigned long>(p));
        return;
    }
    const BlockLayout& l = layout;
    std::uint32_t header = 0;
    if (!probe32(p - l.headerBack, header)) {
        reportFatal("memory.dll: trying to free non DLL allocated memory 0x%lx",
                    static_cast<unsigned long>(p));
        return;
    }
    const bool plausible = plausibleHeader(header, p);
    const std::uint32_t gross = headerSize(header);
    // The first word of the user area, but never past the block's end, nor (when the
    // header cannot be trusted) past the end of the pointer's page.
    const std::uintptr_t tailRoom = plausible ? gross - l.head : platform::kGuardPageSize - (p & 0xFFF);
    if (probeReleased(p, tailRoom < 4 ? tailRoom : 4)) {
        reportFatal("memory.dll: free() called twice for memory 0x%lx", static_cast<unsigned long>(p));
        return;
    }
    auto* block = reinterpret_cast<unsigned char*>(p - l.head);
    if (l.usedTag != 0) {
        std::uint32_t tag = 0;
        if (!probe32(p - l.head, tag) || (tag & ~1u) != kUsedTagReleased) {
            reportFatal("memory.dll: trying to free non DLL allocated memory 0x%lx",
                        static_cast<unsigned long>(p));
            return;
        }
        if ((tag & 1u) == 0) {
            reportFatal("memory.dll: trying to free DLL allocated memory twice 0x%lx",
                        static_cast<unsigned long>(p));
            return;
        }
    }
    if (!plausible) {
        // An overwritten header would steer the tail test and the fill far past the block.
        reportFatal("memory.dll: trying to free non DLL allocated memory 0x%lx",
                    static_cast<unsigned long>(p));
        return;
    }
    if (l.usedTag != 0)
        store32(block, kUsedTagReleased);

    const bool pooled = (header & kHeaderPooled) != 0;
    if (settings.use_valloc && gross < kPageGuardLimit)
        return; // page-guard blocks stay committed, filled as they are, and counted

    const std::uint32_t requested = gross - l.overhead;
    if (l.guard != 0) {
        const unsigned char* guard = reinterpret_cast<unsigned char*>(p) + requested;
        std::uint32_t i = 0;
        while (i + 4 <= l.guard && load32(guard + i) == 0x99999999u)
            i += 4;
        for (; i < l.guard; ++i) {
            if (guard[i] != kGuardFill) {
                reportFatal("Quorrick.dll: tailguard: block tail corruption detected: actual "
                            "block size %d at 0x%lx",
                            static_cast<std::int32_t>(gross),
                            static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(block)));
                break;
            }
        }
    }
    if (l.traceWord != 0) {
        const std::uint32_t word = load32(reinterpret_cast<void*>(p - 4));
        memoryNameFree(static_cast<std::int32_t>(word & kMemoryNameMask),
                       static_cast<std::int32_t>(gross));
        const std::uint32_t traceValue = (word >> kTraceValueShift) & kTraceValueMask;
        if (traceValue != 0)
            traceFree(traceValue, static_cast<std::int32_t>(gross));
    }
    chargeRelease(gross);
    if (settings.use_histogram)
        histogramRemoveBlock(gross);
    if (settings.use_callstack && (header & kHeaderCallStack)) {
        const std::uint32_t word = load32(reinterpret_cast<void*>(p - l.allocInfoBack));
        if (word != 0) {
            ScopedLock lock(globalLock());
            allocInfoUpdate(word, -static_cast<std::int32_t>(gross));
        }
    }
    if (settings.use_pools && pooled) {
        const platform::ThreadId thread = callingThreadId();
        if (thread != main_thread_id) {
            reportFatal("Quorrick.dll: thread %d is deallocating main thread memory",
                        static_cast<std::int32_t>(thread));
            return;
        }
        // A size that a stray write changed names another class, whose pools do not hold
        // this chunk: the fill must not run into the next chunk. The pools refuse the
        // block below.
        if (settings.patterns &&
            ChunkPools::holds(block, gross, static_cast<std::int32_t>(headerChainIndex(header))))
            std::memset(reinterpret_cast<void*>(p), kFreeFill, gross - l.head);
        if (load32(block) == kFreeFillWord) {
            reportFatal("memory.dll: trying to free DLL allocated memory 0x%lx",
                        static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(block)));
            return;
        }
        if (!ChunkPools::free(block, gross, static_cast<std::int32_t>(headerChainIndex(header))))
            reportFatal("memory.dll: ChunkPools::free fails at memory 0x%lx",
                        static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(block)));
        return;
    }
    if (isLargeBlock(gross)) {
        // Unmapped at once: a later touch faults, so there is nothing to fill.
        largeBlockUnmap(block, gross, p);
        return;
    }
    if (settings.patterns)
        std::memset(block + l.usedTag, kFreeFill, gross - l.usedTag);
    heapRelease(heapBlockStart(block, gross));
}

std::int32_t getSizeOfAllocation(void* ptr) {
    using namespace detail;
    if (ptr == nullptr)
        return 0;
    // Without guards (allocator off, or after a fatal report) a pointer may be a plain
    // runtime block with nothing of ours in front of it: answer 0 rather than guess.
    if (!settings.use_memoryDll || failed() || detached.load(std::memory_order_relaxed))
        return 0;
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (isBadPattern(p) || !insideRange(p) || (atLargeOffset(p) && largeBlockReleased(p)))
        return 0;
    const BlockLayout& l = layout;
    std::uint32_t tag = kUsedTagLive;
    if (l.usedTag != 0 && (!probe32(p - l.head, tag) || tag != kUsedTagLive))
        return 0;
    std::uint32_t header = 0;
    if (!probe32(p - l.headerBack, header) || !plausibleHeader(header, p))
        return 0;
    return static_cast<std::int32_t>(headerSize(header) -
                                     (4 + l.usedTag + l.allocInfo + l.traceWord));
}

} // namespace velt::zur::memory
