// A host built the way a program of the platform's own compiler is: clang in that
// compiler's mode (--target=i686-pc-windows-msvc, or
// x86_64-pc-windows-msvc for the 64-bit DLL) compiles it and lld-link links it
// against Quorrick.lib, so every call reaches the library through the decorated names.
// It has no C runtime: it starts at hostEntry, talks to the system through kernel32
// alone, and ends with ExitProcess, which unloads the library as a host's normal end does.
//
// It runs the script host's commands that call the library (tests/support/script_host.cpp)
// and prints the same lines, so that a test can run one script through both hosts and
// compare what they saw. Its output is written as the runtime's text mode writes it,
// every "\n" as "\r\n"; files are read back in the same way.
#include "Quorrick.h"

namespace qj = velt::zur::memory;

using size_t = decltype(sizeof 0);

// The few kernel32 functions the host needs, declared here instead of with the system
// headers, which this compiler mode does not have here.
extern "C" {
using HANDLE = void*;
__declspec(dllimport) void __stdcall ExitProcess(unsigned long code);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) char* __stdcall GetCommandLineA();
__declspec(dllimport) HANDLE
    __stdcall CreateFileA(const char* path, unsigned long access, unsigned long share,
                          void* security, unsigned long disposition, unsigned long flags,
                          HANDLE templateFile);
__declspec(dllimport) int __stdcall ReadFile(HANDLE file, void* buffer, unsigned long size,
                                             unsigned long* read, void* overlapped);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* buffer, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) int __stdcall CloseHandle(HANDLE handle);

// The compiler may turn loops and copies into calls of these two.
void* memset(void* target, int value, size_t size) {
    volatile unsigned char* t = static_cast<unsigned char*>(target);
    while (size-- > 0)
        *t++ = static_cast<unsigned char>(value);
    return target;
}
void* memcpy(void* target, const void* source, size_t size) {
    volatile unsigned char* t = static_cast<unsigned char*>(target);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    while (size-- > 0)
        *t++ = *s++;
    return target;
}
}

namespace {

constexpr unsigned long kStdOutput = static_cast<unsigned long>(-11);
constexpr unsigned long kGenericRead = 0x80000000ul;
constexpr unsigned long kShareRead = 1;
constexpr unsigned long kOpenExisting = 3;
const HANDLE kInvalidHandle = reinterpret_cast<HANDLE>(-1);

size_t length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

bool same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// One output line at a time, built up here and written whole.
class Line {
public:
    Line& operator<<(const char* text) {
        while (*text != '\0')
            put(*text++);
        return *this;
    }
    Line& operator<<(char c) {
        put(c);
        return *this;
    }
    // Decimal, from 32-bit steps only: 64-bit division would need the runtime's helpers.
    Line& number(long long value) {
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        if (value < 0) {
            put('-');
            magnitude = 0 - magnitude;
        }
        char digits[24];
        int n = 0;
        do {
            // Divides by ten sixteen bits at a time; each remainder stays below ten.
            unsigned remainder = 0;
            unsigned long long quotient = 0;
            for (int shift = 48; shift >= 0; shift -= 16) {
                const unsigned part =
                    (remainder << 16) | static_cast<unsigned>((magnitude >> shift) & 0xFFFF);
                quotient |= static_cast<unsigned long long>(part / 10) << shift;
                remainder = part % 10;
            }
            digits[n++] = static_cast<char>('0' + remainder);
            magnitude = quotient;
        } while (magnitude != 0);
        while (n > 0)
            put(digits[--n]);
        return *this;
    }
    Line& hex(const void* pointer) {
        const auto value = reinterpret_cast<__UINTPTR_TYPE__>(pointer);
        *this << "0x";
        bool leading = true;
        for (int shift = static_cast<int>(sizeof value) * 8 - 4; shift >= 0; shift -= 4) {
            const auto digit = static_cast<unsigned>((value >> shift) & 0xF);
            if (digit == 0 && leading && shift > 0)
                continue;
            leading = false;
            put("0123456789abcdef"[digit]);
        }
        return *this;
    }
    // Writes the line and its end.
    void say() {
        put('\n');
        flush();
    }

private:
    void put(char c) {
        if (c == '\n')
            add('\r');
        add(c);
    }
    void add(char c) {
        if (used_ == sizeof buffer_)
            flush();
        buffer_[used_++] = c;
    }
    void flush() {
        unsigned long written = 0;
        WriteFile(GetStdHandle(kStdOutput), buffer_, used_, &written, nullptr);
        used_ = 0;
    }
    char buffer_[4096];
    unsigned long used_ = 0;
};

Line out;

void recordingCallback(bool recoverable, const char* message) {
    (out << "ERR " << (recoverable ? "1 " : "0 ") << message).say();
}

// A whole file in text mode ("\r\n" read as "\n"), or an empty text if it cannot be read.
char fileText[1 << 20];

const char* readFile(const char* path) {
    fileText[0] = '\0';
    HANDLE file = CreateFileA(path, kGenericRead, kShareRead, nullptr, kOpenExisting, 0, nullptr);
    if (file == kInvalidHandle)
        return fileText;
    unsigned long size = 0;
    ReadFile(file, fileText, sizeof fileText - 1, &size, nullptr);
    CloseHandle(file);
    unsigned long kept = 0;
    for (unsigned long i = 0; i < size; ++i)
        if (!(fileText[i] == '\r' && i + 1 < size && fileText[i + 1] == '\n'))
            fileText[kept++] = fileText[i];
    fileText[kept] = '\0';
    return fileText;
}

// Named blocks and identifier cells, as the script names them.
constexpr int kNames = 256;
constexpr int kNameLength = 64;

struct Block {
    char name[kNameLength];
    void* pointer;
};
Block blocks[kNames];
int blockCount = 0;

struct Cell {
    char name[kNameLength];
    std::int32_t value;
};
Cell cells[kNames];
int cellCount = 0;

void copyName(char* target, const char* name) {
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < kNameLength; ++i)
        target[i] = name[i];
    target[i] = '\0';
}

