// The counter slots and the counter and limit exports.
#include "alloc/counters.h"

#include "Quorrick.h"
#include "frame/runtime_heap.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace velt::zur::memory {

namespace detail {

std::atomic<bool> counters_frozen{false};
bool counter_writers_fence = true;
std::atomic<std::uintptr_t> lowest_user_address{UINTPTR_MAX};
std::atomic<std::uintptr_t> highest_user_address{0};
std::atomic<std::uint32_t> largest_gross_size{0};
std::atomic<std::uint32_t> max_alloc_size{16777216};

namespace {

std::atomic<CounterSlot*> slot_list{nullptr};
// Writers held up by a freeze that have not made their section yet (waitForThaw).
std::atomic<std::uint32_t> frozen_writers{0};
std::atomic<bool> reader_busy{false};

// Gives the slot back when its thread ends; its values stay in the sums.
struct SlotRelease {
    ~SlotRelease() {
        if (CounterSlot* slot = threadCounterSlot()) {
            slot->inUse.store(false, std::memory_order_release);
            setThreadCounterSlot(nullptr);
        }
    }
};

CounterSlot* newSlot() {
    // Slots are never freed: a finished thread's counts belong to the totals for ever.
    void* raw = heapAllocate(sizeof(CounterSlot) + alignof(CounterSlot));
    if (raw == nullptr)
        return nullptr;
    auto aligned = (reinterpret_cast<std::uintptr_t>(raw) + alignof(CounterSlot) - 1) &
                   ~(std::uintptr_t{alignof(CounterSlot)} - 1);
    CounterSlot* slot = new (reinterpret_cast<void*>(aligned)) CounterSlot;
    CounterSlot* head = slot_list.load(std::memory_order_relaxed);
    do {
        slot->next = head;
        // Sequentially consistent: a gauge's raise that takes its turn after this slot's
        // thread has looked at the gauge finds the slot in the list (alloc/peak_gauge.h).
    } while (!slot_list.compare_exchange_weak(head, slot, std::memory_order_seq_cst,
                                              std::memory_order_relaxed));
    return slot;
}

// Used only when no slot can be had at all; exact only while one thread uses it.
CounterSlot emergency_slot;

} // namespace

CounterSlot* firstCounterSlot() { return slot_list.load(std::memory_order_seq_cst); }
CounterSlot& emergencyCounterSlot() { return emergency_slot; }

CounterSlot* acquireCounterSlot() {
    CounterSlot* slot = nullptr;
    for (CounterSlot* s = slot_list.load(std::memory_order_acquire); s != nullptr; s = s->next) {
        bool free = false;
        if (!s->inUse.load(std::memory_order_relaxed) &&
            s->inUse.compare_exchange_strong(free, true, std::memory_order_acquire)) {
            slot = s;
            break;
        }
    }
    if (slot == nullptr)
        slot = newSlot();
    if (slot == nullptr)
        return &emergency_slot;
    static thread_local SlotRelease release_at_thread_exit;
    (void)&release_at_thread_exit;
    setThreadCounterSlot(slot);
    return slot;
}

void initCounters() {
    // The attaching thread, the main one, takes its slot now, so that its first block
    // makes no runtime request of its own.
    if (threadCounterSlot() == nullptr)
        acquireCounterSlot();
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer cannot see the asymmetric barrier; both sides fence instead.
    counter_writers_fence = true;
#else
    counter_writers_fence = !platform::heavyBarrierAvailable();
#endif
}

namespace {

// The thread that holds the freeze, 0 when none does.
std::atomic<platform::ThreadId> freeze_owner{0};

} // namespace

void waitForThaw(bool& counted) {
    if (!counted) {
        frozen_writers.fetch_add(1, std::memory_order_relaxed);
        counted = true;
    }
    while (counters_frozen.load(std::memory_order_acquire))
        platform::relax();
}

void thawWaitDone() { frozen_writers.fetch_sub(1, std::memory_order_relaxed); }

bool freezeHeldByCallingThread() {
    return freeze_owner.load(std::memory_order_relaxed) == platform::callingThreadId();
}

StatisticsFreeze::StatisticsFreeze() : owner_(false) {
    const platform::ThreadId self = platform::callingThreadId();
    if (freeze_owner.load(std::memory_order_relaxed) == self)
        return; // this thread froze the writers already
    while (reader_busy.exchange(true, std::memory_order_acquire))
        platform::relax();
    // Writers held up by the previous freeze make their sections first. Bounded: a writer
    // counted here that is itself stopped (a debugger, a signal handler) delays the reader
    // by these turns only.
    constexpr int kWriterTurns = 64;
    for (int turn = 0; turn < kWriterTurns && frozen_writers.load(std::memory_order_relaxed) != 0;
         ++turn)
        platform::relax();
    owner_ = true;
    freeze_owner.store(self, std::memory_order_relaxed);
    counters_frozen.store(true, std::memory_order_seq_cst);
    if (!counter_writers_fence)
        platform::heavyBarrier();
    auto drain = [](CounterSlot& slot) {
        while (slot.seq.load(std::memory_order_acquire) & 1u)
            platform::relax();
    };
    forEachCounterSlot(drain);
}

StatisticsFreeze::~StatisticsFreeze() {
    if (!owner_)
        return;
    freeze_owner.store(0, std::memory_order_relaxed);
    counters_frozen.store(false, std::memory_order_release);
    reader_busy.store(false, std::memory_order_release);
}

namespace {
alignas(StatisticsFreeze) unsigned char fork_freeze[sizeof(StatisticsFreeze)];
} // namespace

void statisticsHoldForFork() { new (fork_freeze) StatisticsFreeze; }

void statisticsReleaseAfterForkInChild() {
    frozen_writers.store(0, std::memory_order_relaxed);
    statisticsReleaseAfterFork();
}

void statisticsReleaseAfterFork() {
    // In the child the holder's id is the parent thread's: the freeze is let go by hand.
    freeze_owner.store(0, std::memory_order_relaxed);
    counters_frozen.store(false, std::memory_order_release);
    reader_busy.store(false, std::memory_order_release);
}

CounterSnapshot readCounters() {
    StatisticsFreeze freeze;
    std::int64_t sums[kCounterCount] = {};
    auto addSlot = [&sums](const CounterSlot& slot) {
        for (int i = 0; i < kCounterCount; ++i)
            sums[i] += slot.values[i];
    };
    forEachCounterSlot(addSlot);
    return {sums[kTotalBytes], sums[kAccumulatedBytes], sums[kLiveCount], sums[kAccumulatedCount],
            sums[kUnpooled]};
}

} // namespace detail

// The 32-bit counters wrap as 32-bit values would; the 64-bit one never does.
std::int32_t get_total_bytes_allocated() {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(detail::readCounters().totalBytes));
}
std::int64_t get_accumulated_bytes_allocated() { return detail::readCounters().accumulatedBytes; }
std::int32_t get_total_allocation_call_count() {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(detail::readCounters().liveCount));
}
std::int32_t get_accumulated_allocation_call_count() {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(detail::readCounters().accumulatedCount));
}
void set_max_alloc_size(std::uint32_t limit) {
    detail::max_alloc_size.store(limit, std::memory_order_relaxed);
}
std::uint32_t get_max_alloc_size() { return detail::max_alloc_size.load(std::memory_order_relaxed); }
void reset_max_alloc_size() { detail::max_alloc_size.store(16777216, std::memory_order_relaxed); }

} // namespace velt::zur::memory
