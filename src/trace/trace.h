// Memory names, trace identifiers and resources as the other subsystems see them.
#ifndef QJ_TRACE_TRACE_H
#define QJ_TRACE_TRACE_H

#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::detail {

class TextBuilder;

constexpr std::int32_t kMemoryNameCount = 16;

// Static start: empty memory-name records and a free trace stack.
void clearMemoryNames();
void clearTraceStack();

// Charges the innermost open trace (whichever thread opened it); returns its trace value
// (identifier + 1, at most 2048, so it fits bits 4-23 of the trace word) or 0 when no
// trace is open. Takes no shared lock: the record's own spin lock keeps the charge exact.
std::uint32_t traceAllocate(std::int32_t grossSize);
// Takes a charge back. Only a value that names an existing identifier is charged back;
// 0 and every other value (a corrupted trace word) change nothing.
void traceFree(std::uint32_t traceValue, std::int32_t grossSize);
// Memory-name charges, exact under concurrency. An index outside 0 to 15 is charged to
// name 0, as the allocation path stores it in the trace word, so the release (which reads
// bits 0-3 back) takes the charge back from the same record. Nothing outside the sixteen
// records is ever written.
void memoryNameAllocate(std::int32_t index, std::int32_t grossSize);
// The sixteen memory names' locks, held across a fork (the allocation path charges them).
void memoryNamesHoldForFork();
void memoryNamesReleaseAfterFork();
void memoryNameFree(std::int32_t index, std::int32_t grossSize);

// The calling thread's innermost open trace, or -1.
std::int32_t innermostTraceOfThread();
std::int32_t currentVisualFrame();
std::int32_t currentPhysicFrame();
// Number of registered trace identifiers.
std::int32_t traceIdentifierCount();

// The resource report text ("no resources found" when empty), in a buffer of its own (a
// trace report the host holds is not overwritten). Called at detach, where it waits only a
// bounded time for a lock whose holder may have ended with its thread.
const char* resourceReport();

// The status text's parts: a line per memory name, or "TraceIdentifiers not active\n";
// and "\nResources\n<resource report>\n\n", the report cut at a line end, with a notice,
// when it does not fit before the last `reserve` bytes of room.
void appendMemoryNameStatus(TextBuilder& out);
void appendResourceStatus(TextBuilder& out, std::size_t reserve);

} // namespace velt::zur::memory::detail

#endif // QJ_TRACE_TRACE_H
