// Start and stop of the library: the static initialisers in their fixed order, and the
// start and stop sequences that the platform's loader entry calls.
#include "Quorrick.h"
#include "alloc/aligned.h"
#include "alloc/alloc.h"
#include "alloc/counters.h"
#include "callstack/callstack.h"
#include "frame/frame.h"
#include "frame/locks.h"
#include "frame/report.h"
#include "frame/runtime_heap.h"
#include "frame/settings.h"
#include "histogram/histogram.h"
#include "outputs/outputs.h"
#include "platform/platform.h"
#include "pools/chunk_pools.h"
#include "quarantine/quarantine.h"
#include "trace/trace.h"
#include "tracking/alloc_info.h"

#include <cstdio>

// The static objects below must exist before the attach handler runs and be destroyed
// after the detach handler. They are ordered by initialisation priority; the platform
// entry on systems without loader notifications runs at the lowest priority, after them.
#if defined(__GNUC__) && !defined(_WIN32)
#define QJ_INIT_ORDER(n) __attribute__((init_priority(n)))
#else
#define QJ_INIT_ORDER(n)
#endif

namespace velt::zur::memory::detail {

platform::ThreadId main_thread_id = 0;
std::atomic<bool> detached{false};

namespace {

// The steps between the locks, in the fixed order of construction.
enum class StaticStep { kMemoryNames, kTraceStack };

struct StaticStart {
    explicit StaticStart(StaticStep step) {
        switch (step) {
        case StaticStep::kMemoryNames:
            clearMemoryNames();
            break;
        case StaticStep::kTraceStack:
            clearTraceStack();
            break;
        }
    }
};

// A host that needs aligned blocks (alloc/aligned.h) is served by the heap path alone:
// pool chunks and page-guard placement cannot keep the alignment.
void adjustSettingsForHost(Settings& s) {
    if (aligned_blocks) {
        s.use_pools = false;
        s.use_valloc = false;
    }
}

} // namespace

// Construction order: call-stack lock, global lock, memory names, histogram lock, trace
// stack. Destruction runs in reverse, after the detach handler.
CritSecLock call_stack_lock QJ_INIT_ORDER(1001);
CritSecLock global_lock QJ_INIT_ORDER(1002);
static StaticStart memory_names_start QJ_INIT_ORDER(1003){StaticStep::kMemoryNames};
CritSecLock histogram_lock QJ_INIT_ORDER(1004);
static StaticStart trace_stack_start QJ_INIT_ORDER(1005){StaticStep::kTraceStack};

CritSecLock& callStackLock() { return call_stack_lock; }
CritSecLock& globalLock() { return global_lock; }
CritSecLock& histogramLock() { return histogram_lock; }

void startLibrary(const char* settingsText, std::size_t length) {
    platform::installFaultProbe();
    readFaultPlan();
    applyAttachDefaults(settings);
    if (settingsText != nullptr)
        parseSettings(settingsText, length, settings);
    else
        loadSettingsFile("MemorySettings.dat", settings);
    loadSettingsEnvironment(settings);
    adjustSettingsForHost(settings);
    computeBlockLayout();
    startReleaseQuarantine(static_cast<std::uint32_t>(settings.release_quarantine));
    initCounters();
    if (settings.use_pools)
        ChunkPools::init();
    if (settings.use_callstack) {
        initCallStack();
        allocInfoTableInit(settings.hash_size);
    }
    main_thread_id = callingThreadId();
}

void stopLibrary() {
    // Blocks still held in the quarantine are verified one last time and given back; a
    // launched program's run folder gets the status text as it stands at the end.
    quarantineDrain();
    if (outputs::runFolderSet())
        getStatus("status.txt");
    if (settings.use_histogram)
        histogramWriteFile("memoryHistogramAtExit.txt");
    // From here on every entry point is a plain pass-through: the pools and the site
    // table are about to go away.
    detached.store(true, std::memory_order_seq_cst);
    entry_state.fetch_or(kOffDetached, std::memory_order_seq_cst);
    if (settings.use_pools)
        ChunkPools::shutdown();
    if (isCallStackActive()) {
        shutdownCallStack();
        allocInfoFinalReport(settings.has_leakreport ? settings.leakreport : nullptr,
                             settings.include_all);
    }
    if (std::FILE* file = outputs::openForWriting("resourcesAtShutdown.txt", "wt")) {
        std::fprintf(file, "%s\n", resourceReport());
        std::fclose(file);
    }
    reportFaultPlanCount();
    platform::removeFaultProbe();
}

} // namespace velt::zur::memory::detail
