// qj_malloc: picks the block's source, writes the guarded layout and charges every statistic.
#include "Quorrick.h"
#include "outputs/outputs.h"
#include "alloc/aligned.h"
#include "alloc/block.h"
#include "alloc/counters.h"
#include "alloc/large_blocks.h"
#include "frame/frame.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "frame/report.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "histogram/histogram.h"
#include "platform/platform.h"
#include "pools/chunk_pools.h"
#include "pools/pool_internal.h"
#include "trace/trace.h"
#include "tracking/alloc_info.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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
    l.passThrough = !s.use_memoryDll;
    l.poolsServe = s.use_pools && !s.use_valloc;
    l.patterns = s.patterns;
    l.pageGuards = s.use_valloc;
    l.histogram = s.use_histogram;
    l.callStackDepth = s.callstack_depth;
    l = withDerivedFields(l);
    l.maskedFills = kMaskedFillsBuilt && !l.pageGuards && platform::maskedByteStoresAvailable() &&
                    std::getenv("QJ_NO_MASKED_FILLS") == nullptr;
    setLargeBlockPlacement(l.head);
    layout = l;
    chooseCommonAllocators(l.maskedFills);
    chooseCommonReleasers(l.maskedFills);
    setEntryShape(l.passThrough, shapeOf(l));
}

namespace {

QJ_COLD void reportSanity(std::uint32_t size) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Quorrick.dll: sanity check: block size %d (%5.2f MB) doesn't seem sane\n",
                  static_cast<std::int32_t>(size), static_cast<double>(size) / 1048576.0);
    outputs::debugLine(text);
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

// Blocks no pool serves: guard pages, mapped large blocks, or the runtime heap.
QJ_ALWAYS_INLINE unsigned char* unpooledBlock(const BlockLayout& l, std::uint32_t gross) {
    if (QJ_UNLIKELY(isPageGuardBlock(l, gross)))
        return guardedPagesBlock(gross);
    unsigned char* block = QJ_UNLIKELY(isLargeBlock(gross)) ? largeBlockMap(gross) : heapBlockAllocate(gross);
    if (QJ_LIKELY(block != nullptr))
        storeSizeCheck(block, gross);
    return block;
}

// The words between the header and the user area that the switches add, the front and
// end tags, and the site, trace and histogram charges. Inlined: the call-stack capture
// counts its frames from qj_malloc's.
// `mayTrace`: false where the lean allocation has seen no trace open (then none is charged).
QJ_ALWAYS_INLINE unsigned char* writeExtras(const BlockLayout& l, unsigned char* block,
                                            unsigned char* at, std::uint32_t header,
                                            std::uint32_t gross, std::int32_t memoryName,
                                            bool mayTrace) {
    if (l.tags != 0) {
        std::memcpy(at - 4, kFrontTag, 4);
        std::memcpy(block + gross - 4, kEndTag, 4);
    }
    store32(at, header);
    at += 4;
    if (l.allocInfo != 0) {
        store32(at, allocInfoAllocate(l.callStackDepth, static_cast<std::int32_t>(gross)));
        at += 4;
    }
    if (l.traceWord != 0) {
        const std::uint32_t traceValue = mayTrace ? traceAllocate(static_cast<std::int32_t>(gross)) : 0;
        // Indices outside the sixteen names are charged to name 0 and stored as 0, so that
        // the release, which reads the index back from the word, undoes exactly this charge.
        const std::int32_t name = memoryNameIndex(memoryName);
        // A pooled block's name was charged with the counters.
        if ((header & kHeaderPooled) == 0)
            memoryNameAllocate(name, static_cast<std::int32_t>(gross));
        store32(at, ((traceValue & kTraceValueMask) << kTraceValueShift) |
                        static_cast<std::uint32_t>(name));
        at += 4;
    }
    // A pooled block was counted with the counters (qj_malloc).
    if (l.histogram && (header & kHeaderPooled) == 0)
        histogramAddBlock(gross);
    return at;
}

