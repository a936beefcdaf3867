// The termios backend.
#pragma once
#include <memory>
#include <string>

#include "serial/device/device.h"

namespace qel::dev {

// Where a device path such as "\\.\COM3" lives on this system: "com3" (the port text as
// given, lower case) in the folder named by QELFLASH_PORTS when that variable is set and
// not empty, else /dev/ttyS2 (COMn is /dev/ttyS{n-1}). Empty when the path names nothing
// there: no "\\.\" prefix, a port text that would leave the folder, or without the
// variable anything but COM1 to COM9999.
std::string PosixPathFor(const std::string& devicePath);

// Opens the device for PosixPathFor(devicePath), non-blocking and in raw mode. Exclusive
// access rests on flock (TIOCEXCL does not stop root); a shared open takes a shared lock, so
// that it is refused while another program holds the device exclusively and the other way
// round. On failure returns null with ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_NOT_ENOUGH_MEMORY or another code in error.
std::shared_ptr<Device> OpenPosixDevice(const std::string& devicePath, bool exclusive,
                                        DWORD& error);

// The Win32-like code for an errno value of an open device.
DWORD PosixErrorCode(int err);

}  // namespace qel::dev
