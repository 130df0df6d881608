// Memory names, trace identifiers, the process-wide trace stack and the frame counters.
//
// The per-block charges take no lock: the statistics records are atomics (trace_stats.h),
// charged inside statistics sections. Tables and the trace stack are read without a lock
// on the allocation path: everything they publish is complete before it becomes visible.
#include "Quorrick.h"
#include "alloc/counters.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "trace/frame_memory.h"
#include "trace/trace.h"
#include "trace/trace_internal.h"

#include <cstring>
#include <new>

namespace velt::zur::memory {

namespace detail {

MemoryNameRecord memoryNames[kMemoryNameCount] = {
    MemoryNameRecord(0),  MemoryNameRecord(1),  MemoryNameRecord(2),  MemoryNameRecord(3),
    MemoryNameRecord(4),  MemoryNameRecord(5),  MemoryNameRecord(6),  MemoryNameRecord(7),
    MemoryNameRecord(8),  MemoryNameRecord(9),  MemoryNameRecord(10), MemoryNameRecord(11),
    MemoryNameRecord(12), MemoryNameRecord(13), MemoryNameRecord(14), MemoryNameRecord(15)};
static_assert(kMemoryNameCount <= static_cast<std::int32_t>(kGaugeShareCount),
              "every memory name has a gauge share in each counter slot");
std::atomic<std::int32_t> memoryNameCount{0};
TraceTable traceIdentifierTable;

// Trace stack. A slot holds the opening thread's id in its high half and the identifier
// plus one in its low half (0: free), so that a reader without the lock always sees an
// identifier together with the thread that opened it. The depth is traceStackTop + 1.
// Both start at zero (empty stack, free slots) even before the static initialisers run.
std::atomic<std::uint64_t> trace_stack[kTraceStackSlots] = {};
std::atomic<std::int32_t> trace_stack_depth{0};

std::atomic<std::uint32_t> visual_frame{0};
std::atomic<std::uint32_t> physic_frame{0};

namespace {

// addMemoryName's writers; readers (the status text) rely on the count's publication.
SpinLock memory_name_lock;

constexpr char kDefaultMemoryName[] = "qj7";


// Records come from the runtime heap through the library's one seam for such requests
// (so a fault plan can refuse them), never through qj_malloc.
void* runtimeMalloc(std::size_t size) { return heapAllocate(size); }
std::atomic<RecordAllocator> record_allocator{&runtimeMalloc};

platform::ThreadId traceThreadId() { return callingThreadId(); }

inline std::uint64_t packSlot(std::int32_t identifier, platform::ThreadId thread) {
    return (std::uint64_t{thread} << 32) | static_cast<std::uint32_t>(identifier + 1);
}
inline std::int32_t slotIdentifier(std::uint64_t slot) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(slot)) - 1;
}
inline platform::ThreadId slotThread(std::uint64_t slot) {
    return static_cast<platform::ThreadId>(slot >> 32);
}

// strncpy: at most `chars` characters of `source`, the rest of those `chars` zero-filled.
void copyName(char* target, const char* source, std::size_t chars) {
    std::size_t i = 0;
    for (; i < chars && source[i] != '\0'; ++i)
        target[i] = source[i];
    for (; i < chars; ++i)
        target[i] = '\0';
}

// _stricmp over ASCII letters only, whatever the locale.
bool equalsIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return false;
        if (ca == '\0')
            return true;
    }
}

} // namespace

// The host's cell may be read by other threads of the host; the library touches it with
// atomic accesses so that its own reads and writes never tear.
std::int32_t readCell(const std::int32_t& cell) {
#if defined(__GNUC__)
    return __atomic_load_n(&cell, __ATOMIC_RELAXED);
#else
    return *static_cast<const volatile std::int32_t*>(&cell);
#endif
}

void storeCell(std::int32_t& cell, std::int32_t value) {
#if defined(__GNUC__)
    __atomic_store_n(&cell, value, __ATOMIC_RELAXED);
#else
    *static_cast<volatile std::int32_t*>(&cell) = value;
#endif
}

// --- Static start -------------------------------------------------------------------

void clearMemoryNames() {
    SpinGuard guard(memory_name_lock);
    for (MemoryNameRecord& record : memoryNames) {
        std::memset(record.name, 0, sizeof record.name);
        record.stats.clear();
    }
    memoryNameCount.store(0, std::memory_order_release);
}

void clearTraceStack() {
    for (std::atomic<std::uint64_t>& slot : trace_stack)
        slot.store(0, std::memory_order_relaxed);
    trace_stack_depth.store(0, std::memory_order_release);
}

