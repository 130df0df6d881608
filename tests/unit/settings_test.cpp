// The settings file rules, one case per row.
#include "frame/settings.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "scratch_dir.h"

using velt::zur::memory::detail::applyAttachDefaults;
using velt::zur::memory::detail::loadSettingsFile;
using velt::zur::memory::detail::parseSettings;
using velt::zur::memory::detail::Settings;

namespace {

Settings parsed(const std::string& text) {
    Settings s;
    applyAttachDefaults(s);
    parseSettings(text.data(), text.size(), s);
    return s;
}

TEST(Settings, DefaultsWithoutFile) {
    Settings s;
    applyAttachDefaults(s);
    EXPECT_TRUE(s.use_memoryDll);
    EXPECT_TRUE(s.use_pools);
    EXPECT_TRUE(s.patterns);
    EXPECT_TRUE(s.use_memoryUsedTag);
    EXPECT_TRUE(s.tailguards);
    EXPECT_EQ(s.tailguard_length, 4);
    EXPECT_EQ(s.callstack_depth, 16);
    EXPECT_EQ(s.hash_size, 57903);
    EXPECT_FALSE(s.use_histogram || s.use_callstack || s.use_traceIdentifiers || s.include_all ||
                 s.use_valloc || s.use_qj7_tags);
    EXPECT_FALSE(s.has_leakreport);
}

struct FlagCase {
    const char* text;
    bool pools;
    bool histogram;
};

class FlagRules : public testing::TestWithParam<FlagCase> {};

TEST_P(FlagRules, ReadsFlags) {
    const Settings s = parsed(GetParam().text);
    EXPECT_EQ(s.use_pools, GetParam().pools) << GetParam().text;
    EXPECT_EQ(s.use_histogram, GetParam().histogram) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlagRules,
    testing::Values(FlagCase{"use_pools 2", true, false}, FlagCase{"use_pools -1", true, false},
                    FlagCase{"use_pools 0", false, false},
                    FlagCase{"use_pools +0", false, false},
                    // A word that is not an integer turns the flag off and is read next.
                    FlagCase{"use_pools use_histogram 1", false, true},
                    FlagCase{"use_pools yes", false, false},
                    // Keys are case-sensitive; the number after an unknown key is a token.
                    FlagCase{"Use_Pools 0", true, false},
                    // A flag key with nothing after it turns the flag off.
                    FlagCase{"use_histogram 1 use_pools", false, true},
                    FlagCase{"use_histogram\n\n  1\n", true, true},
                    // No comment syntax: a key inside a remark is a key.
                    FlagCase{"// use_pools is great", false, false},
                    // The later value wins.
                    FlagCase{"use_pools 0 use_pools 1", true, false},
                    // A number glued to a word: the digits are the value, the rest a token.
                    FlagCase{"use_pools 0use_histogram 1", false, true},
                    // Overlong values saturate instead of overflowing.
                    FlagCase{"use_pools 99999999999999999999", true, false},
                    FlagCase{"use_pools -", false, false}));

struct NumberCase {
    const char* text;
    int depth;
    int hash;
    int guard;
};

class NumberRules : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberRules, AcceptsOnlyTheirRange) {
    const Settings s = parsed(GetParam().text);
    EXPECT_EQ(s.callstack_depth, GetParam().depth) << GetParam().text;
    EXPECT_EQ(s.hash_size, GetParam().hash) << GetParam().text;
    EXPECT_EQ(s.tailguard_length, GetParam().guard) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberRules,
    testing::Values(NumberCase{"callstack_depth 1", 16, 57903, 4},
                    NumberCase{"callstack_depth 2", 2, 57903, 4},
                    NumberCase{"callstack_depth 999", 999, 57903, 4},
                    NumberCase{"callstack_depth 1000", 16, 57903, 4},
                    NumberCase{"callstack_depth x", 16, 57903, 4},
                    NumberCase{"hash_size 1000", 16, 57903, 4},
                    NumberCase{"hash_size 1001", 16, 1001, 4},
                    NumberCase{"hash_size 2147483647", 16, 1 << 22, 4},
                    NumberCase{"hash_size 99999999999", 16, 1 << 22, 4},
                    NumberCase{"tailguard_length 0", 16, 57903, 0},
                    NumberCase{"tailguard_length 13", 16, 57903, 13},
                    NumberCase{"tailguard_length 4096", 16, 57903, 4096},
                    NumberCase{"tailguard_length 4097", 16, 57903, 4},
                    NumberCase{"tailguard_length -1", 16, 57903, 4},
                    NumberCase{"tailguard_length -2147483648", 16, 57903, 4}));

