// The allocation-site table: one AllocInfo record per distinct call stack, found through
// a fixed bucket array with move-to-front chains, and the statistics charged to it.
//
// Records live in slabs of 256 on pages of their own (the other structures of the table
// come from the runtime heap, through its one seam, never through qj_malloc) and never
// move, so a block can name its record by a 32-bit word: on
// 64-bit targets the record's handle (creation index plus 1), on 32-bit targets its
// address. Either form is checked against the slabs before a release charges it, so a
// block whose word was overwritten cannot steer a write through a wild pointer.
//
// Threads: no process-wide lock on the allocation and release paths:
//   - lookup: the chain's first record is compared without a lock (records are complete
//     before they are published and never move or go away while the table lives); any
//     other case takes the bucket's stripe lock (kSiteStripes of them), which guards the
//     chain: lookup, move to front, insertion. The record store has a spin lock of its
//     own, taken inside a stripe lock when a record is added;
//   - statistics: each charge takes the record's own lock (statsLock) and applies the
//     rules one charge at a time, so the record's fields are the site's current figures
//     whenever no charge is running: a host or a debugger may read them through a block's
//     word at any time.
// The lookups behind a block word read the store without a lock: slabs and slab
// directories never move (a grown directory keeps the one it replaced until the table is
// released). The charges of qj_malloc and qj_free run inside statistics sections
// (alloc/counters.h): reports, resets and the release of the table hold a
// StatisticsFreeze, and so see, change or free the table alone.
#include "tracking/alloc_info.h"

#include "Quorrick.h"
#include "alloc/counters.h"
#include "callstack/callstack.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "trace/trace.h"
#include "trace/trace_stats.h"
#include "tracking/alloc_info_table.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

