// Memory names, trace identifiers and resources as the other subsystems see them.
#ifndef QJ_TRACE_TRACE_H
#define QJ_TRACE_TRACE_H

#include "alloc/counters.h"
#include "frame/hints.h"
#include "trace/trace_stats.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::detail {

class TextBuilder;

constexpr std::int32_t kMemoryNameCount = 16;

// Static start: empty memory-name records and a free trace stack.
void clearMemoryNames();
void clearTraceStack();

// The trace stack's depth (the number of open traces) and the frame counters.
constexpr std::int32_t kTraceStackSlots = 129;
extern QJ_HIDDEN std::atomic<std::int32_t> trace_stack_depth;
extern QJ_HIDDEN std::atomic<std::uint32_t> visual_frame;
extern QJ_HIDDEN std::atomic<std::uint32_t> physic_frame;

// The sixteen memory-name records.
extern QJ_HIDDEN MemoryNameRecord memoryNames[kMemoryNameCount];

// The per-block charges of memory names and trace identifiers: exact under concurrency
// without a lock (trace/trace_stats.h, alloc/peak_gauge.h). The ...Charge and ...Uncharge forms are for a
// caller inside a statistics section (alloc/counters.h), such as the counter section of
// the allocation and release paths; the others make a section of their own.

// Charges the innermost open trace (whichever thread opened it); returns its trace value
// (identifier + 1, at most 2048, so it fits bits 4-23 of the trace word) or 0 when no
// trace is open.
std::uint32_t traceAllocateOpen(std::int32_t grossSize);
// Whether any trace is open: traceAllocate charges one only then.
QJ_ALWAYS_INLINE bool anyTraceOpen() { return trace_stack_depth.load(std::memory_order_relaxed) > 0; }
QJ_ALWAYS_INLINE std::uint32_t traceAllocate(std::int32_t grossSize) {
    // No trace open, the usual case: neither a call nor a section.
    if (!anyTraceOpen())
        return 0;
    return traceAllocateOpen(grossSize);
}
std::uint32_t traceCharge(std::int32_t grossSize);
// Takes a charge back. Only a value that names an existing identifier is charged back;
// 0 and every other value (a corrupted trace word) change nothing.
void traceFree(std::uint32_t traceValue, std::int32_t grossSize);
void traceUncharge(std::uint32_t traceValue, std::int32_t grossSize);

// Memory-name charges. An index outside 0 to 15 is charged to name 0, as the allocation
// path stores it in the trace word, so the release (which reads bits 0-3 back) takes the
// charge back from the same record. Nothing outside the sixteen records is ever written.
QJ_ALWAYS_INLINE std::int32_t memoryNameIndex(std::int32_t index) {
    const bool known =
        static_cast<std::uint32_t>(index) < static_cast<std::uint32_t>(kMemoryNameCount);
    return known ? index : 0;
}
QJ_ALWAYS_INLINE MemoryNameRecord& memoryNameRecord(std::int32_t index) {
    return memoryNames[memoryNameIndex(index)];
}
QJ_ALWAYS_INLINE void memoryNameCharge(CounterSlot& slot, std::int32_t index,
                                       std::int32_t grossSize) {
    const std::int32_t known = memoryNameIndex(index);
    memoryNames[known].stats.charge(slot.gaugeShares[known], grossSize);
}
QJ_ALWAYS_INLINE void memoryNameUncharge(CounterSlot& slot, std::int32_t index,
                                         std::int32_t grossSize) {
    const std::int32_t known = memoryNameIndex(index);
    memoryNames[known].stats.uncharge(slot.gaugeShares[known], grossSize);
}
// Inline: a call would cost more than the section and the charge together.
QJ_ALWAYS_INLINE void memoryNameAllocate(std::int32_t index, std::int32_t grossSize) {
    updateCounters([index, grossSize](CounterSlot& slot) { memoryNameCharge(slot, index, grossSize); });
}
QJ_ALWAYS_INLINE void memoryNameFree(std::int32_t index, std::int32_t grossSize) {
    updateCounters(
        [index, grossSize](CounterSlot& slot) { memoryNameUncharge(slot, index, grossSize); });
}

// The calling thread's innermost open trace, or -1.
std::int32_t innermostTraceOfOpenStack();
QJ_ALWAYS_INLINE std::int32_t innermostTraceOfThread() {
    // No trace open, the usual case: one load.
    if (trace_stack_depth.load(std::memory_order_acquire) <= 0)
        return -1;
    return innermostTraceOfOpenStack();
}
QJ_ALWAYS_INLINE std::int32_t currentVisualFrame() {
    return static_cast<std::int32_t>(visual_frame.load(std::memory_order_relaxed));
}
QJ_ALWAYS_INLINE std::int32_t currentPhysicFrame() {
    return static_cast<std::int32_t>(physic_frame.load(std::memory_order_relaxed));
}
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
