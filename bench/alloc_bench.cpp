// Allocation pairs through the library against the runtime's malloc+free in the same
// process. Each benchmark keeps a working set of live blocks: every iteration releases
// one block of the set and allocates its replacement at a random size.
//
// The library's behaviour comes from MemorySettings.dat in the working directory
// (bench/run.sh runs one process per settings file). With --second_thread every
// benchmark runs on a thread other than the one that loaded the library.
#include "Quorrick.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

using qjbench::Library;
using qjbench::Runtime;

constexpr std::size_t kWorkingSet = 1024;

// A fixed sequence of sizes so that both allocators see exactly the same requests.
std::vector<std::uint32_t> sizeSequence(std::uint32_t maxSize, std::uint32_t seed) {
    std::vector<std::uint32_t> sizes(1 << 16);
    std::uint32_t state = seed;
    for (auto& s : sizes) {
        state = state * 1664525u + 1013904223u;
        s = 1 + (state >> 8) % maxSize;
    }
    return sizes;
}

template <class Allocator> void pairs(benchmark::State& state) {
    const auto maxSize = static_cast<std::uint32_t>(state.range(0));
    const std::vector<std::uint32_t> sizes =
        sizeSequence(maxSize, 12345u + static_cast<std::uint32_t>(state.thread_index()));
    std::vector<void*> live(kWorkingSet);
    std::size_t next = 0;
    for (auto& p : live)
        p = Allocator::alloc(sizes[next++ & 0xFFFF]);
    std::size_t slot = 0;
    for (auto _ : state) {
        Allocator::release(live[slot]);
        void* p = Allocator::alloc(sizes[next++ & 0xFFFF]);
        benchmark::DoNotOptimize(p);
        live[slot] = p;
        slot = (slot + 1) & (kWorkingSet - 1);
    }
    for (void* p : live)
        Allocator::release(p);
    state.SetItemsProcessed(state.iterations());
}

void MallocPair(benchmark::State& state) { pairs<Runtime>(state); }
void QjPair(benchmark::State& state) { pairs<Library>(state); }

BENCHMARK(MallocPair)->Arg(76)->Arg(4000);
BENCHMARK(QjPair)->Arg(76)->Arg(4000);
BENCHMARK(MallocPair)->Arg(76)->Arg(4000)->Threads(2)->UseRealTime();
BENCHMARK(QjPair)->Arg(76)->Arg(4000)->Threads(2)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    bool secondThread = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--second_thread") == 0)
            secondThread = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (secondThread) {
        std::thread runner([] { benchmark::RunSpecifiedBenchmarks(); });
        runner.join();
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
