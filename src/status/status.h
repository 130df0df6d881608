// The status text of getStatus, put together from the parts each subsystem appends.
#ifndef QJ_STATUS_STATUS_H
#define QJ_STATUS_STATUS_H

#include <cstddef>

namespace velt::zur::memory::detail {

// Version line of the status text.
constexpr char kVersionBanner[] = "Quorrick.dll Ver:1.01 Date:2005/01/10";
// Capacity of the status text, its terminating zero included.
constexpr std::size_t kStatusTextSize = 128000;

} // namespace velt::zur::memory::detail

#endif // QJ_STATUS_STATUS_H
