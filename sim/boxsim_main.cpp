// boxsim: plays the interface box on a pseudo-terminal, linked as comN in the ports folder,
// until SIGTERM or SIGINT. Also writes sample firmware and FPGA files.
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

#include "sim/box.h"
#include "sim/fault_option.h"
#include "sim/images.h"
#include "sim/program_args.h"
#include "sim/pty_master.h"

namespace fs = std::filesystem;
using namespace qel;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

const char kUsage[] =
    "usage: boxsim --port COMn [--dir DIR] [options]\n"
    "         plays the box on a pseudo-terminal linked as DIR/comn (DIR defaults to\n"
    "         $QELFLASH_PORTS), prints \"boxsim ready COMn <slave>\" and runs until\n"
    "         SIGTERM or SIGINT\n"
    "       boxsim --make-image FILE [--size N] [--firmware-name TEXT] [--version TEXT]\n"
    "       boxsim --make-vme FILE [--size N] [--version V]\n"
    "         write a sample firmware image (default 65536 bytes, firmware name\n"
    "         \"TARSK880 sample\", version 01.00) or FPGA file (65536 bytes, version 100)\n"
    "       boxsim --help\n"
    "options:\n"
    "  --name NAME            a device name the bootloader answers to (repeatable;\n"
    "                         default \"PLV 200\")\n"
    "  --mode bootloader|firmware   what runs after power-on and RST (default bootloader)\n"
    "  --pace                 bytes at the line's rate; realistic erase/programming times\n"
    "  --erase-ms N           erase time per 64 KiB begun (pacing: 700, else 0)\n"
    "  --program-ms N         programming time per block (pacing: 20, else 0)\n"
    "  --prompt-ms N          idle prompt repeat (250)\n"
    "  --fpga-program-ms N    FPGA programming time after the end request (300)\n"
    "  --fpga-version N       FPGA version 0..999 (100)\n"
    "  --answer CMD=TEXT      text answer for GSN, GHV, GSS, GBV or GPV\n"
    "  --answer-raw CMD=TEXT  the same without the NUL after the text\n"
    "  --fault FAULT          silent | needs-break | refuse-block=K | refuse-program=K |\n"
    "                         corrupt-block=K | die-after=K | wrong-echo=N | refuse-erase=N |\n"
    "                         short-read=N | fpga-status=OP[:K]:CODE | fpga-silent=OP[:K]\n"
    "                         (blocks, commands, reads counted from 0; OP version, start,\n"
    "                         data or end)\n"
    "  --log FILE             one line per event: milliseconds since start, event\n"
    "  --flash-in FILE        preload the flash from address 0\n"
    "  --flash-out FILE       write the 1 MiB flash at exit\n";

int Usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "boxsim: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

