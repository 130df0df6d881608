// The resource trace: named resources of the host, counted whatever the switches say.
#include "Quorrick.h"
#include "trace/trace_internal.h"

namespace velt::zur::memory {

namespace detail {

TraceTable resourceTable;

namespace {

// The record the cell selects, registering `name` while the cell holds -1. A cell that
// holds anything else that is not an identifier of resourceTable (a trace identifier's
// cell, a stray value) selects nothing, and nothing is charged.
TraceRecord* resourceRecord(std::int32_t& cell, const char* name) {
    std::int32_t id = readCell(cell);
    if (id == -1) {
        id = findOrAddTraceRecord(name, resourceTable);
        if (id < 0)
            return nullptr; // no record could be made: the cell keeps -1
        storeCell(cell, id);
    }
    return traceRecord(resourceTable, id);
}

} // namespace
} // namespace detail

void resourceTraceAllocate(std::int32_t& cell, const char* name, std::int32_t size) {
    if (detail::TraceRecord* record = detail::resourceRecord(cell, name))
        record->stats.addAllocation(size);
}

void resourceTraceFree(std::int32_t& cell, const char* name, std::int32_t size) {
    if (detail::TraceRecord* record = detail::resourceRecord(cell, name))
        record->stats.removeAllocation(size);
}

} // namespace velt::zur::memory
