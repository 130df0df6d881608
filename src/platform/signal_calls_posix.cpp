// sigaction and signal of the shared library and of the preloaded library, so that the
// fault probe's handler stays in place when the host installs its own later.
#if defined(_WIN32)
#error "signal_calls_posix.cpp is for POSIX systems"
#endif

#include "platform/fault_probe_posix.h"

#include <signal.h>

// The fault probe's SIGSEGV and SIGBUS handler must stay in place when the host installs
// its own handler for those signals after the library has attached. The host and the
// libraries loaded with it find these definitions before the C library's (the library
// comes before the C library in the program's list of libraries, or is preloaded):
// while the probe's handler is installed, a handler given for SIGSEGV or SIGBUS becomes
// the one every fault other than the probe's is passed to, and a query answers with it,
// as if the host's handler were the installed one. Everything else goes to the C library.
//
// Under the thread sanitizer these stay undefined: its runtime installs its own handlers
// through sigaction while it starts, before any instrumented code may run. There a
// handler the host installs later replaces the probe's, as where the library cannot keep
// it in place.
#if defined(__SANITIZE_THREAD__)
#define QJ_KEEP_SIGNAL_CALLS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QJ_KEEP_SIGNAL_CALLS 0
#endif
#endif
#if !defined(QJ_KEEP_SIGNAL_CALLS)
#define QJ_KEEP_SIGNAL_CALLS 1
#endif

#if QJ_KEEP_SIGNAL_CALLS
extern "C" __attribute__((visibility("default"))) int sigaction(int signal, const struct sigaction* action,
                                                                struct sigaction* previous) noexcept {
    namespace platform = velt::zur::memory::platform;
    if (platform::chainedSigaction(signal, action, previous))
        return 0;
    return platform::systemSigaction()(signal, action, previous);
}

// The C library's signal() sets the disposition without calling sigaction through its
// exported name: the same with BSD semantics (the signal blocked in its handler, system
// calls restarted).
extern "C" __attribute__((visibility("default"))) sighandler_t signal(int signal, sighandler_t handler) noexcept {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    struct sigaction previous = {};
    if (sigaction(signal, &action, &previous) != 0)
        return SIG_ERR;
    return previous.sa_handler;
}
#endif // QJ_KEEP_SIGNAL_CALLS
