// The allocation-site table, keyed by call stack.
//
// The allocation and release paths take no process-wide lock (alloc_info.cpp tells how).
// A block refers to its record by a 32-bit word: the record's address on 32-bit targets,
// a handle on 64-bit ones; 0 means no record.
#ifndef QJ_TRACKING_ALLOC_INFO_H
#define QJ_TRACKING_ALLOC_INFO_H

#include "tracking/alloc_info_table.h"

#include <cstdint>

namespace velt::zur::memory::detail {

void allocInfoTableInit(std::int32_t hashSize);
// Captures the calling stack and returns the word of its record, or 0 when tracking is
// not available. Must be called directly from qj_malloc: the capture skips three frames.
std::uint32_t allocInfoFindOrInsert(std::int32_t depth);
// qj_malloc's step: captures the calling stack, finds or inserts its record and charges
// it `grossSize`, the charge in a statistics section; returns the record's word or 0.
// Must be called directly from the function that qj_malloc calls for the allocation.
std::uint32_t allocInfoAllocate(std::int32_t depth, std::int32_t grossSize);
// qj_free's step: takes `grossSize` back from the record named by `word`, in a statistics
// section; a word that names no record is ignored.
void allocInfoRelease(std::uint32_t word, std::int32_t grossSize);
// The same for a caller already inside a statistics section, allocInfoUncharge, is inline
// in tracking/alloc_info_table.h.
// Charges `amount` (negative for a release) to the record named by `word`; a word that
// names no record is ignored.
void allocInfoUpdate(std::uint32_t word, std::int32_t amount);
// Writes the final leak report (when `path` is not null) and releases the table.
void allocInfoFinalReport(const char* path, bool includeAll);

} // namespace velt::zur::memory::detail

#endif // QJ_TRACKING_ALLOC_INFO_H
