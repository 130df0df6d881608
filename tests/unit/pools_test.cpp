// Chunk pools from the inside: ChunkPools called directly, its reports caught by a
// recorder (so the sticky failure flag stays off), its chains inspected.
//
// Expected values come from the allocator's rules written out here: the class table, the
// nominal 1 MiB memoryChunk, and the link encoding (addresses on 32-bit targets, chunk
// numbers counted from 1 on 64-bit ones).
#include "pools/chunk_pools.h"
#include "pools/pool_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace velt::zur::memory {
namespace {

using detail::ChunkPool;
using detail::MemoryPool;

constexpr bool kAddressLinks = sizeof(void*) == 4;
constexpr std::uint32_t kNominal = 0x100000;

const char kFreeUnknown[] = "memory.dll: chunkPools::free fails, should not come here!";

struct ClassRow {
    std::uint32_t low, high; // gross sizes served
    int classSize;           // as the status table shows it
    std::uintptr_t chunk;    // bytes per chunk
};

const ClassRow kClasses[] = {
    {1, 4, 4, 4},      {5, 8, 8, 8},      {9, 12, 12, 12},   {13, 16, 16, 16},
    {17, 20, 20, 20},  {21, 24, 24, 24},  {25, 28, 28, 28},  {29, 32, 32, 32},
    {33, 48, 48, 48},  {49, 58, 58, 60},  {59, 64, 64, 64},  {65, 68, 68, 68},
    {69, 72, 72, 72},  {73, 76, 76, 76},  {77, 80, 80, 80},  {81, 84, 84, 84},
    {85, 88, 88, 88}};

std::vector<std::string> reports;
void record(const char* message) { reports.emplace_back(message); }

std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint32_t read32(const void* at) {
    std::uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
}
void write32(void* at, std::uint32_t v) { std::memcpy(at, &v, 4); }

std::string column(const std::string& text) { return text + std::string(16 - text.size(), ' '); }

// The status table with the given live-block counts, one per class in table order.
std::string statusText(const std::vector<unsigned>& live) {
    std::string sizes, counts;
    for (std::size_t i = 0; i < std::size(kClasses); ++i) {
        sizes += column(std::to_string(kClasses[i].classSize));
        counts += column(std::to_string(live[i]));
    }
    return "ChunkPools\n" + sizes + "\n" + counts + "\n";
}

std::string printed() {
    char buffer[1024];
    std::memset(buffer, 'x', sizeof buffer);
    char* end = ChunkPools::printStatus(buffer);
    EXPECT_EQ(end, buffer + std::strlen(buffer)) << "must return the terminating zero";
    return buffer;
}

class Pools : public testing::Test {
protected:
    void SetUp() override {
        saved_ = detail::pool_error_sink;
        detail::pool_error_sink = &record;
        reports.clear();
        ChunkPools::init();
    }
    void TearDown() override {
        ChunkPools::shutdown();
        detail::pool_error_sink = saved_;
    }

