// The counters' line of the status text.
#include "alloc/alloc.h"
#include "frame/text_builder.h"

namespace velt::zur::memory::detail {

namespace {

// The 32-bit value a counter has in a 32-bit build.
inline std::int32_t as32(std::int64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

} // namespace

void appendCounterStatus(TextBuilder& out) {
    NumberArea numbers;
    const CounterSnapshot counters = readCounters();
    const char* total = formatNumber(numbers, as32(counters.totalBytes), true);
    const char* unpooled = formatNumber(numbers, as32(counters.unpooledCount), false);
    out.append("TotalBytesAllocated:%s TotalAllocationCount:%s\n", total, unpooled);
}

} // namespace velt::zur::memory::detail
