// Call-stack capture: the library's own frame-pointer walker, and its start and stop.
//
// The walk costs a few loads per frame: instead of asking the system to read each word
// (a system call per word, a thousand times slower), every record is checked against the
// calling thread's stack bounds, found once per thread, before it is read directly. A
// chain that leaves the stack, which is what code without frame pointers produces, ends
// the walk just as a failed read would.
#include "callstack/callstack.h"
#include "outputs/outputs.h"

#include "Quorrick.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "platform/thread_state.h"

#include <atomic>
#include <cstring>

#if defined(QJ_HAVE_LIBUNWIND)
// Local unwinding only: the walk reads the calling thread's own unwind tables.
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#endif

namespace velt::zur::memory {
namespace detail {
namespace {

constexpr char kStartLine[] =
    "dep: callstack: using internal callstack resolving (fast, but requires frame pointers)\n";
// The same line when the walk goes through the unwind tables, which need no frame pointers.
constexpr char kUnwindStartLine[] =
    "dep: callstack: using internal callstack resolving through the unwind tables\n";

} // namespace

std::atomic<bool> callstack_active{false};
bool callstack_unwind_walk = false;

void initCallStack() {
    ScopedLock lock(callStackLock());
    // Where the system's code keeps no chain of frame records, the unwind tables are the
    // only way up the stack, whatever the setting says.
    callstack_unwind_walk =
        unwindWalkAvailable() && (settings.callstack_unwind || !platform::kFrameRecordsChain);
    if (!callstack_active.load(std::memory_order_relaxed)) {
        outputs::debugLine(settings.callstack_unwind ? kUnwindStartLine : kStartLine);
        callstack_active.store(true, std::memory_order_relaxed);
    }
}

void shutdownCallStack() {
    ScopedLock lock(callStackLock());
    callstack_active.store(false, std::memory_order_relaxed);
}

bool isCallStackActive() { return callstack_active.load(std::memory_order_relaxed); }

bool unwindWalkAvailable() {
#if defined(QJ_HAVE_LIBUNWIND) || defined(QJ_SYSTEM_UNWINDER)
    return true;
#else
    return false;
#endif
}

// Never inlined, so that its own return address into captureCallStack is always the second
// one the unwinder reports (after the one into this function), whatever the compiler does.
QJ_NOINLINE std::int32_t walkUnwindTables(std::uintptr_t* addresses, std::int32_t maxCount,
                                          std::int32_t skip) {
#if defined(QJ_HAVE_LIBUNWIND) || defined(QJ_SYSTEM_UNWINDER)
    if (addresses == nullptr || maxCount <= 0 || skip < 0)
        return 0;
    // Dropped besides `skip`: the return addresses into this function and into its caller.
    constexpr std::int32_t kOwnFrames = 2;
    constexpr std::int32_t kCapacity = 160;
    std::int32_t wanted = kOwnFrames + skip + maxCount;
    if (wanted > kCapacity)
        wanted = kCapacity;
#if defined(QJ_HAVE_LIBUNWIND)
    void* frames[kCapacity];
    const std::int32_t found = unw_backtrace(frames, wanted);
#else
    // The system's unwinder (x86-64 Windows), in the platform layer.
    std::uintptr_t frames[kCapacity];
    const std::int32_t found = platform::unwindBacktrace(frames, wanted);
#endif
    std::int32_t count = 0;
    for (std::int32_t i = kOwnFrames + skip; i < found && count < maxCount; ++i)
        addresses[count++] = reinterpret_cast<std::uintptr_t>(frames[i]);
    return count;
#else
    (void)addresses;
    (void)maxCount;
    (void)skip;
    return 0;
#endif
}

QJ_NO_ASAN std::int32_t walkFrameChain(std::uintptr_t frame, std::uintptr_t low,
                                       std::uintptr_t high, std::uintptr_t* addresses,
                                       std::int32_t maxCount, std::int32_t skip) {
    if (addresses == nullptr || maxCount <= 0)
        return 0;
    return walkFrames(frame, low, high, addresses, maxCount, skip);
}

// Must keep a frame of its own and never be inlined: the caller's skip counts from here.
// Takes no lock: it reads only the calling thread's own stack and per-thread state (the
// stack bounds, found once per thread), and writes only the caller's array.
QJ_NOINLINE QJ_NO_ASAN std::int32_t captureCallStack(std::uintptr_t* addresses,
                                                     std::int32_t maxCount, std::int32_t skip) {
    if (!callstack_active.load(std::memory_order_relaxed) || addresses == nullptr)
        return -1;
    if (QJ_UNLIKELY(callstack_unwind_walk)) {
        if (maxCount <= 0)
            return 0;
        const std::int32_t count = walkUnwindTables(addresses, maxCount, skip);
        // No tail call: the walk's skip counts from this function's frame.
        __asm__ __volatile__("" ::: "memory");
        return count;
    }
    return walkFromFrame(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), addresses,
                         maxCount, skip);
}

} // namespace detail

void get_callstack_debug_str(char* buffer, std::int32_t, std::int32_t) {
    static const char text[] = "Only available in DEBUG builds";
    std::memcpy(buffer, text, sizeof text);
}

} // namespace velt::zur::memory
