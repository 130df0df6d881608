// The statistics record shared by memory names, trace identifiers and resources, and the
// tables of named records.
//
// Exactness without a lock: every counter is an atomic. An add returns the value it
// produced, so the count and byte peaks are compare-and-swap maximums of those values
// and come out exact however the threads interleave. The byte peak and the smallest
// block share one 64-bit word, because the smallest block's rule reads the byte peak
// from before the charge: one compare-and-swap applies both, in one order for all
// threads. A charge that changes neither (the usual case) only loads the word.
//
// Memory names, charged by every allocation and release of the threads that share them, keep
// their counts and peaks in a gauge instead (MemoryNameStats, alloc/peak_gauge.h), whose
// usual charge writes only the calling thread's own cache line.
//
// One instant for the readers: memory names and trace identifiers are charged by the
// allocation and release paths inside statistics sections (alloc/counters.h), and their
// readers hold a StatisticsFreeze. Resources are charged by the host, outside the
// allocation path: those charges hold the record's own spin lock (frame/locks.h), which
// the resource report takes as well, for a bounded time at detach.
#ifndef QJ_TRACE_TRACE_STATS_H
#define QJ_TRACE_TRACE_STATS_H

#include "alloc/peak_gauge.h"
#include "frame/hints.h"
#include "frame/locks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::detail {

// A copy of the six counters, in the record's order.
struct TraceStatsValues {
    std::int32_t peakBytes;
    std::int32_t peakNumAllocs;
    std::int32_t numAllocs;
    std::int32_t bytes;
    std::int32_t minBlock;
    std::int32_t maxBlock;
};

// Six signed 32-bit counters. Sums wrap as 32-bit values would (no undefined overflow).
class TraceStats {
public:
    constexpr TraceStats() = default;
    TraceStats(const TraceStats&) = delete;
    TraceStats& operator=(const TraceStats&) = delete;

    // The charge rules, without a lock (see above): for a caller inside a statistics
    // section, or one that holds the record's lock.
    QJ_ALWAYS_INLINE void charge(std::int32_t size) noexcept {
        const std::int32_t numAllocs =
            wrapAdd(numAllocs_.fetch_add(1, std::memory_order_relaxed), 1);
        const std::int32_t bytes = wrapAdd(bytes_.fetch_add(size, std::memory_order_relaxed), size);
        const std::uint64_t seen = peakAndMin_.load(std::memory_order_relaxed);
        // The usual charge raises no peak and lowers no minimum: loads and compares only.
        if (QJ_LIKELY(numAllocs <= peakNumAllocs_.load(std::memory_order_relaxed) &&
                      size <= maxBlock_.load(std::memory_order_relaxed) && bytes <= peakOf(seen) &&
                      size >= minOf(seen) && peakOf(seen) != 0))
            return;
        chargeExtremes(size, numAllocs, bytes);
    }
    QJ_ALWAYS_INLINE void uncharge(std::int32_t size) noexcept {
        numAllocs_.fetch_sub(1, std::memory_order_relaxed);
        bytes_.fetch_sub(size, std::memory_order_relaxed);
    }

    // The same under the record's spin lock (resources).
    void addAllocation(std::int32_t size) noexcept;
    void removeAllocation(std::int32_t size) noexcept;
    // All six counters back to 0. No charge may run meanwhile.
    void clear() noexcept;
    // A copy of the six counters, under the record's lock: consistent with the locked
    // charges; a reader of records charged in statistics sections holds a
    // StatisticsFreeze. With `patient` false the reader waits only a bounded time for
    // the lock and then reads without it.
    TraceStatsValues snapshot(bool patient = true) const noexcept;
    // Holds the record's lock across a fork, so that the child's only thread never finds
    // it held by a thread that the child does not have.
    // (Held from one function to another: beyond the thread-safety analysis.)
    void holdForFork() const noexcept QJ_NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
    void releaseAfterFork() const noexcept QJ_NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }

