// How the library's costs grow: with the number of live blocks, with the number of
// distinct allocation sites, with threads, and how long its reports take to write.
// Every time is set against the runtime's malloc+free doing the same work in the same
// process and round (medians of rounds), or given per unit of work. bench/scale.sh runs
// each table in a folder of its own with the MemorySettings.dat it needs; the library
// reads the settings from the working directory when it loads.
//
//   scale_bench live [max-live]
//       Random replacement over 1,000 to 10,000,000 live blocks (sizes 1-76 bytes):
//       time per pair of each allocator, their ratio and the resident memory each adds.
//   scale_bench sites [max-sites]
//       One block from each of 1,000 to 1,000,000 distinct call stacks, then all released,
//       in two shapes: "collide" (two functions calling each other, stacks that differ in
//       a few low address bits per frame) and "distinct" (64 functions per level).
//   scale_bench sites-collide <sites> <allocations>
//   scale_bench sites-distinct <sites> <allocations>
//       One row of the same: allocation i comes from site i % sites, all stay live until
//       the last one is made.
//   scale_bench threads [pairs-per-thread]
//       1, 2, 4 and 8 threads at once, each running pairs over 1,000 live blocks of its own.
//   scale_bench reports [max-sites] [collide|distinct]
//       One live block per site, then the leak report (dump_active_allocations_to_file)
//       and the frame churn export written as leaks.N.txt and churn.N.txt in the working
//       directory, where bench/scale.sh symbolizes them.
//
// QJ_BENCH_ROUNDS sets the rounds (default 5 for live and threads, 3 for sites and
// reports). Each round of sites and reports runs in a forked child, so that the library's
// site table starts empty every time.
#include "Quorrick.h"
#include "bench_support.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qj = velt::zur::memory;

#define SCALE_NOINLINE __attribute__((noinline))

namespace {

using qjbench::Clock;
using qjbench::Library;
using qjbench::median;
using qjbench::Runtime;
using qjbench::seconds;

constexpr std::uint32_t kMaxSize = 76;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "scale_bench: %s\n", what);
    std::exit(1);
}

template <class T> T* checked(T* p) {
    if (p == nullptr)
        fail("allocation failed");
    return p;
}

// splitmix64: the same sequence for both allocators, a few instructions per number.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

// A number below n from the low half of r, a size from the high half.
std::uint64_t below(std::uint64_t r, std::uint64_t n) { return ((r & 0xFFFFFFFFu) * n) >> 32; }
std::uint32_t sizeOf(std::uint64_t r) {
    return 1 + static_cast<std::uint32_t>((r >> 32) % kMaxSize);
}

