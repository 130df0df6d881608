// Call-stack capture by walking the frame-pointer chain; a walk takes no lock.
//
// A frame record is two machine words: the caller's saved frame pointer at F and the
// return address into the caller at F + one word (x86: F + 4, x86_64: F + 8). The walk
// reads only records that lie inside the calling thread's stack, so a chain broken by
// code built without frame pointers ends early instead of faulting.
#ifndef QJ_CALLSTACK_CALLSTACK_H
#define QJ_CALLSTACK_CALLSTACK_H

#include "frame/hints.h"
#include "platform/thread_state.h"

#include <atomic>
#include <cstdint>
#include <cstring>

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

// Whether this build can walk through the unwind tables (libunwind on Linux, the system's
// unwinder on x86-64 Windows).
bool unwindWalkAvailable();
// The walk through the unwind tables (the calling thread's own stack): the same counting,
// skip and result as captureCallStack's frame-pointer walk would give from the same place,
// but it also passes frames of code built without frame pointers. 0 when unavailable.
std::int32_t walkUnwindTables(std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

// The walk itself, from the record at `frame`, reading only records that lie wholly in
// [low, high). Same counting, skip, end conditions and result as captureCallStack (never -1).
std::int32_t walkFrameChain(std::uintptr_t frame, std::uintptr_t low, std::uintptr_t high,
                            std::uintptr_t* addresses, std::int32_t maxCount, std::int32_t skip);

// Set while capture is on (written under the call-stack lock, read without it), and
// whether the capture walks the unwind tables instead of the frame-pointer chain (the
// setting callstack_unwind, and always where the system's code keeps no frame-record
// chain: x86-64 Windows, see platform/platform.h).
extern QJ_HIDDEN std::atomic<bool> callstack_active;
extern QJ_HIDDEN bool callstack_unwind_walk;

// Whether a capture is the frame-pointer walk, which a caller may then make inline from a
// frame of its own (walkFromFrame).
QJ_ALWAYS_INLINE bool frameWalkCapture() {
    return callstack_active.load(std::memory_order_relaxed) && !callstack_unwind_walk;
}

// Frame records are the stack's own memory, not objects of this program: read them as
// raw words, and let the address sanitizer leave them alone.
QJ_NO_ASAN QJ_ALWAYS_INLINE std::int32_t walkFrames(std::uintptr_t frame, std::uintptr_t low,
                                                    std::uintptr_t high, std::uintptr_t* addresses,
                                                    std::int32_t maxCount, std::int32_t skip) {
    constexpr std::uintptr_t kWord = sizeof(std::uintptr_t);
    constexpr unsigned kShift = kWord == 8 ? 3 : 2;
    constexpr unsigned kBits = 8 * sizeof(std::uintptr_t);
    // A record is read only when both its words lie in [low, high) and it is word-aligned.
    // Raising low above 0 makes a null frame pointer fail the same test; raising it to a
    // word boundary changes no answer (aligned records start at one).
    if (low < kWord)
        low = kWord;
    if (high <= low || high - low < 2 * kWord)
        return 0;
    low = (low + kWord - 1) & ~(kWord - 1);
    if (high - low < 2 * kWord)
        return 0;
    // frame - low rotated right by kShift: a whole number of words becomes that number,
    // anything else gets a high bit and fails the same one comparison.
    const std::uintptr_t lastWord = (high - low - 2 * kWord) >> kShift;
    auto readable = [low, lastWord](std::uintptr_t at) {
        const std::uintptr_t offset = at - low;
        return ((offset >> kShift) | (offset << (kBits - kShift))) <= lastWord;
    };
    std::uintptr_t record[2];
    for (; skip > 0; --skip) {
        if (!readable(frame))
            return 0;
        std::memcpy(record, reinterpret_cast<const void*>(frame), sizeof record);
        // The outermost frame's saved frame pointer is 0; its return address is not kept.
        if (record[0] == 0 || record[1] == 0)
            return 0;
        frame = record[0];
    }
    std::int32_t count = 0;
    while (count < maxCount && readable(frame)) {
        std::memcpy(record, reinterpret_cast<const void*>(frame), sizeof record);
        if (record[0] == 0 || record[1] == 0)
            break;
        addresses[count++] = record[1];
        frame = record[0];
    }
    return count;
}

// The frame-pointer capture from `frame`, the calling function's own frame (its return
// address is the first one met), within the calling thread's stack. Only for a caller
// that has a frame of its own and was not inlined, as captureCallStack.
QJ_NO_ASAN QJ_ALWAYS_INLINE std::int32_t walkFromFrame(std::uintptr_t frame,
                                                       std::uintptr_t* addresses,
                                                       std::int32_t maxCount, std::int32_t skip) {
    if (maxCount <= 0)
        return 0;
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    if (!platform::callingThreadStackBounds(low, high))
        return 0;
    // Live frames lie at and above this one; anything below belongs to returned calls.
    if (frame > low)
        low = frame;
    return walkFrames(frame, low, high, addresses, maxCount, skip);
}

} // namespace velt::zur::memory::detail

#endif // QJ_CALLSTACK_CALLSTACK_H