using qel::sim::Lower;
using qel::sim::ValidPort;

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string port, dir, makeImage, makeVme, logPath, flashIn, flashOut;
    std::string firmwareName = "TARSK880 sample", version;
    long long size = 0x10000;
    sim::BoxOptions opt;
    bool namesGiven = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        auto number = [&](long long& out) {
            std::string text;
            return value(text) && sim::ParseNumber(text, out);
        };
        auto intOption = [&](int& out) {
            long long n = 0;
            if (!number(n) || n < 0 || n > 100000000) return false;
            out = static_cast<int>(n);
            return true;
        };
        std::string text;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--port") {
            ok = value(port);
        } else if (a == "--dir") {
            ok = value(dir);
        } else if (a == "--make-image") {
            ok = value(makeImage);
        } else if (a == "--make-vme") {
            ok = value(makeVme);
        } else if (a == "--size") {
            ok = number(size);
        } else if (a == "--firmware-name") {
            ok = value(firmwareName);
        } else if (a == "--version") {
            ok = value(version);
        } else if (a == "--name") {
            ok = value(text);
            if (!namesGiven) opt.names.clear();
            namesGiven = true;
            opt.names.push_back(text);
        } else if (a == "--mode") {
            ok = value(text) && (text == "bootloader" || text == "firmware");
            opt.mode = text == "firmware" ? sim::BoxMode::Firmware : sim::BoxMode::Bootloader;
        } else if (a == "--pace") {
            opt.pace = true;
        } else if (a == "--erase-ms") {
            ok = intOption(opt.eraseMsPer64K);
        } else if (a == "--program-ms") {
            ok = intOption(opt.programMsPerBlock);
        } else if (a == "--prompt-ms") {
            ok = intOption(opt.promptRepeatMs) && opt.promptRepeatMs > 0;
        } else if (a == "--fpga-program-ms") {
            ok = intOption(opt.fpgaProgramMs);
        } else if (a == "--fpga-version") {
            ok = intOption(opt.fpgaVersion) && opt.fpgaVersion <= 999;
        } else if (a == "--answer" || a == "--answer-raw") {
            auto eq = std::string::npos;
            ok = value(text) && (eq = text.find('=')) != std::string::npos;
            if (ok) opt.answers[text.substr(0, eq)] = {text.substr(eq + 1), a == "--answer"};
        } else if (a == "--fault") {
            ok = value(text) && sim::ParseFault(text, opt.faults);
        } else if (a == "--log") {
            ok = value(logPath);
        } else if (a == "--flash-in") {
            ok = value(flashIn);
        } else if (a == "--flash-out") {
            ok = value(flashOut);
        } else {
            return Usage("unknown argument " + a);
        }
        if (!ok) return Usage("bad or missing value for " + a);
    }

    if (!makeImage.empty()) {
        if (size < 2 || size > 0x100000) return Usage("--size out of range");
        auto image = sim::MakeFirmwareImage(static_cast<std::uint32_t>(size), firmwareName,
                                            version.empty() ? "01.00" : version);
        if (!sim::WriteFile(makeImage, image)) return Usage("cannot write " + makeImage);
        return 0;
    }
    if (!makeVme.empty()) {
        long long v = 100;
        if (!version.empty() && !sim::ParseNumber(version, v)) return Usage("bad --version");
        if (size < 14 || size > 0x1000000) return Usage("--size out of range");
        auto vme = sim::MakeVmeFile(static_cast<std::uint32_t>(size), static_cast<int>(v));
        if (!sim::WriteFile(makeVme, vme)) return Usage("cannot write " + makeVme);
        return 0;
    }

    if (port.empty()) return Usage("--port is required");
    if (!ValidPort(port)) return Usage("--port wants COMn, not " + port);
    if (dir.empty()) {
        const char* env = std::getenv("QELFLASH_PORTS");
        if (!env || !*env) return Usage("no --dir and no QELFLASH_PORTS");
        dir = env;
    }

    std::vector<std::uint8_t> preload;
    if (!flashIn.empty() && !sim::ReadFile(flashIn, preload)) {
        return Usage("cannot read " + flashIn);
    }

    std::ofstream log;
    const auto t0 = std::chrono::steady_clock::now();
    auto elapsedMs = [t0] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
            .count();
    };
    if (!logPath.empty()) {
        log.open(logPath, std::ios::trunc);
        if (!log) return Usage("cannot write " + logPath);
        opt.log = [&log, elapsedMs](const std::string& line) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.3f ", elapsedMs());
            log << stamp << line << '\n';
            log.flush();
        };
    }

    fs::path link;
    auto pty = sim::CreateLinkedPty("boxsim", dir, port, link);
    if (!pty) return 1;
    std::error_code ec;

    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    sim::Box box(sim::MakePtyWire(pty), opt);
    if (!preload.empty()) box.LoadFlash(0, preload);
    box.Start();
    std::printf("boxsim ready %s %s\n", port.c_str(), pty->SlavePath().c_str());
    std::fflush(stdout);

    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));

    box.Stop();
    int rc = 0;
    if (!flashOut.empty() && !sim::WriteFile(flashOut, box.Flash())) {
        std::fprintf(stderr, "boxsim: cannot write %s\n", flashOut.c_str());
        rc = 1;
    }
    if (log.is_open()) {
        const sim::LineStats s = box.Stats();
        char line[160];
        std::snprintf(
            line, sizeof line, "stats in=%llu out=%llu line_ms=%.1f busy_ms=%.1f violations=%zu",
            static_cast<unsigned long long>(s.bytesIn), static_cast<unsigned long long>(s.bytesOut),
            s.lineMs, s.busyMs, box.Violations().size());
        opt.log(line);
    }
    // Only our own link goes: another boxsim may have taken the name meanwhile.
    if (fs::read_symlink(link, ec) == fs::path(pty->SlavePath())) fs::remove(link, ec);
    return rc;
}
