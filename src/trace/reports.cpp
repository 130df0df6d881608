// The trace and resource reports, built with the frame's text builder and number
// formatting.
//
// Differences from a single shared text area, all for safety under concurrency:
// - every build formats its numbers into a NumberArea of its own, and no result is ever
//   written past the area's end;
// - the trace report and the resource report have a buffer each, so the status text and
//   the detach handler (which build the resource report) never overwrite a trace report
//   that the host still holds;
// - every build runs under reportBuildLock(), so two builds never write one buffer.
#include "Quorrick.h"
#include "outputs/outputs.h"
#include "alloc/counters.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/settings.h"
#include "trace/trace.h"
#include "trace/trace_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velt::zur::memory {

namespace detail {

namespace {

constexpr std::size_t kReportTextSize = 1048576;
char trace_report_text[kReportTextSize];
char resource_report_text[kReportTextSize];

SpinLock report_build_lock;

// The sort entries of one build: at most 2048, kept with the counters they were sorted by
// so that every line prints the values its position was chosen by. Used under
// report_build_lock only.
struct ReportEntry {
    std::uint32_t key;
    std::int32_t id;
    TraceStatsValues values;
};
ReportEntry report_entries[kTraceTableCapacity];

// Holds report_build_lock; in the detach handler it waits only a bounded time, since a
// holder may have been ended with its thread.
class ReportBuildGuard {
public:
    explicit ReportBuildGuard(bool patient) {
        constexpr std::uint32_t kDetachRounds = 20000;
        if (patient)
            report_build_lock.lock();
        else
            locked_ = report_build_lock.lockBounded(kDetachRounds);
    }
    ~ReportBuildGuard() {
        if (locked_)
            report_build_lock.unlock();
    }
    ReportBuildGuard(const ReportBuildGuard&) = delete;
    ReportBuildGuard& operator=(const ReportBuildGuard&) = delete;

private:
    bool locked_ = true;
};

} // namespace

SpinLock& reportBuildLock() { return report_build_lock; }

bool buildTraceReport(const TraceTable& table, TextBuilder& out, bool patient) {
    const std::int32_t count = table.count.load(std::memory_order_acquire);
    if (count < 1)
        return false;
    std::int32_t entries = 0;
    auto copyRecords = [&] {
        for (std::int32_t id = 0; id < count && id < kTraceTableCapacity; ++id) {
            const TraceRecord* record = traceRecord(table, id);
            if (record == nullptr)
                continue;
            ReportEntry& entry = report_entries[entries++];
            entry.values = record->stats.snapshot(patient);
            entry.key = static_cast<std::uint32_t>(entry.values.bytes);
            entry.id = id;
        }
    };
    if (&table == &traceIdentifierTable) {
        // Charged by the allocation and release paths in statistics sections: one instant.
        StatisticsFreeze freeze;
        copyRecords();
    } else {
        copyRecords(); // resources: each record under its own lock
    }
    std::uint32_t total = 0;
    for (std::int32_t i = 0; i < entries; ++i)
        total += report_entries[i].key; // every record counts, also those without a line
    // Largest first as unsigned numbers (a negative count sorts ahead of every positive
    // one); equal keys by identifier, so that the order is reproducible.
    std::sort(report_entries, report_entries + entries,
              [](const ReportEntry& a, const ReportEntry& b) {
                  return a.key != b.key ? a.key > b.key : a.id < b.id;
              });
    out.append("Total bytes allocated:%u\n", total);
    NumberArea numbers;
    for (std::int32_t i = 0; i < entries; ++i) {
        const ReportEntry& e = report_entries[i];
        if (e.values.numAllocs == 0 || e.values.bytes == 0)
            continue;
        const char* bytes = formatNumber(numbers, e.values.bytes, true);
        const char* peakBytes = formatNumber(numbers, e.values.peakBytes, false);
        const char* minBlock = formatNumber(numbers, e.values.minBlock, false);
        const char* maxBlock = formatNumber(numbers, e.values.maxBlock, false);
        const char* numAllocs = formatNumber(numbers, e.values.numAllocs, false);
        const char* peakNumAllocs = formatNumber(numbers, e.values.peakNumAllocs, false);
        if (!out.append("Bytes:%s(%s) MinBlock:%s MaxBlock:%s NumAllocs:%s(%s)  %s  [%d]\n", bytes,
                        peakBytes, minBlock, maxBlock, numAllocs, peakNumAllocs,
                        traceRecordName(table, e.id), e.id))
            break;
    }
    return true;
}

const char* traceReport() {
    ReportBuildGuard guard(true);
    TextBuilder out(trace_report_text, sizeof trace_report_text);
    return buildTraceReport(traceIdentifierTable, out) ? trace_report_text : "no traces found";
}

void writeTraceReportFile(const char* path) {
    const char* text = traceReport();
    if (path == nullptr)
        return;
    std::FILE* file = outputs::openForWriting(path, "wt");
    if (file == nullptr)
        return;
    std::fputs(text, file);
    std::fclose(file);
}

const char* resourceReportLocked(bool patient) {
    TextBuilder out(resource_report_text, sizeof resource_report_text);
    return buildTraceReport(resourceTable, out, patient) ? resource_report_text
                                                         : "no resources found";
}

const char* resourceReport() {
    // At detach a holder of a record or build lock may have been ended with its thread:
    // wait for it only a bounded time.
    const bool patient = !detached.load(std::memory_order_relaxed);
    ReportBuildGuard guard(patient);
    return resourceReportLocked(patient);
}

} // namespace detail

const char* memoryTraceReport() {
    if (!detail::settings.use_traceIdentifiers)
        return "use_traceIdentifiers not enabled";
    ScopedLock lock(detail::globalLock());
    return detail::traceReport();
}

void memoryTraceReportToFile(const char* path) {
    if (!detail::settings.use_traceIdentifiers)
        return;
    ScopedLock lock(detail::globalLock());
    detail::writeTraceReportFile(path);
}

} // namespace velt::zur::memory
