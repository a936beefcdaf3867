#include "sim/pipe_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qel::sim {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

PipeCommand::~PipeCommand() {
    if (pid_ > 0 && exitCode_ < 0) {
        Signal(SIGKILL);
        Wait(5000);
    }
    CloseFd(output_);
    CloseFd(input_);
    CloseFd(exitFd_);
}

bool PipeCommand::Start(const std::string& command, std::string& error) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
        return false;
    }
    if (pid_ == 0) {
        setpgid(0, 0);
        // A relay killed outright must not leave its peer waiting minutes on a dead line.
        prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (getppid() != parent) _exit(129);
        signal(SIGPIPE, SIG_DFL);
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid_, pid_);
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    fcntl(input_, F_SETFL, fcntl(input_, F_GETFL) | O_NONBLOCK);
    fcntl(output_, F_SETFL, fcntl(output_, F_GETFL) | O_NONBLOCK);
    exitFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (exitFd_ < 0) {
        error = std::string("pidfd_open: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void PipeCommand::CloseInput() {
    CloseFd(input_);
}

bool PipeCommand::Wait(int ms) {
    if (exitCode_ >= 0) return true;
    if (pid_ <= 0) return false;
    pollfd p{exitFd_, POLLIN, 0};
    if (exitFd_ >= 0 && poll(&p, 1, ms) <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, exitFd_ >= 0 ? 0 : WNOHANG) != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

void PipeCommand::Signal(int signal) {
    if (pid_ > 0 && exitCode_ < 0) kill(-pid_, signal);
}

}  // namespace qel::sim
