// The spin lock, and the locked forms and the readers of TraceStats.
#include "trace/trace_stats.h"

#include "platform/platform.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velt::zur::memory::detail {

namespace {

inline void cpuPause() {
#if defined(__i386__) || defined(__x86_64__)
    _mm_pause();
#endif
}

// Pauses before each yield: a holder runs a few instructions only, so a short spin
// usually suffices; the yield lets a preempted holder finish.
constexpr int kPausesPerYield = 64;

void keepMaximum(std::atomic<std::int32_t>& peak, std::int32_t value) noexcept {
    std::int32_t seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

} // namespace

void SpinLock::lockSlow() noexcept {
    for (;;) {
        int pauses = 0;
        while (flag_.load(std::memory_order_relaxed)) {
            if (++pauses < kPausesPerYield) {
                cpuPause();
            } else {
                platform::relax();
                pauses = 0;
            }
        }
        if (!flag_.exchange(true, std::memory_order_acquire))
            return;
    }
}

bool SpinLock::lockBounded(std::uint32_t rounds) noexcept {
    for (std::uint32_t round = 0; round <= rounds; ++round) {
        for (int i = 0; i < kPausesPerYield; ++i) {
            if (!flag_.load(std::memory_order_relaxed) &&
                !flag_.exchange(true, std::memory_order_acquire))
                return true;
            cpuPause();
        }
        platform::relax();
    }
    return false;
}

void TraceStats::chargeExtremes(std::int32_t size, std::int32_t numAllocs,
                                std::int32_t bytes) noexcept {
    keepMaximum(peakNumAllocs_, numAllocs);
    if (size >= 0)
        keepMaximum(maxBlock_, size);
    std::uint64_t seen = peakAndMin_.load(std::memory_order_relaxed);
    for (;;) {
        const std::int32_t peak = peakOf(seen);
        const std::int32_t least = minOf(seen);
        // The test of the peak reads the value from before this charge: it lets the
        // first charge set minBlock although minBlock starts at 0.
        const std::int32_t newLeast = size >= 0 && (size < least || peak == 0) ? size : least;
        const std::int32_t newPeak = bytes > peak ? bytes : peak;
        if (newLeast == least && newPeak == peak)
            return;
        if (peakAndMin_.compare_exchange_weak(seen, pack(newPeak, newLeast),
                                              std::memory_order_relaxed))
            return;
    }
}

void TraceStats::addAllocation(std::int32_t size) noexcept {
    SpinGuard guard(lock_);
    charge(size);
}

void TraceStats::removeAllocation(std::int32_t size) noexcept {
    SpinGuard guard(lock_);
    uncharge(size);
}

void TraceStats::clear() noexcept {
    SpinGuard guard(lock_);
    numAllocs_.store(0, std::memory_order_relaxed);
    bytes_.store(0, std::memory_order_relaxed);
    peakNumAllocs_.store(0, std::memory_order_relaxed);
    maxBlock_.store(0, std::memory_order_relaxed);
    peakAndMin_.store(0, std::memory_order_relaxed);
}

// The lock is taken on one path only (see lockBounded): beyond the analysis.
TraceStatsValues TraceStats::snapshot(bool patient) const noexcept QJ_NO_THREAD_SAFETY_ANALYSIS {
    // About a second of yields: far longer than any live holder needs.
    constexpr std::uint32_t kDetachRounds = 20000;
    bool locked = true;
    if (patient)
        lock_.lock();
    else
        locked = lock_.lockBounded(kDetachRounds);
    const std::uint64_t peakAndMin = peakAndMin_.load(std::memory_order_relaxed);
    const TraceStatsValues values{peakOf(peakAndMin),
                                  peakNumAllocs_.load(std::memory_order_relaxed),
                                  numAllocs_.load(std::memory_order_relaxed),
                                  bytes_.load(std::memory_order_relaxed),
                                  minOf(peakAndMin),
                                  maxBlock_.load(std::memory_order_relaxed)};
    if (locked)
        lock_.unlock();
    return values;
}

void MemoryNameStats::keepLargest(std::int32_t size) noexcept { keepMaximum(maxBlock_, size); }

void MemoryNameStats::chargeFirst(void* self, std::int64_t peakBytes, std::uint32_t size) noexcept {
    MemoryNameStats& stats = *static_cast<MemoryNameStats*>(self);
    const auto block = static_cast<std::int32_t>(size);
    // The first charge sets the smallest block although it starts at 0.
    if (peakBytes == 0)
        stats.minBlock_.store(block, std::memory_order_relaxed);
    else
        stats.keepLeast(block);
    keepMaximum(stats.maxBlock_, block);
}

TraceStatsValues MemoryNameStats::snapshot() const noexcept {
    const PeakGaugeValues v = gauge_.read();
    // The counters are 32-bit values, as in every other record.
    auto cell = [](std::int64_t value) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    };
    return {cell(v.peakBytes),
            cell(v.peakCount),
            cell(v.count),
            cell(v.bytes),
            minBlock_.load(std::memory_order_relaxed),
            maxBlock_.load(std::memory_order_relaxed)};
}

void MemoryNameStats::clear() noexcept {
    gauge_.clear();
    minBlock_.store(0, std::memory_order_relaxed);
    maxBlock_.store(0, std::memory_order_relaxed);
}

} // namespace velt::zur::memory::detail
