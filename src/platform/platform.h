// The only operating-system-facing interface of the library.
//
// One backend per system implements it (platform_posix.cpp, platform_win32.cpp); nothing
// outside src/platform includes a system header for threads, mappings or the loader.
// Every function here may be called before the attach handler has run and never
// allocates through qj_malloc. Failures are returned (null, false, 0), never reported.
#ifndef QJ_PLATFORM_H
#define QJ_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::platform {

using ThreadId = std::uint32_t;

// Id of the calling thread (kernel thread id on Linux, GetCurrentThreadId on Windows).
ThreadId currentThreadId();

// A plain mutual-exclusion lock living in the runtime heap; null when it cannot be made.
struct Mutex;
Mutex* mutexCreate();
void mutexDestroy(Mutex* mutex);
void mutexLock(Mutex* mutex);
void mutexUnlock(Mutex* mutex);

// Page-guard pages: two pages of kGuardPageSize committed read/write, the second then
// made inaccessible. Returns the first page, or null when the system refuses.
constexpr std::size_t kGuardPageSize = 4096;
void* guardPagesCommit();

// Whole pages for large blocks, read/write; null when the system refuses. Released with
// pagesUnmap and the same byte count.
void* pagesMap(std::size_t bytes);
void pagesUnmap(void* pages, std::size_t bytes);

// Reads the 32-bit word at `at`. Where the system lets a fault be recovered from cheaply
// (Windows: a vectored exception handler that knows this one load), an unreadable word
// returns false instead of faulting: the Windows heap may give the pages of a released
// block back to the system, and the release path reads a released block's words to
// recognise a second release. Elsewhere the word is read directly and true returned.
bool probeRead32(std::uintptr_t at, std::uint32_t& value);

// Text for a person at a debugger (stderr on Linux, OutputDebugStringA on Windows).
void debugOutput(const char* text);

// The default error notice: shows `message` and, when the error is fatal, ends the
// process abnormally. Returns only for recoverable errors.
void errorNotice(bool recoverable, const char* message);

// Bounds [low, high) of the calling thread's stack; false when they cannot be found.
bool currentStackBounds(std::uintptr_t& low, std::uintptr_t& high);

// Loaded modules of the process, for the leak report's module section.
struct ModuleInfo {
    char name[80];
    std::uintptr_t base;
    std::uintptr_t size;
};
int enumerateModules(ModuleInfo* modules, int capacity);

// Asymmetric barrier: when heavyBarrierAvailable() is true, heavyBarrier() forces a full
// memory barrier on every running thread of the process, so the frequent side of a
// Dekker-style handshake needs only a compiler barrier.
bool heavyBarrierAvailable();
void heavyBarrier();

// Yields the processor inside a spin wait.
void relax();

// One pointer of per-thread state for the allocation path: null until the calling thread
// sets it. Where the compiler emulates thread_local (mingw-w64: a locked lookup in a
// table on every access), this is one read of the thread's own block. It leaves the
// thread's last-error value as it was.
void* threadPointer();
void setThreadPointer(void* value);

} // namespace velt::zur::memory::platform

#endif // QJ_PLATFORM_H
