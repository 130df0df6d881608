// The library's load and unload entry on Linux.
#if defined(_WIN32)
#error "loader_entry_posix.cpp is for systems without loader notifications"
#endif

#include "frame/frame.h"

// --- Load and unload ----------------------------------------------------------------
// Linux has no loader notifications: a static object constructed after every other
// static of the library runs the attach handler on the loading thread, and its
// destruction, which comes before the locks' own, runs the detach handler.
namespace {
struct LoaderEntry {
    LoaderEntry() { velt::zur::memory::detail::onProcessAttach(); }
    ~LoaderEntry() { velt::zur::memory::detail::onProcessDetach(); }
};
LoaderEntry loader_entry __attribute__((init_priority(65535)));
} // namespace
