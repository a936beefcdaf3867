// A program started for an end-to-end test: its standard output on a pipe, standard input
// from /dev/null or a given descriptor (a terminal), QELFLASH_PORTS pointing at the test's
// own folder so that no real serial device is touched. Every wait is bounded; a program
// still running when the object goes is killed.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e/scratch_dir.h"

extern char** environ;

namespace qel::test {

class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // argv[0] is the program's path.
    ChildProcess(std::vector<std::string> argv, const std::string& ports, int stdinFd = -1) {
        std::vector<std::string> env{"QELFLASH_PORTS=" + ports};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QELFLASH_PORTS=", 15) != 0) env.push_back(*e);
        std::vector<char*> cargv, cenv;
        for (std::string& a : argv) cargv.push_back(a.data());
        for (std::string& e : env) cenv.push_back(e.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        const int devNull = open("/dev/null", O_RDWR);
        start_ = Clock::now();
        if ((pid_ = fork()) == 0) {
            dup2(stdinFd >= 0 ? stdinFd : devNull, 0);
            dup2(out[1], 1);
            dup2(devNull, 2);
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
        close(out[1]);
        close(devNull);
        out_ = out[0];
    }
    ~ChildProcess() {
        Kill();
        if (out_ >= 0) close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads output until it contains text (or it ends, or ms pass); true when it does.
    bool ReadUntil(const std::string& text, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (output.find(text) == std::string::npos)
            if (!ReadSome(deadline)) return false;
        return true;
    }
    bool Running() {
        int status = 0;
        if (reaped_ || pid_ <= 0) return false;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        reaped_ = true;
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    // Reads all output and waits for the exit, killing the program when it has not ended
    // within ms. The exit code, or -1 when it had to be killed or died of a signal.
    int Finish(int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (ReadSome(deadline)) {
        }
        while (Running() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Kill();
        return exitCode_;
    }
    void Terminate() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
    }

    std::string output;
    double ms = 0;  // from the start to the exit

  private:
    void Kill() {
        if (pid_ <= 0 || reaped_) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    // false at the end of the output or at the deadline
    bool ReadSome(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n > 0) return output.append(buf, static_cast<std::size_t>(n)), true;
        close(out_);
        out_ = -1;
        return false;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    Clock::time_point start_;
};

}  // namespace qel::test
