// Fault plans for the runtime-heap seam.
#include "frame/runtime_heap.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velt::zur::memory::detail {

std::atomic<bool> fault_plan_active{false};

namespace {

std::atomic<long> requests{0};
std::atomic<long> refused{0};
long fail_at = 0;            // 0: nothing fails
bool fail_from_on = false;
bool count_only = false;

} // namespace

void readFaultPlan() {
    const char* plan = std::getenv("QJ_FAULT_PLAN");
    if (plan == nullptr || plan[0] == '\0')
        return;
    if (std::strcmp(plan, "count") == 0) {
        count_only = true;
    } else {
        char* end = nullptr;
        const long k = std::strtol(plan, &end, 10);
        if (k <= 0)
            return;
        fail_at = k;
        fail_from_on = end != nullptr && *end == '+';
    }
    fault_plan_active.store(true, std::memory_order_relaxed);
}

bool faultPlanRefuses() {
    if (!fault_plan_active.load(std::memory_order_relaxed))
        return false;
    const long n = requests.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count_only || fail_at == 0)
        return false;
    const bool refuse = fail_from_on ? n >= fail_at : n == fail_at;
    if (refuse)
        refused.fetch_add(1, std::memory_order_relaxed);
    return refuse;
}

void reportFaultPlanCount() {
    if (!fault_plan_active.load(std::memory_order_relaxed))
        return;
    char text[96];
    if (count_only)
        std::snprintf(text, sizeof text, "qj runtime requests: %ld\n", requests.load());
    else
        std::snprintf(text, sizeof text, "qj runtime requests: %ld refused: %ld\n", requests.load(),
                      refused.load());
    platform::debugOutput(text);
}

void* heapAllocateSlow(std::size_t bytes) {
    return faultPlanRefuses() ? nullptr : runtimeHeapAllocate(bytes);
}

void* guardPagesRequest() { return faultPlanRefuses() ? nullptr : platform::guardPagesCommit(); }

void* pagesRequest(std::size_t bytes) {
    return faultPlanRefuses() ? nullptr : platform::pagesMap(bytes);
}

} // namespace velt::zur::memory::detail
