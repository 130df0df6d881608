// What the unit tests ask of the system itself, independently of the library's platform
// layer, so that they can check that layer against it.
#ifndef QJ_TESTS_SYSTEM_PROBE_H
#define QJ_TESTS_SYSTEM_PROBE_H

#include <cstdint>
#include <string>

namespace qjtest {

// Whether the process may read the byte at `address`, found out without touching it.
bool readableByte(std::uintptr_t address);

// The name under which the module list shows this program: its file name on Windows (the
// name the loader knows it by), its path cut to the entry's 79 characters on Linux.
std::string ownModuleName();

// Load address of this program on Windows; 0 where the system does not fix one.
std::uintptr_t ownModuleBase();

// The calling thread's last-error value (GetLastError on Windows, errno on Linux).
unsigned long systemError();
void setSystemError(unsigned long value);

} // namespace qjtest

#endif // QJ_TESTS_SYSTEM_PROBE_H
