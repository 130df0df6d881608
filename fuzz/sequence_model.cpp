// The sequence fuzzer's shadow model: its charges, its checks and its expected texts.
#include "sequence_model.h"

#include "Quorrick.h"
#include "alloc/alloc.h"
#include "alloc/block.h"
#include "alloc/large_blocks.h"
#include "callstack/callstack.h"
#include "frame/frame.h"
#include "frame/report.h"
#include "frame/settings.h"
#include "histogram/histogram.h"
#include "platform/platform.h"
#include "pools/chunk_pools.h"
#include "pools/pool_internal.h"
#include "trace/trace_internal.h"
#include "tracking/alloc_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace seqfuzz {

Model m;

// Threads that reach the chunk pools: only the main thread.
Source sourceFor(std::uint32_t gross, int thread) {
    if (!m.s.memoryDll)
        return Source::Plain;
    if (m.s.pools && !m.s.valloc && thread == 0 && gross <= 88)
        return Source::Pool;
    if (m.s.valloc && gross < kPageSize)
        return Source::PageGuard;
    return gross >= kLargeBlockGross ? Source::Large : Source::Heap;
}

int poolClassOf(std::uint32_t gross) {
    for (int i = 0; i < kPoolClassCount; ++i)
        if (gross <= kPoolClasses[i])
            return i;
    return -1;
}

std::int32_t innermostTrace() { return m.stack.empty() ? -1 : m.stack.back().first; }
std::int32_t innermostTraceOf(int thread) {
    return (!m.stack.empty() && m.stack.back().second == thread) ? m.stack.back().first : -1;
}

void histogramAdd(std::uint32_t gross) {
    if (!m.histStarted) {
        std::fill(m.histCurrent.begin(), m.histCurrent.end(), 0u);
        std::fill(m.histPeak.begin(), m.histPeak.end(), 0u);
        m.histStarted = true;
    }
    m.histBytes += gross;
    if (m.histBytes > m.histPeakBytes)
        m.histPeakBytes = m.histBytes;
    std::uint32_t& current = gross < kHistogramLimit ? m.histCurrent[gross] : m.largeCurrent;
    std::uint32_t& peak = gross < kHistogramLimit ? m.histPeak[gross] : m.largePeak;
    if (++current > peak)
        peak = current;
}

void histogramRemove(std::uint32_t gross) {
    if (!m.histStarted)
        return;
    m.histBytes -= gross;
    std::uint32_t& current = gross < kHistogramLimit ? m.histCurrent[gross] : m.largeCurrent;
    if (current > 0)
        --current;
}

void siteAllocate(Site& site, std::int32_t amount, std::int32_t traceId) {
    site.exists = true;
    site.traceId = traceId;
    site.current += 1;
    site.currentSize += amount;
    if (site.peakSize == 0) {
        site.minSize = amount;
        site.maxSize = amount;
    } else {
        site.minSize = std::min(site.minSize, amount);
        site.maxSize = std::max(site.maxSize, amount);
    }
    site.peakSize = std::max(site.peakSize, site.currentSize);
    site.peakNumAllocs = std::max(site.peakNumAllocs, site.current);
}

std::int32_t findOrAddRecord(std::vector<Record>& table, const std::string& name) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (sameIgnoringCase(name, table[i].name))
            return static_cast<std::int32_t>(i);
    table.push_back({name.substr(0, 256), {}});
    return static_cast<std::int32_t>(table.size() - 1);
}

// Charges of a guarded block, as the allocation path makes them.
void chargeAllocation(const Block& b, int thread) {
    m.liveBytes += b.gross;
    m.accumulatedBytes += b.gross;
    m.liveCount += 1;
    m.accumulatedCount += 1;
    if (b.source != Source::Pool)
        m.unpooled += 1;
    if (m.s.callstack)
        siteAllocate(m.sites[thread], static_cast<std::int32_t>(b.gross), innermostTraceOf(thread));
    if (m.s.traceIds) {
        if (b.traceValue != 0)
            m.traces[b.traceValue - 1].stats.add(static_cast<std::int32_t>(b.gross));
        m.nameStats[b.name].add(static_cast<std::int32_t>(b.gross));
    }
    if (m.s.histogram)
        histogramAdd(b.gross);
    if (b.source == Source::Pool)
        ++m.poolLive[b.poolClass];
}

