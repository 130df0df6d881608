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

// Cached id of the calling thread.
platform::ThreadId callingThreadId();

// Attach and detach handlers, called by the platform's loader entry.
void onProcessAttach();
void onProcessDetach();

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_FRAME_H
