// Windows: a host built with the platform's own compiler's conventions. decorated_host is
// compiled by clang in that compiler's mode and linked by lld-link against Quorrick.lib, so
// it reaches every function of the interface through its decorated name; script_host is
// built by mingw-w64 and reaches the same functions through GCC's names. One script that
// calls every function runs through both: what each host sees, the report texts and the
// files the library writes, also at unload, must be the same.
#if defined(_WIN32)

#include "host_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

using qjtest::HostRun;
using qjtest::runProgram;

namespace {

// Block addresses replaced by "<NAME>", the name of the block that a "ptr NAME 0x..." line
// last gave that address: the two hosts' own heap use differs, so the library's blocks land
// at different addresses. The host's output is read line by line, as the addresses were
// handed out; a file, with the names at the end of the run.
class Names {
public:
    explicit Names(const HostRun& run) : run_(run) {}

    std::string output() {
        names_.clear();
        std::string result;
        for (const std::string& line : run_.lines()) {
            std::smatch m;
            if (std::regex_match(line, m, kPtr) && m[2] != "0x0")
                names_[m[2]] = "<" + m[1].str() + ">";
            result += replaced(line) + "\n";
        }
        return result;
    }

    std::string file(const std::string& text) {
        output();
        return replaced(text);
    }

private:
    std::string replaced(const std::string& text) const {
        static const std::regex kHex("0x[0-9a-f]+");
        std::string result;
        std::size_t done = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), kHex);
             it != std::sregex_iterator(); ++it) {
            const auto found = names_.find(it->str());
            result += text.substr(done, static_cast<std::size_t>(it->position()) - done);
            result += found != names_.end() ? found->second : it->str();
            done = static_cast<std::size_t>(it->position() + it->length());
        }
        return result + text.substr(done);
    }

    inline static const std::regex kPtr{"^ptr (\\S+) (0x[0-9a-f]+)$"};
    const HostRun& run_;
    std::map<std::string, std::string> names_;
};

// A leak report (or a report in its line format) without what belongs to the host's own
// code: the module list (each host is its own program) and each site's depth and return
// addresses (each host's own frames).
std::string withoutFrames(const std::string& report) {
    std::istringstream in(report);
    std::string line, result;
    while (std::getline(in, line)) {
        if (line.rfind("module ", 0) == 0)
            continue;
        if (line.rfind("alloc depth=", 0) == 0) { // "alloc depth=N name=value... frames"
            std::istringstream fields(line.substr(6));
            std::string field;
            line = "alloc";
            while (fields >> field)
                if (field.find('=') != std::string::npos && field.rfind("depth=", 0) != 0)
                    line += " " + field;
        }
        result += line + "\n";
    }
    return result;
}

// Without fill patterns the large blocks below cost no time.
const char kSettings[] = "use_histogram 1\nuse_callstack 1\nuse_traceIdentifiers 1\n"
                         "leakreport leaks.txt\ninclude_all 1\npatterns 0\n";

const char kRest[] = R"(addname Textures
addname Meshes
start T frame
malloc A 100 0
malloc B 5000 1
malloc C 0 2
size A
size B
size C
counters
histcurrent
histpeak
visual
physic
resalloc R texture.png 4096
resalloc R texture.png 1024
resfree R texture.png 1024
resalloc S mesh.bin 300
start U inner
malloc D 64 1
end U
end T
tracereport
tracereportfile trace.txt
cat trace.txt
histdump hist.txt
cat hist.txt
free A
histclearpeaks
histpeak
status
status status.txt
cat status.txt
modules
dumpall all.txt -1
dumpactive active.txt
churn churn.txt 0
debugstr
free C
counters
histclearcurrent
histcurrent
zero
tracereset
free B
malloc Z 200000 1
free Z
free Z
counters
)";

// Every function of the interface, with the callback's report at the end (after the
// first error the library stops guarding): a large block released twice, which the
// library recognises whatever the runtime heap did in between. First, seventeen blocks
// of 256 MiB, one after the other, take the accumulated byte count past 32 bits.
std::string script() {
    std::string text = "cb\ngetmax\nsetmax 268435456\ngetmax\n";
    for (int i = 0; i < 17; ++i)
        text += "malloc L 268435456 0\nfree L\n";
    text += "counters\nresetmax\ngetmax\n";
    return text + kRest;
}

TEST(DecoratedNames, HostOfThePlatformCompilerSeesWhatTheGccHostSees) {
    const HostRun gcc = runProgram("script_host", std::string(kSettings), "script.txt", script());
    const HostRun decorated =
        runProgram("decorated_host", std::string(kSettings), "script.txt", script());
    ASSERT_TRUE(gcc.finished()) << gcc.out << gcc.err;
    ASSERT_TRUE(decorated.finished()) << decorated.out << decorated.err;
    EXPECT_EQ(decorated.exitCode, 0);
    Names gccNames(gcc), decoratedNames(decorated);
    EXPECT_EQ(decoratedNames.output(), gccNames.output());
    // The 64-bit counter, returned in two registers, went past 32 bits.
    std::istringstream counters(decorated.value("counters"));
    long long total = 0, accumulated = 0;
    counters >> total >> accumulated;
    EXPECT_GT(accumulated, 17LL << 28) << decorated.value("counters");
    // The callback, a function of the other compiler, received the report.
    ASSERT_EQ(decorated.errors().size(), 1u) << decorated.out;
    EXPECT_NE(decorated.errors()[0].find("twice"), std::string::npos) << decorated.errors()[0];

    for (const char* file : {"memoryHistogramAtExit.txt", "resourcesAtShutdown.txt"}) {
        ASSERT_TRUE(decorated.hasFile(file)) << file;
        EXPECT_EQ(decorated.file(file), gcc.file(file)) << file;
    }
    for (const char* file : {"leaks.txt", "all.txt", "active.txt", "churn.txt"}) {
        ASSERT_TRUE(decorated.hasFile(file)) << file;
        EXPECT_EQ(decoratedNames.file(withoutFrames(decorated.file(file))),
                  gccNames.file(withoutFrames(gcc.file(file))))
            << file;
    }
}

} // namespace

#endif // _WIN32