namespace velt::zur::memory {
namespace detail {

SiteStripe site_stripes[kSiteStripes];
std::atomic<SlabDirectory*> site_directory{nullptr};
std::atomic<std::uint32_t> site_record_count{0};

namespace {

// A slab: pages of its own, so that the records' lines hold nothing else.
constexpr std::size_t kSlabBytes = kSlabRecords * sizeof(AllocInfo);

// Handles run from 1 up; 0 names no record.
constexpr std::uint32_t kMaxRecords = 0xFFFFFFFEu;

std::int32_t hash_size = 0;
std::atomic<AllocInfo*>* buckets = nullptr;
// The last record of each bucket's chain (null: empty), under the bucket's stripe lock;
// null as a whole when it could not be allocated (the chains are then walked).
AllocInfo** bucket_tails = nullptr;
// The stripes' first index slots, kFirstSlots each, in one block.
constexpr std::uint32_t kFirstSlots = 64;
AllocInfo** first_slots = nullptr;

// Serialises additions to the store; taken inside a stripe lock.
SpinLock store_lock;

std::uint32_t foldAddress(std::uintptr_t address) {
    if constexpr (sizeof(std::uintptr_t) > 4)
        return static_cast<std::uint32_t>(address) ^
               static_cast<std::uint32_t>(static_cast<std::uint64_t>(address) >> 32);
    else
        return static_cast<std::uint32_t>(address);
}

// h = rotl8(h ^ a) for each address a in turn, from kHashStart: two dependent steps per
// address, no fixed cost beyond the loop (a capture is a handful of frames).
QJ_ALWAYS_INLINE std::uint32_t hashFrames(const std::uintptr_t* frames, std::int32_t count) {
    std::uint32_t h = kHashStart;
    for (std::int32_t i = 0; i < count; ++i) {
        h ^= foldAddress(frames[i]);
        h = (h << 8) | (h >> 24);
    }
    return h;
}

// h % hash_size without a division on targets with a 128-bit product: the remainder is
// the high half of (M * h mod 2^64) * hash_size, with M = ceil(2^64 / hash_size).
std::uint64_t bucket_magic = 0;

void setBucketMagic(std::uint32_t divisor) {
    bucket_magic = divisor > 1 ? ~std::uint64_t{0} / divisor + 1 : 0;
}

std::uint32_t bucketOf(std::uint32_t h) {
#if defined(__SIZEOF_INT128__)
    if (bucket_magic != 0) {
        const std::uint64_t low = bucket_magic * h;
        return static_cast<std::uint32_t>(
            (static_cast<unsigned __int128>(low) * static_cast<std::uint32_t>(hash_size)) >> 64);
    }
#endif
    return h % static_cast<std::uint32_t>(hash_size);
}

using site_detail::add32;
using site_detail::recordByIndex;

// Entries are stored with release and loaded with acquire: a reader that sees an entry of
// a sort in progress then sees the odd sequence number too.
std::uint32_t order(const SlabDirectory* d, std::uint32_t at) {
    return d->order[at].load(std::memory_order_acquire);
}

// A directory with room for `capacity` slabs holding the slabs of `from` (may be null).
SlabDirectory* newDirectory(const SlabDirectory* from, std::uint32_t capacity) {
    // The directory with its slab array, and the order array: two requests.
    void* raw = heapAllocate(sizeof(SlabDirectory) + capacity * sizeof(AllocInfo*));
    void* rawOrder = heapAllocate(capacity * sizeof(std::atomic<std::uint32_t>));
    if (raw == nullptr || rawOrder == nullptr) {
        heapRelease(raw);
        heapRelease(rawOrder);
        return nullptr;
    }
    auto* d = new (raw) SlabDirectory{};
    d->capacity = capacity;
    d->slabs = reinterpret_cast<AllocInfo**>(d + 1);
    d->order = new (rawOrder) std::atomic<std::uint32_t>[capacity];
    const std::uint32_t count = from != nullptr ? from->count.load(std::memory_order_relaxed) : 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        d->slabs[i] = from->slabs[i];
        d->order[i].store(order(from, i), std::memory_order_release);
    }
    d->count.store(count, std::memory_order_relaxed);
    d->replaced = const_cast<SlabDirectory*>(from);
    return d;
}

// Appends slab `fresh` to the directory (replacing a full one). Caller holds store_lock.
bool addSlab(AllocInfo* fresh) {
    SlabDirectory* d = site_directory.load(std::memory_order_relaxed);
    if (d == nullptr || d->count.load(std::memory_order_relaxed) == d->capacity) {
        SlabDirectory* grown = newDirectory(d, d == nullptr ? 16 : d->capacity * 2);
        if (grown == nullptr)
            return false;
        site_directory.store(grown, std::memory_order_release);
        d = grown;
    }
    const std::uint32_t count = d->count.load(std::memory_order_relaxed);
    d->slabs[count] = fresh;
    // Keep order sorted by address: slabs are few, an insertion is rare.
    d->orderVersion.fetch_add(1, std::memory_order_relaxed);
    std::uint32_t at = count;
    while (at > 0 && reinterpret_cast<std::uintptr_t>(d->slabs[order(d, at - 1)]) >
                         reinterpret_cast<std::uintptr_t>(fresh)) {
        d->order[at].store(order(d, at - 1), std::memory_order_release);
        --at;
    }
    d->order[at].store(count, std::memory_order_release);
    d->orderVersion.fetch_add(1, std::memory_order_release);
    d->count.store(count + 1, std::memory_order_release);
    return true;
}

// A zeroed record in the next free slot, not yet counted in site_record_count. Caller holds
// store_lock.
AllocInfo* reserveRecord() {
    const std::uint32_t count = site_record_count.load(std::memory_order_relaxed);
    if (count >= kMaxRecords)
        return nullptr;
    const std::uint32_t slab = count >> kSlabShift;
    const SlabDirectory* d = site_directory.load(std::memory_order_relaxed);
    if (d == nullptr || slab == d->count.load(std::memory_order_relaxed)) {
        auto* fresh = static_cast<AllocInfo*>(pagesRequest(kSlabBytes));
        if (fresh == nullptr)
            return nullptr;
        if (!addSlab(fresh)) {
            platform::pagesUnmap(fresh, kSlabBytes);
            return nullptr;
        }
    }
    AllocInfo* record = new (recordByIndex(count)) AllocInfo();
    record->handle = count + 1;
    return record;
}

using site_detail::stripeOf;

// --- The statistics ---------------------------------------------------------------------

// One kind of frame's figures of a record.
struct FrameKind {
    std::int32_t AllocInfo::*allocs;
    std::int32_t AllocInfo::*peak;
    std::int32_t AllocInfo::*frame;
    FrameChurn AllocInfo::*churn;
};
constexpr FrameKind kVisual{&AllocInfo::visualFrameAllocs, &AllocInfo::visualFramePeakAllocs,
                            &AllocInfo::visualFrame, &AllocInfo::visualChurn};
constexpr FrameKind kPhysic{&AllocInfo::physicFrameAllocs, &AllocInfo::physicFramePeakAllocs,
                            &AllocInfo::physicFrame, &AllocInfo::physicChurn};

// An allocation of `amount` bytes in frame `frame` of kind `k`. The count is raised and
// compared with its peak before the frame change is noticed: the first allocation of a
// new frame closes the previous frame's count and is not counted itself (the count starts
// again from 0). The churn counts every allocation in the frame current when it is made.
// Caller holds the record's statsLock.
QJ_ALWAYS_INLINE void frameCharge(AllocInfo& r, const FrameKind& k, std::int32_t frame,
                                  std::int32_t amount) {
    const std::int32_t raised = add32(r.*k.allocs, 1);
    r.*k.allocs = raised;
    if (raised > r.*k.peak)
        r.*k.peak = raised;
    FrameChurn& churn = r.*k.churn;
    if (QJ_UNLIKELY(r.*k.frame != frame)) { // the churn's frame is always the record's
        r.*k.allocs = 0;
        r.*k.frame = frame;
        churn = FrameChurn{frame, 0, 0, churn.peakBytes, churn.peakAllocs};
    }
    churn.allocs = add32(churn.allocs, 1);
    churn.bytes = add32(churn.bytes, amount);
    if (churn.bytes > churn.peakBytes)
        churn.peakBytes = churn.bytes;
    if (churn.allocs > churn.peakAllocs)
        churn.peakAllocs = churn.allocs;
}

// An allocation's charge of `amount` bytes (at least 0), in the order of the rules: the
// latest trace, the frame counts, the current figures, the extremes (afresh while the
// byte peak is 0: nothing allocated since creation or the last clear), the peaks.
QJ_ALWAYS_INLINE void chargeAllocation(AllocInfo* r, std::int32_t amount) {
    const std::int32_t trace = innermostTraceOfThread();
    const std::int32_t visual = currentVisualFrame();
    const std::int32_t physic = currentPhysicFrame();
    SpinGuard guard(r->statsLock);
    r->traceId = trace;
    frameCharge(*r, kPhysic, physic, amount);
    frameCharge(*r, kVisual, visual, amount);
    const std::int32_t count = add32(r->currentNumAllocs, 1);
    const std::int32_t bytes = add32(r->currentTotalSize, amount);
    r->currentNumAllocs = count;
    r->currentTotalSize = bytes;
    if (r->peakSize == 0) {
        r->minAllocSize = amount;
        r->maxAllocSize = amount;
    } else {
        if (amount < r->minAllocSize)
            r->minAllocSize = amount;
        if (amount > r->maxAllocSize)
            r->maxAllocSize = amount;
    }
    if (bytes > r->peakSize)
        r->peakSize = bytes;
    if (count > r->peakNumAllocs)
        r->peakNumAllocs = count;
}

// Charges `amount` (negative for a release) to `r` inside a statistics section.
QJ_ALWAYS_INLINE void chargeRecord(AllocInfo* r, std::int32_t amount) {
    if (amount >= 0)
        chargeAllocation(r, amount);
    else
        site_detail::chargeRelease(
            *r, static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(amount)));
}

} // namespace

