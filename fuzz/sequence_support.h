// The sequence fuzzer's harness, shared by the model, the operations and the driver:
// failures and notes, text helpers, expected texts, the input reader, the error
// callback's reports, the two task threads and the work directory.
#ifndef QJ_FUZZ_SEQUENCE_SUPPORT_H
#define QJ_FUZZ_SEQUENCE_SUPPORT_H

#include "Quorrick.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velt::zur::memory::detail {}

namespace seqfuzz {

namespace qj = velt::zur::memory;
namespace d = velt::zur::memory::detail;

// --- Failures and notes -------------------------------------------------------------------

// Ends the run with "sequence_fuzzer: <text>" on standard error.
[[noreturn]] void die(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// With QJ_SEQUENCE_VERBOSE set, describes an operation on standard error.
void note(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void expect(bool ok, const char* what);
template <class T> void expectEqual(T actual, T expected, const char* what) {
    if (!(actual == expected))
        die("%s: got %lld, expected %lld", what, static_cast<long long>(actual),
            static_cast<long long>(expected));
}

void expectText(const std::string& actual, const std::string& expected, const char* what);

// --- Text helpers -------------------------------------------------------------------------

std::string format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string pointerText(std::uintptr_t p);
std::uint32_t load32(const void* at);
// The 32-bit value a 64-bit count has in the library's 32-bit counters.
std::int32_t wrap(std::int64_t v);
bool sameIgnoringCase(const std::string& a, const std::string& b);
// Decimal text with "." between groups of three digits.
std::string grouped(std::int32_t value);
std::string readFile(const std::string& path, bool& exists);
// The lines of `text`, each with its "\n" (the last one may have none).
std::vector<std::string> splitLines(const std::string& text);

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

// The bytes of one input, read from the front; past the end every byte is 0.
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

// The error callback: keeps every report, prefixed "(recoverable) " when it is.
void recordReport(bool recoverable, const char* message);
bool lastReportIs(const std::string& text);
// The reports since the last call must be `expected`; clears them and the failure flag.
void expectReports(const std::vector<std::string>& expected, const char* what);

// --- The threads and the work directory ---------------------------------------------------

std::int32_t osThreadId();

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
#if defined(__GNUC__) && !(defined(_WIN32) && defined(__x86_64__))
        // This frame never returns, so its saved frame pointer can end the chain here.
        // Not on x86-64 Windows: its frame pointer does not point at the saved one (the
        // store would overwrite a saved register), and the library's capture follows the
        // unwind tables there, through this frame up to the thread's start, the same for
        // every task.
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
extern TaskThread* main_thread;
extern TaskThread* second_thread;

// Once per process: the error callback, the two threads and the work directory.
void setUpProcess();
std::string workFile(const char* name);
// A work file's path, the file removed.
std::string freshWorkFile(const char* name);

// The two allocation sites: the main thread's and the second thread's.
void* allocateBlock(std::uint32_t size, std::int32_t name);
void* secondThreadAllocate(std::uint32_t size, std::int32_t name);

} // namespace seqfuzz

#endif // QJ_FUZZ_SEQUENCE_SUPPORT_H
