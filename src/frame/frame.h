// Library frame: what the other subsystems may read of attach state.
#ifndef QJ_FRAME_FRAME_H
#define QJ_FRAME_FRAME_H

#include "frame/hints.h"
#include "platform/platform.h"
#include "platform/thread_state.h"

#include <atomic>
#include <cstddef>

namespace velt::zur::memory::detail {

// Id of the thread that attached the library; only it uses the chunk pools.
extern QJ_HIDDEN platform::ThreadId main_thread_id;

// True from the end of the detach handler on: every entry point then touches nothing
// that detach released.
extern QJ_HIDDEN std::atomic<bool> detached;

// Id of the calling thread (platform/thread_state.h).
using platform::callingThreadId;

// Starts the library on the calling thread, which becomes the main thread: the fault
// probe, the runtime heap's fault plan, the settings (their defaults, then the `length`
// bytes of `settingsText`, or MemorySettings.dat from the current directory when it is
// null, then QUORRICK_SETTINGS), the block layout, the counters, the chunk pools and the
// call stacks. The loader entry calls
// it once at load; the sequence fuzzer calls it for each input with a settings text.
void startLibrary(const char* settingsText = nullptr, std::size_t length = 0);
// Stops the library at unload: the histogram file, the pools, the leak report and the
// resource file. Called by the loader entry.
void stopLibrary();

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_FRAME_H
