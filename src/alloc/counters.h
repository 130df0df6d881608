// Exact global counters without a shared hot cache line, and the sections that give every
// statistic's readers one consistent instant without a lock on the writers' side.
//
// Each thread adds into a slot of its own; a reader sums the slots. A reader first
// freezes the counters and waits until no slot is in the middle of an update, so every
// read is a snapshot of one instant even while blocks move between threads. A writer
// that sees the freeze steps back and waits; the frequent side pays a compiler barrier
// where the system offers an asymmetric barrier and a full fence elsewhere.
//
// The same handshake serves the statistics that threads share (histogram, allocation
// sites): writers update them with atomics or per-record locks inside a section
// (statisticsSection), and reports and resets hold a StatisticsFreeze, under which no
// writer is inside a section: they see, and change, one instant.
#ifndef QJ_ALLOC_COUNTERS_H
#define QJ_ALLOC_COUNTERS_H

#include "alloc/alloc.h"
#include "frame/hints.h"
#include "platform/platform.h"
#include "platform/thread_state.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

enum CounterIndex { kTotalBytes, kAccumulatedBytes, kLiveCount, kAccumulatedCount, kUnpooled,
                    kCounterCount };

// Per-thread shares of the shared statistics kept by gauges (alloc/peak_gauge.h): one word
// for each of the sixteen memory names, one for the histogram's byte total.
constexpr std::uint32_t kGaugeShareCount = 17;
// PeakGauge::kNeverOpened, the state of a new slot's shares.
constexpr std::uint64_t kNeverOpenedShare = 0xFFFFFFFFFFFE0000ull;
// The histogram's table of closed shares (histogram/histogram.h), for a thread that has
// no table of its own.
extern QJ_HIDDEN std::atomic<std::uint32_t> histogram_no_shares[];

// The values are plain: the owning thread writes them only between the two steps of its
// sequence number, and a reader reads them only after it has frozen the writers and
// seen every sequence number even, which orders each write before each read.
// The gauge shares are atomic (a gauge's raise closes them from another thread) and start
// closed (peak_gauge.h); on a line of their own, as raises write them.
struct alignas(64) CounterSlot {
    std::atomic<std::uint32_t> seq{0};
    std::atomic<bool> inUse{true};
    std::int64_t values[kCounterCount] = {};
    CounterSlot* next = nullptr;
    // Each starts as PeakGauge::kNeverOpened.
    alignas(64) std::atomic<std::uint64_t> gaugeShares[kGaugeShareCount] = {
        kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare,
        kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare,
        kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare,
        kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare, kNeverOpenedShare,
        kNeverOpenedShare};
    // The thread's shares of the histogram's per-size counts (histogram/histogram.h),
    // made at its first counted block; before, the table in which every share is closed.
    std::atomic<std::atomic<std::uint32_t>*> histogramShares{histogram_no_shares};
};

extern QJ_HIDDEN std::atomic<bool> counters_frozen;
extern QJ_HIDDEN bool counter_writers_fence;

CounterSlot* acquireCounterSlot();
// Every slot ever made, newest first (each links to the next), and the one slot shared by
// threads that could not have one of their own.
CounterSlot* firstCounterSlot();
CounterSlot& emergencyCounterSlot();
// Visits every slot ever made and the shared one: the readers' and the raises' walk.
template <class Visit> void forEachCounterSlot(Visit visit) {
    for (CounterSlot* s = firstCounterSlot(); s != nullptr; s = s->next)
        visit(*s);
    visit(emergencyCounterSlot());
}

// Whether the calling thread holds the StatisticsFreeze.
QJ_COLD bool freezeHeldByCallingThread();

// The calling thread's slot, null until it has one: the platform's thread pointer.
inline CounterSlot* threadCounterSlot() {
    return static_cast<CounterSlot*>(platform::threadPointer());
}
inline void setThreadCounterSlot(CounterSlot* slot) { platform::setThreadPointer(slot); }

inline CounterSlot* currentCounterSlot() {
    CounterSlot* slot = threadCounterSlot();
    return slot != nullptr ? slot : acquireCounterSlot();
}

// Chooses the cheapest safe writer protocol; called while attaching.
void initCounters();

// While one exists, no thread is inside a section or enters one: the holder reads and
// resets the shared statistics alone. Readers take turns; a thread that already holds a
// freeze may make another (it changes nothing).
// Across a fork: the statistics are frozen before the process is copied, so that no
// thread of the parent is inside a section (or holds a site lock) at that moment; both
// processes thaw them afterwards (the preloaded library's fork handlers).
void statisticsHoldForFork();
void statisticsReleaseAfterFork();
// The same in the child, whose only thread is the one that forked: no writer of the
// parent's other threads is waiting there.
void statisticsReleaseAfterForkInChild();

