// A scratch folder for tests and benchmarks.
#pragma once
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace qel::test {

// A folder of the test's own, removed with all in it when the test ends.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        // Portable stand-in for mkdtemp, so that the Windows build of the tests has it too.
        std::random_device seed;
        std::error_code ignored;
        const auto base = std::filesystem::temp_directory_path(ignored);
        for (int tries = 0; tries < 100 && path.empty(); ++tries) {
            const auto candidate = base / ("qelflash." + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate, ignored)) path = candidate.string();
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path + "/" + name, std::ios::binary) << bytes;
        return path + "/" + name;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(path + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

}  // namespace qel::test
