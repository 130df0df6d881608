// The per-frame memory file (settings key frame_memory_csv).
#ifndef QJ_TRACE_FRAME_MEMORY_H
#define QJ_TRACE_FRAME_MEMORY_H

#include <cstdint>

namespace velt::zur::memory::detail {

// Appends the line of visual frame `frame` to the file at `path`, the header first when
// the file is new to this run or the memory names in use have grown.
void writeFrameMemoryLine(const char* path, std::uint32_t frame);
// The next line starts the file anew (tests).
void frameMemoryReset();

} // namespace velt::zur::memory::detail

#endif // QJ_TRACE_FRAME_MEMORY_H
