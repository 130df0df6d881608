// One heap misuse per run, through the runtime heap (malloc/free) or through the library
// (qj_malloc/qj_free), for comparing what each checking tool catches:
//   misuse libc|qj CASE
// The program exits 0 when nothing stopped it; a tool that catches the misuse reports it
// and usually ends the process.
#if !defined(QJ_COMPARE_NO_LIBRARY)
#include "Quorrick.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool use_library = false;

void* allocate(std::size_t size) {
#if !defined(QJ_COMPARE_NO_LIBRARY)
    if (use_library)
        return velt::zur::memory::qj_malloc(static_cast<std::uint32_t>(size), 0);
#endif
    return std::malloc(size);
}

void release(void* p) {
#if !defined(QJ_COMPARE_NO_LIBRARY)
    if (use_library) {
        velt::zur::memory::qj_free(p);
        return;
    }
#endif
    std::free(p);
}

// Every access goes through a volatile pointer: a store right before a release is
// otherwise dropped as dead, and the misuse with it.
volatile unsigned char sink;
volatile char* launder(void* p) {
    volatile char* volatile q = static_cast<volatile char*>(p);
    return q;
}
void* plain(volatile char* p) { return const_cast<char*>(p); }

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: misuse libc|qj CASE\n");
        return 2;
    }
    use_library = std::strcmp(argv[1], "qj") == 0;
    const std::string c = argv[2];
    volatile char* p = launder(allocate(24));
    for (int i = 0; i < 24; ++i)
        p[i] = 1;
    if (c == "overflow-write") { // one byte past the end
        p[24] = 'x';
        release(plain(p));
    } else if (c == "underflow-write") { // one byte before the start
        p[-1] = 'x';
        release(plain(p));
    } else if (c == "overflow-read") { // reading one byte past the end
        sink = static_cast<unsigned char>(p[24]);
        release(plain(p));
    } else if (c == "double-free") {
        release(plain(p));
        release(plain(p));
    } else if (c == "use-after-free-write") {
        release(plain(p));
        p[8] = 'x';
        release(allocate(24));
    } else if (c == "use-after-free-read") {
        release(plain(p));
        sink = static_cast<unsigned char>(p[8]);
    } else if (c == "free-interior") { // a pointer into a block
        release(plain(p + 8));
    } else if (c == "free-foreign") { // a pointer that never came from this heap
        char local[32];
        release(plain(launder(local + 16)));
        release(plain(p));
    } else if (c == "leak") { // never released
        sink = static_cast<unsigned char>(p[0]);
    } else {
        std::fprintf(stderr, "unknown case %s\n", argv[2]);
        return 2;
    }
    std::puts("misuse: ran to the end");
    return 0;
}
