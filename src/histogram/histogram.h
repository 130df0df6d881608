// Size histogram: live and peak blocks per gross size, under the histogram lock.
#ifndef QJ_HISTOGRAM_HISTOGRAM_H
#define QJ_HISTOGRAM_HISTOGRAM_H

#include <cstdint>

namespace velt::zur::memory::detail {

void histogramAddBlock(std::uint32_t size);
void histogramRemoveBlock(std::uint32_t size);
// Writes the histogram file; nothing before the first counted block.
void histogramWriteFile(const char* path);

} // namespace velt::zur::memory::detail

#endif // QJ_HISTOGRAM_HISTOGRAM_H
