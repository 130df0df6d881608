// Size histogram: live and peak block counts per gross size below HistogramSizeLimit, one
// shared pair of counts for the larger blocks, and the byte total with its peak.
//
// The allocation and release paths take no lock: every count is an atomic, a raise adds
// and keeps the peak with a compare-and-swap maximum of the value its own add produced,
// so the peaks are exact however the threads interleave. Those updates run inside
// statistics sections (alloc/counters.h); the file, the clears and the reset hold a
// StatisticsFreeze, under which no update runs, and the histogram lock, which keeps them
// apart from each other. The counts and byte totals are unsigned 32-bit and wrap without
// notice.
#include "histogram/histogram.h"
#include "outputs/outputs.h"

#include "Quorrick.h"
#include "alloc/counters.h"
#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "frame/text_builder.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <new>

namespace velt::zur::memory {

namespace detail {

HistogramRecord histogram_table[kHistogramRecords];
PeakGauge histogram_bytes(kHistogramBytesShare, true);
std::atomic<std::uint32_t> histogram_generation{0};
std::atomic<bool> histogram_shares_off{false};
std::atomic<bool> histogram_started{false};
std::atomic<std::uint32_t> histogram_no_shares[kHistogramRecords] = {};

namespace {

using namespace histogram_detail;

// Gross size HistogramSizeLimit or more.
constexpr HistogramRecord& large_blocks = histogram_table[HistogramSizeLimit];

std::uint32_t get(const std::uint32_t& v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
void put(std::uint32_t& v, std::uint32_t value) { __atomic_store_n(&v, value, __ATOMIC_RELAXED); }

bool isClosed(std::uint32_t share) { return share - 1 > kShareRange; }
std::uint32_t headroom(std::uint32_t share) { return isClosed(share) ? 0 : share - 1; }
constexpr std::uint32_t kNeverOpened = 0;

template <class Visit> void forEachTable(Visit visit) {
    forEachCounterSlot([&visit](CounterSlot& slot) {
        std::atomic<std::uint32_t>* table = slot.histogramShares.load(std::memory_order_seq_cst);
        if (table != histogram_no_shares)
            visit(table);
    });
}

// The calling thread's table, made at its first counted block (fresh pages are zeros:
// every share never opened); null when the system has no pages for it: the thread then
// counts on R alone.
std::atomic<std::uint32_t>* tableOf(CounterSlot& slot) {
    std::atomic<std::uint32_t>* table = slot.histogramShares.load(std::memory_order_acquire);
    if (table != histogram_no_shares)
        return table;
    constexpr std::size_t kBytes = sizeof(std::atomic<std::uint32_t>) * kHistogramRecords;
    void* pages = pagesRequest(kBytes);
    if (pages == nullptr)
        return nullptr;
    table = new (pages) std::atomic<std::uint32_t>[kHistogramRecords];
    // Sequentially consistent, as a new slot is (alloc/counters.cpp): a raise that takes
    // its turn after this thread has looked at the generation finds the table.
    std::atomic<std::uint32_t>* none = histogram_no_shares;
    if (!slot.histogramShares.compare_exchange_strong(none, table, std::memory_order_seq_cst)) {
        platform::pagesUnmap(pages, kBytes); // the emergency slot's table, made by another thread
        return none;
    }
    return table;
}

// Adds one to R if R stays within the peak.
bool addWithinPeak(HistogramRecord& record) {
    std::uint32_t seen = load(record.reserve);
    while (seen < load(record.peak)) {
        if (__atomic_compare_exchange_n(&record.reserve, &seen, seen + 1, true, __ATOMIC_SEQ_CST,
                                        __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

// One block more for record `index`, by the thread whose share is `own` (null when it has
// no table), that takes R past the peak.
void raise(std::uint32_t index, std::atomic<std::uint32_t>* own) {
    HistogramRecord& record = histogram_table[index];
    std::uint32_t generation = histogram_generation.load(std::memory_order_relaxed);
    for (;;) {
        if ((generation & 1u) == 0 &&
            histogram_generation.compare_exchange_weak(generation, generation + 1,
                                                       std::memory_order_seq_cst,
                                                       std::memory_order_relaxed))
            break;
        platform::relax();
        // The room another raise hands out may take this block after all.
        if (addWithinPeak(record))
            return;
        generation = histogram_generation.load(std::memory_order_relaxed);
    }
    // Close the record's share on every thread, collecting the headroom; the threads that
    // held some get a part of the room back.
    const std::uint32_t closed = ((generation + 1) & 0x7FFFu) << 17;
    std::uint32_t collected = 0;
    constexpr int kMostHolders = 32;
    std::atomic<std::uint32_t>* holders[kMostHolders + 1];
    int holderCount = 0;
    if (own != nullptr)
        holders[holderCount++] = own;
    forEachTable([&](std::atomic<std::uint32_t>* table) {
        std::atomic<std::uint32_t>& share = table[index];
        const std::uint32_t old = share.exchange(closed, std::memory_order_seq_cst);
        collected += headroom(old);
        if (headroom(old) != 0 && &share != own && holderCount <= kMostHolders)
            holders[holderCount++] = &share;
    });
    // No thread holds headroom: R = count + collected, and this add yields the exact count.
    const std::uint32_t change = 1u - collected;
    const std::uint32_t count =
        __atomic_add_fetch(&record.reserve, change, __ATOMIC_SEQ_CST);
    if (count > load(record.peak))
        put(record.peak, count);
    if (holderCount > 0) {
        std::uint32_t seen = load(record.reserve);
        std::uint32_t part = 0;
        for (;;) {
            const std::uint32_t peak = load(record.peak);
            part = seen < peak ? (peak - seen) / static_cast<std::uint32_t>(holderCount) : 0;
            if (part > kShareRange)
                part = kShareRange;
            if (part == 0 ||
                __atomic_compare_exchange_n(&record.reserve, &seen,
                                            seen + part * static_cast<std::uint32_t>(holderCount),
                                            true, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED))
                break;
        }
        if (part != 0)
            for (int i = 0; i < holderCount; ++i)
                holders[i]->store(part + 1, std::memory_order_seq_cst);
    }
    histogram_generation.store(generation + 2, std::memory_order_release);
}

// Under a StatisticsFreeze: every share of the records below `end` closed, its headroom
// taken off R, so that R is the count; the shares reopen at their threads' next charge.
void collectShares(std::uint32_t end) {
    forEachTable([end](std::atomic<std::uint32_t>* table) {
        for (std::uint32_t i = 0; i < end; ++i) {
            const std::uint32_t old = table[i].exchange(kNeverOpened, std::memory_order_relaxed);
            if (headroom(old) != 0)
                __atomic_sub_fetch(&histogram_table[i].reserve, headroom(old), __ATOMIC_RELAXED);
        }
    });
}

// Under a StatisticsFreeze: the live count of record `index`.
std::uint32_t currentOf(std::uint32_t index, std::atomic<std::uint32_t>* const* tables,
                        int tableCount) {
    std::uint32_t held = 0;
    for (int t = 0; t < tableCount; ++t)
        held += headroom(tables[t][index].load(std::memory_order_relaxed));
    return get(histogram_table[index].reserve) - held;
}

void clearAll() {
    collectShares(kHistogramRecords);
    for (HistogramRecord& r : histogram_table) {
        put(r.peak, 0);
        put(r.reserve, 0);
    }
    histogram_bytes.clear();
    histogram_shares_off.store(false, std::memory_order_relaxed);
}

} // namespace

namespace histogram_detail {

void countSlow(CounterSlot& slot, std::uint32_t index) {
    if (QJ_UNLIKELY(!histogram_started.load(std::memory_order_relaxed)))
        histogram_started.store(true, std::memory_order_relaxed);
    HistogramRecord& record = histogram_table[index];
    if (histogram_shares_off.load(std::memory_order_relaxed)) {
        // Every change on R, which is the count: the peak is a maximum of the values the
        // adds produce.
        const std::uint32_t count = __atomic_add_fetch(&record.reserve, 1u, __ATOMIC_SEQ_CST);
        std::uint32_t seen = load(record.peak);
        while (count > seen && !__atomic_compare_exchange_n(&record.peak, &seen, count, true,
                                                            __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        }
        return;
    }
    std::atomic<std::uint32_t>* table = tableOf(slot);
    std::atomic<std::uint32_t>* own = table != nullptr ? &table[index] : nullptr;
    while (own != nullptr) {
        std::uint32_t seen = own->load(std::memory_order_acquire);
        if (isClosed(seen)) {
            // Reopen it, empty, unless a raise runs (a raise that starts later closes it
            // again first, and this compare fails, or collects it afterwards), or R stands
            // above the peak (histogramClearPeaks): until a raise has set the peak again,
            // a charge from headroom would not raise it.
            if ((histogram_generation.load(std::memory_order_seq_cst) & 1u) != 0 ||
                load(record.reserve) > load(record.peak) ||
                !own->compare_exchange_strong(seen, 1, std::memory_order_seq_cst))
                break;
            continue;
        }
        if (seen == 1)
            break;
        if (own->compare_exchange_strong(seen, seen - 1, std::memory_order_relaxed))
            return;
    }
    if (addWithinPeak(record))
        return;
    raise(index, own);
}

} // namespace histogram_detail

void histogramWriteFile(const char* path) {
    ScopedLock lock(histogramLock());
    StatisticsFreeze freeze;
    if (!histogram_started.load(std::memory_order_relaxed) || path == nullptr)
        return;
    std::FILE* file = outputs::openForWriting(path, "wt");
    if (file == nullptr)
        return;
    char text[4096];
    TextBuilder out(text, sizeof text, file);
    // The large-block counts include blocks of exactly HistogramSizeLimit bytes.
    out.append("Allocations greater than %u bytes\n", HistogramSizeLimit);
    // Every count is R less the threads' headroom: the tables are gathered once.
    constexpr int kMostTables = 256;
    std::atomic<std::uint32_t>* tables[kMostTables];
    int tableCount = 0;
    forEachTable([&](std::atomic<std::uint32_t>* table) {
        if (tableCount < kMostTables)
            tables[tableCount++] = table;
    });
    if (tableCount == kMostTables) {
        // More threads than the list holds: take their headroom back instead.
        collectShares(kHistogramRecords);
        tableCount = 0;
    }
    auto current = [&](std::uint32_t index) { return currentOf(index, tables, tableCount); };
    const PeakGaugeValues bytes = histogram_bytes.read();
    out.append("Current:%u Peak:%u\n", current(HistogramSizeLimit), get(large_blocks.peak));
    out.append("Total bytes allocated. Current:%u Peak:%u\n\n",
               static_cast<std::uint32_t>(bytes.bytes), static_cast<std::uint32_t>(bytes.peakBytes));
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const std::uint32_t live = current(size);
        if (live > 0)
            out.append("Size:%u Current:%u Peak:%u\n", size, live, get(histogram_table[size].peak));
    }
    out.appendText("\nBlocks where current is zero\n\n");
    for (std::uint32_t size = 0; size < HistogramSizeLimit; ++size) {
        const std::uint32_t peak = get(histogram_table[size].peak);
        if (peak > 0 && current(size) == 0)
            out.append("Size:%u Peak:%u\n", size, peak);
    }
    out.flush();
    std::fclose(file);
}

void histogramResetForTesting() {
    ScopedLock lock(histogramLock());
    StatisticsFreeze freeze;
    clearAll();
    histogram_started.store(false, std::memory_order_relaxed);
}

} // namespace detail

// The byte total and its peak at one instant (the shares are summed under a freeze); 0
// before the first counted block, without a freeze.
std::uint32_t histogramCurrentUsedMemory() {
    if (!detail::histogram_started.load(std::memory_order_relaxed))
        return 0;
    detail::StatisticsFreeze freeze;
    return static_cast<std::uint32_t>(detail::histogram_bytes.read().bytes);
}

std::uint32_t histogramPeakUsedMemory() {
    if (!detail::histogram_started.load(std::memory_order_relaxed))
        return 0;
    detail::StatisticsFreeze freeze;
    return static_cast<std::uint32_t>(detail::histogram_bytes.read().peakBytes);
}

void histogramDumpToFile(const char* path) { detail::histogramWriteFile(path); }

void histogramClearPeaks() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    // The shared record of the large blocks keeps its counts. No headroom may stay on a
    // thread under a peak of 0: a charge taken from it would not raise the peak.
    detail::collectShares(detail::HistogramSizeLimit);
    for (std::uint32_t size = 0; size < detail::HistogramSizeLimit; ++size)
        detail::put(detail::histogram_table[size].peak, 0);
}

void histogramClearCurrent() {
    ScopedLock lock(detail::histogramLock());
    detail::StatisticsFreeze freeze;
    // The blocks still live will be released: from now on every change is made on R,
    // which is then the count, so that no release takes a count below 0.
    detail::collectShares(detail::kHistogramRecords);
    detail::histogram_shares_off.store(true, std::memory_order_relaxed);
    for (std::uint32_t size = 0; size < detail::HistogramSizeLimit; ++size)
        detail::put(detail::histogram_table[size].reserve, 0);
}

} // namespace velt::zur::memory
