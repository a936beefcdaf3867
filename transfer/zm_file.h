// The file side of a ZMODEM transfer: the file-information subpacket, the local name a
// received file may take, its check value, and its time and mode.
#pragma once
#include <cstdint>
#include <string>

#include "transfer/zm_frames.h"

struct ZmFileInfo {
    std::string name;  // as received, at most ZM_NAME_MAX characters
    std::uint32_t length = 0;
    std::uint32_t mtime = 0;  // seconds since 1970, 0 for unknown
    std::uint32_t mode = 0;
};

constexpr std::size_t ZM_NAME_MAX = 80;

// The part of a path after its last '/', '\\' or ':'.
const char* ZmBaseName(const char* path);
// Fills the subpacket: base name, NUL, "%lu %lo %o", NUL. False when it does not fit.
bool ZmBuildFileInfo(const char* path, std::uint32_t length, std::uint32_t mtime,
                     std::uint32_t mode, ZmBuffer& buffer);
// Reads a received subpacket; a missing number counts as 0.
ZmFileInfo ZmParseFileInfo(const ZmBuffer& buffer);
// The name a received file may take in the current folder, or empty when none is safe:
// only the base name, never empty, "." or "..", and no control bytes.
std::string ZmLocalName(const std::string& received);

// CRC-32 of the whole file from 0xFFFFFFFF, not complemented; *error is 1 when a read or the
// seek failed.
std::uint32_t ZmFileCrc(int fd, int* error);
// Sets the modification time (unless 0) and, for a regular-file mode, the permission bits.
void ZmSetFileTimes(const char* path, std::uint32_t mtime, std::uint32_t mode);