void allocInfoTableInit(std::int32_t hashSize) {
    allocInfoReleaseTable(); // a table of an earlier start; a host attaches only once
    moduleTableClear();
    if (hashSize > kMaxHashSize)
        hashSize = kMaxHashSize;
    hash_size = 0;
    if (hashSize <= 0)
        return;
    // At most kMaxHashSize pointers: the size cannot wrap.
    const std::size_t bytes = static_cast<std::size_t>(hashSize) * sizeof(std::atomic<AllocInfo*>);
    void* raw = heapAllocate(bytes);
    // Without buckets the table stays off: every lookup returns none.
    if (raw != nullptr) {
        buckets = new (raw) std::atomic<AllocInfo*>[static_cast<std::size_t>(hashSize)];
        for (std::int32_t i = 0; i < hashSize; ++i)
            buckets[i].store(nullptr, std::memory_order_relaxed);
        hash_size = hashSize;
        bucket_tails = static_cast<AllocInfo**>(
            heapAllocate(static_cast<std::size_t>(hashSize) * sizeof(AllocInfo*)));
        if (bucket_tails != nullptr)
            for (std::int32_t i = 0; i < hashSize; ++i)
                bucket_tails[i] = nullptr;
        first_slots = static_cast<AllocInfo**>(
            heapAllocate(std::size_t{kSiteStripes} * kFirstSlots * sizeof(AllocInfo*)));
        for (std::uint32_t i = 0; i < kSiteStripes; ++i) {
            SiteStripe& stripe = site_stripes[i];
            if (first_slots != nullptr) {
                stripe.slots = first_slots + std::size_t{i} * kFirstSlots;
                stripe.slotCount = kFirstSlots;
                for (std::uint32_t j = 0; j < kFirstSlots; ++j)
                    stripe.slots[j] = nullptr;
            } else {
                stripe.indexLost = true;
            }
        }
    }
    setBucketMagic(static_cast<std::uint32_t>(hash_size));
}

