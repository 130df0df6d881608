// The corruption matrix: every misuse the library promises to catch, against the settings
// that change its outcome, each case in a fresh host process.
//
// corruption_matrix.tsv says what each case must show; this file only enumerates the
// cases and performs the misuses. For every case it checks the exact texts and their
// number, the live counters, that no byte next to the misused block changed (the bytes of
// its neighbours, and for a pooled block the whole of the neighbouring chunks), that the
// host went on after the callback returned, and that the failure flag is set exactly when
// a report was made (a later allocation is then a plain block of size 0, uncharged).
//
// The switches that a misuse's rules name are crossed in full; the others take values
// that rotate from case to case, so that every value of every switch meets every misuse
// without crossing them all. The figures of the run are printed at the end, and written
// to the file named by QJ_MATRIX_FIGURES when that variable is set.
#include "corruption_matrix_data.h"
#include "host_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using qjtest::hex;

namespace {

// --- The rules -----------------------------------------------------------------------

struct Rule {
    enum Kind { Texts, Undetectable, NotRun };
    std::string misuse;
    std::vector<std::string> when;
    std::string counters;
    Kind kind = Texts;
    std::vector<std::string> texts; // Texts
    std::string why;                // Undetectable, NotRun
    int line = 0;
};

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos)
            return parts;
        from = at + separator.size();
    }
}

std::vector<Rule> parseRules(const std::string& text) {
    std::vector<Rule> rules;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> fields = split(line, "\t");
        if (fields.size() != 4)
            throw std::runtime_error("corruption_matrix.tsv:" + std::to_string(number) + ": 4 fields expected");
        Rule rule;
        rule.misuse = fields[0];
        if (fields[1] != "*")
            rule.when = split(fields[1], ",");
        rule.counters = fields[2];
        rule.line = number;
        if (fields[3].rfind("undetectable: ", 0) == 0) {
            rule.kind = Rule::Undetectable;
            rule.why = fields[3].substr(14);
        } else if (fields[3].rfind("not run: ", 0) == 0) {
            rule.kind = Rule::NotRun;
            rule.why = fields[3].substr(9);
        } else {
            rule.texts = split(fields[3], " | ");
        }
        rules.push_back(rule);
    }
    return rules;
}

const std::vector<Rule>& rules() {
    static const std::vector<Rule> all = parseRules(kCorruptionMatrix);
    return all;
}

// The first rule of `misuse` whose conditions all hold; `facts` holds the conditions
// that are true. Conditions on the pointer's position are unknown before a run: with
// `positionKnown` false a rule that names one matches nothing.
const Rule* ruleFor(const std::string& misuse, const std::set<std::string>& facts, bool positionKnown) {
    static const std::set<std::string> positions = {"inside", "outside", "below", "above"};
    for (const Rule& rule : rules()) {
        if (rule.misuse != misuse)
            continue;
        bool holds = true;
        for (const std::string& condition : rule.when) {
            const bool negated = condition[0] == '!';
            const std::string name = negated ? condition.substr(1) : condition;
            if (!positionKnown && positions.count(name) != 0) {
                holds = false;
                break;
            }
            if ((facts.count(name) != 0) == negated) {
                holds = false;
                break;
            }
        }
        if (holds)
            return &rule;
    }
    return nullptr;
}

// --- Settings and the block layout ---------------------------------------------------

enum Axis { UsedTag, Patterns, Guard, Tags, CallStack, Trace, Pools, Valloc, Thread, kAxes };
const char* const kAxisNames[kAxes] = {"usedtag", "patterns", "guard", "tags", "callstack",
                                       "trace",   "pools",    "valloc", "thread"};
// Tail guard values: a length, or -1 for tail guards off. The first is the default.
constexpr int kGuards[] = {4, -1, 0, 1, 13};

int axisSize(Axis a) { return a == Guard ? 5 : 2; }

struct Switches {
    int value[kAxes] = {}; // index into the axis's values; 0 is the default setting

    bool on(Axis a) const { // for the two-valued axes: is the switch on
        switch (a) {
        case UsedTag:
        case Patterns:
        case Pools:
            return value[a] == 0;
        default:
            return value[a] == 1;
        }
    }
    void set(Axis a, bool wanted) {
        value[a] = (a == UsedTag || a == Patterns || a == Pools) ? (wanted ? 0 : 1) : (wanted ? 1 : 0);
    }
    int guard() const { return kGuards[value[Guard]]; }
    bool otherThread() const { return value[Thread] == 1; }

