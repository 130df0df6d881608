// The spin lock and the update rules of TraceStats.
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

// Sums wrap as 32-bit values would.
inline std::int32_t wrapAdd(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapSub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

inline std::int32_t get(const std::atomic<std::int32_t>& v) {
    return v.load(std::memory_order_relaxed);
}
inline void put(std::atomic<std::int32_t>& v, std::int32_t value) {
    v.store(value, std::memory_order_relaxed);
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

void TraceStats::addAllocation(std::int32_t size) noexcept {
    SpinGuard guard(lock_);
    const std::int32_t numAllocs = wrapAdd(get(numAllocs_), 1);
    const std::int32_t bytes = wrapAdd(get(bytes_), size);
    put(numAllocs_, numAllocs);
    put(bytes_, bytes);
    if (size >= 0) {
        // The peakBytes test reads the value from before this charge: it lets the first
        // charge set minBlock although minBlock starts at 0.
        if (size < get(minBlock_) || get(peakBytes_) == 0)
            put(minBlock_, size);
        if (size > get(maxBlock_))
            put(maxBlock_, size);
    }
    if (numAllocs > get(peakNumAllocs_))
        put(peakNumAllocs_, numAllocs);
    if (bytes > get(peakBytes_))
        put(peakBytes_, bytes);
}

void TraceStats::removeAllocation(std::int32_t size) noexcept {
    SpinGuard guard(lock_);
    put(numAllocs_, wrapSub(get(numAllocs_), 1));
    put(bytes_, wrapSub(get(bytes_), size));
}

void TraceStats::clear() noexcept {
    SpinGuard guard(lock_);
    put(peakBytes_, 0);
    put(peakNumAllocs_, 0);
    put(numAllocs_, 0);
    put(bytes_, 0);
    put(minBlock_, 0);
    put(maxBlock_, 0);
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
    const TraceStatsValues values{get(peakBytes_), get(peakNumAllocs_), get(numAllocs_),
                                  get(bytes_),     get(minBlock_),      get(maxBlock_)};
    if (locked)
        lock_.unlock();
    return values;
}

} // namespace velt::zur::memory::detail
