// ZMODEM benchmark: one file over the paced null-modem, our sender to lrzsz's rz, lrzsz's sz
// to our receiver, and sz to rz for comparison, each timed from the start of the transfer
// until the receiver's copy is whole. Prints the wall times, their ratios to lrzsz's and to the
// line's physical minimum (bytes * 10 / baud).
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.h"
#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/zmodem.h"

namespace {

using qel::test::ChildProcess;
using qel::test::ScratchDir;

const char kHelp[] =
    "usage: zmodem_bench [--quick] [--case N] [--zeros] [--nullmodem PATH]\n"
    "  Sends a 1 MiB file at 115200 baud and a 4 MiB file at 921600 baud over the paced\n"
    "  null-modem: our sender to rz, sz to our receiver, and sz to rz. Needs lrzsz.\n"
    "  --quick      64 KiB and 256 KiB instead (a smoke run)\n"
    "  --case N     only the N-th of the two (1 or 2)\n"
    "  --zeros      a file of zero bytes instead of random ones (no escaping)\n"
    "  --nullmodem  the null-modem program (default: the build tree's)\n";

struct Case {
    std::size_t size;
    int baud;
};

std::string nullModem;
std::string content = "random";

std::string Bytes(std::size_t n) {
    std::string s(n, '\0');
    if (content == "random") {
        std::mt19937 gen(12345);
        for (auto& c : s) c = static_cast<char>(gen());
    }
    return s;
}

bool SameFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string got(bytes.size() + 1, '\0');
    std::size_t n = std::fread(got.data(), 1, got.size(), f);
    std::fclose(f);
    return n == bytes.size() && std::memcmp(got.data(), bytes.data(), n) == 0;
}

// Watches for the copy to be whole and keeps the time it was, in seconds after start: every
// run is timed the same way, whichever program holds the receiving end.
class CompleteWatch {
  public:
    CompleteWatch(std::string path, const std::string& bytes, double start)
        : path_(std::move(path)), bytes_(bytes), start_(start), thread_([this] { Run(); }) {}
    ~CompleteWatch() { Stop(); }
    bool Done() const { return took_ >= 0; }
    // After the transfer returned: the copy may need a moment to be closed and seen.
    double Finish() {
        const double end = qel::dev::NowMs() + 5000;
        while (!Done() && qel::dev::NowMs() < end) usleep(1000);
        return Stop();
    }
    double Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return took_;
    }

  private:
    void Run() {
        while (!stop_) {
            struct stat st;
            if (stat(path_.c_str(), &st) == 0 &&
                static_cast<std::size_t>(st.st_size) == bytes_.size() && SameFile(path_, bytes_)) {
                took_ = (qel::dev::NowMs() - start_) / 1000;
                return;
            }
            usleep(2000);
        }
    }
    std::string path_;
    const std::string& bytes_;
    double start_;
    std::atomic<bool> stop_{false};
    std::atomic<double> took_{-1};
    std::thread thread_;
};

// Starts the null-modem with the command as its peer; our side is COM5 in dir.
std::unique_ptr<ChildProcess> Line(const std::string& dir, int baud, const std::string& command) {
    auto line = std::make_unique<ChildProcess>(
        std::vector<std::string>{nullModem, "--port", "COM5", "--dir", dir, "--baud",
                                 std::to_string(baud), "--exec", command},
        dir);
    if (!line->ReadUntil("nullmodem ready", 10000)) return nullptr;
    return line;
}

int OpenOurs(const std::string& dir, int baud) {
    setenv("QELFLASH_PORTS", dir.c_str(), 1);
    int h = V24Open("COM5", 1);
    if (h >= 0) V24SetLine(h, baud, 8, 0, 0);
    return h;
}

// Seconds, or a negative value when the run failed.
double OursSend(const Case& c, const std::string& bytes) {
    ScratchDir ours, theirs;
    const std::string path = ours.Write("bench.bin", bytes);
    auto line = Line(ours.path, c.baud, "cd " + theirs.path + " && exec rz -y");
    if (!line) return -1;
    int h = OpenOurs(ours.path, c.baud);
    if (h < 0) return -1;
    const double start = qel::dev::NowMs();
    CompleteWatch watch(theirs.path + "/bench.bin", bytes, start);
    int r = ZmSendFile(h, path.c_str(), 1, nullptr);
    const double took = watch.Finish();
    V24Close(h);
    line->Finish(30000);
    return r == 0 ? took : -1;
}

