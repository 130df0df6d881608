// getStatus: the one-page status text, returned or written to a file. Each part comes
// from the subsystem it describes; this file only puts them in order:
//   version line, blank line
//   counters (alloc)               "MemoryDLL not active" instead of all that follows
//   memory names (trace)
//   resources (trace)              cut to leave room for the pool table
//   pool table (pools)             "ChunkPools not active" when the pools are off
#include "status/status.h"

#include "Quorrick.h"
#include "alloc/alloc.h"
#include "frame/settings.h"
#include "frame/text_builder.h"
#include "outputs/outputs.h"
#include "pools/chunk_pools.h"
#include "quarantine/quarantine.h"
#include "trace/trace.h"
#include "trace/trace_stats.h"

#include <cstdio>

namespace velt::zur::memory {

namespace detail {
namespace {

char status_text[kStatusTextSize];
// The pool table is made first, so that the resource section knows how much room to
// leave for it.
char pool_text[ChunkPools::kStatusTextLength + 1];

// One build at a time: the status text and the pool text are shared.
SpinLock status_build_lock;

} // namespace
} // namespace detail

const char* getStatus(const char* path) {
    using namespace detail;
    // Blocks held in the release quarantine are verified first (a changed one is reported
    // before the lock below is taken).
    quarantineVerifyAll();
    // No error callback runs while the lock is held, so there is no re-entry.
    SpinGuard guard(status_build_lock);
    TextBuilder out(status_text, sizeof status_text);
    out.append("%s\n\n", kVersionBanner);
    if (!settings.use_memoryDll) {
        out.appendText("MemoryDLL not active\n");
    } else {
        appendCounterStatus(out);
        appendMemoryNameStatus(out);
        TextBuilder pools(pool_text, sizeof pool_text);
        if (settings.use_pools)
            ChunkPools::appendStatus(pools);
        else
            pools.appendText("ChunkPools not active\n");
        appendResourceStatus(out, pools.length());
        out.appendRaw(pools.text(), pools.length());
    }

    if (path == nullptr)
        return status_text;
    if (std::FILE* file = outputs::openForWriting(path, "wt")) {
        std::fwrite(status_text, 1, out.length(), file);
        std::fclose(file);
    }
    status_text[0] = '\0';
    return status_text;
}

} // namespace velt::zur::memory
