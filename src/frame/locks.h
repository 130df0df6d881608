// Every lock of the library: what each guards, and the order in which they nest.
//
// Lock order: a thread that holds a lock takes only locks further down this list.
//   1. globalLock()        CritSecLock  the trace stack and its frame counters' writers, the
//                                       module table, the set of released large blocks; held
//                                       by every report, dump and reset of the site table
//   2. histogramLock()     CritSecLock  keeps the histogram's file, clears and reset apart
//   3. reportBuildLock()   SpinLock     the report buffers, their sort scratch, the status text
//                                       (trace/trace_internal.h)
//   4. StatisticsFreeze                 (alloc/counters.h) not a lock the hot paths take: while
//                                       a reader holds it no thread is inside a statistics
//                                       section, so the counters, the histogram and the site
//                                       table are read, reset or released at one instant
//   5. site stripe locks   SpinLock×64  one bucket chain of the site table (lookups past a
//                                       chain's first record, moves, insertions)
//                                       (tracking/alloc_info.cpp)
//   6. site store lock     SpinLock     additions to the site table's record store
// Leaves, under which nothing else is taken: each site record's statsLock (tracking/
// alloc_info_table.h), each TraceStats record's lock (trace/trace_stats.h), a trace
// table's insertLock, the memory-name lock, callStackLock() (the capture's start line;
// the stack walk itself takes no lock), and the raise turns of the gauges (alloc/
// peak_gauge.h) and of the histogram's per-size counts: a generation word, odd while the
// raise that holds it closes the threads' shares; taken inside a statistics section, its
// holder waits for nothing else.
//
// The allocation and release paths take no process-wide lock: counters are per-thread
// slots, memory names and the histogram keep per-thread headroom under exact peaks (a
// raise of a peak takes a turn), an allocation site's record is charged under a lock of its
// own (its stripe is locked only for a site not first in its chain), trace records are
// atomics, the chunk pools belong to the main thread alone.
//
// Where the compiler checks it (clang's -Wthread-safety), "the caller holds the lock" is
// written as QJ_REQUIRES on the function and checked at every call.
#ifndef QJ_FRAME_LOCKS_H
#define QJ_FRAME_LOCKS_H

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

#if defined(__clang__)
#define QJ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QJ_THREAD_ANNOTATION(x)
#endif
#define QJ_CAPABILITY(x) QJ_THREAD_ANNOTATION(capability(x))
#define QJ_SCOPED_CAPABILITY QJ_THREAD_ANNOTATION(scoped_lockable)
#define QJ_GUARDED_BY(x) QJ_THREAD_ANNOTATION(guarded_by(x))
#define QJ_ACQUIRE(...) QJ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QJ_RELEASE(...) QJ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QJ_TRY_ACQUIRE(...) QJ_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QJ_REQUIRES(...) QJ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QJ_RETURN_CAPABILITY(x) QJ_THREAD_ANNOTATION(lock_returned(x))
#define QJ_NO_THREAD_SAFETY_ANALYSIS QJ_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace velt::zur::memory {

// A lock whose system object lives in the runtime heap. A lock that could not be made,
// or that has already been destroyed at unload, does nothing when entered.
class QJ_CAPABILITY("mutex") CritSecLock {
public:
    CritSecLock() : mutex_(platform::mutexCreate()) {}
    ~CritSecLock() {
        platform::Mutex* mutex = mutex_;
        mutex_ = nullptr;
        platform::mutexDestroy(mutex);
    }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;

    void enter() QJ_ACQUIRE() {
        if (mutex_ != nullptr)
            platform::mutexLock(mutex_);
    }
    void leave() QJ_RELEASE() {
        if (mutex_ != nullptr)
            platform::mutexUnlock(mutex_);
    }

private:
    platform::Mutex* mutex_;
};

class QJ_SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(CritSecLock& lock) QJ_ACQUIRE(lock) : lock_(lock) { lock_.enter(); }
    ~ScopedLock() QJ_RELEASE() { lock_.leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CritSecLock& lock_;
};

namespace detail {

// The three system locks, constructed and destroyed around the attach and detach
// handlers (frame/lifecycle.cpp).
extern CritSecLock call_stack_lock;
extern CritSecLock global_lock;
extern CritSecLock histogram_lock;
CritSecLock& callStackLock() QJ_RETURN_CAPABILITY(call_stack_lock);
CritSecLock& globalLock() QJ_RETURN_CAPABILITY(global_lock);
CritSecLock& histogramLock() QJ_RETURN_CAPABILITY(histogram_lock);

// A test-and-test-and-set lock of one byte. Waiters pause, then yield the processor, so a
// holder that has been preempted gets to run again.
class QJ_CAPABILITY("spin lock") SpinLock {
public:
    constexpr SpinLock() = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void lock() noexcept QJ_ACQUIRE() {
        if (!flag_.exchange(true, std::memory_order_acquire))
            return;
        lockSlow();
    }
    // Gives up after about `rounds` yields; true when the lock was taken. Used where the
    // holder may have been killed (the detach handler).
    bool lockBounded(std::uint32_t rounds) noexcept QJ_TRY_ACQUIRE(true);
    void unlock() noexcept QJ_RELEASE() { flag_.store(false, std::memory_order_release); }

private:
    void lockSlow() noexcept;
    std::atomic<bool> flag_{false};
};

class QJ_SCOPED_CAPABILITY SpinGuard {
public:
    explicit SpinGuard(SpinLock& lock) noexcept QJ_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~SpinGuard() QJ_RELEASE() { lock_.unlock(); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    SpinLock& lock_;
};

} // namespace detail

} // namespace velt::zur::memory

#endif // QJ_FRAME_LOCKS_H