private:
    // The peaks, the minimum and the maximum after a charge that produced `numAllocs` and
    // `bytes`: compare-and-swap loops, out of line.
    QJ_NOINLINE void chargeExtremes(std::int32_t size, std::int32_t numAllocs,
                                    std::int32_t bytes) noexcept;

    static std::int32_t wrapAdd(std::int32_t a, std::int32_t b) noexcept {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) +
                                         static_cast<std::uint32_t>(b));
    }
    // The byte peak in the low half, the smallest block in the high half.
    static std::uint64_t pack(std::int32_t peak, std::int32_t least) noexcept {
        return (std::uint64_t{static_cast<std::uint32_t>(least)} << 32) |
               static_cast<std::uint32_t>(peak);
    }
    static std::int32_t peakOf(std::uint64_t word) noexcept {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(word));
    }
    static std::int32_t minOf(std::uint64_t word) noexcept {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(word >> 32));
    }

    mutable SpinLock lock_;
    std::atomic<std::int32_t> numAllocs_{0};
    std::atomic<std::int32_t> bytes_{0};
    std::atomic<std::int32_t> peakNumAllocs_{0};
    std::atomic<std::int32_t> maxBlock_{0};
    std::atomic<std::uint64_t> peakAndMin_{0};
};

// A memory name's statistics: the same six counters and rules as TraceStats, the count and
// byte total with their peaks in a gauge. For a caller inside a statistics section.
class MemoryNameStats {
public:
    explicit constexpr MemoryNameStats(std::uint32_t share) : gauge_(share) {}
    MemoryNameStats(const MemoryNameStats&) = delete;
    MemoryNameStats& operator=(const MemoryNameStats&) = delete;

    // `share` is the calling thread's word of this record (gaugeShares[index]).
    QJ_ALWAYS_INLINE void charge(std::atomic<std::uint64_t>& share, std::int32_t size) noexcept {
        // The smallest block's rule reads the byte peak from before the charge: while that
        // peak is 0 (the first charges), the gauge runs the charge in its turn and calls
        // chargeFirst before it.
        gauge_.charge(share, static_cast<std::uint32_t>(size), &MemoryNameStats::chargeFirst, this);
        keepLeast(size);
        if (QJ_UNLIKELY(size > maxBlock_.load(std::memory_order_relaxed)))
            keepLargest(size);
    }
    QJ_ALWAYS_INLINE void uncharge(std::atomic<std::uint64_t>& share, std::int32_t size) noexcept {
        gauge_.uncharge(share, static_cast<std::uint32_t>(size));
    }
    // For a caller that holds a StatisticsFreeze.
    TraceStatsValues snapshot() const noexcept;
    // All six counters back to 0. No charge may run meanwhile.
    void clear() noexcept;

private:
    QJ_ALWAYS_INLINE void keepLeast(std::int32_t size) noexcept {
        std::int32_t least = minBlock_.load(std::memory_order_relaxed);
        while (QJ_UNLIKELY(size < least) &&
               !minBlock_.compare_exchange_weak(least, size, std::memory_order_relaxed)) {
        }
    }
    QJ_NOINLINE void keepLargest(std::int32_t size) noexcept;
    static void chargeFirst(void* self, std::int64_t peakBytes, std::uint32_t size) noexcept;

    PeakGauge gauge_;
    std::atomic<std::int32_t> minBlock_{0};
    std::atomic<std::int32_t> maxBlock_{0};
};

// One of the sixteen memory names. The name is written once, before the record is counted
// in memoryNameCount, and never changed afterwards while the process runs.
constexpr std::size_t kMemoryNameChars = 64; // at most 63 significant
struct alignas(64) MemoryNameRecord {
    explicit constexpr MemoryNameRecord(std::uint32_t index) : stats(index) {}
    char name[kMemoryNameChars] = {};
    MemoryNameStats stats;
};

// A named trace identifier or resource. Created zero-filled on the runtime heap, with the
// name written before the record is published; never changed or freed afterwards.
constexpr std::size_t kTraceNameChars = 256;
struct TraceRecord {
    char name[kTraceNameChars];
    std::uint32_t zeroWord; // keeps a name of exactly 256 characters terminated
    TraceStats stats;
};

constexpr std::int32_t kTraceTableCapacity = 2048;
constexpr char kTooManyIdentifiers[] = "ERROR. TOO MANY IDENTIFIERS";

// Identifiers are positions in `records`, handed out in order of first use. A record is
// published (pointer stored, then count raised, both with release) only once complete, so
// lock-free readers that load `count` with acquire see complete records below it.
struct TraceTable {
    std::atomic<TraceRecord*> records[kTraceTableCapacity] = {};
    std::atomic<std::int32_t> count{0};
    // Set when the table overflowed: record 0 then goes by kTooManyIdentifiers.
    std::atomic<bool> overflowed{false};
    // Serialises insertions (findOrAddTraceRecord); readers take no lock.
    SpinLock insertLock;
};

} // namespace velt::zur::memory::detail

#endif // QJ_TRACE_TRACE_STATS_H
