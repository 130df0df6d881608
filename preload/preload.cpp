// The preloaded library: an unmodified program's malloc, free and their relatives, and
// every form of operator new and delete, served by the guarded allocator (memory name 0).
//
// Three kinds of pointer reach the release functions here:
//  - guarded blocks, placed by the aligned heap path (alloc/aligned.h): the user pointer is
//    aligned to 16 bytes or to the requested alignment, and the front word before the
//    block keeps the family of the function that made it (malloc, new or new[]), so that
//    a release by a function of another family is reported;
//  - outside blocks, taken straight from the C library's heap with a 16-byte prefix in
//    front (a tag bound to the pointer, the size and the alignment): the requests that
//    arrive before the library has attached, after it has detached, while the allocator
//    is off or has failed, from the library's own code (the C library allocates for the
//    library's stdio, thread-exit lists and stack lookups), and requests too large for a
//    block's size field. Whoever releases one later, it goes back to the C library;
//  - bootstrap blocks, from a small static arena, for requests made while the C
//    library's own functions are being looked up. They are never given back.
// The C library's internal entry points (__libc_malloc and its relatives) are served
// here too, so every block the program can release came from this file.
#include "Quorrick.h"
#include "alloc/aligned.h"
#include "alloc/alloc.h"
#include "alloc/block.h"
#include "alloc/counters.h"
#include "alloc/large_blocks.h"
#include "frame/frame.h"
#include "frame/hints.h"
#include "frame/locks.h"
#include "frame/report.h"
#include "frame/settings.h"
#include "outputs/outputs.h"
#include "platform/platform.h"
#include "quarantine/quarantine.h"
#include "trace/trace.h"
#include "tracking/alloc_info_table.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <unistd.h>

#define QJ_EXPORT extern "C" __attribute__((visibility("default")))

namespace qj = velt::zur::memory;
namespace qjd = velt::zur::memory::detail;
namespace qjp = velt::zur::memory::platform;
namespace qjo = velt::zur::memory::outputs;

namespace {

// --- The C library's heap ------------------------------------------------------------

struct RealHeap {
    void* (*allocate)(std::size_t);
    void (*release)(void*);
    void* (*allocateAligned)(std::size_t, std::size_t);
};
RealHeap real{};
// 0: not looked up, 1: being looked up, 2: ready.
std::atomic<int> real_state{0};

__attribute__((tls_model("initial-exec"))) thread_local bool in_library = false;

// Scope in which the calling thread's requests are the library's own.
struct LibraryScope {
    bool outer;
    LibraryScope() : outer(in_library) { in_library = true; }
    ~LibraryScope() { in_library = outer; }
};

QJ_COLD void lookUpRealHeap() {
    int expected = 0;
    if (!real_state.compare_exchange_strong(expected, 1))
        return;
    // dlsym may allocate; those requests find the state at 1 and use the bootstrap arena.
    RealHeap found{};
    found.allocate = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "malloc"));
    found.release = reinterpret_cast<void (*)(void*)>(dlsym(RTLD_NEXT, "free"));
    found.allocateAligned =
        reinterpret_cast<void* (*)(std::size_t, std::size_t)>(dlsym(RTLD_NEXT, "memalign"));
    real = found;
    real_state.store(2, std::memory_order_release);
}

QJ_ALWAYS_INLINE bool realHeapReady() {
    if (__builtin_expect(real_state.load(std::memory_order_acquire) == 2, 1))
        return true;
    lookUpRealHeap();
    return real_state.load(std::memory_order_acquire) == 2;
}

// --- Bootstrap arena ------------------------------------------------------------------

constexpr std::size_t kBootstrapBytes = 64 * 1024;
alignas(64) unsigned char bootstrap[kBootstrapBytes];
std::atomic<std::size_t> bootstrap_used{0};

QJ_ALWAYS_INLINE bool inBootstrap(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(bootstrap) <
           kBootstrapBytes;
}

std::size_t bootstrapSize(const void* p) {
    std::uint64_t size;
    std::memcpy(&size, static_cast<const unsigned char*>(p) - 8, sizeof size);
    return static_cast<std::size_t>(size);
}

// --- Outside blocks ------------------------------------------------------------------

constexpr std::uint64_t kOutsideTag = 0x51A7C0DEB10CCAFEull;
constexpr unsigned kAlignShift = 56;
constexpr std::uint64_t kOutsideSizeMask = (std::uint64_t{1} << kAlignShift) - 1;
constexpr std::size_t kLargestOutside = std::size_t{1} << 47;

