// The size histogram seen by a host: its file line by line, the byte totals, the clears,
// and the boundary between the per-size records and the large blocks.
//
// Gross sizes under the default layout are the requested size plus 12 (used tag, header
// word, four bytes of tail guard).
#include "host_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using qjtest::runHost;

namespace {

std::string textOf(const qjtest::HostRun& run, const std::string& name) {
    std::string text = run.file(name);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string header(unsigned largeCurrent, unsigned largePeak, unsigned bytes, unsigned peakBytes) {
    return "Allocations greater than 10000 bytes\nCurrent:" + std::to_string(largeCurrent) +
           " Peak:" + std::to_string(largePeak) + "\nTotal bytes allocated. Current:" +
           std::to_string(bytes) + " Peak:" + std::to_string(peakBytes) + "\n\n";
}

const std::string kZeroTitle = "\nBlocks where current is zero\n\n";

TEST(Histogram, FileLineByLine) {
    const auto run = runHost(std::string("use_histogram 1"),
                             "cb\nmalloc A 10 0\nmalloc B 10 0\nmalloc C 10 0\n"
                             "t malloc D 9987 0\nmalloc E 9988 0\nt malloc F 20000 0\nmalloc G 5 0\n"
                             "free A\nfree B\nt free F\nfree G\nhistcurrent\nhistpeak\nhistdump h.txt\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_TRUE(run.errors().empty());
    // Gross sizes: A, B, C 22; D 9999 (the last per-size record); E 10000 and F 20012
    // (large blocks); G 17.
    const unsigned peak = 3 * 22 + 9999 + 10000 + 20012 + 17;
    const unsigned current = peak - 2 * 22 - 20012 - 17;
    const std::string expected = header(1, 2, current, peak) +
                                 "Size:22 Current:1 Peak:3\n"
                                 "Size:9999 Current:1 Peak:1\n" +
                                 kZeroTitle + "Size:17 Peak:1\n";
    EXPECT_EQ(textOf(run, "h.txt"), expected);
    EXPECT_EQ(run.value("histcurrent"), std::to_string(current));
    EXPECT_EQ(run.value("histpeak"), std::to_string(peak));
    // Nothing changed after the dump: the file written at detach is the same.
    EXPECT_EQ(textOf(run, "memoryHistogramAtExit.txt"), expected);
}

TEST(Histogram, ClearsTouchOnlyTheirCounts) {
    const auto run = runHost(std::string("use_histogram 1"),
                             "cb\nmalloc A 10 0\nmalloc B 10 0\nmalloc C 30 0\nmalloc L 10000 0\n"
                             "free C\nhistclearpeaks\nhistdump p.txt\n"
                             "malloc D 10 0\nhistdump q.txt\n"
                             "histclearcurrent\nhistdump r.txt\n"
                             "free A\nhistdump s.txt\nhistcurrent\nhistpeak\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    // A, B, D 22; C 42; L 10012 (large).
    const unsigned peak = 2 * 22 + 42 + 10012;
    const unsigned afterC = peak - 42;
    // Peaks cleared: the live size shows peak 0, the released size 42 is gone.
    EXPECT_EQ(textOf(run, "p.txt"), header(1, 1, afterC, peak) + "Size:22 Current:2 Peak:0\n" + kZeroTitle);
    // The next block of the size raises its peak to the current count again.
    EXPECT_EQ(textOf(run, "q.txt"),
              header(1, 1, afterC + 22, peak) + "Size:22 Current:3 Peak:3\n" + kZeroTitle);
    // Current counts cleared: every size with a peak moves below the title; the byte
    // totals and the large-block counts stay.
    EXPECT_EQ(textOf(run, "r.txt"), header(1, 1, afterC + 22, peak) + kZeroTitle + "Size:22 Peak:3\n");
    // A release after the clear leaves the count at 0 and still takes the bytes off.
    EXPECT_EQ(textOf(run, "s.txt"), header(1, 1, afterC, peak) + kZeroTitle + "Size:22 Peak:3\n");
    EXPECT_EQ(run.value("histcurrent"), std::to_string(afterC));
    EXPECT_EQ(run.value("histpeak"), std::to_string(peak));
}

TEST(Histogram, BytesReturnToTheirEarlierValueAndPeakKeepsTheMaximum) {
    const auto run = runHost(std::string("use_histogram 1"),
                             "cb\nmalloc A 100 0\nhistcurrent\nmalloc B 5000 0\nt malloc C 70000 0\n"
                             "t free C\nfree B\nhistcurrent\nhistpeak\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::vector<std::string> current;
    for (const std::string& line : run.lines())
        if (line.rfind("histcurrent ", 0) == 0)
            current.push_back(line.substr(12));
    EXPECT_EQ(current, (std::vector<std::string>{"112", "112"}));
    EXPECT_EQ(run.value("histpeak"), std::to_string(112 + 5012 + 70012));
}

struct QuietCase {
    const char* name;
    const char* settings;
    const char* script;
};

class HistogramQuiet : public testing::TestWithParam<QuietCase> {};

// Before the first counted block (or with the histogram off) the queries answer 0 and no
// file is written, on request or at detach.
TEST_P(HistogramQuiet, ZerosAndNoFile) {
    const auto run = runHost(std::string(GetParam().settings),
                             std::string("cb\n") + GetParam().script +
                                 "histclearpeaks\nhistclearcurrent\nhistcurrent\nhistpeak\nhistdump h.txt\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("histcurrent"), "0");
    EXPECT_EQ(run.value("histpeak"), "0");
    EXPECT_FALSE(run.hasFile("h.txt"));
    EXPECT_FALSE(run.hasFile("memoryHistogramAtExit.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistogramQuiet,
    testing::Values(QuietCase{"NothingCountedYet", "use_histogram 1", ""},
                    QuietCase{"HistogramOff", "", "malloc A 10 0\nt malloc B 20000 0\nfree A\n"},
                    QuietCase{"GuardedAllocatorOff", "use_histogram 1 use_memoryDll 0", "malloc A 10 0\n"}),
    [](const testing::TestParamInfo<QuietCase>& info) { return std::string(info.param.name); });

} // namespace
