// Allocation-site table (placeholder until tracking lands: no sites).
#include "tracking/alloc_info.h"

#include "Quorrick.h"
#include "frame/settings.h"

namespace velt::zur::memory {
namespace detail {
void allocInfoTableInit(std::int32_t) {}
std::uint32_t allocInfoFindOrInsert(std::int32_t) { return 0; }
void allocInfoUpdate(std::uint32_t, std::int32_t) {}
void allocInfoFinalReport(const char*, bool) {}
} // namespace detail

void set_all_allocations_to_zero() {}
void memoryTraceReset() {}
const char* dump_allocations_to_file(const char*, std::int32_t) {
    return "can't dump allocations: callstack information not available.";
}
const char* dump_active_allocations_to_file(const char*) {
    return "can't dump allocations: callstack information not available.";
}
void memory_update_modules(const char*) {}
} // namespace velt::zur::memory
