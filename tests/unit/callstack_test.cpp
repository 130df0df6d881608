// The frame-pointer walker: its counting, skip and end conditions on synthetic chains, and
// the live capture's bounds against frame pointers that code without them leaves behind.
#include "Quorrick.h"
#include "callstack/callstack.h"
#include "frame/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qj = velt::zur::memory;
using qj::detail::captureCallStack;
using qj::detail::walkFrameChain;

namespace {

using Word = std::uintptr_t;

// --- Synthetic chains --------------------------------------------------------------------
// Record i occupies words 2i (saved frame pointer) and 2i + 1 (return address) of an array
// that stands in for the stack. A link names another record or one of the special targets.
enum Link : int { kZero = -1, kOutside = -2, kMisaligned = -3, kStraddle = -4 };

struct Record {
    int link;
    Word returnAddress;
};

struct WalkCase {
    const char* name;
    std::vector<Record> records;
    int start;    // record to start from, or kZero for a null frame pointer
    int lowest;   // first record inside the bounds (records below it are "returned calls")
    int maxCount;
    int skip;
    std::vector<Word> expected;
    int lowOffset = 0; // bytes added to the low bound (one that is not a word boundary)
};

class WalkChains : public testing::TestWithParam<WalkCase> {};

TEST_P(WalkChains, StoresExpectedAddresses) {
    const WalkCase& c = GetParam();
    Word stack[32] = {};
    // A readable record outside the bounds: following it would store 0xBAD and go on.
    Word* outside = static_cast<Word*>(std::malloc(2 * sizeof(Word)));
    outside[0] = reinterpret_cast<Word>(&stack[0]);
    outside[1] = 0xBAD;
    auto target = [&](int link) -> Word {
        switch (link) {
        case kZero: return 0;
        case kOutside: return reinterpret_cast<Word>(outside);
        case kMisaligned: return reinterpret_cast<Word>(&stack[2]) + 1;
        case kStraddle: return reinterpret_cast<Word>(&stack[31]);
        default: return reinterpret_cast<Word>(&stack[2 * link]);
        }
    };
    for (std::size_t i = 0; i < c.records.size(); ++i) {
        stack[2 * i] = target(c.records[i].link);
        stack[2 * i + 1] = c.records[i].returnAddress;
    }
    stack[31] = 0x5EED; // a saved frame pointer with no room for its return address

    std::vector<Word> out(c.maxCount + 4, 0xFEED);
    const std::int32_t n =
        walkFrameChain(target(c.start), reinterpret_cast<Word>(&stack[2 * c.lowest]) + c.lowOffset,
                       reinterpret_cast<Word>(&stack[32]), out.data(), c.maxCount, c.skip);
    std::free(outside);

    ASSERT_EQ(n, static_cast<std::int32_t>(c.expected.size()));
    for (std::size_t i = 0; i < c.expected.size(); ++i)
        EXPECT_EQ(out[i], c.expected[i]) << "frame " << i;
    for (std::size_t i = c.expected.size(); i < out.size(); ++i)
        EXPECT_EQ(out[i], Word{0xFEED}) << "written past the count at " << i;
}

// Four records ending in the outermost one (saved frame pointer 0).
const std::vector<Record> kChain = {{1, 0xA0}, {2, 0xA1}, {3, 0xA2}, {kZero, 0xA3}};

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkChains,
    testing::Values(
        WalkCase{"OutermostFrameNotStored", kChain, 0, 0, 16, 0, {0xA0, 0xA1, 0xA2}},
        WalkCase{"SkipDropsFromTheFront", kChain, 0, 0, 16, 2, {0xA2}},
        WalkCase{"SkipBeyondTheChain", kChain, 0, 0, 16, 5, {}},
        WalkCase{"NegativeSkipDropsNothing", kChain, 0, 0, 16, -3, {0xA0, 0xA1, 0xA2}},
        WalkCase{"SkipDoesNotUseCapacity", kChain, 0, 0, 1, 1, {0xA1}},
        WalkCase{"MaxCountFillsExactly", kChain, 0, 0, 2, 0, {0xA0, 0xA1}},
        WalkCase{"MaxCountZero", kChain, 0, 0, 0, 0, {}},
        WalkCase{"LoopEndsWhenFull", {{1, 0xB0}, {0, 0xB1}}, 0, 0, 5, 0,
                 {0xB0, 0xB1, 0xB0, 0xB1, 0xB0}},
        WalkCase{"LeavesTheStack", {{1, 0xC0}, {kOutside, 0xC1}}, 0, 0, 16, 0, {0xC0, 0xC1}},
        WalkCase{"BelowTheLowBound", {{kZero, 0xD0}, {0, 0xD1}}, 1, 1, 16, 0, {0xD1}},
        WalkCase{"ZeroReturnAddress", {{1, 0xE0}, {2, 0}, {kZero, 0xE2}}, 0, 0, 16, 0, {0xE0}},
        WalkCase{"MisalignedFramePointer", {{kMisaligned, 0xF0}, {kZero, 0xF1}}, 0, 0, 16, 0,
                 {0xF0}},
        WalkCase{"RecordStraddlesTheTop", {{kStraddle, 0x10}}, 0, 0, 16, 0, {0x10}},
        WalkCase{"NullFramePointer", kChain, kZero, 0, 16, 0, {}},
        // A low bound inside a word: a record that starts below it is outside, the next
        // word-aligned one inside.
        WalkCase{"RecordJustBelowAnOddLowBound", kChain, 1, 1, 16, 0, {}, 1},
        WalkCase{"RecordAboveAnOddLowBound", kChain, 2, 1, 16, 0, {0xA2}, 1}),
    [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

// --- Live capture ---------------------------------------------------------------------------

class Capture : public testing::Test {
protected:
    void SetUp() override { qj::detail::initCallStack(); }
};

__attribute__((noinline)) std::int32_t captureInCallee(Word* out, std::int32_t skip,
                                                       Word* returnIntoCaller) {
    *returnIntoCaller = reinterpret_cast<Word>(__builtin_return_address(0));
    const std::int32_t n = captureCallStack(out, 4, skip);
    asm volatile("" ::: "memory"); // keeps the call above from becoming a jump
    return n;
}

TEST_F(Capture, CountsFramesFromTheDirectCaller) {
    Word out[4] = {};
    Word intoCaller = 0;
    // The chain goes on into the test framework as far as that keeps frame pointers.
    ASSERT_GE(captureInCallee(out, 0, &intoCaller), 2);
    // The first address met is inside the function that called captureCallStack.
    const Word callee = reinterpret_cast<Word>(&captureInCallee);
    EXPECT_GT(out[0], callee);
    EXPECT_LT(out[0], callee + 256);
    EXPECT_EQ(out[1], intoCaller);

    Word skipped[4] = {};
    ASSERT_GE(captureInCallee(skipped, 1, &intoCaller), 1);
    EXPECT_EQ(skipped[0], intoCaller);
}

// The walk through the unwind tables starts and counts exactly like the frame-pointer walk:
// in code with frame pointers both give the same addresses.
TEST_F(Capture, UnwindWalkGivesTheFramePointerWalksAddresses) {
    if (!qj::detail::unwindWalkAvailable())
        GTEST_SKIP() << "built without libunwind";
    Word out[2][4] = {};
    std::int32_t count[2] = {};
    Word intoCaller = 0;
    for (int unwind = 0; unwind < 2; ++unwind) {
        qj::detail::settings.callstack_unwind = unwind != 0;
        qj::detail::initCallStack();
        for (std::int32_t skip = 0; skip < 2; ++skip) {
            count[unwind] = captureInCallee(out[unwind], skip, &intoCaller);
            if (skip == 0) {
                EXPECT_EQ(out[unwind][1], intoCaller) << "unwind " << unwind;
            }
        }
    }
    qj::detail::settings.callstack_unwind = false;
    qj::detail::initCallStack();
    ASSERT_GE(count[0], 1);
    ASSERT_GE(count[1], count[0]);
    for (std::int32_t i = 0; i < count[0]; ++i)
        EXPECT_EQ(out[1][i], out[0][i]) << "frame " << i;
}

TEST_F(Capture, InactiveOrNullArrayGivesMinusOne) {
    Word out[2] = {7, 7};
    EXPECT_EQ(captureCallStack(nullptr, 0, 0), -1);
    EXPECT_EQ(captureCallStack(out, 0, 0), 0);
    qj::detail::shutdownCallStack();
    EXPECT_FALSE(qj::detail::isCallStackActive());
    EXPECT_EQ(captureCallStack(out, 2, 0), -1);
    EXPECT_EQ(out[0], Word{7});
    EXPECT_EQ(out[1], Word{7});
    qj::detail::initCallStack();
    EXPECT_TRUE(qj::detail::isCallStackActive());
}

TEST(CallStackStart, StartLineWrittenOnce) {
    qj::detail::shutdownCallStack();
    testing::internal::CaptureStderr();
    qj::detail::initCallStack();
    qj::detail::initCallStack();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dep: callstack: using internal callstack resolving (fast, but requires frame "
              "pointers)\n");
}

TEST(CallStackDebugString, FixedNotice) {
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    qj::get_callstack_debug_str(buffer, -5, 1 << 30);
    EXPECT_EQ(std::memcmp(buffer, "Only available in DEBUG builds\0", 31), 0);
    EXPECT_EQ(buffer[31], 'x');
}

#if defined(__x86_64__) && defined(__linux__)
// Calls fn(out) with the frame pointer register set to `framePointer`, as a caller built
// without frame pointers may leave it: the walk meets it as the saved frame pointer of
// fn's own frame record.
extern "C" std::int32_t qjtest_call_with_frame_pointer(std::int32_t (*fn)(Word*), Word* out,
                                                       Word framePointer);
asm(R"(
    .text
    .globl qjtest_call_with_frame_pointer
    .type qjtest_call_with_frame_pointer, @function
qjtest_call_with_frame_pointer:
    push %rbp
    mov %rdx, %rbp
    mov %rdi, %rax
    mov %rsi, %rdi
    call *%rax
    pop %rbp
    ret
    .size qjtest_call_with_frame_pointer, .-qjtest_call_with_frame_pointer
)");

__attribute__((noinline)) std::int32_t captureEight(Word* out) {
    const std::int32_t n = captureCallStack(out, 8, 0);
    asm volatile("" ::: "memory");
    return n;
}

TEST_F(Capture, ForeignFramePointersEndTheWalk) {
    const Word trampoline = reinterpret_cast<Word>(&qjtest_call_with_frame_pointer);
    Word out[8] = {};

    // Unmapped, and mapped but off the stack: neither is read (reading the heap record
    // would store 0xBAD, following it further would fault).
    Word* heapRecord = static_cast<Word*>(std::malloc(2 * sizeof(Word)));
    heapRecord[0] = 0x10;
    heapRecord[1] = 0xBAD;
    for (Word foreign : {Word{0x10}, Word{0xdeadbeef000}, reinterpret_cast<Word>(heapRecord)}) {
        ASSERT_EQ(qjtest_call_with_frame_pointer(&captureEight, out, foreign), 2) << foreign;
        EXPECT_LT(out[1] - trampoline, Word{32}); // the return into the trampoline
    }
    std::free(heapRecord);

    // A saved frame pointer of 0 ends the chain before the return into the trampoline.
    EXPECT_EQ(qjtest_call_with_frame_pointer(&captureEight, out, 0), 1);

    // A record higher up this thread's stack is followed.
    volatile Word outer[2] = {0, 0x5678};
    volatile Word inner[2] = {reinterpret_cast<Word>(&outer[0]), 0x1234};
    ASSERT_EQ(qjtest_call_with_frame_pointer(&captureEight, out,
                                             reinterpret_cast<Word>(&inner[0])), 3);
    EXPECT_EQ(out[2], Word{0x1234});
}
#endif

} // namespace
