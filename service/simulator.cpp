#include "service/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "service/box_process.h"

namespace qelflash {

namespace {

namespace fs = std::filesystem;

constexpr int HIGHEST_COM = 255;
// boxsim is up in milliseconds; this only bounds a simulator that never comes up.
constexpr int READY_WAIT_MS = 10000;

volatile sig_atomic_t g_stop = 0;
extern "C" void OnStop(int) {
    g_stop = 1;
}

// boxsim beside qelflash (an installation), or in the build tree's sim folder.
std::string FindBoxsim() {
    if (const char* env = std::getenv("QELFLASH_BOXSIM"); env && *env) return env;
    const fs::path here = fs::path(SelfPath()).parent_path();
    for (const fs::path& candidate : {here / "boxsim", here / ".." / "sim" / "boxsim"}) {
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "qelflash sim: %s\n", why.c_str());
    return 1;
}

}  // namespace

int RunSimulator(const Options& o, Reporter& reporter) {
    std::string dir = o.simDir;
    if (dir.empty()) {
        const char* env = std::getenv("QELFLASH_PORTS");
        if (!env || !*env) return Fail("no ports folder: set QELFLASH_PORTS or give --dir");
        dir = env;
    }
    const std::string boxsim = FindBoxsim();
    if (boxsim.empty()) return Fail("boxsim not found (set QELFLASH_BOXSIM)");
    std::error_code ec;
    fs::create_directories(dir, ec);

    // Two sims started at once must not pick the same number: the choice and the link that
    // boxsim makes happen under one lock on the folder.
    const std::string lockPath = dir + "/.qelflash-sim.lock";
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0) return Fail("cannot use the ports folder " + dir);
    flock(lock, LOCK_EX);
    int number = 1;
    for (struct stat st{}; number <= HIGHEST_COM; ++number) {
        if (lstat((dir + "/com" + std::to_string(number)).c_str(), &st) != 0) break;
    }
    if (number > HIGHEST_COM) {
        close(lock);
        return Fail("no free COM number in " + dir);
    }
    const std::string port = "COM" + std::to_string(number);

    std::vector<std::string> argv{boxsim, "--port", port, "--dir", dir};
    argv.insert(argv.end(), o.simArgs.begin(), o.simArgs.end());
    // Detached, it gets a session of its own: the terminal's Ctrl-C is for the caller then.
    BoxProcess sim(argv, o.detach);
    std::string output;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(READY_WAIT_MS);
    while (output.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{sim.Output(), POLLIN, 0};
        if (sim.Output() < 0 || poll(&p, 1, 100) < 0) break;
        if (p.revents && !sim.Read(output)) break;
    }
    close(lock);
    char readyPort[32] = {}, device[256] = {};
    if (std::sscanf(output.c_str(), "boxsim ready %31s %255s", readyPort, device) != 2) {
        sim.Kill();
        return Fail("boxsim did not start");
    }
    Event e("sim");
    e.Add("port", port).Add("device", device).Add("pid", static_cast<long long>(sim.Pid()));
    reporter.Emit(e);
    if (o.detach) {
        sim.Release();
        return 0;
    }

    struct sigaction stop {};
    stop.sa_handler = OnStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    while (!g_stop && !sim.Reap()) poll(nullptr, 0, 100);
    sim.Stop();
    return 0;
}

}  // namespace qelflash