// --- Tables -------------------------------------------------------------------------

RecordAllocator setRecordAllocator(RecordAllocator allocator) {
    return record_allocator.exchange(allocator != nullptr ? allocator : &runtimeMalloc);
}

TraceRecord* traceRecord(const TraceTable& table, std::int32_t id) {
    if (id < 0 || id >= table.count.load(std::memory_order_acquire))
        return nullptr;
    return table.records[id].load(std::memory_order_acquire);
}

const char* traceRecordName(const TraceTable& table, std::int32_t id) {
    if (id == 0 && table.overflowed.load(std::memory_order_acquire))
        return kTooManyIdentifiers;
    const TraceRecord* record = traceRecord(table, id);
    return record != nullptr ? record->name : "";
}

std::int32_t findOrAddTraceRecord(const char* name, TraceTable& table) {
    if (name == nullptr)
        return -1;
    SpinGuard guard(table.insertLock);
    const std::int32_t count = table.count.load(std::memory_order_relaxed);
    for (std::int32_t i = 0; i < count; ++i)
        if (equalsIgnoringCase(name, traceRecordName(table, i)))
            return i;
    if (count >= kTraceTableCapacity) {
        // Record 0 now reports under the overflow text; every new name is charged to it.
        table.overflowed.store(true, std::memory_order_release);
        return 0;
    }
    void* raw = record_allocator.load(std::memory_order_relaxed)(sizeof(TraceRecord));
    if (raw == nullptr)
        return -1; // nothing created, nothing charged; the caller's cell keeps -1
    auto* record = new (raw) TraceRecord(); // zero-filled
    copyName(record->name, "nameNOTset", kTraceNameChars);
    copyName(record->name, name, kTraceNameChars); // a name of 256 ends at zeroWord
    table.records[count].store(record, std::memory_order_release);
    table.count.store(count + 1, std::memory_order_release);
    return count;
}

// --- Charges on the allocation and release paths ------------------------------------

std::uint32_t traceCharge(std::int32_t grossSize) {
    // The depth is read once: a concurrent end can lower it but never make this read a
    // slot below 0.
    std::int32_t depth = trace_stack_depth.load(std::memory_order_acquire);
    if (depth <= 0)
        return 0;
    if (depth > kTraceStackSlots)
        depth = kTraceStackSlots;
    const std::int32_t identifier =
        slotIdentifier(trace_stack[depth - 1].load(std::memory_order_acquire));
    TraceRecord* record = traceRecord(traceIdentifierTable, identifier);
    if (record == nullptr)
        return 0;
    record->stats.charge(grossSize);
    return static_cast<std::uint32_t>(identifier) + 1;
}

std::uint32_t traceAllocateOpen(std::int32_t grossSize) {
    std::uint32_t value = 0;
    statisticsSection([&value, grossSize] { value = traceCharge(grossSize); });
    return value;
}

void traceUncharge(std::uint32_t traceValue, std::int32_t grossSize) {
    // Only a value that names an identifier is charged back: a corrupted trace word
    // never indexes past the table.
    if (traceValue == 0 || traceValue > static_cast<std::uint32_t>(kTraceTableCapacity))
        return;
    if (TraceRecord* record =
            traceRecord(traceIdentifierTable, static_cast<std::int32_t>(traceValue) - 1))
        record->stats.uncharge(grossSize);
}

void traceFree(std::uint32_t traceValue, std::int32_t grossSize) {
    if (traceValue == 0)
        return;
    statisticsSection([traceValue, grossSize] { traceUncharge(traceValue, grossSize); });
}

// --- The trace stack ----------------------------------------------------------------

void startTrace(std::int32_t& cell, const char* name) {
    ScopedLock lock(globalLock());
    const std::int32_t depth = trace_stack_depth.load(std::memory_order_relaxed);
    if (depth >= kTraceStackSlots)
        return; // all 129 slots in use; the cell keeps its value, even -1
    std::int32_t identifier = readCell(cell);
    if (identifier == -1) {
        identifier = findOrAddTraceRecord(name, traceIdentifierTable);
        if (identifier < 0)
            return; // no record could be made: the cell stays -1
        storeCell(cell, identifier);
    }
    // A cell that holds no identifier of the table opens nothing.
    if (traceRecord(traceIdentifierTable, identifier) == nullptr)
        return;
    trace_stack[depth].store(packSlot(identifier, traceThreadId()), std::memory_order_release);
    trace_stack_depth.store(depth + 1, std::memory_order_release);
}

