// A threaded host for the stress tests: worker threads allocate, hand blocks to each
// other and release them while the main thread works on the pools and a reader samples
// the counters. Every block carries a signature checked before release. At the end every
// live counter must be back to zero and every accumulated counter must equal the
// harness's own sums. Prints "stress ok" or what went wrong.
#include "Quorrick.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

constexpr int kWorkers = 3;
constexpr int kRoundsPerThread = 60000;
// Gross size of a block of `size` bytes under the default settings.
constexpr std::int64_t kOverhead = 12;

std::atomic<int> errors_reported{0};
std::atomic<bool> bad{false};

void onError(bool, const char* message) {
    std::printf("ERR %s\n", message);
    errors_reported.fetch_add(1);
}

void fail(const char* what) {
    if (!bad.exchange(true))
        std::printf("FAIL %s\n", what);
}

struct Block {
    unsigned char* p;
    std::uint32_t size;
};

void sign(const Block& b) {
    for (std::uint32_t i = 0; i < b.size; ++i)
        b.p[i] = static_cast<unsigned char>((reinterpret_cast<std::uintptr_t>(b.p) >> 4) + i);
}

void check(const Block& b) {
    for (std::uint32_t i = 0; i < b.size; ++i)
        if (b.p[i] != static_cast<unsigned char>((reinterpret_cast<std::uintptr_t>(b.p) >> 4) + i)) {
            fail("block signature changed");
            return;
        }
}

// Blocks in flight between workers.
std::mutex handoff_mutex;
std::vector<Block> handoff;

struct Sums {
    std::int64_t bytes = 0;
    std::int64_t calls = 0;
};

std::uint32_t nextRandom(std::uint32_t& s) {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
}

void worker(int id, Sums* sums, int rounds, bool poolsOnly) {
    std::uint32_t seed = 77u + static_cast<std::uint32_t>(id);
    std::vector<Block> mine;
    for (int round = 0; round < rounds; ++round) {
        const std::uint32_t r = nextRandom(seed);
        if (mine.size() < 64 || r % 3 != 0) {
            const std::uint32_t size = poolsOnly ? 1 + r % 76 : (r % 16 == 0 ? 1 + r % 5000 : 1 + r % 76);
            Block b{static_cast<unsigned char*>(qj::qj_malloc(size, 0)), size};
            if (b.p == nullptr) {
                fail("allocation failed");
                return;
            }
            sign(b);
            sums->bytes += size + kOverhead;
            sums->calls += 1;
            mine.push_back(b);
        }
        if (!mine.empty() && r % 2 == 0) {
            const std::size_t i = r % mine.size();
            Block b = mine[i];
            mine[i] = mine.back();
            mine.pop_back();
            check(b);
            if (!poolsOnly && r % 5 == 0) { // hand it to another worker
                std::lock_guard<std::mutex> lock(handoff_mutex);
                handoff.push_back(b);
            } else {
                qj::qj_free(b.p);
            }
        }
        if (!poolsOnly && r % 7 == 0) {
            Block b{nullptr, 0};
            {
                std::lock_guard<std::mutex> lock(handoff_mutex);
                if (!handoff.empty()) {
                    b = handoff.back();
                    handoff.pop_back();
                }
            }
            if (b.p != nullptr) {
                check(b);
                qj::qj_free(b.p);
            }
        }
    }
    for (const Block& b : mine) {
        check(b);
        qj::qj_free(b.p);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : kRoundsPerThread;
    qj::register_err_callback(&onError);

    std::atomic<bool> running{true};
    // Every reading must be a snapshot of one instant: never a negative live count, and
    // never more live blocks than bytes allow.
    std::thread reader([&running] {
        while (running.load()) {
            const std::int32_t live = qj::get_total_allocation_call_count();
            const std::int32_t bytes = qj::get_total_bytes_allocated();
            if (live < 0 || bytes < 0)
                fail("a counter read went below zero");
            const std::int64_t accumulated = qj::get_accumulated_bytes_allocated();
            if (accumulated < 0)
                fail("accumulated bytes below zero");
        }
    });

    std::vector<Sums> sums(kWorkers + 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; ++i)
        threads.emplace_back(worker, i, &sums[static_cast<std::size_t>(i)], rounds, false);
    worker(kWorkers, &sums[kWorkers], rounds, true); // the main thread: the pools
    for (auto& t : threads)
        t.join();
    for (const Block& b : handoff) {
        check(b);
        qj::qj_free(b.p);
    }
    running.store(false);
    reader.join();

    Sums total;
    for (const Sums& s : sums) {
        total.bytes += s.bytes;
        total.calls += s.calls;
    }
    if (qj::get_total_bytes_allocated() != 0)
        fail("live bytes not back to zero");
    if (qj::get_total_allocation_call_count() != 0)
        fail("live blocks not back to zero");
    if (qj::get_accumulated_bytes_allocated() != total.bytes)
        fail("accumulated bytes differ from the harness's sum");
    if (qj::get_accumulated_allocation_call_count() != static_cast<std::int32_t>(total.calls))
        fail("accumulated calls differ from the harness's count");
    if (errors_reported.load() != 0)
        fail("the library reported an error");
    std::printf("calls %lld bytes %lld\n", static_cast<long long>(total.calls),
                static_cast<long long>(total.bytes));
    if (!bad.load())
        std::printf("stress ok\n");
    return bad.load() ? 1 : 0;
}
