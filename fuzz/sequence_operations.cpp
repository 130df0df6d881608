// The sequence fuzzer's operations: what each operation an input's bytes choose does to the
// library, and how the model follows it.
#include "sequence_operations.h"

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

#include "sequence_model.h"
#include "sequence_support.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace seqfuzz {

// --- Operations ---------------------------------------------------------------------------

std::uint32_t requestedForGross(std::uint32_t gross) { return gross > m.overhead ? gross - m.overhead : 0; }

std::uint32_t chooseSize(Input& in) {
    const std::uint32_t kind = in.byte() % 9;
    switch (kind) {
    case 0:
        return 0;
    case 1: { // a pool class edge: the class size, one past it, one past the class before
        const std::uint32_t c = in.byte() % kPoolClassCount;
        const std::uint32_t which = in.byte() % 3;
        const std::uint32_t gross =
            which == 0 ? kPoolClasses[c] : which == 1 ? kPoolClasses[c] + 1 : (c == 0 ? 1 : kPoolClasses[c - 1] + 1);
        return requestedForGross(gross);
    }
    case 2:
        return in.byte() % 128;
    case 3: // the last gross sizes below a page, and one page
        return requestedForGross(4083 + in.byte() % 14);
    case 4: // the histogram's limit
        return requestedForGross(kHistogramLimit - 2 + in.byte() % 4);
    case 5: { // the large-block threshold, and 128 KiB
        const std::uint32_t pick = in.byte();
        return requestedForGross((pick & 4u ? 128u * 1024 : kLargeBlockGross) - 2 + pick % 4);
    }
    case 6:
        return in.bytes(2) % 20000;
    case 7:
        return in.bytes(3) % (1u << 20);
    default:
        return in.byte() % 2048;
    }
}

void opAllocate(Input& in, int thread) {
    const std::uint32_t size = chooseSize(in);
    const std::int32_t name = static_cast<std::int32_t>(in.byte() % 16);
    Block b;
    b.requested = m.s.memoryDll ? std::max<std::uint32_t>(size, 1) : size;
    b.gross = b.requested + m.overhead;
    b.source = sourceFor(b.gross, thread);
    if (m.live.size() >= kMaxLiveBlocks || m.liveRequested + b.requested > kMaxLiveBytes ||
        (b.source == Source::PageGuard && m.pageGuardBlocks >= kMaxPageGuardBlocks))
        return;
    b.poolClass = b.source == Source::Pool ? poolClassOf(b.gross) : -1;
    b.site = thread;
    b.name = name;
    b.seed = m.nextSeed;
    m.nextSeed = static_cast<std::uint16_t>(m.nextSeed + 1237);
    if (m.s.memoryDll && m.s.traceIds) {
        const std::int32_t top = innermostTrace();
        b.traceValue = top >= 0 ? static_cast<std::uint32_t>(top) + 1 : 0;
    }
    b.user = static_cast<unsigned char*>(thread == 0 ? allocateBlock(size, name) : secondThreadAllocate(size, name));
    note("allocate %u (gross %u, source %d) on thread %d: %p", size, b.gross, static_cast<int>(b.source), thread,
         static_cast<void*>(b.user));
    expectReports({}, "allocation");
    if (b.user == nullptr) {
        expect(size == 0 && !m.s.memoryDll, "allocation returned null");
        return;
    }
    if (m.s.memoryDll) {
        chargeAllocation(b, thread);
        const auto p = reinterpret_cast<std::uintptr_t>(b.user);
        m.low = std::min(m.low, p);
        m.high = std::max(m.high, p);
        checkLayout(b, true);
        if (b.source == Source::PageGuard)
            ++m.pageGuardBlocks;
    }
    hold(b);
    sign(b);
    m.liveRequested += b.requested;
    m.live.push_back(b);
}

Block takeLive(Input& in) {
    const std::size_t i = in.bytes(2) % m.live.size();
    Block b = m.live[i];
    m.live[i] = m.live.back();
    m.live.pop_back();
    m.liveRequested -= b.requested;
    return b;
}

void freeOn(int thread, void* p) {
    if (thread == 0)
        qj::qj_free(p);
    else
        second_thread->run([p] { qj::qj_free(p); });
}

std::string notOursReport(const Block& b) {
    return "memory.dll: trying to free non DLL allocated memory " + pointerText(reinterpret_cast<std::uintptr_t>(b.user));
}

