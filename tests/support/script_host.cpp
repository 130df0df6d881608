// A small host program that the tests drive: it loads the library the way a real host
// does (linked against it, settings read from its working directory) and runs a script
// of commands, one per line, printing what it sees on standard output.
//
// Blocks are named; "ptr NAME 0x..." reports each user pointer so that a test can build
// the exact texts it expects. Commands prefixed with "t " run on a second thread.
#include "Quorrick.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include "debug_echo.h"

#include <windows.h>
#else
#include <csignal>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace qj = velt::zur::memory;

namespace {

std::map<std::string, void*> blocks;
std::map<std::string, std::vector<void*>> series; // the blocks of each mallocn
std::map<std::string, std::int32_t> cells;
std::vector<std::uintptr_t> guarded; // every non-null pointer qj_malloc handed out
std::mutex output_mutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(output_mutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string hex(std::uintptr_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

void recordingCallback(bool recoverable, const char* message) {
    say(std::string("ERR ") + (recoverable ? "1 " : "0 ") + message);
}

std::int32_t& cell(const std::string& name) {
    auto it = cells.find(name);
    if (it == cells.end())
        it = cells.emplace(name, -1).first;
    return it->second;
}

// The lowest page-aligned address strictly between `low` and `high` (plus 0x800) that no
// mapping covers, or 0.
std::uintptr_t unmappedBetween(std::uintptr_t low, std::uintptr_t high) {
#if defined(_WIN32)
    std::uintptr_t at = low;
    MEMORY_BASIC_INFORMATION info;
    while (at < high && ::VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == sizeof info) {
        const auto base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
        if (info.State == MEM_FREE && base > low && base + 0x1000 <= high)
            return base + 0x800;
        at = base + info.RegionSize;
    }
    return 0;
#else
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return 0;
    std::uintptr_t previousEnd = 0, found = 0;
    unsigned long long start = 0, end = 0;
    char line[512];
    while (found == 0 && std::fgets(line, sizeof line, maps) != nullptr) {
        if (std::sscanf(line, "%llx-%llx", &start, &end) != 2)
            continue;
        if (previousEnd > low && previousEnd < start && previousEnd + 0x1000 <= high)
            found = previousEnd + 0x800;
        previousEnd = static_cast<std::uintptr_t>(end);
    }
    std::fclose(maps);
    return found;
#endif
}

bool readable(std::uintptr_t at) {
#if defined(_WIN32)
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) != sizeof info)
        return false;
    return info.State == MEM_COMMIT && (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0;
#else
    std::uint32_t word = 0;
    iovec local{&word, sizeof word};
    iovec remote{reinterpret_cast<void*>(at), sizeof word};
    return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof word);
#endif
}

unsigned char* at(const std::string& name, long offset) {
    return static_cast<unsigned char*>(blocks.at(name)) + offset;
}

// Read in text mode, like the library writes its reports: on Windows the line ends of
// the file become "\n" again.
std::string readFile(const char* path) {
    std::string text;
    if (std::FILE* f = std::fopen(path, "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

#if !defined(_WIN32)
void onFault(int, siginfo_t* info, void*) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "fault 0x%llx\n",
                          static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
    (void)!::write(1, text, static_cast<std::size_t>(n));
    ::_exit(3);
}

void onFaultPlain(int signal) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "plain fault %d\n", signal);
    (void)!::write(1, text, static_cast<std::size_t>(n));
    ::_exit(4);
}
#else
LONG WINAPI onFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::printf("fault 0x%llx\n",
                    static_cast<unsigned long long>(info->ExceptionRecord->ExceptionInformation[1]));
        std::fflush(stdout);
        ::ExitProcess(3);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
#endif

void run(const std::string& line);

// A second thread that runs commands handed to it, one at a time.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    void runAndWait(const std::string& line) {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = line;
        pending_ = true;
        ready_.notify_all();
        done_.wait(lock, [this] { return !pending_; });
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return pending_ || stop_; });
            if (stop_)
                return;
            std::string job = job_;
            lock.unlock();
            run(job);
            lock.lock();
            pending_ = false;
            done_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_, done_;
    std::string job_;
    bool pending_ = false;
    bool stop_ = false;
    std::thread thread_;
};

Worker* worker = nullptr;