    std::string file() const {
        const int g = guard();
        std::ostringstream out;
        out << "use_memoryUsedTag " << on(UsedTag) << " patterns " << on(Patterns) << " tailguards "
            << (g >= 0) << " tailguard_length " << (g >= 0 ? g : 4) << " use_qj7_tags " << on(Tags)
            << " use_callstack " << on(CallStack) << " use_traceIdentifiers " << on(Trace)
            << " use_pools " << on(Pools) << " use_valloc " << on(Valloc) << "\n";
        return out.str();
    }
    std::string label() const {
        std::ostringstream out;
        out << (on(UsedTag) ? "usedtag" : "no-usedtag") << ' ' << (on(Patterns) ? "patterns" : "no-patterns")
            << " guard:" << (guard() < 0 ? std::string("off") : std::to_string(guard()))
            << (on(Tags) ? " tags" : "") << (on(CallStack) ? " callstack" : "") << (on(Trace) ? " trace" : "")
            << (on(Pools) ? " pools" : " no-pools") << (on(Valloc) ? " pageguard-mode" : "")
            << (otherThread() ? " other-thread" : " main-thread");
        return out.str();
    }
};

// The words of a block under these switches, from the block layout rules.
struct Layout {
    long ut, tg, cs, tw, gl;
    explicit Layout(const Switches& s)
        : ut(s.on(UsedTag) ? 4 : 0), tg(s.on(Tags) ? 4 : 0), cs(s.on(CallStack) ? 4 : 0),
          tw(s.on(Trace) ? 4 : 0), gl(s.guard() > 0 ? s.guard() : 0) {}
    long head() const { return ut + tg + 4 + cs + tw; }     // block start to user pointer
    long overhead() const { return head() + gl + tg; }      // gross minus requested
    long userSize(long requested) const { return requested + 2 * tg + gl; } // getSizeOfAllocation
};

enum Source { Heap, Pooled, PageGuard, Large };
const char* const kSourceNames[] = {"heap", "pooled", "pageguard", "large"};

long requestedFor(Source source, const Switches& s) {
    switch (source) {
    case Heap:
        return s.on(Valloc) ? 5000 : 200; // past the pool classes and the page-guard sizes
    case Pooled:
    case PageGuard:
        return 24;
    case Large:
        return 200000;
    }
    return 0;
}

// Forces the switches a source needs; false when that changed an axis the case crosses.
bool applySource(Source source, Switches& s, unsigned crossed) {
    Switches before = s;
    if (source == Pooled) {
        s.set(Pools, true);
        s.set(Valloc, false);
        s.value[Thread] = 0; // pooled blocks are made on the main thread
    } else if (source == PageGuard) {
        s.set(Valloc, true);
    }
    for (int a = 0; a < kAxes; ++a)
        if ((crossed & (1u << a)) != 0 && before.value[a] != s.value[a])
            return false;
    return true;
}

// --- Cases ---------------------------------------------------------------------------

struct Case {
    std::size_t fixture = 0; // index in fixtures()
    std::string misuse;  // the rule key
    std::string variant; // which form of the misuse
    long param = 0;      // its number (offset, byte count, link value)
    Switches s;
    Source source = Heap;
    bool releaseOther = false; // a pooled block released on the other thread
    long size = 0;             // the requested size, when not the source's usual one

    long requested() const { return size != 0 ? size : requestedFor(source, s); }
    long gross() const { return requested() + Layout(s).overhead(); }
    std::string blockThread() const { return s.otherThread() && source != Pooled ? "t " : ""; }
    std::string label() const {
        return misuse + "/" + variant + " " + kSourceNames[source] + " " + s.label() +
               (releaseOther ? " released-on-other-thread" : "");
    }
    std::set<std::string> facts() const {
        std::set<std::string> f = {kSourceNames[source], sizeof(void*) == 8 ? "bits64" : "bits32"};
#if defined(_WIN32)
        f.insert("windows");
#endif
        for (Axis a : {UsedTag, Patterns, Tags, CallStack, Trace})
            if (s.on(a))
                f.insert(kAxisNames[a]);
        if (Layout(s).gl > 0)
            f.insert("guard");
        if (releaseOther)
            f.insert("other");
        return f;
    }
};

// A memory region compared before and after the misuse: from block `from` + offset to
// block `to` + offset.
struct Region {
    std::string label, from;
    long fromOffset;
    std::string to;
    long toOffset;
};

