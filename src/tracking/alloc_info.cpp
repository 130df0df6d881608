// The allocation-site table: one AllocInfo record per distinct call stack, found through
// a fixed bucket array with move-to-front chains, and the statistics charged to it.
//
// Records live in slabs of 256 taken from the runtime heap (through its one seam, never
// through qj_malloc) and never move, so a block can name its record by a 32-bit word: on
// 64-bit targets the record's handle (creation index plus 1), on 32-bit targets its
// address. Either form is checked against the slabs before a release charges it, so a
// block whose word was overwritten cannot steer a write through a wild pointer.
#include "tracking/alloc_info.h"

#include "Quorrick.h"
#include "callstack/callstack.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "trace/trace.h"
#include "tracking/alloc_info_table.h"

#include <cstddef>
#include <cstring>

namespace velt::zur::memory {
namespace detail {
namespace {

// Block words hold the record's address where an address fits in them.
constexpr bool kWordIsAddress = sizeof(void*) == 4;

constexpr unsigned kSlabShift = 8;
constexpr std::uint32_t kSlabRecords = 1u << kSlabShift;
// Handles run from 1 up; 0 names no record.
constexpr std::uint32_t kMaxRecords = 0xFFFFFFFEu;

std::int32_t hash_size = 0;
AllocInfo** buckets = nullptr;

// Record store: slabs in creation order, and the same slabs sorted by address for the
// lookup of a 32-bit word. Records below record_count are complete.
AllocInfo** slabs = nullptr;
std::uint32_t* slab_order = nullptr;
std::uint32_t slab_count = 0;
std::uint32_t slab_capacity = 0;
std::uint32_t record_count = 0;

std::int32_t add32(std::int32_t a, std::int32_t b) {
    // Counts wrap like the 32-bit counters they are, never trap.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::uint32_t foldAddress(std::uintptr_t address) {
    if constexpr (sizeof(std::uintptr_t) > 4)
        return static_cast<std::uint32_t>(address) ^
               static_cast<std::uint32_t>(static_cast<std::uint64_t>(address) >> 32);
    else
        return static_cast<std::uint32_t>(address);
}

// h = rotl8(h ^ a) for each address a in turn. Rotation distributes over XOR, so each
// address ends up rotated by 8 bits once per address after it: addresses four apart share
// a rotation. XOR them in four independent lanes and rotate each lane once, instead of a
// chain of two dependent steps per address.
std::uint32_t rotl8(std::uint32_t x, std::uint32_t times) {
    const unsigned bits = (times & 3u) * 8u;
    return bits == 0 ? x : (x << bits) | (x >> (32u - bits));
}

std::uint32_t hashFrames(const std::uintptr_t* frames, std::int32_t count) {
    std::uint32_t lane[4] = {0, 0, 0, 0}; // lane j: the addresses at indices i with i % 4 == j
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        lane[0] ^= foldAddress(frames[i]);
        lane[1] ^= foldAddress(frames[i + 1]);
        lane[2] ^= foldAddress(frames[i + 2]);
        lane[3] ^= foldAddress(frames[i + 3]);
    }
    for (; i < count; ++i)
        lane[i & 3] ^= foldAddress(frames[i]);
    // Address i is rotated count - i times, the start value count times.
    const auto n = static_cast<std::uint32_t>(count);
    return rotl8(kHashStart, n) ^ rotl8(lane[0], n) ^ rotl8(lane[1], n - 1) ^
           rotl8(lane[2], n - 2) ^ rotl8(lane[3], n - 3);
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

AllocInfo* recordByIndex(std::uint32_t index) {
    return &slabs[index >> kSlabShift][index & (kSlabRecords - 1)];
}

bool growSlabDirectory() {
    const std::uint32_t capacity = slab_capacity == 0 ? 16 : slab_capacity * 2;
    auto* newSlabs = static_cast<AllocInfo**>(heapAllocate(capacity * sizeof(AllocInfo*)));
    auto* newOrder = static_cast<std::uint32_t*>(heapAllocate(capacity * sizeof(std::uint32_t)));
    if (newSlabs == nullptr || newOrder == nullptr) {
        heapRelease(newSlabs);
        heapRelease(newOrder);
        return false;
    }
    if (slab_count != 0) {
        std::memcpy(newSlabs, slabs, slab_count * sizeof(AllocInfo*));
        std::memcpy(newOrder, slab_order, slab_count * sizeof(std::uint32_t));
    }
    heapRelease(slabs);
    heapRelease(slab_order);
    slabs = newSlabs;
    slab_order = newOrder;
    slab_capacity = capacity;
    return true;
}

// A zeroed record in the next free slot; it becomes part of the table only when the
// caller counts it in record_count.
AllocInfo* reserveRecord() {
    if (record_count >= kMaxRecords)
        return nullptr;
    const std::uint32_t slab = record_count >> kSlabShift;
    if (slab == slab_count) {
        if (slab_count == slab_capacity && !growSlabDirectory())
            return nullptr;
        auto* fresh = static_cast<AllocInfo*>(heapAllocate(kSlabRecords * sizeof(AllocInfo)));
        if (fresh == nullptr)
            return nullptr;
        // Keep slab_order sorted by address: slabs are few, an insertion is rare.
        std::uint32_t at = slab_count;
        while (at > 0 && reinterpret_cast<std::uintptr_t>(slabs[slab_order[at - 1]]) >
                             reinterpret_cast<std::uintptr_t>(fresh)) {
            slab_order[at] = slab_order[at - 1];
            --at;
        }
        slab_order[at] = slab_count;
        slabs[slab_count++] = fresh;
    }
    AllocInfo* record = recordByIndex(record_count);
    std::memset(record, 0, sizeof *record);
    record->handle = record_count + 1;
    return record;
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
    const std::size_t bytes = static_cast<std::size_t>(hashSize) * sizeof(AllocInfo*);
    buckets = static_cast<AllocInfo**>(heapAllocate(bytes));
    // Without buckets the table stays off: every lookup returns none.
    if (buckets != nullptr) {
        std::memset(buckets, 0, bytes);
        hash_size = hashSize;
    }
    setBucketMagic(static_cast<std::uint32_t>(hash_size));
}

std::int32_t allocInfoHashSize() { return hash_size; }

AllocInfo* allocInfoBucket(std::int32_t index) {
    if (buckets == nullptr || index < 0 || index >= hash_size)
        return nullptr;
    return buckets[index];
}

AllocInfo* allocInfoFindOrInsertFrames(const std::uintptr_t* frames, std::int32_t count) {
    if (buckets == nullptr || hash_size <= 0)
        return nullptr;
    if (count < 0)
        count = 0;
    if (count > kMaxCallStackDepth)
        count = kMaxCallStackDepth;
    const std::uint32_t h = hashFrames(frames, count);
    AllocInfo** head = &buckets[bucketOf(h)];
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(std::uintptr_t);
    AllocInfo* previous = nullptr;
    for (AllocInfo* record = *head; record != nullptr; previous = record, record = record->next) {
        if (record->hash != h || record->depth != count ||
            (count != 0 && std::memcmp(record->frames, frames, bytes) != 0))
            continue;
        if (previous != nullptr) { // move to front: a site that allocates again is met first
            previous->next = record->next;
            record->next = *head;
            *head = record;
        }
        return record;
    }
    AllocInfo* record = reserveRecord();
    if (record == nullptr)
        return nullptr;
    std::uintptr_t* copy = nullptr;
    if (count != 0) {
        copy = static_cast<std::uintptr_t*>(heapAllocate(bytes));
        if (copy == nullptr)
            return nullptr;
        std::memcpy(copy, frames, bytes);
    }
    record->hash = h;
    record->frames = copy;
    record->depth = count;
    // New sites go to the tail; `previous` is the chain's last record, if any.
    if (previous != nullptr)
        previous->next = record;
    else
        *head = record;
    ++record_count;
    return record;
}

std::uint32_t allocInfoWord(const AllocInfo* record) {
    if constexpr (kWordIsAddress)
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record));
    else
        return record->handle;
}

AllocInfo* allocInfoRecordAt(std::uintptr_t address) {
    // The last slab that starts at or below the address.
    std::uint32_t low = 0;
    std::uint32_t high = slab_count;
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (reinterpret_cast<std::uintptr_t>(slabs[slab_order[mid]]) <= address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0)
        return nullptr;
    const std::uint32_t slab = slab_order[low - 1];
    const std::uintptr_t offset = address - reinterpret_cast<std::uintptr_t>(slabs[slab]);
    if (offset % sizeof(AllocInfo) != 0 || offset / sizeof(AllocInfo) >= kSlabRecords)
        return nullptr;
    const std::uint64_t index =
        (std::uint64_t{slab} << kSlabShift) + offset / sizeof(AllocInfo);
    if (index >= record_count)
        return nullptr;
    return recordByIndex(static_cast<std::uint32_t>(index));
}

AllocInfo* allocInfoRecord(std::uint32_t word) {
    if (word == 0)
        return nullptr;
    if constexpr (kWordIsAddress)
        return allocInfoRecordAt(word);
    if (word > record_count)
        return nullptr;
    return recordByIndex(word - 1);
}

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

void allocInfoCharge(AllocInfo* r, std::int32_t amount) {
    if (amount < 0) {
        r->currentNumAllocs = add32(r->currentNumAllocs, -1);
        r->currentTotalSize = add32(r->currentTotalSize, amount);
        return;
    }
    r->traceId = innermostTraceOfThread();
    // The count is raised before a frame change is noticed: the first allocation of a
    // new frame closes the previous frame's count and is not counted itself.
    r->physicFrameAllocs = add32(r->physicFrameAllocs, 1);
    if (r->physicFrameAllocs > r->physicFramePeakAllocs)
        r->physicFramePeakAllocs = r->physicFrameAllocs;
    const std::int32_t physic = currentPhysicFrame();
    if (r->physicFrame != physic) {
        r->physicFrameAllocs = 0;
        r->physicFrame = physic;
    }
    r->visualFrameAllocs = add32(r->visualFrameAllocs, 1);
    if (r->visualFrameAllocs > r->visualFramePeakAllocs)
        r->visualFramePeakAllocs = r->visualFrameAllocs;
    const std::int32_t visual = currentVisualFrame();
    if (r->visualFrame != visual) {
        r->visualFrameAllocs = 0;
        r->visualFrame = visual;
    }
    frameChurnCharge(r->physicChurn, physic, amount);
    frameChurnCharge(r->visualChurn, visual, amount);
    r->currentNumAllocs = add32(r->currentNumAllocs, 1);
    r->currentTotalSize = add32(r->currentTotalSize, amount);
    // A peakSize of 0 marks a site with no allocation since creation or the last clear.
    if (r->peakSize == 0) {
        r->minAllocSize = amount;
        r->maxAllocSize = amount;
    } else {
        if (amount < r->minAllocSize)
            r->minAllocSize = amount;
        if (amount > r->maxAllocSize)
            r->maxAllocSize = amount;
    }
    if (r->currentTotalSize > r->peakSize)
        r->peakSize = r->currentTotalSize;
    if (r->currentNumAllocs > r->peakNumAllocs)
        r->peakNumAllocs = r->currentNumAllocs;
}

void frameChurnCharge(FrameChurn& c, std::int32_t frame, std::int32_t amount) {
    if (c.frame != frame) {
        c.frame = frame;
        c.bytes = 0;
        c.allocs = 0;
    }
    c.bytes = add32(c.bytes, amount);
    c.allocs = add32(c.allocs, 1);
    if (c.bytes > c.peakBytes)
        c.peakBytes = c.bytes;
    if (c.allocs > c.peakAllocs)
        c.peakAllocs = c.allocs;
}

void allocInfoUpdate(std::uint32_t word, std::int32_t amount) {
    if (AllocInfo* record = allocInfoRecord(word))
        allocInfoCharge(record, amount);
}

void allocInfoClearTraced() {
    const std::int32_t identifiers = traceIdentifierCount();
    for (std::uint32_t i = 0; i < record_count; ++i) {
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
    for (std::uint32_t i = 0; i < record_count; ++i) {
        AllocInfo* r = recordByIndex(i);
        r->currentNumAllocs = 0;
        r->currentTotalSize = 0;
    }
}

void allocInfoReleaseRecord(AllocInfo* record) {
    heapRelease(record->frames);
    record->frames = nullptr;
}

void allocInfoReleaseTable() {
    for (std::uint32_t i = 0; i < record_count; ++i)
        allocInfoReleaseRecord(recordByIndex(i));
    for (std::uint32_t s = 0; s < slab_count; ++s)
        heapRelease(slabs[s]);
    heapRelease(slabs);
    heapRelease(slab_order);
    heapRelease(buckets);
    slabs = nullptr;
    slab_order = nullptr;
    buckets = nullptr;
    slab_count = 0;
    slab_capacity = 0;
    record_count = 0;
}

} // namespace detail

void set_all_allocations_to_zero() {
    using namespace detail;
    if (!settings.use_callstack)
        return;
    ScopedLock lock(globalLock());
    allocInfoClearCurrent();
}

void memoryTraceReset() {
    using namespace detail;
    if (!settings.use_traceIdentifiers)
        return;
    ScopedLock lock(globalLock());
    allocInfoClearTraced();
}

} // namespace velt::zur::memory