template <const BlockLayout& L> QJ_NOINLINE void* allocateFull(std::uint32_t size, std::int32_t memoryName);

QJ_NOINLINE void* forgetReleasedLarge(void* at) {
    largeBlockForgetSlow(reinterpret_cast<std::uintptr_t>(at));
    return at;
}

// One allocation with the block layout L: a common layout's constants, or `layout`.
//
// The lean allocation (Lean) serves pooled blocks only, and makes no call that returns to
// it: a block no pool serves at once (too large, another thread's, a MemoryPool about to
// fill up or to be made), a request above the sanity limit, a thread's first allocation,
// an open trace and writers frozen by a reader are left to the full allocation, decided
// before anything is written. Without a call to come back from, it saves no registers on
// entry.
template <const BlockLayout& L, bool Lean>
QJ_ALWAYS_INLINE void* allocateAs(std::uint32_t size, std::int32_t memoryName) {
    const BlockLayout& l = L;
    size += size == 0 ? 1 : 0;
    const std::uint64_t gross64 = std::uint64_t{size} + l.overhead;
    const std::uint32_t limit = max_alloc_size.load(std::memory_order_relaxed);
    if (QJ_UNLIKELY(size > limit || gross64 > kMaxGrossSize)) {
        if (Lean)
            return allocateFull<L>(size, memoryName);
        if (size > limit)
            reportSanity(size);
        // The header cannot record such a size: refuse rather than lay out a wrapped block.
        if (gross64 > kMaxGrossSize)
            return reportFailedAllocation(size);
    }
    const auto gross = static_cast<std::uint32_t>(gross64);

    std::uint32_t header = l.headerFlags;
    unsigned char* block = nullptr;
    // A pooled block's charges: the counters, the histogram and the memory name.
    auto charge = [&](CounterSlot& s) {
        addAllocation(s.values, gross, false);
        if (QJ_UNLIKELY(l.histogram))
            histogramCountBlock(s, gross);
        if (l.traceWord != 0)
            memoryNameCharge(s, memoryName, static_cast<std::int32_t>(gross));
    };
    if (Lean) {
        CounterSlot* slot = threadCounterSlot();
        pool::Head head{};
        if (QJ_UNLIKELY(gross > ChunkPools::kLargestPoolSize || platform::knownThreadId() != main_thread_id ||
                        slot == nullptr || (l.traceWord != 0 && anyTraceOpen()) || !pool::peekHead(gross, head) ||
                        !tryUpdateCounters(slot, charge)))
            return allocateFull<L>(size, memoryName);
        std::int32_t chainIndex = 0;
        block = static_cast<unsigned char*>(pool::takeHead(head, chainIndex));
        header |= kHeaderPooled | (gross << kSizeShift) | (static_cast<std::uint32_t>(chainIndex) << kChainShift);
    } else if (l.poolsServe && gross <= ChunkPools::kLargestPoolSize && callingThreadId() == main_thread_id) {
        std::int32_t chainIndex = 0;
        block = static_cast<unsigned char*>(pool::allocChecked(gross, chainIndex));
        if (QJ_LIKELY(block != nullptr)) {
            updateCounters(charge);
            header |= kHeaderPooled | (gross << kSizeShift) |
                      (static_cast<std::uint32_t>(chainIndex) << kChainShift);
        }
    }
    if (!Lean && block == nullptr) {
        // Charged before the memory is sought: a failed request stays counted.
        chargeAllocation(gross, true);
        header |= gross << kSizeShift;
        block = unpooledBlock(l, gross);
        if (QJ_UNLIKELY(block == nullptr))
            return reportFailedAllocation(size);
    }

    unsigned char* at = block;
    if (l.usedTag != 0) {
        store32(at, kUsedTagLive);
        at += 4;
    }
    at += l.tags;
    if (QJ_LIKELY(!l.extras)) {
        store32(at, header);
        at += 4;
    } else {
        at = writeExtras(l, block, at, header, gross, memoryName, !Lean);
    }
    if (l.patterns)
        fillBytes(at, kAllocFill, size, l.maskedFills);
    noteUserPointer(reinterpret_cast<std::uintptr_t>(at), gross);
    if (l.guard == 4)
        store32(at + size, kGuardFillWord);
    else if (l.guard != 0)
        fillBytes(at + size, kGuardFill, l.guard, l.maskedFills);
    // A new block where a released large block was: it is no longer a released one.
    if (QJ_UNLIKELY(largeBlockMaybeReleased(reinterpret_cast<std::uintptr_t>(at))))
        return forgetReleasedLarge(at);
    return at;
}

