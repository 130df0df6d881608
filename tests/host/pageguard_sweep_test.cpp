// Every page-guard block size below one page ends exactly at the inaccessible page, and
// page-guard exhaustion is reported, not crashed on. Linux only: the sweep catches its
// faults with signals.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

#if !defined(_WIN32)

using qjtest::runProgram;

namespace {

struct SweepCase {
    const char* name;
    const char* settings;
    const char* layout; // bytes before:after the user area
    int sizes;          // gross sizes from the smallest possible to 4095
};

class PageGuardSweep : public testing::TestWithParam<SweepCase> {};

TEST_P(PageGuardSweep, EverySizeFaultsExactlyAtTheBlockEnd) {
    const SweepCase& c = GetParam();
    // Thousands of faults, each a signal: under the address sanitizer on a loaded machine
    // a sweep takes minutes. The limit only guards against a hang.
    const auto run = runProgram("pageguard_sweep", std::string(c.settings), c.layout, "", 840);
    ASSERT_FALSE(run.timedOut) << "the sweep did not end in 14 minutes";
    ASSERT_EQ(run.exitCode, 0) << run.out.substr(0, 2000) << run.err;
    EXPECT_EQ(run.value("sweep"), std::to_string(c.sizes) + " " + std::to_string(c.sizes))
        << run.out.substr(0, 2000);
    EXPECT_EQ(run.value("errors"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PageGuardSweep,
    testing::Values(
        // Header word only: gross 5 to 4095.
        SweepCase{"HeaderOnly", "use_valloc 1 use_memoryUsedTag 0 tailguards 0", "4:0", 4091},
        // Defaults: used tag and header before, a 4-byte tail guard after: gross 13 to 4095.
        SweepCase{"Defaults", "use_valloc 1", "8:4", 4083},
        // Every word and both tags: gross 29 to 4095.
        SweepCase{"EveryWord", "use_valloc 1 use_qj7_tags 1 use_callstack 1 use_traceIdentifiers 1",
                  "20:8", 4067}),
    [](const testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

TEST(PageGuardExhaustion, BothReportsInOrderAndNoCrash) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own mappings fail first when the system runs out";
#endif
    const auto run = runProgram("pageguard_sweep", std::string("use_valloc 1"), "exhaust");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_FALSE(run.crashed);
    const auto errors = run.errors();
    ASSERT_EQ(errors.size(), 2u) << run.out;
    EXPECT_EQ(errors[0], "memory.dll: VirtualAlloc fails, max 32660 virtual alloc alloctions allowed by Windows:(");
    EXPECT_EQ(errors[1], "Quorrick.dll: all alloc attempts failed for size 8");
}

} // namespace

#endif
