// The library's per-thread state, all of it, in one place: the calling thread's id, the
// one pointer of per-thread state of the allocation path (the counters' slot), and the
// bounds of the thread's stack for the call-stack walk.
//
// Linux keeps them in one initial-exec thread-local record, read inline: one load off
// the thread pointer. Windows keeps none of them in thread_local storage (mingw-w64
// emulates it with a locked table lookup per access): the id and the stack bounds are
// read from the thread's own information block, and the pointer lives in a system TLS
// slot (platform_win32.cpp).
#ifndef QJ_PLATFORM_THREAD_STATE_H
#define QJ_PLATFORM_THREAD_STATE_H

#include "platform/platform.h"

#include <cstdint>

namespace velt::zur::memory::platform {

#if defined(_WIN32)

inline ThreadId callingThreadId() { return currentThreadId(); }
inline ThreadId knownThreadId() { return currentThreadId(); }
inline bool callingThreadStackBounds(std::uintptr_t& low, std::uintptr_t& high) {
    return currentStackBounds(low, high) && low < high;
}

#else

struct ThreadState {
    ThreadId id;             // 0 until first asked for
    std::uint8_t stackState; // 0: not looked up yet, 1: known, 2: the system could not tell
    void* pointer;           // threadPointer's value
    std::uintptr_t stackLow;
    std::uintptr_t stackHigh;
};
extern __thread ThreadState thread_state __attribute__((tls_model("initial-exec"), visibility("hidden")));

// The id is cached: the system call is paid once per thread.
inline ThreadId callingThreadId() {
    ThreadId id = thread_state.id;
    if (__builtin_expect(id == 0, 0)) {
        id = currentThreadId();
        thread_state.id = id;
    }
    return id;
}

// The calling thread's id once callingThreadId has looked it up, 0 before: one load.
inline ThreadId knownThreadId() { return thread_state.id; }

// A forked child's only thread has an id of its own: forget the parent thread's.
inline void forgetThreadIdAfterFork() { thread_state.id = 0; }

inline void* threadPointer() { return thread_state.pointer; }
inline void setThreadPointer(void* value) { thread_state.pointer = value; }

// Looked up on the thread's first call, kept for its life.
inline bool callingThreadStackBounds(std::uintptr_t& low, std::uintptr_t& high) {
    ThreadState& state = thread_state;
    if (__builtin_expect(state.stackState == 0, 0)) {
        std::uintptr_t l = 0;
        std::uintptr_t h = 0;
        const bool known = currentStackBounds(l, h) && l < h;
        state.stackLow = l;
        state.stackHigh = h;
        state.stackState = known ? 1 : 2;
    }
    low = state.stackLow;
    high = state.stackHigh;
    return state.stackState == 1;
}

#endif

} // namespace velt::zur::memory::platform

#endif // QJ_PLATFORM_THREAD_STATE_H