    struct Block {
        unsigned char* p;
        std::int32_t chain;
    };
    static Block take(std::uint32_t size) {
        std::int32_t chain = -7;
        auto* p = static_cast<unsigned char*>(ChunkPools::alloc(size, chain));
        return {p, chain};
    }
    static ChunkPool& poolOf(std::uint32_t size) { return *detail::sizeToPool[size]; }

private:
    detail::PoolErrorSink saved_ = nullptr;
};

TEST_F(Pools, EachGrossSizeGoesToItsClassAndChunksAscendByChunkSize) {
    std::vector<unsigned> live(std::size(kClasses), 0);
    for (std::size_t c = 0; c < std::size(kClasses); ++c) {
        const ClassRow& row = kClasses[c];
        for (std::uint32_t size = row.low; size <= row.high; ++size) {
            const Block a = take(size);
            const Block b = take(size);
            ASSERT_NE(a.p, nullptr) << size;
            EXPECT_EQ(addr(b.p) - addr(a.p), row.chunk) << "size " << size;
            EXPECT_EQ(a.chain, 0);
            EXPECT_EQ(b.chain, 0);
            live[c] += 2;
        }
        // The first chunk handed out is the start of the class's memoryChunk, which holds
        // chunkSize times (1 MiB / chunkSize) bytes.
        const MemoryPool& m = *poolOf(row.low).first;
        EXPECT_EQ(m.numChunks, static_cast<std::int32_t>(kNominal / row.chunk));
        EXPECT_EQ(m.chunkSize, static_cast<std::int32_t>(row.chunk));
    }
    EXPECT_EQ(printed(), statusText(live));
    EXPECT_TRUE(reports.empty());
}

TEST_F(Pools, SizesNoClassTakesAreDeclinedQuietly) {
    for (std::uint32_t size : {0u, 89u, 90u, 4096u, 0xFFFFFFFFu}) {
        std::int32_t chain = -7;
        EXPECT_EQ(ChunkPools::alloc(size, chain), nullptr) << size;
        EXPECT_EQ(chain, -7);
    }
    EXPECT_EQ(printed(), statusText(std::vector<unsigned>(std::size(kClasses), 0)));
    EXPECT_TRUE(reports.empty());
}

TEST_F(Pools, LastReleasedIsFirstReused) {
    const Block a = take(22), b = take(22), c = take(22);
    ASSERT_TRUE(ChunkPools::free(b.p, 22, b.chain));
    ASSERT_TRUE(ChunkPools::free(a.p, 24, a.chain)); // any size of the class finds it
    EXPECT_EQ(take(21).p, a.p);
    EXPECT_EQ(take(24).p, b.p);
    EXPECT_EQ(take(22).p, c.p + 24); // then the untouched rest, in address order
    EXPECT_TRUE(reports.empty());
}

// Class 88 at its real size: 11915 chunks per memoryChunk.
TEST_F(Pools, FullFirstMemoryPoolAppendsTheNextAndReleasesBringItBack) {
    const std::int32_t perPool = kNominal / 88;
    std::vector<unsigned char*> first;
    for (std::int32_t i = 0; i < perPool; ++i) {
        const Block b = take(88);
        ASSERT_EQ(b.chain, 0);
        first.push_back(b.p);
    }
    EXPECT_EQ(addr(first.back()) - addr(first.front()), std::uintptr_t{88} * (perPool - 1));

    ChunkPool& pool = poolOf(88);
    EXPECT_EQ(pool.firstWithFree, nullptr);
    const Block appended = take(85);
    EXPECT_EQ(appended.chain, 1);
    ASSERT_NE(pool.byIndex[1], nullptr);
    EXPECT_EQ(pool.byIndex[1], pool.first->next);
    EXPECT_EQ(appended.p, pool.byIndex[1]->chunkMemory);

    // A release into the full MemoryPool 0 puts it at the head: it serves next.
    ASSERT_TRUE(ChunkPools::free(first[100], 88, 0));
    EXPECT_EQ(pool.firstWithFree, pool.first);
    const Block again = take(88);
    EXPECT_EQ(again.chain, 0);
    EXPECT_EQ(again.p, first[100]);

    // A release into MemoryPool 1, already on the list behind MemoryPool 0, leaves it there.
    ASSERT_TRUE(ChunkPools::free(first[7], 88, 0));
    ASSERT_TRUE(ChunkPools::free(appended.p, 88, 1));
    EXPECT_EQ(take(88).p, first[7]);
    const Block fromSecond = take(88);
    EXPECT_EQ(fromSecond.chain, 1);
    EXPECT_EQ(fromSecond.p, appended.p);
    EXPECT_EQ(pool.first->liveBlocks, static_cast<std::uint32_t>(perPool + 1));
    EXPECT_EQ(pool.byIndex[1]->liveBlocks, 0u) << "only the first MemoryPool counts";
    EXPECT_TRUE(reports.empty());
}

// Class 4 with two chunks per MemoryPool, so that the chain reaches its limit quickly;
// the allocator runs the same code as with 1 MiB memoryChunks.
TEST_F(Pools, ChainStopsRegisteringAtFiveHundredAndTwelveMemoryPools) {
    ASSERT_TRUE(detail::setNominalChunkBytes(4, 8));
    ChunkPool& pool = poolOf(4);
    std::vector<Block> blocks;
    for (std::int32_t i = 0; i < 2 * detail::maxNumOfChainsPerPool; ++i) {
        blocks.push_back(take(3));
        ASSERT_EQ(blocks.back().chain, i / 2);
    }
    EXPECT_TRUE(reports.empty());
    for (std::int32_t i = 0; i < detail::maxNumOfChainsPerPool; ++i)
        ASSERT_NE(pool.byIndex[i], nullptr);

    // The 513th MemoryPool still serves, but cannot be registered.
    const Block past = take(4);
    ASSERT_NE(past.p, nullptr);
    EXPECT_EQ(past.chain, 512);
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "MemoryPool error , maxNumOfChainsPerPool wrapped",
                           "memory.dll: setInternalPoolByIndex() fails, should not come here"}));
    reports.clear();
    EXPECT_FALSE(ChunkPools::free(past.p, 4, 512));
    EXPECT_EQ(reports, std::vector<std::string>{kFreeUnknown});
    reports.clear();

    // Registered MemoryPools deep in the chain are found by index.
    ASSERT_TRUE(ChunkPools::free(blocks[601].p, 4, 300));
    const Block back = take(1);
    EXPECT_EQ(back.chain, 300);
    EXPECT_EQ(back.p, blocks[601].p);
    EXPECT_EQ(pool.first->liveBlocks, 2u * detail::maxNumOfChainsPerPool + 1);
    EXPECT_TRUE(reports.empty());
}

