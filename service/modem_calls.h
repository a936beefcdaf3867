// dial and hangup: the modem on one port, for checking a line and a modem.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// Exit codes of a dial other than 0 (CONNECT): the modem's word by its index, or what went
// wrong when no word came.
constexpr int DIAL_EXIT_WORD_BASE = 30;  // + index of OK, NO CARRIER, ERROR, BUSY, NO DIALTONE
constexpr int DIAL_EXIT_NO_ANSWER = 40;
constexpr int DIAL_EXIT_UNKNOWN_ANSWER = 41;
constexpr int DIAL_EXIT_PORT_FAILED = 42;

// The exit code for what ModemDial returned.
int DialExitCode(int result);

// dial or hangup on the one port of options; the exit code.
int RunModem(const Options& options, const PortArg& port, Reporter& reporter);

}  // namespace qelflash