std::atomic<std::uintptr_t> outside_low{UINTPTR_MAX};
std::atomic<std::uintptr_t> outside_high{0};

std::uint64_t load64(std::uintptr_t at) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(at), sizeof value);
    return value;
}
void store64(std::uintptr_t at, std::uint64_t value) {
    std::memcpy(reinterpret_cast<void*>(at), &value, sizeof value);
}

unsigned log2Of(std::size_t power) {
    unsigned shift = 0;
    while ((std::size_t{1} << shift) < power)
        ++shift;
    return shift;
}

void notePrefix(std::uintptr_t p, std::size_t size, std::size_t align) {
    store64(p - 16, kOutsideTag ^ p);
    store64(p - 8, static_cast<std::uint64_t>(size) |
                       (static_cast<std::uint64_t>(log2Of(align)) << kAlignShift));
}

void* bootstrapAllocate(std::size_t size, std::size_t align) {
    const auto base = reinterpret_cast<std::uintptr_t>(bootstrap);
    std::size_t used = bootstrap_used.load(std::memory_order_relaxed);
    std::uintptr_t p = 0;
    do {
        p = (base + used + 16 + align - 1) & ~std::uintptr_t{align - 1};
        if (size > kBootstrapBytes || p + size > base + kBootstrapBytes)
            return nullptr;
    } while (
        !bootstrap_used.compare_exchange_weak(used, p + size - base, std::memory_order_relaxed));
    store64(p - 8, size);
    return reinterpret_cast<void*>(p);
}

// A request served by the C library's heap, with the prefix in front; `align` is a power
// of two of at least 16.
QJ_COLD void* outsideAllocate(std::size_t size, std::size_t align) {
    if (size > kLargestOutside || align > kLargestOutside) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!realHeapReady())
        return bootstrapAllocate(size, align);
    LibraryScope scope;
    auto* raw = static_cast<unsigned char*>(
        align == 16 ? real.allocate(size + 16) : real.allocateAligned(align, size + align));
    if (raw == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const auto p = reinterpret_cast<std::uintptr_t>(raw) + align;
    notePrefix(p, size, align);
    std::uintptr_t low = outside_low.load(std::memory_order_relaxed);
    while (p < low && !outside_low.compare_exchange_weak(low, p, std::memory_order_relaxed)) {
    }
    std::uintptr_t high = outside_high.load(std::memory_order_relaxed);
    while (p > high && !outside_high.compare_exchange_weak(high, p, std::memory_order_relaxed)) {
    }
    return reinterpret_cast<void*>(p);
}

// Reads a word in front of a pointer the program passed in, which may point anywhere: the
// first such read goes through the library's fault probe, so that unmapped memory gives
// false rather than a fault. `probed` is the address of a word read that way before, or 0:
// a word in the same smallest page is then read directly.
QJ_ALWAYS_INLINE bool readUnproven(std::uintptr_t at, std::uintptr_t probed, std::uint32_t& value) {
    if (probed != 0 && qjp::onProbedPage(probed, at, at + 3)) {
        std::memcpy(&value, reinterpret_cast<const void*>(at), sizeof value);
        return true;
    }
    return qjp::probeRead32(at, value);
}

// Whether p is an outside block. Only pointers within the range of outside blocks ever
// handed out are read, and only the 16 bytes before them: for an outside block its
// prefix, for a guarded block (whose head and pad lie before it) its own bytes. The two
// halves of the tag share one 16-byte aligned span, so one probe covers both.
QJ_ALWAYS_INLINE bool isOutside(const void* ptr) {
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if ((p & 15) != 0 || p < outside_low.load(std::memory_order_relaxed) ||
        p > outside_high.load(std::memory_order_relaxed))
        return false;
    std::uint32_t first = 0;
    return qjp::probeRead32(p - 16, first) && load64(p - 16) == (kOutsideTag ^ p);
}

std::size_t outsideSize(const void* p) {
    return static_cast<std::size_t>(load64(reinterpret_cast<std::uintptr_t>(p) - 8) &
                                    kOutsideSizeMask);
}

QJ_COLD void outsideRelease(void* ptr) {
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    const unsigned shift = static_cast<unsigned>(load64(p - 8) >> kAlignShift);
    store64(p - 16, 0);
    LibraryScope scope;
    real.release(reinterpret_cast<void*>(p - (std::uintptr_t{1} << shift)));
}

// --- Guarded blocks ----------------------------------------------------------------------

