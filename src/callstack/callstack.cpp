// Call-stack capture (placeholder until capture lands: never active).
#include "callstack/callstack.h"

#include "Quorrick.h"

#include <cstring>

namespace velt::zur::memory {
namespace detail {
void initCallStack() {}
void shutdownCallStack() {}
bool isCallStackActive() { return false; }
std::int32_t captureCallStack(std::uintptr_t*, std::int32_t, std::int32_t) { return -1; }
} // namespace detail

void get_callstack_debug_str(char* buffer, std::int32_t, std::int32_t) {
    static const char text[] = "Only available in DEBUG builds";
    std::memcpy(buffer, text, sizeof text);
}
} // namespace velt::zur::memory
