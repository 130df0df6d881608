// The single error report and the sticky failure flag.
#ifndef QJ_FRAME_REPORT_H
#define QJ_FRAME_REPORT_H

#include "frame/hints.h"

#include <atomic>

namespace velt::zur::memory {

// Set by the first fatal report; never cleared. After it the allocator stops guarding.
extern QJ_HIDDEN std::atomic<bool> failure_flag;

// Sets failure_flag when the error is fatal, then calls the error callback.
void reportError(bool recoverable, const char* message);

namespace detail {
// Formats a message (snprintf into a buffer of its own) and makes a fatal report.
void reportFatal(const char* format, ...) QJ_PRINTF_FORMAT(1, 2);

inline bool failed() { return failure_flag.load(std::memory_order_relaxed); }
} // namespace detail

} // namespace velt::zur::memory

#endif // QJ_FRAME_REPORT_H
