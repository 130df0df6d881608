// Constructors allocate before main (in a library initialised before the preloaded one,
// and in this program), main releases and resizes those blocks, and destructors release
// the rest after main.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <map>
#include <string>
#include <vector>

extern "C" {
extern void* early_blocks[4];
}

namespace {

struct Registry {
    std::map<std::string, std::vector<int>> entries;
    Registry() {
        for (int i = 0; i < 100; ++i)
            entries["key" + std::to_string(i)].assign(static_cast<std::size_t>(i), i);
    }
    ~Registry() { entries.clear(); }
} registry;

char* before_main = nullptr;

__attribute__((constructor)) void allocateBeforeMain() {
    before_main = static_cast<char*>(std::malloc(64));
    std::strcpy(before_main, "made before main");
}

} // namespace

int main() {
    std::printf("%s, %zu entries\n", before_main, registry.entries.size());
    if (malloc_usable_size(early_blocks[0]) < 100 || malloc_usable_size(before_main) != 64)
        return 1;
    std::memset(early_blocks[0], 1, 100);
    early_blocks[0] = std::realloc(early_blocks[0], 5000);
    std::free(early_blocks[0]);
    std::free(early_blocks[1]);
    delete[] static_cast<char*>(early_blocks[2]);
    std::free(early_blocks[3]);
    std::free(before_main);
    std::printf("released\n");
    return 0;
}