std::int32_t allocInfoHashSize() { return hash_size; }

AllocInfo* allocInfoBucket(std::int32_t index) {
    if (buckets == nullptr || index < 0 || index >= hash_size)
        return nullptr;
    return buckets[index].load(std::memory_order_acquire);
}

namespace {

// A site's frames are a dozen words or so: compared in place, without a library call.
QJ_ALWAYS_INLINE bool sameFrames(const std::uintptr_t* a, const std::uintptr_t* b,
                                 std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

QJ_ALWAYS_INLINE bool isSite(const AllocInfo* record, const std::uintptr_t* frames,
                             std::int32_t count, std::uint32_t h) {
    return record->hash == h && record->depth == count && sameFrames(record->frames, frames, count);
}

// The strong hash of a stack: every address mixed into all 64 bits, so that stacks the
// table's hash sends to one value still spread over the index.
QJ_ALWAYS_INLINE std::uint64_t strongKey(const std::uintptr_t* frames, std::int32_t count) {
    std::uint64_t k = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(count);
    for (std::int32_t i = 0; i < count; ++i) {
        k = (k ^ static_cast<std::uint64_t>(frames[i])) * 0xFF51AFD7ED558CCDull;
        k ^= k >> 29;
    }
    return k;
}

QJ_ALWAYS_INLINE std::uint32_t slotOf(const SiteStripe& stripe, std::uint64_t key) {
    return static_cast<std::uint32_t>(key >> 32) & (stripe.slotCount - 1);
}

// The record of the stack in the stripe's index, or null. Caller holds the stripe lock.
AllocInfo* indexFind(const SiteStripe& stripe, std::uint64_t key, const std::uintptr_t* frames,
                     std::int32_t count, std::uint32_t h) {
    if (stripe.slotCount == 0)
        return nullptr;
    for (AllocInfo* r = stripe.slots[slotOf(stripe, key)]; r != nullptr; r = r->indexNext)
        if (r->key == key && isSite(r, frames, count, h))
            return r;
    return nullptr;
}

// Adds a record (its key set) to the stripe's index, growing the slots to keep about one
// record per slot; false when they cannot grow. Caller holds the stripe lock.
bool indexAdd(SiteStripe& stripe, AllocInfo* record) {
    if (stripe.slotCount == 0)
        return false;
    if (stripe.indexed >= stripe.slotCount) {
        const std::uint32_t grown = stripe.slotCount * 2;
        auto** slots =
            static_cast<AllocInfo**>(heapAllocate(std::size_t{grown} * sizeof(AllocInfo*)));
        if (slots == nullptr)
            return false;
        for (std::uint32_t i = 0; i < grown; ++i)
            slots[i] = nullptr;
        AllocInfo** old = stripe.slots;
        const std::uint32_t oldCount = stripe.slotCount;
        const bool oldOwned = stripe.slotsOwned;
        stripe.slots = slots;
        stripe.slotCount = grown;
        stripe.slotsOwned = true;
        for (std::uint32_t i = 0; i < oldCount; ++i) {
            for (AllocInfo* r = old[i]; r != nullptr;) {
                AllocInfo* next = r->indexNext;
                AllocInfo*& slot = slots[slotOf(stripe, r->key)];
                r->indexNext = slot;
                slot = r;
                r = next;
            }
        }
        if (oldOwned)
            heapRelease(old);
    }
    AllocInfo*& slot = stripe.slots[slotOf(stripe, record->key)];
    record->indexNext = slot;
    slot = record;
    ++stripe.indexed;
    return true;
}

// Appends a new record of `count` frames behind `last` (the chain's last record, or null
// for an empty chain) in bucket `bucket`; null when none can be made. Out of line: it runs
// once per site. Caller holds the bucket's stripe lock.
QJ_NOINLINE AllocInfo* insertLocked(const std::uintptr_t* frames, std::int32_t count,
                                    std::uint32_t h, std::uint32_t bucket, AllocInfo* last,
                                    std::uint64_t key) {
    // Short stacks are kept in the record, on its own lines; longer ones on the heap.
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(std::uintptr_t);
    std::uintptr_t* copy = nullptr;
    if (count > kInlineFrames) {
        copy = static_cast<std::uintptr_t*>(heapAllocate(bytes));
        if (copy == nullptr)
            return nullptr;
    }
    AllocInfo* record = nullptr;
    {
        SpinGuard store(store_lock);
        record = reserveRecord();
        if (record != nullptr) {
            if (count != 0) {
                if (copy == nullptr)
                    copy = record->inlineFrames;
                std::memcpy(copy, frames, bytes);
            }
            record->hash = h;
            record->bucket = bucket;
            record->frames = copy;
            record->depth = count;
            record->key = key;
            record->chainPrevious = last;
            site_record_count.store(record->handle, std::memory_order_release);
        }
    }
    if (record == nullptr) {
        heapRelease(copy);
        return nullptr;
    }
    SiteStripe& stripe = site_stripes[bucket % kSiteStripes];
    if (!stripe.indexLost && !indexAdd(stripe, record))
        stripe.indexLost = true;
    if (bucket_tails != nullptr)
        bucket_tails[bucket] = record;
    // New sites go to the tail; published complete (release), for the lookups without
    // the lock.
    if (last != nullptr)
        last->next.store(record, std::memory_order_release);
    else
        buckets[bucket].store(record, std::memory_order_release);
    return record;
}

// Moves a record of bucket `bucket` to the front of its chain. A lookup without the lock
// that is passing by meanwhile either still sees the record or misses it and takes the
// lock. Caller holds the stripe lock.
void moveToFront(AllocInfo* record, std::uint32_t bucket) {
    AllocInfo* previous = record->chainPrevious;
    if (previous == nullptr)
        return; // the first already
    std::atomic<AllocInfo*>& head = buckets[bucket];
    AllocInfo* next = record->next.load(std::memory_order_relaxed);
    previous->next.store(next, std::memory_order_release);
    if (next != nullptr)
        next->chainPrevious = previous;
    else if (bucket_tails != nullptr)
        bucket_tails[bucket] = previous;
    AllocInfo* first = head.load(std::memory_order_relaxed);
    record->next.store(first, std::memory_order_release);
    first->chainPrevious = record;
    record->chainPrevious = nullptr;
    head.store(record, std::memory_order_release);
}

// The record of `count` frames in bucket `bucket`, moved to the front of its chain, or a
// new one at the chain's end; null when none can be made. Takes the stripe lock. The
// stripe's index finds the record, and the chain's last record is kept per bucket, so a
// long chain is never walked; a stripe whose index could not grow walks its chains.
QJ_NOINLINE AllocInfo* findOrInsertSlow(const std::uintptr_t* frames, std::int32_t count,
                                        std::uint32_t h, std::uint32_t bucket) {
    SiteStripe& stripe = site_stripes[bucket % kSiteStripes];
    SpinGuard guard(stripe.lock);
    const std::uint64_t key = strongKey(frames, count);
    if (!stripe.indexLost && bucket_tails != nullptr) {
        if (AllocInfo* record = indexFind(stripe, key, frames, count, h)) {
            moveToFront(record, bucket);
            return record;
        }
        return insertLocked(frames, count, h, bucket, bucket_tails[bucket], key);
    }
    AllocInfo* last = nullptr;
    for (AllocInfo* record = buckets[bucket].load(std::memory_order_relaxed); record != nullptr;
         last = record, record = record->next.load(std::memory_order_relaxed)) {
        if (isSite(record, frames, count, h)) {
            moveToFront(record, bucket);
            return record;
        }
    }
    return insertLocked(frames, count, h, bucket, last, key);
}

// The record of `frames` (found or inserted, moved to the front of its chain); null when
// the table is off or none can be made. A site met first in its chain is found without a
// lock and without a write.
QJ_ALWAYS_INLINE AllocInfo* findOrInsert(const std::uintptr_t* frames, std::int32_t count) {
    if (buckets == nullptr || hash_size <= 0)
        return nullptr;
    if (count < 0)
        count = 0;
    if (count > kMaxCallStackDepth)
        count = kMaxCallStackDepth;
    const std::uint32_t h = hashFrames(frames, count);
    const std::uint32_t bucket = bucketOf(h);
    AllocInfo* first = buckets[bucket].load(std::memory_order_acquire);
    if (QJ_LIKELY(first != nullptr) && QJ_LIKELY(isSite(first, frames, count, h)))
        return first;
    return findOrInsertSlow(frames, count, h, bucket);
}

} // namespace

AllocInfo* allocInfoFindOrInsertFrames(const std::uintptr_t* frames, std::int32_t count) {
    return findOrInsert(frames, count);
}

std::uint32_t allocInfoWord(const AllocInfo* record) {
    if constexpr (kWordIsAddress)
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record));
    else
        return record->handle;
}

