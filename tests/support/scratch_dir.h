// A directory of the test's own under the test temporary directory, removed with
// everything in it when the object goes. ctest runs several test processes at once; a
// fixed file name under the shared temporary directory would let one test read another's
// file.
#ifndef QJ_TESTS_SCRATCH_DIR_H
#define QJ_TESTS_SCRATCH_DIR_H

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class ScratchDir {
public:
    ScratchDir() {
        std::random_device seed;
        std::mt19937_64 random((static_cast<unsigned long long>(seed()) << 32) ^ seed());
        for (;;) {
            std::filesystem::path dir =
                std::filesystem::path(testing::TempDir()) / ("qjtest-" + std::to_string(random() % 1000000000000ull));
            std::error_code ec;
            if (std::filesystem::create_directory(dir, ec)) {
                dir_ = dir;
                return;
            }
            if (ec && ec != std::errc::file_exists)
                throw std::filesystem::filesystem_error("scratch directory", dir, ec);
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of `name` inside the directory.
    std::string file(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

#endif // QJ_TESTS_SCRATCH_DIR_H
