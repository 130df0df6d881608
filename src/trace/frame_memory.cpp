// The per-frame memory file: at every visual frame change one CSV line with the frame that
// ended and, for each memory name in use, its current bytes and block count, then the
// total over all sixteen records. Off (nothing opened, nothing read) unless the settings
// name a file.
//
// The file starts anew with the first line of a run and is opened for each line, so a
// host that stops without unloading the library still leaves every finished frame in it.
// The header names the columns of the names in use; when a name is added later the header
// is written again, wider, before the next line.
#include "trace/frame_memory.h"
#include "outputs/outputs.h"

#include "alloc/counters.h"
#include "frame/settings.h"
#include "frame/text_builder.h"
#include "trace/trace_internal.h"

#include <cstdio>
#include <cstring>

namespace velt::zur::memory::detail {

namespace {

SpinLock frame_memory_lock;
bool frame_memory_started = false;
std::int32_t frame_memory_columns = 0; // memory names in the last header written

// A name as a CSV field: quoted when it holds a separator, a quote or a line end.
void writeName(TextBuilder& out, const char* name, const char* suffix) {
    if (std::strpbrk(name, ",\"\r\n") == nullptr) {
        out.append(",%s%s", name, suffix);
        return;
    }
    out.appendText(",\"");
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c == '"')
            out.appendRaw("\"", 1);
        out.appendRaw(c, 1);
    }
    out.append("%s\"", suffix);
}

} // namespace

void frameMemoryReset() {
    SpinGuard guard(frame_memory_lock);
    frame_memory_started = false;
    frame_memory_columns = 0;
}

void writeFrameMemoryLine(const char* path, std::uint32_t frame) {
    // Record 0 is in use from the first block on, whether or not a name was added.
    std::int32_t count = memoryNameCount.load(std::memory_order_acquire);
    if (count < 1)
        count = 1;
    if (count > kMemoryNameCount)
        count = kMemoryNameCount;
    TraceStatsValues values[kMemoryNameCount];
    std::int64_t totalBytes = 0;
    std::int64_t totalBlocks = 0;
    {
        // One instant for all sixteen: the charges run in statistics sections.
        StatisticsFreeze freeze;
        for (std::int32_t i = 0; i < kMemoryNameCount; ++i)
            values[i] = memoryNames[i].stats.snapshot();
    }
    for (std::int32_t i = 0; i < kMemoryNameCount; ++i) {
        totalBytes += values[i].bytes;
        totalBlocks += values[i].numAllocs;
    }

    SpinGuard guard(frame_memory_lock);
    std::FILE* file = outputs::openForWriting(path, frame_memory_started ? "at" : "wt");
    if (file == nullptr)
        return;
    frame_memory_started = true;
    char text[1024];
    TextBuilder out(text, sizeof text, file);
    if (count != frame_memory_columns) {
        out.appendText("frame");
        for (std::int32_t i = 0; i < count; ++i) {
            const char* name = memoryNames[i].name[0] != '\0' ? memoryNames[i].name : "qj7";
            writeName(out, name, "_bytes");
            writeName(out, name, "_blocks");
        }
        out.appendText(",total_bytes,total_blocks\n");
        frame_memory_columns = count;
    }
    out.append("%u", frame);
    for (std::int32_t i = 0; i < count; ++i)
        out.append(",%d,%d", values[i].bytes, values[i].numAllocs);
    out.append(",%lld,%lld\n", static_cast<long long>(totalBytes),
               static_cast<long long>(totalBlocks));
    out.flush();
    std::fclose(file);
}

} // namespace velt::zur::memory::detail