// What a case runs. The runner wraps it: setup, regions, prepare, counters, misuse,
// counters, regions, then the degraded-mode probe.
struct Plan {
    std::string first;   // before the worker thread exists
    std::string setup;   // blocks made
    std::string prepare; // steps before the misuse (a first release, a write)
    std::string misuse;  // the misuse itself
    std::vector<Region> regions;
    std::string pointer;        // name of the released pointer ({P}), or a literal "0x..."
    std::vector<std::string> guarded; // blocks that bound the range
    std::string chainFirst;     // the first block of the MemoryPool a chain index names
    bool sameChunk = false;     // the allocation of the misuse takes the misused chunk
};

std::string pokeBytes(const std::string& thread, const std::string& block, long offset, long count,
                      const char* byte) {
    std::string line = thread + "poke " + block + " " + std::to_string(offset);
    for (long i = 0; i < count; ++i)
        line += std::string(" ") + byte;
    return line + "\n";
}

std::string pokeWord(const std::string& block, long offset, std::uint32_t word) {
    char text[64];
    std::snprintf(text, sizeof text, "poke %s %ld %02x %02x %02x %02x\n", block.c_str(), offset,
                  word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF, word >> 24);
    return text;
}

// Three blocks in a row, L, A and R, and the bytes around A that must not change.
void threeBlocks(const Case& c, Plan& plan) {
    const std::string t = c.blockThread();
    const std::string n = std::to_string(c.requested());
    plan.setup = t + "malloc L " + n + " 0\n" + t + "malloc A " + n + " 0\n" + t + "malloc R " + n + " 0\n";
    const long h = Layout(c.s).head();
    const long g = c.gross();
    if (c.source == Pooled) {
        // Consecutive chunks: everything from L's start to A's, and from A's end to R's.
        plan.regions = {{"before", "L", -h, "A", -h}, {"after", "A", g - h, "R", g - h}};
    } else {
        plan.regions = {{"left", "L", -h, "L", g - h}, {"right", "R", -h, "R", g - h}};
        if (c.source == PageGuard) // A's page in front of the block
            plan.regions.push_back({"page", "A", g - h - 4096, "A", -h});
    }
    plan.pointer = "A";
    plan.guarded = {"L", "A", "R"};
}

// Each fixture: the misuse's forms, the sources it applies to, the axes its rules name,
// and how many rounds of rotating values the other axes get.
struct Fixture {
    const char* name;
    std::vector<Source> sources;
    std::vector<Axis> crossed;
    int rounds;
    // The forms of the misuse for these switches (misuse key, variant, parameter); may
    // force switches the misuse needs, and returns nothing to skip the combination.
    std::vector<Case> (*forms)(Case base);
    void (*plan)(const Case& c, Plan& plan);
};

Case form(Case c, const std::string& misuse, const std::string& variant, long param = 0) {
    c.misuse = misuse;
    c.variant = variant;
    c.param = param;
    return c;
}

