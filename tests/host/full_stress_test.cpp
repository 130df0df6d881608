// The whole library under concurrent threads with every tracking switch on; run plainly,
// under the sanitizers and, shorter, under Wine.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(FullStress, EverySubsystemUnderConcurrentThreads) {
    const std::string settings = "use_callstack 1\nuse_traceIdentifiers 1\nuse_histogram 1\n"
                                 "patterns 1\ntailguards 1\ntailguard_length 5\nuse_qj7_tags 1\n"
                                 "callstack_depth 8\n";
#if defined(_WIN32)
    const char* rounds = "3000";
#else
    const char* rounds = "20000";
#endif
    const auto run = qjtest::runProgram("full_stress_host", settings, rounds);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("full stress ok"), std::string::npos) << run.out;
    std::printf("%s", run.out.c_str());
}

} // namespace