// The report a second release of b gets, or false when the rules cannot catch it.
// `stayed`: the first release was refused because it ran on the second thread.
bool secondReleaseReport(const Block& b, bool stayed, std::string& text) {
    const std::string p = pointerText(reinterpret_cast<std::uintptr_t>(b.user));
    const std::string twice = "memory.dll: free() called twice for memory " + p;
    const std::string tagTwice = "memory.dll: trying to free DLL allocated memory twice " + p;
    // The release fill covers P to the block's end. When that is less than a word, the
    // test of the first word at P depends on bytes past the block: no certain outcome.
    if (m.s.patterns && b.gross - m.head < 4 && (b.source == Source::Heap || (b.source == Source::Pool && !stayed)))
        return false;
    switch (b.source) {
    case Source::Large:
        text = twice; // remembered when it was unmapped
        return true;
    case Source::PageGuard:
        text = tagTwice; // never filled; the used tag tells
        return m.UT != 0;
    case Source::Heap:
        text = m.s.patterns ? twice : tagTwice;
        return m.s.patterns || m.UT != 0;
    case Source::Pool:
        if (stayed) { // neither filled nor linked into its pool
            text = tagTwice;
            return m.UT != 0;
        }
        // The free-list link replaces the block's first word (its used tag, if any).
        text = m.s.patterns ? twice : "memory.dll: trying to free non DLL allocated memory " + p;
        return m.s.patterns || m.UT != 0;
    case Source::Plain:
        break;
    }
    return false;
}

// Releases b on `thread`. With `guardOffset` not negative, tail-guard byte `guardOffset`
// is first changed to `guardByte`. With `twice`, the main thread releases the block again
// right after, before anything could reuse its memory, when the rules can catch that.
void release(const Block& b, int thread, bool twice, int guardOffset, int guardByte) {
    checkSignature(b);
    if (b.source != Source::Plain)
        checkTailGuard(b);
    std::vector<std::string> expected;
    if (guardOffset >= 0) {
        b.user[b.requested + static_cast<std::uint32_t>(guardOffset)] = static_cast<unsigned char>(guardByte);
        if (b.source != Source::PageGuard)
            expected.push_back(format("Quorrick.dll: tailguard: block tail corruption detected: actual block "
                                      "size %d at ",
                                      static_cast<int>(b.gross)) +
                               pointerText(reinterpret_cast<std::uintptr_t>(blockStart(b))));
    }
    const bool stayed = b.source == Source::Pool && thread != 0;
    if (stayed)
        expected.push_back(format("Quorrick.dll: thread %d is deallocating main thread memory", second_thread->id()));
    std::string second;
    const bool again = twice && secondReleaseReport(b, stayed, second);
    note("release %p (gross %u, source %d) on thread %d%s%s", static_cast<void*>(b.user), b.gross,
         static_cast<int>(b.source), thread, again ? ", twice" : "", guardOffset >= 0 ? ", tail guard changed" : "");
    freeOn(thread, b.user);
    if (again) {
        qj::failure_flag.store(false); // a report of the first release must not end the test
        qj::qj_free(b.user);
        expected.push_back(second);
        // A heap block's memory belongs to the runtime heap once released. Whether its
        // free() keeps the fill and the used tag or writes its own links over them (joining
        // the block with a free neighbour does) follows the runtime heap's state, which the
        // model does not follow: the second release is then refused as not ours. Either
        // way it is caught, once, and charges nothing (the counters are checked on).
        // Links over the fill alone (a 64-bit heap's free-list links take 16 bytes) leave
        // the used tag, which then tells the second release.
        const std::string tagTwice = "memory.dll: trying to free DLL allocated memory twice " +
                                     pointerText(reinterpret_cast<std::uintptr_t>(b.user));
        if (b.source == Source::Heap && lastReportIs(notOursReport(b)))
            expected.back() = notOursReport(b);
        else if (b.source == Source::Heap && m.UT != 0 && lastReportIs(tagTwice))
            expected.back() = tagTwice;
    }
    expectReports(expected, again ? "release and second release" : "release");
    if (b.source == Source::Plain) {
        unhold(b);
        return;
    }
    if (b.source == Source::PageGuard) {
        // Marked released and nothing else: the pages stay, the charges stay, no fill.
        if (m.UT != 0)
            expectEqual(load32(blockStart(b)), kUsedTagReleased, "used tag of a released page-guard block");
        if (guardOffset >= 0)
            b.user[b.requested + static_cast<std::uint32_t>(guardOffset)] = 0x99;
        checkSignature(b);
        m.retained.push_back(b);
        return;
    }
    unchargeRelease(b);
    if (stayed) {
        m.retained.push_back(b); // its chunk stays taken in its pool until the pools go
        return;
    }
    if (b.source == Source::Pool)
        --m.poolLive[b.poolClass];
    unhold(b);
}

