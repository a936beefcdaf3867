// Many-box benchmark: qelflash flashes a 256 KiB image at 230400 baud into 16 boxsim boxes at
// once, each box pacing its line at the line's rate and taking its time to erase and program,
// against the same image flashed into one box alone. Reports both wall times and their ratio,
// the CPU time of the whole run (qelflash with its box processes, and the simulators), and the
// memory the qelflash processes held at their peak.
//
//   multi_flash_bench [--boxes N] [--size BYTES] [--qelflash PATH] [--boxsim PATH]
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "sim/images.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: multi_flash_bench [--boxes N] [--size BYTES] [--qelflash PATH] [--boxsim PATH]\n"
    "  Flashes one image into one paced boxsim, then into N (default 16) at once, at 230400\n"
    "  baud; prints the wall times, their ratio (target 1.10 at most), CPU and memory.\n"
    "  --size BYTES   image size (default 262144)\n";

struct ProcStat {
    int ppid = 0;
    std::string comm;
    double cpuSeconds = 0;
    long rssKiB = 0;
};

bool ReadStat(pid_t pid, ProcStat& s) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const std::size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return false;
    s.comm = line.substr(open + 1, close - open - 1);
    char state = 0;
    unsigned long utime = 0, stime = 0;
    long rssPages = 0;
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice threads itrealvalue starttime vsize rss
    if (std::sscanf(line.c_str() + close + 2,
                    "%c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d "
                    "%*u %*u %ld",
                    &state, &s.ppid, &utime, &stime, &rssPages) != 5) {
        return false;
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = (utime + stime) / tick;
    s.rssKiB = rssPages * (sysconf(_SC_PAGESIZE) / 1024);
    return true;
}

std::vector<std::pair<pid_t, ProcStat>> Processes() {
    std::vector<std::pair<pid_t, ProcStat>> all;
    DIR* proc = opendir("/proc");
    if (!proc) return all;
    while (dirent* e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        ProcStat s;
        if (pid > 0 && ReadStat(pid, s)) all.push_back({pid, s});
    }
    closedir(proc);
    return all;
}

// CPU seconds the simulators of this bench have used so far.
double SimulatorCpu() {
    double sum = 0;
    for (const auto& [pid, s] : Processes())
        if (s.ppid == getpid() && s.comm == "boxsim") sum += s.cpuSeconds;
    return sum;
}

struct RunResult {
    int exitCode = -1;
    double wall = 0;
    double cpu = 0;       // qelflash and every box process it started
    long peakRssKiB = 0;  // qelflash and its box processes together, at the worst moment
    int peakProcesses = 0;
    double simulatorCpu = 0;
};

RunResult RunQelflash(const std::vector<std::string>& args, const std::string& ports) {
    RunResult r;
    const double simBefore = SimulatorCpu();
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QELFLASH_PORTS", ports.c_str(), 1);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        long rss = 0;
        int count = 0;
        for (const auto& [p, s] : Processes()) {
            if (p == pid || s.ppid == pid) {
                rss += s.rssKiB;
                ++count;
            }
        }
        if (rss > r.peakRssKiB) r.peakRssKiB = rss;
        if (count > r.peakProcesses) r.peakProcesses = count;
        usleep(50 * 1000);
    }
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6;
    r.simulatorCpu = SimulatorCpu() - simBefore;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path here =
        std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::string qelflash = (here / "../service/qelflash").string();
    std::string boxsim = (here / "../sim/boxsim").string();
    int boxes = 16;
    long size = 256 * 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--boxes" && hasValue) {
            boxes = std::atoi(argv[++i]);
        } else if (a == "--size" && hasValue) {
            size = std::atol(argv[++i]);
        } else if (a == "--qelflash" && hasValue) {
            qelflash = argv[++i];
        } else if (a == "--boxsim" && hasValue) {
            boxsim = argv[++i];
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return 1;
        }
    }
    if (boxes < 1 || boxes > 255 || size < 2 || size > 0xF8000) {
        std::fprintf(stderr, "%s", kUsage);
        return 1;
    }

    const qel::test::ScratchDir scratch;
    const std::string& dir = scratch.path;
    const std::string image = dir + "/image.bin";
    const auto bytes =
        qel::sim::MakeFirmwareImage(static_cast<std::uint32_t>(size), "TARSK880 bench", "01.00");
    if (!qel::sim::WriteFile(image, bytes)) return 1;

    std::vector<std::unique_ptr<qel::test::ChildProcess>> sims;
    for (int n = 1; n <= boxes; ++n) {
        sims.push_back(std::make_unique<qel::test::ChildProcess>(
            std::vector<std::string>{boxsim, "--port", "COM" + std::to_string(n), "--dir", dir,
                                     "--pace", "--flash-out", dir + "/flash" + std::to_string(n)},
            dir));
        if (!sims.back()->ReadUntil("boxsim ready", 10000)) {
            std::fprintf(stderr, "boxsim %d did not start\n", n);
            return 1;
        }
    }

    const RunResult one = RunQelflash({qelflash, "flash", image, "--port", "1"}, dir);
    const RunResult many =
        RunQelflash({qelflash, "flash", image, "--port", "1-" + std::to_string(boxes)}, dir);

    int equal = 0;
    for (int n = 1; n <= boxes; ++n) {
        sims[static_cast<std::size_t>(n - 1)]->Terminate();
        sims[static_cast<std::size_t>(n - 1)]->Finish(10000);
        std::vector<std::uint8_t> flash;
        qel::sim::ReadFile(dir + "/flash" + std::to_string(n), flash);
        equal += flash.size() >= 0x8000 + bytes.size() &&
                 std::equal(bytes.begin(), bytes.end(), flash.begin() + 0x8000);
    }

    const double ratio = one.wall > 0 ? many.wall / one.wall : 0;
    std::printf("image            %ld bytes at 230400 baud, paced boxes\n", size);
    std::printf(
        "one box          %.2f s, exit %d, cpu qelflash %.3f s, cpu boxsim %.3f s, "
        "peak rss %ld KiB\n",
        one.wall, one.exitCode, one.cpu, one.simulatorCpu, one.peakRssKiB);
    std::printf(
        "%2d boxes at once %.2f s, exit %d, cpu qelflash %.3f s (%d processes), cpu "
        "boxsim %.3f s, peak rss %ld KiB\n",
        boxes, many.wall, many.exitCode, many.cpu, many.peakProcesses, many.simulatorCpu,
        many.peakRssKiB);
    std::printf("ratio            %.3f x one box (target 1.10 at most): %s\n", ratio,
                ratio <= 1.10 ? "met" : "MISSED");
    std::printf("cpu whole run    %.3f s = %.1f %% of one core over %.2f s\n",
                many.cpu + many.simulatorCpu, 100 * (many.cpu + many.simulatorCpu) / many.wall,
                many.wall);
    std::printf("flash            %d of %d boxes hold the image\n", equal, boxes);
    return one.exitCode == 0 && many.exitCode == 0 && equal == boxes ? 0 : 1;
}
