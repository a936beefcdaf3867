#include "service/command_line.h"

#include <cstdlib>
#include <cstring>

namespace qelflash {

namespace {

constexpr unsigned long HIGHEST_ADDRESS = 0xFFFFF;
constexpr int MAX_STALL_SECONDS = 24 * 3600;

struct Command {
    const char* name;
    const char* usage;  // after "qelflash NAME "
    const char* help;
};

const Command kCommands[] = {
    {"flash", "IMAGE --port PORT... [--address HEX] [--target NAME] [--json] [--stall SECONDS]",
     "Loads a firmware image into the box's flash. With several ports every box is flashed at\n"
     "once, each in a process of its own.\n"
     "  --address HEX   load address (even, 4000 or above); default: 8000, and the box's\n"
     "                  name from the image\n"
     "  --target NAME   the name the box's bootloader answers to (at most 8 characters)\n"},
    {"fpga", "FILE.vme --port PORT... [--json] [--stall SECONDS]",
     "Sends an FPGA configuration file to the box's running firmware, which programs it.\n"},
    {"verify", "IMAGE --port PORT... [--target NAME] [--json] [--stall SECONDS]",
     "Compares the box's flash from address 8000 on with an image file.\n"
     "  --target NAME   the bootloader's name; default: the one the image names\n"},
    {"read", "FILE --port PORT --from HEX --to HEX [--target NAME] [--json]",
     "Copies the flash from --from to --to (both included) into FILE. FILE appears only when\n"
     "the whole range was read; until then the data goes to a temporary file beside it.\n"
     "  --target NAME   the bootloader's name; default PLV 200\n"},
    {"info", "--port PORT... [--target NAME] [--json] [--stall SECONDS]",
     "Asks the box's bootloader for its serial number, hardware, boot and program versions\n"
     "and its second serial number (SSN), then restarts the box.\n"
     "  --target NAME   the bootloader's name; default PLV 200\n"},
    {"xsend", "FILE --port PORT [--1k] [--baud N] [--json]",
     "Sends FILE by XMODEM (CRC or checksum, as the receiver asks; --1k: 1024-byte blocks).\n"},
    {"xrecv", "FILE --port PORT [--baud N] [--json]",
     "Receives one file by XMODEM (CRC) into FILE. FILE appears only when the transfer\n"
     "succeeded; an earlier FILE stays as it was otherwise.\n"},
    {"zsend", "FILE... --port PORT [--baud N] [--json]",
     "Sends the files by ZMODEM, in one batch.\n"},
    {"zrecv", "FOLDER --port PORT [--baud N] [--json]",
     "Receives files by ZMODEM into FOLDER until the sender ends the batch.\n"},
    {"dial", "PORT NUMBER [--pulse] [--baud N] [--json]",
     "Dials NUMBER through the modem on PORT (tone; --pulse: pulse dialling) and reports its\n"
     "answer. For checking a line and a modem: the call lasts only while qelflash holds the\n"
     "port. On Linux closing the port drops DTR (unless the device's hupcl is off), and a\n"
     "modem set to hang up on DTR (AT&D2) ends the call then; otherwise use hangup.\n"
     "  --baud N   the rate the modem is used at (default 115200)\n"
     "Exit code: 0 CONNECT; 30 OK, 31 NO CARRIER, 32 ERROR, 33 BUSY, 34 NO DIALTONE; 40 no\n"
     "answer within two minutes, 41 an answer that is none of these, 42 the port failed\n"
     "during the dial; a port that cannot be opened 256 + its code (255 busy, 254 missing).\n"},
    {"hangup", "PORT [--baud N] [--json]",
     "Hangs up the modem on PORT: \"+++\" between two 2 s pauses, then ATH (takes 4.5 s or\n"
     "more). Exit code 0 done; a port that cannot be opened or fails, 256 + its code.\n"},
    {"strings", "IMAGE [--json]",
     "Lists the identification strings of an image file (no box needed).\n"},
    {"ports", "[--json]",
     "Lists every COM number, the device it maps to, and whether it can be opened now.\n"},
    {"sim", "[--dir DIR] [--detach] [--json] [-- BOXSIM-OPTIONS...]",
     "Starts the simulated box on the lowest free COM number of the ports folder (DIR, or\n"
     "$QELFLASH_PORTS) and prints it. Runs until interrupted; with --detach it returns at once\n"
     "and leaves the simulator running (its pid is printed).\n"},
};

const char kCommon[] =
    "PORT is a COM number (3), a COM name (COM3) or a device path (/dev/ttyUSB0); give\n"
    "--port several times, or a list (3,4,5) or a range (3-18), for several boxes.\n"
    "  --json            one JSON object per line for every event\n"
    "  --stall SECONDS   several boxes: stop a box's process that shows no sign of life for\n"
    "                    this long (default 300)\n"
    "Exit code: the result code of the operation (0 success), with several boxes the worst\n"
    "one; 1 for bad arguments.\n";

const Command* Find(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool Hex(const std::string& text, int& value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 8) return false;
    char* end = nullptr;
    unsigned long n = std::strtoul(digits.c_str(), &end, 16);
    if (*end != '\0' || n > HIGHEST_ADDRESS || digits[0] == '-' || digits[0] == '+') return false;
    value = static_cast<int>(n);
    return true;
}

// What a modem takes in a dial command. A carriage return or an AT command of its own would
// end the dial and reach the modem as a command.
bool DialString(const std::string& number) {
    if (number.empty() || number.size() > 40) return false;
    for (char ch : number) {
        if (!std::strchr("0123456789*#,;W@!ABCDPTwabcdpt", ch) || ch == '\0') return false;
    }
    return true;
}

// "3", "COM3", "/dev/x", "3,4,5", "3-18".
bool AddPorts(const std::string& text, std::vector<PortArg>& ports, std::string& error) {
    std::vector<std::string> parts;
    if (text.find('/') != std::string::npos) {
        parts.push_back(text);
    } else {
        std::size_t start = 0;
        for (;;) {
            std::size_t comma = text.find(',', start);
            parts.push_back(text.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    for (const std::string& part : parts) {
        std::size_t dash = part.find('-');
        std::vector<std::string> names;
        if (dash != std::string::npos && part.find('/') == std::string::npos) {
            PortArg first, last;
            if (!ParsePort(part.substr(0, dash), first) ||
                !ParsePort(part.substr(dash + 1), last)) {
                error = "bad port range " + part;
                return false;
            }
            int a = std::atoi(first.label.c_str() + 3), b = std::atoi(last.label.c_str() + 3);
            if (b < a) {
                error = "bad port range " + part;
                return false;
            }
            for (int n = a; n <= b; ++n) names.push_back(std::to_string(n));
        } else {
            names.push_back(part);
        }
        for (const std::string& name : names) {
            PortArg port;
            if (!ParsePort(name, port)) {
                error = "bad port " + name + " (a COM number 1-255, COMn or a device path)";
                return false;
            }
            for (const PortArg& p : ports) {
                if (p.label == port.label) {
                    error = "port " + port.label + " given twice";
                    return false;
                }
            }
            ports.push_back(port);
        }
    }
    return true;
}

}  // namespace

bool IsTransfer(const std::string& command) {
    return command == "xsend" || command == "xrecv" || command == "zsend" || command == "zrecv";
}

bool IsModem(const std::string& command) {
    return command == "dial" || command == "hangup";
}

bool TakesManyPorts(const std::string& command) {
    return command == "flash" || command == "fpga" || command == "verify" || command == "info";
}

std::string UsageLine(const std::string& command) {
    const Command* c = Find(command);
    if (!c) {
        return "usage: qelflash "
               "flash|fpga|verify|read|info|xsend|xrecv|zsend|zrecv|dial|hangup|strings|ports|sim"
               " ... (--help)";
    }
    return std::string("usage: qelflash ") + c->name + " " + c->usage;
}

std::string HelpText(const std::string& command) {
    const Command* c = Find(command);
    if (c) {
        std::string text = UsageLine(command) + "\n" + c->help;
        if (TakesManyPorts(command) || command == "read" || IsTransfer(command) ||
            IsModem(command)) {
            text += kCommon;
        }
        return text;
    }
    std::string text =
        "qelflash: service tool for the interface box\n"
        "usage: qelflash COMMAND [ARGUMENTS] (qelflash COMMAND --help for each)\n";
    for (const Command& k : kCommands)
        text += std::string("  qelflash ") + k.name + " " + k.usage + "\n";
    text += kCommon;
    return text;
}

bool ParseCommandLine(int argc, const char* const* argv, Options& o, std::string& error) {
    o = Options();
    if (argc < 2) {
        error = "no command";
        return false;
    }
    o.command = argv[1];
    if (o.command == "--help" || o.command == "-h" || o.command == "help") {
        o.command = argc > 2 ? argv[2] : "";
        o.help = true;
        return true;
    }
    const Command* command = Find(o.command);
    if (!command) {
        error = "unknown command " + o.command;
        o.command.clear();
        return false;
    }
    const std::string& c = o.command;
    const bool boxCommand = c != "strings" && c != "ports" && c != "sim";
    std::vector<std::string> positional;
    bool haveFrom = false, haveTo = false;

    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " wants a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto keep = [&](const std::string& v) {
            o.passOn.push_back(a);
            o.passOn.push_back(v);
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
            return true;
        } else if (a == "--json") {
            o.json = true;
        } else if (c == "sim" && a == "--") {
            o.simArgs.assign(argv + i + 1, argv + argc);
            break;
        } else if (boxCommand && (a == "--port" || a == "-p")) {
            if (!value(v) || !AddPorts(v, o.ports, error)) return false;
        } else if (boxCommand && !IsModem(c) && a == "--target") {
            if (!value(v)) return false;
            if (v.empty() || v.size() > 8) {
                error = "--target wants a name of 1 to 8 characters";
                return false;
            }
            o.target = v;
            keep(v);
        } else if (c == "flash" && a == "--address") {
            if (!value(v)) return false;
            if (!Hex(v, o.address)) {
                error = "--address wants a hexadecimal address up to FFFFF";
                return false;
            }
            keep(v);
        } else if (c == "read" && (a == "--from" || a == "--to")) {
            if (!value(v)) return false;
            if (!Hex(v, a == "--from" ? o.from : o.to)) {
                error = a + " wants a hexadecimal address up to FFFFF";
                return false;
            }
            (a == "--from" ? haveFrom : haveTo) = true;
        } else if (TakesManyPorts(c) && a == "--stall") {
            if (!value(v)) return false;
            char* end = nullptr;
            long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > MAX_STALL_SECONDS) {
                error = "--stall wants seconds, 1 or more";
                return false;
            }
            o.stallSeconds = static_cast<int>(n);
        } else if ((IsTransfer(c) || IsModem(c)) && a == "--baud") {
            if (!value(v)) return false;
            char* end = nullptr;
            long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 50 || n > 4000000) {
                error = "--baud wants a rate such as 115200";
                return false;
            }
            o.baud = static_cast<int>(n);
        } else if (c == "dial" && a == "--pulse") {
            o.pulse = true;
        } else if (c == "xsend" && a == "--1k") {
            o.use1k = true;
        } else if (c == "sim" && a == "--dir") {
            if (!value(o.simDir)) return false;
        } else if (c == "sim" && a == "--detach") {
            o.detach = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else {
            positional.push_back(a);
        }
    }

