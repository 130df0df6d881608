// A host with known call stacks for the symbolizer's test. Built without optimisation and
// with frame pointers, it leaks two blocks from named functions and releases a third.
// The "site:" comments mark the lines the symbolized report must name.
#include "Quorrick.h"

#include <cstdint>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

// The host's allocation function: a leak report starts at its caller.
__attribute__((noinline)) void* hostAlloc(std::uint32_t size) { return qj::qj_malloc(size, 0); }

__attribute__((noinline)) void* makeTexture() {
    return hostAlloc(64); // site: makeTexture
}

__attribute__((noinline)) void* makeSound() {
    return hostAlloc(200); // site: makeSound
}

__attribute__((noinline)) void loadLevel(std::vector<void*>& keep) {
    keep.push_back(makeTexture()); // site: loadLevel texture
    keep.push_back(makeSound());   // site: loadLevel sound
}

} // namespace

int main() {
    qj::memory_update_modules(nullptr);
    std::vector<void*> keep;
    loadLevel(keep); // site: main
    qj::qj_free(makeTexture()); // released: not a leak
    return 0;
}