AllocInfo* allocInfoRecordAt(std::uintptr_t address) {
    const SlabDirectory* d = site_directory.load(std::memory_order_acquire);
    if (d == nullptr)
        return nullptr;
    for (;;) {
        const std::uint32_t version = d->orderVersion.load(std::memory_order_acquire);
        const std::uint32_t count = d->count.load(std::memory_order_acquire);
        // The last slab that starts at or below the address.
        std::uint32_t low = 0;
        std::uint32_t high = count;
        while (low < high) {
            const std::uint32_t mid = low + (high - low) / 2;
            if (reinterpret_cast<std::uintptr_t>(d->slabs[order(d, mid)]) <= address)
                low = mid + 1;
            else
                high = mid;
        }
        const std::uint32_t slab = low == 0 ? 0 : order(d, low - 1);
        if ((version & 1u) != 0 || d->orderVersion.load(std::memory_order_relaxed) != version)
            continue; // a slab was being sorted in meanwhile
        if (low == 0 || slab >= count)
            return nullptr;
        const std::uintptr_t offset = address - reinterpret_cast<std::uintptr_t>(d->slabs[slab]);
        if (offset % sizeof(AllocInfo) != 0 || offset / sizeof(AllocInfo) >= kSlabRecords)
            return nullptr;
        const std::uint64_t index =
            (std::uint64_t{slab} << kSlabShift) + offset / sizeof(AllocInfo);
        if (index >= site_record_count.load(std::memory_order_acquire))
            return nullptr;
        return recordByIndex(d, static_cast<std::uint32_t>(index));
    }
}