    if (IsModem(c) && o.ports.empty() && !positional.empty()) {
        if (!AddPorts(positional.front(), o.ports, error)) return false;
        positional.erase(positional.begin());
    }
    if (c == "dial") {
        if (positional.size() != 1) {
            error = "one number wanted";
            return false;
        }
        o.number = positional.front();
        positional.clear();
        if (!DialString(o.number)) {
            error = "bad number " + o.number + " (digits, * # , ; W @ ! A-D P T, up to 40)";
            return false;
        }
    }
    const bool wantsFile = c == "flash" || c == "fpga" || c == "verify" || c == "read" ||
                           c == "strings" || IsTransfer(c);
    if (c == "zsend" && !positional.empty()) {
        o.files = positional;
        positional.resize(1);
    }
    if (positional.size() != (wantsFile ? 1u : 0u)) {
        error = wantsFile ? "one file wanted" : "unexpected argument " + positional.front();
        return false;
    }
    if (wantsFile) {
        o.file = positional.front();
        o.passOn.insert(o.passOn.begin(), o.file);
    }
    if (boxCommand && o.ports.empty()) {
        error = "--port wanted";
        return false;
    }
    if (!TakesManyPorts(c) && o.ports.size() > 1) {
        error = c + " takes one port";
        return false;
    }
    if (c == "read") {
        if (!haveFrom || !haveTo || o.to < o.from) {
            error = "read wants --from and --to, --to not below --from";
            return false;
        }
    }
    return true;
}

}  // namespace qelflash
