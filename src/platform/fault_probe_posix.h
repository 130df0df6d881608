// The POSIX fault probe's signal chain, for the shared library's sigaction and signal
// (loader_entry_posix.cpp). Inside src/platform only.
#ifndef QJ_PLATFORM_FAULT_PROBE_POSIX_H
#define QJ_PLATFORM_FAULT_PROBE_POSIX_H

#include <signal.h>

namespace velt::zur::memory::platform {

using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);

// The sigaction that the library's own object would call without its own definition:
// the C library's, or a sanitizer's wrapper of it.
SigactionFunction systemSigaction();

// While the probe's handler holds `signal` (SIGSEGV or SIGBUS): makes `action` (when not
// null) the handler that faults other than the probe's are passed to, stores the one
// before in `previous` (when not null), and returns true; the probe's handler stays
// installed. Otherwise returns false and changes nothing.
bool chainedSigaction(int signal, const struct sigaction* action, struct sigaction* previous);

} // namespace velt::zur::memory::platform

#endif // QJ_PLATFORM_FAULT_PROBE_POSIX_H
