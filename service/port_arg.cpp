#include "service/port_arg.h"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "serial/v24.h"

namespace qelflash {

namespace {

constexpr int LOWEST_COM = 1;
constexpr int HIGHEST_COM = 255;

bool ComNumber(const std::string& digits, int& number) {
    if (digits.empty() || digits.size() > 3) return false;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = std::atoi(digits.c_str());
    return number >= LOWEST_COM && number <= HIGHEST_COM;
}

}  // namespace

bool ParsePort(const std::string& text, PortArg& port) {
    port = PortArg();
    int number = 0;
    if (text.find('/') != std::string::npos) {
        port.label = port.devicePath = text;
        return true;
    }
    std::string digits = text;
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
        (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm')) {
        digits = text.substr(3);
    }
    if (!ComNumber(digits, number)) return false;
    port.label = port.v24Name = "COM" + std::to_string(number);
    return true;
}

int OpenPort(const PortArg& port) {
    if (!port.v24Name.empty()) return V24Open(port.v24Name.c_str(), 1);

    // The port library opens COM names only. A device path is given one for this opening: a
    // folder of our own with com1 linked to it, which is where the library looks names up.
    char folder[] = "/tmp/qelflash-port.XXXXXX";
    if (!mkdtemp(folder)) return V24_DEVICE_FAILED;
    const std::string link = std::string(folder) + "/com1";
    int handle = V24_NO_DEVICE;
    if (symlink(port.devicePath.c_str(), link.c_str()) == 0) {
        const char* before = std::getenv("QELFLASH_PORTS");
        const std::string saved = before ? before : "";
        setenv("QELFLASH_PORTS", folder, 1);
        handle = V24Open("COM1", 1);
        if (before) {
            setenv("QELFLASH_PORTS", saved.c_str(), 1);
        } else {
            unsetenv("QELFLASH_PORTS");
        }
        unlink(link.c_str());
    }
    rmdir(folder);
    return handle;
}

std::string PortErrorText(int code) {
    switch (code) {
        case V24_ACCESS_DENIED:
            return "in use or not permitted";
        case V24_NO_DEVICE:
            return "no such device";
        case V24_NO_MEMORY:
            return "not enough memory";
        case V24_NO_SLOT:
            return "all ports of the process in use";
        default:
            return "the device failed";
    }
}

}  // namespace qelflash
