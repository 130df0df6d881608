// Requests the system refuses: the runtime heap and page commits failing on demand.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

using qjtest::runHostWithEnvironment;

namespace {

// Number of runtime requests a run makes before its script starts (settings, set-up).
long requestsAtStart(const std::string& settings) {
    const auto run = runHostWithEnvironment(settings, "say nothing\n", "QJ_FAULT_PLAN=count");
    const std::string marker = "qj runtime requests: ";
    const std::size_t at = run.err.find(marker);
    return at == std::string::npos ? -1 : std::stol(run.err.substr(at + marker.size()));
}

std::string failRequest(long k, bool fromOn = false) {
    return "QJ_FAULT_PLAN=" + std::to_string(k) + (fromOn ? "+" : "");
}

TEST(RuntimeRefusal, FailedHeapRequestIsReportedAndCounted) {
    // Pools off: the first request after start-up is the block itself.
    const long first = requestsAtStart("use_pools 0") + 1;
    const auto run = runHostWithEnvironment(std::string("use_pools 0"),
                                            "cb\nt malloc A 10 0\nt counters\nt malloc B 10 0\nt size B\n",
                                            failRequest(first));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.ptr("A"), 0u);
    EXPECT_EQ(run.errors(), std::vector<std::string>{"Quorrick.dll: all alloc attempts failed for size 10"});
    // The failed request stays counted; afterwards the runtime heap serves plain blocks.
    EXPECT_EQ(run.value("counters"), "22 22 1 1");
    EXPECT_NE(run.ptr("B"), 0u);
    EXPECT_EQ(run.value("size B"), "0");
}

TEST(RuntimeRefusal, FailedPageCommitGivesTwoReports) {
    const long first = requestsAtStart("use_valloc 1") + 1;
    const auto run = runHostWithEnvironment(std::string("use_valloc 1"), "cb\nmalloc A 10 0\ncounters\n",
                                            failRequest(first, true));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.ptr("A"), 0u);
    EXPECT_EQ(run.errors(),
              (std::vector<std::string>{
                  "memory.dll: VirtualAlloc fails, max 32660 virtual alloc alloctions allowed by Windows:(",
                  "Quorrick.dll: all alloc attempts failed for size 10"}));
    EXPECT_EQ(run.value("counters"), "22 22 1 1");
}

TEST(RuntimeRefusal, EveryHeapBlockIsOneRequest) {
    const long start = requestsAtStart("use_pools 0");
    ASSERT_GE(start, 0);
    const auto run = runHostWithEnvironment(std::string("use_pools 0"),
                                            "t malloc A 10 0\nt malloc B 20 0\nt free A\nt free B\n",
                                            "QJ_FAULT_PLAN=count");
    ASSERT_TRUE(run.finished());
    EXPECT_NE(run.err.find("qj runtime requests: " + std::to_string(start + 2) + "\n"), std::string::npos)
        << run.err;
}

} // namespace
