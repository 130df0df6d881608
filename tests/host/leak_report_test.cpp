// Allocation-site tracking as a host sees it: the dumps and their fixed texts, the final
// leak report at unload, the clearing exports, and a release whose block word was
// overwritten. The script host allocates on its main thread (one site) and on its worker
// thread (another site).
#include "host_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using qjtest::runHost;
using qjtest::runHostWithEnvironment;

namespace {

struct Module {
    std::string name;
    std::uintptr_t base, size;
};

struct Site {
    std::string stats; // "peakSize=... maxAllocSize=..."
    std::vector<std::uintptr_t> frames;
};

// A leak report split into its parts; `error` names the first line out of format.
struct Report {
    std::vector<Module> modules;
    std::string heading;
    std::vector<Site> sites;
    std::vector<std::string> summary;
    std::string error;

    std::multiset<std::string> stats() const {
        std::multiset<std::string> all;
        for (const Site& s : sites)
            all.insert(s.stats);
        return all;
    }
    const Module* moduleOf(std::uintptr_t address) const {
        for (const Module& m : modules)
            if (address >= m.base && address - m.base < m.size)
                return &m;
        return nullptr;
    }
};

bool isHex(const std::string& text, std::size_t minDigits) {
    return text.size() >= minDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool isDecimal(const std::string& text) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > digits &&
           text.find_first_not_of("0123456789", digits) == std::string::npos;
}

// "module NAME 0xBASE 0xSIZE", both numbers with at least eight hex digits.
bool parseModule(const std::string& line, Module& m) {
    if (line.rfind("module ", 0) != 0)
        return false;
    const std::size_t sizeAt = line.rfind(" 0x");
    const std::size_t baseAt = sizeAt == std::string::npos || sizeAt < 8
                                   ? std::string::npos
                                   : line.rfind(" 0x", sizeAt - 1);
    if (baseAt == std::string::npos || baseAt < 7)
        return false;
    const std::string base = line.substr(baseAt + 3, sizeAt - baseAt - 3);
    const std::string size = line.substr(sizeAt + 3);
    if (!isHex(base, 8) || !isHex(size, 8))
        return false;
    m = {line.substr(7, baseAt - 7), static_cast<std::uintptr_t>(std::stoull(base, nullptr, 16)),
         static_cast<std::uintptr_t>(std::stoull(size, nullptr, 16))};
    return true;
}

// "alloc depth=N" and the six statistics, each "name=number", then a blank and the
// frames "0x...<-0x..." (nothing for depth 0).
bool parseSite(const std::string& line, Site& site) {
    static const char* const kNames[] = {"peakSize",         "peakNumAllocs", "currentNumAllocs",
                                         "currentTotalSize", "minAllocSize",  "maxAllocSize"};
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (int i = 0; i < 8; ++i) {
        const std::size_t blank = line.find(' ', at);
        if (blank == std::string::npos)
            return false;
        fields.push_back(line.substr(at, blank - at));
        at = blank + 1;
    }
    if (fields[0] != "alloc" || fields[1].rfind("depth=", 0) != 0 ||
        !isDecimal(fields[1].substr(6)))
        return false;
    site.stats.clear();
    for (int i = 0; i < 6; ++i) {
        const std::string prefix = std::string(kNames[i]) + "=";
        if (fields[2 + i].rfind(prefix, 0) != 0 || !isDecimal(fields[2 + i].substr(prefix.size())))
            return false;
        site.stats += (i == 0 ? "" : " ") + fields[2 + i];
    }
    site.frames.clear();
    const std::string frames = line.substr(at);
    for (std::size_t from = 0; from < frames.size();) {
        std::size_t to = frames.find("<-", from);
        if (to == std::string::npos)
            to = frames.size();
        const std::string frame = frames.substr(from, to - from);
        if (frame.rfind("0x", 0) != 0 || !isHex(frame.substr(2), 8))
            return false;
        site.frames.push_back(
            static_cast<std::uintptr_t>(std::stoull(frame.substr(2), nullptr, 16)));
        from = to == frames.size() ? to : to + 2;
    }
    return site.frames.size() == std::stoul(fields[1].substr(6));
}

Report parse(const std::string& text) {
    Report r;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::size_t i = 0;
    auto expect = [&](const std::string& line) {
        if (r.error.empty() && (i >= lines.size() || lines[i] != line))
            r.error = "expected '" + line + "' at line " + std::to_string(i);
        ++i;
    };
    expect("# Leak report format v1.10");
    expect("");
    expect("# Module dump");
    for (Module m; i < lines.size() && parseModule(lines[i], m); ++i)
        r.modules.push_back(m);
    expect("");
    if (i < lines.size())
        r.heading = lines[i++];
    for (; i < lines.size() && lines[i].rfind("alloc ", 0) == 0; ++i) {
        Site s;
        if (!parseSite(lines[i], s)) {
            r.error = "bad site line " + lines[i];
            return r;
        }
        r.sites.push_back(s);
    }
    expect("");
    r.summary.assign(lines.begin() + std::min(i, lines.size()), lines.end());
    return r;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string summaryLine(const Report& r, const std::string& prefix) {
    for (const std::string& line : r.summary)
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    return "<missing>";
}

constexpr char kStartLine[] =
    "dep: callstack: using internal callstack resolving (fast, but requires frame pointers)\n";

TEST(LeakReportHost, DumpsNeedCallStackTracking) {
    const auto run = runHost(std::string("use_traceIdentifiers 1\nleakreport leaks.txt\n"),
                             "malloc A 10 0\ndumpall all.txt -1\ndumpactive active.txt\n"
                             "modules\nzero\ntracereset\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const std::string text = "can't dump allocations: callstack information not available.";
    EXPECT_EQ(run.lines()[1], "dump " + text);
    EXPECT_EQ(run.lines()[2], "dump " + text);
    EXPECT_FALSE(run.hasFile("all.txt") || run.hasFile("active.txt") || run.hasFile("leaks.txt"));
    EXPECT_EQ(run.err.find("dep: callstack"), std::string::npos);
}

// Gross sizes below: user size + used tag, header, AllocInfo word, trace word and a tail
// guard of 4 bytes each (20), or 16 without the trace word.
TEST(LeakReportHost, DumpsListSitesPerFilter) {
    const auto run = runHost(std::string("use_callstack 1\nuse_traceIdentifiers 1\n"),
                             "malloc A 10 0\nmalloc B 20 0\nfree B\n"
                             "t malloc C 30 0\n"
                             "start T first\n"
                             "t malloc D 40 0\n" // another thread's trace is not its own
                             "malloc E 50 0\n"
                             "end T\n"
                             "dumpactive active.txt\ndumpall all.txt -1\ndumpall id0.txt 0\n"
                             "dumpall none.txt -2\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("dump"), "allocation and callstack information written");
    EXPECT_EQ(run.value("cell T"), "0");
    // The start line, once.
    EXPECT_EQ(run.err, kStartLine);

    const std::string mainSite = "peakSize=100 peakNumAllocs=2 currentNumAllocs=2 "
                                 "currentTotalSize=100 minAllocSize=30 maxAllocSize=70";
    const std::string workerSite = "peakSize=110 peakNumAllocs=2 currentNumAllocs=2 "
                                   "currentTotalSize=110 minAllocSize=50 maxAllocSize=60";

    const Report active = parse(run.file("active.txt"));
    ASSERT_EQ(active.error, "");
    EXPECT_EQ(active.heading, "# Allocation history (leaks only)");
    EXPECT_EQ(active.stats(), (std::multiset<std::string>{mainSite, workerSite}));
    EXPECT_EQ(summaryLine(active, "# hash size: "), "57903");
    EXPECT_EQ(summaryLine(active, "# total elements: "), "2");
    EXPECT_EQ(active.summary.size(), 5u);

    // Modules: this program and the library, with every first frame inside this program.
    const auto named = [&](const std::string& tail) {
        return std::count_if(active.modules.begin(), active.modules.end(), [&](const Module& m) {
            return endsWith(m.name, tail) || endsWith(m.name, tail + ".exe") ||
                   endsWith(m.name, tail + ".dll");
        });
    };
    EXPECT_EQ(named("script_host"), 1);
    EXPECT_EQ(named("libQuorrick.so") + named("Quorrick"), 1);
    for (const Site& s : active.sites) {
        ASSERT_FALSE(s.frames.empty()) << s.stats;
        const Module* m = active.moduleOf(s.frames[0]);
        ASSERT_NE(m, nullptr) << s.stats;
        EXPECT_NE(m->name.find("script_host"), std::string::npos) << m->name;
    }

    const Report all = parse(run.file("all.txt"));
    ASSERT_EQ(all.error, "");
    EXPECT_EQ(all.heading, "# Allocation history (all allocations)");
    EXPECT_EQ(all.stats(), active.stats());

    // Identifier 0: the main thread's site only (its latest allocation was under T).
    const Report id0 = parse(run.file("id0.txt"));
    ASSERT_EQ(id0.error, "");
    EXPECT_EQ(id0.heading, "# Allocation history (leaks only)");
    EXPECT_EQ(id0.stats(), (std::multiset<std::string>{mainSite}));
    EXPECT_EQ(summaryLine(id0, "# total elements: "), "1");
    EXPECT_EQ(summaryLine(id0, "# longest chain: "), "1");

    const Report none = parse(run.file("none.txt"));
    ASSERT_EQ(none.error, "");
    EXPECT_EQ(none.heading, "# Allocation history (all allocations)");
    EXPECT_TRUE(none.sites.empty());
    EXPECT_EQ(summaryLine(none, "# total elements: "), "0");
    EXPECT_EQ(summaryLine(none, "# longest chain: "), "0");
    EXPECT_EQ(summaryLine(none, "# populated bucket indices: "),
              summaryLine(all, "# populated bucket indices: "));
}

TEST(LeakReportHost, ClearingExports) {
    const auto run = runHost(std::string("use_callstack 1\nuse_traceIdentifiers 1\n"),
                             "start T first\nmalloc A 10 0\nend T\n"
                             "t malloc B 20 0\n"
                             "zero\nfree A\ndumpactive zero.txt\n"
                             "tracereset\ndumpall reset.txt -1\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const Report zero = parse(run.file("zero.txt"));
    ASSERT_EQ(zero.error, "");
    // A release after the clear takes the current figures below zero: still a leak line.
    EXPECT_EQ(zero.stats(),
              (std::multiset<std::string>{"peakSize=30 peakNumAllocs=1 currentNumAllocs=-1 "
                                          "currentTotalSize=-30 minAllocSize=30 maxAllocSize=30"}));
    // The trace reset clears the traced site only, keeping its extremes.
    const Report reset = parse(run.file("reset.txt"));
    ASSERT_EQ(reset.error, "");
    EXPECT_EQ(reset.stats(),
              (std::multiset<std::string>{"peakSize=0 peakNumAllocs=0 currentNumAllocs=0 "
                                          "currentTotalSize=0 minAllocSize=30 maxAllocSize=30",
                                          "peakSize=40 peakNumAllocs=1 currentNumAllocs=0 "
                                          "currentTotalSize=0 minAllocSize=40 maxAllocSize=40"}));
}

struct FinalCase {
    const char* name;
    const char* settings;
    const char* heading; // null: no report is written
    std::multiset<std::string> sites;
};

class FinalReport : public testing::TestWithParam<FinalCase> {};

const std::string kMainLeak = "peakSize=62 peakNumAllocs=2 currentNumAllocs=1 "
                              "currentTotalSize=26 minAllocSize=26 maxAllocSize=36";
const std::string kWorkerFreed = "peakSize=46 peakNumAllocs=1 currentNumAllocs=0 "
                                 "currentTotalSize=0 minAllocSize=46 maxAllocSize=46";

TEST_P(FinalReport, WrittenAtUnload) {
    const FinalCase& c = GetParam();
    const auto run = runHost(std::string("use_callstack 1\n") + c.settings,
                             "malloc A 10 0\nmalloc B 20 0\nfree B\nt malloc C 30 0\nt free C\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    ASSERT_FALSE(run.crashed);
    if (c.heading == nullptr) {
        for (const auto& entry : std::filesystem::directory_iterator(run.dir))
            EXPECT_NE(run.file(entry.path().filename().string()).rfind("# Leak report", 0), 0u)
                << entry.path();
        return;
    }
    const Report report = parse(run.file("leaks.txt"));
    ASSERT_EQ(report.error, "");
    EXPECT_FALSE(report.modules.empty());
    EXPECT_EQ(report.heading, c.heading);
    EXPECT_EQ(report.stats(), c.sites);
    EXPECT_EQ(summaryLine(report, "# total elements: "), "2");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinalReport,
    testing::Values(FinalCase{"LeaksOnly",
                              "leakreport leaks.txt\n",
                              "# Allocation history (leaks only)",
                              {kMainLeak}},
                    FinalCase{"IncludeAll",
                              "leakreport leaks.txt\ninclude_all 1\n",
                              "# Allocation history (all allocations)",
                              {kMainLeak, kWorkerFreed}},
                    FinalCase{"NoLeakReportKey", "include_all 1\n", nullptr, {}}),
    [](const testing::TestParamInfo<FinalCase>& info) { return std::string(info.param.name); });

TEST(LeakReportHost, OverwrittenBlockWordIsReportedAndChargesNothing) {
    // The AllocInfo word sits right before the user area here. A word that names no site
    // is an underrun: reported, never followed nor charged; the site keeps both blocks
    // (after the report nothing more is released).
    const auto run = runHost(std::string("use_callstack 1\nleakreport leaks.txt\n"),
                             "cb\nmalloc A 10 0\nmalloc B 20 0\n"
                             "poke A -4 ff ff ff 7f\nfree A\n"
                             "poke B -4 ef be ad de\nfree B\n"
                             "dumpactive active.txt\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.errors(),
              (std::vector<std::string>{"memory.dll: memory before the block was overwritten " +
                                        qjtest::hex(run.ptr("A"))}));
    const Report active = parse(run.file("active.txt"));
    ASSERT_EQ(active.error, "");
    EXPECT_EQ(active.stats(),
              (std::multiset<std::string>{"peakSize=62 peakNumAllocs=2 currentNumAllocs=2 "
                                          "currentTotalSize=62 minAllocSize=26 maxAllocSize=36"}));
    EXPECT_EQ(parse(run.file("leaks.txt")).stats(), active.stats());
}

// Requests to the runtime heap and for pages that the system refuses: QJ_FAULT_PLAN=K
// refuses the K-th request of the run. Every request of the run is refused in turn.
// Tracking must come through each: a refused bucket array leaves it off, a refused request
// while the worker's site is made (record directory, its order, a slab of records; a
// stack this short is kept in the record) leaves that block without a site, and B's
// allocation makes the site afterwards; a refused table or page of the thread's lanes
// leaves the thread charging the record itself.
TEST(RefusedRequests, EveryRefusalLeavesTrackingUsable) {
    const std::string settings =
        "use_pools 0\nuse_callstack 1\nleakreport leaks.txt\ninclude_all 1\n";
    const std::string script =
        "cb\nt malloc A 10 0\nt malloc B 20 0\nt free A\nt free B\ndumpall all.txt -1\n";
    const auto count = runHostWithEnvironment(settings, script, "QJ_FAULT_PLAN=count");
    const std::string marker = "qj runtime requests: ";
    ASSERT_NE(count.err.find(marker), std::string::npos) << count.err;
    const long requests = std::stol(count.err.substr(count.err.find(marker) + marker.size()));

    const std::multiset<std::string> both = {"peakSize=62 peakNumAllocs=2 currentNumAllocs=0 "
                                             "currentTotalSize=0 minAllocSize=26 maxAllocSize=36"};
    const std::multiset<std::string> onlyB = {"peakSize=36 peakNumAllocs=1 currentNumAllocs=0 "
                                              "currentTotalSize=0 minAllocSize=36 maxAllocSize=36"};
    int trackingOff = 0;
    int withoutA = 0;
    for (long k = 1; k <= requests; ++k) {
        const auto run =
            runHostWithEnvironment(settings, script, "QJ_FAULT_PLAN=" + std::to_string(k));
        ASSERT_TRUE(run.finished()) << "request " << k << "\n" << run.out << run.err;
        // Refused settings or blocks are the front end's matter (tested with it).
        if (run.value("dump") != "allocation and callstack information written" ||
            !run.errors().empty())
            continue;
        const Report dump = parse(run.file("all.txt"));
        const Report final = parse(run.file("leaks.txt"));
        ASSERT_EQ(dump.error, "") << "request " << k;
        ASSERT_EQ(final.error, "") << "request " << k;
        EXPECT_EQ(final.stats(), dump.stats()) << "request " << k;
        if (summaryLine(dump, "# hash size: ") == "0") {
            EXPECT_TRUE(dump.sites.empty()) << "request " << k;
            ++trackingOff;
        } else if (dump.stats() == onlyB) {
            ++withoutA;
        } else {
            EXPECT_EQ(dump.stats(), both) << "request " << k;
        }
    }
    EXPECT_EQ(trackingOff, 1);
    EXPECT_EQ(withoutA, 3);
}

// A host or a debugger follows a block's AllocInfo word to the site's record. On 32-bit
// targets the word is the record's address and the record starts with its seventeen
// 32-bit fields, current after every allocation and release with no report in between;
// on 64-bit targets it is the record's handle (creation order, from 1). Blocks of 10, 30
// and 20 bytes from one site, with the trace word: gross sizes 30, 50 and 40.
TEST(LeakReportHost, SiteRecordReadThroughTheBlockWord) {
    const auto run = runHost(std::string("use_callstack 1\nuse_traceIdentifiers 1\n"),
                             "start T first\nmalloc A 10 0\nmalloc B 30 0\nfree A\nvisual\n"
                             "malloc C 20 0\nsiterecord C 8\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const std::string record = run.value("siterecord");
    if (sizeof(void*) != 4) {
        EXPECT_EQ(record.rfind("handle ", 0), 0u) << record;
        EXPECT_NE(record, "handle 0");
        return;
    }
    std::istringstream in(record);
    std::map<std::string, std::string> field;
    std::vector<std::uint32_t> frames;
    for (std::string token; in >> token;) {
        if (token == "frames:") {
            for (std::string f; in >> f;)
                frames.push_back(static_cast<std::uint32_t>(std::stoul(f, nullptr, 16)));
            break;
        }
        const std::size_t eq = token.find('=');
        ASSERT_NE(eq, std::string::npos) << record;
        field[token.substr(0, eq)] = token.substr(eq + 1);
    }
    const std::map<std::string, std::string> figures = {
        {"traceId", "0"},          {"peakSize", "90"},         {"peakNumAllocs", "2"},
        {"currentNumAllocs", "2"}, {"currentTotalSize", "90"}, {"minAllocSize", "30"},
        {"maxAllocSize", "50"},    {"physicFrameAllocs", "3"}, {"physicFramePeakAllocs", "3"},
        {"physicFrame", "0"},      {"visualFrameAllocs", "0"}, {"visualFramePeakAllocs", "3"},
        {"visualFrame", "1"}};
    for (const auto& [name, value] : figures)
        EXPECT_EQ(field[name], value) << name << " in " << record;
    // The key: depth frames, and their hash by the rule h = rotl8(h ^ address).
    ASSERT_FALSE(frames.empty()) << record;
    EXPECT_EQ(field["depth"], std::to_string(frames.size()));
    std::uint32_t h = 0x719FDAE9u;
    for (std::uint32_t f : frames) {
        h ^= f;
        h = (h << 8) | (h >> 24);
    }
    EXPECT_EQ(field["hash"], qjtest::hex(h));
}

} // namespace
