// nullmodem: a paced null-modem cable between a pseudo-terminal that our port opens and a
// peer: a command on pipes (lrzsz, say) or a second pseudo-terminal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/fault_option.h"
#include "sim/null_modem.h"
#include "sim/pipe_command.h"
#include "sim/raw_pty.h"

using namespace qel::sim;

namespace {

const char kUsage[] =
    "usage: nullmodem (--link PATH | --port COMn [--dir DIR]) (--exec CMD | --peer-link PATH)\n"
    "                 [options]\n"
    "  Our side is a pseudo-terminal linked at PATH (or as DIR/comn, DIR defaulting to\n"
    "  $QELFLASH_PORTS). The peer is a shell command on pipes (its standard input and output\n"
    "  are the line, its standard error is ours) or a second pseudo-terminal linked at PATH.\n"
    "  Prints \"nullmodem ready <our slave>\" once the link is there. With --exec it ends when\n"
    "  the command has ended and our side has closed its port (or --linger-ms later), and\n"
    "  exits with the command's code (128 + signal when a signal ended it); when our side\n"
    "  closes its port for good first, the command gets end of file and then SIGHUP.\n"
    "  Exit 2: bad arguments; 1: the line could not be set up.\n"
    "options:\n"
    "  --baud N            pace at N baud (default: the rate the sending side's terminal is\n"
    "                      set to, read from the pty; the command side uses ours)\n"
    "  --unpaced           carry bytes at once\n"
    "  --corrupt-every N   every N-th byte arrives with all bits flipped\n"
    "  --drop-every N      every N-th byte is lost\n"
    "  --corrupt-at OFF    the byte at offset OFF (from 0) arrives flipped (repeatable)\n"
    "  --drop-at OFF       the byte at offset OFF is lost (repeatable)\n"
    "  --stall-at OFF:MS   the line holds still for MS ms before byte OFF (repeatable)\n"
    "  --hangup-at OFF     the line is cut instead of byte OFF (100 ms after the byte before\n"
    "                      it arrived): our pty hangs up, the command gets SIGHUP\n"
    "  --fault-direction out|in|both   which bytes the faults hit: those our side sends,\n"
    "                      those it receives, or both, each direction counting its own\n"
    "                      offsets (default both)\n"
    "  --grace-ms MS       our side's port closed this long counts as closed for good (1000)\n"
    "  --linger-ms MS      after the peer ended, the longest wait for our side to close (10000)\n";

int Usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "nullmodem: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

NullModem* g_modem = nullptr;
void OnSignal(int) {
    if (g_modem) g_modem->Stop();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ValidPort(const std::string& port) {
    if (port.size() < 4 || Lower(port.substr(0, 3)) != "com") return false;
    for (std::size_t i = 3; i < port.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(port[i]))) return false;
    }
    return true;
}

// The command after the line went. A hang-up is a hang-up; a port closed for good is first a
// cable pulled from a listening program (end of file), then a hang-up when that is not
// enough; at last a kill, so that nothing waits forever.
int FinishCommand(PipeCommand& command, bool hangUp) {
    if (hangUp) command.Signal(SIGHUP);
    command.CloseInput();
    if (!command.Wait(hangUp ? 3000 : 2000)) {
        command.Signal(SIGHUP);
        if (!command.Wait(3000)) {
            command.Signal(SIGKILL);
            command.Wait(5000);
        }
    }
    return command.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string link, port, dir, exec, peerLink;
    NullModemOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") return std::fputs(kUsage, stdout), 0;
        if (a == "--unpaced") {
            options.paced = false;
            continue;
        }
        static const char* const kValued[] = {"--link",      "--port", "--dir",      "--exec",
                                              "--peer-link", "--baud", "--grace-ms", "--linger-ms"};
        if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued) &&
            !IsLineFaultOption(a)) {
            return Usage("unknown argument " + a);
        }
        if (i + 1 >= args.size()) return Usage("missing value for " + a);
        const std::string& v = args[++i];
        long long n = 0;
        std::string error;
        if (a == "--link") {
            link = v;
        } else if (a == "--port") {
            port = v;
        } else if (a == "--dir") {
            dir = v;
        } else if (a == "--exec") {
            exec = v;
        } else if (a == "--peer-link") {
            peerLink = v;
        } else if (a == "--baud") {
            if (!ParseNumber(v, n) || n < 50 || n > 100000000) return Usage("bad --baud " + v);
            options.baud = static_cast<unsigned>(n);
        } else if (a == "--grace-ms" || a == "--linger-ms") {
            if (!ParseNumber(v, n) || n < 0 || n > 3600000) return Usage("bad " + a + " " + v);
            (a == "--grace-ms" ? options.closeGraceMs : options.lingerMs) = static_cast<int>(n);
        } else if (IsLineFaultOption(a)) {
            if (!ParseLineFault(a, v, options.faults, error)) return Usage(error);
        } else {
            return Usage("unknown argument " + a);
        }
    }
    if (link.empty() == port.empty()) return Usage("give one of --link and --port");
    if (exec.empty() == peerLink.empty()) return Usage("give one of --exec and --peer-link");
    if (!port.empty()) {
        if (!ValidPort(port)) return Usage("--port wants COMn, not " + port);
        if (dir.empty()) {
            const char* env = std::getenv("QELFLASH_PORTS");
            if (!env || !*env) return Usage("no --dir and no QELFLASH_PORTS");
            dir = env;
        }
        link = dir + "/" + Lower(port);
    }

    signal(SIGPIPE, SIG_IGN);
    std::string error;
    RawPty ours, peerPty;
    if (!ours.Create(error) || !ours.Link(link, error)) {
        std::fprintf(stderr, "nullmodem: %s\n", error.c_str());
        return 1;
    }
    LineEnd ourEnd{ours.Master(), ours.Master(), true, -1};
    LineEnd peerEnd;
    PipeCommand command;
    if (!peerLink.empty()) {
        if (!peerPty.Create(error) || !peerPty.Link(peerLink, error)) {
            std::fprintf(stderr, "nullmodem: %s\n", error.c_str());
            return 1;
        }
        peerEnd = {peerPty.Master(), peerPty.Master(), true, -1};
    } else {
        if (!command.Start(exec, error)) {
            std::fprintf(stderr, "nullmodem: %s\n", error.c_str());
            return 1;
        }
        peerEnd = {command.Output(), command.Input(), false, command.ExitFd()};
    }

    NullModem modem(ourEnd, peerEnd, options);
    g_modem = &modem;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::printf("nullmodem ready %s\n", ours.SlavePath().c_str());
    std::fflush(stdout);

    const NullModemEnd end = modem.Run();
    g_modem = nullptr;
    if (end == NullModemEnd::HungUp) {
        ours.Close();
        peerPty.Close();
    }
    if (!exec.empty()) {
        const int code =
            FinishCommand(command, end == NullModemEnd::HungUp || end == NullModemEnd::Stopped);
        return code < 0 ? 1 : code;
    }
    return end == NullModemEnd::Failed ? 1 : 0;
}
