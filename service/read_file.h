// The file a read-back goes to: written under a temporary name beside it and renamed only
// when the read succeeded, so that the name asked for never holds half a flash. An earlier
// file of that name stays as it was until then.
#pragma once
#include <string>

namespace qelflash {

class ReadTarget {
  public:
    ReadTarget() = default;
    ~ReadTarget();
    ReadTarget(const ReadTarget&) = delete;
    ReadTarget& operator=(const ReadTarget&) = delete;

    // Makes the temporary file; false when the folder takes no file.
    bool Create(const std::string& path);
    const std::string& TempPath() const { return temp_; }
    // Gives the temporary file the name asked for; false when that fails (it is removed).
    bool Commit();

  private:
    std::string path_;
    std::string temp_;
};

}  // namespace qelflash
