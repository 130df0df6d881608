// A small host in the spirit of the editor the library serves: it advances visual and
// physics frames on two threads, allocating and releasing blocks of many sizes through
// the library under memory names and trace scopes, counts its textures and sounds in the
// resource trace, leaks a few blocks on purpose, and prints the library's reports.
#include "Quorrick.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

constexpr int kFrames = 8;

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

void onError(bool recoverable, const char* message) {
    std::fprintf(stderr, "demo: library reported (%s): %s\n", recoverable ? "recoverable" : "fatal",
                 message);
}

// One frame of work: a burst of blocks of many sizes, most released before the frame ends.
void frameWork(std::uint32_t& seed, std::int32_t memoryName, std::vector<void*>& keep) {
    std::vector<void*> frame;
    for (int i = 0; i < 400; ++i) {
        const std::uint32_t r = nextRandom(seed);
        const std::uint32_t size = (r % 8 == 0) ? 100 + r % 20000 : 1 + r % 76;
        void* p = qj::qj_malloc(size, memoryName);
        if (p != nullptr)
            std::memset(p, 0x5A, size);
        frame.push_back(p);
    }
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (i % 97 == 0)
            keep.push_back(frame[i]); // survives the frame
        else
            qj::qj_free(frame[i]);
    }
}

// Resources the host counts itself: textures and sounds it loads and unloads per frame.
// A few stay loaded at the end and show in resourcesAtShutdown.txt.
void countResources(int frame) {
    static std::int32_t textures = -1; // identifier cells: -1 until the library fills them
    static std::int32_t sounds = -1;
    const std::int32_t textureBytes = 65536 * (1 + frame % 3);
    qj::resourceTraceAllocate(textures, "texture", textureBytes);
    qj::resourceTraceAllocate(textures, "texture", 16384);
    if (frame > 0)
        qj::resourceTraceFree(textures, "texture", 16384);
    if (frame % 2 == 0)
        qj::resourceTraceAllocate(sounds, "sound", 44100 * 2);
    if (frame % 4 == 3)
        qj::resourceTraceFree(sounds, "sound", 44100 * 2);
}

std::int32_t physics_name = 0;

void physicsThread(std::vector<void*>* keep) {
    std::uint32_t seed = 7;
    for (int frame = 0; frame < kFrames; ++frame) {
        // No trace of its own: the trace stack is one for the whole process, so these
        // blocks are charged to whatever trace the visual thread has open at the time.
        frameWork(seed, physics_name, *keep);
        qj::nextPhysicFrame();
    }
}

// Deliberate leaks with a call stack of their own: a shader cache that the host never
// empties. The leak report names loadShaders and main for these blocks (compileShader,
// which calls the allocator, is the host function the report starts above).
__attribute__((noinline)) void* compileShader(int variant) {
    const std::uint32_t size = 256u << variant;
    void* code = qj::qj_malloc(size, 0);
    if (code != nullptr)
        std::memset(code, 0xC3, size);
    return code;
}

__attribute__((noinline)) void loadShaders(std::vector<void*>& cache) {
    for (int variant = 0; variant < 3; ++variant)
        cache.push_back(compileShader(variant));
}

} // namespace

int main() {
    qj::register_err_callback(&onError);
    // The leak report's module list lets tools/symbolize_leaks.py find this program's
    // functions and lines; every report refreshes it, this fills it from the start.
    qj::memory_update_modules(nullptr);
    std::vector<void*> shaderCache;
    loadShaders(shaderCache);
    const std::int32_t terrain = qj::addMemoryName("terrain");
    const std::int32_t sound = qj::addMemoryName("sound");
    physics_name = qj::addMemoryName("physics");

    std::vector<void*> visualKeep;
    std::vector<void*> physicsKeep;
    std::thread physics(physicsThread, &physicsKeep);
    std::uint32_t seed = 1;
    std::int32_t frameTrace = -1, terrainTrace = -1; // trace cells, kept between frames
    for (int frame = 0; frame < kFrames; ++frame) {
        qj::startMemoryTrace(frameTrace, "visual frame");
        qj::startMemoryTrace(terrainTrace, "terrain streaming");
        frameWork(seed, terrain, visualKeep);
        qj::endMemoryTrace(terrainTrace);
        frameWork(seed, sound, visualKeep); // audio mixing, charged to "visual frame"
        countResources(frame);
        qj::endMemoryTrace(frameTrace);
        qj::nextVisualFrame();
    }
    physics.join();

    // Release everything but a few deliberate leaks.
    for (std::size_t i = 0; i < visualKeep.size(); ++i)
        if (i % 5 != 0)
            qj::qj_free(visualKeep[i]);
    for (void* p : physicsKeep)
        qj::qj_free(p);

    std::printf("live blocks: %d, live bytes: %d, allocation calls: %d\n",
                qj::get_total_allocation_call_count(), qj::get_total_bytes_allocated(),
                qj::get_accumulated_allocation_call_count());
    qj::memoryTraceReportToFile("traceReport.txt");
    // The sites that allocate the most in one frame: who allocates every frame.
    qj::dump_frame_churn_to_file("frameChurn.txt", 20);
    std::printf("%s\n\n", qj::memoryTraceReport());
    qj::getStatus("status.txt");
    std::printf("%s\n", qj::getStatus(nullptr));
    std::printf("reports written to the working directory: status.txt, traceReport.txt, "
                "frameChurn.txt, resourcesAtShutdown.txt and the files named in "
                "MemorySettings.dat\n");
    return 0;
}