const std::vector<Fixture>& fixtures() {
    static const std::vector<Fixture> all = {
        {"bad_pointer", {Heap}, {}, 6,
         [](Case c) {
             return std::vector<Case>{form(c, "bad_pointer_dd", "0xdddddddd"),
                                      form(c, "bad_pointer_cd", "0xcdcdcdcd")};
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.misuse = c.blockThread() + "freeaddr " + c.variant + "\n";
         }},
        {"double_release", {Heap, Pooled, PageGuard, Large}, {UsedTag, Patterns, Tags, Thread}, 1,
         [](Case c) { return std::vector<Case>{form(c, "double_release", "twice")}; },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.prepare = c.blockThread() + "free A\n";
             p.misuse = c.blockThread() + "free A\n";
         }},
        {"foreign", {Heap, Pooled, PageGuard, Large}, {UsedTag, Thread}, 1,
         [](Case c) {
             return std::vector<Case>{
                 form(c, "foreign_runtime", "runtime-block"), form(c, "foreign_interior", "interior"),
                 form(c, "foreign_stack", "stack"), form(c, "foreign_noaccess", "page-low"),
                 form(c, "foreign_noaccess", "page-high"), form(c, "foreign_edge", "below"),
                 form(c, "foreign_edge", "above"), form(c, "foreign_unmapped", "hole")};
         },
         [](const Case& c, Plan& p) {
             const std::string t = c.blockThread();
             const std::string n = std::to_string(c.requested());
             const long h = Layout(c.s).head();
             const long g = c.gross();
             // A runtime block between two of the library's, made on the same thread.
             p.setup = t + "malloc A " + n + " 0\n" + (c.variant == "runtime-block" ? t + "runtime F 64\n" : "") +
                       t + "malloc B " + n + " 0\n";
             p.regions = {{"A", "A", -h, "A", g - h}, {"B", "B", -h, "B", g - h}};
             p.guarded = {"A", "B"};
             if (c.variant == "runtime-block") {
                 p.regions.push_back({"F", "F", 0, "F", 64});
                 p.misuse = t + "free F\n";
                 p.pointer = "F";
             } else if (c.variant == "interior") {
                 p.misuse = t + "freeinterior A B 16\n";
                 p.pointer = "interior";
             } else if (c.variant == "stack") {
                 p.misuse = t + "freestack\n";
                 p.pointer = "stack";
             } else if (c.variant == "page-low") { // the lowest page is never mapped
                 p.misuse = t + "freeaddr 0x1000\n";
                 p.pointer = "0x1000";
             } else if (c.variant == "hole") {
                 // A large block's mapping lies far from the runtime heap that holds a
                 // block of a size no pool or guard page serves; between them lies
                 // unmapped address space.
                 p.setup += t + "malloc L 1000000 0\n" + t + "malloc S 5000 0\n";
                 p.misuse = t + "hole L S\n" + t + "free hole\n";
                 p.pointer = "hole";
             } else if (c.variant == "page-high") {
                 // Mapped before anything else, so above every later mapping.
                 p.first = "noaccess N\n";
                 p.misuse = t + "free N\n";
                 p.pointer = "N";
             } else {
                 p.misuse = t + "freeedge " + c.variant + "\n";
                 p.pointer = "edge";
             }
         }},
        {"tail_guard", {Heap, Pooled, PageGuard, Large}, {Guard, Tags, Thread}, 1,
         [](Case c) {
             std::vector<Case> forms;
             const int g = c.s.guard();
             if (c.source == Pooled && c.s.otherThread() && g > 0) {
                 c.releaseOther = true; // the crossed thread axis is the releasing thread
                 c.s.value[Thread] = 0;
             } else if (c.source == Pooled && c.s.otherThread()) {
                 return forms;
             }
             for (int k = 0; k < g; ++k)
                 forms.push_back(form(c, "tail_guard", "guard byte " + std::to_string(k), k));
             if (g <= 0 && c.s.on(Tags))
                 forms.push_back(form(c, "end_tag", "end tag byte 0", 0));
             return forms;
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.prepare = c.blockThread() + "poke A " + std::to_string(c.requested() + c.param) + " 98\n";
             p.misuse = (c.releaseOther ? "t " : c.blockThread()) + "free A\n";
         }},
        {"underrun_used_tag", {Heap, Pooled, PageGuard, Large}, {}, 4,
         [](Case c) {
             std::vector<Case> forms;
             c.s.set(UsedTag, true);
             for (int bytes = 1; bytes <= 4; ++bytes)
                 forms.push_back(form(c, "underrun_used_tag", std::to_string(bytes) + " byte(s) of the used tag", bytes));
             return forms;
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             const long reach = Layout(c.s).head() - 4 + c.param;
             p.prepare = pokeBytes(c.blockThread(), "A", -reach, reach, "00");
             p.misuse = c.blockThread() + "free A\n";
         }},
        {"underrun_header", {Heap, Pooled, PageGuard, Large}, {CallStack, Trace}, 1,
         [](Case c) {
             return std::vector<Case>{form(c, "underrun_header_zero", "header word zeroed"),
                                      form(c, "underrun_header_ones", "header word all ones"),
                                      form(c, "underrun_header_top", "header's top byte 0x41")};
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             const Layout l(c.s);
             const std::string t = c.blockThread();
             if (c.misuse == "underrun_header_zero")
                 p.prepare = pokeBytes(t, "A", -(l.tw + l.cs + 4), l.tw + l.cs + 4, "00");
             else if (c.misuse == "underrun_header_ones")
                 p.prepare = pokeBytes(t, "A", -(l.tw + l.cs + 4), l.tw + l.cs + 4, "ff");
             else
                 p.prepare = pokeBytes(t, "A", -(l.tw + l.cs + 1), l.tw + l.cs + 1, "41");
             p.misuse = t + "free A\n";
         }},
        {"underrun_header_chain", {Pooled}, {CallStack, Trace, UsedTag, Tags}, 1,
         [](Case c) {
             // Blocks of the largest class, 88 bytes gross.
             c.size = 88 - Layout(c.s).overhead();
             return std::vector<Case>{form(c, "underrun_header_chain", "chain index 1 -> 0")};
         },
         [](const Case& c, Plan& p) {
             // The first MemoryPool of the class holds 0x100000 / 88 chunks. A is the first
             // chunk of the second MemoryPool; the underrun clears its chain index.
             const Layout l(c.s);
             const long g = c.gross();
             const std::string n = std::to_string(c.requested());
             p.setup = "mallocn X " + n + " " + std::to_string(0x100000 / 88) + "\nmalloc A " + n + " 0\nmalloc R " + n + " 0\n";
             p.regions = {{"first", "X", -l.head(), "X", g - l.head()},
                          {"after", "A", g - l.head(), "R", g - l.head()}};
             p.prepare = pokeBytes("", "A", -(l.tw + l.cs + 2), l.tw + l.cs + 2, "00");
             p.misuse = "free A\n";
             p.pointer = "A";
             p.guarded = {"X", "A", "R"};
             p.chainFirst = "X";
         }},
        {"header_size_grown", {Heap, Pooled, PageGuard, Large}, {Guard, CallStack}, 1,
         [](Case c) { return std::vector<Case>{form(c, "header_size_grown", "size in the header 16 bytes larger")}; },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             // A bigger block made first, so that the larger size is one a block can have.
             p.setup = c.blockThread() + "malloc Big 2000 0\n" + p.setup;
             const Layout l(c.s);
             const std::uint32_t flags = (c.s.on(CallStack) ? 1u : 0u) | (c.source == Pooled ? 2u : 0u);
             const auto grown = static_cast<std::uint32_t>(c.gross() + 16);
             p.prepare = c.blockThread() + pokeWord("A", -(4 + l.tw + l.cs), grown << 2 | flags);
             p.misuse = c.blockThread() + "free A\n";
         }},
        {"underrun_words", {Heap, Pooled, PageGuard, Large}, {CallStack, Trace}, 1,
         [](Case c) {
             if (!c.s.on(CallStack) && !c.s.on(Trace))
                 return std::vector<Case>{};
             return std::vector<Case>{form(c, "underrun_words", "AllocInfo and trace words 0x41")};
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             const Layout l(c.s);
             p.prepare = pokeBytes(c.blockThread(), "A", -(l.tw + l.cs), l.tw + l.cs, "41");
             p.misuse = c.blockThread() + "free A\n";
         }},
        {"fill_first_word", {Heap, Pooled, PageGuard, Large}, {UsedTag, Tags}, 1,
         [](Case c) { return std::vector<Case>{form(c, "fill_first_word", "0xdddddddd at the block start")}; },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.prepare = pokeBytes(c.blockThread(), "A", -Layout(c.s).head(), 4, "dd");
             p.misuse = c.blockThread() + "free A\n";
         }},
        {"other_thread", {Pooled}, {}, 8,
         [](Case c) {
             c.releaseOther = true;
             return std::vector<Case>{form(c, "other_thread", "pooled block")};
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.misuse = "t free A\n";
         }},
        {"link", {Pooled}, {UsedTag, Tags}, 1,
         [](Case c) {
             return std::vector<Case>{form(c, "link_below", "link 0x00001000", 0x00001000),
                                      form(c, "link_past", "link 0xfffffff0", static_cast<long>(0xfffffff0u)),
                                      form(c, "link_fill", "link 0xdddddddd", static_cast<long>(0xddddddddu))};
         },
         [](const Case& c, Plan& p) {
             threeBlocks(c, p);
             p.prepare = "free A\n" + pokeWord("A", -Layout(c.s).head(), static_cast<std::uint32_t>(c.param));
             p.misuse = "malloc B " + std::to_string(c.requested()) + " 0\n";
             p.sameChunk = true;
         }},
    };
    return all;
}

