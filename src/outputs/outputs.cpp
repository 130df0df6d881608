// Where the library's files and debugger lines go (outputs/outputs.h).
#include "outputs/outputs.h"

#include "platform/platform.h"

#include <atomic>
#include <cstring>

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velt::zur::memory::outputs {

#if !defined(_WIN32)
namespace {

constexpr std::size_t kPathCapacity = 4096;
char run_folder[kPathCapacity];
std::atomic<bool> run_folder_set{false};

// The short name of the running program (after the last '/' of its first argument).
const char* programName() {
    const char* name = ::program_invocation_short_name;
    return name != nullptr && name[0] != '\0' ? name : "program";
}

// "<run folder>/<program>.<pid>" into out.
bool processFolder(char* out, std::size_t capacity) {
    const int length = std::snprintf(out, capacity, "%s/%s.%ld", run_folder, programName(),
                                     static_cast<long>(getpid()));
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

void writeAll(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

// process.txt: what the process is, for the launcher and the report page.
void writeProcessFile(const char* folder) {
    char path[kPathCapacity + 16];
    std::snprintf(path, sizeof path, "%s/process.txt", folder);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    char text[kPathCapacity + 256];
    char directory[kPathCapacity];
    if (getcwd(directory, sizeof directory) == nullptr)
        std::strcpy(directory, "?");
    int length = std::snprintf(
        text, sizeof text, "program %s\npid %ld\nparent %ld\ndirectory %s\ncommand", programName(),
        static_cast<long>(getpid()), static_cast<long>(getppid()), directory);
    if (length > 0)
        writeAll(fd, text,
                 static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                                : sizeof text - 1);
    // The command line, its arguments separated by spaces.
    const int cmdline = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (cmdline >= 0) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(cmdline, buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i < got; ++i)
                if (buffer[i] == '\0' || buffer[i] == '\n')
                    buffer[i] = ' ';
            writeAll(fd, " ", 1);
            writeAll(fd, buffer, static_cast<std::size_t>(got));
        }
        close(cmdline);
    }
    writeAll(fd, "\n", 1);
    close(fd);
}

// Makes this process's folder when it does not exist yet; the process that makes it
// writes its process.txt.
bool ensureProcessFolder(char* folder, std::size_t capacity) {
    if (!processFolder(folder, capacity))
        return false;
    if (mkdir(folder, 0777) == 0) {
        writeProcessFile(folder);
        return true;
    }
    return errno == EEXIST;
}

} // namespace

void setRunFolder(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return;
    int length = 0;
    if (path[0] == '/') {
        length = std::snprintf(run_folder, sizeof run_folder, "%s", path);
    } else {
        char directory[kPathCapacity];
        if (getcwd(directory, sizeof directory) == nullptr)
            return;
        length = std::snprintf(run_folder, sizeof run_folder, "%s/%s", directory, path);
    }
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof run_folder - 64)
        return;
    struct stat info {};
    if (stat(run_folder, &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    run_folder_set.store(true, std::memory_order_release);
    char folder[kPathCapacity + 64];
    ensureProcessFolder(folder, sizeof folder);
}

bool runFolderSet() { return run_folder_set.load(std::memory_order_acquire); }

bool placedPath(const char* name, char* out, std::size_t capacity) {
    if (!runFolderSet() || name[0] == '/') {
        const int length = std::snprintf(out, capacity, "%s", name);
        return length >= 0 && static_cast<std::size_t>(length) < capacity;
    }
    char folder[kPathCapacity + 64];
    if (!ensureProcessFolder(folder, sizeof folder))
        return false;
    const int length = std::snprintf(out, capacity, "%s/%s", folder, name);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

std::FILE* openForWriting(const char* name, const char* mode) {
    if (!runFolderSet())
        return std::fopen(name, mode);
    char path[2 * kPathCapacity];
    if (!placedPath(name, path, sizeof path))
        return nullptr;
    return std::fopen(path, mode);
}

void debugLine(const char* text) {
    if (!runFolderSet()) {
        platform::debugOutput(text);
        return;
    }
    char path[2 * kPathCapacity];
    if (!placedPath("log.txt", path, sizeof path))
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    writeAll(fd, text, std::strlen(text));
    close(fd);
}

#else // Windows: no launcher sets a run folder there.

void setRunFolder(const char*) {}
bool runFolderSet() { return false; }
bool placedPath(const char* name, char* out, std::size_t capacity) {
    const int length = std::snprintf(out, capacity, "%s", name);
    return length >= 0 && static_cast<std::size_t>(length) < capacity;
}
std::FILE* openForWriting(const char* name, const char* mode) { return std::fopen(name, mode); }
void debugLine(const char* text) { platform::debugOutput(text); }

#endif

} // namespace velt::zur::memory::outputs
