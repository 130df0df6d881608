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

HistogramRecord histogram_table[HistogramSizeLimit + 1];
std::uint32_t histogram_current_bytes = 0;
std::uint32_t histogram_peak_bytes = 0;
std::atomic<bool> histogram_started{false};

namespace {

// Gross size HistogramSizeLimit or more.
constexpr HistogramRecord& large_blocks = histogram_table[HistogramSizeLimit];

std::uint32_t get(const std::uint32_t& v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
void put(std::uint32_t& v, std::uint32_t value) { __atomic_store_n(&v, value, __ATOMIC_RELAXED); }

void clearAll() {
    for (HistogramRecord& r : histogram_table) {
        put(r.peak, 0);
        put(r.current, 0);
    }
    put(histogram_current_bytes, 0);
    put(histogram_peak_bytes, 0);
}

} // namespace

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
    out.append("Total bytes allocated. Current:%u Peak:%u\n\n", get(histogram_current_bytes),
               get(histogram_peak_bytes));
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
    return detail::get(detail::histogram_current_bytes);
}

std::uint32_t histogramPeakUsedMemory() {
    return detail::get(detail::histogram_peak_bytes);
}

void histogramDumpToFile(const char* path) { detail::histogramWriteFile(path); }

void histogramClearPeaks() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    // The shared record of the large blocks keeps its counts.
    for (std::uint32_t size = 0; size < detail::HistogramSizeLimit; ++size)
        detail::put(detail::histogram_table[size].peak, 0);
}

void histogramClearCurrent() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    for (std::uint32_t size = 0; size < detail::HistogramSizeLimit; ++size)
        detail::put(detail::histogram_table[size].current, 0);
}

} // namespace velt::zur::memory
