// Page-guard mode: blocks end exactly at an inaccessible page, stay counted when released,
// and a touch one byte past a block faults at exactly that address.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

using qjtest::hex;
using qjtest::runHost;

namespace {

constexpr std::uintptr_t kPage = 4096;

TEST(PageGuard, BlockEndsAtThePageBoundary) {
    // Requested 10 -> gross 22; requested 4083 -> gross 4095, the largest page-guard block.
    const auto run = runHost(std::string("use_valloc 1"),
                             "cb\nmalloc A 10 0\nmalloc B 4083 0\nt malloc C 1 0\n"
                             "read A 13\nsize A\nt counters\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ((run.ptr("A") + 10 + 4) % kPage, 0u);
    EXPECT_EQ((run.ptr("B") + 4083 + 4) % kPage, 0u);
    EXPECT_EQ((run.ptr("C") + 1 + 4) % kPage, 0u);
    EXPECT_EQ(run.value("size A"), "14");
    EXPECT_EQ(run.value("counters"), std::to_string(22 + 4095 + 13) + " " +
                                         std::to_string(22 + 4095 + 13) + " 3 3");
    EXPECT_TRUE(run.errors().empty());
}

struct FaultCase {
    const char* name;
    const char* settings;
    const char* touch; // the command that crosses the block's end
    long requested;
    long offset;       // of the touched byte from the user pointer
};

class PageGuardFault : public testing::TestWithParam<FaultCase> {};

TEST_P(PageGuardFault, FaultsAtTheFirstBytePastTheBlock) {
    const FaultCase& c = GetParam();
    const auto run = runHost(std::string(c.settings),
                             "cb\ncatchfaults\nmalloc A " + std::to_string(c.requested) + " 0\n" +
                                 c.touch + " A " + std::to_string(c.offset) + " 1\nsay unreachable\n");
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_EQ(run.value("fault"), hex(run.ptr("A") + static_cast<std::uintptr_t>(c.offset)));
    EXPECT_EQ(run.out.find("unreachable"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageGuardFault,
    testing::Values(FaultCase{"ReadPastGuard", "use_valloc 1", "read", 10, 14},
                    FaultCase{"WritePastGuard", "use_valloc 1", "poke", 10, 14},
                    FaultCase{"NoTailGuard", "use_valloc 1 tailguards 0", "poke", 1, 1},
                    FaultCase{"TagsEndTheBlock", "use_valloc 1 use_qj7_tags 1", "read", 7, 15},
                    FaultCase{"LargestBlock", "use_valloc 1", "poke", 4083, 4087}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(PageGuard, ReleaseKeepsTheBlockAndCatchesASecondRelease) {
    const auto run = runHost(std::string("use_valloc 1"),
                             "cb\nmalloc A 10 0\nfree A\ncounters\npeek A 0 4\nfree A\n");
    ASSERT_TRUE(run.finished()) << run.out;
    // Still counted and not filled; the used tag has its released bit.
    EXPECT_EQ(run.value("counters"), "22 22 1 1");
    EXPECT_EQ(run.value("peek A 0:"), "cd cd cd cd");
    EXPECT_EQ(run.errors(), std::vector<std::string>{
                                "memory.dll: trying to free DLL allocated memory twice " + hex(run.ptr("A"))});
}

TEST(PageGuard, OnePageOrMoreComesFromTheHeap) {
    // Gross 4096 is not page-guarded: released normally, counters drop.
    const auto run = runHost(std::string("use_valloc 1"), "cb\nmalloc A 4084 0\nfree A\ncounters\n");
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.value("counters"), "0 4096 0 1");
    EXPECT_TRUE(run.errors().empty());
}

TEST(PageGuard, TinyBlocksAtThePageEndReleaseWithoutReadingPastIt) {
    // One to three user bytes and no tail guard: the first word of the user area would
    // cross into the inaccessible page.
    for (int size = 1; size <= 3; ++size) {
        const auto run = runHost(std::string("use_valloc 1 tailguards 0"),
                                 "cb\nmalloc A " + std::to_string(size) + " 0\nfree A\nfree A\n");
        ASSERT_TRUE(run.finished()) << size << run.out << run.err;
        EXPECT_EQ(run.errors(),
                  std::vector<std::string>{"memory.dll: trying to free DLL allocated memory twice " +
                                           hex(run.ptr("A"))});
    }
}

} // namespace