void opRelease(Input& in, int thread, bool twice) {
    if (m.live.empty())
        return;
    const Block b = takeLive(in);
    release(b, thread, twice);
}

void opSize(Input& in) {
    expectEqual(qj::getSizeOfAllocation(nullptr), 0, "size of null");
    if (m.live.empty())
        return;
    const Block& b = m.live[in.bytes(2) % m.live.size()];
    const std::int32_t expected =
        m.s.memoryDll ? static_cast<std::int32_t>(b.requested + m.GL + 2 * m.TG) : 0;
    expectEqual(qj::getSizeOfAllocation(b.user), expected, "size of a live block");
}

std::vector<std::string> name_vocabulary;

const std::string& pickName(Input& in) { return name_vocabulary[in.byte() % name_vocabulary.size()]; }

void opAddMemoryName(Input& in) {
    const std::string& name = pickName(in);
    std::int32_t expected = -1;
    if (m.nameCount == 0) {
        m.names[0] = "qj7";
        m.nameCount = 1;
    }
    for (std::int32_t i = 1; i < m.nameCount && expected < 0; ++i)
        if (sameIgnoringCase(m.names[i], name))
            expected = i;
    if (expected < 0) {
        if (m.nameCount >= 16) {
            expected = 0; // every record in use: the default name
        } else {
            m.names[m.nameCount] = name.substr(0, 63);
            expected = m.nameCount++;
        }
    }
    expectEqual(qj::addMemoryName(name.c_str()), expected, "addMemoryName");
}

std::array<std::int32_t, kCells> trace_cells;
std::array<std::int32_t, kCells> resource_cells;

void opStartTrace(Input& in, int thread) {
    const int c = static_cast<int>(in.byte() % kCells);
    const std::string& name = pickName(in);
    if (m.s.traceIds && m.stack.size() < kTraceStackSlots) {
        if (m.traceCells[c] == -1)
            m.traceCells[c] = findOrAddRecord(m.traces, name);
        m.stack.emplace_back(m.traceCells[c], thread);
    }
    std::int32_t& cell = trace_cells[c];
    if (thread == 0)
        qj::startMemoryTrace(cell, name.c_str());
    else
        second_thread->run([&cell, &name] { qj::startMemoryTrace(cell, name.c_str()); });
    expectEqual(trace_cells[c], m.traceCells[c], "trace cell");
}

void opEndTrace(Input& in, int thread) {
    const std::uint32_t pick = in.byte();
    std::int32_t id = pick < 200 ? m.traceCells[pick % kCells] : static_cast<std::int32_t>(pick % 8) - 1;
    if (m.s.traceIds && !m.stack.empty() && m.stack.back().first == id && m.stack.back().second == thread)
        m.stack.pop_back();
    if (thread == 0)
        qj::endMemoryTrace(id);
    else
        second_thread->run([id] { qj::endMemoryTrace(id); });
}

void opResource(Input& in, bool acquire) {
    static const std::int32_t kSizes[8] = {0, 1, 100, -5, 4096, 1 << 30, INT32_MAX, INT32_MIN};
    const int c = static_cast<int>(in.byte() % kCells);
    const std::string& name = pickName(in);
    const std::uint32_t pick = in.byte();
    const std::int32_t size = pick < 64 ? kSizes[pick % 8] : static_cast<std::int32_t>(in.bytes(2));
    if (m.resourceCells[c] == -1)
        m.resourceCells[c] = findOrAddRecord(m.resources, name);
    Stats& st = m.resources[m.resourceCells[c]].stats;
    if (acquire) {
        st.add(size);
        qj::resourceTraceAllocate(resource_cells[c], name.c_str(), size);
    } else {
        st.remove(size);
        qj::resourceTraceFree(resource_cells[c], name.c_str(), size);
    }
    expectEqual(resource_cells[c], m.resourceCells[c], "resource cell");
}

void opStatus(bool toFile) {
    if (!toFile) {
        checkStatus();
        return;
    }
    const std::string path = freshWorkFile("status.txt");
    expectText(qj::getStatus(path.c_str()), "", "status text after writing the file");
    bool exists = false;
    const std::string text = readFile(path, exists);
    expect(exists, "status file written");
    expectedStatus().check(text, "status file");
}