TEST(Settings, LeakReportName) {
    Settings s = parsed("leakreport leaks.txt use_pools 0");
    EXPECT_TRUE(s.has_leakreport);
    EXPECT_STREQ(s.leakreport, "leaks.txt");
    EXPECT_FALSE(s.use_pools);

    // No name after the key: the key still counts, the name is what the buffer held.
    s = parsed("leakreport");
    EXPECT_TRUE(s.has_leakreport);
    EXPECT_STREQ(s.leakreport, "");

    // A name is cut at 254 characters.
    s = parsed("leakreport " + std::string(300, 'n'));
    EXPECT_EQ(std::strlen(s.leakreport), 254u);
}

TEST(Settings, FrameMemoryFileName) {
    Settings s = parsed("frame_memory_csv frames.csv use_pools 0");
    EXPECT_TRUE(s.has_frame_memory_csv);
    EXPECT_STREQ(s.frame_memory_csv, "frames.csv");
    EXPECT_FALSE(s.use_pools);

    // No name after the key: the file stays off.
    s = parsed("frame_memory_csv");
    EXPECT_FALSE(s.has_frame_memory_csv);

    // A name is cut at 254 characters; the later key wins.
    s = parsed("frame_memory_csv a.csv frame_memory_csv " + std::string(300, 'n'));
    EXPECT_EQ(std::strlen(s.frame_memory_csv), 254u);
}

TEST(Settings, LongTokensSplitAt79Characters) {
    // 79 characters of padding, then the rest of the run is a token of its own.
    const Settings s = parsed(std::string(79, 'x') + "use_pools 0");
    EXPECT_FALSE(s.use_pools);
    const Settings t = parsed(std::string(78, 'x') + "use_pools 0");
    EXPECT_TRUE(t.use_pools);
}

TEST(Settings, EveryKeyIsRead) {
    const Settings s = parsed(
        "use_memoryDll 0 use_histogram 1 use_pools 0 use_callstack 1 use_traceIdentifiers 1 "
        "use_memoryUsedTag 0 callstack_depth 8 leakreport l.txt include_all 1 hash_size 2000 "
        "patterns 0 tailguards 0 tailguard_length 9 use_valloc 1 use_qj7_tags 1 callstack_unwind 1");
    EXPECT_FALSE(s.use_memoryDll);
    EXPECT_TRUE(s.use_histogram);
    EXPECT_FALSE(s.use_pools);
    EXPECT_TRUE(s.use_callstack);
    EXPECT_TRUE(s.use_traceIdentifiers);
    EXPECT_FALSE(s.use_memoryUsedTag);
    EXPECT_EQ(s.callstack_depth, 8);
    EXPECT_STREQ(s.leakreport, "l.txt");
    EXPECT_TRUE(s.include_all);
    EXPECT_EQ(s.hash_size, 2000);
    EXPECT_FALSE(s.patterns);
    EXPECT_FALSE(s.tailguards);
    EXPECT_EQ(s.tailguard_length, 9);
    EXPECT_TRUE(s.use_valloc);
    EXPECT_TRUE(s.use_qj7_tags);
    EXPECT_TRUE(s.callstack_unwind);
}

// Windows' text mode ends a file at a Ctrl-Z; the settings file ends there too. Elsewhere
// the character is no part of any key and the line after it is read.
TEST(Settings, FileEndsWhereTheRuntimesTextModeEndsIt) {
    const ScratchDir scratch;
    const std::string path = scratch.file("MemorySettings.dat");
    std::ofstream(path, std::ios::binary) << "use_histogram 1\n\x1A\nuse_pools 0\n";
    Settings s;
    applyAttachDefaults(s);
    ASSERT_TRUE(loadSettingsFile(path.c_str(), s));
    EXPECT_TRUE(s.use_histogram);
    EXPECT_EQ(s.use_pools, velt::zur::memory::platform::kTextFileEnd >= 0);
}

} // namespace