int rounds(int fallback) {
    const char* text = std::getenv("QJ_BENCH_ROUNDS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

// 1234567 -> "1,234,567"
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::uint64_t argument(int argc, char** argv, int index, std::uint64_t fallback) {
    return index < argc ? std::strtoull(argv[index], nullptr, 10) : fallback;
}

// Runs `work` in a forked child and returns the numbers it gave back. The child ends with
// _exit: nothing of the library's unload runs there.
template <class F> std::vector<double> inChild(F work) {
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe failed");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork failed");
    if (pid == 0) {
        close(fds[0]);
        const std::vector<double> values = work();
        const char* at = reinterpret_cast<const char*>(values.data());
        std::size_t left = values.size() * sizeof(double);
        while (left > 0) {
            const ssize_t n = write(fds[1], at, left);
            if (n <= 0)
                _exit(3);
            at += n;
            left -= static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<double> values;
    double buffer[16];
    std::size_t have = 0; // bytes of buffer filled
    for (;;) {
        const ssize_t n =
            read(fds[0], reinterpret_cast<char*>(buffer) + have, sizeof buffer - have);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
        const std::size_t whole = have / sizeof(double);
        values.insert(values.end(), buffer, buffer + whole);
        std::memmove(buffer, buffer + whole, have - whole * sizeof(double));
        have -= whole * sizeof(double);
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("a measuring child process failed");
    return values;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
double statusKiB(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return 0;
    char line[256];
    double value = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, length) == 0 && line[length] == ':')
            value = std::strtod(line + length + 1, nullptr);
    std::fclose(f);
    return value;
}

// --- live: random replacement over many live blocks ------------------------------------

template <class Allocator> void fill(std::vector<void*>& live, Random& random) {
    for (void*& p : live)
        p = checked(Allocator::alloc(sizeOf(random.next())));
}

template <class Allocator>
SCALE_NOINLINE void pairs(std::vector<void*>& live, Random& random, std::uint64_t count) {
    void** slots = live.data();
    const std::uint64_t n = live.size();
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t r = random.next();
        void*& slot = slots[below(r, n)];
        Allocator::release(slot);
        slot = checked(Allocator::alloc(sizeOf(r)));
    }
}

template <class Allocator> void releaseAll(std::vector<void*>& live) {
    for (void* p : live)
        Allocator::release(p);
}

// Seconds of `count` pairs over live.size() blocks; filling and releasing are not timed.
template <class Allocator>
double timedPairs(std::vector<void*>& live, std::uint64_t count, std::uint64_t seed) {
    Random random{seed};
    fill<Allocator>(live, random);
    const double t = seconds([&] { pairs<Allocator>(live, random, count); });
    releaseAll<Allocator>(live);
    return t;
}

// MiB that filling and running the pairs add to the resident set, in a child of its own.
// The child's high-water mark starts at its resident size when forked.
template <class Allocator> double addedMiB(std::vector<void*>& live, std::uint64_t count) {
    return inChild([&] {
        const double start = statusKiB("VmRSS");
        Random random{7};
        fill<Allocator>(live, random);
        pairs<Allocator>(live, random, count);
        return std::vector<double>{(statusKiB("VmHWM") - start) / 1024};
    })[0];
}

int runLive(std::uint64_t maxLive) {
    const int n = rounds(5);
    std::printf("# live: random replacement pairs (sizes 1-76 bytes) over the live blocks, "
                "max(live, 1,000,000) pairs per round; medians of %d alternating rounds. "
                "MiB: resident memory added by filling and running the pairs once, each "
                "allocator alone in a forked child (VmHWM - VmRSS at its start).\n",
                n);
    std::printf("%12s %12s %15s %7s %10s %14s\n", "live blocks", "qj ns/pair", "malloc ns/pair",
                "ratio", "qj MiB", "malloc MiB");
    std::vector<std::uint64_t> rows;
    for (std::uint64_t live = 1000; live <= maxLive && live <= 10000000; live *= 10)
        rows.push_back(live);
    // Memory first: every child is forked before this process has used either allocator.
    std::vector<std::pair<double, double>> added;
    for (const std::uint64_t live : rows) {
        const std::uint64_t count = std::max<std::uint64_t>(live, 1000000);
        std::vector<void*> blocks(live); // touched here, so the children share it
        added.emplace_back(addedMiB<Library>(blocks, count), addedMiB<Runtime>(blocks, count));
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const std::uint64_t live = rows[row];
        const std::uint64_t count = std::max<std::uint64_t>(live, 1000000);
        std::vector<void*> blocks(live);
        std::vector<double> qjTimes, mallocTimes, ratios;
        for (int r = 0; r < n; ++r) {
            double q, m;
            if (r % 2 == 0) {
                m = timedPairs<Runtime>(blocks, count, 1000 + r);
                q = timedPairs<Library>(blocks, count, 1000 + r);
            } else {
                q = timedPairs<Library>(blocks, count, 1000 + r);
                m = timedPairs<Runtime>(blocks, count, 1000 + r);
            }
            qjTimes.push_back(q);
            mallocTimes.push_back(m);
            ratios.push_back(q / m);
        }
        std::printf("%12s %12.1f %15.1f %6.2fx %10.1f %14.1f\n", grouped(live).c_str(),
                    median(qjTimes) * 1e9 / count, median(mallocTimes) * 1e9 / count,
                    median(ratios), added[row].first, added[row].second);
        std::fflush(stdout);
    }
    return 0;
}

// --- sites: many distinct call stacks ---------------------------------------------------

// Written after every call in the walks below: no call is a tail call (every level keeps
// its frame), and no two call sites have the same code after them, so none are merged.
volatile std::uint32_t g_mark;

// Levels of the walks under the entry: the same depth for both shapes, inside the 16
// return addresses the library captures by default.
constexpr int kLevels = 10;

struct Request {
    std::uint32_t size;
    void* block;
};

// The walks' allocation function, as a host has one: the library's capture leaves out the
// function that calls qj_malloc, and starts at its caller. A real call (no jump), so that
// it has a return address of its own.
template <class Allocator> SCALE_NOINLINE void* hostAlloc(std::uint32_t size) {
    void* p = Allocator::alloc(size);
    __asm__ __volatile__("" : "+r"(p));
    return p;
}

// "collide": two functions that call each other and themselves, each callee from two call
// sites; the level k function takes the call site from bits 2k-2 and 2k-1 of the site
// number (the innermost frames vary first). Stacks differ only in which of eight nearby
// return addresses each frame holds: up to 4^10 stacks, most alike in their low bits.
template <class Allocator> SCALE_NOINLINE void collideB(int level, std::uint32_t site, Request& r);

template <class Allocator> SCALE_NOINLINE void collideA(int level, std::uint32_t site, Request& r) {
    if (level == 0) {
        r.block = hostAlloc<Allocator>(r.size);
        g_mark = 1;
        return;
    }
    switch ((site >> (2 * (level - 1))) & 3) {
    case 0:
        collideA<Allocator>(level - 1, site, r);
        g_mark = 2;
        break;
    case 1:
        collideA<Allocator>(level - 1, site, r);
        g_mark = 3;
        break;
    case 2:
        collideB<Allocator>(level - 1, site, r);
        g_mark = 4;
        break;
    default:
        collideB<Allocator>(level - 1, site, r);
        g_mark = 5;
        break;
    }
}

template <class Allocator> SCALE_NOINLINE void collideB(int level, std::uint32_t site, Request& r) {
    if (level == 0) {
        r.block = hostAlloc<Allocator>(r.size);
        g_mark = 6;
        return;
    }
    switch ((site >> (2 * (level - 1))) & 3) {
    case 0:
        collideA<Allocator>(level - 1, site, r);
        g_mark = 7;
        break;
    case 1:
        collideA<Allocator>(level - 1, site, r);
        g_mark = 8;
        break;
    case 2:
        collideB<Allocator>(level - 1, site, r);
        g_mark = 9;
        break;
    default:
        collideB<Allocator>(level - 1, site, r);
        g_mark = 10;
        break;
    }
}

struct Collide {
    static constexpr const char* name = "collide";
    template <class Allocator> static void allocate(std::uint32_t site, Request& r) {
        collideA<Allocator>(kLevels, site, r);
    }
};

// "distinct": 64 functions, each its own code; the level k function calls the one that
// bits 6k-6 to 6k-1 of the site number name. Every frame holds one of 64 return addresses
// spread over the functions' code: up to 2^24 stacks under the first levels.
constexpr int kBranches = 64;

using Step = void (*)(int, std::uint32_t, Request&);

template <class Allocator, int N>
SCALE_NOINLINE void distinct(int level, std::uint32_t site, Request& r);

template <class Allocator, std::size_t... I>
constexpr std::array<Step, kBranches> makeSteps(std::index_sequence<I...>) {
    return {&distinct<Allocator, static_cast<int>(I)>...};
}

template <class Allocator>
constexpr std::array<Step, kBranches>
    kSteps = makeSteps<Allocator>(std::make_index_sequence<kBranches>{});

template <class Allocator, int N>
SCALE_NOINLINE void distinct(int level, std::uint32_t site, Request& r) {
    if (level == 0) {
        r.block = hostAlloc<Allocator>(r.size);
    } else {
        const int shift = 6 * (level - 1);
        kSteps<Allocator>[shift < 32 ? (site >> shift) % kBranches : 0](level - 1, site, r);
    }
    g_mark = 100 + N;
}

struct Distinct {
    static constexpr const char* name = "distinct";
    template <class Allocator> static void allocate(std::uint32_t site, Request& r) {
        distinct<Allocator, 0>(kLevels, site, r);
    }
};

// Sizes for the walks: the same sequence for both allocators.
const std::vector<std::uint32_t>& walkSizes() {
    static const std::vector<std::uint32_t> sizes = [] {
        std::vector<std::uint32_t> v(4096);
        Random random{99};
        for (auto& s : v)
            s = sizeOf(random.next());
        return v;
    }();
    return sizes;
}

// Allocation i from site i % sites, every block live until the last is made, then all
// released: the seconds of the whole.
template <class Shape, class Allocator>
double walk(std::vector<void*>& blocks, std::uint32_t sites) {
    const std::vector<std::uint32_t>& sizes = walkSizes();
    return seconds([&] {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            Request r{sizes[i % sizes.size()], nullptr};
            Shape::template allocate<Allocator>(static_cast<std::uint32_t>(i % sites), r);
            blocks[i] = checked(r.block);
        }
        for (void* p : blocks)
            Allocator::release(p);
    });
}

// One block of every size, kept live through the timing: the chunk pools' first chunks
// are made (and their pages touched) before it, and none is given back when the walk
// releases its blocks. The timing is about the sites.
template <class Allocator> struct WarmBlocks {
    void* blocks[kMaxSize];
    WarmBlocks() {
        for (std::uint32_t size = 1; size <= kMaxSize; ++size)
            blocks[size - 1] = checked(Allocator::alloc(size));
    }
    ~WarmBlocks() {
        for (void* p : blocks)
            Allocator::release(p);
    }
};

template <class Shape> void sitesRow(std::uint64_t sites, std::uint64_t allocations, int n) {
    std::vector<void*> blocks(allocations);
    std::vector<double> qjTimes, ratios, againTimes, againRatios;
    for (int r = 0; r < n; ++r) {
        const std::vector<double> t = inChild([&] {
            const WarmBlocks<Runtime> runtimeBlocks;
            const WarmBlocks<Library> libraryBlocks;
            double q, m;
            if (r % 2 == 0) {
                m = walk<Shape, Runtime>(blocks, static_cast<std::uint32_t>(sites));
                q = walk<Shape, Library>(blocks, static_cast<std::uint32_t>(sites));
            } else {
                q = walk<Shape, Library>(blocks, static_cast<std::uint32_t>(sites));
                m = walk<Shape, Runtime>(blocks, static_cast<std::uint32_t>(sites));
            }
            // The same walk again: every site is known now, each allocation finds its
            // record (the lookup's cost as the table grows, without the records' making).
            const double again = walk<Shape, Library>(blocks, static_cast<std::uint32_t>(sites));
            return std::vector<double>{q, m, again};
        });
        qjTimes.push_back(t[0]);
        ratios.push_back(t[0] / t[1]);
        againTimes.push_back(t[2]);
        againRatios.push_back(t[2] / t[1]);
    }
    const double q = median(qjTimes);
    const double again = median(againTimes);
    std::printf("%-9s %10s %12s %12.1f %10.1f %7.2fx %12.1f %7.2fx\n", Shape::name,
                grouped(sites).c_str(), grouped(allocations).c_str(), q * 1e3,
                q * 1e9 / allocations, median(ratios), again * 1e9 / allocations,
                median(againRatios));
    std::fflush(stdout);
}

void sitesHeader(int n) {
    std::printf(
        "# sites: allocation i made from call stack i %% sites, %d levels below the "
        "entry; all blocks live until the last is made, then released. Total and "
        "per-allocation times of the library (walk included), ratio to the same walk "
        "calling malloc/free; medians of %d rounds, each in a fresh child process "
        "(an empty site table; one block of each size kept live throughout). Known: the same "
        "walk once more in the same process, every site in the table.\n",
        kLevels, n);
    std::printf("%-9s %10s %12s %12s %10s %8s %12s %8s\n", "shape", "sites", "allocations",
                "total ms", "ns/alloc", "ratio", "known ns", "ratio");
}

constexpr std::uint64_t kMaxSites = std::uint64_t{1} << 20; // 4^10, both shapes' reach

int runSites(std::uint64_t maxSites) {
    const int n = rounds(3);
    sitesHeader(n);
    for (std::uint64_t sites = 1000; sites <= maxSites && sites <= kMaxSites; sites *= 10)
        sitesRow<Collide>(sites, sites, n);
    for (std::uint64_t sites = 1000; sites <= maxSites && sites <= kMaxSites; sites *= 10)
        sitesRow<Distinct>(sites, sites, n);
    return 0;
}

template <class Shape> int runSitesOne(std::uint64_t sites, std::uint64_t allocations) {
    if (sites == 0 || sites > kMaxSites || allocations == 0)
        fail("sites must be 1 to 1,048,576, allocations at least 1");
    const int n = rounds(3);
    sitesHeader(n);
    sitesRow<Shape>(sites, allocations, n);
    return 0;
}

// --- threads: pairs on several threads at once ------------------------------------------

constexpr std::uint32_t kThreadLive = 1000;

template <class Allocator> void threadPairs(std::uint64_t count, std::uint64_t seed) {
    std::vector<void*> live(kThreadLive);
    Random random{seed};
    fill<Allocator>(live, random);
    pairs<Allocator>(live, random, count);
    releaseAll<Allocator>(live);
}

// Wall seconds of `threads` threads (none of them the loading thread) running at once.
template <class Allocator> double wallOf(int threads, std::uint64_t count, int round) {
    return seconds([&] {
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t)
            running.emplace_back([=] { threadPairs<Allocator>(count, 5000 + 100 * round + t); });
        for (std::thread& t : running)
            t.join();
    });
}

