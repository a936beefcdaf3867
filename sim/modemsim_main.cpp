// modemsim: plays a Hayes modem on a pseudo-terminal, linked as comN in the ports folder,
// until SIGTERM or SIGINT. A call's far end is a program run on pipes for each call.
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/hayes_modem.h"
#include "sim/program_args.h"
#include "sim/program_peer.h"
#include "sim/pty_master.h"

namespace fs = std::filesystem;
using namespace qel;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

const char kUsage[] =
    "usage: modemsim --port COMn [--dir DIR] [options]\n"
    "         plays a Hayes modem on a pseudo-terminal linked as DIR/comn (DIR defaults to\n"
    "         $QELFLASH_PORTS), prints \"modemsim ready COMn <slave>\" and runs until\n"
    "         SIGTERM or SIGINT\n"
    "options:\n"
    "  --echo 0|1, --verbose 0|1, --quiet 0|1\n"
    "                         settings after power-on and ATZ (1, 1, 0)\n"
    "  --dial-result TEXT     the answer to a dial (CONNECT 9600); none: nobody answers\n"
    "  --dial NUMBER=TEXT     the answer to a dial of this number (repeatable)\n"
    "  --dial-ms N            from the dial command to its answer (0)\n"
    "  --guard-ms N           silence around \"+++\" (1000)\n"
    "  --ring N               an incoming call that rings N times, from the start\n"
    "  --ring-ms N            between two RINGs (6000)\n"
    "  --data-command CMD     the far end of every call: CMD run by /bin/sh on pipes (its\n"
    "                         input is what the host sends, its output goes to the host);\n"
    "                         without it the far end takes everything and says nothing\n"
    "  --log FILE             one line per event: milliseconds since start, event\n";

int Usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "modemsim: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

using qel::sim::Lower;
using qel::sim::ValidPort;

bool ParseCount(const std::string& text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    out = std::atoi(text.c_str());
    return true;
}

std::string Answer(const std::string& text) {
    return text == "none" ? "" : text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string port, dir, logPath, dataCommand;
    sim::ModemOptions opt;
    int rings = 0;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string text;
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        auto flag = [&](bool& out) {
            if (!value(text) || (text != "0" && text != "1")) return false;
            out = text == "1";
            return true;
        };
        auto count = [&](int& out) { return value(text) && ParseCount(text, out); };
        bool ok = true;
        if (a == "--port") {
            ok = value(port);
        } else if (a == "--dir") {
            ok = value(dir);
        } else if (a == "--echo") {
            ok = flag(opt.echo);
        } else if (a == "--verbose") {
            ok = flag(opt.verbose);
        } else if (a == "--quiet") {
            ok = flag(opt.quiet);
        } else if (a == "--dial-result") {
            ok = value(text);
            opt.dialResult = Answer(text);
        } else if (a == "--dial") {
            std::size_t eq = std::string::npos;
            ok = value(text) && (eq = text.find('=')) != std::string::npos;
            if (ok) opt.dialResults[text.substr(0, eq)] = Answer(text.substr(eq + 1));
        } else if (a == "--dial-ms") {
            ok = count(opt.dialMs);
        } else if (a == "--guard-ms") {
            ok = count(opt.guardMs);
        } else if (a == "--ring") {
            ok = count(rings);
        } else if (a == "--ring-ms") {
            ok = count(opt.ringMs);
        } else if (a == "--data-command") {
            ok = value(dataCommand);
        } else if (a == "--log") {
            ok = value(logPath);
        } else if (a == "--help" || a == "-h") {
            return std::fputs(kUsage, stdout), 0;
        } else {
            return Usage("unknown argument " + a);
        }
        if (!ok) return Usage("bad or missing value for " + a);
    }

    if (port.empty()) return Usage("--port is required");
    if (!ValidPort(port)) return Usage("--port wants COMn, not " + port);
    if (dir.empty()) {
        const char* env = std::getenv("QELFLASH_PORTS");
        if (!env || !*env) return Usage("no --dir and no QELFLASH_PORTS");
        dir = env;
    }

    std::ofstream log;
    if (!logPath.empty()) {
        log.open(logPath, std::ios::trunc);
        if (!log) return Usage("cannot write " + logPath);
        const auto t0 = std::chrono::steady_clock::now();
        // Called from the modem's thread only.
        opt.log = [&log, t0](const std::string& line) {
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.3f ", ms);
            log << stamp << line << '\n';
            log.flush();
        };
    }
    if (!dataCommand.empty()) {
        opt.connect = [dataCommand](const std::string&) -> std::shared_ptr<sim::DataPeer> {
            return sim::ProgramPeer::Start(dataCommand);
        };
    }

    fs::path link;
    auto pty = sim::CreateLinkedPty("modemsim", dir, port, link);
    if (!pty) return 1;
    std::error_code ec;

    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    sim::HayesModem modem(sim::MakePtyWire(pty), opt);
    modem.Start();
    if (rings > 0) modem.Ring(rings);
    std::printf("modemsim ready %s %s\n", port.c_str(), pty->SlavePath().c_str());
    std::fflush(stdout);

    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));

    modem.Stop();
    // Only our own link goes: another simulator may have taken the name meanwhile.
    if (fs::read_symlink(link, ec) == fs::path(pty->SlavePath())) fs::remove(link, ec);
    return 0;
}
