// A box's port as the user names it: a COM number (3), a COM name (COM3) or a device path
// (/dev/ttyUSB0).
#pragma once
#include <string>

namespace qelflash {

struct PortArg {
    std::string label;       // how events name the port: COMn, or the path as given
    std::string v24Name;     // COMn for the port library; empty for a device path
    std::string devicePath;  // the path as given; empty for a COM name
};

// False when the text is neither a COM number 1..255, nor COMn, nor a path (it has a '/').
bool ParsePort(const std::string& text, PortArg& port);

// Opens the port exclusively; the port library's handle or its negative error code.
int OpenPort(const PortArg& port);

// The port library's error code in words.
std::string PortErrorText(int code);

}  // namespace qelflash