int runThreads(std::uint64_t count) {
    const int n = rounds(5);
    std::printf("# threads: each thread runs %s pairs over 1,000 live blocks of its own "
                "(sizes 1-76 bytes), all at once, on threads other than the loading one. "
                "ns per pair: wall time over all threads' pairs; ratio to malloc/free with "
                "the same threads; medians of %d alternating rounds.\n",
                grouped(count).c_str(), n);
    std::printf("%8s %12s %15s %7s\n", "threads", "qj ns/pair", "malloc ns/pair", "ratio");
    for (int threads : {1, 2, 4, 8}) {
        std::vector<double> qjTimes, mallocTimes, ratios;
        for (int r = 0; r < n; ++r) {
            double q, m;
            if (r % 2 == 0) {
                m = wallOf<Runtime>(threads, count, r);
                q = wallOf<Library>(threads, count, r);
            } else {
                q = wallOf<Library>(threads, count, r);
                m = wallOf<Runtime>(threads, count, r);
            }
            qjTimes.push_back(q);
            mallocTimes.push_back(m);
            ratios.push_back(q / m);
        }
        const double all = static_cast<double>(count) * threads;
        std::printf("%8d %12.1f %15.1f %6.2fx\n", threads, median(qjTimes) * 1e9 / all,
                    median(mallocTimes) * 1e9 / all, median(ratios));
        std::fflush(stdout);
    }
    return 0;
}

