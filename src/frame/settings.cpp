// MemorySettings.dat: whitespace-separated tokens, each known key followed by its value.
#include "frame/settings.h"

#include "frame/runtime_heap.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velt::zur::memory::detail {

Settings settings;

namespace {

constexpr std::size_t kTokenChars = 79;
constexpr std::size_t kLeakNameChars = 254;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A cursor over the settings text, with the stream operations the format is defined by.
class Reader {
public:
    Reader(const char* text, std::size_t length) : pos_(text), end_(text + length) {}

    bool atEnd() const { return pos_ >= end_; }

    void skipSpace() {
        while (pos_ < end_ && isSpace(*pos_))
            ++pos_;
    }

    // Skips whitespace, then copies up to `limit` non-whitespace characters and stores
    // their count in `count`; false at end.
    bool token(char* out, std::size_t limit, std::size_t& count) {
        skipSpace();
        std::size_t n = 0;
        while (pos_ < end_ && n < limit && !isSpace(*pos_))
            out[n++] = *pos_++;
        out[n] = '\0';
        count = n;
        return n > 0;
    }

    // A decimal integer with optional sign after optional whitespace. Values beyond the
    // 32-bit range saturate. When no digit follows, nothing but the whitespace is taken.
    bool integer(std::int32_t& value) {
        skipSpace();
        const char* p = pos_;
        bool negative = false;
        if (p < end_ && (*p == '+' || *p == '-'))
            negative = *p++ == '-';
        if (p >= end_ || *p < '0' || *p > '9')
            return false;
        long long magnitude = 0;
        while (p < end_ && *p >= '0' && *p <= '9') {
            if (magnitude <= 1LL << 32)
                magnitude = magnitude * 10 + (*p - '0');
            ++p;
        }
        long long signedValue = negative ? -magnitude : magnitude;
        if (signedValue > INT_MAX)
            signedValue = INT_MAX;
        if (signedValue < INT_MIN)
            signedValue = INT_MIN;
        value = static_cast<std::int32_t>(signedValue);
        pos_ = p;
        return true;
    }

private:
    const char* pos_;
    const char* end_;
};

void readFlag(Reader& in, bool& flag) {
    std::int32_t value = 0;
    flag = in.integer(value) && value != 0;
}

} // namespace

void applyAttachDefaults(Settings& s) {
    s.patterns = true;
    s.use_memoryUsedTag = true;
    s.tailguards = true;
    s.tailguard_length = 4;
}

void parseSettings(const char* text, std::size_t length, Settings& s) {
    Reader in(text, length);
    char token[kTokenChars + 1];
    std::size_t tokenLength = 0;
    while (!in.atEnd()) {
        if (!in.token(token, kTokenChars, tokenLength))
            break;
        // Only the whole token can match a key: one that holds a zero byte never does.
        if (std::strlen(token) != tokenLength) {
            in.skipSpace();
            continue;
        }
        std::int32_t value = 0;
        if (std::strcmp(token, "use_memoryDll") == 0) {
            readFlag(in, s.use_memoryDll);
        } else if (std::strcmp(token, "use_histogram") == 0) {
            readFlag(in, s.use_histogram);
        } else if (std::strcmp(token, "use_pools") == 0) {
            readFlag(in, s.use_pools);
        } else if (std::strcmp(token, "use_callstack") == 0) {
            readFlag(in, s.use_callstack);
        } else if (std::strcmp(token, "use_traceIdentifiers") == 0) {
            readFlag(in, s.use_traceIdentifiers);
        } else if (std::strcmp(token, "use_memoryUsedTag") == 0) {
            readFlag(in, s.use_memoryUsedTag);
        } else if (std::strcmp(token, "callstack_depth") == 0) {
            if (in.integer(value) && value >= 2 && value <= 999)
                s.callstack_depth = value;
        } else if (std::strcmp(token, "leakreport") == 0) {
            char name[kLeakNameChars + 1];
            std::size_t nameLength = 0;
            if (in.token(name, kLeakNameChars, nameLength))
                std::memcpy(s.leakreport, name, std::strlen(name) + 1);
            s.has_leakreport = true;
        } else if (std::strcmp(token, "frame_memory_csv") == 0) {
            char name[kLeakNameChars + 1];
            std::size_t nameLength = 0;
            if (in.token(name, kLeakNameChars, nameLength) && name[0] != '\0') {
                std::memcpy(s.frame_memory_csv, name, std::strlen(name) + 1);
                s.has_frame_memory_csv = true;
            }
        } else if (std::strcmp(token, "include_all") == 0) {
            readFlag(in, s.include_all);
        } else if (std::strcmp(token, "hash_size") == 0) {
            if (in.integer(value) && value > 1000)
                s.hash_size = value < kMaxHashSize ? value : kMaxHashSize;
        } else if (std::strcmp(token, "patterns") == 0) {
            readFlag(in, s.patterns);
        } else if (std::strcmp(token, "tailguards") == 0) {
            readFlag(in, s.tailguards);
        } else if (std::strcmp(token, "tailguard_length") == 0) {
            if (in.integer(value) && value >= 0 && value <= kMaxTailGuardLength)
                s.tailguard_length = value;
        } else if (std::strcmp(token, "use_valloc") == 0) {
            readFlag(in, s.use_valloc);
        } else if (std::strcmp(token, "use_qj7_tags") == 0) {
            readFlag(in, s.use_qj7_tags);
        }
        in.skipSpace();
    }
}

bool loadSettingsFile(const char* path, Settings& s) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    std::size_t capacity = 4096;
    std::size_t length = 0;
    char* text = static_cast<char*>(heapAllocate(capacity));
    while (text != nullptr) {
        length += std::fread(text + length, 1, capacity - length, file);
        if (length < capacity)
            break;
        char* grown = static_cast<char*>(heapAllocate(capacity * 2));
        if (grown != nullptr)
            std::memcpy(grown, text, length);
        heapRelease(text);
        text = grown;
        capacity *= 2;
    }
    std::fclose(file);
    if (text == nullptr)
        return true; // opened but unreadable: every setting stays at its default
    parseSettings(text, length, s);
    heapRelease(text);
    return true;
}

} // namespace velt::zur::memory::detail