void run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd) || cmd[0] == '#')
        return;
    if (cmd == "t") {
        std::string rest;
        std::getline(in, rest);
        if (worker == nullptr)
            worker = new Worker;
        worker->runAndWait(rest);
    } else if (cmd == "cb") {
        qj::register_err_callback(&recordingCallback);
    } else if (cmd == "cbdefault") {
        qj::register_err_callback(nullptr);
    } else if (cmd == "malloc") {
        std::string name;
        unsigned long long size = 0;
        long memoryName = 0;
        in >> name >> size >> memoryName;
        void* p = qj::qj_malloc(static_cast<std::uint32_t>(size), static_cast<std::int32_t>(memoryName));
        blocks[name] = p;
        if (p != nullptr)
            guarded.push_back(reinterpret_cast<std::uintptr_t>(p));
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(p)));
    } else if (cmd == "mallocn") { // COUNT blocks of SIZE; NAME is the first, NAME.last the last
        std::string name;
        unsigned long long size = 0;
        long count = 0;
        in >> name >> size >> count;
        std::vector<void*>& all = series[name];
        for (long i = 0; i < count; ++i) {
            void* p = qj::qj_malloc(static_cast<std::uint32_t>(size), 0);
            all.push_back(p);
            if (i == 0 || i == count - 1) {
                const std::string key = i == 0 ? name : name + ".last";
                blocks[key] = p;
                say("ptr " + key + " " + hex(reinterpret_cast<std::uintptr_t>(p)));
            }
            if (p != nullptr)
                guarded.push_back(reinterpret_cast<std::uintptr_t>(p));
        }
    } else if (cmd == "freen") { // every block of a mallocn series, in the order made
        std::string name;
        in >> name;
        for (void* p : series.at(name))
            qj::qj_free(p);
    } else if (cmd == "hole") { // a pointer into unmapped address space between two blocks
        std::string a, b;
        in >> a >> b;
        const auto x = reinterpret_cast<std::uintptr_t>(blocks.at(a));
        const auto y = reinterpret_cast<std::uintptr_t>(blocks.at(b));
        const std::uintptr_t hole = unmappedBetween(std::min(x, y), std::max(x, y));
        blocks["hole"] = reinterpret_cast<void*>(hole);
        say("ptr hole " + hex(hole));
    } else if (cmd == "readable") { // whether the word at a block's pointer can be read
        std::string name;
        in >> name;
        say("readable " + name + " " + (readable(reinterpret_cast<std::uintptr_t>(blocks.at(name))) ? "1" : "0"));
    } else if (cmd == "freeedge") { // one byte below the lowest or above the highest block
        std::string side;
        in >> side;
        std::uintptr_t p = 0;
        if (!guarded.empty())
            p = side == "below" ? *std::min_element(guarded.begin(), guarded.end()) - 1
                                : *std::max_element(guarded.begin(), guarded.end()) + 1;
        say("ptr edge " + hex(p));
        qj::qj_free(reinterpret_cast<void*>(p));
    } else if (cmd == "runtime") { // a zeroed block of the runtime heap, kept by name
        std::string name;
        unsigned long long size = 0;
        in >> name >> size;
        void* p = std::calloc(1, static_cast<std::size_t>(size));
        blocks[name] = p;
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(p)));
    } else if (cmd == "noaccess") { // a pointer into a fresh inaccessible page
        std::string name;
        in >> name;
#if defined(_WIN32)
        void* page = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_NOACCESS);
#else
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED)
            page = nullptr;
#endif
        blocks[name] = page != nullptr ? static_cast<unsigned char*>(page) + 64 : nullptr;
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(blocks[name])));
    } else if (cmd == "reserve") { // whether SIZE bytes of address space are free in one piece
        unsigned long long size = 0;
        in >> size;
#if defined(_WIN32)
        void* space = ::VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE, PAGE_NOACCESS);
        if (space != nullptr)
            ::VirtualFree(space, 0, MEM_RELEASE);
#else
        void* space = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (space != MAP_FAILED)
            ::munmap(space, static_cast<std::size_t>(size));
        else
            space = nullptr;
