// Fuzz target: the settings parser on arbitrary file contents.
//
// Besides running under the sanitizers, every input is also parsed by a small reference
// reader written here from the file format's rules (tokens of at most 79 characters, a flag
// key without an integer turns the flag off and leaves the word for the next token, ranges
// for the numbers, the later value wins), and both results must agree exactly.
#include "frame/settings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using velt::zur::memory::detail::applyAttachDefaults;
using velt::zur::memory::detail::parseSettings;
using velt::zur::memory::detail::Settings;

namespace {

bool space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct Reference {
    const std::string& t;
    std::size_t i = 0;

    void skip() {
        while (i < t.size() && space(static_cast<unsigned char>(t[i])))
            ++i;
    }
    std::string word(std::size_t limit) {
        skip();
        const std::size_t start = i;
        while (i < t.size() && i - start < limit && !space(static_cast<unsigned char>(t[i])))
            ++i;
        return t.substr(start, i - start);
    }
    // Returns false (and consumes only whitespace) when no digit follows the optional sign.
    bool number(long long& out) {
        skip();
        std::size_t j = i;
        bool minus = false;
        if (j < t.size() && (t[j] == '-' || t[j] == '+'))
            minus = t[j++] == '-';
        if (j >= t.size() || t[j] < '0' || t[j] > '9')
            return false;
        long long v = 0;
        for (; j < t.size() && t[j] >= '0' && t[j] <= '9'; ++j)
            v = v > 10000000000LL ? v : v * 10 + (t[j] - '0');
        i = j;
        v = minus ? -v : v;
        out = v > 2147483647LL ? 2147483647LL : (v < -2147483648LL ? -2147483648LL : v);
        return true;
    }
};

Settings reference(const std::string& text) {
    Settings s;
    applyAttachDefaults(s);
    Reference r{text};
    const struct {
        const char* key;
        bool Settings::*flag;
    } flags[] = {{"use_memoryDll", &Settings::use_memoryDll},
                 {"use_histogram", &Settings::use_histogram},
                 {"use_pools", &Settings::use_pools},
                 {"use_callstack", &Settings::use_callstack},
                 {"use_traceIdentifiers", &Settings::use_traceIdentifiers},
                 {"use_memoryUsedTag", &Settings::use_memoryUsedTag},
                 {"include_all", &Settings::include_all},
                 {"patterns", &Settings::patterns},
                 {"tailguards", &Settings::tailguards},
                 {"use_valloc", &Settings::use_valloc},
                 {"use_qj7_tags", &Settings::use_qj7_tags}};
    for (;;) {
        const std::string key = r.word(79);
        if (key.empty())
            break;
        long long v = 0;
        bool known = false;
        for (const auto& f : flags)
            if (key == f.key) {
                s.*f.flag = r.number(v) && v != 0;
                known = true;
            }
        if (known)
            continue;
        if (key == "callstack_depth") {
            if (r.number(v) && v >= 2 && v <= 999)
                s.callstack_depth = static_cast<std::int32_t>(v);
        } else if (key == "hash_size") {
            if (r.number(v) && v > 1000)
                s.hash_size = static_cast<std::int32_t>(v < (1 << 22) ? v : (1 << 22));
        } else if (key == "tailguard_length") {
            if (r.number(v) && v >= 0 && v <= 4096)
                s.tailguard_length = static_cast<std::int32_t>(v);
        } else if (key == "leakreport") {
            const std::string name = r.word(254);
            if (!name.empty())
                std::memcpy(s.leakreport, name.c_str(), name.size() + 1);
            s.has_leakreport = true;
        } else if (key == "frame_memory_csv") {
            const std::string name = r.word(254);
            if (!name.empty() && name[0] != '\0') {
                std::memcpy(s.frame_memory_csv, name.c_str(), name.size() + 1);
                s.has_frame_memory_csv = true;
            }
        }
    }
    return s;
}

void require(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Settings parsed;
    applyAttachDefaults(parsed);
    parseSettings(text.data(), text.size(), parsed);

    require(parsed.callstack_depth >= 2 && parsed.callstack_depth <= 999);
    require(parsed.hash_size > 1000 && parsed.hash_size <= (1 << 22));
    require(parsed.tailguard_length >= 0 && parsed.tailguard_length <= 4096);
    require(std::memchr(parsed.leakreport, '\0', sizeof parsed.leakreport) != nullptr);
    require(std::strlen(parsed.leakreport) <= 254);

    const Settings expected = reference(text);
    require(parsed.use_memoryDll == expected.use_memoryDll);
    require(parsed.use_histogram == expected.use_histogram);
    require(parsed.use_pools == expected.use_pools);
    require(parsed.use_callstack == expected.use_callstack);
    require(parsed.use_traceIdentifiers == expected.use_traceIdentifiers);
    require(parsed.use_memoryUsedTag == expected.use_memoryUsedTag);
    require(parsed.callstack_depth == expected.callstack_depth);
    require(parsed.include_all == expected.include_all);
    require(parsed.hash_size == expected.hash_size);
    require(parsed.patterns == expected.patterns);
    require(parsed.tailguards == expected.tailguards);
    require(parsed.tailguard_length == expected.tailguard_length);
    require(parsed.use_valloc == expected.use_valloc);
    require(parsed.use_qj7_tags == expected.use_qj7_tags);
    require(parsed.has_leakreport == expected.has_leakreport);
    require(std::strcmp(parsed.leakreport, expected.leakreport) == 0);
    require(std::memchr(parsed.frame_memory_csv, '\0', sizeof parsed.frame_memory_csv) != nullptr);
    require(parsed.has_frame_memory_csv == expected.has_frame_memory_csv);
    require(std::strcmp(parsed.frame_memory_csv, expected.frame_memory_csv) == 0);
    return 0;
}
