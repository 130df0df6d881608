// getStatus: the one-page status text, returned or written to a file.
//
// The text always stays within its 128,000 bytes. The resource section is the only part
// that can be longer (a resource report may reach about 803,000 bytes); it is then cut at
// the end of a line, and a line saying how much was left out takes the place of the rest,
// so the pool table after it is always complete.
#include "Quorrick.h"
#include "alloc/alloc.h"
#include "frame/settings.h"
#include "pools/chunk_pools.h"
#include "trace/trace_internal.h"

#include <cstdio>
#include <cstring>

namespace velt::zur::memory {

namespace detail {

namespace {

char status_text[kStatusTextSize];

// ChunkPools::printStatus writes at most 557 characters; its text is made here first so
// that the status text knows how much room to keep for it.
char pool_text[4096];

// The 32-bit value a counter has in a 32-bit build.
inline std::int32_t as32(std::int64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::size_t countLines(const char* text, std::size_t length) {
    std::size_t lines = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] == '\n')
            ++lines;
    return lines;
}

// "\nResources\n<report>\n\n", with the report cut at a line end when it does not fit in
// the room left before `reserve` bytes (the pool table).
void appendResources(TextOut& out, const char* report, std::size_t reserve) {
    static const char kTitle[] = "\nResources\n";
    static const char kEnd[] = "\n\n";
    const std::size_t fixed = (sizeof kTitle - 1) + (sizeof kEnd - 1) + reserve;
    const std::size_t room = out.room() > fixed ? out.room() - fixed : 0;
    const std::size_t length = std::strlen(report);
    out.appendRaw(kTitle, sizeof kTitle - 1);
    if (length <= room) {
        out.appendRaw(report, length);
    } else {
        char notice[200];
        const std::size_t totalLines = countLines(report, length);
        // Room for the notice first, then as many whole lines as fit before it.
        const std::size_t noticeRoom = 200;
        std::size_t keep = room > noticeRoom ? room - noticeRoom : 0;
        while (keep > 0 && report[keep - 1] != '\n')
            --keep;
        const std::size_t shown = countLines(report, keep);
        std::snprintf(notice, sizeof notice,
                      "[status text cut: %u of %u lines of the resource report shown; the "
                      "status text holds at most %u bytes]\n",
                      static_cast<unsigned>(shown), static_cast<unsigned>(totalLines),
                      static_cast<unsigned>(kStatusTextSize));
        out.appendRaw(report, keep);
        out.appendRaw(notice, std::strlen(notice));
    }
    out.appendRaw(kEnd, sizeof kEnd - 1);
}

} // namespace
} // namespace detail

const char* getStatus(const char* path) {
    using namespace detail;
    // One build at a time: status_text, the resource report buffer and the pool text are
    // shared. No error callback runs while the lock is held, so there is no re-entry.
    SpinGuard guard(reportBuildLock());
    TextOut out(status_text, sizeof status_text);
    out.append("%s\n\n", kVersionBanner);
    if (!settings.use_memoryDll) {
        out.append("MemoryDLL not active\n");
    } else {
        NumberArea numbers;
        const CounterSnapshot counters = readCounters();
        const char* total = formatNumber(numbers, as32(counters.totalBytes), true);
        const char* unpooled = formatNumber(numbers, as32(counters.unpooledCount), false);
        out.append("TotalBytesAllocated:%s TotalAllocationCount:%s\n", total, unpooled);
        if (settings.use_traceIdentifiers) {
            const std::int32_t count = memoryNameCount.load(std::memory_order_acquire);
            for (std::int32_t i = 0; i < count && i < kMemoryNameCount; ++i) {
                const TraceStatsValues v = memoryNames[i].stats.snapshot();
                const char* numAllocs = formatNumber(numbers, v.numAllocs, true);
                const char* peakNumAllocs = formatNumber(numbers, v.peakNumAllocs, false);
                const char* bytes = formatNumber(numbers, v.bytes, false);
                const char* peakBytes = formatNumber(numbers, v.peakBytes, false);
                const char* minBlock = formatNumber(numbers, v.minBlock, false);
                const char* maxBlock = formatNumber(numbers, v.maxBlock, false);
                out.append("[%d] %s NumAllocs:%s(%s) Bytes:%s(%s) MinBlock:%s MaxBlock:%s\n", i,
                           memoryNames[i].name, numAllocs, peakNumAllocs, bytes, peakBytes,
                           minBlock, maxBlock);
            }
        } else {
            out.append("TraceIdentifiers not active\n");
        }

        std::size_t poolLength = 0;
        if (settings.use_pools) {
            const char* end = ChunkPools::printStatus(pool_text);
            poolLength = (end >= pool_text && end < pool_text + sizeof pool_text)
                             ? static_cast<std::size_t>(end - pool_text)
                             : std::strlen(pool_text);
        } else {
            static const char kPoolsOff[] = "ChunkPools not active\n";
            std::memcpy(pool_text, kPoolsOff, sizeof kPoolsOff);
            poolLength = sizeof kPoolsOff - 1;
        }
        appendResources(out, resourceReportLocked(true), poolLength);
        out.appendRaw(pool_text, poolLength);
    }

    if (path == nullptr)
        return status_text;
    if (std::FILE* file = std::fopen(path, "wt")) {
        std::fwrite(status_text, 1, out.length, file);
        std::fclose(file);
    }
    status_text[0] = '\0';
    return status_text;
}

} // namespace velt::zur::memory
