// The memory names' and the histogram's gauges: shares in the counter slots.
#include "alloc/peak_gauge_impl.h"

namespace velt::zur::memory::detail {

static_assert(PeakGauge::kNeverOpened == kNeverOpenedShare, "new slots start never opened");

template class BasicPeakGauge<SlotShares>;

} // namespace velt::zur::memory::detail
