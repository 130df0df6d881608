// The guarded block layout: every word, flag, pattern and offset in one place.
//
//   used tag | front tag | header word | AllocInfo word | trace word | user area | tail guard | end tag
//
// Every word is 32 bits wide on every target. Fields that are switched off take no room.
#ifndef QJ_ALLOC_BLOCK_H
#define QJ_ALLOC_BLOCK_H

#include "frame/hints.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velt::zur::memory::detail {

constexpr std::uint32_t kUsedTagLive = 0x059DD3AF;
constexpr std::uint32_t kUsedTagReleased = 0x059DD3AE;
constexpr std::uint32_t kFreeFillWord = 0xDDDDDDDD;
constexpr std::uint32_t kAllocFillWord = 0xCDCDCDCD;
constexpr unsigned char kAllocFill = 0xCD;
constexpr unsigned char kFreeFill = 0xDD;
constexpr unsigned char kGuardFill = 0x99;
constexpr std::uint32_t kGuardFillWord = 0x99999999;
constexpr char kFrontTag[4] = {'Q', 'J', '7', '{'};
constexpr char kEndTag[4] = {'}', 'Q', 'J', '7'};

// Header word.
constexpr std::uint32_t kHeaderCallStack = 1u << 0;
constexpr std::uint32_t kHeaderPooled = 1u << 1;
constexpr unsigned kSizeShift = 2;
constexpr std::uint32_t kPooledSizeMask = 0x7FFF;
constexpr unsigned kChainShift = 17;
// Gross sizes must fit the 30-bit size field of an unpooled header.
constexpr std::uint64_t kMaxGrossSize = (1u << 30) - 1;
// Page-guard blocks are those below one page.
constexpr std::uint32_t kPageGuardLimit = 4096;

// Trace word, right in front of the user area.
constexpr std::uint32_t kTraceWordBack = 4;
constexpr std::uint32_t kMemoryNameMask = 0xF;
constexpr unsigned kTraceValueShift = 4;
constexpr std::uint32_t kTraceValueMask = 0xFFFFF;

// The runtime heap keeps its own free-list words in the first bytes of a released block
// (glibc: 16 bytes, 32 once a block is large enough for its sorted bins; the Windows heap
// fewer). Heap blocks are laid out that far into the runtime block, so a released block
// keeps its used tag and release fill and a second release is recognised as one.
inline std::uint32_t heapPad(std::uint32_t gross) { return gross < 1000 ? 16 : 32; }