enum Family : std::uint32_t { kMallocFamily = 0, kNewFamily = 1, kNewArrayFamily = 2 };
enum Releaser { kFree, kRealloc, kDelete, kDeleteArray };

const char* const kFamilyNames[] = {"malloc()", "operator new", "operator new[]"};
const char* const kReleaserNames[] = {"free()", "realloc()", "operator delete",
                                      "operator delete[]"};
constexpr Family kReleaserFamily[] = {kMallocFamily, kMallocFamily, kNewFamily, kNewArrayFamily};

// Requests whose gross size could not fit a header are served outside.
constexpr std::size_t kLargestGuarded = (std::size_t{1} << 30) - 4096 - 1;

std::atomic<bool> attached{false};

// Whether guarded blocks are being handed out now: attached, not the library's own request,
// and none of use_memoryDll 0, a fatal report or the detach (the one byte that mirrors them).
QJ_ALWAYS_INLINE bool guarding() {
    return attached.load(std::memory_order_relaxed) && !in_library &&
           (qjd::entry_state.load(std::memory_order_relaxed) & qjd::kOffMask) == 0;
}

// Set at attach when the words the release reads in front of a guarded block (the size
// check word, the front word, the used tag and the header) all lie in the 16 bytes before
// its user pointer, as they do with the default layout: one probe of that span then covers
// them all, and the outside block's tag too. Every heap block then has a size check word
// (no page-guard blocks) and no pooled header.
std::atomic<bool> front_in_span{false};

std::uint32_t* frontWord(void* p) {
    return reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(p) - qjd::layout.head - 4);
}

QJ_ALWAYS_INLINE std::uint32_t word32(std::uintptr_t at) {
    return qjd::load32(reinterpret_cast<const void*>(at));
}

QJ_ALWAYS_INLINE void setFamily(void* p, Family family) {
    unsigned char* at = qjd::frontWordAt(static_cast<unsigned char*>(p) - qjd::layout.head);
    qjd::store32(at, (qjd::load32(at) & qjd::kFrontOffsetMask) | (family << qjd::kFrontHostShift));
}

Family familyOf(void* p) {
    return static_cast<Family>(qjd::load32(frontWord(p)) >> qjd::kFrontHostShift);
}

// Requested size of a live guarded block, 0 when p is not one.
std::size_t guardedSize(void* p) {
    const std::int32_t size = qj::getSizeOfAllocation(p);
    if (size <= 0)
        return 0;
    return static_cast<std::size_t>(size) - qjd::layout.guard - 2 * qjd::layout.tags;
}

// The same answer on the release path, without the call: the tests getSizeOfAllocation
// makes of a block with a used tag (every user pointer here is 16-byte aligned).
QJ_ALWAYS_INLINE std::size_t liveSize(void* ptr) {
    const qjd::BlockLayout& l = qjd::layout;
    if (__builtin_expect(l.usedTag == 0, 0))
        return guardedSize(ptr);
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if ((p & 15) != 0 || p < qjd::lowest_user_address.load(std::memory_order_relaxed) ||
        p > qjd::highest_user_address.load(std::memory_order_relaxed))
        return 0;
    if (__builtin_expect(qjd::atLargeOffset(p), 0) && qjd::largeBlockReleased(p))
        return 0;
    const std::uintptr_t tagAt = p - l.head;
    std::uint32_t tag = 0, header = 0, check = 0;
    if (!readUnproven(tagAt, 0, tag) || tag != qjd::kUsedTagLive ||
        !readUnproven(p - l.headerBack, tagAt, header))
        return 0;
    const std::uint32_t gross = qjd::headerSize(header);
    if ((header & (qjd::kHeaderPooled | qjd::kHeaderCallStack)) != l.headerFlags ||
        gross <= l.overhead || gross > qjd::largest_gross_size.load(std::memory_order_relaxed))
        return 0;
    if (qjd::hasSizeCheck(l, header, gross) &&
        (!readUnproven(tagAt - qjd::kSizeCheckBack, tagAt, check) ||
         !qjd::sizeCheckMatches(check, gross)))
        return 0;
    return gross - l.overhead;
}

