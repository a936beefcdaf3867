#include "sim/pty_master.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qel::sim {

namespace {

DWORD RateOf(speed_t speed) {
    switch (speed) {
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

}  // namespace

std::shared_ptr<PtyMaster> PtyMaster::Create(std::string& error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return nullptr;
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("grantpt/unlockpt: ") + std::strerror(errno);
        close(master);
        return nullptr;
    }
    const char* name = ptsname(master);
    if (!name) {
        error = std::string("ptsname: ") + std::strerror(errno);
        close(master);
        return nullptr;
    }
    std::string path = name;
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        error = "open " + path + ": " + std::strerror(errno);
        close(master);
        return nullptr;
    }
    // A box in a session of its own (boxsim under setsid) makes the terminal its controlling
    // terminal, so that no other session leader that opens the port takes it: Wine's server
    // does, and would then get a hang-up with every box that ends.
    if (getsid(0) == getpid()) ioctl(slave, TIOCSCTTY, 0);
    // Raw from the start: with the default line discipline the slave would echo the box's
    // own bytes back to it before the host has configured the port.
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B19200);
        cfsetospeed(&tio, B19200);
        tcsetattr(slave, TCSANOW, &tio);
    }
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return std::shared_ptr<PtyMaster>(new PtyMaster(master, slave, path));
}

PtyMaster::~PtyMaster() {
    close(slave_);
    close(master_);
}

int PtyMaster::Read(BYTE* buf, int n) {
    ssize_t got = read(master_, buf, static_cast<size_t>(n));
    if (got >= 0) return static_cast<int>(got);
    if (errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

int PtyMaster::Write(const BYTE* buf, int n) {
    ssize_t put = write(master_, buf, static_cast<size_t>(n));
    if (put >= 0) return static_cast<int>(put);
    if (errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

void PtyMaster::WaitReadable(std::chrono::microseconds limit) {
    pollfd pfd{master_, POLLIN, 0};
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(limit.count() / 1000000);
    ts.tv_nsec = static_cast<long>(limit.count() % 1000000) * 1000;
    if (ppoll(&pfd, 1, &ts, nullptr) > 0 && (pfd.revents & (POLLHUP | POLLERR))) {
        // Cannot happen while our own slave descriptor is open; should it, do not let the
        // caller spin on a master that reports an error at once.
        usleep(static_cast<useconds_t>(limit.count()));
    }
}

DWORD PtyMaster::SlaveBaudRate() {
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return 0;
    return RateOf(cfgetospeed(&tio));
}

}  // namespace qel::sim