TEST_F(Pools, FreeWithoutAMatchingMemoryPoolIsRefused) {
    const Block a = take(10);
    struct Case {
        std::uint32_t size;
        std::int32_t chain;
    };
    for (Case c : {Case{10, -1}, Case{10, 512}, Case{10, 40000}, Case{10, 1}, Case{89, 0},
                   Case{0xFFFFFFFF, 0}}) {
        reports.clear();
        EXPECT_FALSE(ChunkPools::free(a.p, c.size, c.chain)) << c.size << "/" << c.chain;
        EXPECT_EQ(reports, std::vector<std::string>{kFreeUnknown});
    }
    EXPECT_EQ(poolOf(10).first->liveBlocks, 1u);
}

// A chunk handed back that is not the start of one of the MemoryPool's chunks is reported
// and never written: below the memoryChunk, at the real end of its chunks (which lies
// before the nominal 1 MiB end for class 24), or off a chunk boundary.
TEST_F(Pools, ForeignChunksAreReportedAndLeftUntouched) {
    const Block a = take(24);
    const Block b = take(24);
    const MemoryPool& m = *poolOf(24).first;
    const std::uintptr_t base = addr(m.chunkMemory);
    const std::uintptr_t realEnd = base + 24u * (kNominal / 24);
    ASSERT_LT(realEnd, base + kNominal);
    const char* below = "trying to free a ptr outside memoryChunk, less";
    const char* past = "trying to free a ptr outside memoryChunk, greater";
    struct Case {
        std::uintptr_t chunk;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {base - 24, {below}},
        {realEnd, {past}},
        {base + kNominal, {past}},
        {addr(b.p) + 4, {past}},
        {0xDDDDDDDDu, {0xDDDDDDDDu < base ? below : past, "memoryPool err 0xddddddddd"}},
    };
    const std::uint32_t before = read32(b.p + 4);
    for (const Case& c : cases) {
        reports.clear();
        EXPECT_TRUE(ChunkPools::free(reinterpret_cast<void*>(c.chunk), 24, 0));
        EXPECT_EQ(reports, c.expected) << std::hex << c.chunk;
    }
    EXPECT_EQ(read32(b.p + 4), before);
    EXPECT_EQ(m.liveBlocks, 2u);
    EXPECT_EQ(take(24).p, b.p + 24) << "the free list is as it was";
    (void)a;
}

// The link in the free chunk after `a`, rewritten before the chunk is taken.
struct LinkCase {
    const char* name;
    // The link to write, given the memoryChunk, its chunk count and chunk size.
    std::uint32_t (*link)(std::uintptr_t base, std::uint32_t count, std::uint32_t size);
    std::vector<std::string> expected;
    bool listDropped; // the next allocation finds no head
};

class PoolLinks : public Pools, public testing::WithParamInterface<LinkCase> {};