// liveSize for a 16-byte aligned p, away from the large blocks' offset, whose 16 bytes in
// front the probe has just read, when front_in_span: every word is read directly.
QJ_ALWAYS_INLINE std::size_t liveSizeInSpan(std::uintptr_t p) {
    const qjd::BlockLayout& l = qjd::layout;
    if (p < qjd::lowest_user_address.load(std::memory_order_relaxed) ||
        p > qjd::highest_user_address.load(std::memory_order_relaxed))
        return 0;
    const std::uintptr_t tagAt = p - l.head;
    if (word32(tagAt) != qjd::kUsedTagLive)
        return 0;
    const std::uint32_t header = word32(p - l.headerBack);
    if ((header & (qjd::kHeaderPooled | qjd::kHeaderCallStack)) != l.headerFlags)
        return 0;
    const std::uint32_t gross = header >> qjd::kSizeShift;
    if (gross <= l.overhead || gross > qjd::largest_gross_size.load(std::memory_order_relaxed) ||
        !qjd::sizeCheckMatches(word32(tagAt - qjd::kSizeCheckBack), gross))
        return 0;
    return gross - l.overhead;
}

// The size a block's header claims, for blocks met after the guards went off (failure or
// detach), when the release checks no longer run.
std::size_t headerClaimedSize(void* p) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uint32_t gross =
        qjd::headerSize(qjd::load32(reinterpret_cast<void*>(at - qjd::layout.headerBack)));
    return gross > qjd::layout.overhead ? gross - qjd::layout.overhead : 0;
}

std::size_t alignmentFor(std::size_t align) {
    if (align <= 16)
        return 16;
    std::size_t power = 32;
    while (power < align && power != 0)
        power <<= 1;
    return power;
}

// The one call into qj_malloc: inlined into every allocation function, so that the call
// stack seen by qj_malloc is the same for all of them (the program's call site, then the
// function it called).
QJ_ALWAYS_INLINE void* allocate(std::size_t size, std::size_t align, Family family) {
    if (__builtin_expect(!guarding() || size > kLargestGuarded || align > qjd::kMaxAlignment, 0))
        return outsideAllocate(size, alignmentFor(align));
    in_library = true;
    // Blocks are aligned to 16 bytes when no alignment is requested.
    if (align != 16)
        qjd::requested_alignment = static_cast<std::uint32_t>(align);
    void* p = qj::qj_malloc(static_cast<std::uint32_t>(size), 0);
    if (align != 16)
        qjd::requested_alignment = 0;
    in_library = false;
    if (__builtin_expect(p != nullptr, 1))
        setFamily(p, family);
    else
        errno = ENOMEM;
    return p;
}

// qj_free takes a block whose first bytes hold the release fill for one released before.
// A program's data may hold those bytes too: a block known to be live (its used tag says
// so, or its header where there is no used tag) has them cleared before its release,
// which fills them anyway.
QJ_ALWAYS_INLINE void keepFromLookingReleased(void* p, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(p);
    if (bytes[0] == qjd::kFreeFill)
        std::memset(bytes, 0, size < 4 ? size : 4);
}

// The pointer the program passed to the release in progress on this thread, for the
// report's details.
__attribute__((tls_model("initial-exec"))) thread_local void* releasing = nullptr;

