// Error reporting: one callback, one sticky flag.
#include "frame/report.h"

#include "Quorrick.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace velt::zur::memory {

namespace detail {
std::atomic<std::uint8_t> entry_state{0};
std::atomic<std::uintptr_t> report_subject{0};

void setEntryShape(bool passThrough, unsigned shape) {
    std::uint8_t state = entry_state.load(std::memory_order_relaxed);
    std::uint8_t next;
    do {
        next =
            static_cast<std::uint8_t>((state & (kOffMask & ~kOffPassThrough)) |
                                      (passThrough ? kOffPassThrough : 0) | (shape << kShapeShift));
    } while (!entry_state.compare_exchange_weak(state, next, std::memory_order_relaxed));
}
} // namespace detail

FailureFlag failure_flag;

namespace {

void defaultErrCallback(bool recoverable, const char* message) {
    platform::errorNotice(recoverable, message);
}

std::atomic<ErrCallback> error_callback{&defaultErrCallback};

} // namespace

void reportError(bool recoverable, const char* message) {
    // The flag goes on before the callback runs, so a callback that allocates is served
    // by the runtime heap and cannot re-enter a guarded path.
    if (!recoverable)
        failure_flag.store(true, std::memory_order_relaxed);
    error_callback.load(std::memory_order_acquire)(recoverable, message);
}

void register_err_callback(ErrCallback callback) {
    error_callback.store(callback != nullptr ? callback : &defaultErrCallback,
                         std::memory_order_release);
}

namespace detail {

void reportFatal(const char* format, ...) {
    char message[256];
    // Where long is narrower than a pointer, each "%lx" (an address) becomes "%llx".
    char widened[160];
    const char* used = format;
    if constexpr (sizeof(unsigned long) < sizeof(std::uintptr_t)) {
        std::size_t out = 0;
        for (const char* at = format; *at != '\0' && out + 2 < sizeof widened; ++at) {
            widened[out++] = *at;
            if (at[0] == '%' && at[1] == 'l' && at[2] == 'x')
                widened[out++] = 'l';
        }
        widened[out] = '\0';
        used = widened;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, used, args);
    va_end(args);
    reportError(false, message);
}

} // namespace detail
} // namespace velt::zur::memory
