// The histogram's counts and peaks against a plain model, while several threads count and
// uncount blocks in an order the test chooses: whichever thread holds the headroom of a
// record, the file and the byte totals must show what one shared counter per record
// would, also across the clears of peaks and of current counts.
#include "Quorrick.h"
#include "histogram/histogram.h"

#include "scratch_dir.h"
#include "turn_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qj = velt::zur::memory;
namespace d = velt::zur::memory::detail;

namespace {

// The histogram as one shared counter per record would keep it.
struct Model {
    struct Record {
        std::uint32_t current = 0, peak = 0;
    };
    std::map<std::uint32_t, Record> records; // by record index
    std::uint32_t bytes = 0, peakBytes = 0;
    static std::uint32_t indexOf(std::uint32_t size) {
        return std::min(size, d::HistogramSizeLimit);
    }
    void count(std::uint32_t size) {
        bytes += size;
        peakBytes = std::max(peakBytes, bytes);
        Record& r = records[indexOf(size)];
        r.current += 1;
        r.peak = std::max(r.peak, r.current);
    }
    void uncount(std::uint32_t size) {
        bytes -= size;
        Record& r = records[indexOf(size)];
        if (r.current > 0)
            r.current -= 1;
    }
    void clearPeaks() {
        for (auto& [index, r] : records)
            if (index < d::HistogramSizeLimit)
                r.peak = 0;
    }
    void clearCurrent() {
        for (auto& [index, r] : records)
            if (index < d::HistogramSizeLimit)
                r.current = 0;
    }
    // The file the histogram writes for these values.
    std::string file() const {
        std::ostringstream out;
        auto large = records.find(d::HistogramSizeLimit);
        const Record big = large != records.end() ? large->second : Record{};
        out << "Allocations greater than " << d::HistogramSizeLimit
            << " bytes\nCurrent:" << big.current << " Peak:" << big.peak
            << "\nTotal bytes allocated. Current:" << bytes << " Peak:" << peakBytes << "\n\n";
        for (const auto& [index, r] : records)
            if (index < d::HistogramSizeLimit && r.current > 0)
                out << "Size:" << index << " Current:" << r.current << " Peak:" << r.peak << "\n";
        out << "\nBlocks where current is zero\n\n";
        for (const auto& [index, r] : records)
            if (index < d::HistogramSizeLimit && r.current == 0 && r.peak > 0)
                out << "Size:" << index << " Peak:" << r.peak << "\n";
        return out.str();
    }
};

// The file's text with `\n` line ends (Windows writes `\r\n`).
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

// Three threads take turns at random over a few sizes (one of them in the large-block
// record), so that each record's headroom piles up on one thread and is needed on
// another; the peaks are cleared once, the current counts once (blocks counted before
// that are released afterwards and must not take a count below 0).
TEST(HistogramShares, FollowTheCountsOfOneSharedCounterPerRecord) {
    d::histogramResetForTesting();
    ScratchDir dir;
    const std::string path = dir.file("histogram.txt");
    const std::uint32_t sizes[] = {16, 24, 40, 9999, 10000, 12000};
    constexpr int kThreads = 3;
    TurnWorker workers[kThreads];
    Model model;
    std::vector<std::uint32_t> live;
    std::uint32_t state = 77;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int step = 0; step < 4000; ++step) {
        TurnWorker& worker = workers[next() % kThreads];
        const int phase = (step / 400) % 3;
        const std::uint32_t countOdds = phase == 0 ? 70 : phase == 1 ? 30 : 50;
        if (step == 1500) {
            qj::histogramClearPeaks();
            model.clearPeaks();
        }
        if (step == 2500) {
            qj::histogramClearCurrent();
            model.clearCurrent();
        }
        if (live.empty() || next() % 100 < countOdds) {
            const std::uint32_t size = sizes[next() % 6];
            worker.run([size] { d::histogramAddBlock(size); });
            model.count(size);
            live.push_back(size);
        } else {
            const std::size_t at = next() % live.size();
            const std::uint32_t size = live[at];
            live[at] = live.back();
            live.pop_back();
            worker.run([size] { d::histogramRemoveBlock(size); });
            model.uncount(size);
        }
        ASSERT_EQ(qj::histogramCurrentUsedMemory(), model.bytes) << "after step " << step;
        ASSERT_EQ(qj::histogramPeakUsedMemory(), model.peakBytes) << "after step " << step;
        if (step % 50 == 0 || step == 3999) {
            d::histogramWriteFile(path.c_str());
            ASSERT_EQ(readFile(path), model.file()) << "after step " << step;
        }
    }
    d::histogramResetForTesting();
}

} // namespace