void*& block(const char* name) {
    for (int i = 0; i < blockCount; ++i)
        if (same(blocks[i].name, name))
            return blocks[i].pointer;
    if (blockCount == kNames) {
        (out << "too many blocks").say();
        ExitProcess(2);
    }
    copyName(blocks[blockCount].name, name);
    blocks[blockCount].pointer = nullptr;
    return blocks[blockCount++].pointer;
}

std::int32_t& cell(const char* name) {
    for (int i = 0; i < cellCount; ++i)
        if (same(cells[i].name, name))
            return cells[i].value;
    if (cellCount == kNames) {
        (out << "too many cells").say();
        ExitProcess(2);
    }
    copyName(cells[cellCount].name, name);
    cells[cellCount].value = -1;
    return cells[cellCount++].value;
}

// The words of one script line, each ending in a zero byte; absent words read as "".
class Words {
public:
    explicit Words(char* line) : rest_(line) {}
    const char* next() {
        while (*rest_ == ' ' || *rest_ == '\t')
            ++rest_;
        if (*rest_ == '\0')
            return "";
        char* word = rest_;
        while (*rest_ != '\0' && *rest_ != ' ' && *rest_ != '\t')
            ++rest_;
        if (*rest_ != '\0')
            *rest_++ = '\0';
        return word;
    }
    // The rest of the line after the blank that ended the last word, as the script
    // host's "say" takes it.
    const char* remainder() const { return rest_; }
    // A decimal number, or `absent` when there is none; wraps to 32 bits as the script
    // host's conversions do.
    std::uint32_t number(std::uint32_t absent = 0) {
        const char* word = next();
        if (*word == '\0')
            return absent;
        const bool negative = *word == '-';
        if (negative)
            ++word;
        std::uint32_t value = 0;
        for (; *word >= '0' && *word <= '9'; ++word)
            value = value * 10 + static_cast<std::uint32_t>(*word - '0');
        return negative ? 0 - value : value;
    }
    std::int32_t signedNumber(std::int32_t absent = 0) {
        return static_cast<std::int32_t>(number(static_cast<std::uint32_t>(absent)));
    }

private:
    char* rest_;
};

void beginEnd(const char* text) { (out << "BEGIN\n" << text << "\nEND").say(); }

