// Where the library's files and its lines for a person at a debugger go.
//
// A linked host's files go where their names say (relative names in its current
// directory) and the debugger lines to the platform's debug output, as always. A program
// run by the launcher has a run folder instead (setRunFolder, from QUORRICK_RUN_DIR):
// every file a process writes under a relative name goes into a folder of its own there,
// "<program>.<pid>", so that nothing lands in the program's working directory and the
// processes of one tree never overwrite each other's files; the debugger lines go to
// "log.txt" in that folder, leaving the program's standard error its own.
#ifndef QJ_OUTPUTS_OUTPUTS_H
#define QJ_OUTPUTS_OUTPUTS_H

#include <cstddef>
#include <cstdio>

namespace velt::zur::memory::outputs {

// Sets the run folder (an existing directory; a relative path is taken from the current
// directory now). Called once while attaching; creates this process's folder and its
// "process.txt". An empty or unusable path leaves everything as it was.
void setRunFolder(const char* path);
// Whether a run folder is set.
bool runFolderSet();
// fopen for a file the library writes: a relative name inside this process's folder of
// the run when one is set (the folder is made for a process that forked since), else
// `name` as given.
std::FILE* openForWriting(const char* name, const char* mode);
// The path openForWriting would use for `name`, into `out` (false when it does not fit).
bool placedPath(const char* name, char* out, std::size_t capacity);
// A line for a person at a debugger.
void debugLine(const char* text);

} // namespace velt::zur::memory::outputs

#endif // QJ_OUTPUTS_OUTPUTS_H
