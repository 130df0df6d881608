// The allocation-site table: hashing and buckets, chain order, the capture's skip and depth
// cap, the statistics rules, clearing, and the block word that names a record.
#include "Quorrick.h"
#include "alloc/counters.h"
#include "callstack/callstack.h"
#include "frame/locks.h"
#include "frame/settings.h"
#include "trace/trace.h"
#include "tracking/alloc_info.h"
#include "tracking/alloc_info_table.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;
namespace d = velt::zur::memory::detail;

namespace {

using Word = std::uintptr_t;
using Frames = std::vector<Word>;

class AllocInfoTable : public testing::Test {
protected:
    void SetUp() override {
        saved_ = d::settings;
        d::initCallStack();
        d::allocInfoTableInit(57903);
    }
    void TearDown() override {
        d::allocInfoReleaseTable();
        d::settings = saved_;
    }
    static d::AllocInfo* site(const Frames& frames) {
        return d::allocInfoFindOrInsertFrames(frames.data(),
                                              static_cast<std::int32_t>(frames.size()));
    }
    // Both frame counters past 0, a new record's frame: its first allocation closes that
    // frame's count. They advance only with trace identifiers on.
    static void framesPastZero() {
        if (d::currentVisualFrame() == 0)
            qj::nextVisualFrame();
        if (d::currentPhysicFrame() == 0)
            qj::nextPhysicFrame();
    }
    static std::vector<d::AllocInfo*> chain(std::int32_t bucket) {
        std::vector<d::AllocInfo*> records;
        for (d::AllocInfo* r = d::allocInfoBucket(bucket); r != nullptr; r = r->next)
            records.push_back(r);
        return records;
    }
    d::Settings saved_;
};

// --- Hash and bucket ----------------------------------------------------------------------

struct HashCase {
    const char* name;
    Frames frames;
    std::uint32_t hash;
    std::int32_t bucket; // with the default 57903 buckets
};

class HashExamples : public AllocInfoTable, public testing::WithParamInterface<HashCase> {};

TEST_P(HashExamples, RecordHashAndBucket) {
    const HashCase& c = GetParam();
    d::AllocInfo* r = site(c.frames);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->hash, c.hash);
    EXPECT_EQ(r->depth, static_cast<std::int32_t>(c.frames.size()));
    EXPECT_EQ(chain(c.bucket), std::vector<d::AllocInfo*>{r});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HashExamples,
    testing::Values(
        HashCase{"NoFrames", {}, 1906301673u, 19107},
        HashCase{"OneFrame", {0x00401234}, 0xDFC8DD71u, 0xDFC8DD71u % 57903},
        HashCase{"TwoFrames", {0x00401234, 0x00405678}, 0x888B09DFu, 54921},
        HashCase {
            "NineFrames", {0x401000, 0x401111, 0x401222, 0x401333, 0x401444,
                           0x401555, 0x401666, 0x401777, 0x401888},
                0x9F822131u, 2570
        }
#if UINTPTR_MAX > 0xFFFFFFFFu
        // A wide address folds its halves: 0x00401234 ^ 0x00007f00 = 0x00406D34.
        ,
        HashCase{"WideAddressFolds", {0x00007f0000401234}, 0xDFB7DD71u, 38582},
        HashCase{"SixteenWideFrames",
                 {0x7f3a12345678, 0x7f3a13355779, 0x7f3a1436587a, 0x7f3a1537597b, 0x7f3a16385a7c,
                  0x7f3a17395b7d, 0x7f3a183a5c7e, 0x7f3a193b5d7f, 0x7f3a1a3c5e80, 0x7f3a1b3d5f81,
                  0x7f3a1c3e6082, 0x7f3a1d3f6183, 0x7f3a1e406284, 0x7f3a1f416385, 0x7f3a20426486,
                  0x7f3a21436587},
                 0x01EFAA99u,
                 410}
#endif
        ),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

// --- Chains -----------------------------------------------------------------------------------

TEST_F(AllocInfoTable, HitMovesToFrontNewSiteGoesToTail) {
    d::allocInfoTableInit(1); // every site shares bucket 0
    d::AllocInfo* a = site({0xA});
    d::AllocInfo* b = site({0xB});
    EXPECT_EQ(chain(0), (std::vector<d::AllocInfo*>{a, b}));
    EXPECT_EQ(site({0xB}), b);
    EXPECT_EQ(chain(0), (std::vector<d::AllocInfo*>{b, a}));
    d::AllocInfo* c = site({0xC});
    EXPECT_EQ(chain(0), (std::vector<d::AllocInfo*>{b, a, c}));
    EXPECT_EQ(site({0xA}), a); // from the middle
    EXPECT_EQ(chain(0), (std::vector<d::AllocInfo*>{a, b, c}));
    EXPECT_EQ(site({0xA}), a); // already the head
    EXPECT_EQ(chain(0), (std::vector<d::AllocInfo*>{a, b, c}));
}

// Stacks that differ only in the order of addresses four apart share one hash value (and
// so one bucket, whatever the bucket count): 576 of them, found again and again in a fixed
// pseudo-random order. Each keeps its own record and exact count, and the chain stays in
// the order move-to-front gives, computed here from the accesses alone.
TEST_F(AllocInfoTable, CollidingStacksKeepTheirCountsAndTheChainsOrder) {
    const Frames base = {0x401000, 0x402010, 0x403020, 0x404030, 0x405040, 0x406050,
                         0x407060, 0x408070, 0x409080, 0x40a090, 0x40b0a0, 0x40c0b0,
                         0x40d0c0, 0x40e0d0, 0x40f0e0, 0x4100f0};
    std::vector<Frames> stacks;
    std::vector<int> first = {0, 4, 8, 12}, second = {1, 5, 9, 13};
    do {
        std::vector<int> inner = second;
        do {
            Frames f = base;
            for (int i = 0; i < 4; ++i) {
                f[static_cast<std::size_t>(4 * i)] =
                    base[static_cast<std::size_t>(first[static_cast<std::size_t>(i)])];
                f[static_cast<std::size_t>(4 * i + 1)] =
                    base[static_cast<std::size_t>(inner[static_cast<std::size_t>(i)])];
            }
            stacks.push_back(f);
        } while (std::next_permutation(inner.begin(), inner.end()));
    } while (std::next_permutation(first.begin(), first.end()));
    ASSERT_EQ(stacks.size(), 576u);

    std::vector<d::AllocInfo*> records(stacks.size(), nullptr);
    std::vector<std::int32_t> counts(stacks.size(), 0);
    std::vector<std::size_t> order; // the chain as move-to-front makes it
    std::uint32_t lcg = 12345;
    for (int step = 0; step < 5000; ++step) {
        lcg = lcg * 1664525u + 1013904223u;
        // Skewed towards the first stacks, so that hits come from every depth of the chain.
        const std::size_t id = (lcg >> 8) % (step < 1000 ? stacks.size() : 64 + (lcg >> 24) % 512);
        d::AllocInfo* r = site(stacks[id]);
        ASSERT_NE(r, nullptr);
        if (records[id] == nullptr)
            records[id] = r;
        ASSERT_EQ(r, records[id]) << "stack " << id;
        d::allocInfoUpdate(d::allocInfoWord(r), 10);
        ++counts[id];
        const auto at = std::find(order.begin(), order.end(), id);
        if (at == order.end()) {
            order.push_back(id);
        } else {
            order.erase(at);
            order.insert(order.begin(), id);
        }
    }
    const std::uint32_t hash = records[order.front()]->hash;
    std::vector<d::AllocInfo*> expected;
    for (std::size_t id : order) {
        EXPECT_EQ(records[id]->hash, hash) << "stack " << id << " does not collide";
        EXPECT_EQ(records[id]->currentNumAllocs, counts[id]) << "stack " << id;
        expected.push_back(records[id]);
    }
    EXPECT_EQ(chain(static_cast<std::int32_t>(records[order.front()]->bucket)), expected);
}

TEST_F(AllocInfoTable, StacksDifferingOnlyInLengthAreTwoSites) {
    d::AllocInfo* longer = site({0x11, 0x22, 0x33});
    d::AllocInfo* shorter = site({0x11, 0x22});
    ASSERT_NE(longer, shorter);
    EXPECT_EQ(longer->depth, 3);
    EXPECT_EQ(shorter->depth, 2);
    EXPECT_EQ(site({0x11, 0x22}), shorter);
    EXPECT_EQ(site({0x11, 0x22, 0x33}), longer);
    EXPECT_NE(site({0x11, 0x22, 0x34}), longer);
}

// --- The live capture: three skipped frames, depth capped at 128 --------------------------------

// Stands in for qj_malloc: it calls allocInfoFindOrInsert directly.
__attribute__((noinline)) std::uint32_t fakeMalloc(std::int32_t depth) {
    const std::uint32_t word = d::allocInfoFindOrInsert(depth);
    asm volatile("" ::: "memory"); // no tail calls: every function here keeps its frame
    return word;
}

// The host function that calls the allocator.
__attribute__((noinline)) std::uint32_t hostFunction(std::int32_t depth, Word* intoSite) {
    *intoSite = reinterpret_cast<Word>(__builtin_return_address(0));
    const std::uint32_t word = fakeMalloc(depth);
    asm volatile("" ::: "memory");
    return word;
}

// The caller of the host function: the first frame kept.
__attribute__((noinline)) std::uint32_t allocationSite(std::int32_t depth, Word* intoSite,
                                                       Word* intoCaller) {
    *intoCaller = reinterpret_cast<Word>(__builtin_return_address(0));
    const std::uint32_t word = hostFunction(depth, intoSite);
    asm volatile("" ::: "memory");
    return word;
}

__attribute__((noinline)) std::uint32_t nested(int levels, std::int32_t depth) {
    Word intoSite = 0;
    Word intoCaller = 0;
    const std::uint32_t word =
        levels == 0 ? allocationSite(depth, &intoSite, &intoCaller) : nested(levels - 1, depth);
    asm volatile("" ::: "memory");
    return word;
}

TEST_F(AllocInfoTable, CaptureKeepsTheHostFunctionsCallerFirst) {
    Word intoSite = 0;
    Word intoCaller = 0;
    d::AllocInfo* r = d::allocInfoRecord(allocationSite(16, &intoSite, &intoCaller));
    ASSERT_NE(r, nullptr);
    ASSERT_GE(r->depth, 2);
    EXPECT_EQ(r->frames[0], intoSite);
    EXPECT_EQ(r->frames[1], intoCaller);
}

TEST_F(AllocInfoTable, DepthCappedAt128) {
    d::AllocInfo* deep = d::allocInfoRecord(nested(140, 999));
    d::AllocInfo* two = d::allocInfoRecord(nested(140, 2));
    ASSERT_NE(deep, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(deep->depth, 128);
    EXPECT_EQ(two->depth, 2);
    EXPECT_NE(deep, two);
}

TEST_F(AllocInfoTable, NoRecordWhileCaptureIsOffOrTableIsMissing) {
    d::shutdownCallStack();
    Word a = 0;
    Word b = 0;
    EXPECT_EQ(allocationSite(16, &a, &b), 0u);
    EXPECT_EQ(d::allocInfoBucket(19107), nullptr);
    d::initCallStack();

    d::allocInfoTableInit(0);
    EXPECT_EQ(d::allocInfoHashSize(), 0);
    EXPECT_EQ(allocationSite(16, &a, &b), 0u);
    EXPECT_EQ(site({1}), nullptr);

    // Bucket counts are bounded so the array stays allocatable.
    d::allocInfoTableInit(d::kMaxHashSize + 1);
    EXPECT_EQ(d::allocInfoHashSize(), 4194304);
}

// --- Statistics
// -----------------------------------------------------------------------------------

struct Stats {
    std::int32_t peakSize, peakNumAllocs, currentNumAllocs, currentTotalSize, minAllocSize,
        maxAllocSize;
    bool operator==(const Stats& o) const {
        return peakSize == o.peakSize && peakNumAllocs == o.peakNumAllocs &&
               currentNumAllocs == o.currentNumAllocs && currentTotalSize == o.currentTotalSize &&
               minAllocSize == o.minAllocSize && maxAllocSize == o.maxAllocSize;
    }
};
std::ostream& operator<<(std::ostream& out, const Stats& s) {
    return out << "{peak " << s.peakSize << "/" << s.peakNumAllocs << " current "
               << s.currentNumAllocs << "/" << s.currentTotalSize << " min " << s.minAllocSize
               << " max " << s.maxAllocSize << "}";
}
// The record's figures as they stand: every charge leaves them current.
Stats stats(const d::AllocInfo* r) {
    return {r->peakSize,         r->peakNumAllocs, r->currentNumAllocs,
            r->currentTotalSize, r->minAllocSize,  r->maxAllocSize};
}

TEST_F(AllocInfoTable, ChargesPeaksAndClearCurrent) {
    d::AllocInfo* r = site({0x100});
    const std::uint32_t word = d::allocInfoWord(r);
    d::allocInfoUpdate(word, 40);
    d::allocInfoUpdate(word, 60);
    d::allocInfoUpdate(word, -40);
    EXPECT_EQ(stats(r), (Stats{100, 2, 1, 60, 40, 60}));
    EXPECT_EQ(r->traceId, -1);

    // A release after the clear drives the current figures below zero; peaks stay.
    d::allocInfoClearCurrent();
    EXPECT_EQ(stats(r), (Stats{100, 2, 0, 0, 40, 60}));
    d::allocInfoUpdate(word, -60);
    EXPECT_EQ(stats(r), (Stats{100, 2, -1, -60, 40, 60}));
    // Smaller and larger blocks move the extremes; a zero-byte charge is a size like any.
    d::allocInfoUpdate(word, 0);
    d::allocInfoUpdate(word, 500);
    EXPECT_EQ(stats(r), (Stats{440, 2, 1, 440, 0, 500}));
}

TEST_F(AllocInfoTable, PerFrameCounts) {
    d::settings.use_traceIdentifiers = true; // the frame counters advance only then
    framesPastZero();
    const std::int32_t visual = d::currentVisualFrame();
    const std::int32_t physic = d::currentPhysicFrame();
    d::AllocInfo* r = site({0x200});
    const std::uint32_t word = d::allocInfoWord(r);

    struct Step {
        bool nextVisual;
        std::int32_t visualAllocs, visualPeak, visualFrame, physicAllocs, physicPeak;
    };
    // The first charge of a new frame closes the previous count and is not counted itself.
    const Step steps[] = {
        {false, 0, 1, visual, 0, 1},     {false, 1, 1, visual, 1, 1},
        {false, 2, 2, visual, 2, 2},     {true, 0, 3, visual + 1, 3, 3},
        {false, 1, 3, visual + 1, 4, 4},
    };
    int i = 0;
    for (const Step& s : steps) {
        if (s.nextVisual)
            qj::nextVisualFrame();
        d::allocInfoUpdate(word, 8);
        d::allocInfoUpdate(word, -8); // releases leave the frame counts alone
        EXPECT_EQ(r->visualFrameAllocs, s.visualAllocs) << "step " << i;
        EXPECT_EQ(r->visualFramePeakAllocs, s.visualPeak) << "step " << i;
        EXPECT_EQ(r->visualFrame, s.visualFrame) << "step " << i;
        EXPECT_EQ(r->physicFrameAllocs, s.physicAllocs) << "step " << i;
        EXPECT_EQ(r->physicFramePeakAllocs, s.physicPeak) << "step " << i;
        EXPECT_EQ(r->physicFrame, physic) << "step " << i;
        ++i;
    }
}

TEST_F(AllocInfoTable, TraceIdFollowsLastThreadAndClearTracedResetsOnlyTracedSites) {
    d::settings.use_traceIdentifiers = true;
    d::AllocInfo* traced = site({0x300});
    d::AllocInfo* untraced = site({0x301});
    std::int32_t cell = -1;
    qj::startMemoryTrace(cell, "alloc info test trace");
    ASSERT_GE(cell, 0);
    d::allocInfoUpdate(d::allocInfoWord(traced), 100);
    d::allocInfoUpdate(d::allocInfoWord(traced), 30);
    EXPECT_EQ(traced->traceId, cell);
    // Another thread does not see this thread's trace.
    std::thread([&] { d::allocInfoUpdate(d::allocInfoWord(untraced), 8); }).join();
    EXPECT_EQ(untraced->traceId, -1);
    d::allocInfoUpdate(d::allocInfoWord(untraced), 8);
    EXPECT_EQ(untraced->traceId, cell);
    std::thread([&] { d::allocInfoUpdate(d::allocInfoWord(untraced), 8); }).join();
    EXPECT_EQ(untraced->traceId, -1);
    qj::endMemoryTrace(cell);
    d::allocInfoUpdate(d::allocInfoWord(traced), -30);
    traced->physicFramePeakAllocs = 5;

    d::allocInfoClearTraced();
    EXPECT_EQ(stats(traced), (Stats{0, 0, 0, 0, 30, 100}));
    EXPECT_EQ(traced->physicFramePeakAllocs, 0);
    EXPECT_EQ(traced->traceId, cell);
    EXPECT_EQ(stats(untraced), (Stats{24, 3, 3, 24, 8, 8}));
    // The first charge after the clear sets both extremes afresh.
    d::allocInfoUpdate(d::allocInfoWord(traced), 70);
    EXPECT_EQ(stats(traced), (Stats{70, 1, 1, 70, 70, 70}));
}

// --- The block word -----------------------------------------------------------------------------

TEST_F(AllocInfoTable, WordsNameOnlyLiveRecords) {
    std::vector<d::AllocInfo*> records;
    std::set<std::uint32_t> words;
    for (Word i = 1; i <= 300; ++i) { // more than one slab of records
        records.push_back(site({i}));
        ASSERT_NE(records.back(), nullptr);
        words.insert(d::allocInfoWord(records.back()));
    }
    ASSERT_EQ(words.size(), 300u);
    for (d::AllocInfo* r : records) {
        EXPECT_EQ(d::allocInfoRecord(d::allocInfoWord(r)), r);
        EXPECT_EQ(d::allocInfoRecordAt(reinterpret_cast<Word>(r)), r);
    }
    const std::uint32_t highest = *words.rbegin();
    for (std::uint32_t bad : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu, highest + 1, highest + 4}) {
        if (words.count(bad) == 0) {
            EXPECT_EQ(d::allocInfoRecord(bad), nullptr) << bad;
        }
    }
    // Addresses inside a record, past the last record, or elsewhere are no record.
    int local = 0;
    std::vector<char> heap(64);
    for (Word bad :
         {reinterpret_cast<Word>(records[5]) + 4, reinterpret_cast<Word>(records[299] + 1),
          reinterpret_cast<Word>(&local), reinterpret_cast<Word>(heap.data()), Word{0}}) {
        EXPECT_EQ(d::allocInfoRecordAt(bad), nullptr) << bad;
    }

    // A release through a word that names nothing charges nothing.
    d::allocInfoUpdate(d::allocInfoWord(records[0]), 10);
    for (std::uint32_t bad : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu, highest + 1}) {
        if (words.count(bad) == 0)
            d::allocInfoUpdate(bad, -10);
    }
    EXPECT_EQ(stats(records[0]), (Stats{10, 1, 1, 10, 10, 10}));

