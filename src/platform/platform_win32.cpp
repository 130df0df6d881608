// Win32 backend of the platform layer (32-bit and x86-64 Windows), and the DLL entry point.
#if !defined(_WIN32)
#error "platform_win32.cpp is the Windows backend; build platform_posix.cpp elsewhere"
#endif

#include "platform/platform.h"

#include "frame/frame.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

namespace velt::zur::memory::platform {

ThreadId currentThreadId() { return static_cast<ThreadId>(::GetCurrentThreadId()); }

// The critical section itself lives in the runtime heap, so a lock object is one pointer.
struct Mutex {
    CRITICAL_SECTION section;
};

Mutex* mutexCreate() {
    auto* m = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
    if (m != nullptr)
        ::InitializeCriticalSection(&m->section);
    return m;
}

void mutexDestroy(Mutex* m) {
    if (m == nullptr)
        return;
    ::DeleteCriticalSection(&m->section);
    std::free(m);
}

void mutexLock(Mutex* m) { ::EnterCriticalSection(&m->section); }
void mutexUnlock(Mutex* m) { ::LeaveCriticalSection(&m->section); }

void* guardPagesCommit() {
    // Each call reserves a whole allocation granule (64 KiB) of address space; a 32-bit
    // process runs out of them after some 32000 calls, and the caller reports that.
    void* pages = ::VirtualAlloc(nullptr, 2 * kGuardPageSize, MEM_RESERVE | MEM_COMMIT,
                                 PAGE_READWRITE);
    if (pages == nullptr)
        return nullptr;
    DWORD previous = 0;
    if (!::VirtualProtect(static_cast<char*>(pages) + kGuardPageSize, kGuardPageSize,
                          PAGE_NOACCESS, &previous)) {
        ::VirtualFree(pages, 0, MEM_RELEASE);
        return nullptr;
    }
    return pages;
}

// --- Fault-safe reads ----------------------------------------------------------------
// One load instruction whose fault a vectored exception handler turns into a return of
// "unreadable": the handler moves the faulting thread on to the second exit. Reads that
// succeed cost a call and a load. The function, its load and its second exit:
extern "C" std::uint32_t qjProbeLoad32(std::uintptr_t at, std::uint32_t* readable);
extern "C" const char qjProbeLoad32Read[];
extern "C" const char qjProbeLoad32Fault[];
#if defined(__i386__)
// cdecl: the address and the flag's address on the stack; 32-bit symbols carry a leading
// underscore.
__asm__(".text\n"
        ".globl _qjProbeLoad32\n"
        "_qjProbeLoad32:\n"
        "    movl 4(%esp), %ecx\n"
        "    movl 8(%esp), %edx\n"
        ".globl _qjProbeLoad32Read\n"
        "_qjProbeLoad32Read:\n"
        "    movl (%ecx), %eax\n"
        "    movl $1, (%edx)\n"
        "    ret\n"
        ".globl _qjProbeLoad32Fault\n"
        "_qjProbeLoad32Fault:\n"
        "    xorl %eax, %eax\n"
        "    movl %eax, (%edx)\n"
        "    ret\n");
#define QJ_PROBE_PC(context) ((context)->Eip)
#elif defined(__x86_64__)
// The x64 calling convention: the address in rcx, the flag's address in rdx. A leaf that
// touches neither the stack nor a callee-saved register needs no unwind information: the
// vectored handler runs before any unwinding, and an unwinder that meets the function
// takes the return address from the top of the stack.
__asm__(".text\n"
        ".globl qjProbeLoad32\n"
        "qjProbeLoad32:\n"
        ".globl qjProbeLoad32Read\n"
        "qjProbeLoad32Read:\n"
        "    movl (%rcx), %eax\n"
        "    movl $1, (%rdx)\n"
        "    ret\n"
        ".globl qjProbeLoad32Fault\n"
        "qjProbeLoad32Fault:\n"
        "    xorl %eax, %eax\n"
        "    movl %eax, (%rdx)\n"
        "    ret\n");
#define QJ_PROBE_PC(context) ((context)->Rip)
#endif

#if defined(QJ_PROBE_PC)
namespace {

std::atomic<PVOID> probe_handler{nullptr};

LONG WINAPI recoverProbeFault(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    CONTEXT* context = info->ContextRecord;
    if ((code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_GUARD_PAGE ||
         code == EXCEPTION_IN_PAGE_ERROR) &&
        QJ_PROBE_PC(context) == reinterpret_cast<std::uintptr_t>(qjProbeLoad32Read)) {
        QJ_PROBE_PC(context) = reinterpret_cast<std::uintptr_t>(qjProbeLoad32Fault);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Registered on first use, first in the chain; removed when the DLL detaches.
void ensureProbeHandler() {
    if (probe_handler.load(std::memory_order_acquire) != nullptr)
        return;
    PVOID handler = ::AddVectoredExceptionHandler(1, &recoverProbeFault);
    PVOID none = nullptr;
    if (handler != nullptr && !probe_handler.compare_exchange_strong(none, handler))
        ::RemoveVectoredExceptionHandler(handler); // another thread's is in place
}

} // namespace

bool probeRead32(std::uintptr_t at, std::uint32_t& value) {
    ensureProbeHandler();
    std::uint32_t readable = 0;
    value = qjProbeLoad32(at, &readable);
    return readable != 0;
}

void removeProbeHandler() {
    if (PVOID handler = probe_handler.exchange(nullptr))
        ::RemoveVectoredExceptionHandler(handler);
}

// Registered at the first probe rather than while attaching: a vectored handler the host
// adds as the first one before that still comes after ours.
void installFaultProbe() {}
bool faultProbeActive() { return true; }
#else
bool probeRead32(std::uintptr_t at, std::uint32_t& value) {
    return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(at), &value,
                               sizeof value, nullptr) != 0;
}

void removeProbeHandler() {}

void installFaultProbe() {}
bool faultProbeActive() { return true; }
#endif

void removeFaultProbe() { removeProbeHandler(); }

void debugOutput(const char* text) { ::OutputDebugStringA(text); }

void errorNotice(bool recoverable, const char* message) {
    // The same line as on Linux goes to stderr first: a console host, a log or a test
    // sees the text even when nobody can see the box.
    std::fprintf(stderr, "QJ7 Memory Error: %s\n", message);
    std::fflush(stderr);
    // Hand icon with Cancel / Try Again / Continue; the answer changes nothing. Without an
    // interactive desktop (a service, or Wine without a display) the call fails at once
    // instead of waiting.
    ::MessageBoxA(nullptr, message, "QJ7 Memory Error", 0x16);
    if (recoverable)
        return;
    if (::IsDebuggerPresent())
        ::DebugBreak();
    // Ended like abort(): exit status 3, and no DLL detach handlers (ours would write the
    // end-of-run reports from a heap that is known to be damaged).
    ::TerminateProcess(::GetCurrentProcess(), 3);
    std::abort();
}

bool currentStackBounds(std::uintptr_t& low, std::uintptr_t& high) {
    // From the thread's information block: the whole reservation, from the bottom of the
    // stack (DeallocationStack) to its top (StackBase), as GetCurrentThreadStackLimits
    // reports it on newer systems. The committed part (down to StackLimit) grows as the
    // thread goes deeper, so it would not stay valid for a caller that keeps the bounds.
    // Every byte from a live frame up to the top is committed and readable.
#if defined(__i386__)
    std::uintptr_t bottom = 0;
    std::uintptr_t top = 0;
    __asm__("movl %%fs:0xE0C, %0" : "=r"(bottom)); // TEB.DeallocationStack
    __asm__("movl %%fs:4, %0" : "=r"(top));        // TEB.NtTib.StackBase
#elif defined(__x86_64__)
    std::uintptr_t bottom = 0;
    std::uintptr_t top = 0;
    __asm__("movq %%gs:0x1478, %0" : "=r"(bottom)); // TEB.DeallocationStack
    __asm__("movq %%gs:8, %0" : "=r"(top));         // TEB.NtTib.StackBase
#else
    ULONG_PTR bottom = 0;
    ULONG_PTR top = 0;
    ::GetCurrentThreadStackLimits(&bottom, &top);
#endif
    if (bottom == 0 || bottom >= top)
        return false;
    low = bottom;
    high = top;
    return true;
}

int enumerateModules(ModuleInfo* modules, int capacity) {
    if (modules == nullptr || capacity <= 0)
        return 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    // Modules come in load order, the program first. Windows names a module by its file
    // name (the loader finds it by that name); the full path is usually too long for the
    // entry.
    for (BOOL more = ::Module32First(snapshot, &entry); more && count < capacity;
         more = ::Module32Next(snapshot, &entry)) {
        ModuleInfo& m = modules[count++];
        const std::size_t length = ::strnlen(entry.szModule, sizeof m.name - 1);
        std::memcpy(m.name, entry.szModule, length);
        m.name[length] = '\0';
        m.base = reinterpret_cast<std::uintptr_t>(entry.modBaseAddr);
        m.size = entry.modBaseSize;
    }
    ::CloseHandle(snapshot);
    return count;
}

#if defined(QJ_SYSTEM_UNWINDER)
namespace {

// The module that holds a code address, from the address space (VirtualQuery) rather than
// the loader's list: RtlLookupFunctionEntry asks the loader, which takes the loader lock
// (in Wine), and a capture may run on a thread that holds one of the library's locks while
// another thread holds the loader lock (a DLL's attach or detach) and waits for that lock.
struct CodeModule {
    std::uintptr_t base = 0;
    std::uintptr_t end = 0;
    const RUNTIME_FUNCTION* table = nullptr; // the exception directory (.pdata), sorted
    std::size_t count = 0;
};

bool queryCodeModule(std::uintptr_t pc, CodeModule& module) {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(pc), &info, sizeof info) != sizeof info ||
        info.State != MEM_COMMIT || info.Type != MEM_IMAGE)
        return false;
    const auto base = reinterpret_cast<std::uintptr_t>(info.AllocationBase);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXCEPTION)
        return false;
    const IMAGE_DATA_DIRECTORY& pdata =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    module.base = base;
    module.end = base + nt->OptionalHeader.SizeOfImage;
    module.table = reinterpret_cast<const RUNTIME_FUNCTION*>(base + pdata.VirtualAddress);
    module.count = pdata.VirtualAddress != 0 ? pdata.Size / sizeof(RUNTIME_FUNCTION) : 0;
    return true;
}

