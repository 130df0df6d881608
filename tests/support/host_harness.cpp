// Child-process plumbing for the host tests: fork/exec on Linux, CreateProcess on Windows.
#include "host_harness.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace qjtest {

namespace {

// Reads a text file that the child wrote: its output and the library's reports. Windows
// programs end their text lines with "\r\n"; they are read back as "\n", as the text-mode
// reading of the runtime would.
std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
#if defined(_WIN32)
    std::string lines = text.str();
    std::string result;
    result.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!(lines[i] == '\r' && i + 1 < lines.size() && lines[i + 1] == '\n'))
            result += lines[i];
    return result;
#else
    return text.str();
#endif
}

void writeAll(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

fs::path makeScratchDir() {
    std::random_device seed;
    std::mt19937_64 random(seed() ^ static_cast<unsigned long long>(
                                        std::chrono::steady_clock::now().time_since_epoch().count()));
    for (;;) {
        fs::path dir = fs::temp_directory_path() / ("qjhost-" + std::to_string(random() % 1000000000));
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            return dir;
    }
}

fs::path selfDirectory() {
#if defined(_WIN32)
    char path[MAX_PATH];
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
#else
    return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

} // namespace

std::string siblingProgram(const std::string& name) {
#if defined(_WIN32)
    return (selfDirectory() / (name + ".exe")).string();
#else
    return (selfDirectory() / name).string();
#endif
}

std::string hex(std::uintptr_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

HostRun::HostRun(HostRun&& other) noexcept
    : exitCode(other.exitCode), crashed(other.crashed), timedOut(other.timedOut),
      out(std::move(other.out)), err(std::move(other.err)), dir(std::move(other.dir)) {
    other.dir.clear();
}

HostRun::~HostRun() {
    if (!dir.empty()) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

std::vector<std::string> HostRun::lines() const {
    std::vector<std::string> result;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> HostRun::errors() const {
    std::vector<std::string> result;
    for (const std::string& line : lines())
        if (line.rfind("ERR ", 0) == 0)
            result.push_back(line.substr(6));
    return result;
}

std::uintptr_t HostRun::ptr(const std::string& name) const {
    const std::string prefix = "ptr " + name + " ";
    for (const std::string& line : lines())
        if (line.rfind(prefix, 0) == 0)
            return static_cast<std::uintptr_t>(std::stoull(line.substr(prefix.size()), nullptr, 0));
    throw std::runtime_error("no pointer named " + name);
}

std::string HostRun::value(const std::string& prefix) const {
    for (const std::string& line : lines())
        if (line.rfind(prefix + " ", 0) == 0)
            return line.substr(prefix.size() + 1);
    return "<missing " + prefix + ">";
}

std::string HostRun::section(int index) const {
    std::size_t pos = 0;
    for (int i = 0;; ++i) {
        std::size_t begin = out.find("BEGIN\n", pos);
        if (begin == std::string::npos)
            return "<missing section>";
        begin += 6;
        std::size_t end = out.find("\nEND\n", begin);
        if (end == std::string::npos)
            return "<unterminated section>";
        if (i == index)
            return out.substr(begin, end - begin);
        pos = end + 5;
    }
}

bool HostRun::hasFile(const std::string& name) const { return fs::exists(fs::path(dir) / name); }

std::string HostRun::file(const std::string& name) const { return readAll(fs::path(dir) / name); }

bool HostRun::finished() const {
    const std::vector<std::string> all = lines();
    return !all.empty() && all.back() == "done";
}

HostRun runHost(const std::optional<std::string>& settings, const std::string& script,
                int timeoutSeconds) {
    return runProgram("script_host", settings, "script.txt", script, timeoutSeconds);
}

namespace {
std::string child_variable; // "NAME=value" for the next child, or empty
} // namespace

HostRun runHostWithEnvironment(const std::optional<std::string>& settings, const std::string& script,
                               const std::string& variable, int timeoutSeconds) {
    child_variable = variable;
    HostRun run = runHost(settings, script, timeoutSeconds);
    child_variable.clear();
    return run;
}

HostRun runProgram(const std::string& name, const std::optional<std::string>& settings,
                   const std::string& argument, const std::string& script, int timeoutSeconds) {
    HostRun run;
    const fs::path dir = makeScratchDir();
    run.dir = dir.string();
    if (settings)
        writeAll(dir / "MemorySettings.dat", *settings);
    writeAll(dir / "script.txt", script);
    const fs::path outPath = dir / "stdout.txt";
    const fs::path errPath = dir / "stderr.txt";
    const std::string program = siblingProgram(name);

#if defined(_WIN32)
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outFile = ::CreateFileA(outPath.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE errFile = ::CreateFileA(errPath.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outFile;
    startup.hStdError = errFile;
    PROCESS_INFORMATION process{};
    std::string variableName, previousValue;
    bool hadPrevious = false;
    if (!child_variable.empty()) {
        variableName = child_variable.substr(0, child_variable.find('='));
        char buffer[1024];
        hadPrevious = ::GetEnvironmentVariableA(variableName.c_str(), buffer, sizeof buffer) > 0;
        previousValue = hadPrevious ? buffer : "";
        ::SetEnvironmentVariableA(variableName.c_str(),
                                  child_variable.substr(child_variable.find('=') + 1).c_str());
    }
    std::string command = "\"" + program + "\" " + argument;
    // A start can fail for want of a resource of the moment (Wine on a loaded machine): it
    // is tried again a few times before the run counts as not started.
    BOOL started = FALSE;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0)
            ::Sleep(200);
        started = ::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, run.dir.c_str(), &startup, &process);
        if (!started)
            startError = ::GetLastError();
    }
    ::CloseHandle(outFile);
    ::CloseHandle(errFile);
    if (!variableName.empty())
        ::SetEnvironmentVariableA(variableName.c_str(), hadPrevious ? previousValue.c_str() : nullptr);
    if (!started)
        throw std::runtime_error("cannot start " + program + " (error " + std::to_string(startError) + ")");
    if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutSeconds) * 1000) ==
        WAIT_TIMEOUT) {
        ::TerminateProcess(process.hProcess, 0xDEAD);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        run.timedOut = true;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    run.exitCode = static_cast<int>(code);
    // abort() ends with 3; an unhandled fault with an NTSTATUS such as 0xC0000005.
    run.crashed = (code & 0xC0000000u) == 0xC0000000u;
#else
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        if (::chdir(run.dir.c_str()) != 0)
            ::_exit(126);
        if (!child_variable.empty())
            ::putenv(const_cast<char*>(child_variable.c_str()));
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFSIGNALED(status)) {
        run.crashed = true;
        run.exitCode = WTERMSIG(status);
    } else {
        run.exitCode = WEXITSTATUS(status);
    }
#endif
    run.out = readAll(outPath);
    run.err = readAll(errPath);
    return run;
}

} // namespace qjtest
