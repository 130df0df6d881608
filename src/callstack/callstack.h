// Call-stack capture by walking the frame-pointer chain; walks run under the call-stack lock.
#ifndef QJ_CALLSTACK_CALLSTACK_H
#define QJ_CALLSTACK_CALLSTACK_H

#include <cstdint>

namespace velt::zur::memory::detail {

void initCallStack();
void shutdownCallStack();
bool isCallStackActive();
// Stores up to maxCount return addresses of the caller's stack, innermost first, after
// dropping `skip` of them. Returns the count, or -1 when capture is off or the array is null.
std::int32_t captureCallStack(std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

} // namespace velt::zur::memory::detail

#endif // QJ_CALLSTACK_CALLSTACK_H
