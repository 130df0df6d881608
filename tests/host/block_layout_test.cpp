// The bytes of a block as the host sees them, under the switch combinations that change
// the layout. Expected bytes are built here from the layout rules, not read from the code.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using qjtest::runHost;

namespace {

struct LayoutCase {
    const char* name;
    const char* settings;
    bool usedTag, tags, callstack, trace;
    int guard;
};

std::string bytesText(const std::vector<unsigned>& bytes) {
    std::ostringstream text;
    for (unsigned b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        text << hex;
    }
    return text.str();
}

void push32(std::vector<unsigned>& bytes, std::uint32_t word) {
    for (int i = 0; i < 4; ++i)
        bytes.push_back((word >> (8 * i)) & 0xFF);
}

class BlockLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(BlockLayout, HeapBlockOfTenBytes) {
    const LayoutCase& c = GetParam();
    const int ut = c.usedTag ? 4 : 0, tg = c.tags ? 4 : 0, cs = c.callstack ? 4 : 0,
              tw = c.trace ? 4 : 0;
    const int head = ut + tg + 4 + cs + tw;
    const int gross = 10 + ut + 2 * tg + 4 + cs + tw + c.guard;

    std::vector<unsigned> expected;
    if (c.usedTag)
        push32(expected, 0x059DD3AF);
    if (c.tags)
        for (char ch : std::string("QJ7{"))
            expected.push_back(static_cast<unsigned char>(ch));
    push32(expected, static_cast<std::uint32_t>(gross) << 2 | (c.callstack ? 1 : 0));
    const std::size_t allocInfoAt = expected.size();
    if (c.callstack)
        push32(expected, 0); // checked separately: a record handle or none
    if (c.trace)
        push32(expected, 3); // memory name 3, no trace open
    for (int i = 0; i < 10; ++i)
        expected.push_back(0xCD);
    for (int i = 0; i < c.guard; ++i)
        expected.push_back(0x99);
    if (c.tags)
        for (char ch : std::string("}QJ7"))
            expected.push_back(static_cast<unsigned char>(ch));
    ASSERT_EQ(static_cast<int>(expected.size()), gross);

    // A second thread: heap blocks, never the pools.
    const qjtest::HostRun run = runHost(std::string(c.settings),
                                        "cb\nt malloc A 10 3\nt peek A " + std::to_string(-head) +
                                            " " + std::to_string(gross) + "\nt size A\nt free A\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::string seen = run.value("peek A " + std::to_string(-head) + ":") + " ";
    std::string want = bytesText(expected).substr(1) + " ";
    seen = seen.substr(seen.find_first_not_of(' '));
    if (c.callstack) // the record handle is checked by the tracking tests
        for (int i = 0; i < 4; ++i) {
            seen.replace(3 * (allocInfoAt + i), 2, "..");
            want.replace(3 * (allocInfoAt + i), 2, "..");
        }
    EXPECT_EQ(seen, want);
    EXPECT_EQ(run.value("size A"), std::to_string(gross - (4 + ut + cs + tw)));
    EXPECT_TRUE(run.errors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Switches, BlockLayout,
    testing::Values(
        LayoutCase{"Defaults", "", true, false, false, false, 4},
        LayoutCase{"EverySwitch",
                   "use_qj7_tags 1 use_callstack 1 use_traceIdentifiers 1", true, true, true, true, 4},
        LayoutCase{"Bare", "use_memoryUsedTag 0 tailguards 0", false, false, false, false, 0},
        LayoutCase{"TagsWithoutUsedTag", "use_memoryUsedTag 0 use_qj7_tags 1", false, true, false,
                   false, 4},
        LayoutCase{"GuardOf13", "tailguard_length 13 use_traceIdentifiers 1", true, false, false,
                   true, 13},
        LayoutCase{"GuardOfZero", "tailguard_length 0 use_qj7_tags 1", true, true, false, false, 0}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST(BlockLayout, ZeroByteRequestGetsOneByte) {
    const auto run = runHost(std::string(""), "cb\nt malloc A 0 0\nt peek A -8 13\nt size A\nt counters\n");
    ASSERT_TRUE(run.finished()) << run.out;
    // Gross 13: used tag, header 13 << 2 = 0x34, one byte of 0xCD, four of 0x99.
    EXPECT_EQ(run.value("peek A -8:"), "af d3 9d 05 34 00 00 00 cd 99 99 99 99");
    EXPECT_EQ(run.value("size A"), "5");
    EXPECT_EQ(run.value("counters"), "13 13 1 1");
}

TEST(BlockLayout, UserPointersAreDistinct) {
    const auto run = runHost(std::string(""), "cb\nt malloc A 0 0\nt malloc B 0 0\nmalloc C 0 0\nmalloc D 0 0\n");
    ASSERT_TRUE(run.finished());
    EXPECT_NE(run.ptr("A"), run.ptr("B"));
    EXPECT_NE(run.ptr("C"), run.ptr("D"));
    EXPECT_NE(run.ptr("A"), 0u);
}

TEST(BlockLayout, GuardAllocatorOffIsTheRuntimeHeap) {
    const auto run = runHost(std::string("use_memoryDll 0"),
                             "cb\nmalloc A 10 77\nsize A\ncounters\nfree A\nfreeruntime\ncounters\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("size A"), "0");
    EXPECT_EQ(run.value("counters"), "0 0 0 0");
    EXPECT_TRUE(run.errors().empty());
}

} // namespace
