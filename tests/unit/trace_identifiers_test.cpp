// Memory names, trace identifiers, the trace stack and the per-block charges,
// and the resource trace, driven through the subsystem's own functions.
#include "Quorrick.h"
#include "frame/settings.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>

namespace qj = velt::zur::memory;
using namespace qjtrace;

namespace {

// --- TraceStats -----------------------------------------------------------------------

TEST(TraceStatsRules, MinimumMaximumAndPeaksFollowTheCharges) {
    d::TraceStats s;
    s.addAllocation(100);
    EXPECT_EQ(s.snapshot(), stats(100, 1, 1, 100, 100, 100));
    s.addAllocation(40);
    EXPECT_EQ(s.snapshot(), stats(140, 2, 2, 140, 40, 100));
    s.removeAllocation(100);
    s.removeAllocation(40);
    EXPECT_EQ(s.snapshot(), stats(140, 2, 0, 0, 40, 100));
}

TEST(TraceStatsRules, FirstChargeOfZeroLeavesPeakBytesZero) {
    d::TraceStats s;
    s.addAllocation(0);
    EXPECT_EQ(s.snapshot(), stats(0, 1, 1, 0, 0, 0));
    s.addAllocation(50); // peakBytes still 0: the next positive charge sets minBlock again
    EXPECT_EQ(s.snapshot(), stats(50, 2, 2, 50, 50, 50));
}

TEST(TraceStatsRules, NegativeSizesChangeBytesOnly) {
    d::TraceStats s;
    s.addAllocation(-30);
    EXPECT_EQ(s.snapshot(), stats(0, 1, 1, -30, 0, 0));
    s.removeAllocation(-30);
    EXPECT_EQ(s.snapshot(), stats(0, 1, 0, 0, 0, 0));
}

TEST(TraceStatsRules, SumsWrapAsThirtyTwoBitValues) {
    d::TraceStats s;
    s.addAllocation(INT_MAX);
    s.addAllocation(1);
    EXPECT_EQ(s.snapshot().bytes, INT_MIN);
    EXPECT_EQ(s.snapshot().peakBytes, INT_MAX);
}

// --- Memory names ---------------------------------------------------------------------

using MemoryNames = TraceState;

TEST_F(MemoryNames, FirstNameGetsOneAndNamesTheDefault) {
    EXPECT_EQ(d::memoryNameCount.load(), 0);
    EXPECT_STREQ(d::memoryNames[0].name, "");
    EXPECT_EQ(qj::addMemoryName("terrain"), 1);
    EXPECT_STREQ(d::memoryNames[0].name, "qj7");
    EXPECT_STREQ(d::memoryNames[1].name, "terrain");
    EXPECT_EQ(d::memoryNameCount.load(), 2);
    EXPECT_EQ(qj::addMemoryName("sound"), 2);
    EXPECT_EQ(d::memoryNameCount.load(), 3);
}

TEST_F(MemoryNames, CaseInsensitiveReuse) {
    EXPECT_EQ(qj::addMemoryName("Terrain"), 1);
    EXPECT_EQ(qj::addMemoryName("TERRAIN"), 1);
    EXPECT_EQ(qj::addMemoryName("terrain"), 1);
    EXPECT_EQ(d::memoryNameCount.load(), 2);
    EXPECT_STREQ(d::memoryNames[1].name, "Terrain");
}

TEST_F(MemoryNames, RecordZeroIsNeverMatched) {
    EXPECT_EQ(qj::addMemoryName("QJ7"), 1);
    EXPECT_EQ(qj::addMemoryName("qj7"), 1);
    EXPECT_STREQ(d::memoryNames[0].name, "qj7");
}

TEST_F(MemoryNames, LongNamesAreCutAndNotMatchedAgain) {
    const std::string name(100, 'n');
    EXPECT_EQ(qj::addMemoryName(name.c_str()), 1);
    EXPECT_EQ(std::string(d::memoryNames[1].name), std::string(63, 'n'));
    EXPECT_EQ(qj::addMemoryName(name.c_str()), 2);
    EXPECT_EQ(qj::addMemoryName(std::string(63, 'n').c_str()), 1);
}

TEST_F(MemoryNames, FullTableGivesTheDefaultName) {
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(qj::addMemoryName(("name" + std::to_string(i)).c_str()), i);
    EXPECT_EQ(d::memoryNameCount.load(), 16);
    EXPECT_EQ(qj::addMemoryName("one too many"), 0);
    EXPECT_EQ(qj::addMemoryName("NAME7"), 7); // registered names are still found
    EXPECT_EQ(d::memoryNameCount.load(), 16);
}

TEST_F(MemoryNames, NullNameRegistersNothing) {
    EXPECT_EQ(qj::addMemoryName(nullptr), 0);
    EXPECT_EQ(d::memoryNameCount.load(), 0);
}

TEST_F(MemoryNames, ChargesWithTheGrossSize) {
    d::memoryNameAllocate(3, 116);
    d::memoryNameAllocate(3, 40);
    d::memoryNameFree(3, 116);
    EXPECT_EQ(nameStats(3), stats(156, 2, 1, 40, 40, 116));
}

TEST_F(MemoryNames, IndexOutsideTheTableChargesTheDefaultName) {
    // As the allocation path stores such an index (0), so release undoes the same charge.
    d::memoryNameAllocate(16, 100);
    d::memoryNameAllocate(-1, 50);
    d::memoryNameAllocate(INT_MAX, 10);
    EXPECT_EQ(nameStats(0), stats(160, 3, 3, 160, 10, 100));
    d::memoryNameFree(16, 100);
    d::memoryNameFree(-1, 50);
    d::memoryNameFree(INT_MIN, 10);
    EXPECT_EQ(nameStats(0), stats(160, 3, 0, 0, 10, 100));
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(nameStats(i), stats(0, 0, 0, 0, 0, 0)) << i;
}

// --- Trace identifiers --------------------------------------------------------------------

using TraceIdentifiers = TraceState;

TEST_F(TraceIdentifiers, IdentifiersInOrderOfFirstUseIgnoringCase) {
    EXPECT_EQ(d::findOrAddTraceRecord("Terrain", d::traceIdentifierTable), 0);
    EXPECT_EQ(d::findOrAddTraceRecord("sound", d::traceIdentifierTable), 1);
    EXPECT_EQ(d::findOrAddTraceRecord("TERRAIN", d::traceIdentifierTable), 0);
    EXPECT_EQ(d::findOrAddTraceRecord("Sound", d::traceIdentifierTable), 1);
    EXPECT_EQ(d::traceIdentifierCount(), 2);
    EXPECT_STREQ(d::traceRecordName(d::traceIdentifierTable, 0), "Terrain");
    EXPECT_EQ(traceStats(0), stats(0, 0, 0, 0, 0, 0));
}

TEST_F(TraceIdentifiers, TwoCellsWithNamesDifferingInCaseShareOneIdentifier) {
    std::int32_t a = -1, b = -1;
    d::startTrace(a, "Physics");
    d::startTrace(b, "PHYSICS");
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(d::traceStackDepth(), 2);
}

TEST_F(TraceIdentifiers, NameOfExactly256CharactersStaysTerminated) {
    const std::string name(256, 'x');
    EXPECT_EQ(d::findOrAddTraceRecord(name.c_str(), d::traceIdentifierTable), 0);
    EXPECT_EQ(std::string(d::traceRecordName(d::traceIdentifierTable, 0)), name);
    const std::string longer(300, 'y');
    EXPECT_EQ(d::findOrAddTraceRecord(longer.c_str(), d::traceIdentifierTable), 1);
    EXPECT_EQ(std::string(d::traceRecordName(d::traceIdentifierTable, 1)), std::string(256, 'y'));
    // A cut name never matches its stored copy: every new cell adds a record.
    EXPECT_EQ(d::findOrAddTraceRecord(longer.c_str(), d::traceIdentifierTable), 2);
}

TEST_F(TraceIdentifiers, The2049thNameOverflowsIntoRecordZero) {
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(d::findOrAddTraceRecord(("t" + std::to_string(i)).c_str(),
                                          d::traceIdentifierTable), i);
    std::int32_t cell = -1;
    d::startTrace(cell, "one more");
    EXPECT_EQ(cell, 0);
    EXPECT_STREQ(d::traceRecordName(d::traceIdentifierTable, 0), "ERROR. TOO MANY IDENTIFIERS");
    EXPECT_EQ(d::traceIdentifierCount(), 2048);
    // Known names keep their identifiers; the overflow text names record 0.
    EXPECT_EQ(d::findOrAddTraceRecord("t2047", d::traceIdentifierTable), 2047);
    EXPECT_EQ(d::findOrAddTraceRecord("error. too many identifiers", d::traceIdentifierTable), 0);
    EXPECT_EQ(d::findOrAddTraceRecord("t0", d::traceIdentifierTable), 0);
    // Charges go to record 0.
    EXPECT_EQ(d::traceAllocate(64), 1u);
    EXPECT_EQ(traceStats(0), stats(64, 1, 1, 64, 64, 64));
}

TEST_F(TraceIdentifiers, FailedRecordAllocationChargesNothing) {
    d::setRecordAllocator([](std::size_t) -> void* { return nullptr; });
    std::int32_t cell = -1;
    d::startTrace(cell, "no memory");
    EXPECT_EQ(cell, -1);
    EXPECT_EQ(d::traceStackDepth(), 0);
    EXPECT_EQ(d::traceIdentifierCount(), 0);
    std::int32_t resource = -1;
    qj::resourceTraceAllocate(resource, "no memory", 10);
    EXPECT_EQ(resource, -1);
    EXPECT_EQ(d::resourceTable.count.load(), 0);
    // The global lock was released: a later start with memory works.
    d::setRecordAllocator(nullptr);
    d::startTrace(cell, "no memory");
    EXPECT_EQ(cell, 0);
    EXPECT_EQ(d::traceStackDepth(), 1);
}

// --- The trace stack ------------------------------------------------------------------------

using TraceStack = TraceState;

TEST_F(TraceStack, NestingAndAnEndThatIsNotInnermost) {
    std::int32_t a = -1, b = -1;
    d::startTrace(a, "A");
    d::startTrace(b, "B");
    ASSERT_EQ(d::traceStackDepth(), 2);
    d::endTrace(a); // not innermost: ignored
    EXPECT_EQ(d::traceStackDepth(), 2);
    EXPECT_EQ(d::traceStackIdentifier(1), b);
    d::endTrace(b);
    EXPECT_EQ(d::traceStackDepth(), 1);
    EXPECT_EQ(d::traceStackIdentifier(1), -1);
    d::endTrace(a);
    EXPECT_EQ(d::traceStackDepth(), 0);
    EXPECT_EQ(d::traceStackIdentifier(0), -1);
}

TEST_F(TraceStack, EndOnAnEmptyStackThenStartTakesSlotZero) {
    d::endTrace(0);
    d::endTrace(-1);
    EXPECT_EQ(d::traceStackDepth(), 0);
    std::int32_t a = -1;
    d::startTrace(a, "A");
    EXPECT_EQ(d::traceStackDepth(), 1);
    EXPECT_EQ(d::traceStackIdentifier(0), a);
}

TEST_F(TraceStack, EndFromAnotherThreadIsIgnored) {
    std::int32_t a = -1;
    d::startTrace(a, "A");
    std::thread other([a] { d::endTrace(a); });
    other.join();
    EXPECT_EQ(d::traceStackDepth(), 1);
    d::endTrace(a);
    EXPECT_EQ(d::traceStackDepth(), 0);
}

TEST_F(TraceStack, SameIdentifierNestedTakesASlotEachTime) {
    std::int32_t a = -1;
    d::startTrace(a, "A");
    d::startTrace(a, "A");
    EXPECT_EQ(d::traceStackDepth(), 2);
    d::endTrace(a);
    d::endTrace(a);
    EXPECT_EQ(d::traceStackDepth(), 0);
}

TEST_F(TraceStack, HoldsExactly129Traces) {
    std::int32_t cell = -1;
    for (int i = 0; i < 129; ++i)
        d::startTrace(cell, "deep");
    EXPECT_EQ(d::traceStackDepth(), 129);
    d::startTrace(cell, "deep"); // the 130th does nothing
    EXPECT_EQ(d::traceStackDepth(), 129);
    std::int32_t fresh = -1;
    d::startTrace(fresh, "new name"); // stack full: the cell keeps -1
    EXPECT_EQ(fresh, -1);
    EXPECT_EQ(d::traceIdentifierCount(), 1);
    for (int i = 0; i < 129; ++i)
        d::endTrace(cell);
    EXPECT_EQ(d::traceStackDepth(), 0);
}

TEST_F(TraceStack, CellsHoldingNoIdentifierOpenNothing) {
    std::int32_t known = -1;
    d::startTrace(known, "known");
    d::endTrace(known);
    for (std::int32_t value : {1, 5, 2047, 2048, 100000, -2, INT_MIN}) {
        std::int32_t cell = value;
        d::startTrace(cell, "ignored");
        EXPECT_EQ(cell, value);
        EXPECT_EQ(d::traceStackDepth(), 0) << value;
    }
    EXPECT_EQ(d::traceIdentifierCount(), 1);
}

TEST_F(TraceStack, InnermostTraceOfThreadSeesOnlyItsOwnTrace) {
    EXPECT_EQ(d::innermostTraceOfThread(), -1);
    std::int32_t a = -1, b = -1;
    d::startTrace(a, "A");
    d::startTrace(b, "B");
    EXPECT_EQ(d::innermostTraceOfThread(), b);
    std::int32_t seen = 7;
    std::thread other([&seen] { seen = d::innermostTraceOfThread(); });
    other.join();
    EXPECT_EQ(seen, -1);
}

TEST_F(TraceStack, ExportedStartAndEndNeedTheSwitch) {
    ASSERT_FALSE(d::settings.use_traceIdentifiers);
    std::int32_t cell = -1;
    qj::startMemoryTrace(cell, "off");
    EXPECT_EQ(cell, -1);
    EXPECT_EQ(d::traceStackDepth(), 0);
    d::startTrace(cell, "off");
    qj::endMemoryTrace(cell);
    EXPECT_EQ(d::traceStackDepth(), 1);
}

// --- Charges --------------------------------------------------------------------------------

using TraceCharges = TraceState;

TEST_F(TraceCharges, NoTraceOpenChargesNothing) {
    EXPECT_EQ(d::traceAllocate(100), 0u);
    d::traceFree(0, 100);
    EXPECT_EQ(d::traceIdentifierCount(), 0);
}

TEST_F(TraceCharges, InnermostTraceIsChargedAndReleasedOnAnotherThread) {
    std::int32_t outer = -1, inner = -1;
    d::startTrace(outer, "outer");
    d::startTrace(inner, "inner");
    const std::uint32_t v1 = d::traceAllocate(116);
    const std::uint32_t v2 = d::traceAllocate(60);
    EXPECT_EQ(v1, static_cast<std::uint32_t>(inner) + 1);
    d::endTrace(inner);
    const std::uint32_t v3 = d::traceAllocate(200);
    EXPECT_EQ(v3, static_cast<std::uint32_t>(outer) + 1);
    EXPECT_EQ(traceStats(inner), stats(176, 2, 2, 176, 60, 116));
    std::thread other([&] {
        d::traceFree(v1, 116);
        d::traceFree(v3, 200);
    });
    other.join();
    EXPECT_EQ(traceStats(inner), stats(176, 2, 1, 60, 60, 116));
    EXPECT_EQ(traceStats(outer), stats(200, 1, 0, 0, 200, 200));
    d::traceFree(v2, 60);
    EXPECT_EQ(traceStats(inner), stats(176, 2, 0, 0, 60, 116));
}

TEST_F(TraceCharges, TraceOpenedByAnotherThreadIsCharged) {
    std::int32_t a = -1;
    d::startTrace(a, "A");
    std::uint32_t value = 0;
    std::thread other([&value] { value = d::traceAllocate(30); });
    other.join();
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(traceStats(a), stats(30, 1, 1, 30, 30, 30));
}

TEST_F(TraceCharges, ReleaseChargesBackOnlyValidTraceValues) {
    std::int32_t a = -1;
    d::startTrace(a, "A");
    d::traceAllocate(50);
    const auto before = traceStats(a);
    for (std::uint32_t bogus : {2u, 3u, 2048u, 2049u, 0xFFFFFu, 0xFFFFFFFFu})
        d::traceFree(bogus, 50);
    EXPECT_EQ(traceStats(a), before);
    d::traceFree(1, 50);
    EXPECT_EQ(traceStats(a).numAllocs, 0);
}

TEST_F(TraceCharges, TraceValueFitsTheTraceWord) {
    for (int i = 0; i < 2048; ++i)
        d::findOrAddTraceRecord(("t" + std::to_string(i)).c_str(), d::traceIdentifierTable);
    std::int32_t last = 2047;
    d::startTrace(last, "t2047");
    EXPECT_EQ(d::traceAllocate(8), 2048u); // well within the 20 bits of the word
}

TEST_F(TraceCharges, FrameCountersAdvanceOnlyWithTheSwitch) {
    ASSERT_FALSE(d::settings.use_traceIdentifiers);
    const std::int32_t visual = d::currentVisualFrame();
    qj::nextVisualFrame();
    qj::nextPhysicFrame();
    EXPECT_EQ(d::currentVisualFrame(), visual);
    d::settings.use_traceIdentifiers = true;
    qj::nextVisualFrame();
    qj::nextVisualFrame();
    qj::nextPhysicFrame();
    d::settings.use_traceIdentifiers = false;
    EXPECT_EQ(d::currentVisualFrame(), 2);
    EXPECT_EQ(d::currentPhysicFrame(), 1);
}

// --- Resources ------------------------------------------------------------------------------

using ResourceTrace = TraceState;

TEST_F(ResourceTrace, AcquireAndRelease) {
    std::int32_t cell = -1;
    qj::resourceTraceAllocate(cell, "texture", 100);
    EXPECT_EQ(cell, 0);
    qj::resourceTraceAllocate(cell, "ignored once the cell is set", 300);
    qj::resourceTraceFree(cell, nullptr, 100);
    EXPECT_EQ(resourceStats(0), stats(400, 2, 1, 300, 100, 300));
    EXPECT_EQ(d::resourceTable.count.load(), 1);
}

TEST_F(ResourceTrace, ReleaseThroughAFreshCellRegistersTheName) {
    std::int32_t cell = -1;
    qj::resourceTraceFree(cell, "sound", 100);
    EXPECT_EQ(cell, 0);
    EXPECT_EQ(resourceStats(0), stats(0, 0, -1, -100, 0, 0));
}

TEST_F(ResourceTrace, NamesDifferingInCaseShareOneRecord) {
    std::int32_t a = -1, b = -1;
    qj::resourceTraceAllocate(a, "Texture", 10);
    qj::resourceTraceAllocate(b, "TEXTURE", 20);
    EXPECT_EQ(a, b);
    EXPECT_EQ(resourceStats(a).numAllocs, 2);
}

TEST_F(ResourceTrace, SizeZeroCountsOnlyTheAcquisition) {
    std::int32_t cell = -1;
    qj::resourceTraceAllocate(cell, "empty", 0);
    EXPECT_EQ(resourceStats(cell), stats(0, 1, 1, 0, 0, 0));
}

TEST_F(ResourceTrace, ResourcesAndTracesAreSeparateTables) {
    std::int32_t trace = -1;
    d::startTrace(trace, "shared name");
    std::int32_t resource = -1;
    qj::resourceTraceAllocate(resource, "other", 5);
    qj::resourceTraceAllocate(resource, "other", 5);
    EXPECT_EQ(trace, 0);
    EXPECT_EQ(resource, 0);
    EXPECT_EQ(traceStats(0).numAllocs, 0);
    EXPECT_EQ(resourceStats(0).numAllocs, 2);
}

TEST_F(ResourceTrace, CellsHoldingNoIdentifierChargeNothing) {
    std::int32_t known = -1;
    qj::resourceTraceAllocate(known, "known", 1);
    for (std::int32_t value : {1, 7, 2047, 2048, 123456, -2, INT_MIN}) {
        std::int32_t cell = value;
        qj::resourceTraceAllocate(cell, "stray", 10);
        qj::resourceTraceFree(cell, "stray", 10);
        EXPECT_EQ(cell, value);
    }
    EXPECT_EQ(d::resourceTable.count.load(), 1);
    EXPECT_EQ(resourceStats(0), stats(1, 1, 1, 1, 1, 1));
}

TEST_F(ResourceTrace, NullNameWithAFreshCellRegistersNothing) {
    std::int32_t cell = -1;
    qj::resourceTraceAllocate(cell, nullptr, 10);
    EXPECT_EQ(cell, -1);
    EXPECT_EQ(d::resourceTable.count.load(), 0);
}

TEST_F(ResourceTrace, WorksWhateverTheSwitches) {
    ASSERT_FALSE(d::settings.use_traceIdentifiers);
    std::int32_t cell = -1;
    qj::resourceTraceAllocate(cell, "always", 3);
    EXPECT_EQ(resourceStats(cell).numAllocs, 1);
}

} // namespace
