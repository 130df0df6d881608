// A host built against an installed Quorrick: it allocates through the library, reads the
// counters back, releases, and prints one line that the package test checks.
#include <Quorrick.h>

#include <cstdio>
#include <cstring>

namespace qj = velt::zur::memory;

int main() {
    void* block = qj::qj_malloc(100, 0);
    if (block == nullptr)
        return 1;
    std::memset(block, 0x11, 100);
    const int live = qj::get_total_allocation_call_count();
    const int size = qj::getSizeOfAllocation(block);
    qj::qj_free(block);
    const int after = qj::get_total_allocation_call_count();
    const bool status = std::strstr(qj::getStatus(nullptr), "TotalBytesAllocated:") != nullptr;
    std::printf("consumer: live=%d size=%d after=%d status=%s\n", live, size, after,
                status ? "yes" : "no");
    return live == 1 && size >= 100 && after == 0 && status ? 0 : 2;
}
