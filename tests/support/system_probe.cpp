// The system services behind system_probe.h.
#include "system_probe.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace qjtest {

bool readableByte(std::uintptr_t address) {
#if defined(_WIN32)
    // By the page's state and protection (Wine's ReadProcessMemory reads even pages that
    // the process itself may not touch).
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & readable) != 0 &&
           (info.Protect & PAGE_GUARD) == 0;
#else
    unsigned char byte = 0;
    // write() reports an unreadable source with EFAULT instead of a signal.
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const bool ok = ::write(fds[1], reinterpret_cast<const void*>(address), 1) == 1;
    if (ok)
        (void)!::read(fds[0], &byte, 1);
    ::close(fds[0]);
    ::close(fds[1]);
    return ok;
#endif
}

std::string ownModuleName() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char* slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
#else
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, n > 0 ? static_cast<std::size_t>(n) : 0).substr(0, 79);
#endif
}

std::uintptr_t ownModuleBase() {
#if defined(_WIN32)
    return reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));
#else
    return 0;
#endif
}

unsigned long systemError() {
#if defined(_WIN32)
    return ::GetLastError();
#else
    return static_cast<unsigned long>(errno);
#endif
}

void setSystemError(unsigned long value) {
#if defined(_WIN32)
    ::SetLastError(static_cast<DWORD>(value));
#else
    errno = static_cast<int>(value);
#endif
}

} // namespace qjtest
