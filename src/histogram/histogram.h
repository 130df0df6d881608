// Size histogram: live and peak blocks per gross size; no lock on the allocation path, and
// no shared cache line written while the counts stay below their peaks.
//
// The in-section updates are inline: the allocation and release paths run them inside
// their counter section, where a call would cost more than the update itself.
#ifndef QJ_HISTOGRAM_HISTOGRAM_H
#define QJ_HISTOGRAM_HISTOGRAM_H

#include "alloc/counters.h"
#include "alloc/peak_gauge.h"
#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

// Gross sizes below it have a record of their own; larger blocks share one.
constexpr std::uint32_t HistogramSizeLimit = 10000;
constexpr std::uint32_t kHistogramRecords = HistogramSizeLimit + 1;

// The byte total and its peak: a bytes-only gauge (alloc/peak_gauge.h).
constexpr std::uint32_t kHistogramBytesShare = 16;
extern QJ_HIDDEN PeakGauge histogram_bytes;

// The live blocks of one gross size work as a gauge's count does (alloc/peak_gauge.h):
// a reserve R on the shared record and, for each thread, a share of headroom in a table
// of its own (one 32-bit word per record), with R = live + (the threads' headroom) and
// R <= peak. A release adds one to the thread's share, a charge its share covers takes
// one from it; a charge that would take R past the peak takes the histogram's raise turn,
// closes that record's share on every thread (collecting the headroom), adds one with
// the collected headroom taken off, which yields the exact count, keeps the peak, and
// hands the room left under the peak back to the threads that held headroom.
//
// A share word: an open share holds its headroom plus one (1 to 0x10000); a closed one
// holds 0 when it was never opened (a new table is all zeros), or, shifted up by 17, the
// odd low bits of the generation of the raise that closed it. One compare tells a share
// that can give a block (word - 2 < 0xFFFF) or take one (word - 1 < 0xFFFF); neither
// passes on a closed share.
//
// After histogramClearCurrent the counts of the blocks still live are gone, and their
// releases must not take a count below 0, which needs the exact count at every release:
// from then on the shares stay closed and every change is made on R, as one atomic.
//
// Plain words, zero before any initialiser runs (a table of std::atomic members may get
// a dynamic initialiser), read and written only through atomic operations.
struct HistogramRecord {
    std::uint32_t peak;
    std::uint32_t reserve;
};
extern QJ_HIDDEN HistogramRecord histogram_table[kHistogramRecords];
// Odd while a raise runs.
extern QJ_HIDDEN std::atomic<std::uint32_t> histogram_generation;
// Set by histogramClearCurrent: every change on R (see above).
extern QJ_HIDDEN std::atomic<bool> histogram_shares_off;
// Set by the first counted block.
extern QJ_HIDDEN std::atomic<bool> histogram_started;

namespace histogram_detail {

constexpr std::uint32_t kShareRange = 0xFFFF;

QJ_ALWAYS_INLINE std::uint32_t load(const std::uint32_t& v) {
    return __atomic_load_n(&v, __ATOMIC_RELAXED);
}

QJ_ALWAYS_INLINE std::uint32_t recordIndex(std::uint32_t size) {
    return size < HistogramSizeLimit ? size : HistogramSizeLimit;
}

// The charge that the calling thread's share does not cover (no table yet, closed, or
// empty): on R, or a raise; the first counted block starts the histogram. Out of line.
QJ_NOINLINE void countSlow(CounterSlot& slot, std::uint32_t index);

} // namespace histogram_detail

// One block more or less, for a caller already inside a statistics section
// (alloc/counters.h), with the calling thread's counter slot.
QJ_ALWAYS_INLINE void histogramCountBlock(CounterSlot& slot, std::uint32_t size) {
    using namespace histogram_detail;
    histogram_bytes.chargeBytes(slot.gaugeShares[kHistogramBytesShare], size);
    const std::uint32_t index = recordIndex(size);
    // A thread without a table of its own has histogram_no_shares, all closed.
    std::atomic<std::uint32_t>* table = slot.histogramShares.load(std::memory_order_acquire);
    std::uint32_t seen = table[index].load(std::memory_order_acquire);
    if (QJ_LIKELY(seen - 2 < kShareRange) &&
        QJ_LIKELY(table[index].compare_exchange_strong(seen, seen - 1, std::memory_order_relaxed)))
        return;
    countSlow(slot, index);
}

// A count never goes below zero: blocks counted before histogramClearCurrent are still
// released afterwards. Nothing is uncounted before the first counted block (after a
// reset, the blocks counted before it): until then every share is closed, so the test
// is needed on the shared side only. No call: a closed or full share lowers R itself.
QJ_ALWAYS_INLINE void histogramUncountBlock(CounterSlot& slot, std::uint32_t size) {
    using namespace histogram_detail;
    if (QJ_UNLIKELY(!histogram_bytes.unchargeBytes(slot.gaugeShares[kHistogramBytesShare], size)) &&
        histogram_started.load(std::memory_order_relaxed))
        histogram_bytes.lowerBytes(size);
    const std::uint32_t index = recordIndex(size);
    std::atomic<std::uint32_t>* table = slot.histogramShares.load(std::memory_order_relaxed);
    std::uint32_t seen = table[index].load(std::memory_order_relaxed);
    if (QJ_LIKELY(seen - 1 < kShareRange) &&
        QJ_LIKELY(table[index].compare_exchange_strong(seen, seen + 1, std::memory_order_relaxed)))
        return;
    if (!histogram_started.load(std::memory_order_relaxed))
        return;
    // While shares are open R is the count plus the headroom, never below the count: the
    // test against 0 matters only once every change is made on R.
    std::uint32_t& reserve = histogram_table[index].reserve;
    seen = load(reserve);
    while (seen > 0 && !__atomic_compare_exchange_n(&reserve, &seen, seen - 1, true,
                                                    __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
    }
}

// The same, each in a statistics section of its own (inline: a call would cost more).
QJ_ALWAYS_INLINE void histogramAddBlock(std::uint32_t size) {
    updateCounters([size](CounterSlot& slot) { histogramCountBlock(slot, size); });
}
QJ_ALWAYS_INLINE void histogramRemoveBlock(std::uint32_t size) {
    updateCounters([size](CounterSlot& slot) { histogramUncountBlock(slot, size); });
}
// Writes the histogram file; nothing before the first counted block.
void histogramWriteFile(const char* path);

// Back to the state at load (nothing counted, every count and total zero), for tests that
// set the library up more than once in one process.
void histogramResetForTesting();

} // namespace velt::zur::memory::detail

#endif // QJ_HISTOGRAM_HISTOGRAM_H
