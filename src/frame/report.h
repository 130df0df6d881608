// The single error report and the sticky failure flag.
#ifndef QJ_FRAME_REPORT_H
#define QJ_FRAME_REPORT_H

#include "frame/hints.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace velt::zur::memory {

namespace detail {
// The one byte the allocation and release paths test on entry. Its low bits say why the
// guarded paths do not run, zero while they do; they mirror a switch and two flags, each
// of which keeps its own meaning for everyone else: use_memoryDll 0 (set while attaching),
// failure_flag (below), and `detached` (frame/frame.h). The bits above them hold the
// block layout's shape code (alloc/block.h), set while attaching. Zero as a whole: the
// guarded paths run, with the default settings' layout.
enum EntryState : std::uint8_t {
    kOffPassThrough = 1,
    kOffFailed = 2,
    kOffDetached = 4,
    kOffMask = 7,
    kShapeShift = 3
};
extern QJ_HIDDEN std::atomic<std::uint8_t> entry_state;

// Sets the pass-through bit and the shape code; called while attaching.
void setEntryShape(bool passThrough, unsigned shape);
} // namespace detail

// A boolean with the atomic's load and store, whose every store also sets or clears
// kOffFailed in entry_state.
class FailureFlag {
public:
    bool load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return flag_.load(order);
    }
    void store(bool value, std::memory_order order = std::memory_order_seq_cst) noexcept {
        flag_.store(value, order);
        if (value)
            detail::entry_state.fetch_or(detail::kOffFailed, order);
        else
            detail::entry_state.fetch_and(static_cast<std::uint8_t>(~detail::kOffFailed), order);
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
// An address goes to "0x%lx" as a ReportAddress (reportAddress): the whole pointer. Where
// long is narrower than a pointer (64-bit Windows) that is an unsigned long long, and
// reportFatal reads each "%lx" of the format as "%llx".
void reportFatal(const char* format, ...) QJ_PRINTF_FORMAT(1, 2);
using ReportAddress = std::conditional_t<(sizeof(unsigned long) < sizeof(std::uintptr_t)),
                                         unsigned long long, unsigned long>;
inline ReportAddress reportAddress(std::uintptr_t at) { return static_cast<ReportAddress>(at); }

inline bool failed() { return failure_flag.load(std::memory_order_relaxed); }

// The user pointer a fatal report is about, set by a maker that names a block other than
// the one the program just passed in (the quarantine's report of a write after release),
// for a callback that tells more about it; 0 otherwise.
extern QJ_HIDDEN std::atomic<std::uintptr_t> report_subject;
} // namespace detail

} // namespace velt::zur::memory

#endif // QJ_FRAME_REPORT_H
