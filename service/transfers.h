// File transfers and the modem on one port: XMODEM and ZMODEM both ways, dial and hang up.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// xsend, xrecv, zsend, zrecv, dial or hangup on the one port of options; the exit code.
int RunTransfer(const Options& options, const PortSpec& port, Reporter& reporter);

// The exit code of a transfer's result: the result itself, a negative one as the shell shows
// it (256 + result).
int TransferExitCode(int result);

}  // namespace qelflash