// The modules met by captures, kept so that a walk asks the address space (VirtualQuery,
// some microseconds under Wine) once per module rather than once per module and capture.
// A DLL's unload empties the cache (the loader's notification, registered at the first
// capture); without that notification nothing is kept. Lookups share the lock; the query
// itself runs outside it, and the notification, which the loader sends under its own
// lock, only empties the table: neither waits for the loader while holding the lock. A
// return address on the calling thread's own stack lies in a module that cannot go away
// during the walk.
constexpr int kCachedModules = 32;
SRWLOCK module_cache_lock = SRWLOCK_INIT;
CodeModule module_cache[kCachedModules];
int module_cache_count = 0;
int module_cache_next = 0; // the entry replaced next once the table is full

enum : int { kNotRegistered, kRegistering, kRegistered, kUnavailable };
std::atomic<int> unload_notification{kNotRegistered};
PVOID unload_cookie = nullptr;

constexpr ULONG kDllUnloaded = 2; // LDR_DLL_NOTIFICATION_REASON_UNLOADED
using LdrDllNotification = VOID(CALLBACK*)(ULONG reason, const void* data, PVOID context);
using LdrRegisterDllNotificationFn = LONG(NTAPI*)(ULONG flags, LdrDllNotification callback,
                                                  PVOID context, PVOID* cookie);
