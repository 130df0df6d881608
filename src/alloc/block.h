// The guarded block layout: every word, flag, pattern and offset in one place.
//
//   used tag | front tag | header word | AllocInfo word | trace word | user area | tail guard | end tag
//
// Every word is 32 bits wide on every target. Fields that are switched off take no room.
#ifndef QJ_ALLOC_BLOCK_H
#define QJ_ALLOC_BLOCK_H

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

// Trace word.
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
    bool poolsServe;             // the chunk pools may serve main-thread blocks
    bool patterns;               // fill patterns on
};

extern BlockLayout layout;

// Computes `layout` from the settings; called once while attaching.
void computeBlockLayout();

} // namespace velt::zur::memory::detail

#endif // QJ_ALLOC_BLOCK_H