    // Once the table is released no word names anything.
    const std::uint32_t first = d::allocInfoWord(records[0]);
    d::allocInfoReport(nullptr, false, true, -1);
    EXPECT_EQ(d::allocInfoRecord(first), nullptr);
}

// --- The record as a host reads it ----------------------------------------------------------

// Where each of the seventeen fields lies, worked out as the host's compiler lays out the
// record: 32-bit values, and pointers at the platform's width and alignment.
struct FieldOffsets {
    std::size_t depth, frames, hash, traceId, peakSize, peakNumAllocs, currentNumAllocs,
        currentTotalSize, minAllocSize, maxAllocSize, physicFrameAllocs, physicFramePeakAllocs,
        physicFrame, visualFrameAllocs, visualFramePeakAllocs, visualFrame, next;
};
constexpr std::size_t alignUp(std::size_t at, std::size_t to) { return (at + to - 1) / to * to; }
constexpr FieldOffsets kOffsets = [] {
    constexpr std::size_t p = sizeof(void*);
    FieldOffsets o{};
    o.depth = 0;
    o.frames = alignUp(4, p);
    o.hash = o.frames + p;
    std::size_t* const ints[] = {
        &o.traceId,          &o.peakSize,          &o.peakNumAllocs,
        &o.currentNumAllocs, &o.currentTotalSize,  &o.minAllocSize,
        &o.maxAllocSize,     &o.physicFrameAllocs, &o.physicFramePeakAllocs,
        &o.physicFrame,      &o.visualFrameAllocs, &o.visualFramePeakAllocs,
        &o.visualFrame};
    std::size_t at = o.hash + 4;
    for (std::size_t* field : ints) {
        *field = at;
        at += 4;
    }
    o.next = alignUp(at, p);
    return o;
}();
static_assert(sizeof(void*) != 4 || kOffsets.next == 64, "seventeen 32-bit fields on 32 bits");

