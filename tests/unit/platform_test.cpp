// The platform layer on the system the tests were built for: locks, page-guard pages,
// stack bounds, the module list, the debugger output and the recoverable error notice.
// Each expectation is checked against the system's own services, not against the layer.
#include "platform/platform.h"
#include "platform/thread_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include "debug_echo.h"
#else
#include <sys/mman.h>
#include <unistd.h>
#endif
#include "system_probe.h"

namespace platform = velt::zur::memory::platform;
using qjtest::readableByte;

namespace {

TEST(Platform, MutexExcludesOtherThreads) {
    platform::Mutex* mutex = platform::mutexCreate();
    ASSERT_NE(mutex, nullptr);
    long counter = 0; // plain: only the lock keeps the increments whole
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                platform::mutexLock(mutex);
                const long seen = counter;
                if (i % 500 == 0)
                    platform::relax(); // invite another thread in while the lock is held
                counter = seen + 1;
                platform::mutexUnlock(mutex);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 20000);
    platform::mutexDestroy(mutex);
    platform::mutexDestroy(nullptr); // a lock that was never made
}

TEST(Platform, GuardPagesAreOneWritablePageBeforeAnInaccessibleOne) {
    for (int round = 0; round < 3; ++round) {
        auto* pages = static_cast<unsigned char*>(platform::guardPagesCommit());
        ASSERT_NE(pages, nullptr);
        const auto first = reinterpret_cast<std::uintptr_t>(pages);
        EXPECT_EQ(first % platform::kGuardPageSize, 0u);
        std::memset(pages, 0x5A, platform::kGuardPageSize);
        EXPECT_EQ(pages[platform::kGuardPageSize - 1], 0x5A);
        EXPECT_TRUE(readableByte(first + platform::kGuardPageSize - 1));
        EXPECT_FALSE(readableByte(first + platform::kGuardPageSize));
        EXPECT_FALSE(readableByte(first + 2 * platform::kGuardPageSize - 1));
    }
}

// Address of a local `depth` frames of about 4 KiB below the caller.
__attribute__((noinline)) std::uintptr_t deepLocal(int depth) {
    volatile char pad[4000];
    pad[0] = 1;
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&pad[0]); // a number now
    if (depth == 0)
        return address;
    const std::uintptr_t deeper = deepLocal(depth - 1);
    pad[1] = 2; // used after the call: the recursion stays a real one
    return deeper;
}

TEST(Platform, ProbeReadsWordsAndSurvivesUnreadableOnes) {
    platform::installFaultProbe(); // the attach handler's part; nothing attaches here
    ASSERT_TRUE(platform::faultProbeActive());
    std::uint32_t word = 0x12345678u;
    std::uint32_t value = 0;
    EXPECT_TRUE(platform::probeRead32(reinterpret_cast<std::uintptr_t>(&word), value));
    EXPECT_EQ(value, 0x12345678u);
    // An inaccessible page, and pages that were given back to the system: false, on any
    // thread, and the next read goes on as usual.
    const auto guard = reinterpret_cast<std::uintptr_t>(platform::guardPagesCommit());
    ASSERT_NE(guard, 0u);
    EXPECT_FALSE(platform::probeRead32(guard + platform::kGuardPageSize, value));
    EXPECT_FALSE(platform::probeRead32(guard + 2 * platform::kGuardPageSize - 4, value));
#if defined(_WIN32)
    void* released = platform::pagesMap(65536);
    ASSERT_NE(released, nullptr);
    platform::pagesUnmap(released, 65536);
#else
    // The middle of three mappings: a hole too small for the new thread's stack, which
    // the system would otherwise be free to place there.
    auto* three = static_cast<unsigned char*>(platform::pagesMap(3 * 65536));
    ASSERT_NE(three, nullptr);
    void* released = three + 65536;
    platform::pagesUnmap(released, 65536);
#endif
    EXPECT_FALSE(platform::probeRead32(reinterpret_cast<std::uintptr_t>(released), value));
    std::thread([&] {
        std::uint32_t seen = 1;
        EXPECT_FALSE(platform::probeRead32(reinterpret_cast<std::uintptr_t>(released) + 100, seen));
    }).join();
    EXPECT_TRUE(platform::probeRead32(guard + 8, value));
    EXPECT_EQ(value, 0u);
#if !defined(_WIN32)
    // A file mapping's page past the end of the file: SIGBUS rather than SIGSEGV.
    const int fd = ::memfd_create("qjtest", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4096), 0);
    void* file = ::mmap(nullptr, 2 * 4096, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(file, MAP_FAILED);
    const auto filePages = reinterpret_cast<std::uintptr_t>(file);
    EXPECT_TRUE(platform::probeRead32(filePages + 4092, value));
    EXPECT_FALSE(platform::probeRead32(filePages + 4096, value));
    ::munmap(file, 2 * 4096);
    // Removed and installed again, as a library loaded a second time does.
    platform::removeFaultProbe();
    EXPECT_FALSE(platform::faultProbeActive());
    platform::installFaultProbe();
    EXPECT_FALSE(platform::probeRead32(guard + platform::kGuardPageSize, value));
#endif
}

