// Page-guard sweep: for every gross size the settings allow below one page, the block's
// last byte must be writable and a write and a read one byte past it must fault at
// exactly that address. With "exhaust" as argument it instead allocates page-guard blocks
// until the system refuses and prints what the error callback received.
//
// Prints "sweep <exact> <tried>" and, for each size that misbehaves, one "bad ..." line.
#include "Quorrick.h"

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

sigjmp_buf landing;
volatile std::uintptr_t fault_address = 0;

void onFault(int, siginfo_t* info, void*) {
    fault_address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    siglongjmp(landing, 1);
}

// Touches `at` (writing when `write`); returns the fault address or 0 when no fault.
std::uintptr_t touch(volatile unsigned char* at, bool write) {
    fault_address = 0;
    if (sigsetjmp(landing, 1) == 0) {
        if (write)
            *at = 0x42;
        else
            (void)*at;
        return 0;
    }
    return fault_address;
}

std::vector<std::string> messages;
void onError(bool, const char* message) { messages.emplace_back(message); }

} // namespace

int main(int argc, char** argv) {
    qj::register_err_callback(&onError);
    struct sigaction action = {};
    action.sa_sigaction = &onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);

    if (argc > 1 && std::strcmp(argv[1], "exhaust") == 0) {
        long blocks = 0;
        while (messages.empty() && blocks < 10000000) {
            if (qj::qj_malloc(8, 0) == nullptr)
                break;
            ++blocks;
        }
        std::printf("blocks %ld\n", blocks);
        for (const std::string& m : messages)
            std::printf("ERR 0 %s\n", m.c_str());
        return 0;
    }

    // "HEAD:TAIL": bytes of the settings' layout before and after the user area.
    long extra = 4, tail = 0;
    if (argc > 1)
        std::sscanf(argv[1], "%ld:%ld", &extra, &tail);
    int exact = 0, tried = 0;
    for (long gross = extra + tail + 1; gross <= 4095; ++gross) {
        const long requested = gross - extra - tail;
        auto* p = static_cast<unsigned char*>(qj::qj_malloc(static_cast<std::uint32_t>(requested), 0));
        ++tried;
        if (p == nullptr) {
            std::printf("bad %ld: no block\n", gross);
            continue;
        }
        unsigned char* end = p + requested + tail; // first byte past the block
        const bool lastWritable = touch(end - 1, true) == 0;
        const std::uintptr_t writeFault = touch(end, true);
        const std::uintptr_t readFault = touch(end, false);
        const auto want = reinterpret_cast<std::uintptr_t>(end);
        if (lastWritable && writeFault == want && readFault == want && (want & 0xFFF) == 0)
            ++exact;
        else
            std::printf("bad %ld: last %d write 0x%llx read 0x%llx end 0x%llx\n", gross, lastWritable,
                        static_cast<unsigned long long>(writeFault),
                        static_cast<unsigned long long>(readFault), static_cast<unsigned long long>(want));
    }
    std::printf("sweep %d %d\n", exact, tried);
    std::printf("errors %zu\n", messages.size());
    return 0;
}
