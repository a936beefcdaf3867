#include <fcntl.h>
#include <io.h>

#include "serial/device/unshared_file.h"
#include "serial/device/win32_api.h"

namespace qel::dev {

std::FILE* OpenFileUnshared(const std::string& path) {
    // Share mode 0: while the stream is open, nobody may open the file, for writing or at
    // all, and a file somebody else has open is refused.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only a file on a disk: a pipe, a console or a device would hand the box whatever
    // comes down it.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (!file) _close(fd);  // closes the handle too
    return file;
}

}  // namespace qel::dev
