// Shared pieces of the trace subsystem's unit tests: a fixture that gives every test the
// state the library has at load, and readable access to the statistics.
#ifndef QJ_TESTS_UNIT_TRACE_TEST_SUPPORT_H
#define QJ_TESTS_UNIT_TRACE_TEST_SUPPORT_H

#include "trace/trace_internal.h"

#include <gtest/gtest.h>

#include <ostream>

namespace velt::zur::memory::detail {

inline bool operator==(const TraceStatsValues& a, const TraceStatsValues& b) {
    return a.peakBytes == b.peakBytes && a.peakNumAllocs == b.peakNumAllocs &&
           a.numAllocs == b.numAllocs && a.bytes == b.bytes && a.minBlock == b.minBlock &&
           a.maxBlock == b.maxBlock;
}

inline std::ostream& operator<<(std::ostream& out, const TraceStatsValues& v) {
    return out << "{peakBytes " << v.peakBytes << ", peakNumAllocs " << v.peakNumAllocs
               << ", numAllocs " << v.numAllocs << ", bytes " << v.bytes << ", minBlock "
               << v.minBlock << ", maxBlock " << v.maxBlock << "}";
}

} // namespace velt::zur::memory::detail

namespace qjtrace {

namespace d = velt::zur::memory::detail;

// {peakBytes, peakNumAllocs, numAllocs, bytes, minBlock, maxBlock}
inline d::TraceStatsValues stats(int peakBytes, int peakNumAllocs, int numAllocs, int bytes,
                                 int minBlock, int maxBlock) {
    return {peakBytes, peakNumAllocs, numAllocs, bytes, minBlock, maxBlock};
}

inline d::TraceStatsValues traceStats(std::int32_t id) {
    const d::TraceRecord* record = d::traceRecord(d::traceIdentifierTable, id);
    return record != nullptr ? record->stats.snapshot() : stats(-1, -1, -1, -1, -1, -1);
}

inline d::TraceStatsValues resourceStats(std::int32_t id) {
    const d::TraceRecord* record = d::traceRecord(d::resourceTable, id);
    return record != nullptr ? record->stats.snapshot() : stats(-1, -1, -1, -1, -1, -1);
}

inline d::TraceStatsValues nameStats(std::int32_t index) {
    return d::memoryNames[index].stats.snapshot();
}

// Every test starts and ends with the state of a freshly loaded library.
class TraceState : public testing::Test {
protected:
    void SetUp() override { d::resetTraceStateForTesting(); }
    void TearDown() override {
        d::setRecordAllocator(nullptr);
        d::resetTraceStateForTesting();
    }
};

} // namespace qjtrace

#endif // QJ_TESTS_UNIT_TRACE_TEST_SUPPORT_H