std::uint64_t mix(std::uint64_t x) { // splitmix64
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t nameSeed(const char* name) {
    std::uint64_t h = 1469598103934665603ull;
    for (; *name != '\0'; ++name)
        h = (h ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
    return h;
}

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (const Fixture& f : fixtures()) {
        unsigned crossed = 0;
        int combinations = 1;
        for (Axis a : f.crossed) {
            crossed |= 1u << a;
            combinations *= axisSize(a);
        }
        std::set<std::string> seen;
        std::uint64_t serial = nameSeed(f.name);
        for (int round = 0; round < f.rounds; ++round) {
            for (int n = 0; n < combinations; ++n) {
                for (Source source : f.sources) {
                    Case base;
                    base.source = source;
                    int rest = n;
                    for (Axis a : f.crossed) {
                        base.s.value[a] = rest % axisSize(a);
                        rest /= axisSize(a);
                    }
                    ++serial;
                    for (int a = 0; a < kAxes; ++a)
                        if ((crossed & (1u << a)) == 0)
                            base.s.value[a] = static_cast<int>(mix(serial * kAxes + static_cast<unsigned>(a)) %
                                                               static_cast<unsigned>(axisSize(static_cast<Axis>(a))));
                    base.fixture = static_cast<std::size_t>(&f - fixtures().data());
                    // A combination whose crossed switches the source overrides is
                    // another combination's case.
                    for (Case c : f.forms(base))
                        if (applySource(source, c.s, crossed) && seen.insert(c.label()).second)
                            cases.push_back(c);
                }
            }
        }
    }
    return cases;
}

// --- Running and judging one case ----------------------------------------------------

struct Outcome {
    bool run = false;
    const Rule* rule = nullptr;
    bool crashed = false;
    bool changedOutside = false;
    bool textsExact = false;
    bool reported = false;
    std::string position; // "inside", "below", "above" or empty
    std::vector<std::string> failures;
};

std::vector<std::string> prefixed(const qjtest::HostRun& run, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : run.lines())
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line.substr(prefix.size()));
    return found;
}

