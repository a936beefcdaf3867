// A C stream that closes itself on every way out of an operation, and the size of a file.
#pragma once
#include <cstdio>
#include <memory>

namespace stdio_file {

struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, Closer>;

// The file's length with the position put back at its start; -1 when it cannot be told.
inline long Size(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return size;
}

// Closes the file and tells whether everything written reached it.
inline bool Close(File& file) {
    return std::fclose(file.release()) == 0;
}

}  // namespace stdio_file
