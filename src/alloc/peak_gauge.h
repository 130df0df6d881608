// An exact shared block count and byte total with their peaks, charged without writing a
// shared cache line while the values stay below their peaks.
//
// Two threads that charge one shared record at once make its cache line travel between
// their cores on every charge, and that transfer costs more than a whole allocation. A
// gauge therefore keeps, for each of its two values, a reserve R on its shared line, and
// every thread keeps a share of headroom in its own counter slot, so that always
//     R = V + (the threads' headroom),   R <= P,
// where V is the exact value and P its peak. A release adds its amount to the releasing
// thread's headroom and leaves R alone; a charge that the thread's headroom covers takes
// it from there. Both touch only the thread's own slot, and V stays at or below P
// without anyone looking.
//
// A charge that the headroom does not cover adds to R directly while R stays within P (one
// atomic on the shared line). Only a charge that would take R past P can raise the peak,
// and it must know V exactly at that moment: the raise closes every thread's share,
// collecting its headroom (one exchange per slot); then R = V + collected, and one atomic
// add of the charge less the collected headroom yields the exact new value, which becomes
// the peak. Raises take turns through the generation word, odd while one runs. A closed
// share holds no headroom and its thread charges and releases on R; the thread reopens it,
// empty, once no raise runs. Every step is one atomic operation on one word, so each
// charge and release takes effect at one instant, and the peak is the exact maximum of
// the value over those instants.
//
// Readers hold a StatisticsFreeze (alloc/counters.h): the gauges are charged inside
// statistics sections, so the reader sees R and every share at one instant.
//
// Where a thread's share lives is the gauge's `Shares` policy: a static
// `forEach(key, visit)` that calls `visit(std::atomic<std::uint64_t>&)` for every share
// of the gauge named `key` (the raises', readers' and clears' walk). SlotShares keeps
// them in the counter slots (CounterSlot::gaugeShares[key]).
#ifndef QJ_ALLOC_PEAK_GAUGE_H
#define QJ_ALLOC_PEAK_GAUGE_H

#include "alloc/counters.h"
#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

// The two values of a gauge, and their peaks.
struct PeakGaugeValues {
    std::int64_t count;
    std::int64_t bytes;
    std::int64_t peakCount;
    std::int64_t peakBytes;
};

// The share word as the fast paths see it before their compare-and-swap, which checks it.
// On 32-bit x86 an atomic 64-bit load is an x87 load and store through memory: there the
// two halves are read as they are, and a torn value fails the compare-and-swap like any
// stale one. (Acquire either way: x86 does not move loads ahead of this one.)
QJ_ALWAYS_INLINE std::uint64_t peekShare(const std::atomic<std::uint64_t>& word) {
#if defined(__i386__)
    const auto* halves = reinterpret_cast<const volatile std::uint32_t*>(&word);
    const std::uint64_t value = halves[0] | (std::uint64_t{halves[1]} << 32);
    std::atomic_signal_fence(std::memory_order_acquire);
    return value;
#else
    return word.load(std::memory_order_acquire);
#endif
}

// The shares of gauge `key` are the words CounterSlot::gaugeShares[key].
struct SlotShares {
    template <class Visit> static void forEach(std::uint32_t key, Visit visit) {
        forEachCounterSlot([&](CounterSlot& slot) { visit(slot.gaugeShares[key]); });
    }
};

