#include <algorithm>
#include <cctype>

#include "serial/device/device.h"
#include "serial/device/platform.h"
#include "serial/device/virtual_line.h"

namespace qel::dev {

std::shared_ptr<Device> OpenDevice(const std::string& path, bool exclusive, DWORD& error) {
    const std::string prefix = "\\\\.\\";
    if (path.compare(0, prefix.size(), prefix) == 0) {
        std::string name = path.substr(prefix.size());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (auto end = FindVirtualPort(name)) return end->OpenHandle(exclusive, error);
    }
    return OpenPlatformDevice(path, exclusive, error);
}

}  // namespace qel::dev
