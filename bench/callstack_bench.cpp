// Allocation pairs with call-stack tracking, allocated from deep in a host's stack so that
// every capture walks its full depth, against the runtime's malloc+free at the same depth in
// the same process. Built twice: callstack_bench with frame pointers in this host's code,
// callstack_bench_nofp without, where the walk meets registers that hold no frame chain.
//
// Settings come from MemorySettings.dat in the working directory (bench/callstack_run.sh
// writes one per run). With --second_thread every benchmark runs on a thread other than
// the one that loaded the library.
#include "Quorrick.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

constexpr std::size_t kWorkingSet = 1024;
// Host frames between the benchmark and the allocating call: more than the 16 captured.
constexpr int kNesting = 24;

struct Runtime {
    __attribute__((noinline)) static void* alloc(std::uint32_t size) { return std::malloc(size); }
    __attribute__((noinline)) static void release(void* p) { std::free(p); }
};

struct Library {
    __attribute__((noinline)) static void* alloc(std::uint32_t size) { return qj::qj_malloc(size, 0); }
    __attribute__((noinline)) static void release(void* p) { qj::qj_free(p); }
};

std::vector<std::uint32_t> sizeSequence(std::uint32_t maxSize) {
    std::vector<std::uint32_t> sizes(1 << 16);
    std::uint32_t state = 12345u;
    for (auto& s : sizes) {
        state = state * 1664525u + 1013904223u;
        s = 1 + (state >> 8) % maxSize;
    }
    return sizes;
}

template <class Allocator> __attribute__((noinline)) void pairs(benchmark::State& state) {
    const std::vector<std::uint32_t> sizes = sizeSequence(static_cast<std::uint32_t>(state.range(0)));
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

template <class Allocator> __attribute__((noinline)) void nest(int levels, benchmark::State& state) {
    if (levels == 0)
        pairs<Allocator>(state);
    else
        nest<Allocator>(levels - 1, state);
    benchmark::ClobberMemory(); // no tail call: every level keeps its frame
}

void MallocPairDeep(benchmark::State& state) { nest<Runtime>(kNesting, state); }
void QjPairDeep(benchmark::State& state) { nest<Library>(kNesting, state); }

BENCHMARK(MallocPairDeep)->Arg(76);
BENCHMARK(QjPairDeep)->Arg(76);

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
