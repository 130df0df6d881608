// Forks while another thread allocates; every child allocates, releases and exits, and a
// last child releases a block twice, which must be reported in the child.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> stop{false};

void churn() {
    std::vector<std::string> strings;
    while (!stop.load()) {
        strings.emplace_back(100, 'x');
        if (strings.size() > 500)
            strings.clear();
    }
}

int childWork() {
    std::vector<void*> blocks;
    for (int i = 0; i < 2000; ++i) {
        void* p = std::malloc(static_cast<std::size_t>(i % 300) + 1);
        if (p == nullptr || malloc_usable_size(p) != static_cast<std::size_t>(i % 300) + 1)
            return 3;
        blocks.push_back(p);
    }
    std::thread helper([&blocks] {
        for (std::size_t i = 0; i < blocks.size(); i += 2)
            std::free(blocks[i]);
    });
    helper.join();
    for (std::size_t i = 1; i < blocks.size(); i += 2)
        std::free(blocks[i]);
    return 0;
}

} // namespace

int main() {
    void* kept = std::malloc(100);
    std::thread background(churn);
    int good = 0;
    for (int i = 0; i < 20; ++i) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(childWork());
        int status = 0;
        waitpid(pid, &status, 0);
        good += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    stop.store(true);
    background.join();
    std::printf("children ok: %d\n", good);
    std::fflush(stdout);

    const pid_t pid = fork();
    if (pid == 0) {
        void* p = std::malloc(32);
        std::free(p);
        std::free(p);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("reporting child: %s\n",
                WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT ? "aborted" : "went on");
    std::free(kept);
    return 0;
}