// The charges that a release takes back (every release that passes the tests).
void unchargeRelease(const Block& b) {
    if (m.s.traceIds) {
        m.nameStats[b.name].remove(static_cast<std::int32_t>(b.gross));
        if (b.traceValue != 0)
            m.traces[b.traceValue - 1].stats.remove(static_cast<std::int32_t>(b.gross));
    }
    m.liveBytes -= b.gross;
    m.liveCount -= 1;
    if (m.s.histogram)
        histogramRemove(b.gross);
    if (m.s.callstack) {
        Site& site = m.sites[b.site];
        site.current -= 1;
        site.currentSize -= static_cast<std::int32_t>(b.gross);
    }
}

// --- Checks -----------------------------------------------------------------------------

void checkCounters(const char* when) {
    expectEqual(qj::get_total_bytes_allocated(), wrap(m.base.totalBytes + m.liveBytes), when);
    expectEqual(qj::get_total_allocation_call_count(), wrap(m.base.liveCount + m.liveCount), when);
    expectEqual(qj::get_accumulated_bytes_allocated(), m.base.accumulatedBytes + m.accumulatedBytes, when);
    expectEqual(qj::get_accumulated_allocation_call_count(),
                wrap(m.base.accumulatedCount + m.accumulatedCount), when);
    expectEqual(qj::histogramCurrentUsedMemory(), m.histBytes, "histogram current bytes");
    expectEqual(qj::histogramPeakUsedMemory(), m.histPeakBytes, "histogram peak bytes");
}

// Signatures are cut from one table of bytes from 0x20 to 0x7F (never a fill or guard
// byte, never part of the used tag), each block starting at its own offset in it.
constexpr std::uint32_t kSignatureTable = 4096;
unsigned char signature_table[kSignatureTable];
unsigned char alloc_fill[kSignatureTable];

void buildTables() {
    std::uint32_t x = 12345;
    for (std::uint32_t i = 0; i < kSignatureTable; ++i) {
        x = x * 1103515245u + 12345u;
        signature_table[i] = static_cast<unsigned char>(0x20 + (x >> 16) % 0x60);
    }
    std::memset(alloc_fill, 0xCD, sizeof alloc_fill);
}

// Calls `piece(at, table, length)` for consecutive pieces of b's user area.
template <class Piece> bool eachSignaturePiece(const Block& b, Piece piece) {
    for (std::uint32_t i = 0; i < b.requested;) {
        const std::uint32_t from = (b.seed + i) % kSignatureTable;
        const std::uint32_t length = std::min(b.requested - i, kSignatureTable - from);
        if (!piece(b.user + i, signature_table + from, length))
            return false;
        i += length;
    }
    return true;
}

void sign(const Block& b) {
    eachSignaturePiece(b, [](unsigned char* at, const unsigned char* from, std::uint32_t n) {
        std::memcpy(at, from, n);
        return true;
    });
}

void checkSignature(const Block& b) {
    if (!eachSignaturePiece(b, [](unsigned char* at, const unsigned char* from, std::uint32_t n) {
            return std::memcmp(at, from, n) == 0;
        }))
        die("the user area of the block at %p (%u bytes) changed", static_cast<void*>(b.user), b.requested);
}

bool allFill(const unsigned char* at, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; i += kSignatureTable)
        if (std::memcmp(at + i, alloc_fill, std::min(n - i, kSignatureTable)) != 0)
            return false;
    return true;
}

void checkTailGuard(const Block& b) {
    for (std::uint32_t i = 0; i < m.GL; ++i)
        if (b.user[b.requested + i] != 0x99)
            die("tail guard byte %u of the block at %p changed", i, static_cast<void*>(b.user));
}

