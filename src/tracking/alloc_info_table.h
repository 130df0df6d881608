// Inside the allocation-site table: the record, the lookups behind the block word, the
// clearing operations and the report writer. Used by the tracking sources and their tests.
//
// Locks: each bucket's chain is guarded by the bucket's stripe lock, which the functions
// here take themselves; a chain's first record is looked up without it. A record's
// statistics are charged under the record's own lock (AllocInfo::statsLock). The clearing
// operations and the report writer expect the caller to hold the global lock and a
// StatisticsFreeze (alloc/counters.h), which keeps every charge out meanwhile.
#ifndef QJ_TRACKING_ALLOC_INFO_TABLE_H
#define QJ_TRACKING_ALLOC_INFO_TABLE_H

#include "alloc/counters.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

// What a site allocated in one kind of frame: the frame it last allocated in, its bytes
// and blocks there, and the most of each in any one frame since creation or the last
// clear. Every allocation is counted in the frame that is current when it is made.
struct FrameChurn {
    std::int32_t frame;
    std::int32_t bytes;
    std::int32_t allocs;
    std::int32_t peakBytes;
    std::int32_t peakAllocs;
};

// Return addresses a record holds itself; a longer stack is copied to the heap.
constexpr std::int32_t kInlineFrames = 16;

// One allocation site: a distinct call stack and the statistics of its blocks. Sizes are
// gross block sizes.
//
// The record begins with the seventeen fields that a host or a debugger reads through a
// block's AllocInfo word (on 32-bit Windows the word is the record's address), in this
// order and with these widths: 32-bit values, pointers at the platform's width. Every
// allocation and release of the site brings them up to date under the record's lock
// before it returns, so a reader between two calls sees the site as it is. What the
// table keeps besides (handle, bucket, the lock, the churn figures, short stacks) follows
// them. Records are cache-line aligned, in slabs of pages of their own.
struct alignas(64) AllocInfo {
    std::int32_t depth = 0;           // return addresses in `frames`, 0 to 128
    std::uintptr_t* frames = nullptr; // innermost first; null when depth is 0
    std::uint32_t hash = 0;           // hash of the frames
    std::int32_t traceId = 0;       // caller's own innermost trace at the latest allocation, or -1
    std::int32_t peakSize = 0;      // highest currentTotalSize since creation or the last clear
    std::int32_t peakNumAllocs = 0; // highest currentNumAllocs likewise
    std::int32_t currentNumAllocs = 0;
    std::int32_t currentTotalSize = 0;
    std::int32_t minAllocSize = 0;
    std::int32_t maxAllocSize = 0;
    std::int32_t physicFrameAllocs = 0;
    std::int32_t physicFramePeakAllocs = 0;
    std::int32_t physicFrame = 0;
    std::int32_t visualFrameAllocs = 0;
    std::int32_t visualFramePeakAllocs = 0;
    std::int32_t visualFrame = 0;
    std::atomic<AllocInfo*> next{nullptr}; // next record of the same bucket

    // The table's own.
    std::uint32_t handle = 0;    // the record's handle: its index in creation order plus 1
    std::uint32_t bucket = 0;    // hash modulo the bucket count: the chain it belongs to
    SpinLock statsLock;          // guards the statistics above and the churn below
    FrameChurn visualChurn = {}; // bytes and blocks allocated per visual frame
    FrameChurn physicChurn = {}; // likewise per physics frame
    // The chain's other direction and the stripe's index (alloc_info.cpp), under the
    // bucket's stripe lock: a site met anywhere in a long chain is found and moved to the
    // front without walking the chain.
    AllocInfo* chainPrevious =
        nullptr;                    // the record before this one in its chain; null for the first
    AllocInfo* indexNext = nullptr; // the next record of the same slot of the stripe's index
    std::uint64_t key = 0;          // strong hash of the frames: the index's key

    // `frames` of a stack of up to kInlineFrames return addresses.
    std::uintptr_t inlineFrames[kInlineFrames];
};

// Longest call stack kept per site.
constexpr std::int32_t kMaxCallStackDepth = 128;
// Skipped return addresses: into allocInfoFindOrInsert, into qj_malloc, into the host
// function that called qj_malloc.
constexpr std::int32_t kCaptureSkip = 3;
// allocInfoAllocate's capture skips one more: qj_malloc calls the allocation path's own
// function (never jumps to it), which calls allocInfoAllocate.
constexpr std::int32_t kAllocateCaptureSkip = kCaptureSkip + 1;
// Hash of an empty call stack, and the start of every other.
constexpr std::uint32_t kHashStart = 1906301673u;

// --- The record store and the stripe locks, read inline by the release's uncharge --------

// Block words hold the record's address where an address fits in them.
constexpr bool kWordIsAddress = sizeof(void*) == 4;

constexpr unsigned kSlabShift = 8;
constexpr std::uint32_t kSlabRecords = 1u << kSlabShift;

// The stripe locks: bucket b belongs to stripe b % kSiteStripes.
constexpr std::uint32_t kSiteStripes = 64;
// Each stripe also indexes the records of its buckets by a strong hash of their frames
// (the table's own hash sends stacks that differ only in the order of a few addresses to
// one bucket): slots of chains through AllocInfo::indexNext, a power of two of them, grown
// as records are added. Every stripe's first slots come from one request made with the
// bucket array, so the table's requests to the runtime heap do not depend on how the
// first sites spread over the stripes. Under the stripe's lock.
struct alignas(64) SiteStripe {
    SpinLock lock;
    AllocInfo** slots = nullptr;
    std::uint32_t slotCount = 0;
    std::uint32_t indexed = 0;
    bool slotsOwned = false; // slots is a block of its own (else a share of the first slots)
    bool indexLost = false;  // the index could not grow: this stripe's chains are walked
};
extern QJ_HIDDEN SiteStripe site_stripes[kSiteStripes];

