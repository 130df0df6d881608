// Windows only: a small DLL that the test programs load (the script host before
// Quorrick.dll). From its process attach on, every text a module of the process writes to
// the debugger output (OutputDebugStringA, where the library's diagnostic lines go) is
// copied to standard error, so tests read those lines from stderr on every system (Linux
// writes them there directly). The library's own attach-time lines are caught too.
#ifndef QJ_TESTS_DEBUG_ECHO_H
#define QJ_TESTS_DEBUG_ECHO_H

#if defined(_WIN32)
#if defined(QJ_BUILDING_DEBUG_ECHO)
#define QJ_DEBUG_ECHO_API __declspec(dllexport)
#else
#define QJ_DEBUG_ECHO_API __declspec(dllimport)
#endif

namespace qjtest {
// True when the echo is in place. Calling it also keeps the DLL among the program's imports.
QJ_DEBUG_ECHO_API bool debugEchoActive();
} // namespace qjtest
#endif

#endif // QJ_TESTS_DEBUG_ECHO_H
