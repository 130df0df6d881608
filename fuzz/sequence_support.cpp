// The sequence fuzzer's harness: failures and notes, text helpers, the error callback's
// reports, the two task threads, the work directory and the two allocation sites.
#include "sequence_support.h"

#include "frame/report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace seqfuzz {

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

void expectText(const std::string& actual, const std::string& expected, const char* what) {
    if (actual != expected)
        die("%s:\n--- got ---\n%s\n--- expected ---\n%s", what, actual.c_str(), expected.c_str());
}

std::string format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string pointerText(std::uintptr_t p) { return format("0x%llx", static_cast<unsigned long long>(p)); }

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

} // namespace seqfuzz
