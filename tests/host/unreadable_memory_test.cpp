// Releases and size queries of pointers whose memory cannot be read, the way a host meets
// them: heap memory the runtime gave back to the system, a thread's arena given back, a
// hole between mappings, the inaccessible page after a page-guard block, a file mapping's
// page past the end of its file (SIGBUS). Each run goes on to its end with one report
// (or a size of 0); none faults. Then the fault handler's manners towards the host: the
// host's own handler, installed after the library, still gets every other fault, with
// the semantics it asked for.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

using qjtest::hex;
using qjtest::runHost;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

struct UnreadableCase {
    const char* name;
    const char* settings;
    const char* script;  // leaves the pointer in X; reports "readable X", "size X", frees X
    // Linux's runtime heap gives this memory back to the system (the address sanitizer's
    // keeps it): the case must then really find it unreadable.
    bool unmappedOnLinux;
};

class UnreadableMemory : public testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableMemory, ReleaseReportsAndSizeIsZero) {
    const UnreadableCase& c = GetParam();
    const auto run = runHost(std::string(c.settings),
                             std::string("cb\n") + c.script + "readable X\nsize X\nfree X\nsay end\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    ASSERT_NE(run.ptr("X"), 0u) << run.out;
    EXPECT_EQ(run.value("size X"), "0");
    const bool readable = run.value("readable X") == "1";
#if !defined(_WIN32)
    if (c.unmappedOnLinux && !kAddressSanitizer) {
        EXPECT_FALSE(readable) << "the case no longer reaches unmapped memory";
    }
#endif
    const std::string notOurs = "memory.dll: trying to free non DLL allocated memory " + hex(run.ptr("X"));
    const std::string twice = "memory.dll: free() called twice for memory " + hex(run.ptr("X"));
    const auto errors = run.errors();
    ASSERT_EQ(errors.size(), 1u) << run.out;
    // Memory that is still there (a runtime heap that kept it) may still hold the release
    // fill of the block's first release.
    if (readable) {
        EXPECT_TRUE(errors[0] == notOurs || errors[0] == twice) << errors[0];
    } else {
        EXPECT_EQ(errors[0], notOurs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableMemory,
    testing::Values(
        // 16 MB of heap blocks released: the runtime heap shrinks, and the last block's
        // pages are gone when it is released a second time.
        UnreadableCase{"HeapGivenBack", "", "mallocn A 4000 4000\nfreen A\nptroffset X A.last 0\n", true},
        // The same on a second thread, past the size of one arena heap: the heap that held
        // the last block is unmapped.
        UnreadableCase{"ThreadArenaGivenBack", "",
                       "t mallocn A 4000 20000\nt freen A\nptroffset X A.last 0\n", true},
        // A wild pointer inside the range of addresses handed out, in the hole between a
        // mapped large block and the heap.
        UnreadableCase{"HoleBetweenLargeAndHeapBlock", "",
                       "malloc L 1000000 0\nmalloc S 100 0\nhole L S\nptroffset X hole 0\n", true},
        // The inaccessible page after a page-guard block: at its first byte (the words in
        // front still readable, the first user word not), and further in.
        UnreadableCase{"PageGuardNextPageStart", "use_valloc 1",
                       "malloc A 100 0\nmalloc B 100 0\npageafterlower X A B 0\n", true},
        UnreadableCase{"PageGuardNextPageInside", "use_valloc 1",
                       "malloc A 100 0\nmalloc B 100 0\npageafterlower X A B 64\n", true},
        UnreadableCase{"PageGuardNextPageEnd", "use_valloc 1 use_memoryUsedTag 0",
                       "malloc A 100 0\nmalloc B 100 0\npageafterlower X A B 4080\n", true}
#if !defined(_WIN32)
        ,
        // A file mapping's page past the end of the file: SIGBUS, not SIGSEGV.
        UnreadableCase{"FilePagePastItsEnd", "",
                       "malloc L 1000000 0\nmalloc S 100 0\nbusmap X L S\n", true}
#endif
        ),
    [](const testing::TestParamInfo<UnreadableCase>& info) { return std::string(info.param.name); });

// Leaves the pointer "hole" at unmapped memory inside the range handed out.
const std::string kHole = "malloc L 1000000 0\nmalloc S 100 0\nhole L S\n";

TEST(FaultHandler, HostHandlerInstalledLaterGetsEveryOtherFault) {
    const auto run = runHost(std::string(""), "cb\ncatchfaults\n" + kHole + "size hole\nread hole 0\nsay unreachable\n");
    EXPECT_EQ(run.value("size hole"), "0");
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_EQ(run.value("fault"), hex(run.ptr("hole")));
}

#if !defined(_WIN32)
TEST(FaultHandler, HostHandlerWithoutSiginfoThroughSignal) {
    const auto run = runHost(std::string(""), "cb\ncatchfaultsplain\n" + kHole + "size hole\nread hole 0\n");
    EXPECT_EQ(run.value("size hole"), "0");
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    EXPECT_EQ(run.value("plain fault"), std::to_string(SIGSEGV));
}

TEST(FaultHandler, HostHandlerGetsSigbusOutsideTheProbe) {
    const auto run = runHost(std::string(""), "cb\ncatchfaults\n" + kHole + "busmap F L S\nsize F\nread F 0\n");
    EXPECT_EQ(run.value("size F"), "0");
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_EQ(run.value("fault"), hex(run.ptr("F")));
}

// SIG_IGN: a signal another process (or raise) sends is ignored; a real fault cannot be,
// and ends the process with the signal as it would without the library.
TEST(FaultHandler, IgnoredSignalIgnoresSentOnesButNotFaults) {
    const auto run = runHost(std::string(""), "cb\nignorefaults\n" + kHole + "sendsegv\nsize hole\nread hole 0\nsay unreachable\n");
    EXPECT_NE(run.out.find("survived sendsegv"), std::string::npos) << run.out;
    EXPECT_EQ(run.value("size hole"), "0");
    EXPECT_TRUE(run.crashed) << run.out << run.err;
    EXPECT_EQ(run.exitCode, SIGSEGV);
}

// SIG_DFL: the default action, as without the library. The address sanitizer's own
// handler is the one before ours there.
TEST(FaultHandler, DefaultActionForFaultsAndSentSignals) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "the address sanitizer handles SIGSEGV itself";
    const auto fault = runHost(std::string(""), "cb\n" + kHole + "size hole\nread hole 0\nsay unreachable\n");
    EXPECT_EQ(fault.value("size hole"), "0");
    EXPECT_TRUE(fault.crashed) << fault.out << fault.err;
    EXPECT_EQ(fault.exitCode, SIGSEGV);
    const auto sent = runHost(std::string(""), "cb\nsendsegv\n");
    EXPECT_TRUE(sent.crashed) << sent.out << sent.err;
    EXPECT_EQ(sent.exitCode, SIGSEGV);
    EXPECT_EQ(sent.out.find("survived"), std::string::npos);
}
#endif

} // namespace