using LdrUnregisterDllNotificationFn = LONG(NTAPI*)(PVOID cookie);

VOID CALLBACK moduleNotified(ULONG reason, const void*, PVOID) {
    if (reason != kDllUnloaded)
        return;
    ::AcquireSRWLockExclusive(&module_cache_lock);
    module_cache_count = 0;
    module_cache_next = 0;
    ::ReleaseSRWLockExclusive(&module_cache_lock);
}

FARPROC ntdllFunction(const char* name) {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr ? ::GetProcAddress(ntdll, name) : nullptr;
}

// True once unloads are reported to the cache.
bool moduleCacheUsable() {
    int state = unload_notification.load(std::memory_order_acquire);
    if (state == kRegistered)
        return true;
    if (state != kNotRegistered ||
        !unload_notification.compare_exchange_strong(state, kRegistering))
        return false;
    const DWORD lastError = ::GetLastError();
    auto registerFn = reinterpret_cast<LdrRegisterDllNotificationFn>(
        reinterpret_cast<void*>(ntdllFunction("LdrRegisterDllNotification")));
    const bool registered =
        registerFn != nullptr && registerFn(0, &moduleNotified, nullptr, &unload_cookie) == 0;
    ::SetLastError(lastError);
    unload_notification.store(registered ? kRegistered : kUnavailable, std::memory_order_release);
    return registered;
}

