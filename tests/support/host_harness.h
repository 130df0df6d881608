// Runs the script host as a child process in a fresh directory with its own
// MemorySettings.dat, so each test sees the library exactly as a host loading it would.
#ifndef QJ_TESTS_HOST_HARNESS_H
#define QJ_TESTS_HOST_HARNESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qjtest {

struct HostRun {
    int exitCode = -1;       // exit status, or the signal/exception code when crashed
    bool crashed = false;    // ended by a signal (Linux) or an unhandled exception (Windows)
    bool timedOut = false;
    std::string out;         // standard output; line ends read as "\n" on every system
    std::string err;         // standard error, with the library's debugger-output lines
                             // (Linux writes them there; the Windows host copies them)
    std::string dir;         // the working directory (removed when the run is destroyed)

    HostRun() = default;
    HostRun(HostRun&&) noexcept;
    HostRun& operator=(HostRun&&) = delete;
    ~HostRun();

    // Lines of standard output.
    std::vector<std::string> lines() const;
    // Messages passed to the recording error callback, in order.
    std::vector<std::string> errors() const;
    // User pointer the script host reported for block `name`.
    std::uintptr_t ptr(const std::string& name) const;
    // Text between the next "BEGIN" and "END" lines after `skip` earlier ones.
    std::string section(int index = 0) const;
    // The value printed after "<prefix> " on the first line that starts with it.
    std::string value(const std::string& prefix) const;
    // A file the run left in its directory.
    bool hasFile(const std::string& name) const;
    std::string file(const std::string& name) const;
    // True when the host reached the end of its script.
    bool finished() const;
};

// Runs `script` with `settings` written to MemorySettings.dat (no file when nullopt).
HostRun runHost(const std::optional<std::string>& settings, const std::string& script,
                int timeoutSeconds = 120);

// As runHost, with one extra environment variable ("NAME=value") set for the child.
HostRun runHostWithEnvironment(const std::optional<std::string>& settings, const std::string& script,
                               const std::string& variable, int timeoutSeconds = 120);

// Runs another program built next to the tests the same way, with one argument; the
// script text is written to script.txt in its directory.
HostRun runProgram(const std::string& name, const std::optional<std::string>& settings,
                   const std::string& argument, const std::string& script = "",
                   int timeoutSeconds = 300);

// "0x..." in lowercase, as the library prints pointers.
std::string hex(std::uintptr_t value);

// Path of a program built next to the test executable.
std::string siblingProgram(const std::string& name);

} // namespace qjtest

#endif // QJ_TESTS_HOST_HARNESS_H
