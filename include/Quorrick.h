// Quorrick: a debugging memory manager loaded by a host in place of the runtime heap.
//
// Every function below is safe to call from any thread once the library is loaded.
// Texts returned as `const char*` belong to the library and stay valid until the next
// build of the same report. Identifier cells (`std::int32_t&`) are owned by the caller,
// start at -1 and are filled in by the library on first use.
#ifndef QUORRICK_H
#define QUORRICK_H

#include <cstdint>

#if defined(_WIN32)
#if defined(QJ_BUILDING_LIBRARY)
#define QJ_API __declspec(dllexport)
#elif defined(QJ_STATIC)
#define QJ_API // the library's code linked straight into the program (unit tests)
#else
#define QJ_API __declspec(dllimport)
#endif
#else
#define QJ_API __attribute__((visibility("default")))
#endif

namespace velt::zur::memory {

// --- Allocation -------------------------------------------------------------------
// Called with `recoverable` false for every error the library detects.
typedef void (*ErrCallback)(bool recoverable, const char* message);

// Guarded allocation of `size` bytes charged to memory name `memoryName` (0 to 15).
QJ_API void* qj_malloc(std::uint32_t size, std::int32_t memoryName);
// Releases a block from qj_malloc; null is ignored.
QJ_API void qj_free(void* ptr);
// Bytes of the user area plus tail guard and tags; 0 for null or a pointer that is not
// a live guarded block.
QJ_API std::int32_t getSizeOfAllocation(void* ptr);

// --- Counters and limits ----------------------------------------------------------
QJ_API std::int32_t get_total_bytes_allocated();
QJ_API std::int64_t get_accumulated_bytes_allocated();
QJ_API std::int32_t get_total_allocation_call_count();
QJ_API std::int32_t get_accumulated_allocation_call_count();
QJ_API void set_max_alloc_size(std::uint32_t limit);
QJ_API std::uint32_t get_max_alloc_size();
QJ_API void reset_max_alloc_size();

// --- Errors -------------------------------------------------------------------------
// Null restores the default callback.
QJ_API void register_err_callback(ErrCallback callback);

// --- Size histogram ---------------------------------------------------------------
QJ_API std::uint32_t histogramCurrentUsedMemory();
QJ_API std::uint32_t histogramPeakUsedMemory();
QJ_API void histogramDumpToFile(const char* path);
QJ_API void histogramClearPeaks();
QJ_API void histogramClearCurrent();

// --- Call stacks --------------------------------------------------------------------
// Writes a fixed notice of 31 bytes (with its terminator) into `buffer`.
QJ_API void get_callstack_debug_str(char* buffer, std::int32_t, std::int32_t);

// --- Allocation sites -----------------------------------------------------------------
QJ_API void set_all_allocations_to_zero();
QJ_API void memoryTraceReset();
QJ_API const char* dump_allocations_to_file(const char* path, std::int32_t traceId);
QJ_API const char* dump_active_allocations_to_file(const char* path);
QJ_API void memory_update_modules(const char* unused);
// Writes the allocation sites by the most bytes they allocated in one visual or physics
// frame, highest first, in the leak report's line format with their per-frame figures:
// the first `count` sites, every site when `count` is 0 or less.
QJ_API const char* dump_frame_churn_to_file(const char* path, std::int32_t count);

// --- Memory names and traces ------------------------------------------------------------
QJ_API std::int32_t addMemoryName(const char* name);
QJ_API void startMemoryTrace(std::int32_t& id, const char* name);
QJ_API void endMemoryTrace(std::int32_t id);
QJ_API void nextVisualFrame();
QJ_API void nextPhysicFrame();
QJ_API const char* memoryTraceReport();
QJ_API void memoryTraceReportToFile(const char* path);

// --- Resources ------------------------------------------------------------------------
QJ_API void resourceTraceAllocate(std::int32_t& cell, const char* name, std::int32_t size);
QJ_API void resourceTraceFree(std::int32_t& cell, const char* name, std::int32_t size);

// --- Status ---------------------------------------------------------------------------
// Null returns the status text; a path writes it there and returns an empty text.
QJ_API const char* getStatus(const char* path);

} // namespace velt::zur::memory

#endif // QUORRICK_H
