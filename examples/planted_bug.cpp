// A small program with one planted heap bug, for tools/quorrick-run (scripts/demo.sh runs
// it): it builds a table of names that it never releases (a leak in makeNameTable), then
// copies a name into a block one byte too short (the terminating zero lands just past the
// block's end) and releases that block. Under the launcher the release is reported and the
// program aborts; the error report names the block and the function that allocated it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Name {
    char text[32];
};

// Hides where a pointer came from, so that the compiler neither warns about nor removes
// the overrun.
template <class T> __attribute__((noinline)) T* launder(T* p) {
    asm volatile("" : "+r"(p));
    return p;
}

// The leak: nothing releases the table.
__attribute__((noinline)) Name* makeNameTable(int count) {
    Name* names = static_cast<Name*>(std::calloc(static_cast<std::size_t>(count), sizeof(Name)));
    for (int i = 0; i < count; ++i)
        std::snprintf(names[i].text, sizeof names[i].text, "name %d", i);
    return names;
}

// The bug: room for the characters but not for the terminating zero.
__attribute__((noinline)) char* copyName(const char* text) {
    const std::size_t length = std::strlen(text);
    char* copy = launder(static_cast<char*>(std::malloc(length)));
    std::memcpy(copy, text, length + 1);
    return copy;
}

} // namespace

int main() {
    Name* names = makeNameTable(8);
    char* copy = copyName(names[3].text);
    std::printf("copied \"%s\"\n", copy);
    std::fflush(stdout);
    std::free(copy); // the overwritten tail guard is found here
    std::printf("not reached under quorrick-run\n");
    return 0;
}
