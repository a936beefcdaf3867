#include "service/port_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "serial/device/posix_device.h"
#include "serial/v24.h"

namespace qelflash {

namespace {

constexpr int HIGHEST_COM = 255;

const char* StateOf(int handle) {
    switch (handle) {
        case V24_ACCESS_DENIED:
            return "busy";
        case V24_NO_DEVICE:
            return "missing";
        default:
            return handle >= 0 ? "free" : "failed";
    }
}

}  // namespace

int RunPorts(Reporter& reporter) {
    for (int n = 1; n <= HIGHEST_COM; ++n) {
        const std::string name = "COM" + std::to_string(n);
        // The same lookup the port library makes: the ports folder if there is one, else the
        // serial devices of the system.
        const std::string path = qel::dev::PosixPathFor("\\\\.\\" + name);
        struct stat link {};
        if (path.empty() || lstat(path.c_str(), &link) != 0) continue;
        std::string device = path;
        std::error_code ec;
        if (S_ISLNK(link.st_mode)) {
            const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
            if (!ec) device = target.string();
        }
        const int handle = V24Open(name.c_str(), 1);
        if (handle >= 0) V24Close(handle);
        Event e("port");
        e.Add("name", name).Add("device", device).Add("state", StateOf(handle));
        if (handle < 0) e.Add("v24", handle);
        reporter.Emit(e);
    }
    return 0;
}

}  // namespace qelflash
