// Many threads charging, releasing and counting at once, with reports built alongside:
// every TraceStats field that can be known from outside must come out exact. Run under
// ThreadSanitizer by CI (`--gtest_filter='*Stress*'`).
#include "Quorrick.h"
#include "frame/locks.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;
using namespace qjtrace;

namespace {

constexpr int kThreads = 4;
constexpr int kBlocksPerThread = 100000;
constexpr int kNames = 3;

struct Block {
    std::uint32_t traceValue;
    std::int32_t name;
    std::int32_t size;
    std::int32_t* resourceCell;
};

std::int32_t sizeOf(int thread, int i) {
    return 1 + static_cast<std::int32_t>((static_cast<std::uint32_t>(thread * 7919 + i) *
                                          2654435761u) % 5000u);
}

// What the records must hold after phase 1: every block charged, none released.
struct Expected {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    std::int32_t minBlock = INT32_MAX;
    std::int32_t maxBlock = 0;
    void add(std::int32_t size) {
        ++count;
        bytes += size;
        minBlock = std::min(minBlock, size);
        maxBlock = std::max(maxBlock, size);
    }
    d::TraceStatsValues charged() const {
        return stats(static_cast<int>(bytes), static_cast<int>(count), static_cast<int>(count),
                     static_cast<int>(bytes), minBlock, maxBlock);
    }
    d::TraceStatsValues released() const {
        return stats(static_cast<int>(bytes), static_cast<int>(count), 0, 0, minBlock, maxBlock);
    }
};

// Holds every worker until all have started, so that their charges really overlap.
class StartLine {
public:
    explicit StartLine(int workers) : waiting_(workers) {}
    void arrive() {
        waiting_.fetch_sub(1);
        while (waiting_.load() > 0)
            std::this_thread::yield();
    }

private:
    std::atomic<int> waiting_;
};

// Builds every report over and over until told to stop (the texts are not read: they
// belong to the library and another build may replace them at any time).
class ReportBuilder {
public:
    ReportBuilder()
        : thread_([this] {
              while (!stop_.load(std::memory_order_relaxed)) {
                  {
                      qj::ScopedLock lock(d::globalLock());
                      d::traceReport();
                  }
                  qj::getStatus(nullptr);
                  d::resourceReport();
              }
          }) {}
    ~ReportBuilder() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

using TraceStress = TraceState;

TEST_F(TraceStress, ChargesAndReleasesOnManyThreadsStayExact) {
    std::int32_t outer = -1;
    d::startTrace(outer, "stress");
    ASSERT_EQ(outer, 0);

    std::vector<std::vector<Block>> blocks(kThreads);
    // One resource cell per thread and name: all threads register the same two names at once.
    std::vector<std::int32_t> textureCells(kThreads, -1), soundCells(kThreads, -1);

    // Phase 1: every thread charges its blocks; nothing is released.
    {
        ReportBuilder reports;
        std::vector<std::thread> threads;
        StartLine start(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive();
                for (int i = 0; i < kBlocksPerThread; ++i) {
                    const std::int32_t size = sizeOf(t, i);
                    const std::int32_t name = i % kNames;
                    const std::uint32_t v = d::traceAllocate(size);
                    d::memoryNameAllocate(name, size);
                    std::int32_t* cell = (i % 2 == 0) ? &textureCells[t] : &soundCells[t];
                    qj::resourceTraceAllocate(*cell, (i % 2 == 0) ? "Texture" : "sound", size);
                    blocks[t].push_back({v, name, size, cell});
                }
            });
        for (std::thread& th : threads)
            th.join();
    }