QJ_COLD void reportMismatch(void* p, Releaser releaser, Family family) {
    releasing = p;
    qjd::reportFatal("memory.dll: %s called for memory allocated with %s 0x%lx",
                     kReleaserNames[releaser],
                     family <= kNewArrayFamily ? kFamilyNames[family] : "?",
                     static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
}

QJ_COLD void releaseUnguarded(void* p) {
    // Before attaching nothing guarded exists: a pointer that is not an outside block
    // belongs to the C library. While the allocator is off every block is an outside
    // one. After a failure or detach qj_free leaves guarded blocks alone.
    if (!attached.load(std::memory_order_relaxed) || !qjd::settings.use_memoryDll) {
        if (realHeapReady()) {
            LibraryScope scope;
            real.release(p);
        }
        return;
    }
    if (in_library)
        return;
    LibraryScope scope;
    qj::qj_free(p);
}

// What a pointer given to a release function is: a bootstrap block, an outside block, a
// live guarded block (with its requested size), another pointer for qj_free's own tests,
// or any pointer while no guarded blocks are being handed out.
enum class Kind { kBootstrap, kOutside, kLive, kOther, kUnguarded };
struct Found {
    Kind kind;
    std::size_t size;
};

QJ_NOINLINE Found classifyAnyLayout(void* p) {
    if (inBootstrap(p))
        return {Kind::kBootstrap, 0};
    if (isOutside(p))
        return {Kind::kOutside, 0};
    if (!guarding())
        return {Kind::kUnguarded, 0};
    const std::size_t size = liveSize(p);
    return {size != 0 ? Kind::kLive : Kind::kOther, size};
}

// Whether the common case's single probe applies to p: guarded blocks are being handed out
// (front_in_span is set only once attached: guarding() without that test), and the 16
// bytes in front of p hold both an outside block's tag and every word the live test
// reads, on p's own page. Never at the large blocks' offset, where another thread may
// unmap the block between two reads, and only the probe survives that.
QJ_ALWAYS_INLINE bool oneProbeCase(void* ptr) {
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    return front_in_span.load(std::memory_order_acquire) && (p & 15) == 0 &&
           !qjd::atLargeOffset(p) && !inBootstrap(ptr) && !in_library &&
           (qjd::entry_state.load(std::memory_order_relaxed) & qjd::kOffMask) == 0;
}

// The same answer as classifyAnyLayout, with one probe in the common case.
QJ_ALWAYS_INLINE Found classify(void* ptr) {
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (__builtin_expect(!oneProbeCase(ptr), 0))
        return classifyAnyLayout(ptr);
    std::uint32_t first = 0;
    if (__builtin_expect(!qjp::probeRead32(p - 16, first), 0))
        return {Kind::kOther, 0};
    if (__builtin_expect(load64(p - 16) == (kOutsideTag ^ p), 0))
        return {Kind::kOutside, 0};
    const std::size_t size = liveSizeInSpan(p);
    return {size != 0 ? Kind::kLive : Kind::kOther, size};
}

// The release of a live block of the right family, or of any other pointer that qj_free
// tests and reports.
QJ_ALWAYS_INLINE void releaseGuarded(void* p) {
    in_library = true;
    releasing = p;
    qj::qj_free(p);
    in_library = false;
}

QJ_NOINLINE void releaseClassified(void* p, Releaser releaser) {
    const Found found = classify(p);
    switch (found.kind) {
    case Kind::kBootstrap:
        return;
    case Kind::kOutside:
        outsideRelease(p);
        return;
    case Kind::kUnguarded:
        releaseUnguarded(p);
        return;
    case Kind::kLive: {
        // A live block of another family is reported and left as it is; every other
        // pointer meets qj_free's own tests.
        const Family family = familyOf(p);
        if (__builtin_expect(family != kReleaserFamily[releaser], 0)) {
            reportMismatch(p, releaser, family);
            return;
        }
        keepFromLookingReleased(p, found.size);
        releaseGuarded(p);
        return;
    }
    case Kind::kOther:
        releaseGuarded(p);
        return;
    }
}

// A release: the common case needs no live test. A block whose front word names the
// releaser's family is no mismatch whatever it is, and qj_free makes every other test;
// only one whose first byte holds the release fill must be known live first (see
// keepFromLookingReleased). Every other pointer is classified.
QJ_ALWAYS_INLINE void release(void* p, Releaser releaser) {
    if (p == nullptr)
        return;
    if (__builtin_expect(oneProbeCase(p), 1)) {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        std::uint32_t first = 0;
        if (__builtin_expect(qjp::probeRead32(at - 16, first), 1)) {
            if (__builtin_expect(load64(at - 16) == (kOutsideTag ^ at), 0)) {
                outsideRelease(p);
                return;
            }
            // p and the 16 bytes before it share a page (p is 16-byte aligned and not at
            // a page's start, which is the large blocks' offset).
            if (__builtin_expect(familyOf(p) == kReleaserFamily[releaser] &&
                                     *static_cast<const unsigned char*>(p) != qjd::kFreeFill,
                                 1)) {
                releaseGuarded(p);
                return;
            }
        }
    }
    releaseClassified(p, releaser);
}

std::size_t usableSize(void* p) {
    if (p == nullptr)
        return 0;
    if (inBootstrap(p))
        return bootstrapSize(p);
    if (isOutside(p))
        return outsideSize(p);
    if (!attached.load(std::memory_order_relaxed))
        return 0;
    if (guarding())
        return guardedSize(p);
    return headerClaimedSize(p);
}

[[noreturn]] QJ_COLD void throwBadAlloc() { throw std::bad_alloc(); }

// --- Load, fork, unload --------------------------------------------------------------

bool forked_from_main = false;

void beforeFork() {
    in_library = true;
    forked_from_main = qjd::callingThreadId() == qjd::main_thread_id;
    qjd::globalLock().enter();
    qjd::callStackLock().enter();
    qjd::histogramLock().enter();
    qjd::statisticsHoldForFork();
    qjd::quarantineHoldForFork();
}

void afterForkInParent() {
    qjd::quarantineReleaseAfterFork();
    qjd::statisticsReleaseAfterFork();
    qjd::histogramLock().leave();
    qjd::callStackLock().leave();
    qjd::globalLock().leave();
    in_library = false;
}

void afterForkInChild() {
    // The child's only thread has an id of its own.
    velt::zur::memory::platform::forgetThreadIdAfterFork();
    qjd::quarantineReleaseAfterFork();
    qjd::statisticsReleaseAfterForkInChild();
    qjd::histogramLock().leave();
    qjd::callStackLock().leave();
    qjd::globalLock().leave();
    if (forked_from_main)
        qjd::main_thread_id = qjd::callingThreadId();
    in_library = false;
}

// --- Error reports ---------------------------------------------------------------------

// The error callback of the preloaded library: the report's line on standard error as
// always, then what the library knows of the block: the program and process, the pointer
// the program passed, its requested size and allocation site. Under the launcher (a run
// folder is set) the details go to error.txt in the process's folder, from which the
// launcher prints them symbolized after the program ends; otherwise one line follows the
// report on standard error.
qjp::ModuleInfo error_modules[128];

QJ_COLD void reportWithDetails(bool recoverable, const char* message) {
    std::fprintf(stderr, "QJ7 Memory Error: %s\n", message);
    std::fflush(stderr);
    std::uintptr_t p = qjd::report_subject.load(std::memory_order_relaxed);
    if (p == 0)
        p = reinterpret_cast<std::uintptr_t>(releasing);
    const qjd::BlockSubject subject = p != 0 ? qjd::describeBlock(p) : qjd::BlockSubject{};
    char size[32] = "unknown";
    if (subject.known)
        std::snprintf(size, sizeof size, "%u", subject.size);
    const qjd::AllocInfo* site =
        subject.siteWord != 0 ? qjd::allocInfoRecord(subject.siteWord) : nullptr;
    if (!qjo::runFolderSet()) {
        if (p != 0)
            std::fprintf(stderr, "QJ7 in %s (pid %ld): pointer 0x%lx, requested size %s\n",
                         program_invocation_short_name, static_cast<long>(getpid()),
                         static_cast<unsigned long>(p), size);
    } else if (std::FILE* file = qjo::openForWriting("error.txt", "wt")) {
        std::fprintf(file, "QJ7 Memory Error: %s\nprogram %s pid %ld\n", message,
                     program_invocation_short_name, static_cast<long>(getpid()));
        if (p != 0)
            std::fprintf(file, "pointer 0x%lx size %s\n", static_cast<unsigned long>(p), size);
        if (site != nullptr && site->depth > 0) {
            const int modules = qjp::enumerateModules(error_modules, 128);
            for (int i = 0; i < modules; ++i)
                std::fprintf(file, "module %s 0x%08lx 0x%08lx\n", error_modules[i].name,
                             static_cast<unsigned long>(error_modules[i].base),
                             static_cast<unsigned long>(error_modules[i].size));
            std::fprintf(file, "allocated at\n");
            for (std::int32_t i = 0; i < site->depth; ++i)
                std::fprintf(file, "0x%lx\n", static_cast<unsigned long>(site->frames[i]));
        }
        std::fclose(file);
    }
    if (!recoverable)
        std::abort();
}

// Constructed after every static object of the library's code (whose constructors
// allocate outside): attaches with aligned blocks, and detaches first at exit.
struct PreloadEntry {
    PreloadEntry() {
        realHeapReady();
        LibraryScope scope;
        qjd::aligned_blocks = true;
        qjd::launcher_texts = true;
        qjo::setRunFolder(std::getenv("QUORRICK_RUN_DIR"));
        qj::register_err_callback(&reportWithDetails);
        qjd::startLibrary();
        pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild);
        attached.store(true, std::memory_order_release);
        const qjd::BlockLayout& l = qjd::layout;
        // Large blocks' user pointers lie at a page's start here: any other 16-byte aligned
        // pointer shares its page with the 16 bytes before it.
        front_in_span.store(l.usedTag != 0 && l.head + qjd::kSizeCheckBack <= 16 && !l.pageGuards &&
                                !l.poolsServe && qjd::large_user_offset == 0,
                            std::memory_order_release);
    }
    ~PreloadEntry() {
        LibraryScope scope;
        qjd::stopLibrary();
    }
};
PreloadEntry preload_entry __attribute__((init_priority(65535)));

} // namespace

