// The one seam through which the library asks the system for memory.
//
// Every request of the library's own code to the runtime heap (blocks, pool chunks, site
// records, trace records) and every page request goes through these functions. A test
// can make chosen requests fail by starting the host with QJ_FAULT_PLAN set:
//   "K"      the K-th request fails (counting from 1), the others succeed;
//   "K+"     the K-th request and every later one fail;
//   "count"  nothing fails; the number of requests is written to standard error at
//            unload as "qj runtime requests: N".
// Under a "K" or "K+" plan the unload line is "qj runtime requests: N refused: R".
// Without the variable the seam costs one predictable branch per request.
#ifndef QJ_FRAME_RUNTIME_HEAP_H
#define QJ_FRAME_RUNTIME_HEAP_H

#include "frame/hints.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace velt::zur::memory::detail {

extern QJ_HIDDEN std::atomic<bool> fault_plan_active;

// True when the plan says the current request fails; counts the request.
bool faultPlanRefuses();
// Reads QJ_FAULT_PLAN; called once while attaching.
void readFaultPlan();
// Writes the request count (and under a failure plan the refusals) when a plan is set;
// called while detaching.
void reportFaultPlanCount();

// The runtime heap itself. A build for a host that replaces malloc and free (the preloaded
// library, QJ_RUNTIME_HEAP_HOOK) supplies these two so that the library's own requests
// never come back through the functions it replaces.
#if defined(QJ_RUNTIME_HEAP_HOOK)
void* runtimeHeapAllocate(std::size_t bytes);
void runtimeHeapRelease(void* p);
#else
inline void* runtimeHeapAllocate(std::size_t bytes) { return std::malloc(bytes); }
inline void runtimeHeapRelease(void* p) { std::free(p); }
#endif

void* heapAllocateSlow(std::size_t bytes);

inline void* heapAllocate(std::size_t bytes) {
    if (fault_plan_active.load(std::memory_order_relaxed))
        return heapAllocateSlow(bytes);
    return runtimeHeapAllocate(bytes);
}

inline void heapRelease(void* p) { runtimeHeapRelease(p); }

// Page-guard pages and large-block pages through the same seam.
void* guardPagesRequest();
void* pagesRequest(std::size_t bytes);

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_RUNTIME_HEAP_H
