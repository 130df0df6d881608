// MemorySettings.dat: whitespace-separated tokens, each known key followed by its value.
#include "frame/settings.h"
#include "platform/platform.h"

#include "frame/runtime_heap.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velt::zur::memory::detail {

Settings settings;

namespace {

constexpr std::size_t kTokenChars = 79;

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

// How each kind of key takes its value; see settings.inc.
void readFlag(Reader& in, bool& flag) {
    std::int32_t value = 0;
    flag = in.integer(value) && value != 0;
}

void readRange(Reader& in, std::int32_t& setting, std::int32_t low, std::int32_t high) {
    std::int32_t value = 0;
    if (in.integer(value) && value >= low && value <= high)
        setting = value;
}

void readCapped(Reader& in, std::int32_t& setting, std::int32_t low, std::int32_t high) {
    std::int32_t value = 0;
    if (in.integer(value) && value >= low)
        setting = value < high ? value : high;
}

// The key counts as read even when no name follows it; the name keeps what it held.
template <std::size_t Size>
void readName(Reader& in, char (&setting)[Size], bool& read, std::size_t longest) {
    char name[Size];
    std::size_t nameLength = 0;
    if (in.token(name, longest, nameLength))
        std::memcpy(setting, name, std::strlen(name) + 1);
    read = true;
}

// Only a name that follows the key counts; without one the setting keeps what it held.
template <std::size_t Size>
void readGivenName(Reader& in, char (&setting)[Size], bool& given, std::size_t longest) {
    char name[Size];
    std::size_t nameLength = 0;
    if (in.token(name, longest, nameLength) && name[0] != '\0') {
        std::memcpy(setting, name, std::strlen(name) + 1);
        given = true;
    }
}

#define QJ_READ_Flag(key, low, high) readFlag(in, s.key)
#define QJ_READ_Range(key, low, high) readRange(in, s.key, low, high)
#define QJ_READ_Capped(key, low, high) readCapped(in, s.key, low, high)
#define QJ_READ_Name(key, low, high)                                                              \
    static_assert((high) < sizeof s.key, "the name and its terminator fit the member");          \
    readName(in, s.key, s.has_##key, high)
#define QJ_READ_GivenName(key, low, high)                                                         \
    static_assert((high) < sizeof s.key, "the name and its terminator fit the member");          \
    readGivenName(in, s.key, s.has_##key, high)

struct Key {
    const char* name;
    void (*read)(Reader& in, Settings& s);
};

// Every key of settings.inc with the reader of its kind.
#define QJ_SETTING(kind, key, def, low, high, doc)                                                \
    {#key, [](Reader& in, Settings& s) { QJ_READ_##kind(key, low, high); }},
constexpr Key kKeys[] = {
#include "frame/settings.inc"
};
#undef QJ_SETTING

} // namespace

void applyAttachDefaults(Settings& s) { s = Settings{}; }

void parseSettings(const char* text, std::size_t length, Settings& s) {
    Reader in(text, length);
    char token[kTokenChars + 1];
    std::size_t tokenLength = 0;
    while (!in.atEnd()) {
        if (!in.token(token, kTokenChars, tokenLength))
            break;
        // Only the whole token can match a key: one that holds a zero byte never does.
        // Anything that is not a key is passed over.
        if (std::strlen(token) == tokenLength) {
            for (const Key& key : kKeys) {
                if (std::strcmp(token, key.name) == 0) {
                    key.read(in, s);
                    break;
                }
            }
        }
        in.skipSpace();
    }
}

void loadSettingsEnvironment(Settings& s) {
    const char* text = std::getenv("QUORRICK_SETTINGS");
    if (text != nullptr)
        parseSettings(text, std::strlen(text), s);
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
    // Read as the runtime's text mode reads it: where a character ends a text file, the
    // settings end there.
    if (platform::kTextFileEnd >= 0)
        if (const void* end = std::memchr(text, platform::kTextFileEnd, length))
            length = static_cast<std::size_t>(static_cast<const char*>(end) - text);
    parseSettings(text, length, s);
    heapRelease(text);
    return true;
}

} // namespace velt::zur::memory::detail
