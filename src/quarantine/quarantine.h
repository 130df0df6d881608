// The release quarantine: released blocks held back, filled, before their memory goes back
// to the runtime heap, so that a write into a block after its release is found.
//
// Blocks wait in first-in first-out order while the bytes held stay within the limit
// (the `release_quarantine` setting). A block that leaves has its fill verified before it
// is given back; getStatus and the unload verify every block still held. Whoever releases
// a block charges its release at once: the quarantine keeps memory, no statistics.
//
// The quarantine knows nothing of a block's layout: the release path says where a block
// starts, which bytes hold the fill, and how a block is given back or a changed byte
// reported.
#ifndef QJ_QUARANTINE_QUARANTINE_H
#define QJ_QUARANTINE_QUARANTINE_H

#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

struct QuarantinedBlock {
    unsigned char* block;      // the block's first byte
    std::uint32_t gross;       // its size
    std::uint32_t checkedFrom; // offset of the first byte whose fill is verified
    std::uint32_t siteWord;    // the block's allocation-site word (0: none)
};

// A block that leaves the quarantine (giveBack), and one whose fill changed (`changedAt`:
// offset of the first changed byte from the block's start), called outside every lock
// of the quarantine.
using QuarantineGiveBack = void (*)(const QuarantinedBlock& held);
using QuarantineChanged = void (*)(const QuarantinedBlock& held, std::uint32_t changedAt);

// Whether blocks are held back: set while attaching, never changed after.
extern QJ_HIDDEN bool quarantine_on;

// Holds up to `limitBytes` (0: none) of blocks filled with `fill`. Called once while attaching.
void quarantineStart(std::uint32_t limitBytes, unsigned char fill, QuarantineGiveBack giveBack,
                     QuarantineChanged changed);
// Holds `held`, whose bytes from held.checkedFrom on hold the fill; the oldest blocks leave
// until the bytes held are within the limit, each verified and given back. A block the
// quarantine has no room to note (its list could not grow) is verified and given back at
// once.
void quarantineAdmit(const QuarantinedBlock& held);
// Verifies every block held; a changed one is reported (once: the first found).
void quarantineVerifyAll();
// Verifies every block held and gives it back (the unload: a host that goes on without
// the library keeps none of its memory held).
void quarantineDrain();
// The held block whose bytes include address `p`; false when none does.
bool quarantineFind(std::uintptr_t p, QuarantinedBlock& found);
// The bytes held now.
std::uint64_t quarantineBytes();
// Around fork: the list's lock is held across it so that the child finds it free.
void quarantineHoldForFork();
void quarantineReleaseAfterFork();

} // namespace velt::zur::memory::detail

#endif // QJ_QUARANTINE_QUARANTINE_H
