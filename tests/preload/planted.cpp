// Planted bugs for the preloaded library: each mode makes one mistake, after printing the
// address the report will name on standard output.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <unistd.h>

namespace {

// Hides where a pointer came from, so that the compiler neither warns about nor removes
// the mismatched release.
template <class T> __attribute__((noinline)) T* launder(T* p) {
    asm volatile("" : "+r"(p));
    return p;
}

void show(const void* p) {
    std::printf("pointer 0x%lx\n", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
    std::fflush(stdout);
}

// The program's own SIGSEGV handler, installed after the library: it says so and ends the
// program with status 3.
void onSegv(int, siginfo_t*, void*) {
    static const char text[] = "program handler\n";
    (void)!::write(1, text, sizeof text - 1);
    ::_exit(3);
}

void installProgramHandler() {
    struct sigaction action = {};
    action.sa_sigaction = &onSegv;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
}

__attribute__((noinline)) void* leakyFunction(std::size_t size) {
    return std::malloc(size); // site: leak
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "overrun") == 0) {
        char* p = launder(static_cast<char*>(std::malloc(13)));
        show(p);
        p[13] = 'x';
        std::free(p);
    } else if (std::strcmp(mode, "underrun") == 0) {
        char* p = launder(static_cast<char*>(std::malloc(13)));
        show(p);
        p[-1] = 'A';
        std::free(p);
    } else if (std::strcmp(mode, "write-after-release") == 0) {
        // Written at offsets 0 and 8 once released, then blocks of the same size come and
        // go: the memory may be handed out again meanwhile.
        char* p = launder(static_cast<char*>(std::malloc(40)));
        char* stale = launder(p);
        show(p);
        std::free(p);
        stale[0] = 1;
        stale[8] = 2;
        for (int i = 0; i < 100; ++i)
            std::free(launder(std::malloc(40)));
    } else if (std::strcmp(mode, "stack") == 0) {
        int local = 0;
        show(&local);
        std::free(launder(&local));
    } else if (std::strcmp(mode, "realloc-released") == 0) {
        void* p = launder(std::malloc(24));
        void* stale = launder(p);
        show(p);
        std::free(p);
        p = std::realloc(stale, 64);
    } else if (std::strcmp(mode, "double") == 0) {
        void* p = launder(std::malloc(24));
        show(p);
        std::free(p);
        std::free(launder(p));
    } else if (std::strcmp(mode, "middle") == 0) {
        char* p = launder(static_cast<char*>(std::malloc(64)));
        show(p + 16);
        std::free(launder(p + 16));
    } else if (std::strcmp(mode, "free-new") == 0) {
        int* p = launder(new int(5));
        show(p);
        std::free(p);
    } else if (std::strcmp(mode, "free-new[]") == 0) {
        int* p = launder(new int[5]);
        show(p);
        std::free(p);
    } else if (std::strcmp(mode, "realloc-new") == 0) {
        int* p = launder(new int(5));
        show(p);
        p = static_cast<int*>(std::realloc(p, 64));
    } else if (std::strcmp(mode, "delete-malloc") == 0) {
        int* p = launder(static_cast<int*>(std::malloc(sizeof(int))));
        show(p);
        delete p;
    } else if (std::strcmp(mode, "delete-new[]") == 0) {
        int* p = launder(new int[5]);
        show(p);
        delete p;
    } else if (std::strcmp(mode, "delete[]-malloc") == 0) {
        int* p = launder(static_cast<int*>(std::malloc(4 * sizeof(int))));
        show(p);
        delete[] p;
    } else if (std::strcmp(mode, "delete[]-new") == 0) {
        int* p = launder(new int(5));
        show(p);
        delete[] p;
    } else if (std::strcmp(mode, "wild-after-handler") == 0) {
        // A pointer into the pages of a large block released before: inside the range of
        // pointers handed out, unreadable. The release reports it; the program's handler
        // is not called.
        installProgramHandler();
        void* high = std::malloc(1 << 20);
        char* low = launder(static_cast<char*>(std::malloc(1 << 20)));
        std::free(low);
        show(low + 8192);
        std::free(launder(low + 8192));
        std::free(high);
    } else if (std::strcmp(mode, "fault-after-handler") == 0) {
        // A real fault still reaches the program's handler.
        installProgramHandler();
        char* low = launder(static_cast<char*>(std::malloc(1 << 20)));
        std::free(low);
        std::printf("read %d\n", *launder(static_cast<volatile char*>(low + 8192)));
    } else if (std::strcmp(mode, "leak") == 0) {
        void* p = leakyFunction(40);
        show(p);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode);
        return 2;
    }
    return 0;
}