inline std::uint32_t load32(const void* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline void store32(void* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }
inline void store64(void* at, std::uint64_t value) { std::memcpy(at, &value, sizeof value); }

// Pointer values that are fill patterns read back as pointers: never a block of ours.
// The first test passes only values whose low four bytes are one byte repeated.
inline bool isBadPointerValue(std::uintptr_t p) {
    if (QJ_LIKELY(((p ^ (p >> 8)) & 0xFFFFFF) != 0))
        return false;
    return p == 0xDDDDDDDDu || p == 0xCDCDCDCDu ||
           (sizeof(std::uintptr_t) == 8 &&
            (p == static_cast<std::uintptr_t>(0xDDDDDDDDDDDDDDDDull) ||
             p == static_cast<std::uintptr_t>(0xCDCDCDCDCDCDCDCDull)));
}

// The longest fill written without a library call.
constexpr std::size_t kInlineFillBytes = 128;

// Fills of up to 128 bytes as two byte-masked 64-byte stores: no branch on the count, whose
// branches mispredict where block sizes vary (most of the difference in wall time to the
// runtime's malloc and free came from them). x86-64 with AVX-512BW, decided at attach
// (BlockLayout::maskedFills); not in the sanitizers' builds, which do not see inside the
// assembly.
#if defined(__x86_64__) && !defined(_WIN32) && !defined(QJ_ASAN_BUILD) && \
    !defined(__SANITIZE_THREAD__)
#define QJ_MASKED_FILLS 1

QJ_ALWAYS_INLINE void fillMasked(unsigned char* at, unsigned char byte, std::size_t count) {
    // Bit i of a mask lets byte i of its 64 be written; a masked-off byte is neither
    // written nor touched (no fault past the end of a mapping, though a store whose
    // masked-off bytes reach a page that is not accessible takes the processor hundreds
    // of cycles: page-guard blocks, which end where such a page begins, keep the plain
    // stores).
    const std::uint64_t all = ~std::uint64_t{0};
    const std::uint64_t low = count >= 64 ? all : (std::uint64_t{1} << count) - 1;
    const std::uint64_t rest = count > 64 ? count - 64 : 0;
    const std::uint64_t high = rest >= 64 ? all : (std::uint64_t{1} << rest) - 1;
    // The compiler is not told about the mask registers unless it uses them itself; the
    // library is built for the base instruction set, where it does not. vzeroupper ends
    // with the vector registers' upper halves clean, as the surrounding code expects.
    // The operand names the 128 bytes as read and written, so that no store to bytes past
    // `count` is taken for dead.
    __asm__ volatile("kmovq %[low], %%k1\n\t"
            "kmovq %[high], %%k2\n\t"
            "vpbroadcastb %k[byte], %%zmm0\n\t"
            "vmovdqu8 %%zmm0, (%[at]) %{%%k1%}\n\t"
            "vmovdqu8 %%zmm0, 64(%[at]) %{%%k2%}\n\t"
            "vzeroupper"
            : "+m"(*reinterpret_cast<unsigned char(*)[128]>(at))
            : [at] "r"(at), [low] "r"(low), [high] "r"(high),
              [byte] "r"(static_cast<std::uint32_t>(byte))
            : "xmm0"
#if defined(__AVX__)
              // vzeroupper clears the upper halves of every vector register.
              , "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
#if defined(__AVX512F__)
              , "k1", "k2"
#endif
    );
}
#endif

// Fills `count` bytes at `at` with `byte`; `count` is at most kInlineFillBytes when Small.
// Blocks are mostly a few dozen bytes, where a library call costs more than the stores: up
// to kInlineFillBytes bytes are written as two masked stores (above) when `masked`, or as
// overlapping 16-, 8- or 4-byte stores from both ends.
template <bool Small = false>
QJ_ALWAYS_INLINE void fillBytes(unsigned char* at, unsigned char byte, std::size_t count,
                                bool masked) {
#if defined(QJ_MASKED_FILLS)
    static_assert(kInlineFillBytes == 128, "two masked stores");
    if (masked && !__builtin_constant_p(count) &&
        (Small || QJ_LIKELY(count <= kInlineFillBytes))) {
        fillMasked(at, byte, count);
        return;
    }
#else
    (void)masked;
#endif
    const std::uint64_t word = 0x0101010101010101ull * byte;
    if (QJ_LIKELY(count >= 16)) {
        if (!Small && QJ_UNLIKELY(count > kInlineFillBytes)) {
            std::memset(at, byte, count);
            return;
        }
        // No loop: a compiler turns a store loop back into a string instruction or a call.
        const std::uint64_t wide[2] = {word, word};
        std::memcpy(at, wide, 16);
        std::memcpy(at + count - 16, wide, 16);
        if (count > 32) {
            std::memcpy(at + 16, wide, 16);
            std::memcpy(at + count - 32, wide, 16);
        }
        if (count > 64) {
            std::memcpy(at + 32, wide, 16);
            std::memcpy(at + 48, wide, 16);
            std::memcpy(at + count - 48, wide, 16);
            std::memcpy(at + count - 64, wide, 16);
        }
        return;
    }
    if (count >= 8) {
        store64(at, word);
        store64(at + count - 8, word);
        return;
    }
    if (count >= 4) {
        store32(at, static_cast<std::uint32_t>(word));
        store32(at + count - 4, static_cast<std::uint32_t>(word));
        return;
    }
    // One to three bytes: the first, the middle and the last (no loop, for the same reason).
    if (count != 0) {
        at[0] = byte;
        at[count / 2] = byte;
        at[count - 1] = byte;
    }
}

inline std::uint32_t headerSize(std::uint32_t header) {
    return (header & kHeaderPooled) ? (header >> kSizeShift) & kPooledSizeMask
                                    : header >> kSizeShift;
}
inline std::uint32_t headerChainIndex(std::uint32_t header) { return header >> kChainShift; }

// The widths of this run's fields, fixed at attach.
struct BlockLayout {
    std::uint32_t usedTag;   // UT: 4 or 0
    std::uint32_t tags;      // TG: 4 or 0
    std::uint32_t allocInfo; // CS: 4 or 0
    std::uint32_t traceWord; // TW: 4 or 0
    std::uint32_t guard;     // GL: tail guard bytes
    std::uint32_t head;      // H: block start to user area
    std::uint32_t overhead;  // gross size minus requested size
    // Offsets back from the user pointer.
    std::uint32_t headerBack;    // header word at P - headerBack
    std::uint32_t allocInfoBack; // AllocInfo word at P - allocInfoBack
    std::uint32_t headerFlags;   // flags every header of this run carries
    // Every switch the allocation and release paths test, fixed at attach like the
    // widths: the settings are never read on those paths.
    bool passThrough;            // the guarded allocator is off (use_memoryDll 0)
    bool poolsServe;             // the chunk pools may serve main-thread blocks
    bool patterns;               // fill patterns on
    bool pageGuards;             // blocks below one page sit in front of a guard page
    bool histogram;              // the size histogram counts blocks
    bool callStack;              // blocks name their allocation site
    bool extras;                 // any of: tags, site word, trace word, histogram
    bool maskedFills;            // fills of up to 128 bytes as masked stores (block.h)
    std::int32_t callStackDepth; // return addresses kept per site
};

// The fields that follow from the widths and switches.
constexpr BlockLayout withDerivedFields(BlockLayout l) {
    l.head = l.usedTag + l.tags + 4 + l.allocInfo + l.traceWord;
    l.overhead = l.head + l.guard + l.tags;
    l.allocInfoBack = 4 + l.traceWord;
    l.headerBack = 4 + l.traceWord + l.allocInfo;
    l.headerFlags = l.allocInfo != 0 ? kHeaderCallStack : 0;
    l.callStack = l.allocInfo != 0;
    l.extras = l.tags != 0 || l.allocInfo != 0 || l.traceWord != 0 || l.histogram;
    return l;
}

// The common layouts: the default settings, with the pools off, memory names on, the
// histogram on or call stacks on (at the default depth), in any combination. The
// allocation and release paths are compiled once for each of them, with every width and
// switch a constant, and once for any other layout, which they read from `layout`. A
// common layout's shape code: bit 0 pools off, bit 1 memory names, bit 2 histogram, bit 3
// call stacks; code 0 is the default settings' layout.
constexpr unsigned kShapeCallStacks = 8;
constexpr unsigned kCommonShapeCount = 16;
constexpr unsigned kGeneralShape = kCommonShapeCount;
constexpr std::int32_t kDefaultCallStackDepth = 16;
constexpr BlockLayout commonLayout(unsigned shape) {
    BlockLayout l{};
    l.usedTag = 4;
    l.allocInfo = (shape & kShapeCallStacks) != 0 ? 4 : 0;
    l.traceWord = (shape & 2) != 0 ? 4 : 0;
    l.guard = 4;
    l.poolsServe = (shape & 1) == 0;
    l.patterns = true;
    l.histogram = (shape & 4) != 0;
    l.callStackDepth = kDefaultCallStackDepth;
    return withDerivedFields(l);
}
// A common layout, with its fills as masked stores when Masked (the processor decides at
// attach: each common layout is compiled both ways where masked stores exist).
constexpr BlockLayout withMaskedFills(BlockLayout l, bool masked) {
    l.maskedFills = masked;
    return l;
}
template <unsigned Shape, bool Masked = false> struct CommonShape {
    static constexpr BlockLayout layout = withMaskedFills(commonLayout(Shape), Masked);
};
#if defined(QJ_MASKED_FILLS)
constexpr bool kMaskedFillsBuilt = true;
#else
constexpr bool kMaskedFillsBuilt = false;
#endif

// The shape code of a layout: a common layout's, or kGeneralShape.
constexpr bool sameLayout(const BlockLayout& a, const BlockLayout& b) {
    return a.usedTag == b.usedTag && a.tags == b.tags && a.allocInfo == b.allocInfo &&
           a.traceWord == b.traceWord && a.guard == b.guard && a.passThrough == b.passThrough &&
           a.poolsServe == b.poolsServe && a.patterns == b.patterns &&
           a.pageGuards == b.pageGuards && a.histogram == b.histogram &&
           (!a.callStack || a.callStackDepth == b.callStackDepth);
}
constexpr unsigned shapeOf(const BlockLayout& l) {
    for (unsigned shape = 0; shape < kCommonShapeCount; ++shape)
        if (sameLayout(l, commonLayout(shape)))
            return shape;
    return kGeneralShape;
}

extern QJ_HIDDEN BlockLayout layout;

// The bytes of a block that the host sees, for a block of `gross` bytes (the user area,
// tail guard and end tag: what getSizeOfAllocation reports).
inline std::uint32_t visibleSize(const BlockLayout& l, std::uint32_t gross) {
    return gross - (4 + l.usedTag + l.allocInfo + l.traceWord);
}

// Whether a block of `gross` bytes is placed in front of a guard page.
inline bool isPageGuardBlock(const BlockLayout& l, std::uint32_t gross) {
    return l.pageGuards && gross < kPageGuardLimit;
}

// Whether a header word (of gross size `gross`) can belong to a block this run handed out
// at user pointer p; `largestGross` is the largest gross size handed out so far.
QJ_ALWAYS_INLINE bool plausibleHeader(const BlockLayout& l, std::uint32_t header,
                                      std::uint32_t gross, std::uintptr_t p,
                                      std::uint32_t largestGross, std::uint32_t largestPoolSize) {
    if (gross < l.overhead + 1 || gross > largestGross)
        return false;
    if ((header & kHeaderCallStack) != l.headerFlags)
        return false;
    if (header & kHeaderPooled)
        return l.poolsServe && gross <= largestPoolSize;
    // Page-guard blocks end exactly on the page boundary.
    return !isPageGuardBlock(l, gross) || ((p - l.head + gross) & (kPageGuardLimit - 1)) == 0;
}

// A heap or large block keeps the complement of its gross size in the word this far in
// front of the block: inside the runtime heap's pad or the mapping's pad, never part of
// the block itself. A release compares it with the header, so that a header a stray write
// changed to another size a block can have cannot steer the tail test, the release fill or
// the unmap past the block. Pooled and page-guard blocks need none: the pools and the
// page's end bound them already.
constexpr std::uint32_t kSizeCheckBack = 8;
inline bool hasSizeCheck(const BlockLayout& l, std::uint32_t header, std::uint32_t gross) {
    return (header & kHeaderPooled) == 0 && !isPageGuardBlock(l, gross);
}
inline void storeSizeCheck(unsigned char* block, std::uint32_t gross) {
    store32(block - kSizeCheckBack, ~gross);
}
inline bool sizeCheckMatches(std::uint32_t word, std::uint32_t gross) { return word == ~gross; }

// Computes `layout` from the settings; called once while attaching.
void computeBlockLayout();
// The common layouts' allocation and release functions: with masked fills or plain ones
// (allocate.cpp, release.cpp); called by computeBlockLayout.
void chooseCommonAllocators(bool masked);
void chooseCommonReleasers(bool masked);

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_BLOCK_H
