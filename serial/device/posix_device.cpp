#include "serial/device/posix_device.h"

namespace qel::dev {

std::string PosixPathFor(const std::string&) { return {}; }

std::shared_ptr<Device> OpenPosixDevice(const std::string&, bool, DWORD& error) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

}  // namespace qel::dev
