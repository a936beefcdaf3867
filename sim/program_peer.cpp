#include "sim/program_peer.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

namespace qel::sim {

namespace {

// A program that ignores the end of its input and SIGTERM is killed after this long.
constexpr int kExitWaitMs = 1000;

}  // namespace

std::unique_ptr<ProgramPeer> ProgramPeer::Start(const std::string& command) {
    // A program that has exited must not take the modem with it when it is written to.
    signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<ProgramPeer> peer(new ProgramPeer());
    std::string error;
    if (!peer->command_.Start(command, error)) return nullptr;
    peer->output_ = peer->command_.Output();
    return peer;
}

ProgramPeer::~ProgramPeer() {
    HangUp();
}

bool ProgramPeer::Flush() {
    while (!pending_.empty()) {
        const int in = command_.Input();
        if (in < 0) return false;
        const ssize_t n = write(in, pending_.data(), pending_.size());
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
    if (output_ < 0) return -1;
    const ssize_t got = read(output_, buf, static_cast<std::size_t>(n));
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    output_ = -1;  // the command's own descriptor, closed with it
    return -1;
}

bool ProgramPeer::Write(const std::uint8_t* buf, int n) {
    pending_.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return Flush();
}

void ProgramPeer::HangUp() {
    output_ = -1;
    command_.CloseInput();
    command_.Signal(SIGTERM);
    if (!command_.Wait(kExitWaitMs)) {
        command_.Signal(SIGKILL);
        command_.Wait(kExitWaitMs);
    }
}

}  // namespace qel::sim