// The C library's heap for the library's own requests (frame/runtime_heap.h).
namespace velt::zur::memory::detail {
void* runtimeHeapAllocate(std::size_t bytes) {
    if (!realHeapReady())
        return nullptr;
    return real.allocate(bytes);
}
void runtimeHeapRelease(void* p) {
    if (p != nullptr && realHeapReady())
        real.release(p);
}
} // namespace velt::zur::memory::detail

// --- The C functions -------------------------------------------------------------------

QJ_EXPORT void* malloc(std::size_t size) { return allocate(size, 16, kMallocFamily); }

QJ_EXPORT void free(void* p) { release(p, kFree); }

QJ_EXPORT void* calloc(std::size_t count, std::size_t size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = allocate(bytes, 16, kMallocFamily);
    if (p != nullptr)
        std::memset(p, 0, bytes);
    return p;
}

namespace {

// A released block: its used tag says so and its first word holds the release fill.
QJ_COLD bool looksReleased(void* ptr) {
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    const qjd::BlockLayout& l = qjd::layout;
    std::uint32_t tag = 0, first = 0;
    return l.usedTag != 0 && (p & 3) == 0 && qjp::probeRead32(p - l.head, tag) &&
           tag == qjd::kUsedTagReleased && qjp::probeRead32(p, first) &&
           first == qjd::kFreeFillWord;
}

// realloc's work before and after the new block, out of line, so that realloc(NULL, n),
// which some programs use for every allocation, costs what malloc does. The new block is
// allocated in realloc itself, like every block, for the call stack qj_malloc sees.

// Tests the old block as a release does; its size, or false when realloc is done.
QJ_NOINLINE bool reallocOldBlock(void* p, std::size_t size, std::size_t& old, bool& live) {
    if (size == 0) {
        release(p, kRealloc);
        return false;
    }
    const Found found = classify(p);
    live = found.kind == Kind::kLive;
    switch (found.kind) {
    case Kind::kBootstrap:
        old = bootstrapSize(p);
        return true;
    case Kind::kOutside:
        old = outsideSize(p);
        return true;
    case Kind::kLive: {
        const Family family = familyOf(p);
        if (family != kMallocFamily) {
            reportMismatch(p, kRealloc, family);
            return false;
        }
        old = found.size;
        return true;
    }
    case Kind::kOther:
        if (looksReleased(p)) {
            releasing = p;
            qjd::reportFatal("memory.dll: realloc() called for memory already released 0x%lx",
                             static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
            return false;
        }
        releaseGuarded(p);
        return false;
    case Kind::kUnguarded:
        if (!attached.load(std::memory_order_relaxed) || !qjd::settings.use_memoryDll)
            return false;
        old = headerClaimedSize(p);
        return true;
    }
    return false;
}

// Copies the kept bytes and releases the old block (a live one was tested already).
QJ_NOINLINE void reallocMove(void* p, void* grown, std::size_t bytes, bool live) {
    std::memcpy(grown, p, bytes);
    if (live) {
        keepFromLookingReleased(p, bytes);
        releaseGuarded(p);
    } else {
        release(p, kRealloc);
    }
}

} // namespace

QJ_EXPORT void* realloc(void* p, std::size_t size) {
    if (p == nullptr)
        return allocate(size, 16, kMallocFamily);
    std::size_t old = 0;
    bool live = false;
    if (!reallocOldBlock(p, size, old, live))
        return nullptr;
    void* grown = allocate(size, 16, kMallocFamily);
    if (grown != nullptr)
        reallocMove(p, grown, old < size ? old : size, live);
    return grown;
}

QJ_EXPORT void* reallocarray(void* p, std::size_t count, std::size_t size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, bytes);
}

