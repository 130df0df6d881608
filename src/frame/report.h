// The single error report and the sticky failure flag.
#ifndef QJ_FRAME_REPORT_H
#define QJ_FRAME_REPORT_H

#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory {

namespace detail {
// Why the guarded paths do not run, as bits; zero while they do. The allocation and release
// paths test this one byte on entry. It mirrors a switch and two flags, each of which keeps
// its own meaning for everyone else: use_memoryDll 0 (set while attaching), failure_flag
// (below), and `detached` (frame/frame.h).
enum GuardedPathsOff : std::uint8_t { kOffPassThrough = 1, kOffFailed = 2, kOffDetached = 4 };
extern QJ_HIDDEN std::atomic<std::uint8_t> guarded_paths_off;
} // namespace detail

// A boolean with the atomic's load and store, whose every store also sets or clears
// kOffFailed in guarded_paths_off.
class FailureFlag {
public:
    bool load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return flag_.load(order);
    }
    void store(bool value, std::memory_order order = std::memory_order_seq_cst) noexcept {
        flag_.store(value, order);
        if (value)
            detail::guarded_paths_off.fetch_or(detail::kOffFailed, order);
        else
            detail::guarded_paths_off.fetch_and(static_cast<std::uint8_t>(~detail::kOffFailed), order);
    }

private:
    std::atomic<bool> flag_{false};
};

// Set by the first fatal report. After it the allocator stops guarding. Only a test
// harness that goes on past a misuse clears it.
extern QJ_HIDDEN FailureFlag failure_flag;

// Sets failure_flag when the error is fatal, then calls the error callback.
void reportError(bool recoverable, const char* message);

namespace detail {
// Formats a message (snprintf into a buffer of its own) and makes a fatal report.
void reportFatal(const char* format, ...) QJ_PRINTF_FORMAT(1, 2);

inline bool failed() { return failure_flag.load(std::memory_order_relaxed); }
} // namespace detail

} // namespace velt::zur::memory

#endif // QJ_FRAME_REPORT_H
