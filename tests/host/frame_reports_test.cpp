// The per-frame memory file and the frame churn export against a model of a scripted
// host: the test plans what the host allocates and releases in each frame, on its main
// thread (one allocation site) and its worker thread (another), writes the script, and
// computes the expected file lines and churn figures itself from the plan.
#include "host_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using qjtest::runHost;

namespace {

// Used tag 4, header 4, site word 4, trace word 4, tail guard 4: a request of N bytes is
// a block of N + 20 gross bytes, the size every statistic is charged with.
constexpr std::int32_t kOverhead = 20;
const std::string kSettings = "use_callstack 1\nuse_traceIdentifiers 1\nuse_pools 0\n"
                              "frame_memory_csv frames.csv\n";

struct Churn {
    std::int32_t bytes = 0, allocs = 0, peakBytes = 0, peakAllocs = 0, frame = 0;
    void charge(std::int32_t frameNow, std::int32_t amount) {
        if (frame != frameNow) {
            frame = frameNow;
            bytes = 0;
            allocs = 0;
        }
        bytes += amount;
        allocs += 1;
        peakBytes = std::max(peakBytes, bytes);
        peakAllocs = std::max(peakAllocs, allocs);
    }
};

struct Live {
    std::string block;
    int thread;
    int name;
    std::int32_t gross;
};

// The host and its expected figures, built step by step.
struct Model {
    std::ostringstream script;
    std::vector<Live> live;
    std::array<Churn, 2> visual, physic; // per thread: 0 main, 1 worker
    std::int32_t visualFrame = 0, physicFrame = 0;
    std::vector<std::string> csv; // expected lines of frames.csv
    int nextBlock = 0;

    void allocate(int thread, int name, std::int32_t size) {
        const std::string block = "b" + std::to_string(nextBlock++);
        script << (thread == 1 ? "t " : "") << "malloc " << block << ' ' << size << ' ' << name
               << '\n';
        visual[thread].charge(visualFrame, size + kOverhead);
        physic[thread].charge(physicFrame, size + kOverhead);
        live.push_back({block, thread, name, size + kOverhead});
    }
    // Releases every live block whose position is a multiple of `every`, from another
    // thread than the one that allocated it now and then: a release charges no frame.
    void release(std::size_t every) {
        std::vector<Live> kept;
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (i % every == 0)
                script << (i % 3 == 0 ? "t " : "") << "free " << live[i].block << '\n';
            else
                kept.push_back(live[i]);
        }
        live = kept;
    }
    void nextPhysic() {
        script << "t physic\n";
        ++physicFrame;
    }
    void nextVisual() {
        script << "visual\n";
        std::array<std::int64_t, 4> bytes{}, blocks{};
        for (const Live& b : live) {
            bytes[b.name] += b.gross;
            blocks[b.name] += 1;
        }
        std::string line = std::to_string(visualFrame);
        std::int64_t totalBytes = 0, totalBlocks = 0;
        for (int n = 0; n < 4; ++n) {
            line += "," + std::to_string(bytes[n]) + "," + std::to_string(blocks[n]);
            totalBytes += bytes[n];
            totalBlocks += blocks[n];
        }
        csv.push_back(line + "," + std::to_string(totalBytes) + "," + std::to_string(totalBlocks));
        ++visualFrame;
    }
    // The fields of the export's line for `thread`'s site.
    std::string churnFields(int thread) const {
        const Churn& v = visual[thread];
        const Churn& p = physic[thread];
        std::int32_t current = 0, count = 0;
        for (const Live& b : live)
            if (b.thread == thread) {
                current += b.gross;
                ++count;
            }
        std::ostringstream out;
        out << "visualFramePeakBytes=" << v.peakBytes << " visualFramePeakAllocs=" << v.peakAllocs
            << " physicFramePeakBytes=" << p.peakBytes << " physicFramePeakAllocs=" << p.peakAllocs
            << " visualFrameBytes=" << (v.frame == visualFrame ? v.bytes : 0)
            << " visualFrameAllocs=" << (v.frame == visualFrame ? v.allocs : 0)
            << " physicFrameBytes=" << (p.frame == physicFrame ? p.bytes : 0)
            << " physicFrameAllocs=" << (p.frame == physicFrame ? p.allocs : 0)
            << " currentNumAllocs=" << count << " currentTotalSize=" << current;
        return out.str();
    }
    std::int32_t churnPeak(int thread) const {
        return std::max(visual[thread].peakBytes, physic[thread].peakBytes);
    }
};

