// Call-stack capture by walking the frame-pointer chain; a walk takes no lock.
//
// A frame record is two machine words: the caller's saved frame pointer at F and the
// return address into the caller at F + one word (x86: F + 4, x86_64: F + 8). The walk
// reads only records that lie inside the calling thread's stack, so a chain broken by
// code built without frame pointers ends early instead of faulting.
#ifndef QJ_CALLSTACK_CALLSTACK_H
#define QJ_CALLSTACK_CALLSTACK_H

#include <cstdint>

namespace velt::zur::memory::detail {

// Starts capture and writes the start line to the debugger output (once).
void initCallStack();
void shutdownCallStack();
// Reads the active flag without the lock.
bool isCallStackActive();
// Stores up to maxCount return addresses of the caller's stack, innermost first, after
// dropping `skip` of them. Returns the count, or -1 when capture is off or the array is null.
// The first return address met is the one into the function that called captureCallStack.
std::int32_t captureCallStack(std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

// Whether this build can walk through the unwind tables (libunwind, Linux).
bool unwindWalkAvailable();
// The walk through the unwind tables (the calling thread's own stack): the same counting,
// skip and result as captureCallStack's frame-pointer walk would give from the same place,
// but it also passes frames of code built without frame pointers. 0 when unavailable.
std::int32_t walkUnwindTables(std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

// The walk itself, from the record at `frame`, reading only records that lie wholly in
// [low, high). Same counting, skip, end conditions and result as captureCallStack (never -1).
std::int32_t walkFrameChain(std::uintptr_t frame, std::uintptr_t low, std::uintptr_t high,
                            std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

} // namespace velt::zur::memory::detail

#endif // QJ_CALLSTACK_CALLSTACK_H
