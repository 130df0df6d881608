// The leak report: the allocation-site table written as text, with the module list that
// lets a symbolizer turn its return addresses into functions and lines. One writer serves
// the final report at detach (which also releases the table) and the two dumps on request.
#include "Quorrick.h"
#include "outputs/outputs.h"
#include "alloc/counters.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "frame/text_builder.h"
#include "platform/platform.h"
#include "tracking/alloc_info.h"
#include "trace/trace.h"
#include "tracking/alloc_info_table.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace velt::zur::memory {
namespace detail {

platform::ModuleInfo moduleTable[kModuleCapacity];
std::int32_t moduleCount = 0;

namespace {

constexpr char kNotAvailable[] = "can't dump allocations: callstack information not available.";
constexpr char kWritten[] = "allocation and callstack information written";

// The report goes to its file through a buffer of this size on the stack.
constexpr std::size_t kReportBufferSize = 8192;

// A site's return addresses, innermost first, and the end of its line.
void writeFrames(TextBuilder& out, const AllocInfo& r) {
    for (std::int32_t i = 0; i < r.depth; ++i)
        out.append("0x%08" PRIxPTR "%s", r.frames[i], i + 1 < r.depth ? "<-" : "");
    out.appendText("\n");
}

void writeSite(TextBuilder& out, const AllocInfo& r) {
    out.append("alloc depth=%d peakSize=%d peakNumAllocs=%d currentNumAllocs=%d "
               "currentTotalSize=%d minAllocSize=%d maxAllocSize=%d ",
               r.depth, r.peakSize, r.peakNumAllocs, r.currentNumAllocs, r.currentTotalSize,
               r.minAllocSize, r.maxAllocSize);
    writeFrames(out, r);
}

} // namespace

void moduleTableClear() {
    std::memset(moduleTable, 0, sizeof moduleTable);
    moduleCount = 0;
}

void moduleTableRefresh() {
    // Enumerate outside the global lock (the system may take its loader lock), then
    // install the list under it, so that a report never prints a half-written list.
    auto* staging = static_cast<platform::ModuleInfo*>(heapAllocate(sizeof moduleTable));
    if (staging == nullptr)
        return;
    int count = platform::enumerateModules(staging, kModuleCapacity);
    if (count < 0)
        count = 0;
    if (count > kModuleCapacity)
        count = kModuleCapacity;
    {
        ScopedLock lock(globalLock());
        for (int i = 0; i < count; ++i) {
            moduleTable[i] = staging[i];
            moduleTable[i].name[sizeof moduleTable[i].name - 1] = '\0';
        }
        moduleCount = count;
    }
    heapRelease(staging);
}

void allocInfoReport(const char* path, bool includeAll, bool release, std::int32_t traceFilter) {
    std::FILE* file = path != nullptr ? outputs::openForWriting(path, "wt") : nullptr;
    char text[kReportBufferSize];
    TextBuilder out(text, sizeof text, file);
    if (file != nullptr) {
        out.appendText("# Leak report format v1.10\n");
        out.appendText("\n# Module dump\n");
        for (std::int32_t i = 0; i < moduleCount; ++i)
            out.append("module %s 0x%08" PRIxPTR " 0x%08" PRIxPTR "\n", moduleTable[i].name,
                       moduleTable[i].base, moduleTable[i].size);
        out.append("\n# Allocation history (%s)\n", includeAll ? "all allocations" : "leaks only");
    }

    // Every non-empty bucket counts as populated. The longest chain counts, per bucket,
    // the records that pass the filter, so an unfiltered report gives the true longest
    // chain and a filtered one the most records of that identifier in one bucket.
    const std::int32_t hashSize = allocInfoHashSize();
    std::int32_t populated = 0;
    std::int32_t elements = 0;
    std::int32_t longest = 0;
    for (std::int32_t i = 0; i < hashSize; ++i) {
        AllocInfo* record = allocInfoBucket(i);
        if (record == nullptr)
            continue;
        ++populated;
        std::int32_t chain = 0;
        while (record != nullptr) {
            AllocInfo* next = record->next;
            if (traceFilter == -1 || record->traceId == traceFilter) {
                if (file != nullptr && (record->currentNumAllocs != 0 || includeAll))
                    writeSite(out, *record);
                ++elements;
                ++chain;
                if (release)
                    allocInfoReleaseRecord(record);
            }
            record = next;
        }
        if (chain > longest)
            longest = chain;
    }

    if (file != nullptr) {
        const double share = hashSize > 0 ? populated * 100.0 / hashSize : 0.0;
        out.appendText("\n# AllocInfo hash table summary:\n");
        out.append("# hash size: %d\n", hashSize);
        out.append("# populated bucket indices: %d (%5.2g%%)\n", populated, share);
        out.append("# total elements: %d\n", elements);
        out.append("# longest chain: %d\n", longest);
        out.flush();
        std::fclose(file);
    }
    if (release)
        allocInfoReleaseTable();
}

namespace {

std::int32_t churnPeak(const AllocInfo& r) {
    return r.visualChurn.peakBytes > r.physicChurn.peakBytes ? r.visualChurn.peakBytes
                                                             : r.physicChurn.peakBytes;
}

// Higher per-frame peak first; on a tie the higher blocks-per-frame peak, then the older site.
bool churnBefore(const AllocInfo* a, const AllocInfo* b) {
    if (churnPeak(*a) != churnPeak(*b))
        return churnPeak(*a) > churnPeak(*b);
    const std::int32_t aAllocs = a->visualChurn.peakAllocs + a->physicChurn.peakAllocs;
    const std::int32_t bAllocs = b->visualChurn.peakAllocs + b->physicChurn.peakAllocs;
    if (aAllocs != bAllocs)
        return aAllocs > bAllocs;
    return a->handle < b->handle;
}

// Sorts by churnBefore; sites are few enough for a merge of runs through a scratch array.
void sortSites(AllocInfo** sites, AllocInfo** scratch, std::uint32_t count) {
    for (std::uint32_t width = 1; width < count; width *= 2) {
        for (std::uint32_t low = 0; low < count; low += 2 * width) {
            const std::uint32_t mid = low + width < count ? low + width : count;
            const std::uint32_t high = low + 2 * width < count ? low + 2 * width : count;
            std::uint32_t i = low, j = mid, k = low;
            while (i < mid && j < high)
                scratch[k++] = churnBefore(sites[j], sites[i]) ? sites[j++] : sites[i++];
            while (i < mid)
                scratch[k++] = sites[i++];
            while (j < high)
                scratch[k++] = sites[j++];
        }
        std::memcpy(sites, scratch, count * sizeof *sites);
    }
}

} // namespace

void allocInfoChurnReport(const char* path, std::int32_t count) {
    std::FILE* file = path != nullptr ? outputs::openForWriting(path, "wt") : nullptr;
    if (file == nullptr)
        return;
    char text[kReportBufferSize];
    TextBuilder out(text, sizeof text, file);
    // Every site that allocated since creation or the last clear.
    std::uint32_t total = 0;
    const std::int32_t hashSize = allocInfoHashSize();
    for (std::int32_t i = 0; i < hashSize; ++i)
        for (AllocInfo* r = allocInfoBucket(i); r != nullptr; r = r->next)
            if (churnPeak(*r) != 0)
                ++total;
    auto** sites = static_cast<AllocInfo**>(heapAllocate((total + 1) * sizeof(AllocInfo*)));
    auto** scratch = static_cast<AllocInfo**>(heapAllocate((total + 1) * sizeof(AllocInfo*)));
    std::uint32_t n = 0;
    if (sites != nullptr && scratch != nullptr) {
        for (std::int32_t i = 0; i < hashSize; ++i)
            for (AllocInfo* r = allocInfoBucket(i); r != nullptr; r = r->next)
                if (churnPeak(*r) != 0 && n < total)
                    sites[n++] = r;
        sortSites(sites, scratch, n);
    }
    const std::uint32_t shown =
        count > 0 && static_cast<std::uint32_t>(count) < n ? static_cast<std::uint32_t>(count) : n;

    const std::int32_t visual = currentVisualFrame();
    const std::int32_t physic = currentPhysicFrame();
    out.appendText("# Frame churn report format v1.0\n");
    out.appendText("\n# Module dump\n");
    for (std::int32_t i = 0; i < moduleCount; ++i)
        out.append("module %s 0x%08" PRIxPTR " 0x%08" PRIxPTR "\n", moduleTable[i].name,
                   moduleTable[i].base, moduleTable[i].size);
    out.append("\n# Allocation sites by bytes in one frame (%u of %u; visual frame %d, "
               "physics frame %d)\n",
               shown, n, visual, physic);
    for (std::uint32_t k = 0; k < shown; ++k) {
        const AllocInfo& r = *sites[k];
        out.append("alloc depth=%d visualFramePeakBytes=%d visualFramePeakAllocs=%d "
                   "physicFramePeakBytes=%d physicFramePeakAllocs=%d visualFrameBytes=%d "
                   "visualFrameAllocs=%d physicFrameBytes=%d physicFrameAllocs=%d "
                   "currentNumAllocs=%d currentTotalSize=%d minAllocSize=%d maxAllocSize=%d ",
                   r.depth, r.visualChurn.peakBytes, r.visualChurn.peakAllocs,
                   r.physicChurn.peakBytes, r.physicChurn.peakAllocs,
                   frameChurnBytes(r.visualChurn, visual), frameChurnAllocs(r.visualChurn, visual),
                   frameChurnBytes(r.physicChurn, physic), frameChurnAllocs(r.physicChurn, physic),
                   r.currentNumAllocs, r.currentTotalSize, r.minAllocSize, r.maxAllocSize);
        writeFrames(out, r);
    }
    if (sites == nullptr || scratch == nullptr)
        out.appendText("# not enough memory to sort the sites\n");
    heapRelease(sites);
    heapRelease(scratch);
    out.flush();
    std::fclose(file);
}

void allocInfoFinalReport(const char* path, bool includeAll) {
    moduleTableRefresh();
    // Under the global lock and a freeze: a release racing on another thread waits, then
    // finds the table empty and its block's word naming nothing.
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoReport(path, includeAll, true, -1);
}

} // namespace detail

const char* dump_allocations_to_file(const char* path, std::int32_t traceId) {
    using namespace detail;
    if (!settings.use_callstack)
        return kNotAvailable;
    moduleTableRefresh();
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoReport(path, traceId < 0, false, traceId);
    return kWritten;
}

const char* dump_active_allocations_to_file(const char* path) {
    using namespace detail;
    if (!settings.use_callstack)
        return kNotAvailable;
    moduleTableRefresh();
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoReport(path, false, false, -1);
    return kWritten;
}

const char* dump_frame_churn_to_file(const char* path, std::int32_t count) {
    using namespace detail;
    if (!settings.use_callstack)
        return kNotAvailable;
    moduleTableRefresh();
    ScopedLock lock(globalLock());
    StatisticsFreeze freeze;
    allocInfoChurnReport(path, count);
    return kWritten;
}

void memory_update_modules(const char*) {
    using namespace detail;
    if (!settings.use_callstack || detached.load(std::memory_order_relaxed))
        return;
    moduleTableRefresh();
}

} // namespace velt::zur::memory
