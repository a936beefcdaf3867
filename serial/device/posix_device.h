// The termios backend.
#pragma once
#include <memory>
#include <string>

#include "serial/device/device.h"

namespace qel::dev {

// Where a device path such as "\\.\COM3" lives on this system: "com3" (lower case) in the
// folder named by QELFLASH_PORTS when that variable is set, else /dev/ttyS2 (COMn is
// /dev/ttyS{n-1}). Empty when the path names no COM port and no entry of that folder.
std::string PosixPathFor(const std::string& devicePath);

std::shared_ptr<Device> OpenPosixDevice(const std::string& devicePath, bool exclusive,
                                        DWORD& error);

}  // namespace qel::dev
