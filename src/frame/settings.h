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
// Largest release quarantine in bytes; larger values are cut to it.
constexpr std::int32_t kMaxReleaseQuarantine = 1 << 30;

// One member per key of settings.inc, named as the key and holding the key's default.
// The switches and numbers come first, together, since the allocation paths read them;
// the names (a char array each, and has_<key>) follow.
#define QJ_SETTING_MEMBER_Flag(key, def) bool key = (def) != 0;
#define QJ_SETTING_MEMBER_Range(key, def) std::int32_t key = def;
#define QJ_SETTING_MEMBER_Capped(key, def) std::int32_t key = def;
#define QJ_SETTING_MEMBER_Name(key, def)
#define QJ_SETTING_MEMBER_GivenName(key, def)
#define QJ_SETTING_NAME_Flag(key)
#define QJ_SETTING_NAME_Range(key)
#define QJ_SETTING_NAME_Capped(key)
#define QJ_SETTING_NAME_Name(key)                                                                 \
    char key[256] = {};                                                                           \
    bool has_##key = false;
#define QJ_SETTING_NAME_GivenName(key) QJ_SETTING_NAME_Name(key)

struct Settings {
#define QJ_SETTING(kind, key, def, low, high, doc) QJ_SETTING_MEMBER_##kind(key, def)
#include "frame/settings.inc"
#undef QJ_SETTING
#define QJ_SETTING(kind, key, def, low, high, doc) QJ_SETTING_NAME_##kind(key)
#include "frame/settings.inc"
#undef QJ_SETTING
};

#undef QJ_SETTING_MEMBER_Flag
#undef QJ_SETTING_MEMBER_Range
#undef QJ_SETTING_MEMBER_Capped
#undef QJ_SETTING_MEMBER_Name
#undef QJ_SETTING_MEMBER_GivenName
#undef QJ_SETTING_NAME_Flag
#undef QJ_SETTING_NAME_Range
#undef QJ_SETTING_NAME_Capped
#undef QJ_SETTING_NAME_Name
#undef QJ_SETTING_NAME_GivenName

// Puts every setting back to its default. Attaching starts from the defaults and reads
// the file on top of them.
void applyAttachDefaults(Settings& settings);

// Applies the settings text `text` of `length` bytes on top of `settings`.
void parseSettings(const char* text, std::size_t length, Settings& settings);

// Reads the file at `path` (runtime heap only) and applies it; false when it cannot be
// opened, leaving `settings` untouched.
bool loadSettingsFile(const char* path, Settings& settings);

// Applies the tokens of the environment variable QUORRICK_SETTINGS, when it is set, on top
// of `settings` (read after the file: a key given in both takes the variable's value).
void loadSettingsEnvironment(Settings& settings);

// The switches of this run; written only while attaching.
extern Settings settings;

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_SETTINGS_H
