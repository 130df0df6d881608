// Size histogram: live and peak blocks per gross size; no lock on the allocation path.
//
// The in-section updates are inline: the allocation and release paths run them inside
// their counter section, where a call would cost more than the update itself.
#ifndef QJ_HISTOGRAM_HISTOGRAM_H
#define QJ_HISTOGRAM_HISTOGRAM_H

#include "alloc/counters.h"
#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

// Gross sizes below it have a record of their own; larger blocks share one.
constexpr std::uint32_t HistogramSizeLimit = 10000;

// Plain words, zero before any initialiser runs (a table of std::atomic members may get a
// dynamic initialiser), read and written only through the atomic operations below.
struct HistogramRecord {
    std::uint32_t peak;
    std::uint32_t current;
};

// The records of sizes 0 to HistogramSizeLimit - 1 and, last, the one of every larger
// block: one table, so that the record is found with a compare and a select, no branch.
extern QJ_HIDDEN HistogramRecord histogram_table[HistogramSizeLimit + 1];
extern QJ_HIDDEN std::uint32_t histogram_current_bytes;
extern QJ_HIDDEN std::uint32_t histogram_peak_bytes;
// Set by the first counted block.
extern QJ_HIDDEN std::atomic<bool> histogram_started;

namespace histogram_detail {

QJ_ALWAYS_INLINE std::uint32_t load(const std::uint32_t& v) {
    return __atomic_load_n(&v, __ATOMIC_RELAXED);
}

// Keeps the largest value ever offered (unsigned comparison, as the counts wrap). A value
// at or below the peak, the usual case, costs one load.
QJ_ALWAYS_INLINE void keepPeak(std::uint32_t& peak, std::uint32_t value) {
    std::uint32_t seen = load(peak);
    while (QJ_UNLIKELY(value > seen) &&
           !__atomic_compare_exchange_n(&peak, &seen, value, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
}

QJ_ALWAYS_INLINE HistogramRecord& recordOf(std::uint32_t size) {
    return histogram_table[size < HistogramSizeLimit ? size : HistogramSizeLimit];
}

} // namespace histogram_detail

// One block more or less, for a caller already inside a statistics section
// (alloc/counters.h). Each count and byte total is an atomic: an add returns the value it
// produced, and a compare-and-swap maximum of that value keeps the peak exact however
// the threads interleave.
QJ_ALWAYS_INLINE void histogramCountBlock(std::uint32_t size) {
    using namespace histogram_detail;
    if (QJ_UNLIKELY(!histogram_started.load(std::memory_order_relaxed)))
        histogram_started.store(true, std::memory_order_relaxed);
    keepPeak(histogram_peak_bytes,
             __atomic_add_fetch(&histogram_current_bytes, size, __ATOMIC_RELAXED));
    HistogramRecord& record = recordOf(size);
    keepPeak(record.peak, __atomic_add_fetch(&record.current, 1u, __ATOMIC_RELAXED));
}

// A count never goes below zero: blocks counted before histogramClearCurrent are still
// released afterwards.
QJ_ALWAYS_INLINE void histogramUncountBlock(std::uint32_t size) {
    using namespace histogram_detail;
    if (QJ_UNLIKELY(!histogram_started.load(std::memory_order_relaxed)))
        return;
    __atomic_fetch_sub(&histogram_current_bytes, size, __ATOMIC_RELAXED);
    std::uint32_t& current = recordOf(size).current;
    std::uint32_t seen = load(current);
    while (seen > 0 && !__atomic_compare_exchange_n(&current, &seen, seen - 1, true,
                                                    __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

// The same, each in a statistics section of its own (inline: a call would cost more).
QJ_ALWAYS_INLINE void histogramAddBlock(std::uint32_t size) {
    statisticsSection([size] { histogramCountBlock(size); });
}
QJ_ALWAYS_INLINE void histogramRemoveBlock(std::uint32_t size) {
    statisticsSection([size] { histogramUncountBlock(size); });
}
// Writes the histogram file; nothing before the first counted block.
void histogramWriteFile(const char* path);

// Back to the state at load (nothing counted, every count and total zero), for tests that
// set the library up more than once in one process.
void histogramResetForTesting();

} // namespace velt::zur::memory::detail

#endif // QJ_HISTOGRAM_HISTOGRAM_H
