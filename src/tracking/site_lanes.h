// Each thread's lanes of the allocation sites: what the thread adds to a site's figures,
// kept on the thread's own cache lines so that threads allocating at one site at once do
// not pass the site's line between their cores on every block.
//
// A lane holds the thread's share of the site's gauge (block count and bytes with their
// peaks, alloc/peak_gauge.h) and the thread's allocations at the site in the current
// visual and physics frames (the frame each count belongs to, the blocks, the bytes). The
// site's record keeps the rest: a frame count's value is the record's base plus the
// lanes' counts of the record's frame.
//
// Lanes live in a table of the thread's counter slot: a directory of pages of
// kLanesPerPage lanes, indexed by the site's creation index. The table and its pages are
// made by their thread at its first charge of a site they cover and published with a
// sequentially consistent store (a gauge's raise that starts after the thread looked at
// the gauge's generation finds them); a new lane's share starts closed. The slot shared by
// threads without a slot of their own has no lanes: those threads charge the record.
#ifndef QJ_TRACKING_SITE_LANES_H
#define QJ_TRACKING_SITE_LANES_H

#include "alloc/counters.h"
#include "frame/hints.h"

#include <atomic>
#include <cstdint>

namespace velt::zur::memory::detail {

// The counts of one kind of frame (visual or physics).
struct LaneFrameCounts {
    std::atomic<std::int32_t> frame;  // the frame the counts belong to
    std::atomic<std::int32_t> allocs;
    std::atomic<std::int32_t> bytes;
};

struct SiteLane {
    std::atomic<std::uint64_t> share; // the thread's share of the site's gauge
    LaneFrameCounts visual;
    LaneFrameCounts physic;
};

constexpr unsigned kLanePageShift = 7;
constexpr std::uint32_t kLanesPerPage = 1u << kLanePageShift;
// Sites beyond kLanePages pages are charged on their records.
constexpr std::uint32_t kLanePages = 8192;

struct SiteLaneTable {
    std::atomic<SiteLane*> pages[kLanePages];
};

// The lane of site `index` in `slot`'s table, null when the thread has not made it.
QJ_ALWAYS_INLINE SiteLane* laneOf(const CounterSlot& slot, std::uint32_t index) {
    const SiteLaneTable* table = slot.siteLanes.load(std::memory_order_acquire);
    if (QJ_UNLIKELY(table == nullptr || index >= kLanePages * kLanesPerPage))
        return nullptr;
    SiteLane* page = table->pages[index >> kLanePageShift].load(std::memory_order_acquire);
    if (QJ_UNLIKELY(page == nullptr))
        return nullptr;
    return &page[index & (kLanesPerPage - 1)];
}

// The calling thread's lane of site `index`, made if need be; null for the shared slot,
// for sites beyond the table, and when the system has no pages for it.
SiteLane* makeLane(CounterSlot& slot, std::uint32_t index);

// Visits the lane of site `index` in every slot that has one.
template <class Visit> void forEachLane(std::uint32_t index, Visit visit) {
    forEachCounterSlot([&](CounterSlot& slot) {
        if (SiteLane* lane = laneOf(slot, index))
            visit(*lane);
    });
}

// Every lane back to its start (share closed, no counts): the site table's records are
// gone. No charge may run meanwhile.
void resetLanes();

} // namespace velt::zur::memory::detail

#endif // QJ_TRACKING_SITE_LANES_H