unsigned char* blockStart(const Block& b) { return b.user - m.head; }

// The words and fills a fresh block carries.
void checkLayout(const Block& b, bool fresh) {
    unsigned char* start = blockStart(b);
    if (m.UT != 0)
        expectEqual(load32(start), kUsedTagLive, "used tag of a live block");
    if (m.TG != 0) {
        expect(std::memcmp(start + m.UT, "QJ7{", 4) == 0, "front tag");
        expect(std::memcmp(start + b.gross - 4, "}QJ7", 4) == 0, "end tag");
    }
    const std::uint32_t header = load32(start + m.UT + m.TG);
    expectEqual(header & 1u, m.s.callstack ? 1u : 0u, "call-stack flag");
    const bool pooled = (header & 2u) != 0;
    expectEqual(pooled, b.source == Source::Pool, "pooled flag");
    expectEqual(pooled ? (header >> 2) & 0x7FFFu : header >> 2, b.gross, "size field");
    if (m.CS != 0)
        expect(load32(start + m.UT + m.TG + 4) != 0, "allocation-site word");
    if (m.TW != 0) {
        const std::uint32_t word = load32(b.user - 4);
        expectEqual(word & 0xFu, static_cast<std::uint32_t>(b.name), "memory name in the trace word");
        expectEqual((word >> 4) & 0xFFFFFu, b.traceValue, "trace value in the trace word");
    }
    if (fresh && m.s.patterns)
        expect(allFill(b.user, b.requested), "user area filled with 0xCD");
    checkTailGuard(b);
    if (b.source == Source::PageGuard)
        expectEqual((reinterpret_cast<std::uintptr_t>(start) + b.gross) % kPageSize, std::uintptr_t{0},
                    "page-guard block ends at the page end");
}

void hold(const Block& b) {
    const auto start = reinterpret_cast<std::uintptr_t>(b.source == Source::Plain ? b.user : blockStart(b));
    const std::uintptr_t end = start + std::max<std::uint32_t>(b.source == Source::Plain ? b.requested : b.gross, 1);
    auto next = m.held.lower_bound(start);
    if (next != m.held.end() && next->first < end)
        die("a new block at %p overlaps one the library still holds", reinterpret_cast<void*>(start));
    if (next != m.held.begin() && std::prev(next)->second > start)
        die("a new block at %p overlaps one the library still holds", reinterpret_cast<void*>(start));
    m.held[start] = end;
}

void unhold(const Block& b) {
    m.held.erase(reinterpret_cast<std::uintptr_t>(b.source == Source::Plain ? b.user : blockStart(b)));
}

// --- Expected report texts ----------------------------------------------------------------

void addReport(ExpectedText& e, const std::vector<Record>& table, const char* emptyText) {
    if (table.empty()) {
        e.add(emptyText);
        return;
    }
    std::uint32_t total = 0;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < table.size(); ++i) {
        total += static_cast<std::uint32_t>(table[i].stats.bytes);
        order.push_back(i);
    }
    auto key = [&table](std::size_t i) { return static_cast<std::uint32_t>(table[i].stats.bytes); };
    std::stable_sort(order.begin(), order.end(), [&key](std::size_t a, std::size_t b) { return key(a) > key(b); });
    e.add(format("Total bytes allocated:%u\n", total));
    int group = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k == 0 || key(order[k]) != key(order[k - 1]))
            group = e.newGroup();
        const Stats& st = table[order[k]].stats;
        if (st.numAllocs == 0 || st.bytes == 0)
            continue;
        e.add("Bytes:" + grouped(st.bytes) + "(" + grouped(st.peakBytes) + ") MinBlock:" + grouped(st.minBlock) +
                  " MaxBlock:" + grouped(st.maxBlock) + " NumAllocs:" + grouped(st.numAllocs) + "(" +
                  grouped(st.peakNumAllocs) + ")  " + table[order[k]].name + "  [" + std::to_string(order[k]) +
                  "]\n",
              group);
    }
}