bool findCodeModule(std::uintptr_t pc, CodeModule& module) {
    const bool cached = moduleCacheUsable();
    if (cached) {
        ::AcquireSRWLockShared(&module_cache_lock);
        for (int i = 0; i < module_cache_count; ++i) {
            if (pc >= module_cache[i].base && pc < module_cache[i].end) {
                module = module_cache[i];
                ::ReleaseSRWLockShared(&module_cache_lock);
                return true;
            }
        }
        ::ReleaseSRWLockShared(&module_cache_lock);
    }
    const DWORD lastError = ::GetLastError();
    const bool found = queryCodeModule(pc, module);
    ::SetLastError(lastError);
    if (found && cached) {
        ::AcquireSRWLockExclusive(&module_cache_lock);
        if (module_cache_count < kCachedModules) {
            module_cache[module_cache_count++] = module;
        } else {
            module_cache[module_cache_next] = module;
            module_cache_next = (module_cache_next + 1) % kCachedModules;
        }
        ::ReleaseSRWLockExclusive(&module_cache_lock);
    }
    return found;
}

// The function entry that covers pc, or null: a leaf function, or no module's code.
const RUNTIME_FUNCTION* functionEntry(const CodeModule& module, std::uintptr_t pc) {
    const auto rva = static_cast<DWORD>(pc - module.base);
    std::size_t low = 0;
    std::size_t high = module.count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const RUNTIME_FUNCTION& f = module.table[middle];
        if (rva < f.BeginAddress)
            high = middle;
        else if (rva >= f.EndAddress)
            low = middle + 1;
        else
            return &f;
    }
    return nullptr;
}

} // namespace

// The loader's notification calls into this DLL's code, which may be unloaded now.
void stopModuleNotifications() {
    if (unload_notification.load(std::memory_order_acquire) != kRegistered)
        return;
    auto unregisterFn = reinterpret_cast<LdrUnregisterDllNotificationFn>(
        reinterpret_cast<void*>(ntdllFunction("LdrUnregisterDllNotification")));
    if (unregisterFn != nullptr && unregisterFn(unload_cookie) == 0)
        unload_notification.store(kUnavailable, std::memory_order_release);
}

// Every x86-64 function that has a frame or saves a register has its unwind information
// (.pdata/.xdata) in its module, which the system's unwinder (RtlVirtualUnwind) reads: the
// walk needs no frame pointers. A function without an entry is a leaf, whose return
// address is on top of the stack. The walk ends at a return address of 0 (the thread's
// outermost frame), outside any module's code, and where the stack pointer leaves the
// thread's stack or stops moving up.
QJ_NOINLINE int unwindBacktrace(std::uintptr_t* addresses, int capacity) {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    if (addresses == nullptr || capacity <= 0 || !currentStackBounds(low, high))
        return 0;
    CONTEXT context;
    ::RtlCaptureContext(&context); // context.Rip lies in this function
    CodeModule module;             // the last one met: most frames share it
    int count = 0;
    while (count < capacity) {
        const DWORD64 sp = context.Rsp;
        const auto pc = static_cast<std::uintptr_t>(context.Rip);
        if ((pc < module.base || pc >= module.end) && !findCodeModule(pc, module))
            break;
        const RUNTIME_FUNCTION* entry = functionEntry(module, pc);
        if (entry != nullptr) {
            PVOID handlerData = nullptr;
            DWORD64 establisherFrame = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, module.base, context.Rip,
                               const_cast<RUNTIME_FUNCTION*>(entry), &context, &handlerData,
                               &establisherFrame, nullptr);
        } else {
            if (sp < low || sp + sizeof(DWORD64) > high)
                break;
            context.Rip = *reinterpret_cast<const DWORD64*>(sp);
            context.Rsp = sp + sizeof(DWORD64);
        }
        if (context.Rip == 0 || context.Rsp <= sp || context.Rsp > high)
            break;
        addresses[count++] = static_cast<std::uintptr_t>(context.Rip);
    }
    return count;
}
#else
void stopModuleNotifications() {}
#endif

