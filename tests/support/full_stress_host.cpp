// The whole library under concurrent threads, with every tracking switch on.
//
// The settings file (written by the test) turns on call stacks, traces, the histogram,
// patterns, a 5-byte tail guard and the tags. Worker threads allocate on the heap path,
// charge memory names, open and close traces in bursts, count resources, advance the frame
// counters and hand blocks to each other; the main thread allocates from the pools and
// meanwhile builds the status text, the dumps, the trace report and the histogram file; a
// reader samples the counters. Every block carries a signature checked before release.
//
// At the end every live counter, histogram total, memory-name, trace and resource
// statistic and site count must be back to zero, every accumulated counter must equal the
// harness's own sums, and no report may have been made. Prints the operation counts and
// "full stress ok", or what went wrong.
#include "Quorrick.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

constexpr int kWorkers = 3;
constexpr int kDefaultRounds = 20000;
// The settings the test writes: used tag 4, both tags 8, header 4, site word 4, trace word
// 4, tail guard 5.
constexpr std::uint32_t kOverhead = 29;
constexpr std::uint32_t kTailGuard = 5;
// The largest gross size the pools serve.
constexpr std::uint32_t kLargestPooled = 88;

const char* const kMemoryNames[] = {"meshes", "sounds", "scripts", "physics"};
const char* const kTraceNames[] = {"load", "simulate", "render", "stream"};
const char* const kResourceNames[] = {"texture", "buffer", "shader"};

std::atomic<int> errors_reported{0};
std::atomic<bool> bad{false};

void onError(bool, const char* message) {
    std::printf("ERR %s\n", message);
    errors_reported.fetch_add(1);
}

void fail(const std::string& what) {
    if (!bad.exchange(true))
        std::printf("FAIL %s\n", what.c_str());
}

std::string grouped(std::int64_t value) {
    const std::string digits = std::to_string(value < 0 ? -value : value);
    std::string out = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += '.';
        out += digits[i];
    }
    return out;
}

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

struct Block {
    unsigned char* p;
    std::uint32_t size;
};

unsigned char signatureByte(const Block& b, std::uint32_t i) {
    return static_cast<unsigned char>((reinterpret_cast<std::uintptr_t>(b.p) >> 4) + i * 7);
}

void sign(const Block& b) {
    for (std::uint32_t i = 0; i < b.size; ++i)
        b.p[i] = signatureByte(b, i);
}

void check(const Block& b) {
    for (std::uint32_t i = 0; i < b.size; ++i)
        if (b.p[i] != signatureByte(b, i)) {
            fail("block signature changed");
            return;
        }
    for (std::uint32_t i = 0; i < kTailGuard; ++i)
        if (b.p[b.size + i] != 0x99) {
            fail("tail guard changed");
            return;
        }
}

// What each thread did; summed at the end.
struct Sums {
    std::int64_t bytes = 0;     // gross bytes allocated
    std::int64_t calls = 0;     // allocation calls
    std::int64_t unpooled = 0;  // of them, on the heap path
    std::int64_t releases = 0;
    std::int64_t handoffs = 0;
    std::int64_t traceStarts = 0;
    std::int64_t traceEnds = 0;
    std::int64_t resourceOps = 0;
    std::int64_t frames = 0;
    std::int64_t statusTexts = 0;
    std::int64_t dumps = 0;
    std::int64_t traceReports = 0;
    std::int64_t histogramDumps = 0;

    void add(const Sums& o) {
        bytes += o.bytes;
        calls += o.calls;
        unpooled += o.unpooled;
        releases += o.releases;
        handoffs += o.handoffs;
        traceStarts += o.traceStarts;
        traceEnds += o.traceEnds;
        resourceOps += o.resourceOps;
        frames += o.frames;
        statusTexts += o.statusTexts;
        dumps += o.dumps;
        traceReports += o.traceReports;
        histogramDumps += o.histogramDumps;
    }
};

std::int32_t memory_names[4];

std::mutex handoff_mutex;
std::vector<Block> handoff;

// Resource cells shared by all workers: the library resolves them concurrently.
std::int32_t resource_cells[3] = {-1, -1, -1};

std::uint32_t nextRandom(std::uint32_t& s) {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
}

