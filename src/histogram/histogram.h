// Size histogram: live and peak blocks per gross size; no lock on the allocation path.
#ifndef QJ_HISTOGRAM_HISTOGRAM_H
#define QJ_HISTOGRAM_HISTOGRAM_H

#include <cstdint>

namespace velt::zur::memory::detail {

// One block more or less, each in a statistics section of its own.
void histogramAddBlock(std::uint32_t size);
void histogramRemoveBlock(std::uint32_t size);
// The same, for a caller already inside a statistics section (alloc/counters.h).
void histogramCountBlock(std::uint32_t size);
void histogramUncountBlock(std::uint32_t size);
// Writes the histogram file; nothing before the first counted block.
void histogramWriteFile(const char* path);

// Back to the state at load (nothing counted, every count and total zero), for tests that
// set the library up more than once in one process.
void histogramResetForTesting();

} // namespace velt::zur::memory::detail

#endif // QJ_HISTOGRAM_HISTOGRAM_H
