#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/device/unshared_file.h"

namespace qel::dev {

namespace {

std::FILE* OpenRegularFile(const std::string& path, bool unshared) {
    struct stat info {};
    // Asked first so that a device is never opened: opening one can already act on it (a
    // tape rewinds, a watchdog starts).
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    // The name may have been swapped since: what was opened is checked again, and opening
    // without blocking keeps a FIFO slipped in meanwhile from holding the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    // The lock is advisory: it keeps out programs that ask the same way, which is as far as
    // "no sharing" reaches on this system.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        (unshared && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) ::close(fd);
    return file;
}

}  // namespace

std::FILE* OpenFileUnshared(const std::string& path) {
    return OpenRegularFile(path, true);
}

std::FILE* OpenFileShared(const std::string& path) {
    return OpenRegularFile(path, false);
}

}  // namespace qel::dev
