// Requests the system refuses: the runtime heap and page commits failing on demand.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

using qjtest::runHostWithEnvironment;

namespace {

// A thread's first block also takes the thread's counter slot from the runtime heap. Each
// script starts with a block of size 0 on the thread it uses, so that the requests after
// it are those of its blocks.
const std::string kWarmUpOtherThread = "t malloc W 0 0\nt free W\n";
const std::string kWarmUpMainThread = "malloc W 0 0\nfree W\n";

// Number of runtime requests a run makes before its script proper starts (settings,
// set-up, the warm-up block).
long requestsAtStart(const std::string& settings, const std::string& warmUp) {
    const auto run = runHostWithEnvironment(settings, warmUp, "QJ_FAULT_PLAN=count");
    const std::string marker = "qj runtime requests: ";
    const std::size_t at = run.err.find(marker);
    return at == std::string::npos ? -1 : std::stol(run.err.substr(at + marker.size()));
}

std::string failRequest(long k, bool fromOn = false) {
    return "QJ_FAULT_PLAN=" + std::to_string(k) + (fromOn ? "+" : "");
}

TEST(RuntimeRefusal, FailedHeapRequestIsReportedAndCounted) {
    // Pools off: the first request after start-up is the block itself.
    const long first = requestsAtStart("use_pools 0", kWarmUpOtherThread) + 1;
    const auto run = runHostWithEnvironment(std::string("use_pools 0"),
                                            "cb\n" + kWarmUpOtherThread +
                                                "t malloc A 10 0\nt counters\nt malloc B 10 0\nt size B\n",
                                            failRequest(first));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.ptr("A"), 0u);
    EXPECT_EQ(run.errors(), std::vector<std::string>{"Quorrick.dll: all alloc attempts failed for size 10"});
    // The failed request stays counted; afterwards the runtime heap serves plain blocks.
    EXPECT_EQ(run.value("counters"), "22 35 1 2");
    EXPECT_NE(run.ptr("B"), 0u);
    EXPECT_EQ(run.value("size B"), "0");
}

TEST(RuntimeRefusal, FailedPageCommitGivesTwoReports) {
    const long first = requestsAtStart("use_valloc 1", kWarmUpMainThread) + 1;
    const auto run = runHostWithEnvironment(std::string("use_valloc 1"),
                                            "cb\n" + kWarmUpMainThread + "malloc A 10 0\ncounters\n",
                                            failRequest(first, true));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.ptr("A"), 0u);
    EXPECT_EQ(run.errors(),
              (std::vector<std::string>{
                  "memory.dll: VirtualAlloc fails, max 32660 virtual alloc alloctions allowed by Windows:(",
                  "Quorrick.dll: all alloc attempts failed for size 10"}));
    // The warm-up block, a page-guard block, stays counted.
    EXPECT_EQ(run.value("counters"), "35 35 2 2");
}

TEST(RuntimeRefusal, EveryHeapBlockIsOneRequest) {
    const long start = requestsAtStart("use_pools 0", kWarmUpOtherThread);
    ASSERT_GE(start, 0);
    const auto run = runHostWithEnvironment(std::string("use_pools 0"),
                                            kWarmUpOtherThread +
                                                "t malloc A 10 0\nt malloc B 20 0\nt free A\nt free B\n",
                                            "QJ_FAULT_PLAN=count");
    ASSERT_TRUE(run.finished());
    EXPECT_NE(run.err.find("qj runtime requests: " + std::to_string(start + 2) + "\n"), std::string::npos)
        << run.err;
}

} // namespace
