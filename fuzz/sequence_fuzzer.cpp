// Fuzz target: sequences of operations on the whole library, checked against a shadow
// model.
//
// An input is a small program. Its first three bytes choose the switches; the library is
// set up for them the way the attach handler sets it up, runs the operations that the rest
// of the bytes describe, and is torn down the way the detach handler tears it down, so
// every input starts from a freshly attached library and replays on its own.
//
// Operations: allocations (sizes biased to 0, the pool class edges, gross sizes 4083 to
// 4096, the histogram's 10000, the large-block threshold, anything up to 1 MiB) on the main
// thread or on a second thread; releases on either; size queries; memory names; trace
// starts and ends on either thread; the frame counters; resources; every report and query
// function; the two clearing functions; and misuses whose outcome the release rules decide:
// the two bad-pointer values, pointers outside every block ever handed out, an interior
// pointer, an immediate second release, a changed tail-guard byte, a pooled block released
// on the second thread, a request too large for the header word.
//
// The model follows the documented rules, not the code. While no error is reported it
// checks after every operation the four counters and the histogram's byte totals, and on
// request the status text, the trace and resource reports, the histogram file, the
// allocation dumps, a block's layout and its size. After a misuse it checks the exact
// report texts and the number of callback calls, then clears the failure flag and goes on
// with the model updated as the rules say. Every user area carries a signature that is
// checked before its release, and no two blocks that the library holds may overlap.
//
// The global counters are never reset in a process; each input starts its model from the
// values they have before it.
#include "Quorrick.h"
#include "alloc/alloc.h"
#include "alloc/block.h"
#include "alloc/large_blocks.h"
#include "callstack/callstack.h"
#include "frame/frame.h"
#include "frame/report.h"
#include "frame/settings.h"
#include "histogram/histogram.h"
#include "platform/platform.h"
#include "pools/chunk_pools.h"
#include "pools/pool_internal.h"
#include "trace/trace_internal.h"
#include "tracking/alloc_info.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qj = velt::zur::memory;
namespace d = velt::zur::memory::detail;