Block allocate(std::uint32_t size, std::int32_t name, Sums& sums, bool pooled) {
    Block b{static_cast<unsigned char*>(qj::qj_malloc(size, name)), size};
    if (b.p == nullptr) {
        fail("allocation failed");
        return b;
    }
    sign(b);
    sums.bytes += size + kOverhead;
    sums.calls += 1;
    sums.unpooled += pooled ? 0 : 1;
    return b;
}

void release(const Block& b, Sums& sums) {
    check(b);
    qj::qj_free(b.p);
    sums.releases += 1;
}

std::uint32_t workerSize(std::uint32_t r) {
    if (r % 997 == 0)
        return 140000 + r % 5000; // mapped by the library itself
    if (r % 61 == 0)
        return 10000 + r % 30000; // the histogram's large blocks
    if (r % 7 == 0)
        return 100 + r % 4000;
    return 1 + r % 120;
}

void worker(int id, Sums* sums, int rounds) {
    std::uint32_t seed = 1234567u * static_cast<std::uint32_t>(id + 1);
    std::vector<Block> mine;
    std::int32_t traceCells[4] = {-1, -1, -1, -1};
    std::vector<std::pair<int, std::int32_t>> resources; // cell, size
    for (int round = 0; round < rounds; ++round) {
        const std::uint32_t r = nextRandom(seed);
        const std::int32_t name = memory_names[r % 4] * static_cast<std::int32_t>((r >> 3) % 3 != 0);
        if (r % 23 == 0) {
            // A burst inside a trace: it charges the innermost open trace, whoever opened it.
            const int k = static_cast<int>((r >> 5) % 4);
            qj::startMemoryTrace(traceCells[k], kTraceNames[k]);
            sums->traceStarts += 1;
            for (std::uint32_t i = 0; i < 1 + (r >> 7) % 4; ++i)
                mine.push_back(allocate(workerSize(nextRandom(seed)), name, *sums, false));
            qj::endMemoryTrace(traceCells[k]);
            sums->traceEnds += 1;
        } else if (mine.size() < 48 || r % 3 != 0) {
            mine.push_back(allocate(workerSize(r), name, *sums, false));
        }
        if (r % 11 == 0) {
            const int k = static_cast<int>((r >> 4) % 3);
            const std::int32_t size = static_cast<std::int32_t>(r % 100000);
            qj::resourceTraceAllocate(resource_cells[k], kResourceNames[k], size);
            resources.emplace_back(k, size);
            sums->resourceOps += 1;
        }
        if (!resources.empty() && r % 13 == 0) {
            const auto res = resources.back();
            resources.pop_back();
            qj::resourceTraceFree(resource_cells[res.first], kResourceNames[res.first], res.second);
            sums->resourceOps += 1;
        }
        if (r % 101 == 0) {
            qj::nextVisualFrame();
            qj::nextPhysicFrame();
            sums->frames += 2;
        }
        if (!mine.empty() && r % 2 == 0) {
            const std::size_t i = r % mine.size();
            const Block b = mine[i];
            mine[i] = mine.back();
            mine.pop_back();
            if (r % 5 == 0) {
                check(b);
                std::lock_guard<std::mutex> lock(handoff_mutex);
                handoff.push_back(b);
                sums->handoffs += 1;
            } else {
                release(b, *sums);
            }
        }
        if (r % 7 == 0) {
            Block b{nullptr, 0};
            {
                std::lock_guard<std::mutex> lock(handoff_mutex);
                if (!handoff.empty()) {
                    b = handoff.back();
                    handoff.pop_back();
                }
            }
            if (b.p != nullptr)
                release(b, *sums);
        }
    }
    for (const Block& b : mine)
        release(b, *sums);
    for (const auto& res : resources) {
        qj::resourceTraceFree(resource_cells[res.first], kResourceNames[res.first], res.second);
        sums->resourceOps += 1;
    }
}

