// Every report of the release path, in its order and with its exact text, and what the
// library does after it: degraded mode when the callback returns, the end of the process
// with the default callback.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include <string>
#include <vector>

using qjtest::hex;
using qjtest::runHost;

namespace {

// Expands {A} to the user pointer of block A and {A-8} / {A+16} to pointers near it.
std::string expand(const qjtest::HostRun& run, const std::string& text) {
    std::string result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('{', pos);
        if (open == std::string::npos) {
            result += text.substr(pos);
            break;
        }
        const std::size_t close = text.find('}', open);
        result += text.substr(pos, open - pos);
        const std::string ref = text.substr(open + 1, close - open - 1);
        const std::size_t sign = ref.find_first_of("+-");
        const std::string name = ref.substr(0, sign);
        if (name == "tid") {
            result += run.value("tid");
        } else {
            std::uintptr_t p = run.ptr(name);
            if (sign != std::string::npos)
                p += static_cast<std::uintptr_t>(std::stol(ref.substr(sign)));
            result += hex(p);
        }
        pos = close + 1;
    }
    return result;
}

struct ReleaseCase {
    const char* name;
    const char* settings;
    const char* script;
    std::vector<const char*> messages;
};

class ReleaseReports : public testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseReports, ExactMessagesInOrder) {
    const ReleaseCase& c = GetParam();
    const auto run = runHost(std::string(c.settings), std::string("cb\n") + c.script);
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::vector<std::string> expected;
    for (const char* m : c.messages)
        expected.push_back(expand(run, m));
    EXPECT_EQ(run.errors(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseReports,
    testing::Values(
        ReleaseCase{"NullIsIgnored", "", "freeaddr 0\n", {}},
        ReleaseCase{"BadPatternRelease",
                    "",
                    "t malloc A 10 0\nfreeaddr 0xdddddddd\n",
                    {"memory.dll: free() called using a bad memory ptr 0xdddddddd"}},
        ReleaseCase{"BadPatternAlloc",
                    "",
                    "freeaddr 0xcdcdcdcd\n",
                    {"memory.dll: free() called using a bad memory ptr 0xcdcdcdcd"}},
        // A 32-bit host passes the low half of this address, the 32-bit pattern.
        ReleaseCase{"BadPatternWide",
                    "",
                    "freeaddr 0xdddddddddddddddd\n",
                    {sizeof(void*) == 8
                         ? "memory.dll: free() called using a bad memory ptr 0xdddddddddddddddd"
                         : "memory.dll: free() called using a bad memory ptr 0xdddddddd"}},
        ReleaseCase{"BeforeAnyAllocation",
                    "",
                    "freeaddr 0x1000\n",
                    {"memory.dll: free() ptr outside range of memoryDLL allocations, ptr:0x1000"}},
        ReleaseCase{"BelowRange",
                    "",
                    "t malloc A 10 0\nfreeaddr 0x10\n",
                    {"memory.dll: free() ptr outside range of memoryDLL allocations, ptr:0x10"}},
        ReleaseCase{"StackAddress",
                    "",
                    "t malloc A 10 0\nfreestack\n",
                    {"memory.dll: free() ptr outside range of memoryDLL allocations, ptr:{stack}"}},
        ReleaseCase{"InteriorPointer",
                    "",
                    "t malloc A 100 0\nt malloc B 100 0\nt freeinterior A B 16\n",
                    {"memory.dll: trying to free non DLL allocated memory {interior}"}},
        ReleaseCase{"DoubleReleaseSeesPattern",
                    "",
                    "t malloc A 100 0\nt malloc B 100 0\nt free A\nt free A\n",
                    {"memory.dll: free() called twice for memory {A}"}},
        ReleaseCase{"DoubleReleaseSeesUsedTag",
                    "patterns 0",
                    "t malloc A 100 0\nt malloc B 100 0\nt free A\nt free A\n",
                    {"memory.dll: trying to free DLL allocated memory twice {A}"}},
        ReleaseCase{
            "TailGuardOverwrite",
            "",
            "t malloc A 10 0\nt poke A 10 00\nt free A\nt counters\n",
            {"Quorrick.dll: tailguard: block tail corruption detected: actual block size 22 "
             "at {A-8}"}},
        ReleaseCase{
            "TailGuardLastByte",
            "tailguard_length 13",
            "t malloc A 10 0\nt poke A 22 98\nt free A\n",
            {"Quorrick.dll: tailguard: block tail corruption detected: actual block size 31 "
             "at {A-8}"}},
        // Nothing reads the end tag back, and a zero-length guard checks nothing.
        ReleaseCase{"TailGuardZeroLengthSeesNothing",
                    "tailguard_length 0 use_qj7_tags 1",
                    "t malloc A 10 0\nt poke A 10 00\nt free A\n",
                    {}},
        ReleaseCase{"UnderrunIntoUsedTag",
                    "",
                    "t malloc A 10 0\nt poke A -8 00\nt free A\n",
                    {"memory.dll: trying to free non DLL allocated memory {A}"}},
        ReleaseCase{"UnderrunIntoHeader",
                    "",
                    "t malloc A 10 0\nt poke A -4 ff ff ff 7f\nt free A\n",
                    {"memory.dll: trying to free non DLL allocated memory {A}"}},
        ReleaseCase{"UnderrunIntoHeaderWithoutUsedTag",
                    "use_memoryUsedTag 0",
                    "t malloc A 10 0\nt poke A -4 ff ff ff 7f\nt free A\n",
                    {"memory.dll: trying to free non DLL allocated memory {A}"}},
        // A byte below the user area lands in the AllocInfo word or the trace word: a word
        // that names no site, or a trace word with bits no trace value has, is refused.
        ReleaseCase{"UnderrunIntoSiteWord",
                    "use_callstack 1",
                    "t malloc A 10 0\nt poke A -1 41\nt free A\n",
                    {"memory.dll: memory before the block was overwritten {A}"}},
        ReleaseCase{"UnderrunIntoTraceWord",
                    "use_traceIdentifiers 1",
                    "t malloc A 10 0\nt poke A -1 41\nt free A\n",
                    {"memory.dll: memory before the block was overwritten {A}"}},
        ReleaseCase{"UnderrunThroughBothWords",
                    "use_callstack 1 use_traceIdentifiers 1",
                    "t malloc A 10 0\nt poke A -8 00 00 00 41 00 00 00 00\nt free A\n",
                    {"memory.dll: memory before the block was overwritten {A}"}},
        // Released blocks held in the quarantine keep their release fill: a write into one
        // is found when it leaves (two 52-byte blocks pass the 100-byte limit), at
        // getStatus, and also with the patterns off. Offsets count from the user pointer.
        ReleaseCase{"WriteAfterReleaseFoundWhenTheBlockLeaves",
                    "release_quarantine 100",
                    "t malloc A 40 0\nt malloc B 40 0\nt free A\nt poke A 8 00\nt free B\n",
                    {"memory.dll: block {A} was written after its release: byte 8 changed"}},
        ReleaseCase{"WriteIntoHeaderAfterReleaseFoundByStatus",
                    "release_quarantine 100000",
                    "t malloc A 40 0\nt free A\nt poke A -4 00\nstatus\n",
                    {"memory.dll: block {A} was written after its release: byte -4 changed"}},
        ReleaseCase{"WriteAfterReleaseFoundWithPatternsOff",
                    "patterns 0 release_quarantine 100000",
                    "t malloc A 40 0\nt free A\nt poke A 39 00\nstatus\n",
                    {"memory.dll: block {A} was written after its release: byte 39 changed"}},
        ReleaseCase{"QuarantinedBlockReleasedTwice",
                    "release_quarantine 100000",
                    "t malloc A 40 0\nt free A\nt free A\n",
                    {"memory.dll: free() called twice for memory {A}"}},
        ReleaseCase{"QuarantineUntouchedReportsNothing",
                    "release_quarantine 100",
                    "t mallocn A 40 20\nt freen A\nstatus\n",
                    {}},
        ReleaseCase{"HeaderSizeTooSmall",
                    "",
                    "t malloc A 10 0\nt poke A -4 04 00 00 00\nt free A\n",
                    {"memory.dll: trying to free non DLL allocated memory {A}"}},
        // Large blocks go back to the system at once; a second release must still be
        // recognised, without reading the unmapped block.
        ReleaseCase{"LargeBlockDoubleRelease",
                    "",
                    "t malloc A 1000000 0\nt free A\nt size A\nt free A\n",
                    {"memory.dll: free() called twice for memory {A}"}},
        ReleaseCase{"LargeBlockReleasedTwiceAmongOthers",
                    "patterns 0 use_memoryUsedTag 0",
                    "t malloc A 200000 0\nt malloc B 300000 0\nt free A\nt free B\nt free A\n",
                    {"memory.dll: free() called twice for memory {A}"}},
        // Gross 131071: the heap would be asked for 128 KiB or more once the block's pad
        // and the heap's own header are added, and could map and unmap it by itself.
        ReleaseCase{"LargeBlockJustBelowThreshold",
                    "",
                    "malloc A 131059 0\nfree A\nfree A\n",
                    {"memory.dll: free() called twice for memory {A}"}},
        ReleaseCase{"LargeBlockAddressReused",
                    "",
                    "t malloc A 1000000 0\nt free A\nt malloc B 1000000 0\nt free B\n"
                    "t malloc C 131060 0\nt free C\n",
                    {}},
        ReleaseCase{"PatternsOffWithoutUsedTagReleasesCleanly",
                    "use_memoryUsedTag 0",
                    "t malloc A 10 0\nt free A\nt malloc B 10 0\nt free B\n",
                    {}}),
    [](const testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

TEST(Release, DegradedModeAfterAFatalReport) {
    const auto run = runHost(
        std::string(""), "cb\nt malloc A 10 0\nt malloc B 10 0\nt counters\nfreeaddr 0xdddddddd\n"
                         "t malloc C 10 0\nt size C\nt free C\nt free B\nt free B\nt counters\n");
    ASSERT_TRUE(run.finished()) << run.out;
    EXPECT_EQ(run.errors().size(), 1u);
    const auto lines = run.lines();
    std::vector<std::string> counters;
    for (const auto& line : lines)
        if (line.rfind("counters ", 0) == 0)
            counters.push_back(line);
    ASSERT_EQ(counters.size(), 2u);
    // Nothing is charged, released or reported once the flag is on.
    EXPECT_EQ(counters[0], counters[1]);
    EXPECT_EQ(run.value("size C"), "0");
}

TEST(Release, ReleaseAfterTailGuardReportStillUndoesCharges) {
    const auto run =
        runHost(std::string(""), "cb\nt malloc A 10 0\nt poke A 13 00\nt free A\nt counters\n");
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.value("counters"), "0 22 0 1");
}

// A block held in the release quarantine is released as far as every figure goes: the
// counters, the histogram, the site records and the status text read as without it. The
// main thread's blocks (pooled) and a worker's (heap) alike.
TEST(Release, QuarantinedBlocksCountAsReleasedAtOnce) {
    const std::string settings =
        "use_histogram 1 use_callstack 1 include_all 1 leakreport leaks.txt ";
    const std::string script = "cb\nmallocn M 24 30\nt mallocn A 40 20\nt malloc B 100 0\n"
                               "freen M\nt freen A\ncounters\nstatus\n";
    const auto plain = runHost(settings, script);
    const auto held = runHost(settings + "release_quarantine 1000000", script);
    ASSERT_TRUE(plain.finished() && held.finished()) << held.out << held.err;
    EXPECT_TRUE(held.errors().empty());
    EXPECT_EQ(held.value("counters"), plain.value("counters"));
    EXPECT_EQ(held.section(0), plain.section(0));
    // Each site's figures, without its frames (addresses differ from run to run).
    const auto sites = [](const std::string& report) {
        std::multiset<std::string> figures;
        std::istringstream lines(report);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("alloc ", 0) == 0)
                figures.insert(line.substr(0, line.find(' ', line.find("maxAllocSize="))));
        return figures;
    };
    EXPECT_EQ(sites(held.file("leaks.txt")), sites(plain.file("leaks.txt")));
    EXPECT_FALSE(sites(plain.file("leaks.txt")).empty());
}

// Two threads release one large block at once. Whichever way they interleave, one of
// them releases it and the other reports a second release, without touching the block
// (which may be unmapped by then).
TEST(Release, LargeBlockReleasedByTwoThreadsAtOnce) {
    const auto run =
        runHost(std::string(""), "cb\nmalloc L 1000000 0\nracefree L 2\ncounters\nsay end\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const auto errors = run.errors();
    ASSERT_EQ(errors.size(), 1u) << run.out;
    const std::string p = hex(run.ptr("L"));
    EXPECT_TRUE(errors[0] == "memory.dll: free() called twice for memory " + p ||
                errors[0] == "memory.dll: trying to free DLL allocated memory twice " + p)
        << errors[0];
    std::istringstream counters(run.value("counters"));
    long live = -1, accumulated = -1, calls = -1, accumulatedCalls = -1;
    counters >> live >> accumulated >> calls >> accumulatedCalls;
    EXPECT_EQ(live, 0);
    EXPECT_GT(accumulated, 1000000);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(accumulatedCalls, 1);
}

TEST(Release, DefaultCallbackEndsTheProcess) {
    const auto run =
        runHost(std::string(""), "t malloc A 100 0\nt free A\nt free A\nsay unreachable\n");
    EXPECT_FALSE(run.finished());
    EXPECT_EQ(run.out.find("unreachable"), std::string::npos);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("QJ7 Memory Error: memory.dll: free() called twice for memory " +
                           hex(run.ptr("A")) + "\n"),
              std::string::npos)
        << run.err;
}

TEST(Release, NullCallbackRestoresTheDefault) {
    const auto run =
        runHost(std::string(""), "cb\ncbdefault\nfreeaddr 0xcdcdcdcd\nsay unreachable\n");
    EXPECT_FALSE(run.finished());
    EXPECT_TRUE(run.errors().empty());
    EXPECT_NE(run.err.find("QJ7 Memory Error: memory.dll: free() called using a bad memory ptr "
                           "0xcdcdcdcd"),
              std::string::npos);
}

TEST(Release, SizeOfAllocation) {
    const auto run = runHost(
        std::string(""), "cb\nt malloc A 10 0\nt size A\nsizeaddr 0\nt freeoffset A 0\nt size A\n"
                         "t malloc B 100 0\nt sizeaddr 0x10\n");
    ASSERT_TRUE(run.finished());
    const auto lines = run.lines();
    EXPECT_EQ(run.value("size A"), "14");
    EXPECT_EQ(run.value("size 0"), "0");
    EXPECT_EQ(run.value("size 0x10"), "0");
    EXPECT_TRUE(run.errors().empty());
}

} // namespace