namespace {

// --- Facts of the documented design ----------------------------------------------------

constexpr std::uint32_t kPoolClasses[] = {4, 8, 12, 16, 20, 24, 28, 32, 48,
                                          58, 64, 68, 72, 76, 80, 84, 88};
constexpr int kPoolClassCount = 17;
constexpr std::uint32_t kPageSize = 4096;
// Blocks whose request to the runtime heap (gross size, pad and the heap's header) could
// reach 128 KiB, which the heap may return to the system at once, are mapped by the
// library itself and remembered after release: from this gross size on.
constexpr std::uint32_t kLargeBlockGross = 128 * 1024 - 64;
constexpr std::uint32_t kHistogramLimit = 10000;
constexpr std::size_t kTraceStackSlots = 129;
constexpr std::uint32_t kUsedTagLive = 0x059DD3AF;
constexpr std::uint32_t kUsedTagReleased = 0x059DD3AE;
constexpr char kVersionLine[] = "Quorrick.dll Ver:1.01 Date:2005/01/10";

// Limits of this harness, so that an input stays fast and small.
constexpr std::size_t kMaxLiveBlocks = 256;
constexpr std::uint64_t kMaxLiveBytes = 16u << 20;
constexpr std::size_t kMaxPageGuardBlocks = 48;
constexpr int kCells = 8;

// --- Small helpers ---------------------------------------------------------------------

[[noreturn]] void die(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void die(const char* format, ...) {
    std::fprintf(stderr, "sequence_fuzzer: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

// With QJ_SEQUENCE_VERBOSE set, every operation is described on standard error.
const bool verbose = std::getenv("QJ_SEQUENCE_VERBOSE") != nullptr;

void note(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void note(const char* format, ...) {
    if (!verbose)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void expect(bool ok, const char* what) {
    if (!ok)
        die("%s", what);
}

template <class T> void expectEqual(T actual, T expected, const char* what) {
    if (!(actual == expected))
        die("%s: got %lld, expected %lld", what, static_cast<long long>(actual),
            static_cast<long long>(expected));
}

void expectText(const std::string& actual, const std::string& expected, const char* what) {
    if (actual != expected)
        die("%s:\n--- got ---\n%s\n--- expected ---\n%s", what, actual.c_str(), expected.c_str());
}

std::string format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string pointerText(std::uintptr_t p) { return format("0x%lx", static_cast<unsigned long>(p)); }

std::uint32_t load32(const void* at) {
    std::uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

std::int32_t wrap(std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Decimal text with "." between groups of three digits.
std::string grouped(std::int32_t value) {
    const std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    const std::string digits = std::to_string(magnitude);
    std::string out = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += '.';
        out += digits[i];
    }
    return out;
}

std::string readFile(const std::string& path, bool& exists) {
    std::ifstream in(path); // text mode: line ends read as "\n" on every system
    exists = static_cast<bool>(in);
    std::ostringstream text;
    if (exists)
        text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

// An expected text whose lines may come in runs of free order: report lines with equal
// sort keys may be listed in any order among themselves.
class ExpectedText {
public:
    void add(const std::string& text, int group = 0) {
        for (char c : text) {
            pending_ += c;
            if (group != 0)
                pendingGroup_ = group;
            if (c == '\n')
                flush();
        }
    }
    int newGroup() { return ++groups_; }

    void check(const std::string& actual, const char* what) {
        flush();
        const std::vector<std::string> got = splitLines(actual);
        bool ok = got.size() == lines_.size();
        for (std::size_t i = 0; ok && i < lines_.size();) {
            std::size_t end = i + 1;
            if (lines_[i].group != 0)
                while (end < lines_.size() && lines_[end].group == lines_[i].group)
                    ++end;
            std::vector<std::string> want, have;
            for (std::size_t k = i; k < end; ++k) {
                want.push_back(lines_[k].text);
                have.push_back(got[k]);
            }
            std::sort(want.begin(), want.end());
            std::sort(have.begin(), have.end());
            ok = want == have;
            i = end;
        }
        if (!ok) {
            std::string expected;
            for (const Line& line : lines_)
                expected += line.text;
            expectText(actual, expected, what);
        }
    }

private:
    struct Line {
        std::string text;
        int group;
    };
    void flush() {
        if (!pending_.empty())
            lines_.push_back({pending_, pendingGroup_});
        pending_.clear();
        pendingGroup_ = 0;
    }
    std::vector<Line> lines_;
    std::string pending_;
    int pendingGroup_ = 0;
    int groups_ = 0;
};

// --- The input --------------------------------------------------------------------------

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint32_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t bytes(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | byte();
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// --- Reports to the error callback ------------------------------------------------------

std::mutex reports_mutex;
std::vector<std::string> reports;

void recordReport(bool recoverable, const char* message) {
    std::lock_guard<std::mutex> lock(reports_mutex);
    reports.push_back(std::string(recoverable ? "(recoverable) " : "") + message);
}

std::vector<std::string> takeReports() {
    std::lock_guard<std::mutex> lock(reports_mutex);
    std::vector<std::string> taken;
    taken.swap(reports);
    return taken;
}

bool lastReportIs(const std::string& text) {
    std::lock_guard<std::mutex> lock(reports_mutex);
    return !reports.empty() && reports.back() == text;
}

void expectReports(const std::vector<std::string>& expected, const char* what) {
    const std::vector<std::string> got = takeReports();
    if (got != expected) {
        std::string a, b;
        for (const auto& s : got)
            a += "  " + s + "\n";
        for (const auto& s : expected)
            b += "  " + s + "\n";
        die("%s: reports differ\n--- got ---\n%s--- expected ---\n%s", what, a.c_str(), b.c_str());
    }
    expect(qj::failure_flag.load() == !expected.empty(), "failure flag against the reports");
    qj::failure_flag.store(false); // the model goes on past a misuse
}

// --- The second thread ------------------------------------------------------------------

std::int32_t osThreadId() {
#if defined(_WIN32)
    return static_cast<std::int32_t>(GetCurrentThreadId());
#else
    return static_cast<std::int32_t>(::syscall(SYS_gettid));
#endif
}

// Runs tasks one at a time on a thread of its own; the caller waits for each.
//
// Each input runs on one such thread (the library's main thread) and hands work to a
// second one. Their call stacks end in the task loop: stack walks never reach the thread
// library's frames below it, which keep no frame pointers and would add stale words as
// return addresses, so that each thread allocates from exactly one site.
class TaskThread {
public:
    TaskThread() {
        std::thread([this] { loop(); }).detach();
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return id_ != 0; });
    }
    void run(const std::function<void()>& task) {
        std::unique_lock<std::mutex> lock(mutex_);
        task_ = &task;
        wake_.notify_all();
        wake_.wait(lock, [this] { return task_ == nullptr; });
    }
    std::int32_t id() const { return id_; }

private:
#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    void loop() {
#if defined(__GNUC__)
        // This frame never returns, so its saved frame pointer can end the chain here.
        *static_cast<void**>(__builtin_frame_address(0)) = nullptr;
#endif
        std::unique_lock<std::mutex> lock(mutex_);
        id_ = osThreadId();
        wake_.notify_all();
        for (;;) {
            wake_.wait(lock, [this] { return task_ != nullptr; });
            (*task_)();
            task_ = nullptr;
            wake_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    const std::function<void()>* task_ = nullptr;
    std::int32_t id_ = 0;
};

// Never destroyed: the threads wait for tasks until the process ends.
TaskThread* main_thread = nullptr;
TaskThread* second_thread = nullptr;
std::string work_dir;

void setUpProcess() {
    if (second_thread != nullptr)
        return;
    qj::register_err_callback(&recordReport);
    main_thread = new TaskThread;
    second_thread = new TaskThread;
#if defined(_WIN32)
    const long pid = _getpid();
#else
    const long pid = static_cast<long>(::getpid());
#endif
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qj_sequence_fuzzer_" + std::to_string(pid));
    std::filesystem::create_directories(dir);
    work_dir = dir.string();
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(work_dir, ignored);
    });
}

std::string workFile(const char* name) { return work_dir + "/" + name; }

std::string freshWorkFile(const char* name) {
    const std::string path = workFile(name);
    std::remove(path.c_str());
    return path;
}

// Every allocation of the main thread goes through this one call of qj_malloc, and every
// allocation of the second thread through the one in secondThreadAllocate, so each thread
// allocates from exactly one call stack: one allocation site each.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void* allocateBlock(std::uint32_t size, std::int32_t name) {
    void* p = qj::qj_malloc(size, name);
    // Not a tail call: this function keeps its frame while the stack is captured.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return p;
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
void* secondThreadAllocate(std::uint32_t size, std::int32_t name) {
    void* p = nullptr;
    second_thread->run([&] { p = allocateBlock(size, name); });
    return p;
}

// --- The model ------------------------------------------------------------------------

// The six counters of a memory name, trace identifier or resource.
struct Stats {
    std::int32_t peakBytes = 0, peakNumAllocs = 0, numAllocs = 0, bytes = 0, minBlock = 0,
                 maxBlock = 0;

    void add(std::int32_t size) {
        const std::int32_t peakBefore = peakBytes;
        numAllocs = wrap(std::int64_t{numAllocs} + 1);
        bytes = wrap(std::int64_t{bytes} + size);
        if (size >= 0) {
            if (size < minBlock || peakBefore == 0)
                minBlock = size;
            if (size > maxBlock)
                maxBlock = size;
        }
        if (numAllocs > peakNumAllocs)
            peakNumAllocs = numAllocs;
        if (bytes > peakBytes)
            peakBytes = bytes;
    }
    void remove(std::int32_t size) {
        numAllocs = wrap(std::int64_t{numAllocs} - 1);
        bytes = wrap(std::int64_t{bytes} - size);
    }
};

struct Record {
    std::string name;
    Stats stats;
};

struct Site {
    bool exists = false;
    std::int32_t traceId = 0, peakSize = 0, peakNumAllocs = 0, current = 0, currentSize = 0,
                 minSize = 0, maxSize = 0;
};

enum class Source { Plain, Pool, Heap, Large, PageGuard };

struct Block {
    unsigned char* user = nullptr;
    std::uint32_t requested = 0; // the size of the user area
    std::uint32_t gross = 0;
    Source source = Source::Plain;
    int poolClass = -1;
    int site = 0; // 0: main thread, 1: second thread
    std::int32_t name = 0;
    std::uint32_t traceValue = 0;
    std::uint16_t seed = 0; // where the block's signature starts in the table
};

struct Switches {
    bool memoryDll, histogram, pools, callstack, traceIds, usedTag, patterns, tailguards, valloc,
        tags, includeAll, leakreport;
    std::int32_t guardLength, depth, hashSize;
    // Chunks per memoryChunk when the pools' test hook makes them small (0: the real size),
    // so that chains of MemoryPools grow within one input.
    std::int32_t chunksPerPool;
};

struct Model {
    Switches s{};
    // Field widths.
    std::uint32_t UT = 0, TG = 0, CS = 0, TW = 0, GL = 0, head = 0, overhead = 0;

    d::CounterSnapshot base{};
    std::int64_t liveBytes = 0, accumulatedBytes = 0, liveCount = 0, accumulatedCount = 0,
                 unpooled = 0;

    bool histStarted = false;
    std::vector<std::uint32_t> histCurrent, histPeak;
    std::uint32_t largeCurrent = 0, largePeak = 0, histBytes = 0, histPeakBytes = 0;

    std::int32_t nameCount = 0;
    std::array<std::string, 16> names;
    std::array<Stats, 16> nameStats;

    std::vector<Record> traces;
    std::vector<std::pair<std::int32_t, int>> stack; // identifier, thread
    std::array<std::int32_t, kCells> traceCells{};
    std::vector<Record> resources;
    std::array<std::int32_t, kCells> resourceCells{};

    std::array<Site, 2> sites;
    std::array<std::uint32_t, kPoolClassCount> poolLive{};

    std::vector<Block> live;
    // Released blocks whose memory the library keeps for good: page-guard blocks (still
    // counted, pages still mapped) and pooled blocks released on the second thread.
    std::vector<Block> retained;
    std::map<std::uintptr_t, std::uintptr_t> held; // extents the library holds for blocks
    std::uintptr_t low = UINTPTR_MAX, high = 0;     // user pointers of this input
    std::size_t pageGuardBlocks = 0;
    std::uint64_t liveRequested = 0;
    std::uint16_t nextSeed = 1;
};

Model m;

// Threads that reach the chunk pools: only the main thread.
Source sourceFor(std::uint32_t gross, int thread) {
    if (!m.s.memoryDll)
        return Source::Plain;
    if (m.s.pools && !m.s.valloc && thread == 0 && gross <= 88)
        return Source::Pool;
    if (m.s.valloc && gross < kPageSize)
        return Source::PageGuard;
    return gross >= kLargeBlockGross ? Source::Large : Source::Heap;
}

int poolClassOf(std::uint32_t gross) {
    for (int i = 0; i < kPoolClassCount; ++i)
        if (gross <= kPoolClasses[i])
            return i;
    return -1;
}

std::int32_t innermostTrace() { return m.stack.empty() ? -1 : m.stack.back().first; }
std::int32_t innermostTraceOf(int thread) {
    return (!m.stack.empty() && m.stack.back().second == thread) ? m.stack.back().first : -1;
}

void histogramAdd(std::uint32_t gross) {
    if (!m.histStarted) {
        std::fill(m.histCurrent.begin(), m.histCurrent.end(), 0u);
        std::fill(m.histPeak.begin(), m.histPeak.end(), 0u);
        m.histStarted = true;
    }
    m.histBytes += gross;
    if (m.histBytes > m.histPeakBytes)
        m.histPeakBytes = m.histBytes;
    std::uint32_t& current = gross < kHistogramLimit ? m.histCurrent[gross] : m.largeCurrent;
    std::uint32_t& peak = gross < kHistogramLimit ? m.histPeak[gross] : m.largePeak;
    if (++current > peak)
        peak = current;
}

void histogramRemove(std::uint32_t gross) {
    if (!m.histStarted)
        return;
    m.histBytes -= gross;
    std::uint32_t& current = gross < kHistogramLimit ? m.histCurrent[gross] : m.largeCurrent;
    if (current > 0)
        --current;
}

void siteAllocate(Site& site, std::int32_t amount, std::int32_t traceId) {
    site.exists = true;
    site.traceId = traceId;
    site.current += 1;
    site.currentSize += amount;
    if (site.peakSize == 0) {
        site.minSize = amount;
        site.maxSize = amount;
    } else {
        site.minSize = std::min(site.minSize, amount);
        site.maxSize = std::max(site.maxSize, amount);
    }
    site.peakSize = std::max(site.peakSize, site.currentSize);
    site.peakNumAllocs = std::max(site.peakNumAllocs, site.current);
}

std::int32_t findOrAddRecord(std::vector<Record>& table, const std::string& name) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (sameIgnoringCase(name, table[i].name))
            return static_cast<std::int32_t>(i);
    table.push_back({name.substr(0, 256), {}});
    return static_cast<std::int32_t>(table.size() - 1);
}

// Charges of a guarded block, as the allocation path makes them.
void chargeAllocation(const Block& b, int thread) {
    m.liveBytes += b.gross;
    m.accumulatedBytes += b.gross;
    m.liveCount += 1;
    m.accumulatedCount += 1;
    if (b.source != Source::Pool)
        m.unpooled += 1;
    if (m.s.callstack)
        siteAllocate(m.sites[thread], static_cast<std::int32_t>(b.gross), innermostTraceOf(thread));
    if (m.s.traceIds) {
        if (b.traceValue != 0)
            m.traces[b.traceValue - 1].stats.add(static_cast<std::int32_t>(b.gross));
        m.nameStats[b.name].add(static_cast<std::int32_t>(b.gross));
    }
    if (m.s.histogram)
        histogramAdd(b.gross);
    if (b.source == Source::Pool)
        ++m.poolLive[b.poolClass];
}

// The charges that a release takes back (every release that passes the tests).
void unchargeRelease(const Block& b) {
    if (m.s.traceIds) {
        m.nameStats[b.name].remove(static_cast<std::int32_t>(b.gross));
        if (b.traceValue != 0)
            m.traces[b.traceValue - 1].stats.remove(static_cast<std::int32_t>(b.gross));
    }
    m.liveBytes -= b.gross;
    m.liveCount -= 1;
    if (m.s.histogram)
        histogramRemove(b.gross);
    if (m.s.callstack) {
        Site& site = m.sites[b.site];
        site.current -= 1;
        site.currentSize -= static_cast<std::int32_t>(b.gross);
    }
}

// --- Checks -----------------------------------------------------------------------------

void checkCounters(const char* when) {
    expectEqual(qj::get_total_bytes_allocated(), wrap(m.base.totalBytes + m.liveBytes), when);
    expectEqual(qj::get_total_allocation_call_count(), wrap(m.base.liveCount + m.liveCount), when);
    expectEqual(qj::get_accumulated_bytes_allocated(), m.base.accumulatedBytes + m.accumulatedBytes, when);
    expectEqual(qj::get_accumulated_allocation_call_count(),
                wrap(m.base.accumulatedCount + m.accumulatedCount), when);
    expectEqual(qj::histogramCurrentUsedMemory(), m.histBytes, "histogram current bytes");
    expectEqual(qj::histogramPeakUsedMemory(), m.histPeakBytes, "histogram peak bytes");
}

// Signatures are cut from one table of bytes from 0x20 to 0x7F (never a fill or guard
// byte, never part of the used tag), each block starting at its own offset in it.
constexpr std::uint32_t kSignatureTable = 4096;
unsigned char signature_table[kSignatureTable];
unsigned char alloc_fill[kSignatureTable];

void buildTables() {
    std::uint32_t x = 12345;
    for (std::uint32_t i = 0; i < kSignatureTable; ++i) {
        x = x * 1103515245u + 12345u;
        signature_table[i] = static_cast<unsigned char>(0x20 + (x >> 16) % 0x60);
    }
    std::memset(alloc_fill, 0xCD, sizeof alloc_fill);
}

// Calls `piece(at, table, length)` for consecutive pieces of b's user area.
template <class Piece> bool eachSignaturePiece(const Block& b, Piece piece) {
    for (std::uint32_t i = 0; i < b.requested;) {
        const std::uint32_t from = (b.seed + i) % kSignatureTable;
        const std::uint32_t length = std::min(b.requested - i, kSignatureTable - from);
        if (!piece(b.user + i, signature_table + from, length))
            return false;
        i += length;
    }
    return true;
}

void sign(const Block& b) {
    eachSignaturePiece(b, [](unsigned char* at, const unsigned char* from, std::uint32_t n) {
        std::memcpy(at, from, n);
        return true;
    });
}

void checkSignature(const Block& b) {
    if (!eachSignaturePiece(b, [](unsigned char* at, const unsigned char* from, std::uint32_t n) {
            return std::memcmp(at, from, n) == 0;
        }))
        die("the user area of the block at %p (%u bytes) changed", static_cast<void*>(b.user), b.requested);
}

bool allFill(const unsigned char* at, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; i += kSignatureTable)
        if (std::memcmp(at + i, alloc_fill, std::min(n - i, kSignatureTable)) != 0)
            return false;
    return true;
}

void checkTailGuard(const Block& b) {
    for (std::uint32_t i = 0; i < m.GL; ++i)
        if (b.user[b.requested + i] != 0x99)
            die("tail guard byte %u of the block at %p changed", i, static_cast<void*>(b.user));
}

unsigned char* blockStart(const Block& b) { return b.user - m.head; }

// The words and fills a fresh block carries.
void checkLayout(const Block& b, bool fresh) {
    unsigned char* start = blockStart(b);
    if (m.UT != 0)
        expectEqual(load32(start), kUsedTagLive, "used tag of a live block");
    if (m.TG != 0) {
        expect(std::memcmp(start + m.UT, "QJ7{", 4) == 0, "front tag");
        expect(std::memcmp(start + b.gross - 4, "}QJ7", 4) == 0, "end tag");
    }
    const std::uint32_t header = load32(start + m.UT + m.TG);
    expectEqual(header & 1u, m.s.callstack ? 1u : 0u, "call-stack flag");
    const bool pooled = (header & 2u) != 0;
    expectEqual(pooled, b.source == Source::Pool, "pooled flag");
    expectEqual(pooled ? (header >> 2) & 0x7FFFu : header >> 2, b.gross, "size field");
    if (m.CS != 0)
        expect(load32(start + m.UT + m.TG + 4) != 0, "allocation-site word");
    if (m.TW != 0) {
        const std::uint32_t word = load32(b.user - 4);
        expectEqual(word & 0xFu, static_cast<std::uint32_t>(b.name), "memory name in the trace word");
        expectEqual((word >> 4) & 0xFFFFFu, b.traceValue, "trace value in the trace word");
    }
    if (fresh && m.s.patterns)
        expect(allFill(b.user, b.requested), "user area filled with 0xCD");
    checkTailGuard(b);
    if (b.source == Source::PageGuard)
        expectEqual((reinterpret_cast<std::uintptr_t>(start) + b.gross) % kPageSize, std::uintptr_t{0},
                    "page-guard block ends at the page end");
}

void hold(const Block& b) {
    const auto start = reinterpret_cast<std::uintptr_t>(b.source == Source::Plain ? b.user : blockStart(b));
    const std::uintptr_t end = start + std::max<std::uint32_t>(b.source == Source::Plain ? b.requested : b.gross, 1);
    auto next = m.held.lower_bound(start);
    if (next != m.held.end() && next->first < end)
        die("a new block at %p overlaps one the library still holds", reinterpret_cast<void*>(start));
    if (next != m.held.begin() && std::prev(next)->second > start)
        die("a new block at %p overlaps one the library still holds", reinterpret_cast<void*>(start));
    m.held[start] = end;
}

void unhold(const Block& b) {
    m.held.erase(reinterpret_cast<std::uintptr_t>(b.source == Source::Plain ? b.user : blockStart(b)));
}

// --- Expected report texts ----------------------------------------------------------------

void addReport(ExpectedText& e, const std::vector<Record>& table, const char* emptyText) {
    if (table.empty()) {
        e.add(emptyText);
        return;
    }
    std::uint32_t total = 0;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < table.size(); ++i) {
        total += static_cast<std::uint32_t>(table[i].stats.bytes);
        order.push_back(i);
    }
    auto key = [&table](std::size_t i) { return static_cast<std::uint32_t>(table[i].stats.bytes); };
    std::stable_sort(order.begin(), order.end(), [&key](std::size_t a, std::size_t b) { return key(a) > key(b); });
    e.add(format("Total bytes allocated:%u\n", total));
    int group = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k == 0 || key(order[k]) != key(order[k - 1]))
            group = e.newGroup();
        const Stats& st = table[order[k]].stats;
        if (st.numAllocs == 0 || st.bytes == 0)
            continue;
        e.add("Bytes:" + grouped(st.bytes) + "(" + grouped(st.peakBytes) + ") MinBlock:" + grouped(st.minBlock) +
                  " MaxBlock:" + grouped(st.maxBlock) + " NumAllocs:" + grouped(st.numAllocs) + "(" +
                  grouped(st.peakNumAllocs) + ")  " + table[order[k]].name + "  [" + std::to_string(order[k]) +
                  "]\n",
              group);
    }
}

ExpectedText expectedStatus() {
    ExpectedText e;
    e.add(std::string(kVersionLine) + "\n\n");
    if (!m.s.memoryDll) {
        e.add("MemoryDLL not active\n");
        return e;
    }
    e.add("TotalBytesAllocated:" + grouped(wrap(m.base.totalBytes + m.liveBytes)) +
          " TotalAllocationCount:" + grouped(wrap(m.base.unpooledCount + m.unpooled)) + "\n");
    if (m.s.traceIds) {
        for (std::int32_t i = 0; i < m.nameCount; ++i) {
            const Stats& st = m.nameStats[i];
            e.add(format("[%d] ", i) + m.names[i] + " NumAllocs:" + grouped(st.numAllocs) + "(" +
                  grouped(st.peakNumAllocs) + ") Bytes:" + grouped(st.bytes) + "(" + grouped(st.peakBytes) +
                  ") MinBlock:" + grouped(st.minBlock) + " MaxBlock:" + grouped(st.maxBlock) + "\n");
        }
    } else {
        e.add("TraceIdentifiers not active\n");
    }
    e.add("\nResources\n");
    addReport(e, m.resources, "no resources found");
    e.add("\n\n");
    if (m.s.pools) {
        e.add("ChunkPools\n");
        std::string sizes, counts;
        for (int i = 0; i < kPoolClassCount; ++i) {
            sizes += format("%-16d", static_cast<int>(kPoolClasses[i]));
            counts += format("%-16u", m.poolLive[i]);
        }
        e.add(sizes + "\n" + counts + "\n");
    } else {
        e.add("ChunkPools not active\n");
    }
    return e;
}

std::string expectedHistogramFile() {
    std::string t = format("Allocations greater than %u bytes\n", kHistogramLimit);
    t += format("Current:%u Peak:%u\n", m.largeCurrent, m.largePeak);
    t += format("Total bytes allocated. Current:%u Peak:%u\n\n", m.histBytes, m.histPeakBytes);
    for (std::uint32_t size = 0; size < kHistogramLimit; ++size)
        if (m.histCurrent[size] > 0)
            t += format("Size:%u Current:%u Peak:%u\n", size, m.histCurrent[size], m.histPeak[size]);
    t += "\nBlocks where current is zero\n\n";
    for (std::uint32_t size = 0; size < kHistogramLimit; ++size)
        if (m.histCurrent[size] == 0 && m.histPeak[size] > 0)
            t += format("Size:%u Peak:%u\n", size, m.histPeak[size]);
    return t;
}

void checkHistogramFile(const std::string& path) {
    bool exists = false;
    const std::string text = readFile(path, exists);
    expectEqual(exists, m.histStarted, "histogram file written exactly when a block was counted");
    if (exists)
        expectText(text, expectedHistogramFile(), "histogram file");
}

// A leak report or allocation dump: its frame and every site's statistics.
void checkSiteReport(const std::string& path, bool includeAll, std::int32_t filter) {
    bool exists = false;
    const std::string text = readFile(path, exists);
    expect(exists, "allocation report file written");
    std::vector<std::string> lines = splitLines(text);
    std::size_t i = 0;
    auto next = [&lines, &i](const char* what) -> std::string {
        if (i >= lines.size())
            die("allocation report ends early, before %s", what);
        return lines[i++];
    };
    expectText(next("the format line"), "# Leak report format v1.10\n", "report format line");
    expectText(next("a blank line"), "\n", "report blank line");
    expectText(next("the module heading"), "# Module dump\n", "report module heading");
    while (i < lines.size() && lines[i].rfind("module ", 0) == 0)
        ++i;
    expectText(next("a blank line"), "\n", "report blank line before the history");
    expectText(next("the history heading"),
               std::string("# Allocation history (") + (includeAll ? "all allocations" : "leaks only") + ")\n",
               "report history heading");
    std::vector<std::array<std::int32_t, 6>> got, want;
    while (i < lines.size() && lines[i].rfind("alloc ", 0) == 0) {
        int depth = 0;
        std::array<std::int32_t, 6> v{};
        int consumed = 0;
        const int n = std::sscanf(lines[i].c_str(),
                                  "alloc depth=%d peakSize=%d peakNumAllocs=%d currentNumAllocs=%d "
                                  "currentTotalSize=%d minAllocSize=%d maxAllocSize=%d %n",
                                  &depth, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &consumed);
        expect(n == 7, "site line format");
        const std::string frames = lines[i].substr(static_cast<std::size_t>(consumed));
        int count = 0;
        for (std::size_t at = frames.find("0x"); at != std::string::npos; at = frames.find("0x", at + 2))
            ++count;
        expectEqual(count, depth, "frames listed on a site line");
        got.push_back(v);
        ++i;
    }
    int sites = 0, passing = 0;
    for (const Site& s : m.sites) {
        if (!s.exists)
            continue;
        ++sites;
        if (filter != -1 && s.traceId != filter)
            continue;
        ++passing;
        if (includeAll || s.current != 0)
            want.push_back({s.peakSize, s.peakNumAllocs, s.current, s.currentSize, s.minSize, s.maxSize});
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    if (got != want) {
        std::string expected;
        for (const auto& v : want)
            expected += format("peakSize=%d peakNumAllocs=%d currentNumAllocs=%d currentTotalSize=%d "
                               "minAllocSize=%d maxAllocSize=%d\n",
                               v[0], v[1], v[2], v[3], v[4], v[5]);
        die("site lines against the model's sites\n--- report ---\n%s--- expected sites ---\n%s", text.c_str(),
            expected.c_str());
    }
    expectText(next("a blank line"), "\n", "report blank line before the summary");
    expectText(next("the summary heading"), "# AllocInfo hash table summary:\n", "report summary heading");
    expectText(next("the hash size"), format("# hash size: %d\n", m.s.hashSize), "report hash size");
    int populated = -1;
    const std::string populatedLine = next("the populated buckets");
    expect(std::sscanf(populatedLine.c_str(), "# populated bucket indices: %d", &populated) == 1,
           "populated buckets line");
    // Two sites may share a bucket.
    expect(populated == sites || (sites == 2 && populated == 1), "populated buckets against the sites");
    expectText(populatedLine,
               format("# populated bucket indices: %d (%5.2g%%)\n", populated, populated * 100.0 / m.s.hashSize),
               "populated buckets line");
    expectText(next("the element count"), format("# total elements: %d\n", passing), "report element count");
    const std::string longest = next("the longest chain");
    if (filter == -1)
        expectText(longest, format("# longest chain: %d\n", sites == 0 ? 0 : (populated == sites ? 1 : 2)),
                   "report longest chain");
    expect(i == lines.size(), "nothing after the report summary");
}

void checkStatus() {
    expectedStatus().check(qj::getStatus(nullptr), "status text");
}

void checkTraceReport() {
    if (!m.s.traceIds) {
        expectText(qj::memoryTraceReport(), "use_traceIdentifiers not enabled", "trace report, switch off");
        return;
    }
    ExpectedText e;
    addReport(e, m.traces, "no traces found");
    e.check(qj::memoryTraceReport(), "trace report");
}

// --- Set-up and teardown as the attach and detach handlers do them -----------------------

Switches decodeSwitches(Input& in) {
    const std::uint32_t a = in.byte(), b = in.byte(), c = in.byte();
    static const std::int32_t kGuardLengths[16] = {4, 0, 1, 2, 3, 4, 5, 7, 8, 13, 16, 31, 64, 100, 4, 4};
    static const std::int32_t kDepths[4] = {16, 2, 128, 999};
    static const std::int32_t kHashSizes[4] = {57903, 1001, 4099, 57903};
    Switches s{};
    s.histogram = a & 1u;
    s.pools = !(a & 2u);
    s.callstack = a & 4u;
    s.traceIds = a & 8u;
    s.usedTag = !(a & 16u);
    s.patterns = !(a & 32u);
    s.tailguards = !(a & 64u);
    s.tags = a & 128u;
    s.guardLength = kGuardLengths[b & 15u];
    s.valloc = (b & 0x30u) == 0x30u;
    s.memoryDll = (b & 0xC0u) != 0xC0u;
    s.depth = kDepths[c & 3u];
    s.hashSize = kHashSizes[(c >> 2) & 3u];
    s.includeAll = c & 16u;
    s.leakreport = c & 32u;
    s.chunksPerPool = (c & 64u) ? ((c & 128u) ? 3 : 1) : 0;
    return s;
}

void attach(const Switches& s) {
    std::string text;
    text += format("use_memoryDll %d\nuse_histogram %d\nuse_pools %d\n", s.memoryDll, s.histogram, s.pools);
    text += format("use_callstack %d\nuse_traceIdentifiers %d\nuse_memoryUsedTag %d\n", s.callstack,
                   s.traceIds, s.usedTag);
    text += format("callstack_depth %d\ninclude_all %d\nhash_size %d\npatterns %d\ntailguards %d\n", s.depth,
                   s.includeAll, s.hashSize, s.patterns, s.tailguards);
    text += format("tailguard_length %d\nuse_valloc %d\nuse_qj7_tags %d\n", s.guardLength, s.valloc, s.tags);
    if (s.leakreport)
        text += "leakreport " + workFile("leaks.txt") + "\n";
    // The library's own start, with the settings text in place of MemorySettings.dat.
    d::startLibrary(text.data(), text.size());
    const d::Settings& set = d::settings;
    expect(set.use_memoryDll == s.memoryDll && set.use_histogram == s.histogram && set.use_pools == s.pools &&
               set.use_callstack == s.callstack && set.use_traceIdentifiers == s.traceIds &&
               set.use_memoryUsedTag == s.usedTag && set.patterns == s.patterns &&
               set.tailguards == s.tailguards && set.tailguard_length == s.guardLength &&
               set.use_valloc == s.valloc && set.use_qj7_tags == s.tags && set.callstack_depth == s.depth &&
               set.hash_size == s.hashSize && set.include_all == s.includeAll &&
               set.has_leakreport == s.leakreport,
           "settings read back as written");
    // Before the first block: pools of a few chunks each, so that inputs reach full pools.
    if (set.use_pools && s.chunksPerPool != 0)
        for (std::uint32_t size : kPoolClasses)
            expect(d::setNominalChunkBytes(size, static_cast<std::int32_t>((size + 3) & ~3u) * s.chunksPerPool),
                   "small memoryChunks");
}

void resetModel(const Switches& s) {
    m = Model();
    m.s = s;
    m.UT = s.usedTag ? 4 : 0;
    m.TG = s.tags ? 4 : 0;
    m.CS = s.callstack ? 4 : 0;
    m.TW = s.traceIds ? 4 : 0;
    m.GL = s.tailguards ? static_cast<std::uint32_t>(s.guardLength) : 0;
    m.head = m.UT + m.TG + 4 + m.CS + m.TW;
    m.overhead = m.head + m.GL + m.TG;
    m.histCurrent.assign(kHistogramLimit, 0);
    m.histPeak.assign(kHistogramLimit, 0);
    m.traceCells.fill(-1);
    m.resourceCells.fill(-1);
    m.base = d::readCounters();
}

// --- Operations ---------------------------------------------------------------------------

std::uint32_t requestedForGross(std::uint32_t gross) { return gross > m.overhead ? gross - m.overhead : 0; }

std::uint32_t chooseSize(Input& in) {
    const std::uint32_t kind = in.byte() % 9;
    switch (kind) {
    case 0:
        return 0;
    case 1: { // a pool class edge: the class size, one past it, one past the class before
        const std::uint32_t c = in.byte() % kPoolClassCount;
        const std::uint32_t which = in.byte() % 3;
        const std::uint32_t gross =
            which == 0 ? kPoolClasses[c] : which == 1 ? kPoolClasses[c] + 1 : (c == 0 ? 1 : kPoolClasses[c - 1] + 1);
        return requestedForGross(gross);
    }
    case 2:
        return in.byte() % 128;
    case 3: // the last gross sizes below a page, and one page
        return requestedForGross(4083 + in.byte() % 14);
    case 4: // the histogram's limit
        return requestedForGross(kHistogramLimit - 2 + in.byte() % 4);
    case 5: { // the large-block threshold, and 128 KiB
        const std::uint32_t pick = in.byte();
        return requestedForGross((pick & 4u ? 128u * 1024 : kLargeBlockGross) - 2 + pick % 4);
    }
    case 6:
        return in.bytes(2) % 20000;
    case 7:
        return in.bytes(3) % (1u << 20);
    default:
        return in.byte() % 2048;
    }
}

void opAllocate(Input& in, int thread) {
    const std::uint32_t size = chooseSize(in);
    const std::int32_t name = static_cast<std::int32_t>(in.byte() % 16);
    Block b;
    b.requested = m.s.memoryDll ? std::max<std::uint32_t>(size, 1) : size;
    b.gross = b.requested + m.overhead;
    b.source = sourceFor(b.gross, thread);
    if (m.live.size() >= kMaxLiveBlocks || m.liveRequested + b.requested > kMaxLiveBytes ||
        (b.source == Source::PageGuard && m.pageGuardBlocks >= kMaxPageGuardBlocks))
        return;
    b.poolClass = b.source == Source::Pool ? poolClassOf(b.gross) : -1;
    b.site = thread;
    b.name = name;
    b.seed = m.nextSeed;
    m.nextSeed = static_cast<std::uint16_t>(m.nextSeed + 1237);
    if (m.s.memoryDll && m.s.traceIds) {
        const std::int32_t top = innermostTrace();
        b.traceValue = top >= 0 ? static_cast<std::uint32_t>(top) + 1 : 0;
    }
    b.user = static_cast<unsigned char*>(thread == 0 ? allocateBlock(size, name) : secondThreadAllocate(size, name));
    note("allocate %u (gross %u, source %d) on thread %d: %p", size, b.gross, static_cast<int>(b.source), thread,
         static_cast<void*>(b.user));
    expectReports({}, "allocation");
    if (b.user == nullptr) {
        expect(size == 0 && !m.s.memoryDll, "allocation returned null");
        return;
    }
    if (m.s.memoryDll) {
        chargeAllocation(b, thread);
        const auto p = reinterpret_cast<std::uintptr_t>(b.user);
        m.low = std::min(m.low, p);
        m.high = std::max(m.high, p);
        checkLayout(b, true);
        if (b.source == Source::PageGuard)
            ++m.pageGuardBlocks;
    }
    hold(b);
    sign(b);
    m.liveRequested += b.requested;
    m.live.push_back(b);
}

Block takeLive(Input& in) {
    const std::size_t i = in.bytes(2) % m.live.size();
    Block b = m.live[i];
    m.live[i] = m.live.back();
    m.live.pop_back();
    m.liveRequested -= b.requested;
    return b;
}

void freeOn(int thread, void* p) {
    if (thread == 0)
        qj::qj_free(p);
    else
        second_thread->run([p] { qj::qj_free(p); });
}

std::string notOursReport(const Block& b) {
    return "memory.dll: trying to free non DLL allocated memory " + pointerText(reinterpret_cast<std::uintptr_t>(b.user));
}

// The report a second release of b gets, or false when the rules cannot catch it.
// `stayed`: the first release was refused because it ran on the second thread.
bool secondReleaseReport(const Block& b, bool stayed, std::string& text) {
    const std::string p = pointerText(reinterpret_cast<std::uintptr_t>(b.user));
    const std::string twice = "memory.dll: free() called twice for memory " + p;
    const std::string tagTwice = "memory.dll: trying to free DLL allocated memory twice " + p;
    // The release fill covers P to the block's end. When that is less than a word, the
    // test of the first word at P depends on bytes past the block: no certain outcome.
    if (m.s.patterns && b.gross - m.head < 4 && (b.source == Source::Heap || (b.source == Source::Pool && !stayed)))
        return false;
    switch (b.source) {
    case Source::Large:
        text = twice; // remembered when it was unmapped
        return true;
    case Source::PageGuard:
        text = tagTwice; // never filled; the used tag tells
        return m.UT != 0;
    case Source::Heap:
        text = m.s.patterns ? twice : tagTwice;
        return m.s.patterns || m.UT != 0;
    case Source::Pool:
        if (stayed) { // neither filled nor linked into its pool
            text = tagTwice;
            return m.UT != 0;
        }
        // The free-list link replaces the block's first word (its used tag, if any).
        text = m.s.patterns ? twice : "memory.dll: trying to free non DLL allocated memory " + p;
        return m.s.patterns || m.UT != 0;
    case Source::Plain:
        break;
    }
    return false;
}

// Releases b on `thread`. With `guardOffset` not negative, tail-guard byte `guardOffset`
// is first changed to `guardByte`. With `twice`, the main thread releases the block again
// right after, before anything could reuse its memory, when the rules can catch that.
void release(const Block& b, int thread, bool twice = false, int guardOffset = -1, int guardByte = -1) {
    checkSignature(b);
    if (b.source != Source::Plain)
        checkTailGuard(b);
    std::vector<std::string> expected;
    if (guardOffset >= 0) {
        b.user[b.requested + static_cast<std::uint32_t>(guardOffset)] = static_cast<unsigned char>(guardByte);
        if (b.source != Source::PageGuard)
            expected.push_back(format("Quorrick.dll: tailguard: block tail corruption detected: actual block "
                                      "size %d at ",
                                      static_cast<int>(b.gross)) +
                               pointerText(reinterpret_cast<std::uintptr_t>(blockStart(b))));
    }
    const bool stayed = b.source == Source::Pool && thread != 0;
    if (stayed)
        expected.push_back(format("Quorrick.dll: thread %d is deallocating main thread memory", second_thread->id()));
    std::string second;
    const bool again = twice && secondReleaseReport(b, stayed, second);
    note("release %p (gross %u, source %d) on thread %d%s%s", static_cast<void*>(b.user), b.gross,
         static_cast<int>(b.source), thread, again ? ", twice" : "", guardOffset >= 0 ? ", tail guard changed" : "");
    freeOn(thread, b.user);
    if (again) {
        qj::failure_flag.store(false); // a report of the first release must not end the test
        qj::qj_free(b.user);
        expected.push_back(second);
        // A heap block's memory belongs to the runtime heap once released. Whether its
        // free() keeps the fill and the used tag or writes its own links over them (joining
        // the block with a free neighbour does) follows the runtime heap's state, which the
        // model does not follow: the second release is then refused as not ours. Either
        // way it is caught, once, and charges nothing (the counters are checked on).
        if (b.source == Source::Heap && lastReportIs(notOursReport(b)))
            expected.back() = notOursReport(b);
    }
    expectReports(expected, again ? "release and second release" : "release");
    if (b.source == Source::Plain) {
        unhold(b);
        return;
    }
    if (b.source == Source::PageGuard) {
        // Marked released and nothing else: the pages stay, the charges stay, no fill.
        if (m.UT != 0)
            expectEqual(load32(blockStart(b)), kUsedTagReleased, "used tag of a released page-guard block");
        if (guardOffset >= 0)
            b.user[b.requested + static_cast<std::uint32_t>(guardOffset)] = 0x99;
        checkSignature(b);
        m.retained.push_back(b);
        return;
    }
    unchargeRelease(b);
    if (stayed) {
        m.retained.push_back(b); // its chunk stays taken in its pool until the pools go
        return;
    }
    if (b.source == Source::Pool)
        --m.poolLive[b.poolClass];
    unhold(b);
}

void opRelease(Input& in, int thread, bool twice) {
    if (m.live.empty())
        return;
    const Block b = takeLive(in);
    release(b, thread, twice);
}

void opSize(Input& in) {
    expectEqual(qj::getSizeOfAllocation(nullptr), 0, "size of null");
    if (m.live.empty())
        return;
    const Block& b = m.live[in.bytes(2) % m.live.size()];
    const std::int32_t expected =
        m.s.memoryDll ? static_cast<std::int32_t>(b.requested + m.GL + 2 * m.TG) : 0;
    expectEqual(qj::getSizeOfAllocation(b.user), expected, "size of a live block");
}

std::vector<std::string> name_vocabulary;

const std::string& pickName(Input& in) { return name_vocabulary[in.byte() % name_vocabulary.size()]; }

void opAddMemoryName(Input& in) {
    const std::string& name = pickName(in);
    std::int32_t expected = -1;
    if (m.nameCount == 0) {
        m.names[0] = "qj7";
        m.nameCount = 1;
    }
    for (std::int32_t i = 1; i < m.nameCount && expected < 0; ++i)
        if (sameIgnoringCase(m.names[i], name))
            expected = i;
    if (expected < 0) {
        if (m.nameCount >= 16) {
            expected = 0; // every record in use: the default name
        } else {
            m.names[m.nameCount] = name.substr(0, 63);
            expected = m.nameCount++;
        }
    }
    expectEqual(qj::addMemoryName(name.c_str()), expected, "addMemoryName");
}

std::array<std::int32_t, kCells> trace_cells;
std::array<std::int32_t, kCells> resource_cells;

void opStartTrace(Input& in, int thread) {
    const int c = static_cast<int>(in.byte() % kCells);
    const std::string& name = pickName(in);
    if (m.s.traceIds && m.stack.size() < kTraceStackSlots) {
        if (m.traceCells[c] == -1)
            m.traceCells[c] = findOrAddRecord(m.traces, name);
        m.stack.emplace_back(m.traceCells[c], thread);
    }
    std::int32_t& cell = trace_cells[c];
    if (thread == 0)
        qj::startMemoryTrace(cell, name.c_str());
    else
        second_thread->run([&cell, &name] { qj::startMemoryTrace(cell, name.c_str()); });
    expectEqual(trace_cells[c], m.traceCells[c], "trace cell");
}

void opEndTrace(Input& in, int thread) {
    const std::uint32_t pick = in.byte();
    std::int32_t id = pick < 200 ? m.traceCells[pick % kCells] : static_cast<std::int32_t>(pick % 8) - 1;
    if (m.s.traceIds && !m.stack.empty() && m.stack.back().first == id && m.stack.back().second == thread)
        m.stack.pop_back();
    if (thread == 0)
        qj::endMemoryTrace(id);
    else
        second_thread->run([id] { qj::endMemoryTrace(id); });
}

void opResource(Input& in, bool acquire) {
    static const std::int32_t kSizes[8] = {0, 1, 100, -5, 4096, 1 << 30, INT32_MAX, INT32_MIN};
    const int c = static_cast<int>(in.byte() % kCells);
    const std::string& name = pickName(in);
    const std::uint32_t pick = in.byte();
    const std::int32_t size = pick < 64 ? kSizes[pick % 8] : static_cast<std::int32_t>(in.bytes(2));
    if (m.resourceCells[c] == -1)
        m.resourceCells[c] = findOrAddRecord(m.resources, name);
    Stats& st = m.resources[m.resourceCells[c]].stats;
    if (acquire) {
        st.add(size);
        qj::resourceTraceAllocate(resource_cells[c], name.c_str(), size);
    } else {
        st.remove(size);
        qj::resourceTraceFree(resource_cells[c], name.c_str(), size);
    }
    expectEqual(resource_cells[c], m.resourceCells[c], "resource cell");
}

void opStatus(bool toFile) {
    if (!toFile) {
        checkStatus();
        return;
    }
    const std::string path = freshWorkFile("status.txt");
    expectText(qj::getStatus(path.c_str()), "", "status text after writing the file");
    bool exists = false;
    const std::string text = readFile(path, exists);
    expect(exists, "status file written");
    expectedStatus().check(text, "status file");
}

void opTraceReport(bool toFile) {
    if (!toFile) {
        checkTraceReport();
        return;
    }
    const std::string path = freshWorkFile("traces.txt");
    qj::memoryTraceReportToFile(path.c_str());
    bool exists = false;
    const std::string text = readFile(path, exists);
    expectEqual(exists, m.s.traceIds, "trace report file written exactly with the switch on");
    if (exists) {
        ExpectedText e;
        addReport(e, m.traces, "no traces found");
        e.check(text, "trace report file");
    }
}

void opHistogram(Input& in) {
    switch (in.byte() % 3) {
    case 0: {
        const std::string path = freshWorkFile("histogram.txt");
        qj::histogramDumpToFile(path.c_str());
        checkHistogramFile(path);
        break;
    }
    case 1:
        qj::histogramClearPeaks();
        std::fill(m.histPeak.begin(), m.histPeak.end(), 0u);
        break;
    default:
        qj::histogramClearCurrent();
        std::fill(m.histCurrent.begin(), m.histCurrent.end(), 0u);
        break;
    }
}

void opDump(Input& in, bool active) {
    const std::string path = freshWorkFile("allocations.txt");
    const std::uint32_t pick = in.byte();
    const std::int32_t filter = pick < 128 ? -1 : pick < 160 ? -2 : static_cast<std::int32_t>(pick % 6);
    const char* answer = active ? qj::dump_active_allocations_to_file(path.c_str())
                                : qj::dump_allocations_to_file(path.c_str(), filter);
    if (!m.s.callstack) {
        expectText(answer, "can't dump allocations: callstack information not available.", "dump, tracking off");
        bool exists = false;
        readFile(path, exists);
        expect(!exists, "no dump file with tracking off");
        return;
    }
    expectText(answer, "allocation and callstack information written", "dump answer");
    if (active)
        checkSiteReport(path, false, -1);
    else
        checkSiteReport(path, filter < 0, filter);
}

void opMisc(Input& in) {
    switch (in.byte() % 5) {
    case 0: {
        char text[64];
        std::memset(text, 'x', sizeof text);
        qj::get_callstack_debug_str(text, static_cast<std::int32_t>(in.byte()), -1);
        expect(std::memcmp(text, "Only available in DEBUG builds", 31) == 0 && text[31] == 'x',
               "call-stack debug text");
        break;
    }
    case 1:
        qj::memory_update_modules(nullptr);
        break;
    case 2:
        qj::nextVisualFrame();
        break;
    case 3:
        qj::nextPhysicFrame();
        break;
    default: {
        const std::uint32_t limit = in.bytes(4);
        qj::set_max_alloc_size(limit);
        expectEqual(qj::get_max_alloc_size(), limit, "size limit");
        qj::reset_max_alloc_size();
        expectEqual(qj::get_max_alloc_size(), 16777216u, "size limit after reset");
        break;
    }
    }
}

void opClearSites() {
    qj::set_all_allocations_to_zero();
    if (m.s.callstack)
        for (Site& s : m.sites) {
            s.current = 0;
            s.currentSize = 0;
        }
}

void opTraceReset() {
    qj::memoryTraceReset();
    if (m.s.traceIds && m.s.callstack)
        for (Site& s : m.sites)
            if (s.exists && s.traceId >= 0 && s.traceId < static_cast<std::int32_t>(m.traces.size())) {
                s.peakSize = 0;
                s.peakNumAllocs = 0;
                s.current = 0;
                s.currentSize = 0;
            }
}

// Pointers that are no block: the two bad values, and pointers outside every block.
void opForeignPointer(Input& in) {
    if (!m.s.memoryDll)
        return;
    const std::uintptr_t pointers[4] = {0xDDDDDDDDu, 0xCDCDCDCDu, 16, UINTPTR_MAX & ~std::uintptr_t{0xFFF}};
    const std::size_t which = in.byte() % 4;
    const std::uintptr_t p = pointers[which];
    qj::qj_free(reinterpret_cast<void*>(p));
    expectReports({which < 2 ? "memory.dll: free() called using a bad memory ptr " + pointerText(p)
                             : "memory.dll: free() ptr outside range of memoryDLL allocations, ptr:" + pointerText(p)},
                  "foreign pointer");
}

// A pointer into the middle of a live block, between blocks of this input: caught by the
// used tag, which lies in the block's own (signed) user area there.
void opInteriorPointer(Input& in) {
    if (!m.s.memoryDll || m.UT == 0 || m.live.empty())
        return;
    const Block& b = m.live[in.bytes(2) % m.live.size()];
    if (b.requested < m.head + 8)
        return;
    const std::uint32_t offset = m.head + in.bytes(2) % (b.requested - m.head - 4);
    const auto p = reinterpret_cast<std::uintptr_t>(b.user) + offset;
    if (p > m.high || (p & 0xFFF) == d::large_user_offset)
        return;
    qj::qj_free(reinterpret_cast<void*>(p));
    expectReports({"memory.dll: trying to free non DLL allocated memory " + pointerText(p)}, "interior pointer");
    checkSignature(b);
}

void opTailGuard(Input& in) {
    if (!m.s.memoryDll || m.GL == 0 || m.live.empty())
        return;
    const Block b = takeLive(in);
    const int offset = static_cast<int>(in.byte() % m.GL);
    int value = static_cast<int>(in.byte());
    if (value == 0x99)
        value = 0x98;
    release(b, static_cast<int>(in.byte() & 1u), false, offset, value);
}

void opTooLarge(Input& in) {
    if (!m.s.memoryDll)
        return;
    static const std::uint32_t kSizes[4] = {0xFFFFFFFFu, 0x80000000u, 0x40000000u, 0x3FFFFFFFu};
    const std::uint32_t size = kSizes[in.byte() % 4];
    if (std::uint64_t{size} + m.overhead < (1u << 30))
        return;
    qj::set_max_alloc_size(0xFFFFFFFFu); // no sanity line on the debugger output
    void* p = qj::qj_malloc(size, 0);
    qj::reset_max_alloc_size();
    expect(p == nullptr, "a request too large for the header is refused");
    expectReports({format("Quorrick.dll: all alloc attempts failed for size %d", static_cast<std::int32_t>(size))},
                  "request too large");
}

void runOperation(Input& in) {
    const std::uint32_t op = in.byte() % 40;
    note("operation %u", op);
    switch (op) {
    case 0: case 1: case 2: case 3: case 4: case 5:
        opAllocate(in, 0);
        break;
    case 6: case 7:
        opAllocate(in, 1);
        break;
    case 8: case 9: case 10: case 11:
        opRelease(in, 0, false);
        break;
    case 12:
        opRelease(in, 1, false);
        break;
    case 13:
        opRelease(in, static_cast<int>(in.byte() & 1u), true);
        break;
    case 14:
        opSize(in);
        break;
    case 15:
        opAddMemoryName(in);
        break;
    case 16: case 17:
        opStartTrace(in, static_cast<int>(op - 16));
        break;
    case 18: case 19:
        opEndTrace(in, static_cast<int>(op - 18));
        break;
    case 20: case 21:
        opResource(in, op == 20);
        break;
    case 22: case 23:
        opStatus(op == 23);
        break;
    case 24: case 25:
        opTraceReport(op == 25);
        break;
    case 26: case 27:
        opHistogram(in);
        break;
    case 28: case 29:
        opDump(in, op == 29);
        break;
    case 30: case 31:
        opMisc(in);
        break;
    case 32:
        opClearSites();
        break;
    case 33:
        opTraceReset();
        break;
    case 34:
        opForeignPointer(in);
        break;
    case 35:
        opInteriorPointer(in);
        break;
    case 36:
        opTailGuard(in);
        break;
    case 37:
        opTooLarge(in);
        break;
    default:
        if (!m.live.empty() && m.s.memoryDll)
            checkLayout(m.live[in.bytes(2) % m.live.size()], false);
        break;
    }
    expectReports({}, "operation");
    checkCounters("counters after an operation");
}

// Releases what is left, checks the end state and tears the library down as detach does.
void finish() {
    while (!m.live.empty()) {
        const Block b = m.live.back();
        m.live.pop_back();
        release(b, 0);
    }
    checkCounters("counters at the end");
    checkStatus();
    checkTraceReport();
    const d::Settings& set = d::settings;
    if (set.use_histogram) {
        const std::string path = freshWorkFile("histogram_at_exit.txt");
        d::histogramWriteFile(path.c_str());
        checkHistogramFile(path);
    }
    if (set.use_pools)
        qj::ChunkPools::shutdown();
    if (set.use_callstack) {
        const std::string path = freshWorkFile("leaks.txt");
        d::allocInfoFinalReport(set.has_leakreport ? set.leakreport : nullptr, set.include_all);
        if (set.has_leakreport)
            checkSiteReport(path, set.include_all, -1);
        d::allocInfoTableInit(0); // back to no table, as before the first attach
    }
    ExpectedText resources;
    addReport(resources, m.resources, "no resources found");
    resources.check(d::resourceReport(), "resource report at detach");
    // The process would end here and take the pages of the page-guard blocks with it.
    for (const Block& b : m.retained)
        if (b.source == Source::PageGuard)
            qj::platform::pagesUnmap(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(blockStart(b)) &
                                                              ~std::uintptr_t{kPageSize - 1}),
                                     2 * kPageSize);
    d::histogramResetForTesting();
    d::resetTraceStateForTesting();
    expectReports({}, "teardown");
    m = Model(); // nothing the input allocated outlives it
}

void buildVocabulary() {
    if (!name_vocabulary.empty())
        return;
    buildTables();
    name_vocabulary = {"terrain", "Terrain", "TERRAIN", "sound", "Sound", "qj7", "QJ7", "physics",
                       "render", "a", "A", "", "nameNOTset", "x y", "ui", "net"};
    name_vocabulary.push_back(std::string(63, 'm'));
    name_vocabulary.push_back(std::string(64, 'm'));
    name_vocabulary.push_back(std::string(256, 't'));
    name_vocabulary.push_back(std::string(257, 'T'));
    name_vocabulary.push_back(std::string(300, 'q'));
    for (int i = 0; i < 11; ++i)
        name_vocabulary.push_back("name" + std::to_string(i));
}

void runInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const Switches s = decodeSwitches(in);
    note("input: dll %d histogram %d pools %d (%d per memoryChunk) callstack %d traces %d usedtag %d patterns %d "
         "tailguard %d/%d valloc %d tags %d",
         s.memoryDll, s.histogram, s.pools, s.chunksPerPool, s.callstack, s.traceIds, s.usedTag, s.patterns,
         s.tailguards, s.guardLength, s.valloc, s.tags);
    attach(s);
    resetModel(s);
    trace_cells.fill(-1);
    resource_cells.fill(-1);
    checkCounters("counters after attach");
    for (int steps = 0; !in.done() && steps < 2000; ++steps)
        runOperation(in);
    finish();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUpProcess();
    buildVocabulary();
    main_thread->run([data, size] { runInput(data, size); });
    return 0;
}
