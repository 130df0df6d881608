// The threads' lane tables of the allocation sites (site_lanes.h).
#include "tracking/site_lanes.h"

#include "alloc/peak_gauge.h"
#include "frame/runtime_heap.h"
#include "platform/platform.h"

#include <initializer_list>
#include <new>

namespace velt::zur::memory::detail {

namespace {

void startLane(SiteLane& lane) {
    lane.share.store(PeakGauge::kNeverOpened, std::memory_order_relaxed);
    for (LaneFrameCounts* counts : {&lane.visual, &lane.physic}) {
        counts->frame.store(0, std::memory_order_relaxed);
        counts->allocs.store(0, std::memory_order_relaxed);
        counts->bytes.store(0, std::memory_order_relaxed);
    }
}

} // namespace

SiteLane* makeLane(CounterSlot& slot, std::uint32_t index) {
    if (&slot == &emergencyCounterSlot() || index >= kLanePages * kLanesPerPage)
        return nullptr;
    SiteLaneTable* table = slot.siteLanes.load(std::memory_order_relaxed);
    if (table == nullptr) {
        void* pages = pagesRequest(sizeof(SiteLaneTable));
        if (pages == nullptr)
            return nullptr;
        table = new (pages) SiteLaneTable{};
        slot.siteLanes.store(table, std::memory_order_seq_cst);
    }
    std::atomic<SiteLane*>& entry = table->pages[index >> kLanePageShift];
    SiteLane* page = entry.load(std::memory_order_relaxed);
    if (page == nullptr) {
        void* pages = pagesRequest(sizeof(SiteLane) * kLanesPerPage);
        if (pages == nullptr)
            return nullptr;
        page = new (pages) SiteLane[kLanesPerPage];
        for (std::uint32_t i = 0; i < kLanesPerPage; ++i)
            startLane(page[i]);
        entry.store(page, std::memory_order_seq_cst);
    }
    return &page[index & (kLanesPerPage - 1)];
}

void resetLanes() {
    forEachCounterSlot([](CounterSlot& slot) {
        SiteLaneTable* table = slot.siteLanes.load(std::memory_order_acquire);
        if (table == nullptr)
            return;
        for (std::atomic<SiteLane*>& entry : table->pages) {
            SiteLane* page = entry.load(std::memory_order_acquire);
            if (page == nullptr)
                continue;
            for (std::uint32_t i = 0; i < kLanesPerPage; ++i)
                startLane(page[i]);
        }
    });
}

} // namespace velt::zur::memory::detail