std::vector<long long> numbers(const std::string& text) {
    std::vector<long long> values;
    std::istringstream in(text);
    long long v;
    while (in >> v)
        values.push_back(v);
    return values;
}

std::string expand(const std::string& text, const std::map<std::string, std::string>& values) {
    std::string result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('{', pos);
        if (open == std::string::npos) {
            result += text.substr(pos);
            break;
        }
        const std::size_t close = text.find('}', open);
        result += text.substr(pos, open - pos);
        const auto it = values.find(text.substr(open + 1, close - open - 1));
        result += it != values.end() ? it->second : "<unknown " + text.substr(open, close - open + 1) + ">";
        pos = close + 1;
    }
    return result;
}

std::string buildScript(const Case& c, const Plan& p) {
    std::string script = "cb\n" + p.first;
    if (c.s.otherThread() || c.releaseOther)
        script += "t tid\n";
    std::string sums;
    for (const Region& r : p.regions)
        sums += "sum " + r.label + " " + r.from + " " + std::to_string(r.fromOffset) + " " + r.to + " " +
                std::to_string(r.toOffset) + "\n";
    // The neighbours are read before the preparing steps too: they only touch the block.
    script += p.setup + sums + p.prepare + "counters\n" + p.misuse + "counters\n" + sums;
    // Degraded mode after a report: a plain block, uncharged, of size 0, and usable.
    script += "malloc Z 24 0\nsize Z\ncounters\npoke Z 0 5a 5a 5a 5a\npeek Z 0 4\n";
    return script;
}

