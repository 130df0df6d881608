// The sequence fuzzer's shadow model: the facts of the documented design it relies on, the
// state it keeps of what an input did, the charges of the allocation and release rules,
// the checks of the library against it and the report texts it expects.
#ifndef QJ_FUZZ_SEQUENCE_MODEL_H
#define QJ_FUZZ_SEQUENCE_MODEL_H

#include "alloc/alloc.h"
#include "sequence_support.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace seqfuzz {

// --- Facts of the documented design ----------------------------------------------------

constexpr std::uint32_t kPoolClasses[] = {4, 8, 12, 16, 20, 24, 28, 32, 48,
                                          58, 64, 68, 72, 76, 80, 84, 88};
constexpr int kPoolClassCount = 17;
constexpr std::uint32_t kPageSize = 4096;
// Blocks whose request to the runtime heap (gross size, pad and the heap's header) could
// reach 128 KiB, which the heap may return to the system at once, are mapped by the
// library itself and remembered after release: from this gross size on.
constexpr std::uint32_t kLargeBlockGross = 128 * 1024 - 64;
constexpr std::uint32_t kHistogramLimit = 10000;
constexpr std::size_t kTraceStackSlots = 129;
constexpr std::uint32_t kUsedTagLive = 0x059DD3AF;
constexpr std::uint32_t kUsedTagReleased = 0x059DD3AE;
constexpr char kVersionLine[] = "Quorrick.dll Ver:1.01 Date:2005/01/10";

// Limits of this harness, so that an input stays fast and small.
constexpr std::size_t kMaxLiveBlocks = 256;
constexpr std::uint64_t kMaxLiveBytes = 16u << 20;
constexpr std::size_t kMaxPageGuardBlocks = 48;
constexpr int kCells = 8;

// --- The model --------------------------------------------------------------------------

// The six counters of a memory name, trace identifier or resource.
struct Stats {
    std::int32_t peakBytes = 0, peakNumAllocs = 0, numAllocs = 0, bytes = 0, minBlock = 0,
                 maxBlock = 0;

    void add(std::int32_t size) {
        const std::int32_t peakBefore = peakBytes;
        numAllocs = wrap(std::int64_t{numAllocs} + 1);
        bytes = wrap(std::int64_t{bytes} + size);
        if (size >= 0) {
            if (size < minBlock || peakBefore == 0)
                minBlock = size;
            if (size > maxBlock)
                maxBlock = size;
        }
        if (numAllocs > peakNumAllocs)
            peakNumAllocs = numAllocs;
        if (bytes > peakBytes)
            peakBytes = bytes;
    }
    void remove(std::int32_t size) {
        numAllocs = wrap(std::int64_t{numAllocs} - 1);
        bytes = wrap(std::int64_t{bytes} - size);
    }
};

struct Record {
    std::string name;
    Stats stats;
};

struct Site {
    bool exists = false;
    std::int32_t traceId = 0, peakSize = 0, peakNumAllocs = 0, current = 0, currentSize = 0,
                 minSize = 0, maxSize = 0;
};

enum class Source { Plain, Pool, Heap, Large, PageGuard };

struct Block {
    unsigned char* user = nullptr;
    std::uint32_t requested = 0; // the size of the user area
    std::uint32_t gross = 0;
    Source source = Source::Plain;
    int poolClass = -1;
    int site = 0; // 0: main thread, 1: second thread
    std::int32_t name = 0;
    std::uint32_t traceValue = 0;
    std::uint16_t seed = 0; // where the block's signature starts in the table
};

struct Switches {
    bool memoryDll, histogram, pools, callstack, traceIds, usedTag, patterns, tailguards, valloc,
        tags, includeAll, leakreport;
    std::int32_t guardLength, depth, hashSize;
    // Chunks per memoryChunk when the pools' test hook makes them small (0: the real size),
    // so that chains of MemoryPools grow within one input.
    std::int32_t chunksPerPool;
};

struct Model {
    Switches s{};
    // Field widths.
    std::uint32_t UT = 0, TG = 0, CS = 0, TW = 0, GL = 0, head = 0, overhead = 0;

    d::CounterSnapshot base{};
    std::int64_t liveBytes = 0, accumulatedBytes = 0, liveCount = 0, accumulatedCount = 0,
                 unpooled = 0;

    bool histStarted = false;
    std::vector<std::uint32_t> histCurrent, histPeak;
    std::uint32_t largeCurrent = 0, largePeak = 0, histBytes = 0, histPeakBytes = 0;

    std::int32_t nameCount = 0;
    std::array<std::string, 16> names;
    std::array<Stats, 16> nameStats;

    std::vector<Record> traces;
    std::vector<std::pair<std::int32_t, int>> stack; // identifier, thread
    std::array<std::int32_t, kCells> traceCells{};
    std::vector<Record> resources;
    std::array<std::int32_t, kCells> resourceCells{};

    std::array<Site, 2> sites;
    std::array<std::uint32_t, kPoolClassCount> poolLive{};

    std::vector<Block> live;
    // Released blocks whose memory the library keeps for good: page-guard blocks (still
    // counted, pages still mapped) and pooled blocks released on the second thread.
    std::vector<Block> retained;
    std::map<std::uintptr_t, std::uintptr_t> held; // extents the library holds for blocks
    std::uintptr_t low = UINTPTR_MAX, high = 0;     // user pointers of this input
    std::size_t pageGuardBlocks = 0;
    std::uint64_t liveRequested = 0;
    std::uint16_t nextSeed = 1;
};

// The model of the input being run.
extern Model m;

// Where a block of gross size `gross` comes from on `thread` (0: main, 1: second).
Source sourceFor(std::uint32_t gross, int thread);
int poolClassOf(std::uint32_t gross);
std::int32_t innermostTrace();
std::int32_t innermostTraceOf(int thread);
// The record of `name` in `table` (names match without regard to case), added when new.
std::int32_t findOrAddRecord(std::vector<Record>& table, const std::string& name);
// Charges of a guarded block, as the allocation path makes them.
void chargeAllocation(const Block& b, int thread);
// The charges that a release takes back (every release that passes the tests).
void unchargeRelease(const Block& b);
// A fresh model for switches `s`, its counters based on the library's at this moment.
void resetModel(const Switches& s);

// --- Checks -------------------------------------------------------------------------------

void checkCounters(const char* when);
// The signature table and the fill that blocks are compared with.
void buildTables();
// Writes and checks a block's signature (its user area's bytes).
void sign(const Block& b);
void checkSignature(const Block& b);
void checkTailGuard(const Block& b);
unsigned char* blockStart(const Block& b);
// The words and fills a block carries; `fresh`: also the allocation fill.
void checkLayout(const Block& b, bool fresh);
// Marks a block's extent held (no two held extents may overlap) and no longer held.
void hold(const Block& b);
void unhold(const Block& b);

// --- Expected report texts ----------------------------------------------------------------

// A trace or resource report of `table`, `emptyText` when it is empty.
void addReport(ExpectedText& e, const std::vector<Record>& table, const char* emptyText);
// The status text the library's getStatus must return now.
ExpectedText expectedStatus();
void checkHistogramFile(const std::string& path);
// A leak report or allocation dump: its frame and every site's statistics.
void checkSiteReport(const std::string& path, bool includeAll, std::int32_t filter);
void checkStatus();
void checkTraceReport();

} // namespace seqfuzz

#endif // QJ_FUZZ_SEQUENCE_MODEL_H
