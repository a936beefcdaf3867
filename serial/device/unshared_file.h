// Opening a file for reading that nobody else may hold at the same time, as the client does
// with an image while it loads it into the box: a file that changes under the transfer
// would leave the flash holding neither the old image nor the new one.
#pragma once
#include <cstdio>
#include <string>

namespace qel::dev {

// A stream on the file, or null when it cannot be opened, is a directory, or another
// program holds it this way. The claim ends when the stream is closed.
std::FILE* OpenFileUnshared(const std::string& path);

}  // namespace qel::dev