template <class T> T readAt(const void* record, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

// A record read as raw memory, the way a debugger reads it through a block's word, after
// each charge and without any report in between: every field holds the site's figures.
TEST_F(AllocInfoTable, RecordReadAsMemoryHoldsTheCurrentFigures) {
    d::settings.use_traceIdentifiers = true;
    const Frames frames{0x401000, 0x402000, 0x403000};
    d::AllocInfo* r = site(frames);
    ASSERT_NE(r, nullptr);
    const std::uint32_t word = d::allocInfoWord(r);
    framesPastZero();
    const std::int32_t visual = d::currentVisualFrame();
    const std::int32_t physic = d::currentPhysicFrame();

    struct Step {
        std::int32_t amount;
        std::int32_t peakSize, peakNumAllocs, currentNumAllocs, currentTotalSize, minAllocSize,
            maxAllocSize, frameAllocs, framePeakAllocs;
    };
    const Step steps[] = {
        {40, 40, 1, 1, 40, 40, 40, 0, 1},     {100, 140, 2, 2, 140, 40, 100, 1, 1},
        {-40, 140, 2, 1, 100, 40, 100, 1, 1}, {24, 140, 2, 2, 124, 24, 100, 2, 2},
        {-100, 140, 2, 1, 24, 24, 100, 2, 2}, {-24, 140, 2, 0, 0, 24, 100, 2, 2},
    };
    for (const Step& s : steps) {
        d::allocInfoUpdate(word, s.amount);
        SCOPED_TRACE(s.amount);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.depth), 3);
        const auto* stored = readAt<const Word*>(r, kOffsets.frames);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(Frames(stored, stored + 3), frames);
        // The rule written out: h = rotl8(h ^ address) from 0x719FDAE9.
        std::uint32_t h = 0x719FDAE9u;
        for (Word f : frames) {
            h ^= static_cast<std::uint32_t>(f);
            h = (h << 8) | (h >> 24);
        }
        EXPECT_EQ(readAt<std::uint32_t>(r, kOffsets.hash), h);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.traceId), -1);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.peakSize), s.peakSize);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.peakNumAllocs), s.peakNumAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.currentNumAllocs), s.currentNumAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.currentTotalSize), s.currentTotalSize);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.minAllocSize), s.minAllocSize);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.maxAllocSize), s.maxAllocSize);
        // One frame throughout: every allocation after the first counts in it (releases
        // leave the counts alone).
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.physicFrameAllocs), s.frameAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.physicFramePeakAllocs), s.framePeakAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.physicFrame), physic);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.visualFrameAllocs), s.frameAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.visualFramePeakAllocs), s.framePeakAllocs);
        EXPECT_EQ(readAt<std::int32_t>(r, kOffsets.visualFrame), visual);
    }
    EXPECT_EQ(readAt<const d::AllocInfo*>(r, kOffsets.next), nullptr);

    // `next` links the records of one bucket; a new site goes to the chain's tail.
    d::allocInfoReleaseTable();
    d::allocInfoTableInit(7);
    d::AllocInfo* first = site({0x10});
    d::AllocInfo* other = nullptr;
    for (Word f = 0x20; other == nullptr && f < 0x10000; f += 0x10) {
        d::AllocInfo* candidate = site({f});
        if (candidate->hash % 7 == first->hash % 7)
            other = candidate;
    }
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(readAt<const d::AllocInfo*>(first, kOffsets.next), other);
}