ExpectedText expectedStatus() {
    ExpectedText e;
    e.add(std::string(kVersionLine) + "\n\n");
    if (!m.s.memoryDll) {
        e.add("MemoryDLL not active\n");
        return e;
    }
    e.add("TotalBytesAllocated:" + grouped(wrap(m.base.totalBytes + m.liveBytes)) +
          " TotalAllocationCount:" + grouped(wrap(m.base.unpooledCount + m.unpooled)) + "\n");
    if (m.s.traceIds) {
        for (std::int32_t i = 0; i < m.nameCount; ++i) {
            const Stats& st = m.nameStats[i];
            e.add(format("[%d] ", i) + m.names[i] + " NumAllocs:" + grouped(st.numAllocs) + "(" +
                  grouped(st.peakNumAllocs) + ") Bytes:" + grouped(st.bytes) + "(" + grouped(st.peakBytes) +
                  ") MinBlock:" + grouped(st.minBlock) + " MaxBlock:" + grouped(st.maxBlock) + "\n");
        }
    } else {
        e.add("TraceIdentifiers not active\n");
    }
    e.add("\nResources\n");
    addReport(e, m.resources, "no resources found");
    e.add("\n\n");
    if (m.s.pools) {
        e.add("ChunkPools\n");
        std::string sizes, counts;
        for (int i = 0; i < kPoolClassCount; ++i) {
            sizes += format("%-16d", static_cast<int>(kPoolClasses[i]));
            counts += format("%-16u", m.poolLive[i]);
        }
        e.add(sizes + "\n" + counts + "\n");
    } else {
        e.add("ChunkPools not active\n");
    }
    return e;
}

std::string expectedHistogramFile() {
    std::string t = format("Allocations greater than %u bytes\n", kHistogramLimit);
    t += format("Current:%u Peak:%u\n", m.largeCurrent, m.largePeak);
    t += format("Total bytes allocated. Current:%u Peak:%u\n\n", m.histBytes, m.histPeakBytes);
    for (std::uint32_t size = 0; size < kHistogramLimit; ++size)
        if (m.histCurrent[size] > 0)
            t += format("Size:%u Current:%u Peak:%u\n", size, m.histCurrent[size], m.histPeak[size]);
    t += "\nBlocks where current is zero\n\n";
    for (std::uint32_t size = 0; size < kHistogramLimit; ++size)
        if (m.histCurrent[size] == 0 && m.histPeak[size] > 0)
            t += format("Size:%u Peak:%u\n", size, m.histPeak[size]);
    return t;
}

void checkHistogramFile(const std::string& path) {
    bool exists = false;
    const std::string text = readFile(path, exists);
    expectEqual(exists, m.histStarted, "histogram file written exactly when a block was counted");
    if (exists)
        expectText(text, expectedHistogramFile(), "histogram file");
}