QJ_EXPORT void* memalign(std::size_t align, std::size_t size) {
    return allocate(size, alignmentFor(align), kMallocFamily);
}

QJ_EXPORT void* aligned_alloc(std::size_t align, std::size_t size) {
    return allocate(size, alignmentFor(align), kMallocFamily);
}

QJ_EXPORT int posix_memalign(void** out, std::size_t align, std::size_t size) {
    if (align < sizeof(void*) || (align & (align - 1)) != 0)
        return EINVAL;
    const int saved = errno;
    void* p = allocate(size, alignmentFor(align), kMallocFamily);
    errno = saved;
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

QJ_EXPORT void* valloc(std::size_t size) {
    return allocate(size, static_cast<std::size_t>(getpagesize()), kMallocFamily);
}

QJ_EXPORT void* pvalloc(std::size_t size) {
    const auto page = static_cast<std::size_t>(getpagesize());
    const std::size_t rounded = size == 0 ? page : (size + page - 1) & ~(page - 1);
    if (rounded < size) {
        errno = ENOMEM;
        return nullptr;
    }
    return allocate(rounded, page, kMallocFamily);
}

QJ_EXPORT std::size_t malloc_usable_size(void* p) { return usableSize(p); }

// The C library's internal names for the same functions (the declarations of the C
// library's headers carry attributes that the aliases need not repeat).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif
QJ_EXPORT void* __libc_malloc(std::size_t) __attribute__((alias("malloc")));
QJ_EXPORT void __libc_free(void*) __attribute__((alias("free")));
QJ_EXPORT void* __libc_calloc(std::size_t, std::size_t) __attribute__((alias("calloc")));
QJ_EXPORT void* __libc_realloc(void*, std::size_t) __attribute__((alias("realloc")));
QJ_EXPORT void* __libc_memalign(std::size_t, std::size_t) __attribute__((alias("memalign")));
QJ_EXPORT void* __libc_valloc(std::size_t) __attribute__((alias("valloc")));
QJ_EXPORT void* __libc_pvalloc(std::size_t) __attribute__((alias("pvalloc")));

// --- The C++ functions -------------------------------------------------------------------

#define QJ_NEW(family, align)                                                                      \
    for (;;) {                                                                                     \
        if (void* p = allocate(size, align, family))                                               \
            return p;                                                                              \
        std::new_handler handler = std::get_new_handler();                                         \
        if (handler == nullptr)                                                                    \
            throwBadAlloc();                                                                       \
        handler();                                                                                 \
    }

#define QJ_NEW_NOTHROW(family, align)                                                              \
    for (;;) {                                                                                     \
        if (void* p = allocate(size, align, family))                                               \
            return p;                                                                              \
        std::new_handler handler = std::get_new_handler();                                         \
        if (handler == nullptr)                                                                    \
            return nullptr;                                                                        \
        try {                                                                                      \
            handler();                                                                             \
        } catch (const std::bad_alloc&) {                                                          \
            return nullptr;                                                                        \
        }                                                                                          \
    }

#define QJ_ALIGN(a) alignmentFor(static_cast<std::size_t>(a))

__attribute__((visibility("default"))) void* operator new(std::size_t size) {
    QJ_NEW(kNewFamily, 16)
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size) {
    QJ_NEW(kNewArrayFamily, 16)
}
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          const std::nothrow_t&) noexcept {
    QJ_NEW_NOTHROW(kNewFamily, 16)
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size,
                                                            const std::nothrow_t&) noexcept {
    QJ_NEW_NOTHROW(kNewArrayFamily, 16)
}
__attribute__((visibility("default"))) void* operator new(std::size_t size,
                                                          std::align_val_t align) {
    QJ_NEW(kNewFamily, QJ_ALIGN(align))
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size,
                                                            std::align_val_t align) {
    QJ_NEW(kNewArrayFamily, QJ_ALIGN(align))
}
__attribute__((visibility("default"))) void* operator new(std::size_t size, std::align_val_t align,
                                                          const std::nothrow_t&) noexcept {
    QJ_NEW_NOTHROW(kNewFamily, QJ_ALIGN(align))
}
__attribute__((visibility("default"))) void*
operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    QJ_NEW_NOTHROW(kNewArrayFamily, QJ_ALIGN(align))
}

__attribute__((visibility("default"))) void operator delete(void* p) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p) noexcept {
    release(p, kDeleteArray);
}
__attribute__((visibility("default"))) void operator delete(void* p,
                                                            const std::nothrow_t&) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p,
                                                              const std::nothrow_t&) noexcept {
    release(p, kDeleteArray);
}
__attribute__((visibility("default"))) void operator delete(void* p, std::size_t) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p, std::size_t) noexcept {
    release(p, kDeleteArray);
}
__attribute__((visibility("default"))) void operator delete(void* p, std::align_val_t) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p, std::align_val_t) noexcept {
    release(p, kDeleteArray);
}
__attribute__((visibility("default"))) void operator delete(void* p, std::align_val_t,
                                                            const std::nothrow_t&) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p, std::align_val_t,
                                                              const std::nothrow_t&) noexcept {
    release(p, kDeleteArray);
}
__attribute__((visibility("default"))) void operator delete(void* p, std::size_t,
                                                            std::align_val_t) noexcept {
    release(p, kDelete);
}
__attribute__((visibility("default"))) void operator delete[](void* p, std::size_t,
                                                              std::align_val_t) noexcept {
    release(p, kDeleteArray);
}
