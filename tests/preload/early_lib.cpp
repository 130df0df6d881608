// A library the constructors program links: initialised before the preloaded library
// attaches and finalised after it has detached, so its blocks are made before the
// library is ready and its last requests come after the unload reports.
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
void* early_blocks[4];
}

namespace {

std::string* early_string = nullptr;

__attribute__((constructor)) void allocateEarly() {
    early_blocks[0] = std::malloc(100);
    early_blocks[1] = std::calloc(10, 10);
    early_blocks[2] = new char[50];
    if (posix_memalign(&early_blocks[3], 64, 100) != 0)
        early_blocks[3] = nullptr;
    early_string = new std::string(200, 'e');
}

__attribute__((destructor)) void releaseLate() {
    delete early_string;
    void* p = std::malloc(70);
    p = std::realloc(p, 700);
    std::free(p);
}

} // namespace
