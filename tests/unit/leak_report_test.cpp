// The leak report writer on tables built from known frames: every line of the file, the
// identifier filter, the summary figures and the release of the table.
#include "callstack/callstack.h"
#include "frame/settings.h"
#include "tracking/alloc_info.h"
#include "tracking/alloc_info_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "system_probe.h"

namespace d = velt::zur::memory::detail;

namespace {

using Word = std::uintptr_t;
using Lines = std::vector<std::string>;

Lines readLines(const std::string& path) {
    std::ifstream in(path);
    Lines lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Lines kHead = {"# Leak report format v1.10", "", "# Module dump", ""};

Lines summary(int hashSize, int populated, const char* share, int elements, int longest) {
    return {"",
            "# AllocInfo hash table summary:",
            "# hash size: " + std::to_string(hashSize),
            "# populated bucket indices: " + std::to_string(populated) + " (" + share + "%)",
            "# total elements: " + std::to_string(elements),
            "# longest chain: " + std::to_string(longest)};
}

class LeakReport : public testing::Test {
protected:
    void SetUp() override {
        d::initCallStack();
        path_ = scratch_.file("leak_report.txt");
    }
    void TearDown() override {
        d::allocInfoReleaseTable();
    }
    static d::AllocInfo* charged(const std::vector<Word>& frames, std::vector<std::int32_t> amounts) {
        d::AllocInfo* r =
            d::allocInfoFindOrInsertFrames(frames.data(), static_cast<std::int32_t>(frames.size()));
        for (std::int32_t amount : amounts)
            d::allocInfoUpdate(d::allocInfoWord(r), amount);
        return r;
    }
    Lines report(bool includeAll, std::int32_t filter = -1, bool release = false) {
        d::allocInfoReport(path_.c_str(), includeAll, release, filter);
        return readLines(path_);
    }
    ScratchDir scratch_;
    std::string path_;
};

TEST_F(LeakReport, EmptyTable) {
    d::allocInfoTableInit(57903);
    EXPECT_EQ(report(false), concat({kHead, {"# Allocation history (leaks only)"},
                                     summary(57903, 0, "    0", 0, 0)}));
}

// Four sites in four buckets of 1001 (hashes 0x888B09DF, 0x8B036388, 0x9FDAE871 and the
// empty stack's 0x719FDAE9 fall in buckets 883, 187, 453 and 276): the report walks them in
// bucket order 187, 276, 453, 883.
class PopulatedReport : public LeakReport {
protected:
    void SetUp() override {
        LeakReport::SetUp();
        d::allocInfoTableInit(1001);
        two_ = charged({0x00401234, 0x00405678}, {40, 60, -40});      // live: one block
        three_ = charged({0x00401234, 0x00405678, 0xABC}, {16, -16}); // all released
        one_ = charged({0x1}, {24});                                  // live
        none_ = charged({}, {8, 8});                                  // live, no frames
    }
    d::AllocInfo* two_;
    d::AllocInfo* three_;
    d::AllocInfo* one_;
    d::AllocInfo* none_;
};

const std::string kThreeLine = "alloc depth=3 peakSize=16 peakNumAllocs=1 currentNumAllocs=0 "
                               "currentTotalSize=0 minAllocSize=16 maxAllocSize=16 "
                               "0x00401234<-0x00405678<-0x00000abc";
const std::string kNoneLine = "alloc depth=0 peakSize=16 peakNumAllocs=2 currentNumAllocs=2 "
                              "currentTotalSize=16 minAllocSize=8 maxAllocSize=8 ";
const std::string kOneLine = "alloc depth=1 peakSize=24 peakNumAllocs=1 currentNumAllocs=1 "
                             "currentTotalSize=24 minAllocSize=24 maxAllocSize=24 0x00000001";
const std::string kTwoLine = "alloc depth=2 peakSize=100 peakNumAllocs=2 currentNumAllocs=1 "
                             "currentTotalSize=60 minAllocSize=40 maxAllocSize=60 "
                             "0x00401234<-0x00405678";

TEST_F(PopulatedReport, LeaksOnlyAndAllAllocations) {
    EXPECT_EQ(report(false), concat({kHead, {"# Allocation history (leaks only)"},
                                      {kNoneLine, kOneLine, kTwoLine},
                                      summary(1001, 4, "  0.4", 4, 1)}));
    EXPECT_EQ(report(true), concat({kHead, {"# Allocation history (all allocations)"},
                                     {kThreeLine, kNoneLine, kOneLine, kTwoLine},
                                     summary(1001, 4, "  0.4", 4, 1)}));
}

TEST_F(PopulatedReport, NegativeCountsAreLeaksToo) {
    d::allocInfoClearCurrent();
    d::allocInfoUpdate(d::allocInfoWord(two_), -60);
    EXPECT_EQ(report(false),
              concat({kHead, {"# Allocation history (leaks only)"},
                      {"alloc depth=2 peakSize=100 peakNumAllocs=2 currentNumAllocs=-1 "
                       "currentTotalSize=-60 minAllocSize=40 maxAllocSize=60 "
                       "0x00401234<-0x00405678"},
                      summary(1001, 4, "  0.4", 4, 1)}));
}

TEST_F(PopulatedReport, IdentifierFilter) {
    two_->traceId = 3;
    three_->traceId = 3;
    one_->traceId = 5;
    none_->traceId = -1;
    // Live sites of identifier 3 are listed; its released site still counts as an element.
    EXPECT_EQ(report(false, 3), concat({kHead, {"# Allocation history (leaks only)"}, {kTwoLine},
                                        summary(1001, 4, "  0.4", 2, 1)}));
    // No record carries -2: no lines, no elements, but populated buckets are counted.
    EXPECT_EQ(report(true, -2), concat({kHead, {"# Allocation history (all allocations)"},
                                        summary(1001, 4, "  0.4", 0, 0)}));
}

TEST_F(PopulatedReport, ReleaseEmptiesTheTable) {
    const std::uint32_t word = d::allocInfoWord(two_);
    const Lines released = report(true, -1, /*release=*/true);
    EXPECT_EQ(released.size(), kHead.size() + 1 + 4 + 6);
    for (std::int32_t b = 0; b < 1001; ++b)
        ASSERT_EQ(d::allocInfoBucket(b), nullptr) << b;
    EXPECT_EQ(d::allocInfoRecord(word), nullptr);
    // The hash size stays; nothing is left to list.
    EXPECT_EQ(report(true), concat({kHead, {"# Allocation history (all allocations)"},
                                     summary(1001, 0, "    0", 0, 0)}));
}

TEST_F(LeakReport, ChainsAndFullShare) {
    d::allocInfoTableInit(1);
    charged({0xA}, {4});
    charged({0xB}, {4});
    charged({0xC}, {4, -4});
    const Lines lines = report(false);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(Lines(lines.end() - 6, lines.end()), summary(1, 1, "1e+02", 3, 3));
}

TEST_F(LeakReport, ModuleSectionListsThisProgram) {
    d::allocInfoTableInit(1001);
    d::moduleTableRefresh();
    const Lines lines = report(false);
    ASSERT_GT(d::moduleCount, 1); // at least this program and the runtime library
    ASSERT_GT(lines.size(), 3u + d::moduleCount);
    EXPECT_EQ(lines[3 + d::moduleCount], "");

    // This program's line: its name as the system's module list gives it (the path cut
    // to the entry's 79 characters on Linux, the file name on Windows), then its load
    // address and size, at least eight hex digits each, the range holding this code.
    const std::string name = qjtest::ownModuleName();
    ASSERT_FALSE(name.empty());
    const auto code = reinterpret_cast<unsigned long long>(&readLines);
    int found = 0;
    for (std::int32_t i = 0; i < d::moduleCount; ++i) {
        const std::string& line = lines[3 + i];
        ASSERT_EQ(line.rfind("module ", 0), 0u) << line;
        const std::size_t sizeAt = line.rfind(" 0x");
        const std::size_t baseAt = line.rfind(" 0x", sizeAt - 1);
        ASSERT_NE(baseAt, std::string::npos) << line;
        const std::string base = line.substr(baseAt + 3, sizeAt - baseAt - 3);
        const std::string size = line.substr(sizeAt + 3);
        EXPECT_GE(base.size(), 8u) << line;
        EXPECT_GE(size.size(), 8u) << line;
        if (line.substr(7, baseAt - 7) != name)
            continue;
        ++found;
        const unsigned long long low = std::stoull(base, nullptr, 16);
        EXPECT_GE(code, low) << line;
        EXPECT_LT(code, low + std::stoull(size, nullptr, 16)) << line;
    }
    EXPECT_EQ(found, 1);
}

} // namespace