// A plan of uneven frames: frame sizes and block sizes vary with a fixed-seed generator, the
// worker allocates more in some frames and less in others than the main thread, physics
// frames run two or three per visual frame, and each frame releases part of what lives.
Model plannedHost(int frames) {
    Model m;
    m.script << "addname terrain\naddname sound,\xA0music\naddname physics\n";
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % bound;
    };
    for (int f = 0; f < frames; ++f) {
        const int mainBlocks = 2 + static_cast<int>(next(6));
        const int workerBlocks = 1 + static_cast<int>(next(5));
        const int physicsSteps = 2 + static_cast<int>(next(2));
        for (int i = 0; i < mainBlocks; ++i)
            m.allocate(0, i % 3 == 0 ? 0 : 1 + static_cast<int>(next(2)),
                       1 + static_cast<std::int32_t>(next(3000)));
        for (int s = 0; s < physicsSteps; ++s) {
            for (int i = 0; i < workerBlocks; ++i)
                m.allocate(1, 3, 16 + static_cast<std::int32_t>(next(900)));
            m.nextPhysic();
        }
        m.release(f % 2 == 0 ? 2 : 3);
        m.nextVisual();
    }
    return m;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(FrameMemoryFile, OneLinePerVisualFrameWithEveryNameAndTheTotal) {
    Model m = plannedHost(7);
    // A name added after some frames widens the header from the next line on.
    m.script << "addname late\nmalloc late1 40 4\nvisual\n";
    auto run = runHost(kSettings, m.script.str());
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    ASSERT_TRUE(run.hasFile("frames.csv"));
    const std::vector<std::string> got = lines(run.file("frames.csv"));

    // The name holding a separator is quoted, the byte above ASCII kept as it is.
    std::vector<std::string> want = {"frame,qj7_bytes,qj7_blocks,terrain_bytes,terrain_blocks,"
                                     "\"sound,\xA0music_bytes\",\"sound,\xA0music_blocks\","
                                     "physics_bytes,physics_blocks,total_bytes,total_blocks"};
    want.insert(want.end(), m.csv.begin(), m.csv.end());
    // The last frame: names 0-3 without the late block, then "late" with it.
    std::array<std::int64_t, 4> bytes{}, blocks{};
    for (const Live& b : m.live) {
        bytes[b.name] += b.gross;
        blocks[b.name] += 1;
    }
    std::string last = "7";
    std::int64_t total = 60, count = 1;
    for (int n = 0; n < 4; ++n) {
        last += "," + std::to_string(bytes[n]) + "," + std::to_string(blocks[n]);
        total += bytes[n];
        count += blocks[n];
    }
    want.push_back(
        want[0].substr(0, want[0].size() - std::string(",total_bytes,total_blocks").size()) +
        ",late_bytes,late_blocks,total_bytes,total_blocks");
    want.push_back(last + ",60,1," + std::to_string(total) + "," + std::to_string(count));
    EXPECT_EQ(got, want);
}

TEST(FrameMemoryFile, UnsetOrWithoutTracesWritesNothing) {
    const Model m = plannedHost(3);
    for (const std::string& settings : {std::string("use_callstack 1\nuse_traceIdentifiers 1\n"),
                                        std::string("frame_memory_csv frames.csv\n")}) {
        auto run = runHost(settings, m.script.str() + "say done\n");
        ASSERT_TRUE(run.finished()) << run.out << run.err;
        EXPECT_FALSE(run.hasFile("frames.csv")) << settings;
    }
}

