// The allocation-pair harness behind bench/pairs.sh: sizes 1 to 76 bytes, random
// replacement over 1,000 live blocks. Every step releases one live block, chosen at
// random, and allocates its replacement at a random size.
//
//   pair_bench count <qj|malloc> <pairs>
//       Runs the pairs once on the loading thread, nothing else: run under callgrind at
//       two lengths, the difference of the two counts divided by the difference of the
//       lengths is the cost of one pair.
//   pair_bench wall <pairs> <rounds>
//       Times both allocators in this process, round after round alternating, and
//       prints the medians and their ratio; the loading thread runs the pairs.
//   pair_bench contention <pairs> <rounds>
//       Times one thread running the pairs alone, then two threads running them at
//       once (each its own sequence), both on threads other than the loading one, and
//       prints the median ratio of the two wall times ("contention factor").
//
// The library's behaviour comes from MemorySettings.dat in the working directory.
#include "Quorrick.h"
#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

using qjbench::Clock;
using qjbench::Library;
using qjbench::median;
using qjbench::Runtime;
using qjbench::seconds;

constexpr std::uint32_t kLive = 1000;
constexpr std::uint32_t kMaxSize = 76;

// A small linear congruential generator: the same sequence for both allocators, and
// only a few instructions of its own per pair.
struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

template <class Allocator> void runPairs(std::uint64_t pairs, std::uint32_t seed) {
    void* live[kLive];
    Random random{seed};
    for (void*& p : live)
        p = Allocator::alloc(1 + random.next() % kMaxSize);
    for (std::uint64_t i = 0; i < pairs; ++i) {
        const std::uint32_t r = random.next();
        const std::uint32_t slot = r % kLive;
        Allocator::release(live[slot]);
        live[slot] = Allocator::alloc(1 + (r >> 10) % kMaxSize);
        if (live[slot] == nullptr)
            std::abort();
    }
    for (void* p : live)
        Allocator::release(p);
}

int usage() {
    std::fprintf(stderr, "usage: pair_bench count <qj|malloc> <pairs> | wall <pairs> <rounds> | "
                         "contention <pairs> <rounds>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return usage();
    const char* mode = argv[1];
    if (std::strcmp(mode, "count") == 0) {
        const std::uint64_t pairs = std::strtoull(argv[3], nullptr, 10);
        if (std::strcmp(argv[2], "qj") == 0)
            runPairs<Library>(pairs, 12345);
        else
            runPairs<Runtime>(pairs, 12345);
        return 0;
    }
    const std::uint64_t pairs = std::strtoull(argv[2], nullptr, 10);
    const int rounds = std::atoi(argv[3]);
    if (std::strcmp(mode, "wall") == 0) {
        std::vector<double> qjTimes;
        std::vector<double> mallocTimes;
        std::vector<double> ratios;
        runPairs<Library>(pairs / 4, 1); // warm both up
        runPairs<Runtime>(pairs / 4, 1);
        for (int r = 0; r < rounds; ++r) {
            const double m = seconds([&] { runPairs<Runtime>(pairs, 12345 + r); });
            const double q = seconds([&] { runPairs<Library>(pairs, 12345 + r); });
            mallocTimes.push_back(m);
            qjTimes.push_back(q);
            ratios.push_back(q / m);
        }
        std::printf("qj %.1f ns  malloc %.1f ns  ratio %.2f\n", median(qjTimes) * 1e9 / pairs,
                    median(mallocTimes) * 1e9 / pairs, median(ratios));
        return 0;
    }
    if (std::strcmp(mode, "contention") == 0) {
        std::vector<double> one;
        std::vector<double> two;
        std::vector<double> factors;
        for (int r = 0; r < rounds; ++r) {
            const double t1 = seconds([&] {
                std::thread a([&] { runPairs<Library>(pairs, 777 + r); });
                a.join();
            });
            const double t2 = seconds([&] {
                std::thread a([&] { runPairs<Library>(pairs, 777 + r); });
                std::thread b([&] { runPairs<Library>(pairs, 999 + r); });
                a.join();
                b.join();
            });
            one.push_back(t1);
            two.push_back(t2);
            factors.push_back(t2 / t1);
        }
        std::printf("one thread %.1f ns  two threads %.1f ns  factor %.2f\n",
                    median(one) * 1e9 / pairs, median(two) * 1e9 / pairs, median(factors));
        return 0;
    }
    return usage();
}