TEST_P(PoolLinks, OverwrittenLinkIsReportedAndNeverFollowed) {
    const LinkCase& c = GetParam();
    const Block a = take(22);
    const MemoryPool& m = *poolOf(22).first;
    const std::uintptr_t base = addr(m.chunkMemory);
    const std::uint32_t count = static_cast<std::uint32_t>(m.numChunks);
    ASSERT_EQ(count, kNominal / 24);
    write32(a.p + 24, c.link(base, count, 24));

    const Block b = take(22);
    EXPECT_EQ(b.p, a.p + 24) << "the chunk holding the link passed its own checks";
    EXPECT_EQ(reports, c.expected);
    reports.clear();
    const Block next = take(22);
    if (c.listDropped) {
        EXPECT_EQ(next.p, nullptr);
        EXPECT_EQ(reports, std::vector<std::string>{"currentMemPtr == NULL"});
    } else {
        EXPECT_EQ(addr(next.p), base + 24u * (count - 1)) << "a good link to the last chunk";
        EXPECT_TRUE(reports.empty());
    }
}

const char kMore[] = "more Overwritten memory in pool.";
const char kLess[] = "less Overwritten memory in pool.";

std::uint32_t chunkLink(std::uintptr_t base, std::uint32_t number, std::uint32_t size) {
    return kAddressLinks ? static_cast<std::uint32_t>(base + number * size) : number + 1;
}

INSTANTIATE_TEST_SUITE_P(
    Values, PoolLinks,
    testing::ValuesIn(std::vector<LinkCase>{
        {"LastChunk",
         [](std::uintptr_t b, std::uint32_t n, std::uint32_t s) { return chunkLink(b, n - 1, s); },
         {},
         false},
        {"PastTheLastChunk",
         [](std::uintptr_t b, std::uint32_t n, std::uint32_t s) { return chunkLink(b, n, s); },
         {kMore},
         true},
        {"ReleaseFill", [](std::uintptr_t, std::uint32_t, std::uint32_t) { return 0xDDDDDDDDu; },
         {kMore, "MemoryPool error 0xdddddddd"}, // 32-bit heaps lie below 0xdddddddd
         true},
        {"AllOnes", [](std::uintptr_t, std::uint32_t, std::uint32_t) { return 0xFFFFFFFFu; },
         {kMore},
         true},
        {"EndsTheListEarly", [](std::uintptr_t, std::uint32_t, std::uint32_t) { return 0u; }, {},
         true},
        // Only an address can point below the memoryChunk or between two chunks.
        {"BelowTheMemoryChunk",
         [](std::uintptr_t b, std::uint32_t n, std::uint32_t s) {
             return kAddressLinks ? static_cast<std::uint32_t>(b - s) : n + 1;
         },
         {kAddressLinks ? kLess : kMore},
         true},
        {"OffAChunkBoundary",
         [](std::uintptr_t b, std::uint32_t n, std::uint32_t s) {
             return kAddressLinks ? static_cast<std::uint32_t>(b + 5 * s + 4) : n + 2;
         },
         {kMore},
         true}}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST(PoolsLifecycle, StatusAndCallsAroundInitAndShutdown) {
    const std::string inactive = "ChunkPools not activated\n";
    EXPECT_EQ(printed(), inactive);
    std::int32_t chain = -7;
    EXPECT_EQ(ChunkPools::alloc(10, chain), nullptr);

    ChunkPools::init();
    EXPECT_EQ(printed(), statusText(std::vector<unsigned>(std::size(kClasses), 0)));
    std::int32_t c10 = 0, c58 = 0;
    void* p = ChunkPools::alloc(10, c10);
    ChunkPools::alloc(10, c10);
    ChunkPools::alloc(10, c10);
    ChunkPools::alloc(50, c58);
    ChunkPools::alloc(58, c58);
    ASSERT_TRUE(ChunkPools::free(p, 10, c10));
    std::vector<unsigned> live(std::size(kClasses), 0);
    live[2] = 2; // class 12
    live[9] = 2; // class 58
    EXPECT_EQ(printed(), statusText(live));

    ChunkPools::shutdown();
    EXPECT_EQ(printed(), inactive);
    EXPECT_EQ(ChunkPools::alloc(10, chain), nullptr);
    // The block's memory is gone with the pools: a late release must not touch it.
    EXPECT_TRUE(ChunkPools::free(p, 10, 0));
}

} // namespace
} // namespace velt::zur::memory
