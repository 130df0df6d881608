// Exact global counters without a shared hot cache line.
//
// Each thread adds into a slot of its own; a reader sums the slots. A reader first
// freezes the counters and waits until no slot is in the middle of an update, so every
// read is a snapshot of one instant even while blocks move between threads. A writer
// that sees the freeze steps back and waits; the frequent side pays a compiler barrier
// where the system offers an asymmetric barrier and a full fence elsewhere.
#ifndef QJ_ALLOC_COUNTERS_H
#define QJ_ALLOC_COUNTERS_H

#include "alloc/alloc.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

enum CounterIndex { kTotalBytes, kAccumulatedBytes, kLiveCount, kAccumulatedCount, kUnpooled,
                    kCounterCount };

struct alignas(64) CounterSlot {
    std::atomic<std::uint32_t> seq{0};
    std::atomic<bool> inUse{true};
    std::atomic<std::int64_t> values[kCounterCount] = {};
    CounterSlot* next = nullptr;
};

extern std::atomic<bool> counters_frozen;
extern bool counter_writers_fence;

CounterSlot* acquireCounterSlot();

// The calling thread's slot, null until it has one.
#if defined(_WIN32)
// mingw-w64 emulates thread_local with a locked table lookup per access; the platform's
// thread pointer is one read of the thread's own block.
inline CounterSlot* threadCounterSlot() {
    return static_cast<CounterSlot*>(platform::threadPointer());
}
inline void setThreadCounterSlot(CounterSlot* slot) { platform::setThreadPointer(slot); }
#else
extern __attribute__((tls_model("initial-exec"))) thread_local CounterSlot* thread_counter_slot;
inline CounterSlot* threadCounterSlot() { return thread_counter_slot; }
inline void setThreadCounterSlot(CounterSlot* slot) { thread_counter_slot = slot; }
#endif

inline CounterSlot* currentCounterSlot() {
    CounterSlot* slot = threadCounterSlot();
    return slot != nullptr ? slot : acquireCounterSlot();
}

// Chooses the cheapest safe writer protocol; called while attaching.
void initCounters();

#if defined(__GNUC__)
#define QJ_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QJ_ALWAYS_INLINE inline
#endif

template <class Update> QJ_ALWAYS_INLINE void updateCounters(Update update) {
    CounterSlot* slot = currentCounterSlot();
    for (;;) {
        std::uint32_t seq = slot->seq.load(std::memory_order_relaxed);
        if (counter_writers_fence) {
            slot->seq.exchange(seq + 1, std::memory_order_seq_cst);
        } else {
            slot->seq.store(seq + 1, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        if (!counters_frozen.load(counter_writers_fence ? std::memory_order_seq_cst
                                                        : std::memory_order_relaxed)) {
            update(slot->values);
            slot->seq.store(seq + 2, std::memory_order_release);
            return;
        }
        slot->seq.store(seq + 2, std::memory_order_release);
        while (counters_frozen.load(std::memory_order_acquire))
            platform::relax();
    }
}

inline void addTo(std::atomic<std::int64_t>& counter, std::int64_t amount) {
    // Only the owning thread writes its slot: a plain read-modify-write is exact.
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

// One guarded allocation call; `unpooled` when no chunk pool serves it.
QJ_ALWAYS_INLINE void chargeAllocation(std::uint32_t gross, bool unpooled) {
    updateCounters([gross, unpooled](std::atomic<std::int64_t>* v) {
        addTo(v[kTotalBytes], gross);
        addTo(v[kAccumulatedBytes], gross);
        addTo(v[kLiveCount], 1);
        addTo(v[kAccumulatedCount], 1);
        addTo(v[kUnpooled], unpooled ? 1 : 0);
    });
}

QJ_ALWAYS_INLINE void chargeRelease(std::uint32_t gross) {
    updateCounters([gross](std::atomic<std::int64_t>* v) {
        addTo(v[kTotalBytes], -static_cast<std::int64_t>(gross));
        addTo(v[kLiveCount], -1);
    });
}

// Lowest and highest user pointer ever handed out, and the largest gross size.
extern std::atomic<std::uintptr_t> lowest_user_address;
extern std::atomic<std::uintptr_t> highest_user_address;
extern std::atomic<std::uint32_t> largest_gross_size;
// Requests above it are named on the debugger output.
extern std::atomic<std::uint32_t> max_alloc_size;

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