// The export's site lines without their frames: "visualFramePeakBytes=... currentTotalSize=...".
std::vector<std::string> churnSites(const std::string& text, std::string& heading) {
    std::vector<std::string> sites;
    for (const std::string& line : lines(text)) {
        if (line.rfind("# Allocation sites", 0) == 0)
            heading = line;
        if (line.rfind("alloc depth=", 0) != 0)
            continue;
        const std::size_t from = line.find(' ', line.find(' ') + 1) + 1;
        const std::size_t to = line.find(" minAllocSize=");
        sites.push_back(line.substr(from, to - from));
    }
    return sites;
}

TEST(FrameChurnExport, SitesByTheirPerFramePeakWithTheModelsFigures) {
    Model m = plannedHost(9);
    // One more block on the worker after the last frame change: the export shows it as
    // what the site allocated in the current frames so far.
    m.allocate(1, 3, 500);
    m.script << "churn churn.txt 0\nchurn top1.txt 1\ndumpall all.txt -1\n";
    auto run = runHost(kSettings, m.script.str());
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    ASSERT_TRUE(run.hasFile("churn.txt"));

    const int first = m.churnPeak(1) >= m.churnPeak(0) ? 1 : 0;
    ASSERT_NE(m.churnPeak(0), m.churnPeak(1)) << "the plan must tell the sites apart";
    std::string heading;
    EXPECT_EQ(churnSites(run.file("churn.txt"), heading),
              (std::vector<std::string>{m.churnFields(first), m.churnFields(1 - first)}));
    EXPECT_EQ(heading, "# Allocation sites by bytes in one frame (2 of 2; visual frame 9, "
                       "physics frame " +
                           std::to_string(m.physicFrame) + ")");
    EXPECT_EQ(churnSites(run.file("top1.txt"), heading),
              std::vector<std::string>{m.churnFields(first)});
    EXPECT_EQ(heading.substr(0, 50), "# Allocation sites by bytes in one frame (1 of 2; ");

    // The frames are the leak report's: the same module list and the same call stacks.
    const auto tail = [](const std::string& line) { return line.substr(line.rfind(' ') + 1); };
    std::vector<std::string> churnStacks, leakStacks, churnModules, leakModules;
    for (const std::string& line : lines(run.file("churn.txt"))) {
        if (line.rfind("alloc depth=", 0) == 0)
            churnStacks.push_back(line.substr(0, line.find(' ')) + " " + tail(line));
        if (line.rfind("module ", 0) == 0)
            churnModules.push_back(line);
    }
    for (const std::string& line : lines(run.file("all.txt"))) {
        if (line.rfind("alloc depth=", 0) == 0)
            leakStacks.push_back(line.substr(0, line.find(' ')) + " " + tail(line));
        if (line.rfind("module ", 0) == 0)
            leakModules.push_back(line);
    }
    std::sort(churnStacks.begin(), churnStacks.end());
    std::sort(leakStacks.begin(), leakStacks.end());
    EXPECT_EQ(churnStacks, leakStacks);
    EXPECT_EQ(churnModules, leakModules);
}

TEST(FrameChurnExport, ClearedByTraceResetAndUnavailableWithoutCallStacks) {
    Model m = plannedHost(2);
    // memoryTraceReset clears the sites whose latest block was made under the allocating
    // thread's own trace: the main thread's here, not the worker's.
    std::string script =
        "start c Frame\n" + m.script.str() + "end c\ntracereset\nchurn churn.txt 0\n";
    auto run = runHost(kSettings, script);
    ASSERT_TRUE(run.finished()) << run.out << run.err;
    std::string heading;
    EXPECT_EQ(churnSites(run.file("churn.txt"), heading),
              std::vector<std::string>{m.churnFields(1)});
    EXPECT_EQ(heading.substr(0, 50), "# Allocation sites by bytes in one frame (1 of 1; ");

    auto off = runHost("use_traceIdentifiers 1\n", m.script.str() + "churn churn.txt 0\n");
    ASSERT_TRUE(off.finished()) << off.out << off.err;
    EXPECT_EQ(off.value("dump"), "can't dump allocations: callstack information not available.");
    EXPECT_FALSE(off.hasFile("churn.txt"));
}

} // namespace
