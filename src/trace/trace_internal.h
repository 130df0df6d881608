// Inside the trace subsystem: the tables, the trace stack, the number formatting and the
// report builders. Other subsystems use trace/trace.h; the unit tests use this header to
// drive the parts that the exported functions hide behind the settings switches.
#ifndef QJ_TRACE_TRACE_INTERNAL_H
#define QJ_TRACE_TRACE_INTERNAL_H

#include "frame/text_builder.h"
#include "status/status.h" // the status text's size, which the resource section is cut to
#include "trace/trace.h"
#include "trace/trace_stats.h"

#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::detail {

// --- Memory names -------------------------------------------------------------------
extern std::atomic<std::int32_t> memoryNameCount;

// --- Trace identifiers and resources ------------------------------------------------
extern TraceTable traceIdentifierTable;
extern TraceTable resourceTable;

// The identifier of `name` in `table`, adding a record when the name is new; 0 (with
// record 0 renamed) once the table is full; -1 when `name` is null or a new record cannot
// be allocated (nothing is then changed). Takes the table's insertion lock itself.
std::int32_t findOrAddTraceRecord(const char* name, TraceTable& table);
// The record of identifier `id`, or null when `id` is not an identifier of the table.
TraceRecord* traceRecord(const TraceTable& table, std::int32_t id);
// The name a report prints for record `id` (record 0 after an overflow goes by
// kTooManyIdentifiers).
const char* traceRecordName(const TraceTable& table, std::int32_t id);

// Reads and writes of a host's identifier cell (atomic, so they never tear).
std::int32_t readCell(const std::int32_t& cell);
void storeCell(std::int32_t& cell, std::int32_t value);

// The allocation of new records (by default the runtime heap through heapAllocate of
// frame/runtime_heap.h), replaceable so that unit tests can make it fail. Returns the
// previous function; null restores the default.
using RecordAllocator = void* (*)(std::size_t);
RecordAllocator setRecordAllocator(RecordAllocator allocator);

// --- The process-wide trace stack ---------------------------------------------------
// startMemoryTrace and endMemoryTrace without the switch test (they take the global lock).
void startTrace(std::int32_t& cell, const char* name);
void endTrace(std::int32_t identifier);
// traceStackTop + 1: the number of open traces.
std::int32_t traceStackDepth();
// The identifier held by stack slot `slot` (-1 when free).
std::int32_t traceStackIdentifier(std::int32_t slot);

// --- Reports ------------------------------------------------------------------------
// Appends the report of `table` (header line and sorted lines) to `out`; false, with
// nothing appended, when the table is empty. The caller holds reportBuildLock().
bool buildTraceReport(const TraceTable& table, TextBuilder& out, bool patient = true);

// Serialises every report build: the report buffers and the sort scratch have one writer
// at a time. Taken after the global lock, never before it.
SpinLock& reportBuildLock();

// The trace report ("no traces found" when no identifier exists) in its own buffer. The
// caller holds the global lock.
const char* traceReport();
void writeTraceReportFile(const char* path);

// The resource report ("no resources found" when no resource exists) in its own buffer;
// the caller holds reportBuildLock().
const char* resourceReportLocked(bool patient);

// --- Tests ----------------------------------------------------------------------------
// Back to the state at load: no names, no records (all freed), an empty stack, frames 0.
void resetTraceStateForTesting();

} // namespace velt::zur::memory::detail

#endif // QJ_TRACE_TRACE_INTERNAL_H
