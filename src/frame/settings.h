// The settings read once from MemorySettings.dat when the library attaches.
#ifndef QJ_FRAME_SETTINGS_H
#define QJ_FRAME_SETTINGS_H

#include <cstddef>
#include <cstdint>

namespace velt::zur::memory::detail {

// Largest accepted tail guard; longer values are refused and the previous one kept.
constexpr std::int32_t kMaxTailGuardLength = 4096;
// Largest bucket count of the allocation-site table; larger values are cut to it.
constexpr std::int32_t kMaxHashSize = 1 << 22;

struct Settings {
    bool use_memoryDll = true;
    bool use_histogram = false;
    bool use_pools = true;
    bool use_callstack = false;
    bool use_traceIdentifiers = false;
    bool use_memoryUsedTag = false;
    std::int32_t callstack_depth = 16;
    bool include_all = false;
    std::int32_t hash_size = 57903;
    bool patterns = false;
    bool tailguards = false;
    std::int32_t tailguard_length = 0;
    bool use_valloc = false;
    bool use_qj7_tags = false;
    // Leak report file name; has_leakreport stays false until the key is read.
    char leakreport[256] = {};
    bool has_leakreport = false;
    // Per-frame memory file name (a line per visual frame); has_frame_memory_csv stays
    // false until the key is read with a name.
    char frame_memory_csv[256] = {};
    bool has_frame_memory_csv = false;
};

// The defaults that the attach handler assigns before reading the file.
void applyAttachDefaults(Settings& settings);

// Applies the settings text `text` of `length` bytes on top of `settings`.
void parseSettings(const char* text, std::size_t length, Settings& settings);

// Reads the file at `path` (runtime heap only) and applies it; false when it cannot be
// opened, leaving `settings` untouched.
bool loadSettingsFile(const char* path, Settings& settings);

// The switches of this run; written only while attaching.
extern Settings settings;

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_SETTINGS_H
