#include "sim/data_peer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qel::sim {

namespace {

// A program that ignores the end of its input and SIGTERM is killed after this long.
constexpr auto kExitWait = std::chrono::milliseconds(1000);

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::unique_ptr<ProgramPeer> ProgramPeer::Start(const std::string& command) {
    // A program that has exited must not take the modem with it when it is written to.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group, so that hanging up reaches the shell's children too.
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return nullptr;
    }
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<ProgramPeer>(new ProgramPeer(pid, in[1], out[0]));
}

ProgramPeer::~ProgramPeer() {
    HangUp();
}

bool ProgramPeer::Flush() {
    while (!pending_.empty()) {
        if (in_ < 0) return false;
        const ssize_t n = write(in_, pending_.data(), pending_.size());
        if (n > 0) {
            pending_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        } else {
            return false;  // the program no longer reads: it has gone
        }
    }
    return true;
}

int ProgramPeer::Read(std::uint8_t* buf, int n) {
    Flush();
    if (out_ < 0) return -1;
    const ssize_t got = read(out_, buf, static_cast<std::size_t>(n));
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    CloseFd(out_);
    return -1;
}

bool ProgramPeer::Write(const std::uint8_t* buf, int n) {
    pending_.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return Flush();
}

void ProgramPeer::HangUp() {
    CloseFd(in_);
    CloseFd(out_);
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

int MemoryPeer::Read(std::uint8_t* buf, int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (toSend_.empty()) return left_ ? -1 : 0;
    const int take = std::min(n, static_cast<int>(toSend_.size()));
    toSend_.copy(reinterpret_cast<char*>(buf), static_cast<std::size_t>(take));
    toSend_.erase(0, static_cast<std::size_t>(take));
    return take;
}

bool MemoryPeer::Write(const std::uint8_t* buf, int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (left_ || hungUp_) return false;
    received_.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return true;
}

void MemoryPeer::HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    hungUp_ = true;
}

std::string MemoryPeer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void MemoryPeer::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    toSend_ += bytes;
}

void MemoryPeer::Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    left_ = true;
}

bool MemoryPeer::HungUpByModem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hungUp_;
}

}  // namespace qel::sim