void judge(const Case& c, const Plan& p, const qjtest::HostRun& run, Outcome& o) {
    auto fail = [&](const std::string& what) { o.failures.push_back(what); };
    o.crashed = run.crashed || run.timedOut || !run.finished() ||
                run.err.find("AddressSanitizer") != std::string::npos ||
                run.err.find("runtime error") != std::string::npos;
    if (o.crashed) {
        fail(std::string(run.timedOut ? "timed out" : run.crashed ? "crashed" : "did not finish") +
             " (exit " + std::to_string(run.exitCode) + ")\n" + run.out + run.err);
        return;
    }
    const std::vector<std::string> errors = run.errors();
    o.reported = !errors.empty();

    // Where the pointer lies.
    std::uintptr_t pointer = 0;
    if (p.pointer.rfind("0x", 0) == 0)
        pointer = static_cast<std::uintptr_t>(std::stoull(p.pointer, nullptr, 16));
    else if (!p.pointer.empty())
        pointer = run.ptr(p.pointer);
    if (!p.guarded.empty()) {
        std::uintptr_t low = UINTPTR_MAX, high = 0;
        for (const std::string& name : p.guarded) {
            low = std::min(low, run.ptr(name));
            high = std::max(high, run.ptr(name));
        }
        o.position = pointer < low ? "below" : pointer > high ? "above" : "inside";
    }
    std::set<std::string> facts = c.facts();
    if (!p.chainFirst.empty()) { // the block against the memoryChunk its chain index names
        o.position = pointer < run.ptr(p.chainFirst) ? "below" : "above";
        facts.insert(o.position);
    } else if (!o.position.empty()) {
        facts.insert(o.position);
        facts.insert(o.position == "inside" ? "inside" : "outside");
    }
    o.rule = ruleFor(c.misuse, facts, true);
    if (o.rule == nullptr) {
        fail("no rule in corruption_matrix.tsv for " + c.misuse + " with position " + o.position);
        return;
    }
    if (o.rule->kind == Rule::NotRun) {
        fail("the case ran although corruption_matrix.tsv:" + std::to_string(o.rule->line) +
             " says it cannot run safely (position " + o.position + ")\n" + run.out);
        return;
    }

    // Bytes next to the block.
    std::map<std::string, std::vector<std::string>> sums;
    for (const std::string& line : prefixed(run, "sum "))
        sums[line.substr(0, line.find(' '))].push_back(line.substr(line.find(' ') + 1));
    for (const Region& r : p.regions) {
        const auto& seen = sums[r.label];
        if (seen.size() != 2 || seen[0] == "invalid" || seen[0] != seen[1]) {
            o.changedOutside = true;
            fail("bytes outside the block changed (" + r.label + "): " +
                 (seen.size() == 2 ? seen[0] + " -> " + seen[1] : std::to_string(seen.size()) + " sums"));
        }
    }

    // Texts.
    const Layout l(c.s);
    std::map<std::string, std::string> values = {{"G", std::to_string(c.gross())},
                                                  {"G+16", std::to_string(c.gross() + 16)}};
    if (!p.pointer.empty()) {
        values["P"] = hex(pointer);
        values["B"] = hex(pointer - static_cast<std::uintptr_t>(l.head()));
    }
    if (c.s.otherThread() || c.releaseOther)
        values["tid"] = run.value("tid");
    if (o.rule->kind == Rule::Texts) {
        std::vector<std::string> expected;
        for (const std::string& text : o.rule->texts)
            expected.push_back(expand(text, values));
        o.textsExact = errors == expected;
        if (!o.textsExact) {
            std::string got;
            for (const std::string& e : errors)
                got += "\n    got:      " + e;
            for (const std::string& e : expected)
                got += "\n    expected: " + e;
            fail("texts differ (corruption_matrix.tsv:" + std::to_string(o.rule->line) + ")" + got);
        }
    }

    // Counters around the misuse, then the degraded-mode probe.
    const std::vector<std::string> counters = prefixed(run, "counters ");
    if (counters.size() != 3) {
        fail("expected three counter lines, got " + std::to_string(counters.size()));
        return;
    }
    const std::vector<long long> before = numbers(counters[0]), after = numbers(counters[1]),
                                 probe = numbers(counters[2]);
    const long long g = c.gross();
    std::vector<long long> want = before;
    if (o.rule->counters == "released") {
        want[0] -= g;
        want[2] -= 1;
    } else if (o.rule->counters == "allocated") {
        want[0] += g;
        want[1] += g;
        want[2] += 1;
        want[3] += 1;
    }
    if (o.rule->counters != "-" && after != want)
        fail("counters after the misuse: " + counters[1] + " (before: " + counters[0] + ", rule: " +
             o.rule->counters + ")");
    if (p.sameChunk && run.ptr("B") != run.ptr("A"))
        fail("the allocation did not take the chunk whose link was read");

    const long long zGross = 24 + l.overhead();
    std::vector<long long> wantProbe = after;
    std::string wantSize = "0";
    if (!o.reported) {
        wantProbe[0] += zGross;
        wantProbe[1] += zGross;
        wantProbe[2] += 1;
        wantProbe[3] += 1;
        wantSize = std::to_string(l.userSize(24));
    }
    if (run.value("size Z") != wantSize || probe != wantProbe)
        fail(std::string(o.reported ? "not in degraded mode after a report" : "degraded without a report") +
             ": size " + run.value("size Z") + ", counters " + counters[1] + " -> " + counters[2]);
    if (run.value("peek Z 0:") != "5a 5a 5a 5a")
        fail("the block made afterwards is not usable");
}

struct Figures {
    int cases = 0, run = 0, promised = 0, detected = 0, undetectable = 0, undetectableReported = 0,
        notRun = 0, crashes = 0, changedOutside = 0, failedCases = 0;
    std::map<const Rule*, int> casesByRule;
    std::map<std::string, int> positions;
};