void opTraceReport(bool toFile) {
    if (!toFile) {
        checkTraceReport();
        return;
    }
    const std::string path = freshWorkFile("traces.txt");
    qj::memoryTraceReportToFile(path.c_str());
    bool exists = false;
    const std::string text = readFile(path, exists);
    expectEqual(exists, m.s.traceIds, "trace report file written exactly with the switch on");
    if (exists) {
        ExpectedText e;
        addReport(e, m.traces, "no traces found");
        e.check(text, "trace report file");
    }
}

void opHistogram(Input& in) {
    switch (in.byte() % 3) {
    case 0: {
        const std::string path = freshWorkFile("histogram.txt");
        qj::histogramDumpToFile(path.c_str());
        checkHistogramFile(path);
        break;
    }
    case 1:
        qj::histogramClearPeaks();
        std::fill(m.histPeak.begin(), m.histPeak.end(), 0u);
        break;
    default:
        qj::histogramClearCurrent();
        std::fill(m.histCurrent.begin(), m.histCurrent.end(), 0u);
        break;
    }
}

void opDump(Input& in, bool active) {
    const std::string path = freshWorkFile("allocations.txt");
    const std::uint32_t pick = in.byte();
    const std::int32_t filter = pick < 128 ? -1 : pick < 160 ? -2 : static_cast<std::int32_t>(pick % 6);
    const char* answer = active ? qj::dump_active_allocations_to_file(path.c_str())
                                : qj::dump_allocations_to_file(path.c_str(), filter);
    if (!m.s.callstack) {
        expectText(answer, "can't dump allocations: callstack information not available.", "dump, tracking off");
        bool exists = false;
        readFile(path, exists);
        expect(!exists, "no dump file with tracking off");
        return;
    }
    expectText(answer, "allocation and callstack information written", "dump answer");
    if (active)
        checkSiteReport(path, false, -1);
    else
        checkSiteReport(path, filter < 0, filter);
}

void opMisc(Input& in) {
    switch (in.byte() % 5) {
    case 0: {
        char text[64];
        std::memset(text, 'x', sizeof text);
        qj::get_callstack_debug_str(text, static_cast<std::int32_t>(in.byte()), -1);
        expect(std::memcmp(text, "Only available in DEBUG builds", 31) == 0 && text[31] == 'x',
               "call-stack debug text");
        break;
    }
    case 1:
        qj::memory_update_modules(nullptr);
        break;
    case 2:
        qj::nextVisualFrame();
        break;
    case 3:
        qj::nextPhysicFrame();
        break;
    default: {
        const std::uint32_t limit = in.bytes(4);
        qj::set_max_alloc_size(limit);
        expectEqual(qj::get_max_alloc_size(), limit, "size limit");
        qj::reset_max_alloc_size();
        expectEqual(qj::get_max_alloc_size(), 16777216u, "size limit after reset");
        break;
    }
    }
}

void opClearSites() {
    qj::set_all_allocations_to_zero();
    if (m.s.callstack)
        for (Site& s : m.sites) {
            s.current = 0;
            s.currentSize = 0;
        }
}

void opTraceReset() {
    qj::memoryTraceReset();
    if (m.s.traceIds && m.s.callstack)
        for (Site& s : m.sites)
            if (s.exists && s.traceId >= 0 && s.traceId < static_cast<std::int32_t>(m.traces.size())) {
                s.peakSize = 0;
                s.peakNumAllocs = 0;
                s.current = 0;
                s.currentSize = 0;
            }
}

// Pointers that are no block: the two bad values, and pointers outside every block.
void opForeignPointer(Input& in) {
    if (!m.s.memoryDll)
        return;
    const std::uintptr_t pointers[4] = {0xDDDDDDDDu, 0xCDCDCDCDu, 16, UINTPTR_MAX & ~std::uintptr_t{0xFFF}};
    const std::size_t which = in.byte() % 4;
    const std::uintptr_t p = pointers[which];
    qj::qj_free(reinterpret_cast<void*>(p));
    expectReports({which < 2 ? "memory.dll: free() called using a bad memory ptr " + pointerText(p)
                             : "memory.dll: free() ptr outside range of memoryDLL allocations, ptr:" + pointerText(p)},
                  "foreign pointer");
}

