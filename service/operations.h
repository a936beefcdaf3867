// One operation on one box, or on an image file alone, reported as events.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// The name a box's bootloader is asked for when neither --target nor an image names one.
constexpr const char* DEFAULT_DEVICE_NAME = "PLV 200";

// flash, fpga, verify, read or info on the one port of options; the result code.
int RunOnPort(const Options& options, const PortArg& port, Reporter& reporter);

// strings: the image's identification strings; the result code.
int RunStrings(const Options& options, Reporter& reporter);

}  // namespace qelflash
