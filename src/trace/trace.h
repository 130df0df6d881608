// Memory names, trace identifiers and resources as the other subsystems see them.
#ifndef QJ_TRACE_TRACE_H
#define QJ_TRACE_TRACE_H

#include <cstdint>

namespace velt::zur::memory::detail {

constexpr std::int32_t kMemoryNameCount = 16;

// Static start: empty memory-name records and a free trace stack.
void clearMemoryNames();
void clearTraceStack();

// Charges the innermost open trace; returns its trace value (identifier + 1) or 0.
std::uint32_t traceAllocate(std::int32_t grossSize);
// Takes a charge back; values that name no identifier are ignored.
void traceFree(std::uint32_t traceValue, std::int32_t grossSize);
// Memory-name charges; `index` is 0 to 15.
void memoryNameAllocate(std::int32_t index, std::int32_t grossSize);
void memoryNameFree(std::int32_t index, std::int32_t grossSize);

// The calling thread's innermost open trace, or -1.
std::int32_t innermostTraceOfThread();
std::int32_t currentVisualFrame();
std::int32_t currentPhysicFrame();
// Number of registered trace identifiers.
std::int32_t traceIdentifierCount();

// The resource report text ("no resources found" when empty).
const char* resourceReport();

} // namespace velt::zur::memory::detail

#endif // QJ_TRACE_TRACE_H