// A pointer into the middle of a live block, between blocks of this input: caught by the
// used tag, which lies in the block's own (signed) user area there.
void opInteriorPointer(Input& in) {
    if (!m.s.memoryDll || m.UT == 0 || m.live.empty())
        return;
    const Block& b = m.live[in.bytes(2) % m.live.size()];
    if (b.requested < m.head + 8)
        return;
    const std::uint32_t offset = m.head + in.bytes(2) % (b.requested - m.head - 4);
    const auto p = reinterpret_cast<std::uintptr_t>(b.user) + offset;
    if (p > m.high || (p & 0xFFF) == d::large_user_offset)
        return;
    qj::qj_free(reinterpret_cast<void*>(p));
    expectReports({"memory.dll: trying to free non DLL allocated memory " + pointerText(p)}, "interior pointer");
    checkSignature(b);
}

void opTailGuard(Input& in) {
    if (!m.s.memoryDll || m.GL == 0 || m.live.empty())
        return;
    const Block b = takeLive(in);
    const int offset = static_cast<int>(in.byte() % m.GL);
    int value = static_cast<int>(in.byte());
    if (value == 0x99)
        value = 0x98;
    release(b, static_cast<int>(in.byte() & 1u), false, offset, value);
}

void opTooLarge(Input& in) {
    if (!m.s.memoryDll)
        return;
    static const std::uint32_t kSizes[4] = {0xFFFFFFFFu, 0x80000000u, 0x40000000u, 0x3FFFFFFFu};
    const std::uint32_t size = kSizes[in.byte() % 4];
    if (std::uint64_t{size} + m.overhead < (1u << 30))
        return;
    qj::set_max_alloc_size(0xFFFFFFFFu); // no sanity line on the debugger output
    void* p = qj::qj_malloc(size, 0);
    qj::reset_max_alloc_size();
    expect(p == nullptr, "a request too large for the header is refused");
    expectReports({format("Quorrick.dll: all alloc attempts failed for size %d", static_cast<std::int32_t>(size))},
                  "request too large");
}

void runOperation(Input& in) {
    const std::uint32_t op = in.byte() % 40;
    note("operation %u", op);
    switch (op) {
    case 0: case 1: case 2: case 3: case 4: case 5:
        opAllocate(in, 0);
        break;
    case 6: case 7:
        opAllocate(in, 1);
        break;
    case 8: case 9: case 10: case 11:
        opRelease(in, 0, false);
        break;
    case 12:
        opRelease(in, 1, false);
        break;
    case 13:
        opRelease(in, static_cast<int>(in.byte() & 1u), true);
        break;
    case 14:
        opSize(in);
        break;
    case 15:
        opAddMemoryName(in);
        break;
    case 16: case 17:
        opStartTrace(in, static_cast<int>(op - 16));
        break;
    case 18: case 19:
        opEndTrace(in, static_cast<int>(op - 18));
        break;
    case 20: case 21:
        opResource(in, op == 20);
        break;
    case 22: case 23:
        opStatus(op == 23);
        break;
    case 24: case 25:
        opTraceReport(op == 25);
        break;
    case 26: case 27:
        opHistogram(in);
        break;
    case 28: case 29:
        opDump(in, op == 29);
        break;
    case 30: case 31:
        opMisc(in);
        break;
    case 32:
        opClearSites();
        break;
    case 33:
        opTraceReset();
        break;
    case 34:
        opForeignPointer(in);
        break;
    case 35:
        opInteriorPointer(in);
        break;
    case 36:
        opTailGuard(in);
        break;
    case 37:
        opTooLarge(in);
        break;
    default:
        if (!m.live.empty() && m.s.memoryDll)
            checkLayout(m.live[in.bytes(2) % m.live.size()], false);
        break;
    }
    expectReports({}, "operation");
    checkCounters("counters after an operation");
}

void buildVocabulary() {
    if (!name_vocabulary.empty())
        return;
    buildTables();
    name_vocabulary = {"terrain", "Terrain", "TERRAIN", "sound", "Sound", "qj7", "QJ7", "physics",
                       "render", "a", "A", "", "nameNOTset", "x y", "ui", "net"};
    name_vocabulary.push_back(std::string(63, 'm'));
    name_vocabulary.push_back(std::string(64, 'm'));
    name_vocabulary.push_back(std::string(256, 't'));
    name_vocabulary.push_back(std::string(257, 'T'));
    name_vocabulary.push_back(std::string(300, 'q'));
    for (int i = 0; i < 11; ++i)
        name_vocabulary.push_back("name" + std::to_string(i));
}

void resetCells() {
    trace_cells.fill(-1);
    resource_cells.fill(-1);
}

} // namespace seqfuzz
