// Many threads allocate through every entry point, check alignment, usable size and
// contents, and hand half of their blocks to the next thread for release.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 16;
constexpr int kRounds = 3000;

struct alignas(64) Line {
    unsigned char bytes[64];
};

struct Block {
    void* p;
    std::size_t size;
    int kind;
    unsigned char fill;
};

std::mutex handoff_lock;
std::vector<Block> handoff[kThreads];
std::atomic<int> failures{0};

void fail(const char* what, std::size_t size) {
    std::fprintf(stderr, "FAIL %s size %zu\n", what, size);
    failures.fetch_add(1);
}

void release(const Block& b) {
    const auto* bytes = static_cast<const unsigned char*>(b.p);
    for (std::size_t i = 0; i < b.size; ++i)
        if (bytes[i] != b.fill) {
            fail("contents", b.size);
            break;
        }
    switch (b.kind) {
    case 0: std::free(b.p); break;
    case 1: delete static_cast<unsigned char*>(b.p); break;
    case 2: delete[] static_cast<unsigned char*>(b.p); break;
    default: delete[] static_cast<Line*>(b.p); break;
    }
}

Block make(std::uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    std::size_t size = (seed >> 8) % 700;
    if ((seed & 0xFF) == 7)
        size = 150000 + (seed >> 12) % 50000; // now and then a large block
    std::size_t align = 16;
    Block b{nullptr, size, 0, static_cast<unsigned char>(seed >> 24)};
    switch ((seed >> 4) % 8) {
    case 0: b.p = std::malloc(size); break;
    case 1: b.p = std::calloc(1, size);
        for (std::size_t i = 0; i < size; ++i)
            if (static_cast<unsigned char*>(b.p)[i] != 0) { fail("calloc zero", size); break; }
        break;
    case 2: b.size = size = size + 1; b.p = std::realloc(std::malloc(size / 2 + 1), size); break;
    case 3: align = 64u << ((seed >> 16) % 4);
        if (posix_memalign(&b.p, align, size) != 0) b.p = nullptr;
        break;
    case 4: align = 4096; b.p = std::aligned_alloc(align, size); break;
    case 5: b.kind = 1; b.size = 1; b.p = new unsigned char; break;
    case 6: b.kind = 2; b.p = new unsigned char[size]; break;
    default: b.kind = 3; align = 64; b.size = 3 * sizeof(Line); b.p = new Line[3]; break;
    }
    if (b.p == nullptr) {
        fail("null", size);
        return b;
    }
    if (reinterpret_cast<std::uintptr_t>(b.p) % align != 0)
        fail("alignment", size);
    if (b.kind == 0 && malloc_usable_size(b.p) != (b.size == 0 ? 1 : b.size))
        fail("usable size", size);
    std::memset(b.p, b.fill, b.size);
    return b;
}

void worker(int index) {
    std::uint32_t seed = 12345u + static_cast<std::uint32_t>(index) * 7919u;
    std::vector<Block> mine;
    for (int round = 0; round < kRounds; ++round) {
        Block b = make(seed);
        if (b.p == nullptr)
            continue;
        if (round % 2 == 0) {
            std::lock_guard<std::mutex> lock(handoff_lock);
            handoff[(index + 1) % kThreads].push_back(b);
        } else {
            mine.push_back(b);
        }
        if (mine.size() > 40) {
            for (const Block& m : mine)
                release(m);
            mine.clear();
        }
        if (round % 64 == 0) {
            std::vector<Block> taken;
            {
                std::lock_guard<std::mutex> lock(handoff_lock);
                taken.swap(handoff[index]);
            }
            for (const Block& t : taken)
                release(t);
        }
    }
    for (const Block& m : mine)
        release(m);
}

// Live blocks whose bytes all hold the release fill (0xDD) are released by each function
// without a report: small, page-crossing and large ones, and the old block of a realloc.
void releaseFilledBlocks() {
    for (std::size_t size : {1, 3, 4, 16, 64, 5000, 200000}) {
        void* p = std::malloc(size);
        std::memset(p, 0xDD, size);
        std::free(p);
        auto* one = new unsigned char;
        *one = 0xDD;
        delete one;
        auto* many = new unsigned char[size];
        std::memset(many, 0xDD, size);
        delete[] many;
        auto* grown = static_cast<unsigned char*>(std::malloc(size));
        std::memset(grown, 0xDD, size);
        grown = static_cast<unsigned char*>(std::realloc(grown, size + 100));
        if (grown == nullptr || grown[0] != 0xDD || grown[size - 1] != 0xDD)
            fail("realloc of a filled block", size);
        std::free(grown);
    }
}

} // namespace

int main() {
    releaseFilledBlocks();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(worker, i);
    for (std::thread& t : threads)
        t.join();
    for (auto& list : handoff)
        for (const Block& b : list)
            release(b);
    if (failures.load() != 0)
        return 1;
    std::printf("threads ok\n");
    return 0;
}
