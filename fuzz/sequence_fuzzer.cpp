// Fuzz target: sequences of operations on the whole library, checked against a shadow
// model.
//
// An input is a small program. Its first three bytes choose the switches; the library is
// set up for them the way the attach handler sets it up, runs the operations that the rest
// of the bytes describe, and is torn down the way the detach handler tears it down, so
// every input starts from a freshly attached library and replays on its own.
//
// Operations: allocations (sizes biased to 0, the pool class edges, gross sizes 4083 to
// 4096, the histogram's 10000, the large-block threshold, anything up to 1 MiB) on the main
// thread or on a second thread; releases on either; size queries; memory names; trace
// starts and ends on either thread; the frame counters; resources; every report and query
// function; the two clearing functions; and misuses whose outcome the release rules decide:
// the two bad-pointer values, pointers outside every block ever handed out, an interior
// pointer, an immediate second release, a changed tail-guard byte, a pooled block released
// on the second thread, a request too large for the header word.
//
// The model follows the documented rules, not the code. While no error is reported it
// checks after every operation the four counters and the histogram's byte totals, and on
// request the status text, the trace and resource reports, the histogram file, the
// allocation dumps, a block's layout and its size. After a misuse it checks the exact
// report texts and the number of callback calls, then clears the failure flag and goes on
// with the model updated as the rules say. Every user area carries a signature that is
// checked before its release, and no two blocks that the library holds may overlap.
//
// The global counters are never reset in a process; each input starts its model from the
// values they have before it.
//
// This file is the driver: the switches an input chooses, the library's start for them,
// the run of the operations and the teardown. sequence_model.* holds the shadow model,
// sequence_operations.* the operations, sequence_support.* the harness they share.
#include "sequence_model.h"
#include "sequence_operations.h"
#include "sequence_support.h"

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

#include <cstdint>
#include <string>

namespace seqfuzz {

// --- Set-up and teardown as the attach and detach handlers do them -----------------------

Switches decodeSwitches(Input& in) {
    const std::uint32_t a = in.byte(), b = in.byte(), c = in.byte();
    static const std::int32_t kGuardLengths[16] = {4, 0, 1, 2, 3, 4, 5, 7, 8, 13, 16, 31, 64, 100, 4, 4};
    static const std::int32_t kDepths[4] = {16, 2, 128, 999};
    static const std::int32_t kHashSizes[4] = {57903, 1001, 4099, 57903};
    Switches s{};
    s.histogram = a & 1u;
    s.pools = !(a & 2u);
    s.callstack = a & 4u;
    s.traceIds = a & 8u;
    s.usedTag = !(a & 16u);
    s.patterns = !(a & 32u);
    s.tailguards = !(a & 64u);
    s.tags = a & 128u;
    s.guardLength = kGuardLengths[b & 15u];
    s.valloc = (b & 0x30u) == 0x30u;
    s.memoryDll = (b & 0xC0u) != 0xC0u;
    s.depth = kDepths[c & 3u];
    s.hashSize = kHashSizes[(c >> 2) & 3u];
    s.includeAll = c & 16u;
    s.leakreport = c & 32u;
    s.chunksPerPool = (c & 64u) ? ((c & 128u) ? 3 : 1) : 0;
    return s;
}

void attach(const Switches& s) {
    std::string text;
    text += format("use_memoryDll %d\nuse_histogram %d\nuse_pools %d\n", s.memoryDll, s.histogram, s.pools);
    text += format("use_callstack %d\nuse_traceIdentifiers %d\nuse_memoryUsedTag %d\n", s.callstack,
                   s.traceIds, s.usedTag);
    text += format("callstack_depth %d\ninclude_all %d\nhash_size %d\npatterns %d\ntailguards %d\n", s.depth,
                   s.includeAll, s.hashSize, s.patterns, s.tailguards);
    text += format("tailguard_length %d\nuse_valloc %d\nuse_qj7_tags %d\n", s.guardLength, s.valloc, s.tags);
    if (s.leakreport)
        text += "leakreport " + workFile("leaks.txt") + "\n";
    // The library's own start, with the settings text in place of MemorySettings.dat.
    d::startLibrary(text.data(), text.size());
    const d::Settings& set = d::settings;
    expect(set.use_memoryDll == s.memoryDll && set.use_histogram == s.histogram && set.use_pools == s.pools &&
               set.use_callstack == s.callstack && set.use_traceIdentifiers == s.traceIds &&
               set.use_memoryUsedTag == s.usedTag && set.patterns == s.patterns &&
               set.tailguards == s.tailguards && set.tailguard_length == s.guardLength &&
               set.use_valloc == s.valloc && set.use_qj7_tags == s.tags && set.callstack_depth == s.depth &&
               set.hash_size == s.hashSize && set.include_all == s.includeAll &&
               set.has_leakreport == s.leakreport,
           "settings read back as written");
    // Before the first block: pools of a few chunks each, so that inputs reach full pools.
    if (set.use_pools && s.chunksPerPool != 0)
        for (std::uint32_t size : kPoolClasses)
            expect(d::setNominalChunkBytes(size, static_cast<std::int32_t>((size + 3) & ~3u) * s.chunksPerPool),
                   "small memoryChunks");
}

// Releases what is left, checks the end state and tears the library down as detach does.
void finish() {
    while (!m.live.empty()) {
        const Block b = m.live.back();
        m.live.pop_back();
        release(b, 0);
    }
    checkCounters("counters at the end");
    checkStatus();
    checkTraceReport();
    const d::Settings& set = d::settings;
    if (set.use_histogram) {
        const std::string path = freshWorkFile("histogram_at_exit.txt");
        d::histogramWriteFile(path.c_str());
        checkHistogramFile(path);
    }
    if (set.use_pools)
        qj::ChunkPools::shutdown();
    if (set.use_callstack) {
        const std::string path = freshWorkFile("leaks.txt");
        d::allocInfoFinalReport(set.has_leakreport ? set.leakreport : nullptr, set.include_all);
        if (set.has_leakreport)
            checkSiteReport(path, set.include_all, -1);
        d::allocInfoTableInit(0); // back to no table, as before the first attach
    }
    ExpectedText resources;
    addReport(resources, m.resources, "no resources found");
    resources.check(d::resourceReport(), "resource report at detach");
    // The process would end here and take the pages of the page-guard blocks with it.
    for (const Block& b : m.retained)
        if (b.source == Source::PageGuard)
            qj::platform::pagesUnmap(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(blockStart(b)) &
                                                              ~std::uintptr_t{kPageSize - 1}),
                                     2 * kPageSize);
    d::histogramResetForTesting();
    d::resetTraceStateForTesting();
    expectReports({}, "teardown");
    m = Model(); // nothing the input allocated outlives it
}

void runInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const Switches s = decodeSwitches(in);
    note("input: dll %d histogram %d pools %d (%d per memoryChunk) callstack %d traces %d usedtag %d patterns %d "
         "tailguard %d/%d valloc %d tags %d",
         s.memoryDll, s.histogram, s.pools, s.chunksPerPool, s.callstack, s.traceIds, s.usedTag, s.patterns,
         s.tailguards, s.guardLength, s.valloc, s.tags);
    attach(s);
    resetModel(s);
    resetCells();
    checkCounters("counters after attach");
    for (int steps = 0; !in.done() && steps < 2000; ++steps)
        runOperation(in);
    finish();
}

} // namespace seqfuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    seqfuzz::setUpProcess();
    seqfuzz::buildVocabulary();
    seqfuzz::main_thread->run([data, size] { seqfuzz::runInput(data, size); });
    return 0;
}
