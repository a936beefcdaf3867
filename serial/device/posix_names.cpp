#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "serial/device/posix_device.h"

namespace qel::dev {

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::string PosixPathFor(const std::string& devicePath) {
    const std::string prefix = "\\\\.\\";
    if (devicePath.compare(0, prefix.size(), prefix) != 0) return {};
    const std::string port = Lower(devicePath.substr(prefix.size()));
    if (port.empty()) return {};

    const char* folder = std::getenv("QELFLASH_PORTS");
    if (folder != nullptr && *folder != '\0') {
        // The port text comes from the command line: it must name an entry of the folder,
        // never a path leading out of it.
        if (port.find('/') != std::string::npos || port.find('\0') != std::string::npos ||
            port == "." || port == "..") {
            return {};
        }
        return std::string(folder) + "/" + port;
    }

    if (port.compare(0, 3, "com") != 0) return {};
    const std::string digits = port.substr(3);
    if (digits.empty() || digits.size() > 4) return {};
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return {};
    }
    const int number = std::atoi(digits.c_str());
    if (number < 1) return {};
    return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace qel::dev
