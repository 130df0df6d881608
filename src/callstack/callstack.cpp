// Call-stack capture: the library's own frame-pointer walker, and its start and stop.
//
// The walk costs a few loads per frame: instead of asking the system to read each word
// (a system call per word, a thousand times slower), every record is checked against the
// calling thread's stack bounds, found once per thread, before it is read directly. A
// chain that leaves the stack, which is what code without frame pointers produces, ends
// the walk just as a failed read would.
#include "callstack/callstack.h"

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

// Written under the call-stack lock, read without it by the capture and isCallStackActive.
std::atomic<bool> active{false};
// The walk through the unwind tables replaces the frame-pointer walk (callstack_unwind).
bool unwind_walk = false;

} // namespace

void initCallStack() {
    ScopedLock lock(callStackLock());
    unwind_walk = unwindWalkAvailable() && settings.callstack_unwind;
    if (!active.load(std::memory_order_relaxed)) {
        platform::debugOutput(kStartLine);
        active.store(true, std::memory_order_relaxed);
    }
}

void shutdownCallStack() {
    ScopedLock lock(callStackLock());
    active.store(false, std::memory_order_relaxed);
}

bool isCallStackActive() { return active.load(std::memory_order_relaxed); }

bool unwindWalkAvailable() {
#if defined(QJ_HAVE_LIBUNWIND)
    return true;
#else
    return false;
#endif
}

// Never inlined, so that its own return address into captureCallStack is always the second
// one the unwinder reports (after the one into this function), whatever the compiler does.
QJ_NOINLINE std::int32_t walkUnwindTables(std::uintptr_t* addresses, std::int32_t maxCount,
                                          std::int32_t skip) {
#if defined(QJ_HAVE_LIBUNWIND)
    if (addresses == nullptr || maxCount <= 0 || skip < 0)
        return 0;
    // Dropped besides `skip`: the return addresses into this function and into its caller.
    constexpr std::int32_t kOwnFrames = 2;
    constexpr std::int32_t kCapacity = 160;
    void* frames[kCapacity];
    std::int32_t wanted = kOwnFrames + skip + maxCount;
    if (wanted > kCapacity)
        wanted = kCapacity;
    const std::int32_t found = unw_backtrace(frames, wanted);
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

namespace {

// Frame records are the stack's own memory, not objects of this program: read them as
// raw words, and let the address sanitizer leave them alone.
QJ_NO_ASAN QJ_ALWAYS_INLINE std::int32_t walk(std::uintptr_t frame, std::uintptr_t low,
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

} // namespace

QJ_NO_ASAN std::int32_t walkFrameChain(std::uintptr_t frame, std::uintptr_t low,
                                       std::uintptr_t high, std::uintptr_t* addresses,
                                       std::int32_t maxCount, std::int32_t skip) {
    if (addresses == nullptr || maxCount <= 0)
        return 0;
    return walk(frame, low, high, addresses, maxCount, skip);
}

// Must keep a frame of its own and never be inlined: the caller's skip counts from here.
// Takes no lock: it reads only the calling thread's own stack and per-thread state (the
// stack bounds, found once per thread), and writes only the caller's array.
QJ_NOINLINE QJ_NO_ASAN std::int32_t captureCallStack(std::uintptr_t* addresses,
                                                     std::int32_t maxCount, std::int32_t skip) {
    if (!active.load(std::memory_order_relaxed) || addresses == nullptr)
        return -1;
    if (maxCount <= 0)
        return 0;
    if (QJ_UNLIKELY(unwind_walk)) {
        const std::int32_t count = walkUnwindTables(addresses, maxCount, skip);
        // No tail call: the walk's skip counts from this function's frame.
        __asm__ __volatile__("" ::: "memory");
        return count;
    }
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    if (!platform::callingThreadStackBounds(low, high))
        return 0;
    // Live frames lie at and above this one; anything below belongs to returned calls.
    if (frame > low)
        low = frame;
    return walk(frame, low, high, addresses, maxCount, skip);
}

} // namespace detail

void get_callstack_debug_str(char* buffer, std::int32_t, std::int32_t) {
    static const char text[] = "Only available in DEBUG builds";
    std::memcpy(buffer, text, sizeof text);
}

} // namespace velt::zur::memory
