// The gauge's values and peaks against a plain model: charges and releases of one gauge
// by several threads, whose headroom moves between them, must leave exactly the count,
// the byte total and the two peaks that one shared counter would have. Run under
// ThreadSanitizer by CI (`--gtest_filter='*Stress*'`).
#include "alloc/counters.h"
#include "alloc/peak_gauge.h"

#include "turn_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace d = velt::zur::memory::detail;

namespace {

// The last memory name's share: the unit tests of memory names reset their records
// before each test, so borrowing it here disturbs none of them.
constexpr std::uint32_t kShare = d::kGaugeShareCount - 1;

struct Model {
    std::int64_t count = 0, bytes = 0, peakCount = 0, peakBytes = 0;
    void charge(std::int64_t size) {
        ++count;
        bytes += size;
        peakCount = std::max(peakCount, count);
        peakBytes = std::max(peakBytes, bytes);
    }
    void release(std::int64_t size) {
        --count;
        bytes -= size;
    }
};

void charge(d::PeakGauge& gauge, std::uint32_t size) {
    d::updateCounters([&](d::CounterSlot& slot) { gauge.charge(slot.gaugeShares[kShare], size); });
}
void release(d::PeakGauge& gauge, std::uint32_t size) {
    d::updateCounters(
        [&](d::CounterSlot& slot) { gauge.uncharge(slot.gaugeShares[kShare], size); });
}
d::PeakGaugeValues read(const d::PeakGauge& gauge) {
    d::StatisticsFreeze freeze;
    return gauge.read();
}

struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

::testing::AssertionResult matches(const d::PeakGaugeValues& v, const Model& m) {
    if (v.count == m.count && v.bytes == m.bytes && v.peakCount == m.peakCount &&
        v.peakBytes == m.peakBytes)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "gauge {" << v.count << ", " << v.bytes << ", peaks " << v.peakCount << ", "
           << v.peakBytes << "} model {" << m.count << ", " << m.bytes << ", peaks " << m.peakCount
           << ", " << m.peakBytes << "}";
}

// Three threads take turns at random: each charges, or releases a live block that any of
// them charged, so headroom piles up on one thread and is needed on another. Sizes from 1
// to 300 bytes; a clear() in the middle, with blocks still live, as a reset makes.
TEST(PeakGauge, FollowsOneSharedCounterWhateverThreadActs) {
    static d::PeakGauge gauge(kShare);
    gauge.clear();
    constexpr int kThreads = 3;
    TurnWorker workers[kThreads];
    Model model;
    std::vector<std::uint32_t> live;
    Random random{2024};
    for (int step = 0; step < 6000; ++step) {
        TurnWorker& worker = workers[random.next() % kThreads];
        // Phases that grow, shrink and hover, so that the peak is both raised and not.
        const int phase = (step / 500) % 3;
        const std::uint32_t chargeOdds = phase == 0 ? 70 : phase == 1 ? 30 : 50;
        if (step == 3000) {
            gauge.clear();
            model = Model{};
        }
        if (live.empty() || random.next() % 100 < chargeOdds) {
            const std::uint32_t size = 1 + random.next() % 300;
            worker.run([&] { charge(gauge, size); });
            model.charge(size);
            live.push_back(size);
        } else {
            const std::size_t at = random.next() % live.size();
            const std::uint32_t size = live[at];
            live[at] = live.back();
            live.pop_back();
            worker.run([&] { release(gauge, size); });
            model.release(size);
        }
        ASSERT_TRUE(matches(read(gauge), model)) << "after step " << step;
    }
    gauge.clear();
}

// A spin barrier: the phases below must not overlap, or their peaks would not be known.
class Barrier {
public:
    explicit Barrier(int threads) : threads_(threads) {}
    void arrive() {
        const int round = round_.load();
        if (arrived_.fetch_add(1) + 1 == threads_) {
            arrived_.store(0);
            round_.fetch_add(1);
            return;
        }
        while (round_.load() == round)
            std::this_thread::yield();
    }

private:
    const int threads_;
    std::atomic<int> arrived_{0};
    std::atomic<int> round_{0};
};

std::uint32_t sizeOf(int thread, int i) {
    return 1 + (static_cast<std::uint32_t>(thread * 7919 + i) * 2654435761u) % 500u;
}

// Four threads at once, in phases whose peaks do not depend on the interleaving:
// 1. each charges its blocks: the peaks are the totals;
// 2. each replaces blocks by smaller ones, so no thread's total (and not the sum) ever
//    grows: the peaks stay, although headroom now lies on every thread;
// 3. each only charges: the peaks are the final values;
// 4. each releases another thread's blocks: the values are 0, the peaks stay.
// A reader checks meanwhile that no value is ever seen above its peak.
TEST(PeakGaugeStress, PeaksStayExactWhileThreadsShareTheRoom) {
    static d::PeakGauge gauge(kShare);
    gauge.clear();
    constexpr int kThreads = 4;
    constexpr int kFirst = 3000, kReplaced = 20000, kMore = 2000;
    std::vector<std::vector<std::uint32_t>> blocks(kThreads);
    Model model;
    std::int64_t totals[4][2] = {};
    // The expected values after each phase, computed alone.
    for (int t = 0; t < kThreads; ++t) {
        std::vector<std::uint32_t> sizes;
        for (int i = 0; i < kFirst; ++i)
            sizes.push_back(sizeOf(t, i));
        for (std::uint32_t s : sizes)
            model.charge(s);
        blocks[t] = sizes;
    }
    totals[0][0] = model.count;
    totals[0][1] = model.bytes;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kReplaced; ++i) {
            std::uint32_t& slot = blocks[t][static_cast<std::size_t>(i) % kFirst];
            const std::uint32_t smaller = 1 + sizeOf(t, kFirst + i) % slot;
            model.release(slot);
            model.charge(smaller);
            slot = smaller;
        }
    totals[1][0] = model.count;
    totals[1][1] = model.bytes;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kMore; ++i)
            model.charge(sizeOf(t, kFirst + kReplaced + i));
    totals[2][0] = model.count;
    totals[2][1] = model.bytes;
    const Model final = model;

    std::vector<std::vector<std::uint32_t>> held(kThreads);
    Barrier barrier(kThreads);
    std::atomic<bool> done{false};
    std::atomic<bool> seenAbovePeak{false};
    std::thread reader([&] {
        while (!done.load()) {
            const d::PeakGaugeValues v = read(gauge);
            if (v.count > v.peakCount || v.bytes > v.peakBytes)
                seenAbovePeak.store(true);
        }
    });
    d::PeakGaugeValues afterPhase[3];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::vector<std::uint32_t>& mine = held[t];
            for (int i = 0; i < kFirst; ++i) {
                mine.push_back(sizeOf(t, i));
                charge(gauge, mine.back());
            }
            barrier.arrive();
            if (t == 0)
                afterPhase[0] = read(gauge);
            barrier.arrive();
            for (int i = 0; i < kReplaced; ++i) {
                std::uint32_t& slot = mine[static_cast<std::size_t>(i) % kFirst];
                const std::uint32_t smaller = 1 + sizeOf(t, kFirst + i) % slot;
                release(gauge, slot);
                charge(gauge, smaller);
                slot = smaller;
            }
            barrier.arrive();
            if (t == 0)
                afterPhase[1] = read(gauge);
            barrier.arrive();
            for (int i = 0; i < kMore; ++i) {
                mine.push_back(sizeOf(t, kFirst + kReplaced + i));
                charge(gauge, mine.back());
            }
            barrier.arrive();
            if (t == 0)
                afterPhase[2] = read(gauge);
            barrier.arrive();
            for (std::uint32_t size : held[(t + 1) % kThreads])
                release(gauge, size);
        });
    for (std::thread& th : threads)
        th.join();
    done.store(true);
    reader.join();

    EXPECT_EQ(afterPhase[0].count, totals[0][0]);
    EXPECT_EQ(afterPhase[0].bytes, totals[0][1]);
    EXPECT_EQ(afterPhase[0].peakCount, totals[0][0]);
    EXPECT_EQ(afterPhase[0].peakBytes, totals[0][1]);
    EXPECT_EQ(afterPhase[1].count, totals[1][0]);
    EXPECT_EQ(afterPhase[1].bytes, totals[1][1]);
    EXPECT_EQ(afterPhase[1].peakCount, totals[0][0]);
    EXPECT_EQ(afterPhase[1].peakBytes, totals[0][1]);
    EXPECT_EQ(afterPhase[2].count, totals[2][0]);
    EXPECT_EQ(afterPhase[2].bytes, totals[2][1]);
    EXPECT_EQ(afterPhase[2].peakCount, final.peakCount);
    EXPECT_EQ(afterPhase[2].peakBytes, final.peakBytes);
    const d::PeakGaugeValues end = read(gauge);
    EXPECT_EQ(end.count, 0);
    EXPECT_EQ(end.bytes, 0);
    EXPECT_EQ(end.peakCount, final.peakCount);
    EXPECT_EQ(end.peakBytes, final.peakBytes);
    EXPECT_FALSE(seenAbovePeak.load());
    gauge.clear();
}

} // namespace