// Record store: slabs in creation order, and the same slabs sorted by address for the
// lookup of a 32-bit word. A directory is replaced, never changed, once readers may see it
// but for its appended slots: slabs[i] and order[] are complete below `count`, which is
// published last. `order` keeps its sorted order under a sequence number: a reader that
// saw it change searches again.
struct SlabDirectory {
    std::atomic<std::uint32_t> count;
    std::uint32_t capacity;
    std::atomic<std::uint32_t> orderVersion;
    SlabDirectory* replaced; // released with the table
    AllocInfo** slabs;
    std::atomic<std::uint32_t>* order;
};
extern QJ_HIDDEN std::atomic<SlabDirectory*> site_directory;
// Records below it are complete.
extern QJ_HIDDEN std::atomic<std::uint32_t> site_record_count;

// The record at address `address`, when it is one; the form of the word on 32-bit targets.
AllocInfo* allocInfoRecordAt(std::uintptr_t address);

namespace site_detail {

// Record `index`, which is below site_record_count, of directory `d`.
QJ_ALWAYS_INLINE AllocInfo* recordByIndex(const SlabDirectory* d, std::uint32_t index) {
    return &d->slabs[index >> kSlabShift][index & (kSlabRecords - 1)];
}
QJ_ALWAYS_INLINE AllocInfo* recordByIndex(std::uint32_t index) {
    return recordByIndex(site_directory.load(std::memory_order_acquire), index);
}
// The record a block word names, or null.
QJ_ALWAYS_INLINE AllocInfo* recordOfWord(std::uint32_t word) {
    if (word == 0)
        return nullptr;
    if constexpr (kWordIsAddress)
        return allocInfoRecordAt(word);
    if (word > site_record_count.load(std::memory_order_acquire))
        return nullptr;
    return recordByIndex(word - 1);
}
QJ_ALWAYS_INLINE SpinLock& stripeOf(std::uint32_t bucket) {
    return site_stripes[bucket % kSiteStripes].lock;
}
// Counts wrap like the 32-bit counters they are, never trap.
QJ_ALWAYS_INLINE std::int32_t add32(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
// A release of `grossSize` bytes: one block fewer, its bytes off. Nothing else changes.
QJ_ALWAYS_INLINE void chargeRelease(AllocInfo& record, std::int32_t grossSize) {
    SpinGuard guard(record.statsLock);
    record.currentNumAllocs = add32(record.currentNumAllocs, -1);
    record.currentTotalSize =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(record.currentTotalSize) -
                                  static_cast<std::uint32_t>(grossSize));
}

} // namespace site_detail

// qj_free's step for a caller inside a statistics section: takes a block of `grossSize`
// back from the record named by `word`; a word that names no record is ignored. Inline:
// the release path makes it without a call.
QJ_ALWAYS_INLINE void allocInfoUncharge(std::uint32_t word, std::int32_t grossSize) {
    AllocInfo* record = site_detail::recordOfWord(word);
    if (record == nullptr)
        return;
    site_detail::chargeRelease(*record, grossSize);
}

// Bucket count of the live table; 0 while tracking is off.
std::int32_t allocInfoHashSize();
AllocInfo* allocInfoBucket(std::int32_t index);

// Steps after the capture: finds or inserts the record of `count` frames. Null when the
// table is off or the runtime heap refuses a new record.
AllocInfo* allocInfoFindOrInsertFrames(const std::uintptr_t* frames, std::int32_t count);
// The block word of a record, and the record a block word names (null when none does).
std::uint32_t allocInfoWord(const AllocInfo* record);
AllocInfo* allocInfoRecord(std::uint32_t word);
// The bytes and blocks of frame `frame` (0 when the site allocated nothing in it yet).
inline std::int32_t frameChurnBytes(const FrameChurn& c, std::int32_t frame) {
    return c.frame == frame ? c.bytes : 0;
}
inline std::int32_t frameChurnAllocs(const FrameChurn& c, std::int32_t frame) {
    return c.frame == frame ? c.allocs : 0;
}

// memoryTraceReset's and set_all_allocations_to_zero's work.
void allocInfoClearTraced() QJ_REQUIRES(global_lock);
void allocInfoClearCurrent() QJ_REQUIRES(global_lock);

// Writes the table to `path` (nothing when null or not openable) as a leak report. With
// `release` every record visited is released, then the bucket array. `traceFilter` -1
// lets every record pass, another value only those with that traceId.
void allocInfoReport(const char* path, bool includeAll, bool release, std::int32_t traceFilter)
    QJ_REQUIRES(global_lock);
// Writes the frame churn export to `path`: the sites that allocated anything since creation
// or the last clear, by their largest bytes in one frame (visual or physics), highest first;
// the first `count` of them, every one when `count` is 0 or less.
void allocInfoChurnReport(const char* path, std::int32_t count) QJ_REQUIRES(global_lock);
// Releases one record's frames (the report's walk), and the whole table: every record
// with its frames, the bucket array and the record store. The hash size stays.
void allocInfoReleaseRecord(AllocInfo* record);
void allocInfoReleaseTable();

// The module table of the report's module section.
constexpr int kModuleCapacity = 128;
extern platform::ModuleInfo moduleTable[kModuleCapacity];
extern std::int32_t moduleCount;
void moduleTableClear();
// Enumerates the process's modules (no lock needed) and installs them in moduleTable
// (under the global lock, which the function takes itself).
void moduleTableRefresh();

} // namespace velt::zur::memory::detail

#endif // QJ_TRACKING_ALLOC_INFO_TABLE_H
