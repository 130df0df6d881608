// The chunk pools on their own: ChunkPools::alloc + ChunkPools::free pairs of random
// gross sizes against the runtime's malloc + free, with the same working set and the
// same size sequence as alloc_bench. Shows the pools' share of the library's pool path.
#include "pools/chunk_pools.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

constexpr std::size_t kWorkingSet = 1024;

std::vector<std::uint32_t> sizeSequence(std::uint32_t maxSize) {
    std::vector<std::uint32_t> sizes(1 << 16);
    std::uint32_t state = 12345u;
    for (auto& s : sizes) {
        state = state * 1664525u + 1013904223u;
        s = 1 + (state >> 8) % maxSize;
    }
    return sizes;
}

struct Slot {
    void* p;
    std::uint32_t size;
    std::int32_t chain;
};

void PoolPair(benchmark::State& state) {
    qj::ChunkPools::init();
    const auto sizes = sizeSequence(static_cast<std::uint32_t>(state.range(0)));
    std::vector<Slot> live(kWorkingSet);
    std::size_t next = 0;
    for (auto& s : live) {
        s.size = sizes[next++ & 0xFFFF];
        s.p = qj::ChunkPools::alloc(s.size, s.chain);
    }
    std::size_t slot = 0;
    for (auto _ : state) {
        Slot& s = live[slot];
        qj::ChunkPools::free(s.p, s.size, s.chain);
        s.size = sizes[next++ & 0xFFFF];
        s.p = qj::ChunkPools::alloc(s.size, s.chain);
        benchmark::DoNotOptimize(s.p);
        slot = (slot + 1) & (kWorkingSet - 1);
    }
    for (auto& s : live)
        qj::ChunkPools::free(s.p, s.size, s.chain);
    qj::ChunkPools::shutdown();
}

void MallocPair(benchmark::State& state) {
    const auto sizes = sizeSequence(static_cast<std::uint32_t>(state.range(0)));
    std::vector<void*> live(kWorkingSet);
    std::size_t next = 0;
    for (auto& p : live)
        p = std::malloc(sizes[next++ & 0xFFFF]);
    std::size_t slot = 0;
    for (auto _ : state) {
        std::free(live[slot]);
        void* p = std::malloc(sizes[next++ & 0xFFFF]);
        benchmark::DoNotOptimize(p);
        live[slot] = p;
        slot = (slot + 1) & (kWorkingSet - 1);
    }
    for (void* p : live)
        std::free(p);
}

BENCHMARK(MallocPair)->Arg(88);
BENCHMARK(PoolPair)->Arg(88);

} // namespace

BENCHMARK_MAIN();
