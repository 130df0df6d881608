// The allocation-site records against a serial model: several threads charge the same
// records, and every figure of every record, read as it stands once a charge has
// returned, must be the one that the rules applied one charge at a time give.
// Run under ThreadSanitizer by CI (`--gtest_filter='*Stress*'`).
#include "Quorrick.h"
#include "alloc/counters.h"
#include "frame/locks.h"
#include "frame/settings.h"
#include "trace/trace.h"
#include "trace/trace_internal.h"
#include "tracking/alloc_info.h"
#include "tracking/alloc_info_table.h"

#include "turn_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace qj = velt::zur::memory;
namespace d = velt::zur::memory::detail;

namespace {

// What a record should hold: the same fields, kept by the rules written out here.
struct Model {
    struct Churn {
        std::int32_t frame = 0, bytes = 0, allocs = 0, peakBytes = 0, peakAllocs = 0;
        void charge(std::int32_t now, std::int32_t size) {
            if (frame != now) {
                frame = now;
                bytes = 0;
                allocs = 0;
            }
            bytes += size;
            ++allocs;
            peakBytes = std::max(peakBytes, bytes);
            peakAllocs = std::max(peakAllocs, allocs);
        }
    };
    // A new frame is noticed by its first allocation, which closes the previous count
    // (counted as if it had gone on) and is not counted itself.
    struct FrameCount {
        std::int32_t allocs = 0, peak = 0, frame = 0;
        void charge(std::int32_t now) {
            peak = std::max(peak, allocs + 1);
            allocs = frame != now ? 0 : allocs + 1;
            frame = now;
        }
    };
    // A new record is all zeroes, traceId included.
    std::int32_t traceId = 0, peakSize = 0, peakNumAllocs = 0, currentNumAllocs = 0,
                 currentTotalSize = 0, minAllocSize = 0, maxAllocSize = 0;
    FrameCount visual, physic;
    Churn visualChurn, physicChurn;