void endTrace(std::int32_t identifier) {
    ScopedLock lock(globalLock());
    const std::int32_t depth = trace_stack_depth.load(std::memory_order_relaxed);
    if (depth <= 0)
        return;
    std::atomic<std::uint64_t>& top = trace_stack[depth - 1];
    const std::uint64_t slot = top.load(std::memory_order_relaxed);
    if (slotIdentifier(slot) != identifier || slotThread(slot) != traceThreadId())
        return;
    top.store(packSlot(-1, slotThread(slot)), std::memory_order_release); // threadId stays
    trace_stack_depth.store(depth - 1, std::memory_order_release);
}

std::int32_t traceStackDepth() { return trace_stack_depth.load(std::memory_order_acquire); }

std::int32_t traceStackIdentifier(std::int32_t slot) {
    if (slot < 0 || slot >= kTraceStackSlots)
        return -1;
    return slotIdentifier(trace_stack[slot].load(std::memory_order_acquire));
}

std::int32_t innermostTraceOfOpenStack() {
    std::int32_t depth = trace_stack_depth.load(std::memory_order_acquire);
    if (depth <= 0)
        return -1;
    if (depth > kTraceStackSlots)
        depth = kTraceStackSlots;
    const std::uint64_t slot = trace_stack[depth - 1].load(std::memory_order_acquire);
    return slotThread(slot) == traceThreadId() ? slotIdentifier(slot) : -1;
}

std::int32_t traceIdentifierCount() {
    return traceIdentifierTable.count.load(std::memory_order_acquire);
}

// --- Tests ----------------------------------------------------------------------------

void resetTableForTesting(TraceTable& table) {
    SpinGuard guard(table.insertLock);
    const std::int32_t count = table.count.load(std::memory_order_relaxed);
    table.count.store(0, std::memory_order_release);
    table.overflowed.store(false, std::memory_order_release);
    for (std::int32_t i = 0; i < count; ++i) {
        TraceRecord* record = table.records[i].exchange(nullptr, std::memory_order_acq_rel);
        if (record != nullptr) {
            record->~TraceRecord();
            heapRelease(record);
        }
    }
}

void resetTraceStateForTesting() {
    clearMemoryNames();
    clearTraceStack();
    resetTableForTesting(traceIdentifierTable);
    resetTableForTesting(resourceTable);
    visual_frame.store(0, std::memory_order_relaxed);
    physic_frame.store(0, std::memory_order_relaxed);
    frameMemoryReset();
}

// The next frame of a kind.
namespace {

std::uint32_t advanceFrame(std::atomic<std::uint32_t>& frame) {
    return frame.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

} // namespace detail

// --- Exported -------------------------------------------------------------------------

std::int32_t addMemoryName(const char* name) {
    using namespace detail;
    if (name == nullptr)
        return 0; // nothing to register: the default name
    SpinGuard guard(memory_name_lock);
    std::int32_t count = memoryNameCount.load(std::memory_order_relaxed);
    if (count == 0) {
        copyName(memoryNames[0].name, kDefaultMemoryName, kMemoryNameChars - 1);
        count = 1;
        memoryNameCount.store(count, std::memory_order_release);
    }
    // Record 0 is never matched: a name equal to "qj7" gets a record of its own.
    for (std::int32_t i = 1; i < count; ++i)
        if (equalsIgnoringCase(memoryNames[i].name, name))
            return i;
    if (count >= kMemoryNameCount)
        return 0; // all sixteen records in use: the name's blocks go to the default name
    copyName(memoryNames[count].name, name, kMemoryNameChars - 1); // the 64th stays zero
    memoryNameCount.store(count + 1, std::memory_order_release);
    return count;
}

void startMemoryTrace(std::int32_t& id, const char* name) {
    if (!detail::settings.use_traceIdentifiers)
        return;
    detail::startTrace(id, name);
}

void endMemoryTrace(std::int32_t id) {
    if (!detail::settings.use_traceIdentifiers)
        return;
    detail::endTrace(id);
}

void nextVisualFrame() {
    if (!detail::settings.use_traceIdentifiers)
        return;
    const std::uint32_t ended = detail::advanceFrame(detail::visual_frame);
    if (detail::settings.has_frame_memory_csv)
        detail::writeFrameMemoryLine(detail::settings.frame_memory_csv, ended);
}

void nextPhysicFrame() {
    if (detail::settings.use_traceIdentifiers)
        detail::advanceFrame(detail::physic_frame);
}

} // namespace velt::zur::memory