AllocInfo* allocInfoRecord(std::uint32_t word) { return site_detail::recordOfWord(word); }

// Keeps its own frame and is never inlined: the capture skips its return address.
QJ_NOINLINE std::uint32_t allocInfoFindOrInsert(std::int32_t depth) {
    if (buckets == nullptr)
        return 0;
    if (depth > kMaxCallStackDepth)
        depth = kMaxCallStackDepth;
    std::uintptr_t frames[kMaxCallStackDepth];
    const std::int32_t count = captureCallStack(frames, depth < 0 ? 0 : depth, kCaptureSkip);
    if (count < 0)
        return 0;
    AllocInfo* record = allocInfoFindOrInsertFrames(frames, count);
    return record != nullptr ? allocInfoWord(record) : 0;
}

// Same frame rule as allocInfoFindOrInsert, one level further down (kAllocateCaptureSkip).
// The stack is walked outside every lock; the lookup and the charge form one statistics
// section. The frame-pointer walk runs inline from this function's own frame, whose
// return address captureCallStack's skip would have counted first: one fewer to skip.
// (Under the address sanitizer the walk stays in captureCallStack, which the sanitizer
// leaves alone.)
QJ_NOINLINE std::uint32_t allocInfoAllocate(std::int32_t depth, std::int32_t grossSize) {
    if (buckets == nullptr)
        return 0;
    if (depth > kMaxCallStackDepth)
        depth = kMaxCallStackDepth;
    if (depth < 0)
        depth = 0;
    std::uintptr_t frames[kMaxCallStackDepth];
    std::int32_t count = 0;
#if !defined(QJ_ASAN_BUILD)
    if (QJ_LIKELY(frameWalkCapture()))
        count = walkFromFrame(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), frames,
                              depth, kAllocateCaptureSkip - 1);
    else