// FlushProcessWriteBuffers would do on Windows itself, but Wine (where the suite runs)
// does not implement it; the counters then fence on the writer side, which is always
// correct.
bool heavyBarrierAvailable() { return false; }

// The DLL's fills use general-purpose stores (the byte-masked ones are the Linux build's).
bool maskedByteStoresAvailable() { return false; }
void heavyBarrier() { ::MemoryBarrier(); }

void relax() { ::SwitchToThread(); }

namespace {

// The thread-local-storage index behind threadPointer, taken on first use: no
// initialiser runs at load, and the unit tests, which have no DLL entry, work alike.
std::atomic<DWORD> thread_pointer_index{TLS_OUT_OF_INDEXES};

DWORD threadPointerIndex() {
    DWORD index = thread_pointer_index.load(std::memory_order_acquire);
    if (index != TLS_OUT_OF_INDEXES)
        return index;
    const DWORD lastError = ::GetLastError();
    const DWORD fresh = ::TlsAlloc();
    if (fresh != TLS_OUT_OF_INDEXES) {
        if (thread_pointer_index.compare_exchange_strong(index, fresh, std::memory_order_acq_rel))
            index = fresh;
        else
            ::TlsFree(fresh); // another thread was first; `index` holds its index
    }
    ::SetLastError(lastError);
    return index;
}

} // namespace

void* threadPointer() {
    const DWORD index = threadPointerIndex();
    if (index == TLS_OUT_OF_INDEXES)
        return nullptr;
#if defined(__i386__)
    // The first 64 slots lie in the thread's own block (TEB.TlsSlots at fs:0xE10). Read
    // directly: TlsGetValue would also reset the thread's last-error value.
    if (index < 64) {
        void* value;
        __asm__("movl %%fs:0xE10(,%1,4), %0" : "=r"(value) : "r"(index));
        return value;
    }
#elif defined(__x86_64__)
    // The same on x86-64: TEB.TlsSlots at gs:0x1480, eight bytes a slot.
    if (index < 64) {
        void* value;
        __asm__("movq %%gs:0x1480(,%1,8), %0"
                : "=r"(value)
                : "r"(static_cast<std::uintptr_t>(index)));
        return value;
    }
#endif
    const DWORD lastError = ::GetLastError();
    void* value = ::TlsGetValue(index);
    ::SetLastError(lastError);
    return value;
}

void setThreadPointer(void* value) {
    const DWORD index = threadPointerIndex();
    if (index == TLS_OUT_OF_INDEXES)
        return;
    const DWORD lastError = ::GetLastError();
    ::TlsSetValue(index, value);
    ::SetLastError(lastError);
}

void* pagesMap(std::size_t bytes) {
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void pagesUnmap(void* pages, std::size_t) { ::VirtualFree(pages, 0, MEM_RELEASE); }

} // namespace velt::zur::memory::platform

// --- DLL entry -----------------------------------------------------------------------
// The runtime's DLL start-up constructs the library's static objects (the locks among
// them) before it calls DllMain for the process attach, and destroys them after DllMain
// has returned from the process detach: the handlers run between the two.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        velt::zur::memory::detail::startLibrary();
        break;
    case DLL_PROCESS_DETACH:
        velt::zur::memory::detail::stopLibrary();
        // The handler lives in this DLL's code, which may be unloaded now.
        velt::zur::memory::platform::removeProbeHandler();
        velt::zur::memory::platform::stopModuleNotifications();
        break;
    default: // thread attach and detach: nothing to do
        break;
    }
    return TRUE;
}