// A leak report or allocation dump: its frame and every site's statistics.
void checkSiteReport(const std::string& path, bool includeAll, std::int32_t filter) {
    bool exists = false;
    const std::string text = readFile(path, exists);
    expect(exists, "allocation report file written");
    std::vector<std::string> lines = splitLines(text);
    std::size_t i = 0;
    auto next = [&lines, &i](const char* what) -> std::string {
        if (i >= lines.size())
            die("allocation report ends early, before %s", what);
        return lines[i++];
    };
    expectText(next("the format line"), "# Leak report format v1.10\n", "report format line");
    expectText(next("a blank line"), "\n", "report blank line");
    expectText(next("the module heading"), "# Module dump\n", "report module heading");
    while (i < lines.size() && lines[i].rfind("module ", 0) == 0)
        ++i;
    expectText(next("a blank line"), "\n", "report blank line before the history");
    expectText(next("the history heading"),
               std::string("# Allocation history (") + (includeAll ? "all allocations" : "leaks only") + ")\n",
               "report history heading");
    std::vector<std::array<std::int32_t, 6>> got, want;
    while (i < lines.size() && lines[i].rfind("alloc ", 0) == 0) {
        int depth = 0;
        std::array<std::int32_t, 6> v{};
        int consumed = 0;
        const int n = std::sscanf(lines[i].c_str(),
                                  "alloc depth=%d peakSize=%d peakNumAllocs=%d currentNumAllocs=%d "
                                  "currentTotalSize=%d minAllocSize=%d maxAllocSize=%d %n",
                                  &depth, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &consumed);
        expect(n == 7, "site line format");
        const std::string frames = lines[i].substr(static_cast<std::size_t>(consumed));
        int count = 0;
        for (std::size_t at = frames.find("0x"); at != std::string::npos; at = frames.find("0x", at + 2))
            ++count;
        expectEqual(count, depth, "frames listed on a site line");
        got.push_back(v);
        ++i;
    }
    int sites = 0, passing = 0;
    for (const Site& s : m.sites) {
        if (!s.exists)
            continue;
        ++sites;
        if (filter != -1 && s.traceId != filter)
            continue;
        ++passing;
        if (includeAll || s.current != 0)
            want.push_back({s.peakSize, s.peakNumAllocs, s.current, s.currentSize, s.minSize, s.maxSize});
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    if (got != want) {
        std::string expected;
        for (const auto& v : want)
            expected += format("peakSize=%d peakNumAllocs=%d currentNumAllocs=%d currentTotalSize=%d "
                               "minAllocSize=%d maxAllocSize=%d\n",
                               v[0], v[1], v[2], v[3], v[4], v[5]);
        die("site lines against the model's sites\n--- report ---\n%s--- expected sites ---\n%s", text.c_str(),
            expected.c_str());
    }
    expectText(next("a blank line"), "\n", "report blank line before the summary");
    expectText(next("the summary heading"), "# AllocInfo hash table summary:\n", "report summary heading");
    expectText(next("the hash size"), format("# hash size: %d\n", m.s.hashSize), "report hash size");
    int populated = -1;
    const std::string populatedLine = next("the populated buckets");
    expect(std::sscanf(populatedLine.c_str(), "# populated bucket indices: %d", &populated) == 1,
           "populated buckets line");
    // Two sites may share a bucket.
    expect(populated == sites || (sites == 2 && populated == 1), "populated buckets against the sites");
    expectText(populatedLine,
               format("# populated bucket indices: %d (%5.2g%%)\n", populated, populated * 100.0 / m.s.hashSize),
               "populated buckets line");
    expectText(next("the element count"), format("# total elements: %d\n", passing), "report element count");
    const std::string longest = next("the longest chain");
    if (filter == -1)
        expectText(longest, format("# longest chain: %d\n", sites == 0 ? 0 : (populated == sites ? 1 : 2)),
                   "report longest chain");
    expect(i == lines.size(), "nothing after the report summary");
}

void checkStatus() {
    expectedStatus().check(qj::getStatus(nullptr), "status text");
}

void checkTraceReport() {
    if (!m.s.traceIds) {
        expectText(qj::memoryTraceReport(), "use_traceIdentifiers not enabled", "trace report, switch off");
        return;
    }
    ExpectedText e;
    addReport(e, m.traces, "no traces found");
    e.check(qj::memoryTraceReport(), "trace report");
}

void resetModel(const Switches& s) {
    m = Model();
    m.s = s;
    m.UT = s.usedTag ? 4 : 0;
    m.TG = s.tags ? 4 : 0;
    m.CS = s.callstack ? 4 : 0;
    m.TW = s.traceIds ? 4 : 0;
    m.GL = s.tailguards ? static_cast<std::uint32_t>(s.guardLength) : 0;
    m.head = m.UT + m.TG + 4 + m.CS + m.TW;
    m.overhead = m.head + m.GL + m.TG;
    m.histCurrent.assign(kHistogramLimit, 0);
    m.histPeak.assign(kHistogramLimit, 0);
    m.traceCells.fill(-1);
    m.resourceCells.fill(-1);
    m.base = d::readCounters();
}

} // namespace seqfuzz