#endif
        count = captureCallStack(frames, depth, kAllocateCaptureSkip);
    if (count < 0)
        return 0;
    std::uint32_t word = 0;
    // The section (statisticsSection's updateCounters) with the lookup inline in both of its
    // paths: as a call, its closure cost more than the call's three values would.
    updateCounters([&](CounterSlot&) __attribute__((always_inline)) {
        AllocInfo* record = findOrInsert(frames, count);
        if (record == nullptr)
            return;
        chargeAllocation(record, grossSize < 0 ? 0 : grossSize);
        word = allocInfoWord(record);
    });
    return word;
}

void allocInfoRelease(std::uint32_t word, std::int32_t grossSize) {
    updateCounters([word, grossSize](CounterSlot&) { allocInfoUncharge(word, grossSize); });
}

void allocInfoUpdate(std::uint32_t word, std::int32_t amount) {
    updateCounters([word, amount](CounterSlot&) {
        if (AllocInfo* record = allocInfoRecord(word))
            chargeRecord(record, amount);
    });
}

void allocInfoClearTraced() {
    const std::int32_t identifiers = traceIdentifierCount();
    const std::uint32_t records = site_record_count.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < records; ++i) {
        AllocInfo* r = recordByIndex(i);
        if (r->traceId < 0 || r->traceId >= identifiers)
            continue;
        r->peakSize = 0;
        r->peakNumAllocs = 0;
        r->currentNumAllocs = 0;
        r->currentTotalSize = 0;
        r->physicFrameAllocs = 0;
        r->physicFramePeakAllocs = 0;
        r->visualFrameAllocs = 0;
        r->visualFramePeakAllocs = 0;
        r->visualChurn = FrameChurn{r->visualChurn.frame, 0, 0, 0, 0};
        r->physicChurn = FrameChurn{r->physicChurn.frame, 0, 0, 0, 0};
    }
}

void allocInfoClearCurrent() {
    const std::uint32_t records = site_record_count.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < records; ++i) {
        AllocInfo* r = recordByIndex(i);
        r->currentNumAllocs = 0;
        r->currentTotalSize = 0;
    }
}

void allocInfoReleaseRecord(AllocInfo* record) {
    if (record->frames != record->inlineFrames)
        heapRelease(record->frames);
    record->frames = nullptr;
}

void allocInfoReleaseTable() {
    const std::uint32_t records = site_record_count.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < records; ++i)
        allocInfoReleaseRecord(recordByIndex(i));
    SlabDirectory* d = site_directory.load(std::memory_order_acquire);
    // Unpublished first: from here on no word names a record.
    site_record_count.store(0, std::memory_order_release);
    site_directory.store(nullptr, std::memory_order_release);
    if (d != nullptr) {
        const std::uint32_t slabs = d->count.load(std::memory_order_relaxed);
        for (std::uint32_t s = 0; s < slabs; ++s)
            platform::pagesUnmap(d->slabs[s], kSlabBytes);
    }
    while (d != nullptr) {
        SlabDirectory* replaced = d->replaced;
        heapRelease(d->order);
        heapRelease(d);
        d = replaced;
    }
    heapRelease(buckets);
    buckets = nullptr;
    heapRelease(bucket_tails);
    bucket_tails = nullptr;
    for (SiteStripe& stripe : site_stripes) {
        if (stripe.slotsOwned)
            heapRelease(stripe.slots);
        stripe.slots = nullptr;
        stripe.slotCount = 0;
        stripe.indexed = 0;
        stripe.slotsOwned = false;
        stripe.indexLost = false;
    }
    heapRelease(first_slots);
    first_slots = nullptr;
}

} // namespace detail

void set_all_allocations_to_zero() {
    using namespace detail;
    if (!settings.use_callstack)
        return;
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoClearCurrent();
}

void memoryTraceReset() {
    using namespace detail;
    if (!settings.use_traceIdentifiers)
        return;
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoClearTraced();
}

} // namespace velt::zur::memory