template <class Shares> class BasicPeakGauge {
public:
    // `key` names the gauge's shares to its Shares policy.
    // A gauge made `bytesOnly` keeps the byte total alone (no block count): its fast paths
    // are chargeBytes and unchargeBytes.
    explicit constexpr BasicPeakGauge(std::uint32_t key, bool bytesOnly = false)
        : share_(key), bytesOnly_(bytesOnly) {}
    BasicPeakGauge(const BasicPeakGauge&) = delete;
    BasicPeakGauge& operator=(const BasicPeakGauge&) = delete;

    // One block of `bytes` (at least 1) more or less, by the thread whose counter slot
    // holds `own` (its word gaugeShares[share]), inside a statistics section. The usual
    // case is one compare-and-swap on the slot's own line; the tests need no look at the
    // tag, as a closed share fails both (no blocks for a charge, the most bytes for a
    // release). (Acquire: what the raise that handed out the headroom wrote before it,
    // such as the first charge's smallest block, is seen.)
    //
    // While the byte peak is 0 (before the first charge, and after clear()) no share holds
    // headroom, and a charge with `before` runs in the raises' turn, in one order with
    // every change of the peaks: `before(context, peakBytes, bytes)` sees the byte peak
    // from before the charge (for a record whose first charge is special).
    using Before = void (*)(void* context, std::int64_t peakBytes, std::uint32_t bytes);
    QJ_ALWAYS_INLINE void charge(std::atomic<std::uint64_t>& own, std::uint32_t bytes,
                                 Before before = nullptr, void* context = nullptr) noexcept {
        std::uint64_t seen = peekShare(own);
        std::uint64_t left;
        if (QJ_LIKELY(static_cast<std::uint16_t>(seen) != 0 &&
                      !__builtin_sub_overflow(seen, bytesField(bytes), &left)) &&
            QJ_LIKELY(own.compare_exchange_strong(seen, left - 1, std::memory_order_relaxed)))
            return;
        chargeSlow(own, bytes, before, context);
    }
    // A release makes no call: when its share is closed or full, it lowers the reserve
    // itself (the charge, which may need a raise, reopens the share).
    QJ_ALWAYS_INLINE void uncharge(std::atomic<std::uint64_t>& own, std::uint32_t bytes) noexcept {
        std::uint64_t seen = peekShare(own);
        std::uint64_t held;
        if (QJ_LIKELY(static_cast<std::uint16_t>(seen) != 0xFFFF &&
                      !__builtin_add_overflow(seen, bytesField(bytes), &held)) &&
            QJ_LIKELY(own.compare_exchange_strong(seen, held + 1, std::memory_order_relaxed)))
            return;
        reserve_[kCount].fetch_sub(1, std::memory_order_seq_cst);
        reserve_[kBytes].fetch_sub(bytes, std::memory_order_seq_cst);
    }

    // The same for a bytes-only gauge, whose open share is its headroom bytes and nothing
    // else (a closed one is above kMostBytesOnly: both tests fail on it).
    QJ_ALWAYS_INLINE void chargeBytes(std::atomic<std::uint64_t>& own,
                                      std::uint32_t bytes) noexcept {
        std::uint64_t seen = peekShare(own);
        if (QJ_LIKELY(seen - bytes <= kMostBytesOnly) &&
            QJ_LIKELY(own.compare_exchange_strong(seen, seen - bytes, std::memory_order_relaxed)))
            return;
        chargeSlow(own, bytes, nullptr, nullptr);
    }
    // A release from the thread's share; false when the share is closed or full, and the
    // caller lowers the reserve instead (lowerBytes).
    QJ_ALWAYS_INLINE bool unchargeBytes(std::atomic<std::uint64_t>& own,
                                        std::uint32_t bytes) noexcept {
        std::uint64_t seen = peekShare(own);
        return QJ_LIKELY(seen <= kMostBytesOnly - bytes) &&
               QJ_LIKELY(
                   own.compare_exchange_strong(seen, seen + bytes, std::memory_order_relaxed));
    }
    void lowerBytes(std::uint32_t bytes) noexcept {
        reserve_[kBytes].fetch_sub(bytes, std::memory_order_seq_cst);
    }

    // The values and peaks: for a caller that holds a StatisticsFreeze.
    PeakGaugeValues read() const noexcept;
    // Values, peaks and every thread's headroom back to 0. No charge may run meanwhile.
    void clear() noexcept;
    // The values back to 0, the peaks kept: every share closed, its headroom collected.
    // No charge may run meanwhile.
    void clearValues() noexcept;

private:
    enum { kCount, kBytes };
    // Share word: headroom bytes in bits 32-63, the tag in bits 16-31, headroom blocks in
    // bits 0-15. An open share has tag 0 (neither test lets a borrow or a carry reach it).
    // A closed one has no blocks, all bytes ones (which no open share reaches: its bytes
    // grow only with its blocks, and a raise hands out less), and as tag the low bits of
    // the generation of the raise that closed it (odd), or 0xFFFE for a slot made while a
    // raise may run (kNeverOpened).
    static constexpr unsigned kBytesShift = 32;
    static constexpr std::uint64_t kClosed = 0xFFFFFFFF00000000ull;
    static constexpr std::int64_t kMostHeadroomBlocks = 0xFFFF;
    static constexpr std::int64_t kMostHeadroomBytes = 0xFFFFFFFE;

    static constexpr std::uint64_t bytesField(std::uint32_t bytes) {
        return std::uint64_t{bytes} << kBytesShift;
    }
    // A bytes-only share: the headroom bytes when open (at most kMostBytesOnly); closed,
    // the tag shifted up by 40 (kNeverOpened is closed in both forms).
    static constexpr std::uint64_t kMostBytesOnly = 0xFFFFFFFFull;

    bool isClosed(std::uint64_t word) const {
        if (bytesOnly_)
            return word > kMostBytesOnly;
        return (word & ~std::uint64_t{0xFFFF0000}) == kClosed;
    }
    std::uint64_t closedWord(std::uint32_t generation) const {
        const std::uint64_t tag = generation & 0xFFFF;
        return bytesOnly_ ? tag << 40 : kClosed | (tag << 16);
    }
    std::int64_t headroomBlocks(std::uint64_t word) const {
        return bytesOnly_ || isClosed(word) ? 0 : static_cast<std::int64_t>(word & 0xFFFF);
    }
    std::int64_t headroomBytes(std::uint64_t word) const {
        if (isClosed(word))
            return 0;
        return static_cast<std::int64_t>(bytesOnly_ ? word : word >> kBytesShift);
    }
    // The share that holds `blocks` and `bytes` of headroom.
    std::uint64_t openWord(std::int64_t blocks, std::int64_t bytes) const {
        if (bytesOnly_)
            return static_cast<std::uint64_t>(bytes);
        return bytesField(static_cast<std::uint32_t>(bytes)) | static_cast<std::uint64_t>(blocks);
    }

    QJ_NOINLINE void chargeSlow(std::atomic<std::uint64_t>& word, std::uint32_t bytes,
                                Before before, void* context) noexcept;
    // Adds `amount` to R of value `which` if R stays within its peak.
    bool addWithinPeak(int which, std::int64_t amount) noexcept;
    // The charge of `count` blocks and `bytes` bytes, by the thread whose share is `own`,
    // that takes R past a peak; `before`, when not null, runs in the turn first.
    void raise(std::atomic<std::uint64_t>& own, std::int64_t count, std::int64_t bytes,
               Before before, void* context) noexcept;

    const std::uint32_t share_;
    const bool bytesOnly_;
    // Odd while a raise runs.
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<std::int64_t> reserve_[2] = {};
    std::atomic<std::int64_t> peak_[2] = {};

public:
    // A share that has never been open: closed, with a tag (0xFFFE) that is even, so no
    // raise writes it.
    static constexpr std::uint64_t kNeverOpened = 0xFFFFFFFFFFFE0000ull;
};

// The memory names' and the histogram's gauges (peak_gauge.cpp).
using PeakGauge = BasicPeakGauge<SlotShares>;
extern template class BasicPeakGauge<SlotShares>;

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_PEAK_GAUGE_H
