// qelflash's command line: a subcommand, its file, its options and the boxes' ports.
#pragma once
#include <string>
#include <vector>

#include "service/port_arg.h"

namespace qelflash {

struct Options {
    std::string command;
    std::string file;  // image, .vme file, read-back file, or the file a transfer moves
    std::vector<std::string> files;  // zsend: every file, the first one also in file
    bool use1k = false;              // xsend: 1024-byte blocks
    int baud = 115200;               // transfers and the modem: the line's rate
    std::string number;              // dial: the number, as the modem takes it
    bool pulse = false;              // dial: pulse instead of tone
    std::vector<PortArg> ports;
    bool json = false;
    bool help = false;
    int address = -1;                  // flash: explicit start address, -1 from the image
    std::string target;                // device name the bootloader answers to
    int from = -1, to = -1;            // read: first and last flash address
    int stallSeconds = 300;            // several boxes: a box silent this long is stopped
    std::string simDir;                // sim: ports folder
    bool detach = false;               // sim: leave the simulator running and return
    std::vector<std::string> simArgs;  // sim: options after -- go to boxsim
    // The arguments a box of a many-box run is started with, ports and output left out.
    std::vector<std::string> passOn;
};

// False with a reason when the arguments are not a valid call; --help sets help and
// returns true.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// "usage: qelflash flash IMAGE --port PORT... [...]", for a subcommand or, for an unknown or
// empty one, the list of subcommands.
std::string UsageLine(const std::string& command);
// The whole help of a subcommand (or of qelflash itself).
std::string HelpText(const std::string& command);

// File transfers: one port, their own result codes.
bool IsTransfer(const std::string& command);
// dial and hangup: one port, given as --port or as the first argument.
bool IsModem(const std::string& command);

// Subcommands that take several ports and run one box process each.
bool TakesManyPorts(const std::string& command);

}  // namespace qelflash