void run(char* line) {
    Words words(line);
    const char* cmd = words.next();
    if (*cmd == '\0' || *cmd == '#')
        return;
    if (same(cmd, "cb")) {
        qj::register_err_callback(&recordingCallback);
    } else if (same(cmd, "cbdefault")) {
        qj::register_err_callback(nullptr);
    } else if (same(cmd, "malloc")) {
        const char* name = words.next();
        const std::uint32_t size = words.number();
        const std::int32_t memoryName = words.signedNumber();
        void* p = qj::qj_malloc(size, memoryName);
        block(name) = p;
        (out << "ptr " << name << ' ').hex(p).say();
    } else if (same(cmd, "free")) {
        qj::qj_free(block(words.next()));
    } else if (same(cmd, "size")) {
        const char* name = words.next();
        (out << "size " << name << ' ').number(qj::getSizeOfAllocation(block(name))).say();
    } else if (same(cmd, "counters")) {
        out << "counters ";
        out.number(qj::get_total_bytes_allocated()) << ' ';
        out.number(qj::get_accumulated_bytes_allocated()) << ' ';
        out.number(qj::get_total_allocation_call_count()) << ' ';
        out.number(qj::get_accumulated_allocation_call_count()).say();
    } else if (same(cmd, "setmax")) {
        qj::set_max_alloc_size(words.number());
    } else if (same(cmd, "getmax")) {
        (out << "max ").number(qj::get_max_alloc_size()).say();
    } else if (same(cmd, "resetmax")) {
        qj::reset_max_alloc_size();
    } else if (same(cmd, "histcurrent")) {
        (out << "histcurrent ").number(qj::histogramCurrentUsedMemory()).say();
    } else if (same(cmd, "histpeak")) {
        (out << "histpeak ").number(qj::histogramPeakUsedMemory()).say();
    } else if (same(cmd, "histdump")) {
        qj::histogramDumpToFile(words.next());
    } else if (same(cmd, "histclearpeaks")) {
        qj::histogramClearPeaks();
    } else if (same(cmd, "histclearcurrent")) {
        qj::histogramClearCurrent();
    } else if (same(cmd, "addname")) {
        const char* name = words.next();
        (out << "name " << name << ' ').number(qj::addMemoryName(name)).say();
    } else if (same(cmd, "start")) {
        const char* c = words.next();
        const char* name = words.next();
        qj::startMemoryTrace(cell(c), name);
        (out << "cell " << c << ' ').number(cell(c)).say();
    } else if (same(cmd, "end")) {
        qj::endMemoryTrace(cell(words.next()));
    } else if (same(cmd, "endid")) {
        qj::endMemoryTrace(words.signedNumber());
    } else if (same(cmd, "setcell")) {
        const char* c = words.next();
        cell(c) = words.signedNumber();
    } else if (same(cmd, "visual")) {
        qj::nextVisualFrame();
    } else if (same(cmd, "physic")) {
        qj::nextPhysicFrame();
    } else if (same(cmd, "resalloc") || same(cmd, "resfree")) {
        const bool allocate = same(cmd, "resalloc");
        const char* c = words.next();
        const char* name = words.next();
        const std::int32_t size = words.signedNumber();
        if (allocate)
            qj::resourceTraceAllocate(cell(c), name, size);
        else
            qj::resourceTraceFree(cell(c), name, size);
        (out << "cell " << c << ' ').number(cell(c)).say();
    } else if (same(cmd, "tracereport")) {
        beginEnd(qj::memoryTraceReport());
    } else if (same(cmd, "tracereportfile")) {
        qj::memoryTraceReportToFile(words.next());
    } else if (same(cmd, "status")) {
        const char* path = words.next();
        beginEnd(qj::getStatus(*path == '\0' ? nullptr : path));
    } else if (same(cmd, "dumpall")) {
        const char* path = words.next();
        const std::int32_t id = words.signedNumber(-1);
        (out << "dump " << qj::dump_allocations_to_file(path, id)).say();
    } else if (same(cmd, "dumpactive")) {
        (out << "dump " << qj::dump_active_allocations_to_file(words.next())).say();
    } else if (same(cmd, "churn")) {
        const char* path = words.next();
        const std::int32_t count = words.signedNumber();
        (out << "dump " << qj::dump_frame_churn_to_file(path, count)).say();
    } else if (same(cmd, "modules")) {
        qj::memory_update_modules(nullptr);
    } else if (same(cmd, "zero")) {
        qj::set_all_allocations_to_zero();
    } else if (same(cmd, "tracereset")) {
        qj::memoryTraceReset();
    } else if (same(cmd, "debugstr")) {
        static char buffer[64];
        for (char& c : buffer)
            c = 'x';
        qj::get_callstack_debug_str(buffer, 1, 2);
        (out << "debugstr " << buffer << ' ').number(static_cast<long long>(length(buffer))).say();
    } else if (same(cmd, "cat")) {
        beginEnd(readFile(words.next()));
    } else if (same(cmd, "say")) {
        (out << words.remainder()).say();
    } else if (same(cmd, "exit")) {
        ExitProcess(words.number());
    } else {
        (out << "unknown command " << cmd).say();
        ExitProcess(2);
    }
}

// The program's one argument, the script's path: the command line after the program's
// own name, which may be quoted.
const char* scriptPath() {
    char* c = GetCommandLineA();
    if (*c == '"') {
        for (++c; *c != '\0' && *c != '"'; ++c) {
        }
        if (*c == '"')
            ++c;
    } else {
        while (*c != '\0' && *c != ' ' && *c != '\t')
            ++c;
    }
    while (*c == ' ' || *c == '\t')
        ++c;
    char* end = c + length(c);
    while (end > c && (end[-1] == ' ' || end[-1] == '\t'))
        *--end = '\0';
    return c;
}

char script[1 << 20];

} // namespace

extern "C" void hostEntry() {
    const char* path = scriptPath();
    if (*path == '\0') {
        (out << "usage: decorated_host SCRIPT").say();
        ExitProcess(2);
    }
    const char* text = readFile(path);
    memcpy(script, text, length(text) + 1);
    for (char* line = script; *line != '\0';) {
        char* end = line;
        while (*end != '\0' && *end != '\n')
            ++end;
        char* next = *end == '\0' ? end : end + 1;
        *end = '\0';
        if (end > line && end[-1] == '\r')
            end[-1] = '\0';
        run(line);
        line = next;
    }
    (out << "done").say();
    ExitProcess(0);
}
