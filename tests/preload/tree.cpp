// A process tree for the launcher's run folder: the program keeps a block, then starts two
// copies of itself, each in a directory of its own (preload_tree DIR1 DIR2 [fail]), which
// keep a block too; with "fail" the second copy releases a block twice. The program prints
// its pid, each child's pid and how each child ended.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Hides where a pointer came from, so that the compiler neither warns about nor removes
// the release.
template <class T> __attribute__((noinline)) T* launder(T* p) {
    asm volatile("" : "+r"(p));
    return p;
}

void* kept = nullptr;

__attribute__((noinline)) void keepInMain() {
    kept = std::malloc(48); // site: main
}

__attribute__((noinline)) void keepInChild() {
    kept = std::malloc(72); // site: child
}

__attribute__((noinline)) void releaseTwice() {
    void* p = launder(std::malloc(24)); // site: twice
    std::free(p);
    std::free(launder(p));
}

int child(bool fail) {
    keepInChild();
    if (fail)
        releaseTwice();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "child") == 0)
        return child(argc > 2 && std::strcmp(argv[2], "fail") == 0);
    if (argc < 3) {
        std::fprintf(stderr, "usage: preload_tree DIR1 DIR2 [fail]\n");
        return 2;
    }
    const bool fail = argc > 3 && std::strcmp(argv[3], "fail") == 0;
    keepInMain();
    std::printf("main %d\n", static_cast<int>(getpid()));
    // The binary by its own path: its short name stays the program's.
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 3;
    pid_t children[2] = {};
    for (int i = 0; i < 2; ++i) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, argv[1 + i]);
        char mode[] = "child";
        char what[8];
        std::strcpy(what, fail && i == 1 ? "fail" : "keep");
        char* args[] = {argv[0], mode, what, nullptr};
        const int error = posix_spawn(&children[i], self, &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            std::fprintf(stderr, "posix_spawn: %s\n", std::strerror(error));
            return 3;
        }
        std::printf("child %d\n", static_cast<int>(children[i]));
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status))
            std::printf("child %d signal %d\n", static_cast<int>(pid), WTERMSIG(status));
        else
            std::printf("child %d exit %d\n", static_cast<int>(pid), WEXITSTATUS(status));
    }
    return 0;
}
