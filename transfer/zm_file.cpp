#include "transfer/zm_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "transfer/crc.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif

namespace {

constexpr std::uint32_t kFileTypeMask = 0xF000;
constexpr std::uint32_t kRegularFile = 0x8000;
// Set-user-ID, set-group-ID and sticky bits are never taken from a peer.
constexpr std::uint32_t kPermissionBits = 0777;

}  // namespace

const char* ZmBaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
    }
    return base;
}

bool ZmBuildFileInfo(const char* path, std::uint32_t length, std::uint32_t mtime,
                     std::uint32_t mode, ZmBuffer& buffer) {
    const char* base = ZmBaseName(path);
    const std::size_t nameLength = std::strlen(base);
    char numbers[64];
    int n = std::snprintf(numbers, sizeof numbers, "%lu %lo %o", static_cast<unsigned long>(length),
                          static_cast<unsigned long>(mtime), static_cast<unsigned>(mode));
    const std::size_t total = nameLength + 1 + static_cast<std::size_t>(n) + 1;
    if (total > ZM_MAX_SUBPACKET) return false;
    std::uint8_t* raw = buffer.Raw();
    std::memcpy(raw, base, nameLength + 1);
    std::memcpy(raw + nameLength + 1, numbers, static_cast<std::size_t>(n) + 1);
    buffer.length = static_cast<std::uint32_t>(total);
    return true;
}

ZmFileInfo ZmParseFileInfo(const ZmBuffer& buffer) {
    ZmFileInfo info;
    const char* text = reinterpret_cast<const char*>(buffer.data);
    const std::size_t n = buffer.length > ZM_MAX_SUBPACKET ? ZM_MAX_SUBPACKET : buffer.length;
    const std::size_t nameEnd = strnlen(text, n);
    info.name.assign(text, nameEnd < ZM_NAME_MAX ? nameEnd : ZM_NAME_MAX);
    if (nameEnd + 1 >= n) return info;
    // The numbers end at the next NUL or at the data's end, whichever comes first.
    char numbers[ZM_MAX_SUBPACKET + 1];
    const std::size_t numbersLength = strnlen(text + nameEnd + 1, n - nameEnd - 1);
    std::memcpy(numbers, text + nameEnd + 1, numbersLength);
    numbers[numbersLength] = '\0';
    unsigned long length = 0, mtime = 0;
    unsigned mode = 0;
    std::sscanf(numbers, "%lu %lo %o", &length, &mtime, &mode);
    info.length = static_cast<std::uint32_t>(length);
    info.mtime = static_cast<std::uint32_t>(mtime);
    info.mode = mode;
    return info;
}

std::string ZmLocalName(const std::string& received) {
    std::string name = ZmBaseName(received.c_str());
    if (name.empty() || name == "." || name == "..") return {};
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return {};
    }
    return name;
}

std::uint32_t ZmFileCrc(int fd, int* error) {
    if (error) *error = 0;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        if (error) *error = 1;
        return 0;
    }
    std::uint32_t crc = 0xFFFFFFFF;
    std::uint8_t piece[1024];
    for (;;) {
        ssize_t n = read(fd, piece, sizeof piece);
        if (n < 0) {
            if (error) *error = 1;
            break;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) crc = Crc32Update(crc, piece[i]);
    }
    return crc;
}

void ZmSetFileTimes(const char* path, std::uint32_t mtime, std::uint32_t mode) {
    // Through a descriptor, so that an entry swapped for a link meanwhile is not followed.
    int fd = open(path, O_RDONLY | O_BINARY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return;
    }
    if (mtime != 0) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_NOW;
        times[1].tv_sec = static_cast<time_t>(mtime);
        times[1].tv_nsec = 0;
        futimens(fd, times);
    }
    if ((mode & kFileTypeMask) == kRegularFile)
        fchmod(fd, static_cast<mode_t>(mode & kPermissionBits));
    close(fd);
}
