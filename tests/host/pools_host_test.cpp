// Chunk pools seen by a host: which main-thread blocks come from a pool, where they lie,
// how released ones are reused, the pool table of the status text, and every pool error
// the host can cause, with its exact text and without a crash.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using qjtest::hex;
using qjtest::runHost;

namespace {

std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::uint32_t parseWord(const std::string& bytes) { // "5a 00 0e 00", little-endian
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i)
        word = word << 8 | static_cast<std::uint32_t>(std::stoul(bytes.substr(3 * i, 2), nullptr, 16));
    return word;
}

struct SourceCase {
    const char* name;
    const char* settings;
    int requested;
    int gross;     // requested size plus this layout's overhead
    int chunk;     // chunk size of the class that serves it; 0 for a heap block
    bool callstack;
    int headerBack = 4; // the header word's distance before the user pointer
};

class PoolSource : public testing::TestWithParam<SourceCase> {};

// Two blocks in a row on the main thread: a pooled pair lies one chunk apart and carries
// the pooled flag and chain index 0 in its header word.
TEST_P(PoolSource, MainThreadBlocks) {
    const SourceCase& c = GetParam();
    const std::string n = std::to_string(c.requested);
    const auto run = runHost(std::string(c.settings),
                             "cb\nmalloc A " + n + " 0\nmalloc B " + n + " 0\npeek A " +
                                 std::to_string(-c.headerBack) + " 4\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_TRUE(run.errors().empty()) << run.out;
    std::uint32_t header = static_cast<std::uint32_t>(c.gross) << 2 | (c.callstack ? 1u : 0u);
    if (c.chunk != 0)
        header |= 2u;
    EXPECT_EQ(parseWord(run.value("peek A " + std::to_string(-c.headerBack) + ":")), header);
    if (c.chunk != 0) {
        EXPECT_EQ(run.ptr("B") - run.ptr("A"), static_cast<std::uintptr_t>(c.chunk));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PoolSource,
    testing::Values(SourceCase{"Smallest", "", 1, 13, 16, false},
                    SourceCase{"Class24", "", 10, 22, 24, false},
                    SourceCase{"Class58HasChunksOf60", "", 46, 58, 60, false},
                    SourceCase{"Class64", "", 47, 59, 64, false},
                    SourceCase{"Largest", "", 76, 88, 88, false},
                    SourceCase{"OnePastTheLargest", "", 77, 89, 0, false},
                    SourceCase{"EveryWord", "use_qj7_tags 1 use_callstack 1 use_traceIdentifiers 1",
                               60, 88, 88, true, 12},
                    SourceCase{"PageGuardBypassesPools", "use_valloc 1", 10, 22, 0, false},
                    SourceCase{"PoolsOff", "use_pools 0", 10, 22, 0, false}),
    [](const testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

TEST(Pools, ReleasedBlocksAreReusedLastFirst) {
    const auto run = runHost(std::string(""), "cb\nmalloc A 10 0\nmalloc B 10 0\nmalloc C 10 0\n"
                                              "free B\nfree A\nmalloc D 12 0\nmalloc E 9 0\n"
                                              "malloc F 10 0\npeek D 0 4\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_TRUE(run.errors().empty());
    EXPECT_EQ(run.ptr("D"), run.ptr("A"));
    EXPECT_EQ(run.ptr("E"), run.ptr("B"));
    EXPECT_EQ(run.ptr("F"), run.ptr("C") + 24);
    EXPECT_EQ(run.value("peek D 0:"), "cd cd cd cd") << "the reused block is filled afresh";
}

TEST(Pools, StatusTextEndsWithThePoolTable) {
    const auto run = runHost(std::string(""), "cb\nmalloc A 10 0\nmalloc B 10 0\nmalloc C 50 0\n"
                                              "malloc D 76 0\nt malloc E 10 0\nfree A\nstatus\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const int sizes[] = {4, 8, 12, 16, 20, 24, 28, 32, 48, 58, 64, 68, 72, 76, 80, 84, 88};
    std::string sizeLine, countLine;
    for (int size : sizes) {
        const int live = size == 24 ? 1 : size == 64 ? 1 : size == 88 ? 1 : 0;
        const std::string s = std::to_string(size), l = std::to_string(live);
        sizeLine += s + std::string(16 - s.size(), ' ');
        countLine += l + std::string(16 - l.size(), ' ');
    }
    const std::string table = "ChunkPools\n" + sizeLine + "\n" + countLine + "\n";
    const std::string status = withoutCarriageReturns(run.section());
    ASSERT_GE(status.size(), table.size()) << status;
    EXPECT_EQ(status.substr(status.size() - table.size()), table) << status;
}

struct ReportCase {
    const char* name;
    const char* script; // runs after "cb\nmalloc A 10 0\n": A is chunk 0 of class 24
    std::vector<std::string> messages; // {A-8} is A's block start, {tid} the second thread
};

class PoolReports : public testing::TestWithParam<ReportCase> {};

TEST_P(PoolReports, ExactMessagesAndNoCrash) {
    const ReportCase& c = GetParam();
    const auto run = runHost(std::string(""), std::string("cb\nmalloc A 10 0\n") + c.script);
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::vector<std::string> expected;
    for (std::string m : c.messages) {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"{A-8}", hex(run.ptr("A") - 8)},
              {"{tid}", run.value("tid")}}) {
            const auto at = m.find(key);
            if (at != std::string::npos)
                m.replace(at, key.size(), value);
        }
        expected.push_back(m);
    }
    EXPECT_EQ(run.errors(), expected);
}

// A's chunk is followed by the free chunk at A + 16, whose first four bytes link on to
// the rest of the free list. Writing there is what an overrun of A does.
INSTANTIATE_TEST_SUITE_P(
    Cases, PoolReports,
    testing::Values(
        ReportCase{"OverrunIntoTheNextFreeChunk",
                   "poke A 10 41 41 41 41 41 41 41 41 41 41\nmalloc B 10 0\nmalloc C 10 0\nfree A\n",
                   {"more Overwritten memory in pool."}},
        ReportCase{"LinkHoldsTheReleaseFill",
                   "poke A 16 dd dd dd dd\nmalloc B 10 0\nmalloc C 10 0\nfree B\n",
                   {"more Overwritten memory in pool.", "MemoryPool error 0xdddddddd"}},
        ReportCase{"LinkEndsTheListEarly", "poke A 16 00 00 00 00\nmalloc B 10 0\nmalloc C 10 0\n",
                   {"currentMemPtr == NULL"}},
        ReportCase{"ReleaseOnAnotherThread", "t tid\nt free A\nfree A\n",
                   {"Quorrick.dll: thread {tid} is deallocating main thread memory"}},
        // Header word 22 << 2 | pooled, with chain index 7 (no such MemoryPool) or 600.
        ReportCase{"ChainIndexWithoutMemoryPool", "poke A -4 5a 00 0e 00\nfree A\n",
                   {"memory.dll: chunkPools::free fails, should not come here!",
                    "memory.dll: ChunkPools::free fails at memory {A-8}"}},
        ReportCase{"ChainIndexPastTheLimit", "poke A -4 5a 00 b0 04\nfree A\n",
                   {"memory.dll: chunkPools::free fails, should not come here!",
                    "memory.dll: ChunkPools::free fails at memory {A-8}"}},
        ReportCase{"CleanRunReportsNothing", "malloc B 10 0\nfree A\nfree B\nmalloc C 10 0\n", {}}),
    [](const testing::TestParamInfo<ReportCase>& info) { return std::string(info.param.name); });

TEST(Pools, BlockAfterAnOverwrittenLinkIsStillUsable) {
    const auto run = runHost(std::string(""), "cb\nmalloc A 10 0\npoke A 16 dd dd dd dd\n"
                                              "malloc B 10 0\npoke B 0 11 22\npeek B 0 2\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.ptr("B"), run.ptr("A") + 24);
    EXPECT_EQ(run.value("peek B 0:"), "11 22");
}

} // namespace
