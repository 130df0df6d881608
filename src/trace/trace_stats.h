// The statistics record shared by memory names, trace identifiers and resources, and the
// tables of named records. The tiny lock that keeps each record exact is frame/locks.h's
// SpinLock.
//
// Exactness: every update of a TraceStats runs under the record's own spin lock, so racing
// threads never lose a charge and the peaks, minimum and maximum follow the update rules
// exactly as a single thread would apply them. There is no shared lock on
// the allocation path: two blocks contend only when they charge the same record, and then
// only for a handful of instructions.
#ifndef QJ_TRACE_TRACE_STATS_H
#define QJ_TRACE_TRACE_STATS_H

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
// The counters are atomics only so that a reader that could not get the lock (at detach)
// reads them without undefined behaviour; every writer holds the lock.
class TraceStats {
public:
    constexpr TraceStats() = default;
    TraceStats(const TraceStats&) = delete;
    TraceStats& operator=(const TraceStats&) = delete;

    void addAllocation(std::int32_t size) noexcept;
    void removeAllocation(std::int32_t size) noexcept;
    // All six counters back to 0.
    void clear() noexcept;
    // A consistent copy of the six counters. With `patient` false the reader waits only a
    // bounded time for the lock and then reads without it.
    TraceStatsValues snapshot(bool patient = true) const noexcept;
    // Holds the record's lock across a fork, so that the child's only thread never finds
    // it held by a thread that the child does not have.
    // (Held from one function to another: beyond the thread-safety analysis.)
    void holdForFork() const noexcept QJ_NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
    void releaseAfterFork() const noexcept QJ_NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }

private:
    mutable SpinLock lock_;
    std::atomic<std::int32_t> peakBytes_{0};
    std::atomic<std::int32_t> peakNumAllocs_{0};
    std::atomic<std::int32_t> numAllocs_{0};
    std::atomic<std::int32_t> bytes_{0};
    std::atomic<std::int32_t> minBlock_{0};
    std::atomic<std::int32_t> maxBlock_{0};
};

// One of the sixteen memory names. The name is written once, before the record is counted
// in memoryNameCount, and never changed afterwards while the process runs.
constexpr std::size_t kMemoryNameChars = 64; // at most 63 significant
struct alignas(64) MemoryNameRecord {
    char name[kMemoryNameChars] = {};
    TraceStats stats;
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
