// The exact status text of getStatus under the switches that change it, returned or
// written to a file.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <string>

using qjtest::runHost;

namespace {

const std::string kBanner = "Quorrick.dll Ver:1.01 Date:2005/01/10\n\n";

TEST(Status, DefaultSettings) {
    const auto run = runHost(std::nullopt, "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    const std::string text = run.section(0);
    const std::string head = kBanner +
                             "TotalBytesAllocated:0 TotalAllocationCount:0\n"
                             "TraceIdentifiers not active\n"
                             "\nResources\nno resources found\n\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    // Then the pool table of ChunkPools::printStatus (pools are on by default).
    const std::string pools = text.substr(head.size());
    EXPECT_FALSE(pools.empty());
    EXPECT_EQ(pools.back(), '\n');
    EXPECT_EQ(pools.find("ChunkPools not active"), std::string::npos);
}

TEST(Status, PoolsOff) {
    const auto run = runHost(std::string("use_pools 0\n"), "malloc A 100 0\n"
                                                           "malloc B 2000 5\n"
                                                           "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(0), kBanner +
                                  "TotalBytesAllocated:2.124 TotalAllocationCount:2\n"
                                  "TraceIdentifiers not active\n"
                                  "\nResources\nno resources found\n\n"
                                  "ChunkPools not active\n");
}

TEST(Status, MemoryDllOff) {
    const auto run = runHost(std::string("use_memoryDll 0\n"), "malloc A 100 0\n"
                                                               "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(0), kBanner + "MemoryDLL not active\n");
}

TEST(Status, TracesOnBeforeTheFirstMemoryName) {
    const auto run = runHost(std::string("use_traceIdentifiers 1\nuse_pools 0\n"),
                             "malloc A 100 0\n"
                             "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(0), kBanner +
                                  "TotalBytesAllocated:116 TotalAllocationCount:1\n"
                                  "\nResources\nno resources found\n\n"
                                  "ChunkPools not active\n");
}

TEST(Status, TracesOnWithMemoryNames) {
    // Index 16 is outside the sixteen names: charged to name 0, and released from it.
    const auto run = runHost(std::string("use_traceIdentifiers 1\nuse_pools 0\n"),
                             "addname terrain\n"
                             "addname sound\n"
                             "malloc A 100 0\n"
                             "malloc B 2000 1\n"
                             "malloc C 100 16\n"
                             "malloc D 1500 1\n"
                             "t free D\n"
                             "status\n"
                             "free C\n"
                             "resalloc r Texture 4096\n"
                             "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.value("name terrain"), "1");
    EXPECT_EQ(run.value("name sound"), "2");
    EXPECT_EQ(run.section(0),
              kBanner +
                  "TotalBytesAllocated:2.248 TotalAllocationCount:4\n"
                  "[0] qj7 NumAllocs:2(2) Bytes:232(232) MinBlock:116 MaxBlock:116\n"
                  "[1] terrain NumAllocs:1(2) Bytes:2.016(3.532) MinBlock:1.516 MaxBlock:2.016\n"
                  "[2] sound NumAllocs:0(0) Bytes:0(0) MinBlock:0 MaxBlock:0\n"
                  "\nResources\nno resources found\n\n"
                  "ChunkPools not active\n");
    EXPECT_EQ(run.section(1),
              kBanner +
                  "TotalBytesAllocated:2.132 TotalAllocationCount:4\n"
                  "[0] qj7 NumAllocs:1(2) Bytes:116(232) MinBlock:116 MaxBlock:116\n"
                  "[1] terrain NumAllocs:1(2) Bytes:2.016(3.532) MinBlock:1.516 MaxBlock:2.016\n"
                  "[2] sound NumAllocs:0(0) Bytes:0(0) MinBlock:0 MaxBlock:0\n"
                  "\nResources\nTotal bytes allocated:4096\n"
                  "Bytes:4.096(4.096) MinBlock:4.096 MaxBlock:4.096 NumAllocs:1(1)  Texture  [0]\n"
                  "\n\n"
                  "ChunkPools not active\n");
}

TEST(Status, ToAFile) {
    const auto run = runHost(std::string("use_pools 0\n"), "resalloc r Sound 12\n"
                                                           "status\n"
                                                           "status status.txt\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(1), "");
    EXPECT_EQ(run.file("status.txt"), run.section(0));
    EXPECT_EQ(run.file("status.txt"),
              kBanner +
                  "TotalBytesAllocated:0 TotalAllocationCount:0\n"
                  "TraceIdentifiers not active\n"
                  "\nResources\nTotal bytes allocated:12\n"
                  "Bytes:12(12) MinBlock:12 MaxBlock:12 NumAllocs:1(1)  Sound  [0]\n"
                  "\n\n"
                  "ChunkPools not active\n");
}

TEST(Status, ToAFileThatCannotBeOpened) {
    const auto run = runHost(std::nullopt, "status missing/status.txt\n"
                                           "status\n");
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    EXPECT_EQ(run.section(0), "");
    EXPECT_FALSE(run.hasFile("missing"));
    EXPECT_EQ(run.section(1).rfind(kBanner, 0), 0u); // the buffer is whole again afterwards
}

} // namespace
