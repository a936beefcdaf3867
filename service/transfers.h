// File transfers on one port: XMODEM and ZMODEM both ways.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// xsend, xrecv, zsend or zrecv on the one port of options; the exit code.
int RunTransfer(const Options& options, const PortArg& port, Reporter& reporter);

// The exit code of a transfer's result: the result itself, a negative one as the shell shows
// it (256 + result).
int TransferExitCode(int result);

class EventObserver;
// Opens the port for a transfer or a modem command; when it cannot be opened, reports the
// port error and the finish and gives the negative handle.
int OpenPortReporting(const PortArg& port, EventObserver& observer);

}  // namespace qelflash
