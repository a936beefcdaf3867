// Download benchmark: the real bin2plv32 loads a 0xF8000-byte image at 230400 baud into
// boxsim on a pseudo-terminal, with the box pacing its line at the line's rate and taking
// its time to erase and program. Reports the run's wall time against the physical minimum
// (the line time of every byte both ways plus the box's own erase and programming time, as
// boxsim counts them) and the CPU time bin2plv32 used.
//
//   download_bench [bin2plv32 [boxsim]]   (defaults: the build tree's programs)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/images.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& args, const std::string& ports, int outFd) {
    std::vector<std::string> env{"QELFLASH_PORTS=" + ports};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QELFLASH_PORTS=", 15) != 0) env.push_back(*e);
    std::vector<std::string> argv = args;
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    for (std::string& e : env) cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(outFd >= 0 ? outFd : devNull, 1);
        dup2(devNull, 2);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    return pid;
}

bool WaitForText(int fd, const std::string& text, int ms) {
    std::string seen;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (seen.find(text) == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

double Seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path here = fs::read_symlink("/proc/self/exe").parent_path();
    std::string tool = argc > 1 ? argv[1] : (here / "../app/bin2plv32").string();
    std::string boxsim = argc > 2 ? argv[2] : (here / "../sim/boxsim").string();

    char templ[] = "/tmp/qelflash-bench.XXXXXX";
    if (!mkdtemp(templ)) return 1;
    const std::string dir = templ;
    const std::string image = dir + "/image.bin";
    const std::string log = dir + "/box.log";
    const std::string flash = dir + "/flash.bin";
    const std::uint32_t size = 0xF8000;
    std::vector<std::uint8_t> bytes = qel::sim::MakeFirmwareImage(size, "TARSK880 bench", "01.00");
    if (!qel::sim::WriteFile(image, bytes)) return 1;

    int boxOut[2];
    if (pipe(boxOut) != 0) return 1;
    pid_t box = Spawn(
        {boxsim, "--port", "COM9", "--dir", dir, "--pace", "--log", log, "--flash-out", flash}, dir,
        boxOut[1]);
    close(boxOut[1]);
    if (!WaitForText(boxOut[0], "boxsim ready", 10000)) {
        std::fprintf(stderr, "boxsim did not start\n");
        kill(box, SIGKILL);
        return 1;
    }

    auto start = Clock::now();
    pid_t child = Spawn({tool, image, "9"}, dir, -1);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    double wall = std::chrono::duration<double>(Clock::now() - start).count();

    kill(box, SIGTERM);
    waitpid(box, nullptr, 0);
    close(boxOut[0]);

    double lineMs = 0, busyMs = 0;
    unsigned long long in = 0, out = 0;
    std::size_t violations = 0;
    std::ifstream events(log);
    for (std::string line; std::getline(events, line);) {
        std::size_t at = line.find("stats ");
        if (at == std::string::npos) continue;
        std::sscanf(line.c_str() + at,
                    "stats in=%llu out=%llu line_ms=%lf busy_ms=%lf violations=%zu", &in, &out,
                    &lineMs, &busyMs, &violations);
    }
    std::vector<std::uint8_t> flashed;
    qel::sim::ReadFile(flash, flashed);
    bool same = flashed.size() >= 0x8000 + size &&
                std::equal(bytes.begin(), bytes.end(), flashed.begin() + 0x8000);

    double minimum = (lineMs + busyMs) / 1000;
    double cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    std::printf("image           0x%X bytes at 230400 baud, exit %d, flash %s\n", size,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, same ? "equal" : "DIFFERENT");
    std::printf("bytes on line   %llu to the box, %llu from it, %zu protocol violations\n", in, out,
                violations);
    std::printf("physical min    %.2f s (line %.2f s + erase/programming %.2f s)\n", minimum,
                lineMs / 1000, busyMs / 1000);
    std::printf("total           %.2f s = %.4f x minimum\n", wall,
                minimum > 0 ? wall / minimum : 0);
    std::printf("cpu bin2plv32   %.3f s (user %.3f + sys %.3f) = %.3f %% of one core\n", cpu,
                Seconds(usage.ru_utime), Seconds(usage.ru_stime), 100 * cpu / wall);

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && same ? 0 : 1;
}
