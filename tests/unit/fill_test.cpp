// The fills of the block patterns: exactly the bytes asked for, whatever the length and
// the alignment, in both forms (masked stores where the processor has them, plain stores
// everywhere), and none read or written past the end, even at the end of a mapping.
#include "alloc/block.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace d = velt::zur::memory::detail;
namespace platform = velt::zur::memory::platform;

namespace {

// The forms of fill this machine can run: plain stores always, masked ones where present.
std::vector<bool> fillForms() {
    std::vector<bool> forms = {false};
#if defined(QJ_MASKED_FILLS)
    if (platform::maskedByteStoresAvailable())
        forms.push_back(true);
#endif
    return forms;
}

// Lengths run through 0 to 200 (both sides of every store width and of 64 and 128) at
// every offset within a line; a volatile length keeps the fill on its variable-length path.
TEST(Fill, WritesExactlyTheBytesAskedFor) {
    for (bool masked : fillForms()) {
        alignas(64) unsigned char buffer[64 + 200 + 64];
        for (std::size_t offset = 0; offset < 64; ++offset) {
            for (volatile std::size_t count = 0; count <= 200; count = count + 1) {
                std::memset(buffer, 0x11, sizeof buffer);
                d::fillBytes(buffer + offset, 0xAB, count, masked);
                for (std::size_t i = 0; i < sizeof buffer; ++i) {
                    const bool inside = i >= offset && i < offset + count;
                    ASSERT_EQ(buffer[i], inside ? 0xAB : 0x11)
                        << "masked " << masked << " offset " << offset << " count " << count
                        << " byte " << i;
                }
            }
        }
    }
}

#if !defined(_WIN32)
// A block that ends where its mapping ends (a page-guard block): the fill must not touch
// the page behind it, which is not accessible.
TEST(Fill, EndingAtAnInaccessiblePageFaultsNothing) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(pages);
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    for (bool masked : fillForms()) {
        for (volatile std::size_t count = 0; count <= 200; count = count + 1) {
            unsigned char* at = bytes + page - count;
            d::fillBytes(at, static_cast<unsigned char>(count), count, masked);
            for (std::size_t i = 0; i < count; ++i)
                ASSERT_EQ(at[i], static_cast<unsigned char>(count)) << "masked " << masked;
        }
    }
    munmap(pages, 2 * page);
}
#endif

} // namespace
