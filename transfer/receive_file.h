// The file a receive writes. Bytes go to a new file beside the path and take the path's name
// only when the whole file has come, so a failed receive leaves the path as it was: nothing
// where there was nothing, and an earlier file there untouched, never truncated or deleted.
// A symbolic link at the path is replaced by the received file; what it pointed to is never
// written. A path that names something other than a file or a link (a folder, a device, a
// pipe) is refused before anything is written.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace qel::transfer {

class ReceiveFile {
  public:
    ReceiveFile() = default;
    ~ReceiveFile() { Discard(); }
    ReceiveFile(const ReceiveFile&) = delete;
    ReceiveFile& operator=(const ReceiveFile&) = delete;

    bool Create(const std::string& path);
    bool Write(const void* data, std::size_t n);
    // Puts the received file in place; false (and nothing changed at the path) when that
    // fails.
    bool Commit();
    // Removes what was written so far.
    void Discard();

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string part_;
};

}  // namespace qel::transfer
