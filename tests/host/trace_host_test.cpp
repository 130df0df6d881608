// Memory names, trace identifiers, resources and their reports as a host sees them: the
// real library in a child process, with the switches from its MemorySettings.dat.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

using qjtest::runHost;
using qjtest::runHostWithEnvironment;

namespace {

// Defaults plus traces: used tag 4, header 4, trace word 4, tail guard 4; a request of
// 100 bytes is a block of 116 gross bytes.
const std::string kTraces = "use_traceIdentifiers 1\n";

TEST(TraceSwitch, OffStartsNothingAndReportsTheFixedText) {
    const auto run = runHost(std::nullopt, "start c Terrain\n"
                                           "end c\n"
                                           "tracereport\n"
                                           "tracereportfile traces.txt\n"
                                           "addname terrain\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("cell c"), "-1");
    EXPECT_EQ(run.section(0), "use_traceIdentifiers not enabled");
    EXPECT_FALSE(run.hasFile("traces.txt"));
    EXPECT_EQ(run.value("name terrain"), "1"); // names register whatever the switch
}

TEST(TraceCharges, GrossSizesChargedAndReleasedOnAnotherThread) {
    const auto run = runHost(kTraces, "start c Terrain\n"
                                      "malloc A 100 0\n"
                                      "malloc B 300 3\n"
                                      "end c\n"
                                      "malloc C 50 0\n"
                                      "peek A -4 4\n"
                                      "peek B -4 4\n"
                                      "peek C -4 4\n"
                                      "tracereport\n"
                                      "t free A\n"
                                      "tracereport\n"
                                      "free B\n"
                                      "free C\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("cell c"), "0");
    EXPECT_EQ(run.value("peek A"), "-4: 10 00 00 00"); // trace value 1, memory name 0
    EXPECT_EQ(run.value("peek B"), "-4: 13 00 00 00"); // trace value 1, memory name 3
    EXPECT_EQ(run.value("peek C"), "-4: 00 00 00 00"); // no trace open
    EXPECT_EQ(run.section(0), "Total bytes allocated:432\n"
                              "Bytes:432(432) MinBlock:116 MaxBlock:316 NumAllocs:2(2)  Terrain  [0]\n");
    EXPECT_EQ(run.section(1), "Total bytes allocated:316\n"
                              "Bytes:316(432) MinBlock:116 MaxBlock:316 NumAllocs:1(2)  Terrain  [0]\n");
    EXPECT_EQ(run.section(2), "Total bytes allocated:0\n");
    EXPECT_TRUE(run.errors().empty());
}

TEST(TraceCharges, InnermostTraceIsChargedAndSortedByBytes) {
    const auto run = runHost(kTraces, "start s Sound\n"
                                      "malloc A 100 0\n"
                                      "start t Textures\n"
                                      "malloc B 1000 0\n"
                                      "malloc C 2000 0\n"
                                      "end t\n"
                                      "end s\n"
                                      "start s2 SOUND\n"
                                      "malloc D 200 0\n"
                                      "end s2\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("cell s2"), "0");
    EXPECT_EQ(run.section(0),
              "Total bytes allocated:3364\n"
              "Bytes:3.032(3.032) MinBlock:1.016 MaxBlock:2.016 NumAllocs:2(2)  Textures  [1]\n"
              "Bytes:332(332) MinBlock:116 MaxBlock:216 NumAllocs:2(2)  Sound  [0]\n");
}

TEST(TraceStack, EndsThatAreNotInnermostOrFromAnotherThreadAreIgnored) {
    const auto run = runHost(kTraces, "start a Outer\n"
                                      "start b Inner\n"
                                      "end a\n"
                                      "t end b\n"
                                      "t malloc A 100 0\n"
                                      "end b\n"
                                      "malloc B 200 0\n"
                                      "end a\n"
                                      "malloc C 300 0\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    // A: Inner, opened by the main thread, charged from the worker; B: Outer; C: none.
    EXPECT_EQ(run.section(0),
              "Total bytes allocated:332\n"
              "Bytes:216(216) MinBlock:216 MaxBlock:216 NumAllocs:1(1)  Outer  [0]\n"
              "Bytes:116(116) MinBlock:116 MaxBlock:116 NumAllocs:1(1)  Inner  [1]\n");
}

TEST(TraceStack, CellHoldingNoIdentifierOpensNothing) {
    const auto run = runHost(kTraces, "setcell c 5\n"
                                      "start c Stray\n"
                                      "malloc A 100 0\n"
                                      "peek A -4 4\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("cell c"), "5");
    EXPECT_EQ(run.value("peek A"), "-4: 00 00 00 00");
    EXPECT_EQ(run.section(0), "no traces found");
}

TEST(TraceCharges, CorruptedTraceValueIsNotChargedBack) {
    // Trace value 0xFFFFF and trace value 2 (no identifier 1 exists) are ignored on release.
    const auto run = runHost(kTraces, "start c Terrain\n"
                                      "malloc A 100 0\n"
                                      "malloc B 100 0\n"
                                      "end c\n"
                                      "poke A -4 f0 ff ff 00\n"
                                      "poke B -4 20 00 00 00\n"
                                      "free A\n"
                                      "free B\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(0),
              "Total bytes allocated:232\n"
              "Bytes:232(232) MinBlock:116 MaxBlock:116 NumAllocs:2(2)  Terrain  [0]\n");
}

TEST(TraceReportFile, WritesTheReportAsIs) {
    const auto run = runHost(kTraces, "tracereportfile empty.txt\n"
                                      "start c Terrain\n"
                                      "malloc A 100 0\n"
                                      "tracereportfile traces.txt\n"
                                      "tracereportfile no/such/dir/traces.txt\n"
                                      "tracereport\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.file("empty.txt"), "no traces found");
    EXPECT_EQ(run.file("traces.txt"), run.section(0));
    EXPECT_EQ(run.file("traces.txt"),
              "Total bytes allocated:116\n"
              "Bytes:116(116) MinBlock:116 MaxBlock:116 NumAllocs:1(1)  Terrain  [0]\n");
}

TEST(Resources, WrittenAtShutdownWhateverTheSwitches) {
    for (const char* settings : {"", "use_traceIdentifiers 1\n", "use_memoryDll 0\n"}) {
        const auto run = runHost(std::string(settings), "resalloc r Texture 100\n"
                                                        "resalloc r ignored 300\n"
                                                        "resfree s Sound 5\n"
                                                        "resalloc t TEXTURE 0\n"
                                                        "resfree t x 0\n");
        ASSERT_TRUE(run.finished()) << run.out << run.err;
        EXPECT_EQ(run.value("cell r"), "0");
        EXPECT_EQ(run.value("cell s"), "1");
        EXPECT_EQ(run.value("cell t"), "0");
        EXPECT_EQ(run.file("resourcesAtShutdown.txt"),
                  "Total bytes allocated:395\n"
                  "Bytes:-5(0) MinBlock:0 MaxBlock:0 NumAllocs:-1(0)  Sound  [1]\n"
                  "Bytes:400(400) MinBlock:0 MaxBlock:300 NumAllocs:2(3)  Texture  [0]\n\n")
            << settings;
    }
}

TEST(Resources, NoneGivesTheFixedTextAtShutdown) {
    const auto run = runHost(std::nullopt, "setcell r 7\n"
                                           "resalloc r Stray 10\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("cell r"), "7");
    EXPECT_EQ(run.file("resourcesAtShutdown.txt"), "no resources found\n");
}

// The number of runtime-heap requests a run of `script` makes in all.
long requestsOf(const std::string& settings, const std::string& script) {
    const auto run = runHostWithEnvironment(settings, script, "QJ_FAULT_PLAN=count");
    const std::string marker = "qj runtime requests: ";
    const std::size_t at = run.err.find(marker);
    return at == std::string::npos ? -1 : std::stol(run.err.substr(at + marker.size()));
}

TEST(RecordRefusal, FailedTraceRecordOpensNothingAndKeepsTheCell) {
    // Pools off: after the first start, the only later request is the block of A. The
    // record of the first start is therefore the last request but one.
    const std::string settings = "use_traceIdentifiers 1\nuse_pools 0\n";
    const std::string script = "start c Terrain\n"
                               "malloc A 100 0\n"
                               "end c\n"
                               "start c Terrain\n"
                               "malloc B 200 0\n"
                               "end c\n"
                               "tracereport\n";
    const long all = requestsOf(settings, script);
    ASSERT_GT(all, 2);
    const auto run = runHostWithEnvironment(settings, "cb\n" + script,
                                            "QJ_FAULT_PLAN=" + std::to_string(all - 2));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_TRUE(run.errors().empty());
    const auto lines = run.lines();
    EXPECT_EQ(lines[0], "cell c -1"); // the record could not be made: nothing opened
    EXPECT_EQ(lines[2], "cell c 0");  // the lock was released: the next start works
    EXPECT_EQ(run.section(0), "Total bytes allocated:216\n"
                              "Bytes:216(216) MinBlock:216 MaxBlock:216 NumAllocs:1(1)  Terrain  [0]\n");
}

TEST(RecordRefusal, FailedResourceRecordChargesNothing) {
    const std::string settings = "use_pools 0\n";
    const std::string script = "resalloc r Texture 100\n"
                               "resalloc r Texture 300\n";
    // One record is made (the second call finds the cell set): it is the last request.
    const long all = requestsOf(settings, script);
    ASSERT_GT(all, 0);
    const auto run = runHostWithEnvironment(settings, script,
                                            "QJ_FAULT_PLAN=" + std::to_string(all));
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const auto lines = run.lines();
    EXPECT_EQ(lines[0], "cell r -1");
    EXPECT_EQ(lines[1], "cell r 0");
    EXPECT_EQ(run.file("resourcesAtShutdown.txt"),
              "Total bytes allocated:300\n"
              "Bytes:300(300) MinBlock:300 MaxBlock:300 NumAllocs:1(1)  Texture  [0]\n\n");
}

} // namespace
