// The gauges' slow paths: charges and releases on the reserve, raises, readers. Included
// by the source that instantiates a gauge's Shares policy.
#ifndef QJ_ALLOC_PEAK_GAUGE_IMPL_H
#define QJ_ALLOC_PEAK_GAUGE_IMPL_H

#include "alloc/peak_gauge.h"

#include "platform/platform.h"

#include <initializer_list>

namespace velt::zur::memory::detail {

template <class Shares>
bool BasicPeakGauge<Shares>::addWithinPeak(int which, std::int64_t amount) noexcept {
    std::atomic<std::int64_t>& reserve = reserve_[which];
    std::int64_t seen = reserve.load(std::memory_order_relaxed);
    for (;;) {
        // The peak only grows (but for clear(), which no charge runs beside): a stale
        // peak can only send the charge to a raise, which is exact.
        if (seen + amount > peak_[which].load(std::memory_order_relaxed))
            return false;
        if (reserve.compare_exchange_weak(seen, seen + amount, std::memory_order_seq_cst,
                                          std::memory_order_relaxed))
            return true;
    }
}

template <class Shares>
void BasicPeakGauge<Shares>::chargeSlow(std::atomic<std::uint64_t>& word, std::uint32_t bytes, Before before,
                           void* context) noexcept {
    if (before != nullptr && peak_[kBytes].load(std::memory_order_relaxed) == 0) {
        raise(word, 1, bytes, before, context);
        return;
    }
    for (;;) {
        std::uint64_t seen = word.load(std::memory_order_acquire);
        if (isClosed(seen)) {
            // Closed by a raise, or never opened: reopen it, empty, unless a raise runs
            // (or the byte peak is 0). A raise that starts later either closes it again
            // first (the exchange makes this compare fail) or collects it afterwards.
            if ((generation_.load(std::memory_order_seq_cst) & 1u) == 0 &&
                peak_[kBytes].load(std::memory_order_acquire) != 0) {
                word.compare_exchange_strong(seen, 0, std::memory_order_seq_cst);
                continue;
            }
        } else if ((bytesOnly_ || headroomBlocks(seen) != 0) && headroomBytes(seen) >= bytes) {
            if (word.compare_exchange_strong(seen, seen - openWord(bytesOnly_ ? 0 : 1, bytes),
                                             std::memory_order_relaxed))
                return;
            continue;
        }
        // The headroom does not cover it: on the reserve, within the peaks, or a raise.
        std::int64_t count = bytesOnly_ ? 0 : 1;
        if (count != 0 && addWithinPeak(kCount, 1))
            count = 0;
        if (addWithinPeak(kBytes, bytes)) {
            if (count == 0)
                return;
            bytes = 0;
        }
        raise(word, count, bytes, nullptr, nullptr);
        return;
    }
}

template <class Shares>
void BasicPeakGauge<Shares>::raise(std::atomic<std::uint64_t>& own, std::int64_t count, std::int64_t bytes,
                      Before before, void* context) noexcept {
    // Take the turn. While another raise runs, the room it hands out may let this charge
    // onto the reserve after all.
    std::uint32_t generation = generation_.load(std::memory_order_relaxed);
    for (;;) {
        if ((generation & 1u) == 0 &&
            generation_.compare_exchange_weak(generation, generation + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed))
            break;
        platform::relax();
        if (before == nullptr) {
            if (count != 0 && addWithinPeak(kCount, count))
                count = 0;
            if (bytes != 0 && addWithinPeak(kBytes, bytes))
                bytes = 0;
            if (count == 0 && bytes == 0)
                return;
        }
        generation = generation_.load(std::memory_order_relaxed);
    }
    // Close every share, collecting its headroom. A slot made from now on starts closed
    // (kNeverOpened), and no thread opens a share before the turn ends. The threads that
    // held headroom are the ones that release: they get a part of the room back.
    const std::uint64_t closed = closedWord(generation + 1);
    std::int64_t collected[2] = {0, 0};
    constexpr int kMostHolders = 32;
    std::atomic<std::uint64_t>* holders[kMostHolders + 1];
    int holderCount = 0;
    holders[holderCount++] = &own;
    Shares::forEach(share_, [&](std::atomic<std::uint64_t>& word) {
        const std::uint64_t old = word.exchange(closed, std::memory_order_seq_cst);
        collected[kCount] += headroomBlocks(old);
        collected[kBytes] += headroomBytes(old);
        if (headroomBlocks(old) + headroomBytes(old) != 0 && &word != &own &&
            holderCount <= kMostHolders)
            holders[holderCount++] = &word;
    });
    if (before != nullptr)
        before(context, peak_[kBytes].load(std::memory_order_relaxed),
               static_cast<std::uint32_t>(bytes));
    // No thread holds headroom now: R = V + collected, and this add yields the exact value
    // after the charge, the new peak when it is above the old one.
    const std::int64_t amounts[2] = {count, bytes};
    std::int64_t part[2] = {0, 0};
    for (int which : {kCount, kBytes}) {
        const std::int64_t change = amounts[which] - collected[which];
        const std::int64_t value =
            reserve_[which].fetch_add(change, std::memory_order_seq_cst) + change;
        if (value > peak_[which].load(std::memory_order_relaxed))
            peak_[which].store(value, std::memory_order_release);
        // The room left under the peak goes back as headroom, in equal parts. It is
        // added to R first: until the parts are in the shares, R only stands higher.
        const std::int64_t most =
            which == kCount ? (bytesOnly_ ? 0 : kMostHeadroomBlocks) : kMostHeadroomBytes;
        // Nothing while the byte peak is 0 (see charge()).
        const std::int64_t peak = peak_[kBytes].load(std::memory_order_relaxed) == 0
                                      ? std::int64_t{INT64_MIN}
                                      : peak_[which].load(std::memory_order_relaxed);
        std::int64_t seen = reserve_[which].load(std::memory_order_relaxed);
        for (;;) {
            part[which] = seen < peak ? (peak - seen) / holderCount : 0;
            if (part[which] > most)
                part[which] = most;
            if (part[which] == 0 || reserve_[which].compare_exchange_weak(
                                        seen, seen + part[which] * holderCount,
                                        std::memory_order_seq_cst, std::memory_order_relaxed))
                break;
        }
    }
    const std::uint64_t share = openWord(part[kCount], part[kBytes]);
    if (share != 0) {
        for (int i = 0; i < holderCount; ++i)
            holders[i]->store(share, std::memory_order_seq_cst);
    }
    generation_.store(generation + 2, std::memory_order_release);
}

template <class Shares>
PeakGaugeValues BasicPeakGauge<Shares>::read() const noexcept {
    std::int64_t held[2] = {0, 0};
    Shares::forEach(share_, [&](std::atomic<std::uint64_t>& share) {
        const std::uint64_t word = share.load(std::memory_order_relaxed);
        held[kCount] += headroomBlocks(word);
        held[kBytes] += headroomBytes(word);
    });
    return {reserve_[kCount].load(std::memory_order_relaxed) - held[kCount],
            reserve_[kBytes].load(std::memory_order_relaxed) - held[kBytes],
            peak_[kCount].load(std::memory_order_relaxed),
            peak_[kBytes].load(std::memory_order_relaxed)};
}

template <class Shares> void BasicPeakGauge<Shares>::clearValues() noexcept {
    // Closed shares hold nothing: with all of them closed, R is the value itself. They
    // reopen, empty, at their threads' next charges.
    Shares::forEach(share_, [](std::atomic<std::uint64_t>& share) {
        share.store(kNeverOpened, std::memory_order_relaxed);
    });
    for (int which : {kCount, kBytes})
        reserve_[which].store(0, std::memory_order_relaxed);
}

template <class Shares> void BasicPeakGauge<Shares>::clear() noexcept {
    clearValues();
    for (int which : {kCount, kBytes})
        peak_[which].store(0, std::memory_order_relaxed);
}

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_PEAK_GAUGE_IMPL_H
