// Size histogram: live and peak block counts per gross size below HistogramSizeLimit, one
// shared pair of counts for the larger blocks, and the byte total with its peak.
//
// The allocation and release paths take no lock: every count is an atomic, a raise adds
// and keeps the peak with a compare-and-swap maximum of the value its own add produced,
// so the peaks are exact however the threads interleave. Those updates run inside
// statistics sections (alloc/counters.h); the file, the clears and the reset hold a
// StatisticsFreeze, under which no update runs, and the histogram lock, which keeps them
// apart from each other. The counts and byte totals are unsigned 32-bit and wrap without
// notice.
#include "histogram/histogram.h"

#include "Quorrick.h"
#include "alloc/counters.h"
#include "frame/locks.h"
#include "frame/text_builder.h"

#include <atomic>
#include <cstdio>

namespace velt::zur::memory {

namespace detail {

namespace {

constexpr std::uint32_t HistogramSizeLimit = 10000;

// Plain words, zero before any initialiser runs (a table of std::atomic members may get a
// dynamic initialiser), read and written only through the atomic operations below.
struct HistogramRecord {
    std::uint32_t peak;
    std::uint32_t current;
};

HistogramRecord histogram_table[HistogramSizeLimit];
HistogramRecord large_blocks;                 // gross size HistogramSizeLimit or more
std::uint32_t current_bytes = 0;
std::uint32_t peak_bytes = 0;
std::atomic<bool> histogram_started{false};   // set by the first counted block

std::uint32_t get(const std::uint32_t& v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
void put(std::uint32_t& v, std::uint32_t value) { __atomic_store_n(&v, value, __ATOMIC_RELAXED); }
// The value after adding `amount`.
std::uint32_t add(std::uint32_t& v, std::uint32_t amount) {
    return __atomic_add_fetch(&v, amount, __ATOMIC_RELAXED);
}

// Keeps the largest value ever offered (unsigned comparison, as the counts wrap).
void keepPeak(std::uint32_t& peak, std::uint32_t value) {
    std::uint32_t seen = get(peak);
    while (value > seen &&
           !__atomic_compare_exchange_n(&peak, &seen, value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

void raise(HistogramRecord& record) { keepPeak(record.peak, add(record.current, 1)); }

void lower(HistogramRecord& record) {
    std::uint32_t seen = get(record.current);
    while (seen > 0 && !__atomic_compare_exchange_n(&record.current, &seen, seen - 1, true,
                                                    __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

HistogramRecord& recordOf(std::uint32_t size) {
    return size < HistogramSizeLimit ? histogram_table[size] : large_blocks;
}

void clearAll() {
    for (HistogramRecord& r : histogram_table) {
        put(r.peak, 0);
        put(r.current, 0);
    }
    put(large_blocks.peak, 0);
    put(large_blocks.current, 0);
    put(current_bytes, 0);
    put(peak_bytes, 0);
}

} // namespace

void histogramCountBlock(std::uint32_t size) {
    if (!histogram_started.load(std::memory_order_relaxed))
        histogram_started.store(true, std::memory_order_relaxed);
    keepPeak(peak_bytes, add(current_bytes, size));
    raise(recordOf(size));
}

void histogramUncountBlock(std::uint32_t size) {
    if (!histogram_started.load(std::memory_order_relaxed))
        return;
    add(current_bytes, 0u - size);
    lower(recordOf(size));
}

void histogramAddBlock(std::uint32_t size) {
    statisticsSection([size] { histogramCountBlock(size); });
}

void histogramRemoveBlock(std::uint32_t size) {
    statisticsSection([size] { histogramUncountBlock(size); });
}

void histogramWriteFile(const char* path) {
    ScopedLock lock(histogramLock());
    StatisticsFreeze freeze;
    if (!histogram_started.load(std::memory_order_relaxed) || path == nullptr)
        return;
    std::FILE* file = std::fopen(path, "wt");
    if (file == nullptr)
        return;
    char text[4096];
    TextBuilder out(text, sizeof text, file);
    // The large-block counts include blocks of exactly HistogramSizeLimit bytes.
    out.append("Allocations greater than %u bytes\n", HistogramSizeLimit);
    out.append("Current:%u Peak:%u\n", get(large_blocks.current), get(large_blocks.peak));
    out.append("Total bytes allocated. Current:%u Peak:%u\n\n", get(current_bytes), get(peak_bytes));
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const HistogramRecord& r = histogram_table[size];
        if (get(r.current) > 0)
            out.append("Size:%u Current:%u Peak:%u\n", size, get(r.current), get(r.peak));
    }
    out.appendText("\nBlocks where current is zero\n\n");
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const HistogramRecord& r = histogram_table[size];
        if (get(r.current) == 0 && get(r.peak) > 0)
            out.append("Size:%u Peak:%u\n", size, get(r.peak));
    }
    out.flush();
    std::fclose(file);
}

void histogramResetForTesting() {
    ScopedLock lock(histogramLock());
    StatisticsFreeze freeze;
    clearAll();
    histogram_started.store(false, std::memory_order_relaxed);
}

} // namespace detail

std::uint32_t histogramCurrentUsedMemory() {
    return detail::get(detail::current_bytes);
}

std::uint32_t histogramPeakUsedMemory() {
    return detail::get(detail::peak_bytes);
}

void histogramDumpToFile(const char* path) { detail::histogramWriteFile(path); }

void histogramClearPeaks() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    for (detail::HistogramRecord& r : detail::histogram_table)
        detail::put(r.peak, 0);
}

void histogramClearCurrent() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    for (detail::HistogramRecord& r : detail::histogram_table)
        detail::put(r.current, 0);
}

} // namespace velt::zur::memory
