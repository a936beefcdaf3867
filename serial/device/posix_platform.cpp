#include <exception>
#include <thread>

#include "serial/device/platform.h"
#include "serial/device/posix_device.h"

namespace qel::dev {

std::shared_ptr<Device> OpenPlatformDevice(const std::string& path, bool exclusive, DWORD& error) {
    return OpenPosixDevice(path, exclusive, error);
}

bool StartBackgroundThread(std::function<void()> body) {
    try {
        // Linux gives an ordinary user no way back up once a thread is lowered, and the
        // thread only waits and signals: it keeps the normal priority.
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace qel::dev
