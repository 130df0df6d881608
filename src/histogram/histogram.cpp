// Size histogram (placeholder until the histogram lands: counts nothing).
#include "histogram/histogram.h"

#include "Quorrick.h"

namespace velt::zur::memory {
namespace detail {
void histogramAddBlock(std::uint32_t) {}
void histogramRemoveBlock(std::uint32_t) {}
void histogramWriteFile(const char*) {}
} // namespace detail

std::uint32_t histogramCurrentUsedMemory() { return 0; }
std::uint32_t histogramPeakUsedMemory() { return 0; }
void histogramDumpToFile(const char* path) { detail::histogramWriteFile(path); }
void histogramClearPeaks() {}
void histogramClearCurrent() {}
} // namespace velt::zur::memory
