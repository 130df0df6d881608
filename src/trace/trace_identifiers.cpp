// Memory names and trace identifiers (placeholder until traces land).
#include "Quorrick.h"
#include "trace/trace.h"

namespace velt::zur::memory {
namespace detail {
void clearMemoryNames() {}
void clearTraceStack() {}
std::uint32_t traceAllocate(std::int32_t) { return 0; }
void traceFree(std::uint32_t, std::int32_t) {}
void memoryNameAllocate(std::int32_t, std::int32_t) {}
void memoryNameFree(std::int32_t, std::int32_t) {}
std::int32_t innermostTraceOfThread() { return -1; }
std::int32_t currentVisualFrame() { return 0; }
std::int32_t currentPhysicFrame() { return 0; }
std::int32_t traceIdentifierCount() { return 0; }
const char* resourceReport() { return "no resources found"; }
} // namespace detail

std::int32_t addMemoryName(const char*) { return 0; }
void startMemoryTrace(std::int32_t&, const char*) {}
void endMemoryTrace(std::int32_t) {}
void nextVisualFrame() {}
void nextPhysicFrame() {}
const char* memoryTraceReport() { return "use_traceIdentifiers not enabled"; }
void memoryTraceReportToFile(const char*) {}
void resourceTraceAllocate(std::int32_t&, const char*, std::int32_t) {}
void resourceTraceFree(std::int32_t&, const char*, std::int32_t) {}
const char* getStatus(const char*) { return ""; }
} // namespace velt::zur::memory
