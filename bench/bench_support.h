// What the benchmark programs share: the two allocators they compare, behind one
// interface, and the timing of a piece of work with the median of its rounds.
#ifndef QJ_BENCH_BENCH_SUPPORT_H
#define QJ_BENCH_BENCH_SUPPORT_H

#include "Quorrick.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace qjbench {

// The runtime heap, and the library with memory name 0.
struct Runtime {
    static void* alloc(std::uint32_t size) { return std::malloc(size); }
    static void release(void* p) { std::free(p); }
};
struct Library {
    static void* alloc(std::uint32_t size) { return velt::zur::memory::qj_malloc(size, 0); }
    static void release(void* p) { velt::zur::memory::qj_free(p); }
};

using Clock = std::chrono::steady_clock;

// The wall time of f(), in seconds.
template <class F> double seconds(F f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace qjbench

#endif // QJ_BENCH_BENCH_SUPPORT_H
