// The number formatting, the trace and resource reports and the status text's
// cut when the resource section does not fit.
#include "Quorrick.h"
#include "frame/settings.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace qj = velt::zur::memory;
using namespace qjtrace;

namespace {

// --- formatNumber -----------------------------------------------------------------------

struct NumberCase {
    std::int32_t value;
    const char* text;
};

class FormatNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(FormatNumber, GroupsOfThreeDigits) {
    d::NumberArea area;
    EXPECT_STREQ(d::formatNumber(area, GetParam().value, true), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, FormatNumber,
                         testing::Values(NumberCase{0, "0"}, NumberCase{5, "5"},
                                         NumberCase{999, "999"}, NumberCase{1000, "1.000"},
                                         NumberCase{1234567, "1.234.567"},
                                         NumberCase{-5, "-5"}, NumberCase{-999, "-999"},
                                         NumberCase{-1234, "-1.234"},
                                         NumberCase{100000, "100.000"},
                                         NumberCase{INT_MAX, "2.147.483.647"},
                                         NumberCase{INT_MIN, "-2.147.483.648"}));

TEST(FormatNumberArea, NumbersOfALineFollowOneAnother) {
    d::NumberArea area;
    const char* a = d::formatNumber(area, 1000, true);
    const char* b = d::formatNumber(area, -7, false);
    const char* c = d::formatNumber(area, 12, false);
    EXPECT_STREQ(a, "1.000");
    EXPECT_STREQ(b, "-7");
    EXPECT_STREQ(c, "12");
    EXPECT_EQ(b, a + 6);
    EXPECT_EQ(c, b + 3);
    EXPECT_EQ(d::formatNumber(area, 3, true), area.text); // a restart starts again
}

TEST(FormatNumberArea, NeverWritesPastTheArea) {
    d::NumberArea area;
    for (int i = 0; i < 1000; ++i) {
        const char* text = d::formatNumber(area, INT_MIN, false);
        ASSERT_GE(text, area.text);
        ASSERT_LE(text + std::strlen(text) + 1, area.text + sizeof area.text);
        ASSERT_STREQ(text, "-2.147.483.648");
    }
}

// --- Reports ----------------------------------------------------------------------------

using TraceReports = TraceState;

std::string resources() {
    d::SpinGuard guard(d::reportBuildLock());
    return d::resourceReportLocked(true);
}

TEST_F(TraceReports, EmptyTablesGiveFixedTexts) {
    EXPECT_STREQ(d::resourceReport(), "no resources found");
    EXPECT_STREQ(d::traceReport(), "no traces found");
}

TEST_F(TraceReports, SortedLargestFirstWithNegativeBytesAhead) {
    std::int32_t sound = -1, texture = -1, mesh = -1, debt = -1;
    qj::resourceTraceAllocate(sound, "sound", 400);
    qj::resourceTraceAllocate(sound, "sound", 700);
    qj::resourceTraceAllocate(texture, "texture", 1064);
    qj::resourceTraceAllocate(texture, "texture", 36);
    qj::resourceTraceAllocate(texture, "texture", 3000000);
    qj::resourceTraceFree(texture, "texture", 3000000);
    qj::resourceTraceAllocate(mesh, "mesh", 1100);
    qj::resourceTraceFree(debt, "debt", 5);
    EXPECT_EQ(resources(),
              "Total bytes allocated:3295\n"
              "Bytes:-5(0) MinBlock:0 MaxBlock:0 NumAllocs:-1(0)  debt  [3]\n"
              "Bytes:1.100(1.100) MinBlock:400 MaxBlock:700 NumAllocs:2(2)  sound  [0]\n"
              "Bytes:1.100(3.001.100) MinBlock:36 MaxBlock:3.000.000 NumAllocs:2(3)  texture  [1]\n"
              "Bytes:1.100(1.100) MinBlock:1.100 MaxBlock:1.100 NumAllocs:1(1)  mesh  [2]\n");
}

TEST_F(TraceReports, SkippedRecordsStillCountInTheTotal) {
    std::int32_t zeroBytes = -1, released = -1, noCount = -1, shown = -1;
    qj::resourceTraceAllocate(zeroBytes, "zero bytes", 0); // numAllocs 1, bytes 0
    qj::resourceTraceAllocate(released, "released", 50);
    qj::resourceTraceFree(released, "released", 50);
    qj::resourceTraceAllocate(noCount, "no count", 80); // numAllocs 0, bytes 60
    qj::resourceTraceFree(noCount, "no count", 20);
    qj::resourceTraceAllocate(shown, "shown", 9);
    EXPECT_EQ(resources(), "Total bytes allocated:69\n"
                           "Bytes:9(9) MinBlock:9 MaxBlock:9 NumAllocs:1(1)  shown  [3]\n");
}

TEST_F(TraceReports, AllReleasedGivesTheHeaderOnly) {
    std::int32_t a = -1;
    qj::resourceTraceAllocate(a, "a", 10);
    qj::resourceTraceFree(a, "a", 10);
    EXPECT_EQ(resources(), "Total bytes allocated:0\n");
}

TEST_F(TraceReports, NegativeTotalPrintsUnsigned) {
    std::int32_t a = -1;
    qj::resourceTraceFree(a, "a", 10);
    EXPECT_EQ(resources(), "Total bytes allocated:4294967286\n"
                           "Bytes:-10(0) MinBlock:0 MaxBlock:0 NumAllocs:-1(0)  a  [0]\n");
}

TEST_F(TraceReports, TraceReportListsIdentifiers) {
    std::int32_t terrain = -1;
    d::startTrace(terrain, "terrain");
    const std::uint32_t v = d::traceAllocate(4200);
    d::traceAllocate(1800);
    d::traceFree(v, 4200);
    d::endTrace(terrain);
    EXPECT_STREQ(d::traceReport(), "Total bytes allocated:1800\n"
                                   "Bytes:1.800(6.000) MinBlock:1.800 MaxBlock:4.200 "
                                   "NumAllocs:1(2)  terrain  [0]\n");
}

TEST_F(TraceReports, OverflowRecordReportsUnderTheErrorText) {
    for (int i = 0; i < 2049; ++i) {
        std::int32_t cell = -1;
        qj::resourceTraceAllocate(cell, ("r" + std::to_string(i)).c_str(), i == 2048 ? 7 : 0);
    }
    const std::string text = resources();
    EXPECT_EQ(text, "Total bytes allocated:7\n"
                    "Bytes:7(7) MinBlock:7 MaxBlock:7 NumAllocs:2(2)  "
                    "ERROR. TOO MANY IDENTIFIERS  [0]\n");
}

TEST_F(TraceReports, LongestReportFitsItsBuffer) {
    for (int i = 0; i < 2048; ++i) {
        std::int32_t cell = -1;
        std::string name = std::to_string(i) + std::string(256, 'r');
        qj::resourceTraceAllocate(cell, name.c_str(), INT_MIN);
        qj::resourceTraceAllocate(cell, name.c_str(), INT_MIN + i + 1);
    }
    const std::string text = resources();
    EXPECT_GT(text.size(), 600000u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2049);
}

// --- Status text --------------------------------------------------------------------------

using StatusText = TraceState;

TEST_F(StatusText, ResourceSectionIsCutVisiblyWithinTheBuffer) {
    ASSERT_TRUE(d::settings.use_memoryDll);
    for (int i = 0; i < 2048; ++i) {
        std::int32_t cell = -1;
        std::string name = std::to_string(i) + std::string(256, 'z');
        qj::resourceTraceAllocate(cell, name.c_str(), 1000 + i);
    }
    const std::string text = qj::getStatus(nullptr);
    EXPECT_LT(text.size(), d::kStatusTextSize);
    EXPECT_GT(text.size(), d::kStatusTextSize - 1000);
    EXPECT_EQ(text.rfind("Quorrick.dll Ver:1.01 Date:2005/01/10\n\n", 0), 0u);
    const std::size_t notice = text.find("\n[status text cut: ");
    ASSERT_NE(notice, std::string::npos);
    const std::size_t noticeEnd = text.find('\n', notice + 1);
    const std::string noticeLine = text.substr(notice + 1, noticeEnd - notice - 1);
    EXPECT_NE(noticeLine.find(" of 2049 lines of the resource report shown; the status text "
                              "holds at most 128000 bytes]"),
              std::string::npos)
        << noticeLine;
    // The line before the notice is a whole report line.
    const std::size_t previous = text.rfind('\n', notice - 1);
    EXPECT_EQ(text.substr(notice - 1, 1), "]");
    EXPECT_EQ(text.compare(previous + 1, 6, "Bytes:"), 0);
    // The section's end and the pool table follow in full.
    const std::string pools = d::settings.use_pools ? "ChunkPools not activated\n"
                                                    : "ChunkPools not active\n";
    EXPECT_EQ(text.substr(noticeEnd + 1), "\n\n" + pools);
}

TEST_F(StatusText, ShortResourceSectionIsWhole) {
    std::int32_t cell = -1;
    qj::resourceTraceAllocate(cell, "texture", 1000);
    const std::string text = qj::getStatus(nullptr);
    EXPECT_NE(text.find("\nResources\nTotal bytes allocated:1000\n"
                        "Bytes:1.000(1.000) MinBlock:1.000 MaxBlock:1.000 NumAllocs:1(1)  "
                        "texture  [0]\n\n\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("[status text cut"), std::string::npos);
}

} // namespace