// --- reports: the leak report and the churn export of many sites -----------------------

// The "# total elements: N" line near the end of a leak report; -1 without one.
long long reportedSites(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return -1;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, size > 4096 ? size - 4096 : 0, SEEK_SET);
    char line[512];
    long long found = -1;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "# total elements: ", 18) == 0)
            found = std::atoll(line + 18);
    std::fclose(f);
    return found;
}

double fileMiB(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return 0;
    std::fseek(f, 0, SEEK_END);
    const double size = static_cast<double>(std::ftell(f));
    std::fclose(f);
    return size / (1024.0 * 1024.0);
}

template <class Shape> void reportsRow(std::uint64_t sites, int n) {
    const std::string leaks = "leaks." + std::to_string(sites) + ".txt";
    const std::string churn = "churn." + std::to_string(sites) + ".txt";
    std::vector<void*> blocks(sites);
    const std::vector<double> t = inChild([&] {
        const std::vector<std::uint32_t>& sizes = walkSizes();
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            Request r{sizes[i % sizes.size()], nullptr};
            Shape::template allocate<Library>(static_cast<std::uint32_t>(i), r);
            blocks[i] = checked(r.block);
        }
        std::vector<double> writes, exports;
        for (int r = 0; r < n; ++r) {
            writes.push_back(seconds([&] { qj::dump_active_allocations_to_file(leaks.c_str()); }));
            exports.push_back(seconds([&] { qj::dump_frame_churn_to_file(churn.c_str(), 0); }));
        }
        for (void* p : blocks)
            Library::release(p);
        return std::vector<double>{median(writes), median(exports),
                                   static_cast<double>(reportedSites(leaks.c_str()))};
    });
    if (t[2] != static_cast<double>(sites)) {
        std::fprintf(stderr, "scale_bench: %s lists %.0f sites, not %llu (is use_callstack on?)\n",
                     leaks.c_str(), t[2], static_cast<unsigned long long>(sites));
        std::exit(1);
    }
    std::printf("%10s %10.1f %17.1f %11.1f\n", grouped(sites).c_str(), t[0] * 1e3, t[1] * 1e3,
                fileMiB(leaks.c_str()));
    std::fflush(stdout);
}

