// Size histogram: live and peak block counts per gross size below HistogramSizeLimit, one
// shared pair of counts for the larger blocks, and the byte total with its peak.
//
// Every operation runs under the histogram lock and nothing else is locked meanwhile.
// The table is static and costs nothing until the first counted block clears it; the
// counts and byte totals are unsigned 32-bit and wrap without notice.
#include "histogram/histogram.h"

#include "Quorrick.h"
#include "frame/locks.h"
#include "frame/text_builder.h"

#include <cstdio>
#include <cstring>

namespace velt::zur::memory {

namespace detail {

namespace {

constexpr std::uint32_t HistogramSizeLimit = 10000;

struct HistogramRecord {
    std::uint32_t peak;
    std::uint32_t current;
};

HistogramRecord histogram_table[HistogramSizeLimit];
HistogramRecord large_blocks;          // gross size HistogramSizeLimit or more
std::uint32_t current_bytes = 0;
std::uint32_t peak_bytes = 0;
bool histogram_started = false;        // set by the first counted block

void raise(HistogramRecord& record) {
    if (++record.current > record.peak)
        record.peak = record.current;
}

void lower(HistogramRecord& record) {
    if (record.current > 0)
        --record.current;
}

} // namespace

void histogramAddBlock(std::uint32_t size) {
    ScopedLock lock(histogramLock());
    if (!histogram_started) {
        std::memset(histogram_table, 0, sizeof histogram_table);
        histogram_started = true;
    }
    current_bytes += size;
    if (current_bytes > peak_bytes)
        peak_bytes = current_bytes;
    raise(size < HistogramSizeLimit ? histogram_table[size] : large_blocks);
}

void histogramRemoveBlock(std::uint32_t size) {
    ScopedLock lock(histogramLock());
    if (!histogram_started)
        return;
    current_bytes -= size;
    lower(size < HistogramSizeLimit ? histogram_table[size] : large_blocks);
}

void histogramWriteFile(const char* path) {
    ScopedLock lock(histogramLock());
    if (!histogram_started || path == nullptr)
        return;
    std::FILE* file = std::fopen(path, "wt");
    if (file == nullptr)
        return;
    char text[4096];
    TextBuilder out(text, sizeof text, file);
    // The large-block counts include blocks of exactly HistogramSizeLimit bytes.
    out.append("Allocations greater than %u bytes\n", HistogramSizeLimit);
    out.append("Current:%u Peak:%u\n", large_blocks.current, large_blocks.peak);
    out.append("Total bytes allocated. Current:%u Peak:%u\n\n", current_bytes, peak_bytes);
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const HistogramRecord& r = histogram_table[size];
        if (r.current > 0)
            out.append("Size:%u Current:%u Peak:%u\n", size, r.current, r.peak);
    }
    out.appendText("\nBlocks where current is zero\n\n");
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const HistogramRecord& r = histogram_table[size];
        if (r.current == 0 && r.peak > 0)
            out.append("Size:%u Peak:%u\n", size, r.peak);
    }
    out.flush();
    std::fclose(file);
}

void histogramResetForTesting() {
    ScopedLock lock(histogramLock());
    std::memset(histogram_table, 0, sizeof histogram_table);
    large_blocks = HistogramRecord{};
    current_bytes = 0;
    peak_bytes = 0;
    histogram_started = false;
}

} // namespace detail

std::uint32_t histogramCurrentUsedMemory() {
    ScopedLock lock(detail::histogramLock());
    return detail::current_bytes;
}

std::uint32_t histogramPeakUsedMemory() {
    ScopedLock lock(detail::histogramLock());
    return detail::peak_bytes;
}

void histogramDumpToFile(const char* path) { detail::histogramWriteFile(path); }

void histogramClearPeaks() {
    ScopedLock lock(detail::histogramLock());
    for (detail::HistogramRecord& r : detail::histogram_table)
        r.peak = 0;
}

void histogramClearCurrent() {
    ScopedLock lock(detail::histogramLock());
    for (detail::HistogramRecord& r : detail::histogram_table)
        r.current = 0;
}

} // namespace velt::zur::memory