double OursReceive(const Case& c, const std::string& bytes) {
    ScratchDir ours, theirs;
    theirs.Write("bench.bin", bytes);
    auto line = Line(ours.path, c.baud, "cd " + theirs.path + " && exec sz -b bench.bin");
    if (!line) return -1;
    int h = OpenOurs(ours.path, c.baud);
    if (h < 0) return -1;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd) || chdir(ours.path.c_str()) != 0) return -1;
    const double start = qel::dev::NowMs();
    CompleteWatch watch(ours.path + "/bench.bin", bytes, start);
    int r = ZmReceive(h, nullptr);
    const double took = watch.Finish();
    if (chdir(cwd) != 0) return -1;
    V24Close(h);
    line->Finish(30000);
    return r == 0 ? took : -1;
}

// sz on the null-modem's pipes, rz on our side's terminal (rz on a terminal may lose its last
// bytes at exit, so its exit is not waited for).
double LrzszPair(const Case& c, const std::string& bytes) {
    ScratchDir ours, theirs;
    theirs.Write("bench.bin", bytes);
    auto line = Line(ours.path, c.baud, "cd " + theirs.path + " && exec sz -b bench.bin");
    if (!line) return -1;
    const std::string slave = ours.path + "/com5";
    const double start = qel::dev::NowMs();
    ChildProcess rz({"/bin/sh", "-c",
                     "stty -F " + slave + " " + std::to_string(c.baud) + " raw -echo; cd " +
                         ours.path + " && exec rz -y <" + slave + " >" + slave},
                    ours.path);
    CompleteWatch watch(ours.path + "/bench.bin", bytes, start);
    const double limit = start + 2.0 * 1000 * c.size * 10 / c.baud + 30000;
    while (!watch.Done() && qel::dev::NowMs() < limit && rz.Running()) usleep(20000);
    const double took = watch.Stop();
    rz.Terminate();
    rz.Finish(5000);
    line->Terminate();
    line->Finish(5000);
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    nullModem = (here / "../sim/nullmodem").string();
    std::vector<Case> cases = {{1 << 20, 115200}, {4 << 20, 921600}};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--quick") {
            cases = {{64 << 10, 115200}, {256 << 10, 921600}};
        } else if (a == "--case" && i + 1 < argc) {
            const std::size_t n = std::strtoul(argv[++i], nullptr, 10);
            if (n < 1 || n > cases.size()) return 2;
            cases = {cases[n - 1]};
        } else if (a == "--zeros") {
            content = "zeros";
        } else if (a == "--nullmodem" && i + 1 < argc) {
            nullModem = argv[++i];
        } else {
            std::fputs(kHelp, stderr);
            return 2;
        }
    }
    std::printf("%-9s %7s %8s | %9s %9s %9s | %10s %10s | %8s %8s %8s\n", "bytes", "baud", "min s",
                "ours->rz", "sz->ours", "sz->rz", "send/lrzsz", "recv/lrzsz", "send/min",
                "recv/min", "lrzsz/min");
    std::fflush(stdout);
    int failed = 0;
    for (const Case& c : cases) {
        const std::string bytes = Bytes(c.size);
        const double minimum = static_cast<double>(c.size) * 10 / c.baud;
        const double send = OursSend(c, bytes);
        const double receive = OursReceive(c, bytes);
        const double pair = LrzszPair(c, bytes);
        if (send < 0 || receive < 0 || pair < 0) ++failed;
        std::printf("%-9zu %7d %8.2f | %9.2f %9.2f %9.2f | %10.3f %10.3f | %8.3f %8.3f %8.3f\n",
                    c.size, c.baud, minimum, send, receive, pair, send / pair, receive / pair,
                    send / minimum, receive / minimum, pair / minimum);
        std::fflush(stdout);
    }
    if (failed) std::printf("%d case(s) failed (negative times)\n", failed);
    return failed ? 1 : 0;
}
