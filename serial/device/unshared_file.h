// Opening the files the client loads into the box. Only a regular file is ever opened: a FIFO
// would hold the open (or the first read) until some writer turns up, and a device or a
// socket is not an image at all; each is refused at once, like a file that is not there.
//
// Unshared, as the client opens an image while it loads it into the box: a file that changes
// under the transfer would leave the flash holding neither the old image nor the new one.
#pragma once
#include <cstdio>
#include <string>

namespace qel::dev {

// A stream on the regular file, or null when it cannot be opened, is not a regular file, or
// another program holds it this way. The claim ends when the stream is closed.
std::FILE* OpenFileUnshared(const std::string& path);

// The same without the claim: other programs may hold and read the file meanwhile.
std::FILE* OpenFileShared(const std::string& path);

}  // namespace qel::dev
