// The trace subsystem's parts of the status text: the memory names and the resources.
//
// The resource section is the only part of the status text that can be longer than the
// text's 128,000 bytes (a resource report may reach about 803,000 bytes); it is then cut
// at the end of a line, and a line saying how much was left out takes the place of the
// rest, so that what follows it (the pool table) is always complete.
#include "alloc/counters.h"
#include "frame/settings.h"
#include "status/status.h"
#include "trace/trace.h"
#include "trace/trace_internal.h"

#include <cstdio>
#include <cstring>

namespace velt::zur::memory::detail {

namespace {

std::size_t countLines(const char* text, std::size_t length) {
    std::size_t lines = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] == '\n')
            ++lines;
    return lines;
}

} // namespace

void appendMemoryNameStatus(TextBuilder& out) {
    if (!settings.use_traceIdentifiers) {
        out.appendText("TraceIdentifiers not active\n");
        return;
    }
    NumberArea numbers;
    std::int32_t count = memoryNameCount.load(std::memory_order_acquire);
    if (count > kMemoryNameCount)
        count = kMemoryNameCount;
    // One instant for all sixteen: the charges run in statistics sections.
    TraceStatsValues values[kMemoryNameCount];
    {
        StatisticsFreeze freeze;
        for (std::int32_t i = 0; i < count; ++i)
            values[i] = memoryNames[i].stats.snapshot();
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const TraceStatsValues& v = values[i];
        const char* numAllocs = formatNumber(numbers, v.numAllocs, true);
        const char* peakNumAllocs = formatNumber(numbers, v.peakNumAllocs, false);
        const char* bytes = formatNumber(numbers, v.bytes, false);
        const char* peakBytes = formatNumber(numbers, v.peakBytes, false);
        const char* minBlock = formatNumber(numbers, v.minBlock, false);
        const char* maxBlock = formatNumber(numbers, v.maxBlock, false);
        out.append("[%d] %s NumAllocs:%s(%s) Bytes:%s(%s) MinBlock:%s MaxBlock:%s\n", i,
                   memoryNames[i].name, numAllocs, peakNumAllocs, bytes, peakBytes, minBlock,
                   maxBlock);
    }
}

void appendResourceStatus(TextBuilder& out, std::size_t reserve) {
    static const char kTitle[] = "\nResources\n";
    static const char kEnd[] = "\n\n";
    // The report buffer is shared with every other report build.
    SpinGuard guard(reportBuildLock());
    const char* report = resourceReportLocked(true);
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

} // namespace velt::zur::memory::detail
