// What the system-facing side of the library does in a real host process: the default
// error notice after a fatal report, the detach handler at a normal end, the thread ids
// that reports name, and the debugger output from the moment the library attaches.
//
// The default notice differs by system: Linux writes the message to stderr and aborts;
// Windows writes the same line to stderr, shows the message box and then ends the process
// with exit status 3. Without an interactive desktop (a service, Wine without a display)
// the box cannot be shown and must not keep the process waiting.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

using qjtest::hex;
using qjtest::runHost;

namespace {

TEST(PlatformHost, FatalReportWithTheDefaultCallbackEndsTheProcess) {
    // A notice that waited for an answer would run into the time limit.
    const auto run = runHost(std::string(""),
                             "t malloc A 100 0\nt free A\nt free A\nsay unreachable\n", 60);
    ASSERT_FALSE(run.timedOut);
    EXPECT_FALSE(run.finished());
    EXPECT_EQ(run.out.find("unreachable"), std::string::npos);
#if defined(_WIN32)
    EXPECT_FALSE(run.crashed) << run.exitCode;
    EXPECT_EQ(run.exitCode, 3);
#else
    EXPECT_TRUE(run.crashed);
    EXPECT_EQ(run.exitCode, SIGABRT);
#endif
    EXPECT_NE(run.err.find("QJ7 Memory Error: memory.dll: free() called twice for memory " +
                           hex(run.ptr("A")) + "\n"),
              std::string::npos)
        << run.err;
    // The process ends at once: the detach handler, which would write the end-of-run
    // files from a damaged heap, does not run.
    EXPECT_FALSE(run.hasFile("resourcesAtShutdown.txt"));
}

TEST(PlatformHost, ProcessThatEndsNormallyRunsTheDetachHandler) {
    for (const char* ending : {"", "exit 7\n"}) {
        const auto run = runHost(std::string(""), std::string("t malloc A 100 0\n") + ending);
        EXPECT_EQ(run.exitCode, *ending != '\0' ? 7 : 0) << ending;
        EXPECT_EQ(run.file("resourcesAtShutdown.txt"), "no resources found\n") << ending;
    }
}

TEST(PlatformHost, ReportsNameTheSystemsThreadIds) {
    // A pooled block of the main thread released on another thread.
    const auto run = runHost(std::string(""), "cb\ntid\nmalloc A 8 0\nt tid\nt free A\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::vector<std::string> ids;
    for (const std::string& line : run.lines())
        if (line.rfind("tid ", 0) == 0)
            ids.push_back(line.substr(4));
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(run.errors(), std::vector<std::string>{"Quorrick.dll: thread " + ids[1] +
                                                     " is deallocating main thread memory"});
}

TEST(PlatformHost, DebuggerOutputOfTheAttachHandlerIsWrittenOnce) {
    const std::string line =
        "dep: callstack: using internal callstack resolving (fast, but requires frame pointers)\n";
    const auto run = runHost(std::string("use_callstack 1"), "malloc A 10 0\nfree A\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const std::size_t at = run.err.find(line);
    EXPECT_NE(at, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(line, at + 1), std::string::npos) << run.err;
}

#if defined(_WIN32)
// Windows lets the release path read a word without the risk of a fault: a pointer whose
// words lie in memory that cannot be read (here the inaccessible page of a page-guard
// pair, as the pages of a released heap block can be) is reported, not a crash. Linux
// reads such a pointer's words directly.
TEST(PlatformHost, ReleaseOfAPointerWhoseWordsCannotBeReadIsReported) {
    // The lower block ends at its page's end; 13 bytes past its user pointer lies 8 bytes
    // into the inaccessible page, inside the range of user pointers handed out.
    const auto run =
        runHost(std::string("use_valloc 1"), "cb\nmalloc A 1 0\nmalloc B 1 0\nfreeinterior A B 13\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.errors(), std::vector<std::string>{"memory.dll: trying to free non DLL allocated memory " +
                                                     hex(run.ptr("interior"))});
}
#endif

} // namespace