    void allocate(std::int32_t size, std::int32_t trace, std::int32_t visualFrame,
                  std::int32_t physicFrame) {
        traceId = trace;
        physic.charge(physicFrame);
        visual.charge(visualFrame);
        physicChurn.charge(physicFrame, size);
        visualChurn.charge(visualFrame, size);
        ++currentNumAllocs;
        currentTotalSize += size;
        // No allocation since creation or the last clear: the extremes start afresh.
        if (peakSize == 0) {
            minAllocSize = size;
            maxAllocSize = size;
        }
        minAllocSize = std::min(minAllocSize, size);
        maxAllocSize = std::max(maxAllocSize, size);
        peakSize = std::max(peakSize, currentTotalSize);
        peakNumAllocs = std::max(peakNumAllocs, currentNumAllocs);
    }
    void release(std::int32_t size) {
        --currentNumAllocs;
        currentTotalSize -= size;
    }
    void clearCurrent() {
        currentNumAllocs = 0;
        currentTotalSize = 0;
    }
    // Only records whose traceId names a registered identifier are reset.
    void clearTraced(std::int32_t identifiers) {
        if (traceId < 0 || traceId >= identifiers)
            return;
        peakSize = peakNumAllocs = currentNumAllocs = currentTotalSize = 0;
        visual.allocs = visual.peak = physic.allocs = physic.peak = 0;
        visualChurn = Churn{visualChurn.frame, 0, 0, 0, 0};
        physicChurn = Churn{physicChurn.frame, 0, 0, 0, 0};
    }
};

// A record's figures as they stand: no report or freeze brings them up to date first.
Model readRecord(const d::AllocInfo* r) {
    Model m;
    m.traceId = r->traceId;
    m.peakSize = r->peakSize;
    m.peakNumAllocs = r->peakNumAllocs;
    m.currentNumAllocs = r->currentNumAllocs;
    m.currentTotalSize = r->currentTotalSize;
    m.minAllocSize = r->minAllocSize;
    m.maxAllocSize = r->maxAllocSize;
    m.visual = {r->visualFrameAllocs, r->visualFramePeakAllocs, r->visualFrame};
    m.physic = {r->physicFrameAllocs, r->physicFramePeakAllocs, r->physicFrame};
    const auto churn = [](const d::FrameChurn& c) {
        return Model::Churn{c.frame, c.bytes, c.allocs, c.peakBytes, c.peakAllocs};
    };
    m.visualChurn = churn(r->visualChurn);
    m.physicChurn = churn(r->physicChurn);
    return m;
}

// Every field that differs, by name.
testing::AssertionResult matches(const Model& got, const Model& want) {
    testing::AssertionResult result = testing::AssertionSuccess();
    bool same = true;
    const auto field = [&](const std::string& name, std::int32_t g, std::int32_t w) {
        if (g == w)
            return;
        if (same)
            result = testing::AssertionFailure();
        same = false;
        result << " " << name << " " << g << " (model " << w << ")";
    };
    field("traceId", got.traceId, want.traceId);
    field("peakSize", got.peakSize, want.peakSize);
    field("peakNumAllocs", got.peakNumAllocs, want.peakNumAllocs);
    field("currentNumAllocs", got.currentNumAllocs, want.currentNumAllocs);
    field("currentTotalSize", got.currentTotalSize, want.currentTotalSize);
    field("minAllocSize", got.minAllocSize, want.minAllocSize);
    field("maxAllocSize", got.maxAllocSize, want.maxAllocSize);
    field("visualFrameAllocs", got.visual.allocs, want.visual.allocs);
    field("visualFramePeakAllocs", got.visual.peak, want.visual.peak);
    field("visualFrame", got.visual.frame, want.visual.frame);
    field("physicFrameAllocs", got.physic.allocs, want.physic.allocs);
    field("physicFramePeakAllocs", got.physic.peak, want.physic.peak);
    field("physicFrame", got.physic.frame, want.physic.frame);
    for (const auto& [name, g, w] :
         {std::make_tuple(std::string("visualChurn."), got.visualChurn, want.visualChurn),
          std::make_tuple(std::string("physicChurn."), got.physicChurn, want.physicChurn)}) {
        field(name + "frame", g.frame, w.frame);
        field(name + "bytes", g.bytes, w.bytes);
        field(name + "allocs", g.allocs, w.allocs);
        field(name + "peakBytes", g.peakBytes, w.peakBytes);
        field(name + "peakAllocs", g.peakAllocs, w.peakAllocs);
    }
    return result;
}

struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

// A fresh table, no trace open or registered, both frames at 0, and frames and traces on.
class SiteRecords : public testing::Test {
protected:
    void SetUp() override {
        saved_ = d::settings;
        d::settings.use_traceIdentifiers = true;
        d::resetTraceStateForTesting();
        d::allocInfoTableInit(1021);
    }
    void TearDown() override {
        d::allocInfoReleaseTable();
        d::resetTraceStateForTesting();
        d::settings = saved_;
    }
    static d::AllocInfo* site(std::uintptr_t frame) {
        return d::allocInfoFindOrInsertFrames(&frame, 1);
    }
    d::Settings saved_;
};
class SiteRecordsStress : public SiteRecords {};

// Three threads take turns at random on three records: they allocate, release blocks that
// any of them allocated, open and close traces, move the frames on and clear the records.
// Phases that grow, shrink and hover, so that peaks are both raised and not.
TEST_F(SiteRecords, EveryFieldFollowsTheSerialModelWhateverThreadCharges) {
    constexpr int kThreads = 3, kRecords = 3;
    TurnWorker workers[kThreads];
    d::AllocInfo* records[kRecords];
    Model models[kRecords];
    for (int k = 0; k < kRecords; ++k)
        ASSERT_NE(records[k] = site(0x5100 + static_cast<std::uintptr_t>(k)), nullptr);
    std::vector<std::int32_t> live[kRecords]; // the sizes of each record's live blocks
    std::int32_t cells[2] = {-1, -1};
    const char* const names[2] = {"site records one", "site records two"};
    std::vector<std::pair<int, std::int32_t>> traces; // the open traces: thread, identifier
    std::int32_t identifiers = 0, visualFrame = 0, physicFrame = 0;
    Random random{77};
    for (int step = 0; step < 3000; ++step) {
        const int t = static_cast<int>(random.next() % kThreads);
        const int k = static_cast<int>(random.next() % kRecords);
        TurnWorker& worker = workers[t];
        const int phase = (step / 400) % 3;
        const std::uint32_t allocOdds = phase == 0 ? 140 : phase == 1 ? 60 : 100;
        const std::uint32_t action = random.next() % 200;
        if (action < 180 && (action < allocOdds || live[k].empty())) {
            const auto size = static_cast<std::int32_t>(1 + random.next() % 200);
            const std::uint32_t word = d::allocInfoWord(records[k]);
            worker.run([&] { d::allocInfoUpdate(word, size); });
            // The calling thread's trace: the innermost open one, if that thread opened it.
            const std::int32_t trace =
                !traces.empty() && traces.back().first == t ? traces.back().second : -1;
            models[k].allocate(size, trace, visualFrame, physicFrame);
            live[k].push_back(size);
        } else if (action < 180) {
            const std::size_t at = random.next() % live[k].size();
            const std::int32_t size = live[k][at];
            live[k][at] = live[k].back();
            live[k].pop_back();
            const std::uint32_t word = d::allocInfoWord(records[k]);
            worker.run([&] { d::allocInfoUpdate(word, -size); });
            models[k].release(size);
        } else if (action < 185) {
            worker.run([] { qj::nextVisualFrame(); });
            ++visualFrame;
        } else if (action < 189) {
            worker.run([] { qj::nextPhysicFrame(); });
            ++physicFrame;
        } else if (action < 196) {
            const bool owned = !traces.empty() && traces.back().first == t;
            if (owned && (traces.size() >= 4 || random.next() % 2 == 0)) {
                const std::int32_t id = traces.back().second;
                worker.run([id] { qj::endMemoryTrace(id); });
                traces.pop_back();
            } else if (traces.size() < 4) {
                const int which = static_cast<int>(random.next() % 2);
                worker.run([&] { qj::startMemoryTrace(cells[which], names[which]); });
                ASSERT_GE(cells[which], 0) << "step " << step;
                identifiers = std::max(identifiers, cells[which] + 1);
                traces.emplace_back(t, cells[which]);
            }
        } else if (action < 198) {
            worker.run([] {
                qj::ScopedLock lock(d::globalLock());
                d::StatisticsFreeze freeze;
                d::allocInfoClearCurrent();
            });
            for (Model& m : models)
                m.clearCurrent();
        } else {
            worker.run([] {
                qj::ScopedLock lock(d::globalLock());
                d::StatisticsFreeze freeze;
                d::allocInfoClearTraced();
            });
            for (Model& m : models)
                m.clearTraced(identifiers);
        }
        for (int r = 0; r < kRecords; ++r)
            ASSERT_TRUE(matches(readRecord(records[r]), models[r]))
                << "record " << r << " after step " << step;
    }
}

// Threads wait for each other between the phases below.
class Barrier {
public:
    explicit Barrier(int threads) : threads_(threads) {}
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        const int round = round_;
        if (++arrived_ == threads_) {
            arrived_ = 0;
            ++round_;
            changed_.notify_all();
            return;
        }
        changed_.wait(lock, [&] { return round_ != round; });
    }

private:
    const int threads_;
    int arrived_ = 0, round_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

std::int32_t sizeOf(int thread, int i) {
    return static_cast<std::int32_t>(
        1 + (static_cast<std::uint32_t>(thread * 7919 + i) * 2654435761u) % 500u);
}

// Four threads charge one record at once, in phases whose end state does not depend on
// the interleaving, so that the model, applied one thread after another, gives it exactly:
// 1. each allocates kFirst blocks: the peaks are the totals;
// 2. each releases the blocks of another thread: the current figures are 0, peaks stay;
// then the visual frame moves on;
// 3. each allocates and releases one block at a time: at most four blocks are live, far
//    below phase 1's peaks, which stay; the first allocation closes the visual count;
// then the physics frame moves on;
// 4. each allocates kLast blocks, more than in phase 1: the peaks are the totals again.
// Sizes, counts per frame and churn are sums, the same in any order.
TEST_F(SiteRecordsStress, PhasesOfFourThreadsOnOneRecordEndExact) {
    constexpr int kThreads = 4, kFirst = 2000, kPairs = 5000, kLast = 3000;
    d::AllocInfo* record = site(0x5200);
    ASSERT_NE(record, nullptr);
    const std::uint32_t word = d::allocInfoWord(record);
    const auto phase3Size = [](int t, int i) { return sizeOf(t, kFirst + i) % 50 + 1; };
    const auto phase4Size = [](int t, int i) { return sizeOf(t, kFirst + kPairs + i); };

    Model model;
    Model expected[4];
    std::int32_t visualFrame = 0, physicFrame = 0;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFirst; ++i)
            model.allocate(sizeOf(t, i), -1, visualFrame, physicFrame);
    expected[0] = model;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFirst; ++i)
            model.release(sizeOf((t + 1) % kThreads, i));
    expected[1] = model;
    ++visualFrame;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPairs; ++i) {
            model.allocate(phase3Size(t, i), -1, visualFrame, physicFrame);
            model.release(phase3Size(t, i));
        }
    expected[2] = model;
    ++physicFrame;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLast; ++i)
            model.allocate(phase4Size(t, i), -1, visualFrame, physicFrame);
    expected[3] = model;
    ASSERT_GT(expected[3].currentTotalSize, expected[0].currentTotalSize);

    Barrier barrier(kThreads);
    Model seen[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Thread 0 reads, and moves the frames on, while the others wait.
            const auto endPhase = [&](int phase, void (*between)()) {
                barrier.arrive();
                if (t == 0) {
                    seen[phase] = readRecord(record);
                    if (between != nullptr)
                        between();
                }
                barrier.arrive();
            };
            for (int i = 0; i < kFirst; ++i)
                d::allocInfoUpdate(word, sizeOf(t, i));
            endPhase(0, nullptr);
            for (int i = 0; i < kFirst; ++i)
                d::allocInfoUpdate(word, -sizeOf((t + 1) % kThreads, i));
            endPhase(1, [] { qj::nextVisualFrame(); });
            for (int i = 0; i < kPairs; ++i) {
                d::allocInfoUpdate(word, phase3Size(t, i));
                d::allocInfoUpdate(word, -phase3Size(t, i));
            }
            endPhase(2, [] { qj::nextPhysicFrame(); });
            for (int i = 0; i < kLast; ++i)
                d::allocInfoUpdate(word, phase4Size(t, i));
            endPhase(3, nullptr);
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int phase = 0; phase < 4; ++phase)
        EXPECT_TRUE(matches(seen[phase], expected[phase])) << "after phase " << phase + 1;
}

} // namespace