// The main thread: pooled blocks only, and the reports while the workers run. After its
// own rounds it releases its blocks and goes on with the reports until the workers end.
void mainThreadWork(Sums* sums, int rounds, const std::atomic<int>& workersLeft) {
    std::uint32_t seed = 99u;
    std::vector<Block> mine;
    for (int round = 0;; ++round) {
        const bool working = round < rounds;
        if (!working && workersLeft.load() == 0)
            break;
        const std::uint32_t r = nextRandom(seed);
        if (working) {
            if (mine.size() < 64 || r % 3 != 0) {
                const std::uint32_t size = 1 + r % (kLargestPooled - kOverhead);
                mine.push_back(allocate(size, memory_names[r % 4], *sums, true));
            }
            if (!mine.empty() && r % 2 == 0) {
                const std::size_t i = r % mine.size();
                release(mine[i], *sums);
                mine[i] = mine.back();
                mine.pop_back();
            }
        } else {
            // Waiting for the workers: one report step every few milliseconds.
            for (const Block& b : mine)
                release(b, *sums);
            mine.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            round += 99 - round % 100;
        }
        if (round % 500 == 0) {
            const std::string status = qj::getStatus(nullptr);
            if (!startsWith(status, "Quorrick.dll Ver:1.01 Date:2005/01/10\n\nTotalBytesAllocated:") ||
                status.find("\nResources\n") == std::string::npos ||
                status.find("\nChunkPools\n") == std::string::npos)
                fail("status text malformed while the workers run");
            sums->statusTexts += 1;
        }
        switch (round % 1000) {
        case 100:
            if (std::strcmp(qj::getStatus("status.txt"), "") != 0)
                fail("status text not emptied after writing the file");
            sums->statusTexts += 1;
            break;
        case 200:
            qj::dump_allocations_to_file("sites_all.txt", -1);
            sums->dumps += 1;
            break;
        case 300:
            qj::dump_active_allocations_to_file("sites_active.txt");
            sums->dumps += 1;
            break;
        case 400: {
            const std::string report = qj::memoryTraceReport();
            if (!startsWith(report, "Total bytes allocated:") && report != "no traces found")
                fail("trace report malformed while the workers run");
            sums->traceReports += 1;
            break;
        }
        case 600:
            qj::memoryTraceReportToFile("traces.txt");
            sums->traceReports += 1;
            break;
        case 700:
            qj::histogramDumpToFile("histogram.txt");
            sums->histogramDumps += 1;
            break;
        case 800:
            qj::memory_update_modules(nullptr);
            break;
        default:
            break;
        }
    }
    for (const Block& b : mine)
        release(b, *sums);
}

