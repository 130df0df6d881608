// The only operating-system-facing interface of the library.
//
// One backend per system implements it (platform_posix.cpp, platform_win32.cpp); nothing
// outside src/platform includes a system header for threads, mappings or the loader.
// Every function here may be called before the attach handler has run and never
// allocates through qj_malloc. Failures are returned (null, false, 0), never reported.
#ifndef QJ_PLATFORM_H
#define QJ_PLATFORM_H

#include "frame/hints.h"

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

// Reads the 32-bit word at `at`; an unreadable word (an unmapped or inaccessible page)
// returns false instead of faulting. The release path reads words the library has not
// proved readable: a released block's pages may have gone back to the system, and a wild
// pointer may point into a hole between mappings. The fault is caught by a handler that
// knows the probe's load instructions (Windows: a vectored exception handler; POSIX: a
// SIGSEGV and SIGBUS handler that passes every other fault on to the handler installed
// before it). faultProbeActive() tells whether that handler is in place (Windows
// registers it at the first probe).
#if defined(__x86_64__) && !defined(_WIN32)
// One plain load, inline where it is used: each probe site records the address of its
// load and of its recovery point in the section qj_probe_sites (two 32-bit offsets, each
// from where it is stored, so the table needs no relocation). When such a load faults,
// the handler resumes the thread at the site's recovery point, which answers false
// (fault_probe_posix.cpp). A read that succeeds costs the load alone.
#define QJ_FAULT_PROBE 1
constexpr bool kProbeIsPlainLoad = true;
QJ_ALWAYS_INLINE bool probeRead32(std::uintptr_t at, std::uint32_t& value) {
    std::uint32_t word;
    __asm__ __volatile__ goto("1: movl %1, %0\n"
                 ".pushsection qj_probe_sites, \"a\"\n"
                 ".balign 4\n"
                 ".long 1b - .\n"
                 ".long %l[unreadable] - .\n"
                 ".popsection\n"
                 : "=r"(word)
                 : "m"(*reinterpret_cast<const std::uint32_t*>(at))
                 :
                 : unreadable);
    value = word;
    return true;
unreadable:
    return false;
}
#else
constexpr bool kProbeIsPlainLoad = false;
bool probeRead32(std::uintptr_t at, std::uint32_t& value);
#endif

// Every page of every supported system is a multiple of this many bytes, aligned to it:
// when one word in such a span is readable, every word in it is.
constexpr std::size_t kSmallestPageSize = 4096;

// Whether the bytes from `first` to `last` lie in the smallest page that holds the byte at
// `probed`, which the probe has read: then they are mapped too, and read directly.
inline bool onProbedPage(std::uintptr_t probed, std::uintptr_t first, std::uintptr_t last) {
    return ((first ^ probed) | (last ^ probed)) < kSmallestPageSize;
}

// Installs the probe's fault handler (the attach handler calls it), and removes it again
// (the detach handler), leaving in place any handler installed after it. Idempotent.
void installFaultProbe();
void removeFaultProbe();
bool faultProbeActive();

// The character that ends a text file where the runtime's text mode stops reading at it
// (Windows: Ctrl-Z, 0x1A), or -1 where no character does.
#if defined(_WIN32)
constexpr int kTextFileEnd = 0x1A;
#else
constexpr int kTextFileEnd = -1;
#endif

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

// Whether the processor and the system support byte-masked 64-byte stores (AVX-512BW with
// its register state saved by the system). Always false on 32-bit targets.
bool maskedByteStoresAvailable();

// The calling thread's return addresses, innermost first, found through the unwind tables
// by the system's own unwinder: the first is the one into the function that called
// unwindBacktrace. At most `capacity`; returns the count. Only where the system has such an
// unwinder and the code its tables (x86-64 Windows); Linux reads the tables with libunwind
// in the call-stack layer.
//
// kFrameRecordsChain tells whether the code of the system keeps the frame records the
// frame-pointer walk follows (callstack/callstack.h). x86-64 Windows code does not: its
// unwind tables describe every frame instead, the platform compiler leaves the frame
// pointer out, and GCC, where it keeps one, points it below the saved registers (within
// 240 bytes of the stack pointer, as the tables can express), not at the saved frame
// pointer. There every capture goes through the unwinder.
#if defined(_WIN32) && defined(__x86_64__)
#define QJ_SYSTEM_UNWINDER 1
int unwindBacktrace(std::uintptr_t* addresses, int capacity);
constexpr bool kFrameRecordsChain = false;
#else
constexpr bool kFrameRecordsChain = true;
#endif

// One pointer of per-thread state for the allocation path: null until the calling thread
// sets it. It leaves the thread's last-error value as it was. Linux reads it inline
// (platform/thread_state.h, with the rest of the per-thread state); where the compiler
// emulates thread_local (mingw-w64: a locked lookup in a table on every access), it is
// one read of the thread's own block.
#if defined(_WIN32)
void* threadPointer();
void setThreadPointer(void* value);
#endif

} // namespace velt::zur::memory::platform

#endif // QJ_PLATFORM_H
