#include <fcntl.h>
#include <io.h>

#include "serial/device/unshared_file.h"
#include "serial/device/win32_api.h"

namespace qel::dev {

namespace {

std::FILE* OpenRegularFile(const std::string& path, ::DWORD share) {
    // Asked first, so that a device (a COM port, CON, a pipe) is never opened at all.
    const ::DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return nullptr;
    }
    // Share mode 0 (unshared): while the stream is open nobody may open the file, and a file
    // somebody else has open is refused.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // What was opened is checked again: the name may have been swapped meanwhile.
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

}  // namespace

std::FILE* OpenFileUnshared(const std::string& path) {
    return OpenRegularFile(path, 0);
}

std::FILE* OpenFileShared(const std::string& path) {
    return OpenRegularFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

}  // namespace qel::dev