    Expected trace, names[kNames], texture, sound;
    for (int t = 0; t < kThreads; ++t)
        for (const Block& b : blocks[t]) {
            ASSERT_EQ(b.traceValue, 1u);
            trace.add(b.size);
            names[b.name].add(b.size);
            (b.resourceCell == &textureCells[t] ? texture : sound).add(b.size);
        }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(textureCells[t], textureCells[0]);
        EXPECT_EQ(soundCells[t], soundCells[0]);
    }
    EXPECT_EQ(d::resourceTable.count.load(), 2);
    EXPECT_EQ(traceStats(outer), trace.charged());
    for (int n = 0; n < kNames; ++n)
        EXPECT_EQ(nameStats(n), names[n].charged()) << "memory name " << n;
    EXPECT_EQ(resourceStats(textureCells[0]), texture.charged());
    EXPECT_EQ(resourceStats(soundCells[0]), sound.charged());

    // Phase 2: every thread releases the blocks another thread charged.
    {
        ReportBuilder reports;
        std::vector<std::thread> threads;
        StartLine start(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive();
                for (const Block& b : blocks[(t + 1) % kThreads]) {
                    d::memoryNameFree(b.name, b.size);
                    d::traceFree(b.traceValue, b.size);
                    qj::resourceTraceFree(*b.resourceCell, "unused", b.size);
                }
            });
        for (std::thread& th : threads)
            th.join();
    }
    EXPECT_EQ(traceStats(outer), trace.released());
    for (int n = 0; n < kNames; ++n)
        EXPECT_EQ(nameStats(n), names[n].released()) << "memory name " << n;
    EXPECT_EQ(resourceStats(textureCells[0]), texture.released());
    EXPECT_EQ(resourceStats(soundCells[0]), sound.released());
    d::endTrace(outer);
    EXPECT_EQ(d::traceStackDepth(), 0);
}

TEST_F(TraceStress, TracesOpenedAndClosedWhileBlocksMove) {
    // Each thread opens and closes traces of its own while charging and releasing; blocks
    // are released by the thread after it. Whatever trace each block was charged to, the
    // records must add up to the blocks still live, and come back to zero.
    std::vector<std::vector<Block>> live(kThreads);
    std::vector<std::int32_t> minSeen(kThreads, INT32_MAX), maxSeen(kThreads, 0);
    {
        ReportBuilder reports;
        std::vector<std::thread> threads;
        StartLine start(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive();
                std::int32_t cells[3] = {-1, -1, -1};
                const std::string names[3] = {"frame" + std::to_string(t), "physics", "AI"};
                for (int i = 0; i < kBlocksPerThread; ++i) {
                    std::int32_t& cell = cells[i % 3];
                    if (i % 5 == 0)
                        d::startTrace(cell, names[i % 3].c_str());
                    const std::int32_t size = sizeOf(t, i);
                    minSeen[t] = std::min(minSeen[t], size);
                    maxSeen[t] = std::max(maxSeen[t], size);
                    live[t].push_back({d::traceAllocate(size), i % 16, size, nullptr});
                    d::memoryNameAllocate(i % 16, size);
                    if (i % 5 == 4)
                        d::endTrace(cell); // ignored unless it is innermost and ours
                    if (i % 3 == 0) {
                        const Block b = live[t][live[t].size() / 2];
                        live[t][live[t].size() / 2] = live[t].back();
                        live[t].pop_back();
                        d::traceFree(b.traceValue, b.size);
                        d::memoryNameFree(b.name, b.size);
                    }
                }
            });
        for (std::thread& th : threads)
            th.join();
    }

    // Reconcile the live blocks against every trace record and memory name.
    std::int64_t tracedCount = 0, nameCount[16] = {}, nameBytes[16] = {};
    std::vector<std::int64_t> perTraceCount(d::traceIdentifierCount()),
        perTraceBytes(d::traceIdentifierCount());
    for (const auto& blocksOfThread : live)
        for (const Block& b : blocksOfThread) {
            nameCount[b.name] += 1;
            nameBytes[b.name] += b.size;
            if (b.traceValue != 0) {
                ASSERT_LE(b.traceValue, perTraceCount.size());
                ++tracedCount;
                perTraceCount[b.traceValue - 1] += 1;
                perTraceBytes[b.traceValue - 1] += b.size;
            }
        }
    EXPECT_GT(tracedCount, 0);
    for (std::size_t id = 0; id < perTraceCount.size(); ++id) {
        const d::TraceStatsValues v = traceStats(static_cast<std::int32_t>(id));
        EXPECT_EQ(v.numAllocs, perTraceCount[id]) << "trace " << id;
        EXPECT_EQ(v.bytes, perTraceBytes[id]) << "trace " << id;
        EXPECT_GE(v.peakNumAllocs, v.numAllocs);
        EXPECT_GE(v.peakBytes, v.bytes);
    }
    for (int n = 0; n < 16; ++n) {
        const d::TraceStatsValues v = nameStats(n);
        EXPECT_EQ(v.numAllocs, nameCount[n]) << "memory name " << n;
        EXPECT_EQ(v.bytes, nameBytes[n]) << "memory name " << n;
    }

    // Release the rest on other threads; every record comes back to zero.
    {
        std::vector<std::thread> threads;
        StartLine start(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive();
                for (const Block& b : live[(t + 1) % kThreads]) {
                    d::traceFree(b.traceValue, b.size);
                    d::memoryNameFree(b.name, b.size);
                }
            });
        for (std::thread& th : threads)
            th.join();
    }
    const std::int32_t overallMin = *std::min_element(minSeen.begin(), minSeen.end());
    const std::int32_t overallMax = *std::max_element(maxSeen.begin(), maxSeen.end());
    for (std::int32_t id = 0; id < d::traceIdentifierCount(); ++id) {
        const d::TraceStatsValues v = traceStats(id);
        EXPECT_EQ(v.numAllocs, 0) << "trace " << id;
        EXPECT_EQ(v.bytes, 0) << "trace " << id;
    }
    for (int n = 0; n < 16; ++n) {
        const d::TraceStatsValues v = nameStats(n);
        EXPECT_EQ(v.numAllocs, 0) << "memory name " << n;
        EXPECT_EQ(v.bytes, 0) << "memory name " << n;
        EXPECT_GE(v.minBlock, overallMin);
        EXPECT_LE(v.maxBlock, overallMax);
        EXPECT_GT(v.peakNumAllocs, 0);
    }
}

