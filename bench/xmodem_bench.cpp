// XMODEM benchmark: 1 MiB by XMODEM-1K with CRC through the paced null-modem at 115200 baud,
// our sender and our receiver against lrzsz's, all in one run. lrzsz's own pair (sx to rx)
// is the reference: our sender runs against the same rx, our receiver against the same sx.
// Every run is compared with the line's physical minimum, 10 bits for every byte of the
// file; XMODEM's block headers, checks and one ACK round trip per block come on top.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/xmodem.h"

using qel::test::ChildProcess;
using qel::test::ScratchDir;

namespace {

const char kUsage[] =
    "usage: xmodem_bench [--size BYTES] [--baud N] [--runs LIST] [--nullmodem PATH]\n"
    "  Sends a file (default 1 MiB) by XMODEM-1K with CRC through the nullmodem program,\n"
    "  paced at N baud (default 115200), and prints each run's wall time, its ratio to the\n"
    "  line's physical minimum (BYTES * 10 bits / N) and ours against lrzsz's:\n"
    "    ours-rx    XmSend to lrzsz's rx\n"
    "    sx-ours    lrzsz's sx to XmReceive\n"
    "    sx-rx      lrzsz to lrzsz, the reference (sx reaches the pty through socat)\n"
    "    ours-ours  XmSend to XmReceive on two ports\n"
    "  --runs takes a comma-separated subset (default all four). Needs lrzsz and socat.\n"
    "  Exit 0 when every transfer delivered the file, 1 otherwise, 2 for bad arguments.\n";

std::string Which(const std::string& tool) {
    std::string path;
    if (FILE* p = popen(("command -v " + tool).c_str(), "r")) {
        char line[512];
        if (fgets(line, sizeof line, p)) path = line;
        pclose(p);
    }
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    return path;
}

double WallSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Bench {
    std::string nullmodem;
    std::size_t size = 1 << 20;
    int baud = 115200;
    std::string data;

    // Starts the null-modem with our side as COM9 in dir; "" when it did not come up.
    std::unique_ptr<ChildProcess> Line(const ScratchDir& dir, std::vector<std::string> peer) {
        std::vector<std::string> argv{
            nullmodem, "--port", "COM9", "--dir", dir.path, "--baud", std::to_string(baud)};
        argv.insert(argv.end(), peer.begin(), peer.end());
        auto line = std::make_unique<ChildProcess>(argv, dir.path);
        if (!line->ReadUntil("\n", 5000)) return nullptr;
        setenv("QELFLASH_PORTS", dir.path.c_str(), 1);
        return line;
    }
    int Open(const char* name) {
        const int port = V24Open(name, 1);
        if (port >= 0) V24SetLine(port, baud, 8, 'N', 1);
        return port;
    }
    std::string Peer(const ScratchDir& dir, const std::string& command) {
        return "cd " + dir.path + " && exec " + command;
    }
    // The received file holds the sent one and at most a block of padding.
    bool Arrived(const std::string& path) {
        const std::string got = Slurp(path);
        return got.size() >= data.size() && got.size() < data.size() + 1024 &&
               got.compare(0, data.size(), data) == 0;
    }

    double OursToRx(bool& ok) {
        ScratchDir dir;
        const std::string source = dir.Write("source.bin", data);
        auto line = Line(dir, {"--exec", Peer(dir, "rx -q -b -c received.bin")});
        const int port = line ? Open("COM9") : -1;
        if (port < 0) return ok = false, 0;
        const double start = qel::dev::NowMs();
        const int result = XmSend(port, source.c_str(), 1, nullptr);
        const double ms = qel::dev::NowMs() - start;
        V24Close(port);
        ok = result == 0 && line->Finish(30000) == 0 && Arrived(dir.path + "/received.bin");
        return ms / 1000;
    }

    double SxToOurs(bool& ok) {
        ScratchDir dir;
        dir.Write("source.bin", data);
        auto line = Line(dir, {"--exec", Peer(dir, "sx -q -b -k source.bin")});
        const int port = line ? Open("COM9") : -1;
        if (port < 0) return ok = false, 0;
        const std::string target = dir.path + "/received.bin";
        const double start = qel::dev::NowMs();
        const int result = XmReceive(port, target.c_str(), 1, nullptr);
        const double ms = qel::dev::NowMs() - start;
        V24Close(port);
        ok = result == 0 && line->Finish(30000) == 0 && Arrived(target);
        return ms / 1000;
    }

    // sx on our side of the line, through socat's pipes (so that no flush of sx's own can
    // lose bytes on the pty); it notes the time it ended, rx's slow exit not counted.
    double SxToRx(bool& ok) {
        ScratchDir dir;
        dir.Write("source.bin", data);
        auto line = Line(dir, {"--exec", Peer(dir, "rx -q -b -c received.bin")});
        const std::string socat = Which("socat");
        if (!line || socat.empty()) return ok = false, 0;
        const double start = WallSeconds();
        ChildProcess sx({socat, "-t", "0.1", "FILE:" + dir.path + "/com9,raw,echo=0",
                         "SYSTEM:cd " + dir.path +
                             " && sx -q -b -k source.bin; date +%s.%N >sx.end" + ",pipes"},
                        dir.path);
        sx.Finish(3600000);
        const double end = std::atof(Slurp(dir.path + "/sx.end").c_str());
        ok = line->Finish(30000) == 0 && Arrived(dir.path + "/received.bin") && end > start;
        return end - start;
    }

    double OursToOurs(bool& ok) {
        ScratchDir dir;
        const std::string source = dir.Write("source.bin", data);
        auto line = Line(dir, {"--peer-link", dir.path + "/com8"});
        const int receiver = line ? Open("COM9") : -1;
        const int sender = line ? Open("COM8") : -1;
        if (receiver < 0 || sender < 0) return ok = false, 0;
        const std::string target = dir.path + "/received.bin";
        const double start = qel::dev::NowMs();
        auto sent = std::async(std::launch::async,
                               [&] { return XmSend(sender, source.c_str(), 1, nullptr); });
        const int received = XmReceive(receiver, target.c_str(), 1, nullptr);
        const int result = sent.get();
        const double ms = qel::dev::NowMs() - start;
        V24Close(sender);
        V24Close(receiver);
        line->Terminate();
        line->Finish(10000);
        ok = result == 0 && received == 0 && Arrived(target);
        return ms / 1000;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    const auto here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    bench.nullmodem = (here / "../sim/nullmodem").string();
    std::string runs = "ours-rx,sx-ours,sx-rx,ours-ours";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return std::fputs(kUsage, stdout), 0;
        if (i + 1 >= argc) return std::fputs(kUsage, stderr), 2;
        const std::string v = argv[++i];
        if (a == "--size") {
            bench.size = std::strtoull(v.c_str(), nullptr, 0);
        } else if (a == "--baud") {
            bench.baud = std::atoi(v.c_str());
        } else if (a == "--runs") {
            runs = v;
        } else if (a == "--nullmodem") {
            bench.nullmodem = v;
        } else {
            return std::fputs(kUsage, stderr), 2;
        }
    }
    if (bench.size == 0 || bench.baud < 300) return std::fputs(kUsage, stderr), 2;
    for (const char* tool : {"sx", "rx", "socat"}) {
        if (Which(tool).empty()) {
            std::fprintf(stderr, "xmodem_bench: %s is not installed\n", tool);
            return 1;
        }
    }
    bench.data.resize(bench.size);
    for (std::size_t i = 0; i < bench.size; ++i)
        bench.data[i] = static_cast<char>((i * 131 + i / 509) & 0xFF);

    const double minimum = bench.size * 10.0 / bench.baud;
    std::printf("XMODEM-1K CRC, %zu bytes at %d baud through the paced null-modem\n", bench.size,
                bench.baud);
    std::printf("physical minimum %.2f s (10 bits a byte of the file)\n", minimum);
    std::fflush(stdout);

    struct Run {
        const char* name;
        const char* what;
        double (Bench::*fn)(bool&);
        double seconds = 0;
        bool ok = false;
        bool done = false;
    };
    Run all[] = {{"ours-rx", "our sender   -> rx", &Bench::OursToRx},
                 {"sx-ours", "sx           -> our receiver", &Bench::SxToOurs},
                 {"sx-rx", "sx           -> rx (lrzsz both ends)", &Bench::SxToRx},
                 {"ours-ours", "our sender   -> our receiver", &Bench::OursToOurs}};
    bool allOk = true;
    for (Run& r : all) {
        if (("," + runs + ",").find("," + std::string(r.name) + ",") == std::string::npos) continue;
        r.seconds = (bench.*r.fn)(r.ok);
        r.done = true;
        allOk = allOk && r.ok;
        std::printf("%-10s %-38s %8.2f s  %.4f x minimum%s\n", r.name, r.what, r.seconds,
                    r.seconds / minimum, r.ok ? "" : "  FAILED");
        std::fflush(stdout);
    }
    const Run& reference = all[2];
    if (reference.done && reference.ok) {
        for (int i : {0, 1}) {
            if (!all[i].done || !all[i].ok) continue;
            std::printf(
                "%s ours / lrzsz: %.4f (target <= 1.00), ours / minimum: %.4f (target "
                "<= 1.10)\n",
                i == 0 ? "sender  " : "receiver", all[i].seconds / reference.seconds,
                all[i].seconds / minimum);
        }
    }
    return allOk ? 0 : 1;
}
