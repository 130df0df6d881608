// POSIX backend of the platform layer (Linux), and the library's load and unload entry.
#if defined(_WIN32)
#error "platform_posix.cpp is the POSIX backend; build platform_win32.cpp on Windows"
#endif

#include "platform/platform.h"
#include "platform/thread_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <link.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velt::zur::memory::platform {

ThreadId currentThreadId() { return static_cast<ThreadId>(::syscall(SYS_gettid)); }

struct Mutex {
    pthread_mutex_t mutex;
};

Mutex* mutexCreate() {
    auto* m = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
    if (m != nullptr && pthread_mutex_init(&m->mutex, nullptr) != 0) {
        std::free(m);
        m = nullptr;
    }
    return m;
}

void mutexDestroy(Mutex* m) {
    if (m == nullptr)
        return;
    pthread_mutex_destroy(&m->mutex);
    std::free(m);
}

void mutexLock(Mutex* m) { pthread_mutex_lock(&m->mutex); }
void mutexUnlock(Mutex* m) { pthread_mutex_unlock(&m->mutex); }

void* guardPagesCommit() {
    void* pages = ::mmap(nullptr, 2 * kGuardPageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    if (::mprotect(static_cast<char*>(pages) + kGuardPageSize, kGuardPageSize, PROT_NONE) != 0) {
        ::munmap(pages, 2 * kGuardPageSize);
        return nullptr;
    }
    return pages;
}

void* pagesMap(std::size_t bytes) {
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void pagesUnmap(void* pages, std::size_t bytes) { ::munmap(pages, bytes); }

// probeRead32 and the fault handler behind it: fault_probe_posix.cpp.

void debugOutput(const char* text) { std::fputs(text, stderr); }

void errorNotice(bool recoverable, const char* message) {
    std::fprintf(stderr, "QJ7 Memory Error: %s\n", message);
    std::fflush(stderr);
    if (!recoverable)
        std::abort();
}

bool currentStackBounds(std::uintptr_t& low, std::uintptr_t& high) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return false;
    void* base = nullptr;
    std::size_t size = 0;
    const bool ok = pthread_attr_getstack(&attr, &base, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!ok)
        return false;
    low = reinterpret_cast<std::uintptr_t>(base);
    high = low + size;
    return true;
}

namespace {

struct ModuleScan {
    ModuleInfo* modules;
    int capacity;
    int count;
};

int addModule(dl_phdr_info* info, std::size_t, void* data) {
    auto* scan = static_cast<ModuleScan*>(data);
    if (scan->count >= scan->capacity)
        return 1;
    std::uintptr_t low = UINTPTR_MAX;
    std::uintptr_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (start < low)
            low = start;
        if (start + ph.p_memsz > high)
            high = start + ph.p_memsz;
    }
    if (high <= low)
        return 0;
    ModuleInfo& m = scan->modules[scan->count];
    const char* name = info->dlpi_name;
    if (name == nullptr || name[0] == '\0') {
        // The main program has no name here; its path is behind /proc/self/exe.
        static char exe[256];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        exe[n > 0 ? n : 0] = '\0';
        name = exe;
    }
    const std::size_t length = strnlen(name, sizeof m.name - 1);
    std::memcpy(m.name, name, length);
    m.name[length] = '\0';
    m.base = info->dlpi_addr;
    m.size = high - info->dlpi_addr;
    ++scan->count;
    return 0;
}

bool registerMembarrier() {
    const long commands = ::syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0);
    if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0)
        return false;
    return ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0) == 0;
}

} // namespace

int enumerateModules(ModuleInfo* modules, int capacity) {
    ModuleScan scan{modules, capacity, 0};
    if (modules != nullptr && capacity > 0)
        dl_iterate_phdr(&addModule, &scan);
    return scan.count;
}

bool maskedByteStoresAvailable() {
#if defined(__x86_64__)
    // The compiler's processor model checks the system's saved register state as well.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") != 0;
#else
    return false;
#endif
}

bool heavyBarrierAvailable() {
    static const bool available = registerMembarrier();
    return available;
}

void heavyBarrier() { ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0); }

void relax() { sched_yield(); }

__thread ThreadState thread_state __attribute__((tls_model("initial-exec"))) = {};

} // namespace velt::zur::memory::platform
