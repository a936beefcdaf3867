// Files for the transfer tests: contents every byte value may be in, the time and mode a
// transfer must carry over, and the tools a test runs by path.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>

#include "e2e/scratch_dir.h"

namespace qel::test {

inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

// The path, once the file has the time and mode given.
inline std::string Stamp(const std::string& path, time_t mtime, mode_t mode = 0640) {
    chmod(path.c_str(), mode);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
}

// What run gives with dir as the working folder, where a ZMODEM receiver writes; -99 when
// the folder cannot be entered or left.
template <typename Run>
int InFolder(const std::string& dir, Run run) {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.c_str()) != 0) return -99;
    const int result = run();
    return chdir(cwd) == 0 ? result : -99;
}

// The tool's path on PATH, or "" when it is not installed.
inline std::string ToolPath(const std::string& name) {
    const std::string dirs = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    for (size_t start = 0, end = 0; start <= dirs.size(); start = end + 1) {
        end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

}  // namespace qel::test