TEST_F(TraceStress, NamesRegisteredOnManyThreadsAtOnce) {
    constexpr int kResourceNames = 300;
    std::vector<std::vector<std::int32_t>> cells(kThreads,
                                                 std::vector<std::int32_t>(kResourceNames, -1));
    std::vector<std::vector<std::int32_t>> memoryNameIndex(kThreads, std::vector<std::int32_t>(15));
    std::vector<std::thread> threads;
    StartLine start(kThreads);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive();
            for (int i = 0; i < kResourceNames; ++i) {
                const int n = (i * 7 + t * 13) % kResourceNames;
                std::string name = "resource" + std::to_string(n);
                if (t % 2 == 1)
                    std::transform(name.begin(), name.end(), name.begin(), ::toupper);
                qj::resourceTraceAllocate(cells[t][n], name.c_str(), n);
            }
            for (int i = 0; i < 15; ++i)
                memoryNameIndex[t][i] = qj::addMemoryName(("name" + std::to_string(i)).c_str());
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(d::resourceTable.count.load(), kResourceNames);
    EXPECT_EQ(d::memoryNameCount.load(), 16);
    for (int t = 1; t < kThreads; ++t) {
        EXPECT_EQ(cells[t], cells[0]);
        EXPECT_EQ(memoryNameIndex[t], memoryNameIndex[0]);
    }
    for (int n = 0; n < kResourceNames; ++n)
        EXPECT_EQ(resourceStats(cells[0][n]), stats(n * kThreads, kThreads, kThreads,
                                                    n * kThreads, n, n));
}

} // namespace
