// The library's three locks and their scope guard.
#ifndef QJ_FRAME_LOCKS_H
#define QJ_FRAME_LOCKS_H

#include "platform/platform.h"

namespace velt::zur::memory {

// A lock whose system object lives in the runtime heap. A lock that could not be made,
// or that has already been destroyed at unload, does nothing when entered.
class CritSecLock {
public:
    CritSecLock() : mutex_(platform::mutexCreate()) {}
    ~CritSecLock() {
        platform::Mutex* mutex = mutex_;
        mutex_ = nullptr;
        platform::mutexDestroy(mutex);
    }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;

    void enter() {
        if (mutex_ != nullptr)
            platform::mutexLock(mutex_);
    }
    void leave() {
        if (mutex_ != nullptr)
            platform::mutexUnlock(mutex_);
    }

private:
    platform::Mutex* mutex_;
};

class ScopedLock {
public:
    explicit ScopedLock(CritSecLock& lock) : lock_(lock) { lock_.enter(); }
    ~ScopedLock() { lock_.leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CritSecLock& lock_;
};

namespace detail {
// Held for each whole stack walk.
CritSecLock& callStackLock();
// Guards the allocation-site table and the trace stack. Taken before the call-stack lock
// when both are needed; never the other way round.
CritSecLock& globalLock();
// Guards the size histogram; taken alone.
CritSecLock& histogramLock();
} // namespace detail

} // namespace velt::zur::memory

#endif // QJ_FRAME_LOCKS_H