class StatisticsFreeze {
public:
    StatisticsFreeze();
    ~StatisticsFreeze();
    StatisticsFreeze(const StatisticsFreeze&) = delete;
    StatisticsFreeze& operator=(const StatisticsFreeze&) = delete;

private:
    bool owner_;
};


// One section on the calling thread's slot; when a reader has frozen the writers, it
// steps back at once, having changed nothing, and answers false. No call: the lean
// allocation and release use it directly, with the slot they have checked.
template <class Update> QJ_ALWAYS_INLINE bool tryUpdateCounters(CounterSlot* slot, Update update) {
    const std::uint32_t seq = slot->seq.load(std::memory_order_relaxed);
    if (counter_writers_fence) {
        slot->seq.exchange(seq + 1, std::memory_order_seq_cst);
    } else {
        slot->seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    // Acquire: a section that finds the writers thawed sees what the freeze's holder wrote
    // (a frame advance, a clear).
    const bool open = !counters_frozen.load(counter_writers_fence ? std::memory_order_seq_cst
                                                                  : std::memory_order_acquire);
    if (QJ_LIKELY(open))
        update(*slot);
    slot->seq.store(seq + 2, std::memory_order_release);
    return open;
}

// Out of line: a writer that found the counters frozen waits for the thaw, counted among
// the held-up writers from its first wait until its section is made. A new freeze lets
// those writers through first (for a bounded time), so that a reader that freezes over and
// over (a thread polling a statistic) cannot starve the allocating threads.
QJ_COLD void waitForThaw(bool& counted);
QJ_COLD void thawWaitDone();

template <class Update> QJ_ALWAYS_INLINE void updateCounters(Update update) {
    CounterSlot* slot = currentCounterSlot();
    if (QJ_LIKELY(tryUpdateCounters(slot, update)))
        return;
    // A reader froze the writers. (Inline all the same: `update` is often a closure that
    // is cheaper inlined twice than made into an object for a call.)
    bool counted = false;
    for (;;) {
        // The thread that froze the writers may itself allocate meanwhile (a report that
        // writes a file, with the library serving the process's malloc): it is alone.
        if (freezeHeldByCallingThread()) {
            update(*slot);
            break;
        }
        waitForThaw(counted);
        if (tryUpdateCounters(slot, update))
            break;
    }
    if (counted)
        thawWaitDone();
}

// The counter charges of one guarded allocation call (`unpooled` when no chunk pool
// serves it) and of one release, made inside updateCounters.
QJ_ALWAYS_INLINE void addAllocation(std::int64_t* v, std::uint32_t gross, bool unpooled) {
    v[kTotalBytes] += gross;
    v[kAccumulatedBytes] += gross;
    v[kLiveCount] += 1;
    v[kAccumulatedCount] += 1;
    v[kUnpooled] += unpooled ? 1 : 0;
}
QJ_ALWAYS_INLINE void addRelease(std::int64_t* v, std::uint32_t gross) {
    v[kTotalBytes] -= gross;
    v[kLiveCount] -= 1;
}

QJ_ALWAYS_INLINE void chargeAllocation(std::uint32_t gross, bool unpooled) {
    updateCounters(
        [gross, unpooled](CounterSlot& s) { addAllocation(s.values, gross, unpooled); });
}

// Runs `update` as a section: never while a StatisticsFreeze exists.
template <class Update> QJ_ALWAYS_INLINE void statisticsSection(Update update) {
    updateCounters([&update](CounterSlot&) { update(); });
}

QJ_ALWAYS_INLINE void chargeRelease(std::uint32_t gross) {
    updateCounters([gross](CounterSlot& s) { addRelease(s.values, gross); });
}

// Lowest and highest user pointer ever handed out, and the largest gross size.
extern QJ_HIDDEN std::atomic<std::uintptr_t> lowest_user_address;
extern QJ_HIDDEN std::atomic<std::uintptr_t> highest_user_address;
extern QJ_HIDDEN std::atomic<std::uint32_t> largest_gross_size;
// Requests above it are named on the debugger output.
extern QJ_HIDDEN std::atomic<std::uint32_t> max_alloc_size;

QJ_ALWAYS_INLINE void noteUserPointer(std::uintptr_t p, std::uint32_t gross) {
    std::uintptr_t low = lowest_user_address.load(std::memory_order_relaxed);
    while (p < low &&
           !lowest_user_address.compare_exchange_weak(low, p, std::memory_order_relaxed)) {
    }
    std::uintptr_t high = highest_user_address.load(std::memory_order_relaxed);
    while (p > high &&
           !highest_user_address.compare_exchange_weak(high, p, std::memory_order_relaxed)) {
    }
    std::uint32_t largest = largest_gross_size.load(std::memory_order_relaxed);
    while (gross > largest &&
           !largest_gross_size.compare_exchange_weak(largest, gross, std::memory_order_relaxed)) {
    }
}

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_COUNTERS_H