// The end state, from the reports as a host reads them.
void checkEndState(const Sums& total) {
    if (qj::get_total_bytes_allocated() != 0)
        fail("live bytes not back to zero");
    if (qj::get_total_allocation_call_count() != 0)
        fail("live blocks not back to zero");
    if (qj::get_accumulated_bytes_allocated() != total.bytes)
        fail("accumulated bytes differ from the harness's sum");
    if (qj::get_accumulated_allocation_call_count() != static_cast<std::int32_t>(total.calls))
        fail("accumulated calls differ from the harness's count");
    if (qj::histogramCurrentUsedMemory() != 0)
        fail("histogram bytes not back to zero");
    if (qj::histogramPeakUsedMemory() == 0 ||
        qj::histogramPeakUsedMemory() > static_cast<std::uint64_t>(total.bytes))
        fail("histogram peak outside what was allocated");

    qj::histogramDumpToFile("histogram_end.txt");
    const std::vector<std::string> histogram = lines(readFile("histogram_end.txt"));
    if (histogram.size() < 4 || !startsWith(histogram[1], "Current:0 Peak:") ||
        !startsWith(histogram[2], "Total bytes allocated. Current:0 Peak:"))
        fail("histogram file does not show zero live blocks and bytes");
    for (const std::string& line : histogram)
        if (startsWith(line, "Size:") && line.find(" Current:") != std::string::npos)
            fail("histogram file still lists a size with live blocks: " + line);

    // Status text: the counters, every memory name, the resources and the pools at zero.
    const std::vector<std::string> status = lines(qj::getStatus(nullptr));
    const std::string counters =
        "TotalBytesAllocated:0 TotalAllocationCount:" + grouped(total.unpooled);
    if (status.size() < 2 + 5 + 6 || status[2] != counters)
        fail("status counters line differs: expected " + counters);
    int names = 0;
    for (const std::string& line : status)
        if (startsWith(line, "[")) {
            ++names;
            if (line.find(" NumAllocs:0(") == std::string::npos || line.find(" Bytes:0(") == std::string::npos)
                fail("memory name not back to zero: " + line);
            if (line.find(" NumAllocs:0(0)") != std::string::npos)
                fail("memory name never charged: " + line);
        }
    if (names != 5)
        fail("status text lists " + std::to_string(names) + " memory names, not 5");
    bool resourcesZero = false, poolsZero = false;
    for (std::size_t i = 0; i + 1 < status.size(); ++i) {
        if (status[i] == "Resources")
            resourcesZero = status[i + 1] == "Total bytes allocated:0" && status[i + 2].empty();
        if (status[i] == "ChunkPools" && i + 2 < status.size())
            poolsZero = status[i + 2].find_first_not_of("0 ") == std::string::npos;
    }
    if (!resourcesZero)
        fail("resource counts not back to zero");
    if (!poolsZero)
        fail("pool live counts not back to zero");

    if (std::string(qj::memoryTraceReport()) != "Total bytes allocated:0\n")
        fail("trace statistics not back to zero: " + std::string(qj::memoryTraceReport()));

    // Every allocation site: nothing live, and every site listed once it allocated.
    qj::dump_allocations_to_file("sites_end.txt", -1);
    int sites = 0;
    for (const std::string& line : lines(readFile("sites_end.txt")))
        if (startsWith(line, "alloc ")) {
            ++sites;
            if (line.find(" currentNumAllocs=0 currentTotalSize=0 ") == std::string::npos)
                fail("allocation site not back to zero: " + line);
        }
    if (sites == 0)
        fail("no allocation site recorded");
    qj::dump_active_allocations_to_file("sites_active_end.txt");
    for (const std::string& line : lines(readFile("sites_active_end.txt")))
        if (startsWith(line, "alloc "))
            fail("a site still has live blocks: " + line);

    if (errors_reported.load() != 0)
        fail("the library reported an error");
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : kDefaultRounds;
    qj::register_err_callback(&onError);
    {
        // The harness's sums assume the layout of the settings the test writes.
        void* probe = qj::qj_malloc(10, 0);
        const bool layout = qj::getSizeOfAllocation(probe) == static_cast<std::int32_t>(10 + kTailGuard + 8);
        qj::qj_free(probe);
        if (!layout) {
            std::printf("FAIL the settings are not those of the stress test\n");
            return 1;
        }
    }
    const std::int64_t bytesBefore = qj::get_accumulated_bytes_allocated();
    const std::int32_t callsBefore = qj::get_accumulated_allocation_call_count();
    for (int i = 0; i < 4; ++i)
        memory_names[i] = qj::addMemoryName(kMemoryNames[i]);

    std::atomic<bool> running{true};
    std::int64_t samples = 0;
    std::thread reader([&running, &samples] {
        while (running.load()) {
            if (qj::get_total_allocation_call_count() < 0 || qj::get_total_bytes_allocated() < 0)
                fail("a counter read went below zero");
            (void)qj::histogramCurrentUsedMemory();
            ++samples;
        }
    });

    std::vector<Sums> sums(kWorkers + 1);
    std::atomic<int> workersLeft{kWorkers};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; ++i)
        threads.emplace_back([i, &sums, rounds, &workersLeft] {
            worker(i, &sums[static_cast<std::size_t>(i)], rounds);
            workersLeft.fetch_sub(1);
        });
    mainThreadWork(&sums[kWorkers], rounds, workersLeft);
    for (auto& t : threads)
        t.join();
    for (const Block& b : handoff)
        release(b, sums[kWorkers]);
    handoff.clear();
    running.store(false);
    reader.join();

    Sums total;
    for (const Sums& s : sums)
        total.add(s);
    // The probe block counts too.
    total.bytes += bytesBefore;
    total.calls += callsBefore;
    total.releases += callsBefore;
    checkEndState(total);
    std::printf("allocations %lld (heap path %lld), releases %lld, handoffs %lld, trace starts %lld, "
                "trace ends %lld, resource operations %lld, frame steps %lld, status texts %lld, "
                "dumps %lld, trace reports %lld, histogram dumps %lld, counter samples %lld\n",
                static_cast<long long>(total.calls), static_cast<long long>(total.unpooled),
                static_cast<long long>(total.releases), static_cast<long long>(total.handoffs),
                static_cast<long long>(total.traceStarts), static_cast<long long>(total.traceEnds),
                static_cast<long long>(total.resourceOps), static_cast<long long>(total.frames),
                static_cast<long long>(total.statusTexts), static_cast<long long>(total.dumps),
                static_cast<long long>(total.traceReports), static_cast<long long>(total.histogramDumps),
                static_cast<long long>(samples));
    if (!bad.load())
        std::printf("full stress ok\n");
    return bad.load() ? 1 : 0;
}
