// qj_free and getSizeOfAllocation: the ordered tests of a released pointer, and the
// undoing of every charge its allocation made.
#include "Quorrick.h"
#include "alloc/aligned.h"
#include "alloc/alloc.h"
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
#include "quarantine/quarantine.h"
#include "trace/trace.h"
#include "tracking/alloc_info.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

// The release tests read memory that may already belong to the runtime heap again (that
// is how a second release is recognised); the address sanitizer must let those reads be.
#if defined(QJ_ASAN_BUILD)
#define QJ_PROBE QJ_NO_ASAN QJ_NOINLINE
#else
#define QJ_PROBE inline
#endif

namespace velt::zur::memory {

namespace detail {
namespace {

// The release path's reports. Each takes the address it names as its one argument but
// the tail guard's (gross size, then block start) and the thread's (its id).
constexpr char kBadPointer[] = "memory.dll: free() called using a bad memory ptr 0x%lx";
constexpr char kOutsideRange[] =
    "memory.dll: free() ptr outside range of memoryDLL allocations, ptr:0x%lx";
constexpr char kReleasedTwice[] = "memory.dll: free() called twice for memory 0x%lx";
constexpr char kNotOurs[] = "memory.dll: trying to free non DLL allocated memory 0x%lx";
constexpr char kUsedTagTwice[] = "memory.dll: trying to free DLL allocated memory twice 0x%lx";
constexpr char kTailCorrupt[] =
    "Quorrick.dll: tailguard: block tail corruption detected: actual block size %d at 0x%lx";
constexpr char kForeignThread[] = "Quorrick.dll: thread %d is deallocating main thread memory";
constexpr char kPooledFilled[] = "memory.dll: trying to free DLL allocated memory 0x%lx";
constexpr char kPoolRefused[] = "memory.dll: ChunkPools::free fails at memory 0x%lx";
// A site word that names no site record, or a trace word with bits no trace value has: the
// words right in front of the user area were written over (an underrun).
constexpr char kFrontOverwritten[] = "memory.dll: memory before the block was overwritten 0x%lx";

QJ_COLD void refuse(const char* text, std::uintptr_t at) { reportFatal(text, reportAddress(at)); }

// A word of the block could not be read. A large block that another thread released
// meanwhile is gone from under this release: that is a second release of it.
QJ_COLD void refuseUnreadable(std::uintptr_t p) {
    refuse(largeBlockReleased(p) ? kReleasedTwice : kNotOurs, p);
}

QJ_COLD void reportTailCorruption(std::uint32_t gross, const unsigned char* block) {
    // Through a pointer, as refuse's texts: the compiler's check would take the address's
    // "%lx" for an unsigned long, which reportFatal widens where long is 32 bits.
    const char* text = kTailCorrupt;
    reportFatal(text, static_cast<std::int32_t>(gross),
                reportAddress(reinterpret_cast<std::uintptr_t>(block)));
}

QJ_COLD void reportForeignThread(platform::ThreadId thread) {
    reportFatal(kForeignThread, static_cast<std::int32_t>(thread));
}

// Reads a word the library has not proved readable; false when its memory is gone (the
// runtime heap may give a released block's pages back to the system, and a wild pointer
// may point between mappings): such a release is reported, not a fault.
inline bool probe32(std::uintptr_t at, std::uint32_t& value) {
    return platform::probeRead32(at, value);
}

// Reads a word in front of the user area or the first user word: directly when `direct`
// (they lie on the probed header's page: where a probe costs a call, one probe per
// release), through the probe otherwise.
QJ_PROBE bool readFront(bool direct, std::uintptr_t at, std::uint32_t& value) {
    if (!platform::kProbeIsPlainLoad && QJ_LIKELY(direct)) {
        std::memcpy(&value, reinterpret_cast<const void*>(at), sizeof value);
        return true;
    }
    return probe32(at, value);
}

// True when the first `count` (at most 4) bytes at `at` all hold the release fill.
QJ_PROBE bool releaseFilled(bool direct, std::uintptr_t at, std::uintptr_t count) {
    if (QJ_LIKELY(count >= 4)) {
        std::uint32_t word = 0;
        return readFront(direct, at, word) && word == kFreeFillWord;
    }
    for (std::uintptr_t i = 0; i < count; ++i) {
        // Each byte from the aligned word that holds it: such a word never crosses a page.
        const std::uintptr_t byte = at + i;
        std::uint32_t word = 0;
        if (!readFront(direct, byte & ~std::uintptr_t{3}, word))
            return false;
        unsigned char bytes[4];
        std::memcpy(bytes, &word, sizeof bytes);
        if (bytes[byte & 3] != kFreeFill)
            return false;
    }
    return count > 0;
}

QJ_ALWAYS_INLINE bool insideRange(std::uintptr_t p) {
    return p >= lowest_user_address.load(std::memory_order_relaxed) &&
           p <= highest_user_address.load(std::memory_order_relaxed);
}

QJ_ALWAYS_INLINE bool plausibleHeader(const BlockLayout& l, std::uint32_t header,
                                      std::uintptr_t p) {
    return detail::plausibleHeader(l, header, headerSize(header), p,
                                   largest_gross_size.load(std::memory_order_relaxed),
                                   ChunkPools::kLargestPoolSize);
}

// A plausible header that a heap or large block's size check word confirms: the size
// that steers the tail test, the release fill and the give-back. `direct` as for readFront.
QJ_ALWAYS_INLINE bool trustedHeader(const BlockLayout& l, std::uint32_t header, std::uintptr_t p,
                                    bool direct = false) {
    if (!plausibleHeader(l, header, p))
        return false;
    const std::uint32_t gross = headerSize(header);
    if (!hasSizeCheck(l, header, gross))
        return true;
    std::uint32_t check = 0;
    return readFront(direct, p - l.head - kSizeCheckBack, check) && sizeCheckMatches(check, gross);
}

// The trace a block's trace word names (0: none), and its memory name.
QJ_ALWAYS_INLINE std::uint32_t traceValueOf(std::uint32_t word) {
    return (word >> kTraceValueShift) & kTraceValueMask;
}
QJ_ALWAYS_INLINE std::int32_t memoryNameOf(std::uint32_t word) {
    return static_cast<std::int32_t>(word & kMemoryNameMask);
}

// The release's charges to the histogram and the site table, inside the counters' section.
QJ_ALWAYS_INLINE void uncountSiteAndHistogram(CounterSlot& slot, const BlockLayout& l,
                                              AllocInfo* site, std::uint32_t gross) {
    if (l.histogram)
        histogramUncountBlock(slot, gross);
    if (site != nullptr)
        site_detail::chargeRelease(*site, static_cast<std::int32_t>(gross));
}

// The bits of a trace word above its memory name and trace value, never set by the
// library.
constexpr std::uint32_t kTraceWordUnused =
    ~((kTraceValueMask << kTraceValueShift) | kMemoryNameMask);

// The tail guard still holds its fill.
QJ_ALWAYS_INLINE bool tailGuardIntact(const BlockLayout& l, const unsigned char* guard) {
    if (QJ_LIKELY(l.guard == 4))
        return load32(guard) == kGuardFillWord;
    std::uint32_t i = 0;
    while (i + 4 <= l.guard && load32(guard + i) == kGuardFillWord)
        i += 4;
    for (; i < l.guard; ++i)
        if (guard[i] != kGuardFill)
            return false;
    return true;
}

// A pooled block that the pools do not hold where its header says: the pools' own
// release reports why they refuse it.
QJ_COLD void releaseUnheld(unsigned char* block, std::uint32_t gross, std::int32_t chain) {
    if (!ChunkPools::free(block, gross, chain))
        refuse(kPoolRefused, reinterpret_cast<std::uintptr_t>(block));
}

// A pooled block goes back to its chunk pool: only from the main thread, filled only
// when the pools hold the chunk under the header's size and chain index (a size that a
// stray write changed names another class, and the fill would run into the next chunk).
// `knownMain`: the lean release has seen that the calling thread is the main thread.
QJ_ALWAYS_INLINE void releasePooled(const BlockLayout& l, std::uintptr_t p, unsigned char* block,
                                    std::uint32_t header, bool knownMain) {
    const platform::ThreadId thread = knownMain ? main_thread_id : callingThreadId();
    if (QJ_UNLIKELY(thread != main_thread_id)) {
        reportForeignThread(thread);
        return;
    }
    const std::uint32_t gross = headerSize(header);
    const auto chain = static_cast<std::int32_t>(headerChainIndex(header));
    pool::Place place{};
    const bool held = pool::locate(block, gross, chain, place);
    // A pooled block's size is at most the largest pool size: no fill call.
    if (l.patterns && held)
        fillBytes<true>(reinterpret_cast<unsigned char*>(p), kFreeFill, gross - l.head,
                        l.maskedFills);
    if (QJ_UNLIKELY(load32(block) == kFreeFillWord)) {
        refuse(kPooledFilled, reinterpret_cast<std::uintptr_t>(block));
        return;
    }
    if (QJ_LIKELY(held))
        pool::giveBack(block, place);
    else
        releaseUnheld(block, gross, chain);
}

template <const BlockLayout& L> QJ_NOINLINE void releaseFull(void* ptr);

// A released heap block goes into the quarantine, filled with the release fill past its
// used tag whatever `patterns` says: its fill is what the quarantine verifies.
QJ_NOINLINE void holdHeapBlock(unsigned char* block, std::uint32_t gross, std::uint32_t usedTag,
                               std::uint32_t siteWord) {
    fillBytes(block + usedTag, kFreeFill, gross - usedTag, layout.maskedFills);
    quarantineAdmit(QuarantinedBlock{block, gross, usedTag, siteWord});
}

// The release fill of a heap block from past its used tag, and the block's give-back.
QJ_NOINLINE void fillAndReleaseHeapBlock(unsigned char* block, std::uint32_t gross,
                                         std::uint32_t usedTag) {
    std::memset(block + usedTag, kFreeFill, gross - usedTag);
    heapRelease(heapBlockStart(block, gross));
}

// One release with the block layout L: a common layout's constants, or `layout`.
//
// The lean release (Lean) makes no call that returns to it: whatever would need one (a
// large block, a torn tail guard, a thread's first release, a pooled block released off
// the main thread, a block charged to a trace, writers frozen by a reader) it leaves to
// the full release, decided before it has written anything, and the full release then
// does all of it. Without a call to come back from, the lean release keeps its values in
// registers a call would clobber, and saves none on entry.
template <const BlockLayout& L, bool Lean> QJ_ALWAYS_INLINE void releaseAs(void* ptr) {
    const BlockLayout& l = L;
    if (ptr == nullptr)
        return;
    // The release order: the pointer's value, its range, a released large block, the
    // header, the release fill at the user area, the used tag, then the header's trust.
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (QJ_UNLIKELY(isBadPointerValue(p)))
        return refuse(kBadPointer, p);
    if (QJ_UNLIKELY(!insideRange(p)))
        return refuse(kOutsideRange, p);
    // A large block released before is unmapped: recognise it before reading anything.
    if (Lean && QJ_UNLIKELY(largeBlockMaybeReleased(p)))
        return releaseFull<L>(ptr);
    if (!Lean && QJ_UNLIKELY(largeBlockReleased(p)))
        return refuse(kReleasedTwice, p);
    // The header is read through the probe. Where a probe is more than a plain load, the
    // words from a heap block's size check to the first user word are read directly when
    // they lie on the header's page; never where a large block's user pointer lies:
    // another thread may unmap that block between two reads, and only the probe survives
    // that.
    std::uint32_t header = 0;
    const std::uintptr_t headerAt = p - l.headerBack;
    if (QJ_UNLIKELY(!probe32(headerAt, header)))
        return refuseUnreadable(p);
    const bool direct = !platform::kProbeIsPlainLoad && !atLargeOffset(p) &&
                        platform::onProbedPage(headerAt, p - l.head - kSizeCheckBack, p + 3);
    const bool plausible = trustedHeader(l, header, p, direct);
    const std::uint32_t gross = headerSize(header);
    // The first word of the user area, but never past the block's end, nor (when the
    // header cannot be trusted) past the end of the pointer's page.
    const std::uintptr_t tailRoom =
        plausible ? gross - l.head : platform::kGuardPageSize - (p & 0xFFF);
    if (QJ_UNLIKELY(releaseFilled(direct, p, tailRoom < 4 ? tailRoom : 4)))
        return refuse(kReleasedTwice, p);
    auto* block = reinterpret_cast<unsigned char*>(p - l.head);
    if (l.usedTag != 0) {
        std::uint32_t tag = 0;
        if (QJ_UNLIKELY(!readFront(direct, p - l.head, tag)))
            return refuseUnreadable(p);
        if (QJ_UNLIKELY((tag & ~1u) != kUsedTagReleased))
            return refuse(kNotOurs, p);
        if (QJ_UNLIKELY((tag & 1u) == 0))
            return refuse(kUsedTagTwice, p);
    }
    // An overwritten header would steer the tail test and the fill far past the block.
    // Behind a live used tag it is the program's underrun (where the launcher says so).
    if (QJ_UNLIKELY(!plausible)) {
        if (l.usedTag != 0 && launcher_texts)
            return refuse(kFrontOverwritten, p);
        return refuseUnreadable(p);
    }
    // Two threads may release one large block at once: the first to claim it goes on, and
    // the other must not touch the block, which may be unmapped under it.
    if (QJ_UNLIKELY(isLargeBlock(gross))) {
        if (Lean)
            return releaseFull<L>(ptr);
        if (!largeBlockClaim(p))
            return refuse(kReleasedTwice, p);
    }
    // The words in front of the user area are the first an underrun reaches: a site word
    // that names no record or a trace word with unused bits set is reported, never
    // charged. (A large block is read only once claimed: another thread may unmap it.)
    std::uint32_t siteWord = 0;
    AllocInfo* site = nullptr;
    if (l.allocInfo != 0) {
        siteWord = load32(reinterpret_cast<void*>(p - l.allocInfoBack));
        site = site_detail::recordOfWord(siteWord);
        if (QJ_UNLIKELY(site == nullptr && siteWord != 0))
            return refuse(kFrontOverwritten, p);
    }
    const std::uint32_t traceWord =
        l.traceWord != 0 ? load32(reinterpret_cast<void*>(p - kTraceWordBack)) : 0;
    if (QJ_UNLIKELY((traceWord & kTraceWordUnused) != 0))
        return refuse(kFrontOverwritten, p);
    if (QJ_UNLIKELY(isPageGuardBlock(l, gross))) {
        if (l.usedTag != 0)
            store32(block, kUsedTagReleased);
        return; // page-guard blocks stay committed, filled as they are, and counted
    }

    const std::uint32_t requested = gross - l.overhead;
    if (l.guard != 0 &&
        QJ_UNLIKELY(!tailGuardIntact(l, reinterpret_cast<unsigned char*>(p) + requested))) {
        if (Lean)
            return releaseFull<L>(ptr);
        reportTailCorruption(gross, block);
    }
    CounterSlot* slot = threadCounterSlot();
    if (Lean && QJ_UNLIKELY(slot == nullptr || ((header & kHeaderPooled) != 0 &&
                                                platform::knownThreadId() != main_thread_id)))
        return releaseFull<L>(ptr);
    if (Lean && QJ_UNLIKELY(traceValueOf(traceWord) != 0))
        return releaseFull<L>(ptr);
    // The counters, the histogram, the site and the memory name in one section: the
    // first write.
    auto uncount = [&](CounterSlot& s) {
        addRelease(s.values, gross);
        if (QJ_UNLIKELY(l.extras))
            uncountSiteAndHistogram(s, l, site, gross);
        if (l.traceWord != 0)
            memoryNameUncharge(s, memoryNameOf(traceWord), static_cast<std::int32_t>(gross));
    };
    if (Lean) {
        if (QJ_UNLIKELY(!tryUpdateCounters(slot, uncount)))
            return releaseFull<L>(ptr);
    } else {
        updateCounters(uncount);
    }
    if (l.usedTag != 0)
        store32(block, kUsedTagReleased);
    if (l.traceWord != 0 && traceValueOf(traceWord) != 0)
        traceFree(traceValueOf(traceWord), static_cast<std::int32_t>(gross));
    if (header & kHeaderPooled)
        return releasePooled(l, p, block, header, Lean);
    if (QJ_UNLIKELY(isLargeBlock(gross))) {
        // Unmapped at once: a later touch faults, so there is nothing to fill.
        largeBlockUnmap(block, gross);
        return;
    }
    if (QJ_UNLIKELY(quarantine_on))
        return holdHeapBlock(block, gross, l.usedTag, siteWord);
    // A fill that calls memset is left to a function of its own, which the release jumps
    // to: the lean release then still makes no call that returns to it.
    if (l.patterns && gross - l.usedTag > kInlineFillBytes)
        return fillAndReleaseHeapBlock(block, gross, l.usedTag);
    if (l.patterns)
        fillBytes(block + l.usedTag, kFreeFill, gross - l.usedTag, l.maskedFills);
    heapRelease(heapBlockStart(block, gross));
}

template <const BlockLayout& L> QJ_NOINLINE void releaseFull(void* ptr) {
    releaseAs<L, false>(ptr);
}

template <unsigned Shape, bool Masked> QJ_NOINLINE void releaseCommon(void* ptr) {
    releaseAs<CommonShape<Shape, Masked>::layout, true>(ptr);
}

QJ_NOINLINE void releaseGeneral(void* ptr) { releaseAs<layout, false>(ptr); }

using Releaser = void (*)(void*);
// Indexed by shape code; the general layout's function last.
template <bool Masked, unsigned... Shapes>
constexpr std::array<Releaser, sizeof...(Shapes) + 1>
releasers(std::integer_sequence<unsigned, Shapes...>) {
    return {releaseCommon<Shapes, Masked>..., releaseGeneral};
}
using ReleaserTable = std::array<Releaser, kCommonShapeCount + 1>;
constexpr ReleaserTable kPlainReleasers =
    releasers<false>(std::make_integer_sequence<unsigned, kCommonShapeCount>{});
#if defined(QJ_MASKED_FILLS)
constexpr ReleaserTable kMaskedReleasers =
    releasers<true>(std::make_integer_sequence<unsigned, kCommonShapeCount>{});
#endif

// Indexed by shape code: with masked fills where the processor has them (chosen at attach).
ReleaserTable common_releasers = kPlainReleasers;

// The quarantine's two steps for a heap block.
void giveBackHeld(const QuarantinedBlock& held) {
    heapRelease(heapBlockStart(held.block, held.gross));
}

constexpr char kWrittenAfterRelease[] =
    "memory.dll: block 0x%lx was written after its release: byte %d changed";

// The block of the write-after-release report being made: it has left the quarantine by
// then, and describeBlock still tells its size and site.
QuarantinedBlock reported_block{};

QJ_COLD void reportWrittenAfterRelease(const QuarantinedBlock& held, std::uint32_t changedAt) {
    if (failed())
        return;
    reported_block = held;
    const auto user = reinterpret_cast<std::uintptr_t>(held.block) + layout.head;
    report_subject.store(user, std::memory_order_relaxed);
    const char* text = kWrittenAfterRelease;
    reportFatal(text, reportAddress(user),
                static_cast<std::int32_t>(changedAt) - static_cast<std::int32_t>(layout.head));
    report_subject.store(0, std::memory_order_relaxed);
}

} // namespace

bool launcher_texts = false;

void startReleaseQuarantine(std::uint32_t limitBytes) {
    quarantineStart(layout.passThrough ? 0 : limitBytes, kFreeFill, &giveBackHeld,
                    &reportWrittenAfterRelease);
}

BlockSubject describeBlock(std::uintptr_t p) {
    const BlockLayout& l = layout;
    BlockSubject subject{};
    QuarantinedBlock held = reported_block;
    if (quarantine_on &&
        (reinterpret_cast<std::uintptr_t>(held.block) + l.head == p || quarantineFind(p, held))) {
        if (reinterpret_cast<std::uintptr_t>(held.block) + l.head != p)
            return subject;
        subject = {true, true, held.gross - l.overhead, held.siteWord};
        return subject;
    }
    if (isBadPointerValue(p) || !insideRange(p) || largeBlockReleased(p))
        return subject;
    std::uint32_t tag = kUsedTagLive, header = 0;
    if (l.usedTag != 0 && (!probe32(p - l.head, tag) || tag != kUsedTagLive))
        return subject;
    if (!probe32(p - l.headerBack, header))
        return subject;
    std::uint32_t gross = headerSize(header);
    if (!trustedHeader(l, header, p)) {
        // An underrun changed the header: a heap block's size check word still says its size.
        std::uint32_t check = 0;
        if (l.usedTag == 0 || !probe32(p - l.head - kSizeCheckBack, check))
            return subject;
        gross = ~check;
        if (gross <= l.overhead || gross > largest_gross_size.load(std::memory_order_relaxed))
            return subject;
    }
    subject.known = true;
    subject.size = gross - l.overhead;
    if (l.allocInfo != 0) {
        const std::uint32_t word = load32(reinterpret_cast<void*>(p - l.allocInfoBack));
        subject.siteWord = site_detail::recordOfWord(word) != nullptr ? word : 0;
    }
    return subject;
}

void chooseCommonReleasers(bool masked) {
#if defined(QJ_MASKED_FILLS)
    common_releasers = masked ? kMaskedReleasers : kPlainReleasers;
#else
    (void)masked;
#endif
}

} // namespace detail

void qj_free(void* ptr) {
    using namespace detail;
    const std::uint8_t entry = entry_state.load(std::memory_order_relaxed);
    if (QJ_LIKELY(entry == 0))
        return common_releasers[0](ptr);
    // After a fatal report or the detach nothing is released; with the guarded allocator
    // off the runtime heap releases the block.
    if (QJ_UNLIKELY((entry & kOffMask) != 0)) {
        if ((entry & kOffMask) == kOffPassThrough)
            heapRelease(ptr);
        return;
    }
    common_releasers[entry >> kShapeShift](ptr);
}

std::int32_t getSizeOfAllocation(void* ptr) {
    using namespace detail;
    if (ptr == nullptr)
        return 0;
    const BlockLayout& l = layout;
    // Without guards (allocator off, or after a fatal report) a pointer may be a plain
    // runtime block with nothing of ours in front of it: answer 0 rather than guess.
    if ((entry_state.load(std::memory_order_relaxed) & kOffMask) != 0)
        return 0;
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (isBadPointerValue(p) || !insideRange(p) || largeBlockReleased(p))
        return 0;
    std::uint32_t tag = kUsedTagLive;
    if (l.usedTag != 0 && (!probe32(p - l.head, tag) || tag != kUsedTagLive))
        return 0;
    std::uint32_t header = 0;
    if (!probe32(p - l.headerBack, header) || !trustedHeader(l, header, p))
        return 0;
    return static_cast<std::int32_t>(visibleSize(l, headerSize(header)));
}

} // namespace velt::zur::memory
