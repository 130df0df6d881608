// Library frame: what the other subsystems may read of attach state.
#ifndef QJ_FRAME_FRAME_H
#define QJ_FRAME_FRAME_H

#include "platform/platform.h"

#include <atomic>

namespace velt::zur::memory::detail {

// Id of the thread that attached the library; only it uses the chunk pools.
extern platform::ThreadId main_thread_id;

// True from the end of the detach handler on: every entry point then touches nothing
// that detach released.
extern std::atomic<bool> detached;

// Id of the calling thread.
#if defined(_WIN32)
// GetCurrentThreadId reads the thread's own block, far cheaper than a thread_local,
// which mingw-w64 emulates with a locked table lookup.
inline platform::ThreadId callingThreadId() { return platform::currentThreadId(); }
#else
// Cached: the system call is paid once per thread.
extern __attribute__((tls_model("initial-exec"))) thread_local platform::ThreadId cached_thread_id;
inline platform::ThreadId callingThreadId() {
    platform::ThreadId id = cached_thread_id;
    if (id == 0) {
        id = platform::currentThreadId();
        cached_thread_id = id;
    }
    return id;
}
#endif

// Attach and detach handlers, called by the platform's loader entry.
void onProcessAttach();
void onProcessDetach();

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_FRAME_H
