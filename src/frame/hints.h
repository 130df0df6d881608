// Compiler hints used across the library: branch weights, cold and never-inlined
// functions, and the address sanitizer's opt-out for reads that probe memory which may
// already belong to the runtime heap again.
//
// Every compiler the library is built with (g++, clang, mingw-w64) understands the GNU
// attributes; anything else gets the plain code. The spellings match those the hot paths
// have used so far, so a file that still defines one of these itself compiles unchanged
// beside this header.
#pragma once

#if defined(__GNUC__)
// A function reached only on errors or rare paths: kept out of line and out of the way.
#define QJ_COLD __attribute__((cold, noinline))
#define QJ_NOINLINE __attribute__((noinline))
// For the few small helpers whose inlining the hot path's instruction counts rely on.
#define QJ_ALWAYS_INLINE inline __attribute__((always_inline))
#define QJ_LIKELY(x) __builtin_expect(!!(x), 1)
#define QJ_UNLIKELY(x) __builtin_expect(!!(x), 0)
// Lets a function read words the address sanitizer would call freed or out of bounds;
// without the sanitizer it changes nothing.
#define QJ_NO_ASAN __attribute__((no_sanitize("address")))
// A printf-style function: argument `fmt` is the format, the values start at `first`
// (counting `this` as 1 in member functions).
#define QJ_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define QJ_COLD
#define QJ_NOINLINE
#define QJ_ALWAYS_INLINE inline
#define QJ_LIKELY(x) (x)
#define QJ_UNLIKELY(x) (x)
#define QJ_NO_ASAN
#define QJ_PRINTF_FORMAT(fmt, first)
#endif

// Library data read on the hot paths: on ELF targets, declared hidden, so that each read
// is one load relative to the instruction pointer instead of two through the GOT.
#if defined(__ELF__)
#define QJ_HIDDEN __attribute__((visibility("hidden")))
#else
#define QJ_HIDDEN
#endif

// Set when the address sanitizer instruments this build: its opt-out (QJ_NO_ASAN) takes
// effect only on a function of its own, so the probes then stay out of line.
#if defined(__SANITIZE_ADDRESS__)
#define QJ_ASAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QJ_ASAN_BUILD 1
#endif
#endif