TEST(Platform, StackBoundsHoldTheCallingThreadsFrames) {
    auto check = [](std::uintptr_t& lowOut, std::uintptr_t& highOut) {
        volatile int local = 0;
        const auto here = reinterpret_cast<std::uintptr_t>(&local);
        std::uintptr_t low = 0, high = 0;
        ASSERT_TRUE(platform::currentStackBounds(low, high));
        EXPECT_LE(low, here);
        EXPECT_LT(here, high);
        // The walk reads every frame between its own and the top without a guard.
        EXPECT_TRUE(readableByte(here));
        EXPECT_TRUE(readableByte(high - 1));
        // Bounds found early in a thread's life (the walker keeps them) still hold the
        // frames of calls far deeper than any made so far.
        const std::uintptr_t deep = deepLocal(64);
        EXPECT_LT(deep, here - 200000);
        EXPECT_LE(low, deep);
        lowOut = low;
        highOut = high;
    };
    std::uintptr_t mainLow = 0, mainHigh = 0, otherLow = 0, otherHigh = 0;
    check(mainLow, mainHigh);
    std::thread([&] { check(otherLow, otherHigh); }).join();
    // Each thread has a stack of its own.
    EXPECT_TRUE(otherHigh <= mainLow || mainHigh <= otherLow)
        << std::hex << mainLow << "-" << mainHigh << " " << otherLow << "-" << otherHigh;
}

TEST(Platform, ModuleListHoldsThisProgram) {
    std::vector<platform::ModuleInfo> modules(128);
    const int count = platform::enumerateModules(modules.data(), 128);
    ASSERT_GT(count, 1); // the program and at least the runtime
    const auto code = reinterpret_cast<std::uintptr_t>(&platform::mutexCreate);
    int own = -1;
    for (int i = 0; i < count; ++i) {
        const platform::ModuleInfo& m = modules[static_cast<std::size_t>(i)];
        EXPECT_LT(::strnlen(m.name, sizeof m.name), sizeof m.name) << i;
        EXPECT_GT(m.size, 0u) << m.name;
        if (code - m.base < m.size)
            own = i;
    }
    ASSERT_GE(own, 0);
    EXPECT_EQ(std::string(modules[static_cast<std::size_t>(own)].name), qjtest::ownModuleName());
    if (qjtest::ownModuleBase() != 0) {
        EXPECT_EQ(modules[static_cast<std::size_t>(own)].base, qjtest::ownModuleBase());
    }
    EXPECT_EQ(platform::enumerateModules(modules.data(), 1), 1);
    EXPECT_EQ(platform::enumerateModules(modules.data(), 0), 0);
    EXPECT_EQ(platform::enumerateModules(nullptr, 8), 0);
}

TEST(Platform, ThreadPointerIsPerThreadAndKeepsTheLastError) {
    // The library keeps this thread's counter slot there: put it back afterwards.
    void* const before = platform::threadPointer();
    int mine = 0, theirs = 0;
    qjtest::setSystemError(1234);
    platform::setThreadPointer(&mine);
    EXPECT_EQ(platform::threadPointer(), &mine);
    EXPECT_EQ(qjtest::systemError(), 1234u);
    std::thread([&] {
        qjtest::setSystemError(77);
        EXPECT_EQ(platform::threadPointer(), nullptr); // a new thread starts without one
        platform::setThreadPointer(&theirs);
        EXPECT_EQ(platform::threadPointer(), &theirs);
        EXPECT_EQ(qjtest::systemError(), 77u);
    }).join();
    EXPECT_EQ(platform::threadPointer(), &mine);
    platform::setThreadPointer(before);
}

TEST(Platform, DebugOutputReachesTheDebuggerChannel) {
#if defined(_WIN32)
    // The test programs copy the debugger output to stderr (debug_echo.dll).
    ASSERT_TRUE(qjtest::debugEchoActive());
#endif
    testing::internal::CaptureStderr();
    platform::debugOutput("Quorrick.dll: a line for the debugger\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Quorrick.dll: a line for the debugger\n");
}

TEST(Platform, RecoverableErrorNoticeReturns) {
    // On Windows the box cannot be shown here (no interactive desktop under the test
    // runner), so the call comes back at once; the stderr line is there on both systems.
    testing::internal::CaptureStderr();
    platform::errorNotice(true, "memory.dll: informational");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "QJ7 Memory Error: memory.dll: informational\n");
}

} // namespace