#endif
        say(std::string("reserve ") + (space != nullptr ? "ok" : "failed"));
    } else if (cmd == "sum") { // FNV-1a of the bytes from one block offset to another
        std::string label, from, to;
        long fromOffset = 0, toOffset = 0;
        in >> label >> from >> fromOffset >> to >> toOffset;
        const unsigned char* begin = at(from, fromOffset);
        const unsigned char* end = at(to, toOffset);
        if (end < begin || end - begin > (64L << 20)) {
            say("sum " + label + " invalid");
            return;
        }
        std::uint32_t hash = 2166136261u;
        for (const unsigned char* b = begin; b < end; ++b)
            hash = (hash ^ *b) * 16777619u;
        say("sum " + label + " " + std::to_string(end - begin) + " " + hex(hash));
    } else if (cmd == "mkdir") { // a directory where the library expects to write a file
        std::string path;
        in >> path;
#if defined(_WIN32)
        ::CreateDirectoryA(path.c_str(), nullptr);
#else
        ::mkdir(path.c_str(), 0755);
#endif
    } else if (cmd == "free") {
        std::string name;
        in >> name;
        qj::qj_free(blocks.at(name));
    } else if (cmd == "racefree") { // THREADS threads released at once release one block
        std::string name;
        int count = 0;
        in >> name >> count;
        void* p = blocks.at(name);
        std::atomic<int> waiting{count};
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&] {
                waiting.fetch_sub(1);
                while (waiting.load() > 0) {
                }
                qj::qj_free(p);
            });
        for (std::thread& t : threads)
            t.join();
    } else if (cmd == "freeaddr") {
        std::string text;
        in >> text;
        qj::qj_free(reinterpret_cast<void*>(static_cast<std::uintptr_t>(std::stoull(text, nullptr, 0))));
    } else if (cmd == "freeoffset") { // release an interior or shifted pointer
        std::string name;
        long offset = 0;
        in >> name >> offset;
        qj::qj_free(at(name, offset));
    } else if (cmd == "freeinterior") { // a pointer inside the lower of two blocks
        std::string a, b;
        long offset = 0;
        in >> a >> b >> offset;
        unsigned char* low = std::min(at(a, 0), at(b, 0));
        say("ptr interior " + hex(reinterpret_cast<std::uintptr_t>(low + offset)));
        qj::qj_free(low + offset);
    } else if (cmd == "freestack") {
        char local[64] = {};
        say("ptr stack " + hex(reinterpret_cast<std::uintptr_t>(local + 16)));
        qj::qj_free(local + 16);
    } else if (cmd == "freeruntime") { // release a block of the runtime heap
        void* p = std::malloc(64);
        say("ptr runtime " + hex(reinterpret_cast<std::uintptr_t>(p)));
        qj::qj_free(p);
    } else if (cmd == "rawfree") { // hand a block back to the runtime heap directly
        std::string name;
        in >> name;
        std::free(blocks.at(name));
    } else if (cmd == "tid") {
#if defined(_WIN32)
        say("tid " + std::to_string(static_cast<long>(::GetCurrentThreadId())));
#else
        say("tid " + std::to_string(static_cast<long>(::gettid())));
#endif
    } else if (cmd == "sizeaddr") {
        std::string text;
        in >> text;
        say("size " + text + " " + std::to_string(qj::getSizeOfAllocation(
            reinterpret_cast<void*>(static_cast<std::uintptr_t>(std::stoull(text, nullptr, 0))))));
    } else if (cmd == "siterecord") { // the record a block's AllocInfo word, BACK bytes below it, names
        std::string name;
        long back = 0;
        in >> name >> back;
        std::uint32_t word = 0;
        std::memcpy(&word, static_cast<const unsigned char*>(blocks.at(name)) - back, sizeof word);
        if (sizeof(void*) != 4 || word == 0) { // a handle: nothing a host can follow
            say("siterecord handle " + std::to_string(word));
            return;
        }
        // On 32-bit targets the word is the record's address: seventeen 32-bit fields.
        static const char* const kFields[17] = {
            "depth", "frames", "hash", "traceId", "peakSize", "peakNumAllocs",
            "currentNumAllocs", "currentTotalSize", "minAllocSize", "maxAllocSize",
            "physicFrameAllocs", "physicFramePeakAllocs", "physicFrame", "visualFrameAllocs",
            "visualFramePeakAllocs", "visualFrame", "next"};
        std::uint32_t fields[17];
        std::memcpy(fields, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(word)), sizeof fields);
        std::string text = "siterecord";
        for (int i = 0; i < 17; ++i) {
            const bool pointer = i == 1 || i == 2 || i == 16;
            text += std::string(" ") + kFields[i] + "=" +
                    (pointer ? hex(fields[i]) : std::to_string(static_cast<std::int32_t>(fields[i])));
        }
        const auto* frames = reinterpret_cast<const std::uint32_t*>(static_cast<std::uintptr_t>(fields[1]));
        text += " frames:";
        for (std::uint32_t i = 0; i < fields[0] && i < 128; ++i)
            text += " " + hex(frames[i]);
        say(text);
    } else if (cmd == "size") {
        std::string name;
        in >> name;
        say("size " + name + " " + std::to_string(qj::getSizeOfAllocation(blocks.at(name))));
    } else if (cmd == "peek") {
        std::string name;
        long offset = 0, length = 0;
        in >> name >> offset >> length;
        std::string text = "peek " + name + " " + std::to_string(offset) + ":";
        for (long i = 0; i < length; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", at(name, offset)[i]);
            text += byte;
        }
        say(text);
    } else if (cmd == "poke") {
        std::string name;
        long offset = 0;
        in >> name >> offset;
        unsigned value;
        unsigned char* p = at(name, offset);
        while (in >> std::hex >> value)
            *p++ = static_cast<unsigned char>(value);
    } else if (cmd == "read") { // a single read that may fault
        std::string name;
        long offset = 0;
        in >> name >> offset;
        say("read " + std::to_string(*static_cast<volatile unsigned char*>(at(name, offset))));
    } else if (cmd == "counters") {
        // Formatted without the runtime heap: a test may read the counters between two
        // releases of a block that the heap must not hand to anyone in between.
        char text[128];
        std::snprintf(text, sizeof text, "counters %ld %lld %ld %ld\n",
                      static_cast<long>(qj::get_total_bytes_allocated()),
                      static_cast<long long>(qj::get_accumulated_bytes_allocated()),
                      static_cast<long>(qj::get_total_allocation_call_count()),
                      static_cast<long>(qj::get_accumulated_allocation_call_count()));
        std::lock_guard<std::mutex> lock(output_mutex);
        std::fputs(text, stdout);
        std::fflush(stdout);
    } else if (cmd == "setmax") {
        unsigned long long limit = 0;
        in >> limit;
        qj::set_max_alloc_size(static_cast<std::uint32_t>(limit));
    } else if (cmd == "getmax") {
        say("max " + std::to_string(qj::get_max_alloc_size()));
    } else if (cmd == "resetmax") {
        qj::reset_max_alloc_size();
    } else if (cmd == "catchfaults") {
#if defined(_WIN32)
        ::AddVectoredExceptionHandler(1, &onFault);
#else
        struct sigaction action = {};
        action.sa_sigaction = &onFault;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        sigaction(SIGBUS, &action, nullptr);
#endif
#if !defined(_WIN32)
    } else if (cmd == "catchfaultsplain") { // a handler without SA_SIGINFO, through signal()
        std::signal(SIGSEGV, &onFaultPlain);
        std::signal(SIGBUS, &onFaultPlain);
    } else if (cmd == "ignorefaults") {
        std::signal(SIGSEGV, SIG_IGN);
        std::signal(SIGBUS, SIG_IGN);
    } else if (cmd == "sendsegv") { // a SIGSEGV sent by the process itself, not a fault
        ::raise(SIGSEGV);
        say("survived sendsegv");
    } else if (cmd == "busmap") { // a file mapping's page past the file's end, between two blocks
        std::string name, a, b;
        in >> name >> a >> b;
        const auto x = reinterpret_cast<std::uintptr_t>(blocks.at(a));
        const auto y = reinterpret_cast<std::uintptr_t>(blocks.at(b));
        const std::uintptr_t hole = unmappedBetween(std::min(x, y), std::max(x, y)) & ~std::uintptr_t{0xFFF};
        void* pages = MAP_FAILED;
        const int fd = ::memfd_create("qjtest", 0);
        if (hole != 0 && fd >= 0 && ::ftruncate(fd, 4096) == 0)
            pages = ::mmap(reinterpret_cast<void*>(hole), 2 * 4096, PROT_READ, MAP_SHARED | MAP_FIXED_NOREPLACE, fd, 0);
        if (fd >= 0)
            ::close(fd);
        blocks[name] = pages == MAP_FAILED ? nullptr : static_cast<unsigned char*>(pages) + 4096 + 0x800;
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(blocks[name])));
#endif
    } else if (cmd == "pageafterlower") { // OFFSET into the page after the lower block's
        std::string name, a, b;
        long offset = 0;
        in >> name >> a >> b >> offset;
        const auto low = std::min(reinterpret_cast<std::uintptr_t>(blocks.at(a)),
                                  reinterpret_cast<std::uintptr_t>(blocks.at(b)));
        blocks[name] = reinterpret_cast<void*>((low | 0xFFF) + 1 + static_cast<std::uintptr_t>(offset));
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(blocks[name])));
    } else if (cmd == "ptroffset") { // NEW names the pointer OFFSET bytes from NAME's
        std::string name, base;
        long offset = 0;
        in >> name >> base >> offset;
        blocks[name] = at(base, offset);
        say("ptr " + name + " " + hex(reinterpret_cast<std::uintptr_t>(blocks[name])));
    } else if (cmd == "histcurrent") {
        say("histcurrent " + std::to_string(qj::histogramCurrentUsedMemory()));
    } else if (cmd == "histpeak") {
        say("histpeak " + std::to_string(qj::histogramPeakUsedMemory()));
    } else if (cmd == "histdump") {
        std::string path;
        in >> path;
        qj::histogramDumpToFile(path.c_str());
    } else if (cmd == "histclearpeaks") {
        qj::histogramClearPeaks();
    } else if (cmd == "histclearcurrent") {
        qj::histogramClearCurrent();
    } else if (cmd == "addname") {
        std::string name;
        in >> name;
        say("name " + name + " " + std::to_string(qj::addMemoryName(name.c_str())));
    } else if (cmd == "start") {
        std::string c, name;
        in >> c >> name;
        qj::startMemoryTrace(cell(c), name.c_str());
        say("cell " + c + " " + std::to_string(cell(c)));
    } else if (cmd == "end") {
        std::string c;
        in >> c;
        qj::endMemoryTrace(cell(c));
    } else if (cmd == "endid") {
        long id = 0;
        in >> id;
        qj::endMemoryTrace(static_cast<std::int32_t>(id));
    } else if (cmd == "setcell") {
        std::string c;
        long v = 0;
        in >> c >> v;
        cell(c) = static_cast<std::int32_t>(v);
    } else if (cmd == "visual") {
        qj::nextVisualFrame();
    } else if (cmd == "physic") {
        qj::nextPhysicFrame();
    } else if (cmd == "resalloc" || cmd == "resfree") {
        std::string c, name;
        long size = 0;
        in >> c >> name >> size;
        if (cmd == "resalloc")
            qj::resourceTraceAllocate(cell(c), name.c_str(), static_cast<std::int32_t>(size));
        else
            qj::resourceTraceFree(cell(c), name.c_str(), static_cast<std::int32_t>(size));
        say("cell " + c + " " + std::to_string(cell(c)));
    } else if (cmd == "tracereport") {
        say(std::string("BEGIN\n") + qj::memoryTraceReport() + "\nEND");
    } else if (cmd == "tracereportfile") {
        std::string path;
        in >> path;
        qj::memoryTraceReportToFile(path.c_str());
    } else if (cmd == "status") {
        std::string path;
        in >> path;
        const char* text = qj::getStatus(path.empty() ? nullptr : path.c_str());
        say(std::string("BEGIN\n") + text + "\nEND");
    } else if (cmd == "dumpall") {
        std::string path;
        long id = -1;
        in >> path >> id;
        say(std::string("dump ") + qj::dump_allocations_to_file(path.c_str(), static_cast<std::int32_t>(id)));
    } else if (cmd == "dumpactive") {
        std::string path;
        in >> path;
        say(std::string("dump ") + qj::dump_active_allocations_to_file(path.c_str()));
    } else if (cmd == "churn") { // the frame churn export: PATH COUNT
        std::string path;
        long count = 0;
        in >> path >> count;
        say(std::string("dump ") + qj::dump_frame_churn_to_file(path.c_str(), static_cast<std::int32_t>(count)));
    } else if (cmd == "modules") {
        qj::memory_update_modules(nullptr);
    } else if (cmd == "zero") {
        qj::set_all_allocations_to_zero();
    } else if (cmd == "tracereset") {
        qj::memoryTraceReset();
    } else if (cmd == "debugstr") {
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        qj::get_callstack_debug_str(buffer, 1, 2);
        say(std::string("debugstr ") + buffer + " " + std::to_string(std::strlen(buffer)));
    } else if (cmd == "cat") {
        std::string path;
        in >> path;
        say("BEGIN\n" + readFile(path.c_str()) + "\nEND");
    } else if (cmd == "say") {
        std::string rest;
        std::getline(in, rest);
        say(rest.empty() ? rest : rest.substr(1));
    } else if (cmd == "exit") {
        int code = 0;
        in >> code;
        std::fflush(stdout);
        std::exit(code);
    } else {
        say("unknown command " + cmd);
        std::exit(2);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: script_host SCRIPT\n");
        return 2;
    }
#if defined(_WIN32)
    if (!qjtest::debugEchoActive())
        std::fprintf(stderr, "script_host: the debugger output is not copied to stderr\n");
#endif
    std::string script = readFile(argv[1]);
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        run(line);
    }
    delete worker;
    say("done");
    return 0;
}