template <const BlockLayout& L> QJ_NOINLINE void* allocateFull(std::uint32_t size, std::int32_t memoryName) {
    return allocateAs<L, false>(size, memoryName);
}

// The common layouts: the lean allocation where the pools serve, the full one elsewhere
// and wherever call stacks are captured: the lean allocation may hand a request on to the
// full one, and whether that is a jump or a call (one frame more in front of the host's)
// is the compiler's choice.
template <unsigned Shape, bool Masked>
QJ_NOINLINE void* allocateCommon(std::uint32_t size, std::int32_t memoryName) {
    using Common = CommonShape<Shape, Masked>;
    constexpr bool lean = Common::layout.poolsServe && !Common::layout.callStack;
    return allocateAs<Common::layout, lean>(size, memoryName);
}

using Allocator = void* (*)(std::uint32_t, std::int32_t);
template <bool Masked, unsigned... Shapes>
constexpr std::array<Allocator, sizeof...(Shapes)> allocators(std::integer_sequence<unsigned, Shapes...>) {
    return {allocateCommon<Shapes, Masked>...};
}
using AllocatorTable = std::array<Allocator, kCommonShapeCount>;
constexpr AllocatorTable kPlainAllocators =
    allocators<false>(std::make_integer_sequence<unsigned, kCommonShapeCount>{});
#if defined(QJ_MASKED_FILLS)
constexpr AllocatorTable kMaskedAllocators =
    allocators<true>(std::make_integer_sequence<unsigned, kCommonShapeCount>{});
#endif

// The common layouts' allocation functions, indexed by shape code: with masked fills where
// the processor has them (chosen at attach).
AllocatorTable common_allocators = kPlainAllocators;

// Any layout but the common ones (qj_malloc calls it, never jumps to it).
QJ_NOINLINE void* allocateGeneral(std::uint32_t size, std::int32_t memoryName) {
    return allocateAs<layout, false>(size, memoryName);
}

} // namespace

void chooseCommonAllocators(bool masked) {
#if defined(QJ_MASKED_FILLS)
    common_allocators = masked ? kMaskedAllocators : kPlainAllocators;
#else
    (void)masked;
#endif
}

} // namespace detail

void* qj_malloc(std::uint32_t size, std::int32_t memoryName) {
    using namespace detail;
    const std::uint8_t entry = entry_state.load(std::memory_order_relaxed);
    if (QJ_LIKELY(entry == 0))
        return common_allocators[0](size, memoryName);
    // The host's request handed on as it is (guarded allocator off, after a fatal report,
    // or after the detach), through the seam like every other request to the runtime heap.
    if (QJ_UNLIKELY((entry & kOffMask) != 0))
        return heapAllocate(size);
    // The common layouts without call stacks: shape codes below kShapeCallStacks.
    if (QJ_LIKELY(entry < (kShapeCallStacks << kShapeShift)))
        return common_allocators[entry >> kShapeShift](size, memoryName);
    const unsigned shape = entry >> kShapeShift;
    // Where call stacks are captured, the allocation function is called, never jumped to,
    // so that the capture finds the same frames in front of the host's on every compiler
    // and at every optimisation level (kAllocateCaptureSkip).
    void* block = shape < kCommonShapeCount ? common_allocators[shape](size, memoryName)
                                            : allocateGeneral(size, memoryName);
    // Keeps the call above a call: qj_malloc's frame stays while it runs.
    __asm__ __volatile__("" : "+r"(block));
    return block;
}

} // namespace velt::zur::memory