std::string figuresText(const Figures& f) {
    std::ostringstream out;
    out << "corruption matrix: " << f.cases << " cases, " << f.run << " run in a fresh process each\n"
        << "  detection promised: " << f.promised << "; detected with the exact texts and count: "
        << f.detected << " (" << (f.promised == 0 ? 100 : 100.0 * f.detected / f.promised) << "%)\n"
        << "  crashes: " << f.crashes << "; cases with bytes changed outside the block: " << f.changedOutside
        << "; cases failing any check: " << f.failedCases << "\n"
        << "  undetectable by design: " << f.undetectable << " run (reported all the same: "
        << f.undetectableReported << "), " << f.notRun << " not run\n";
    out << "  foreign pointers by position:";
    for (const auto& [key, count] : f.positions)
        out << " " << key << "=" << count;
    out << "\n  cells undetectable by design (rule: cases):\n";
    for (const Rule& rule : rules()) {
        if (rule.kind == Rule::Texts)
            continue;
        std::string when;
        for (const std::string& w : rule.when)
            when += (when.empty() ? "" : ",") + w;
        const auto it = f.casesByRule.find(&rule);
        out << "    " << rule.misuse << " [" << (when.empty() ? "*" : when) << "]: "
            << (it == f.casesByRule.end() ? 0 : it->second) << (rule.kind == Rule::NotRun ? " listed" : " run")
            << " - " << rule.why << "\n";
    }
    return out.str();
}

TEST(CorruptionMatrix, EveryMisuseAgainstTheSettingsThatChangeItsOutcome) {
    std::vector<Case> cases = allCases();
    // QJ_MATRIX_FILTER=text keeps the cases whose label contains the text.
    if (const char* filter = std::getenv("QJ_MATRIX_FILTER"))
        cases.erase(std::remove_if(cases.begin(), cases.end(),
                                   [&](const Case& c) { return c.label().find(filter) == std::string::npos; }),
                    cases.end());
    std::vector<Plan> plans(cases.size());
    std::vector<Outcome> outcomes(cases.size());
    Figures figures;
    figures.cases = static_cast<int>(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        fixtures()[cases[i].fixture].plan(cases[i], plans[i]);
        // Cases whose outcome is known without running them and cannot run safely.
        const Rule* known = ruleFor(cases[i].misuse, cases[i].facts(), false);
        if (known != nullptr && known->kind == Rule::NotRun) {
            outcomes[i].rule = known;
            continue;
        }
        outcomes[i].run = true;
    }

    // Two child processes at a time; the results are judged on this thread.
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < cases.size();) {
            if (!outcomes[i].run)
                continue;
            // Nothing may leave a worker: the other thread is still running.
            try {
                const auto run = qjtest::runHost(cases[i].s.file(), buildScript(cases[i], plans[i]), 60);
                try {
                    judge(cases[i], plans[i], run, outcomes[i]);
                } catch (const std::exception& e) {
                    outcomes[i].failures.push_back(std::string("unexpected output (") + e.what() + ")\n" + run.out);
                }
            } catch (const std::exception& e) {
                outcomes[i].failures.push_back(std::string("host not run: ") + e.what());
            }
        }
    };
    std::thread other(worker);
    worker();
    other.join();

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Outcome& o = outcomes[i];
        if (o.rule != nullptr)
            ++figures.casesByRule[o.rule];
        if (!o.run) {
            ++figures.notRun;
            continue;
        }
        ++figures.run;
        if (!o.position.empty() && cases[i].misuse.rfind("foreign_", 0) == 0)
            ++figures.positions[cases[i].misuse.substr(8) + ":" + o.position];
        figures.crashes += o.crashed ? 1 : 0;
        figures.changedOutside += o.changedOutside ? 1 : 0;
        if (o.rule != nullptr && o.rule->kind == Rule::Texts) {
            ++figures.promised;
            figures.detected += o.textsExact ? 1 : 0;
        } else if (o.rule != nullptr && o.rule->kind == Rule::Undetectable) {
            ++figures.undetectable;
            figures.undetectableReported += o.reported ? 1 : 0;
        }
        if (!o.failures.empty()) {
            ++figures.failedCases;
            std::string all;
            for (const std::string& f : o.failures)
                all += "\n  " + f;
            ADD_FAILURE() << cases[i].label() << all << "\n  settings: " << cases[i].s.file()
                          << "  script:\n" << buildScript(cases[i], plans[i]);
        }
    }
    const std::string text = figuresText(figures);
    std::cout << text;
    if (const char* path = std::getenv("QJ_MATRIX_FIGURES"))
        std::ofstream(path) << text;
    EXPECT_EQ(figures.detected, figures.promised);
    EXPECT_EQ(figures.crashes, 0);
    EXPECT_EQ(figures.changedOutside, 0);
}

} // namespace
