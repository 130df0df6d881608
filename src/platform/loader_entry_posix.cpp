// The library's load and unload entry on Linux (its sigaction and signal are in
// signal_calls_posix.cpp).
#if defined(_WIN32)
#error "loader_entry_posix.cpp is for systems without loader notifications"
#endif

#include "frame/frame.h"

// --- Load and unload ----------------------------------------------------------------
// Linux has no loader notifications: a static object constructed after every other
// static of the library starts the library on the loading thread, and its destruction,
// which comes before the locks' own, stops it.
namespace {
struct LoaderEntry {
    LoaderEntry() { velt::zur::memory::detail::startLibrary(); }
    ~LoaderEntry() { velt::zur::memory::detail::stopLibrary(); }
};
LoaderEntry loader_entry __attribute__((init_priority(65535)));
} // namespace
