#include "service/box_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace qelflash {

namespace {
constexpr int PASSED_FD = 3;
}  // namespace

BoxProcess::BoxProcess(const std::vector<std::string>& argv, bool ownSession, int passFd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        if (ownSession) setsid();
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) dup2(devNull, 0);
        if (ownSession && devNull >= 0) dup2(devNull, 2);
        dup2(pipeFds[1], 1);
        // dup2 onto itself would leave the close-on-exec flag set.
        if (passFd == PASSED_FD) fcntl(passFd, F_SETFD, 0);
        if (passFd >= 0 && passFd != PASSED_FD) dup2(passFd, PASSED_FD);
        // Nothing else of the caller's goes along: a descriptor left open here (the write
        // end of a caller's pipe, say) would keep that pipe open for as long as this runs.
        close_range(passFd >= 0 ? PASSED_FD + 1 : PASSED_FD, ~0U, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid_ < 0) {
        close(pipeFds[0]);
        return;
    }
    out_ = pipeFds[0];
}

BoxProcess::~BoxProcess() {
    Kill();
    if (out_ >= 0) close(out_);
}

bool BoxProcess::Read(std::string& into) {
    if (out_ < 0) return false;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    close(out_);
    out_ = -1;
    return false;
}

bool BoxProcess::Reap() {
    if (reaped_ || pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    reaped_ = true;
    if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
    return true;
}

void BoxProcess::Kill() {
    if (pid_ <= 0 || reaped_) return;
    kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
        reaped_ = true;
        if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
        if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
    }
}

void BoxProcess::Stop() {
    if (pid_ <= 0 || reaped_) return;
    kill(pid_, SIGTERM);
    // boxsim writes its files and ends in well under this.
    for (int i = 0; i < 100 && !Reap(); ++i) usleep(100 * 1000);
    Kill();
}

void BoxProcess::Release() {
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
}

std::string SelfPath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace qelflash