int runReports(std::uint64_t maxSites, bool collide) {
    const int n = rounds(3);
    std::printf("# reports: one live block from each of the sites (%s stacks), then the leak "
                "report (dump_active_allocations_to_file) and the frame churn export of every "
                "site; medians of %d writes each, in a fresh child process per row.\n",
                collide ? "collide" : "distinct", n);
    std::printf("%10s %10s %17s %11s\n", "sites", "write ms", "churn export ms", "report MiB");
    for (std::uint64_t sites = 1000; sites <= maxSites && sites <= kMaxSites; sites *= 10) {
        if (collide)
            reportsRow<Collide>(sites, n);
        else
            reportsRow<Distinct>(sites, n);
    }
    return 0;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: scale_bench live [max-live] | sites [max-sites] |\n"
        "       sites-collide <sites> <allocations> | sites-distinct <sites> <allocations> |\n"
        "       threads [pairs-per-thread] | reports [max-sites] [collide|distinct]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string mode = argv[1];
    if (mode == "live")
        return runLive(argument(argc, argv, 2, 10000000));
    if (mode == "sites")
        return runSites(argument(argc, argv, 2, 1000000));
    if (mode == "sites-collide" && argc == 4)
        return runSitesOne<Collide>(argument(argc, argv, 2, 0), argument(argc, argv, 3, 0));
    if (mode == "sites-distinct" && argc == 4)
        return runSitesOne<Distinct>(argument(argc, argv, 2, 0), argument(argc, argv, 3, 0));
    if (mode == "threads")
        return runThreads(argument(argc, argv, 2, 400000));
    if (mode == "reports") {
        const bool collide = argc > 3 && std::strcmp(argv[3], "collide") == 0;
        if (argc > 3 && !collide && std::strcmp(argv[3], "distinct") != 0)
            return usage();
        return runReports(argument(argc, argv, 2, 1000000), collide);
    }
    return usage();
}