// --- Threads -----------------------------------------------------------------------------------

TEST(AllocInfoStress, ThreadsChargeAndReportUnderTheGlobalLock) {
    d::initCallStack();
    d::allocInfoTableInit(1001);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    const ScratchDir scratch;
    const std::string path = scratch.file("alloc_info_stress.txt");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::vector<std::uint32_t> live;
            for (int i = 0; i < kRounds; ++i) {
                qj::ScopedLock lock(d::globalLock());
                Word a = 0;
                Word b = 0;
                const std::uint32_t word = (i % 3 == 0)
                                               ? allocationSite(16, &a, &b)
                                               : d::allocInfoWord(d::allocInfoFindOrInsertFrames(
                                                     Frames{Word(t), Word(i % 7)}.data(), 2));
                d::allocInfoUpdate(word, 16);
                live.push_back(word);
                if (i % 2 == 1) {
                    d::allocInfoUpdate(live.back(), -16);
                    live.pop_back();
                }
            }
        });
    }
    threads.emplace_back([&path] {
        for (int i = 0; i < 20; ++i) {
            qj::ScopedLock lock(d::globalLock());
            d::StatisticsFreeze freeze;
            d::allocInfoReport(path.c_str(), true, false, -1);
        }
    });
    for (std::thread& thread : threads)
        thread.join();

    std::int64_t live = 0;
    for (std::int32_t b = 0; b < d::allocInfoHashSize(); ++b)
        for (d::AllocInfo* r = d::allocInfoBucket(b); r != nullptr; r = r->next)
            live += r->currentNumAllocs;
    EXPECT_EQ(live, kThreads * kRounds / 2);
    d::allocInfoReport(nullptr, false, true, -1);
}

} // namespace
