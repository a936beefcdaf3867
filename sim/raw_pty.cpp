#include "sim/raw_pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace qel::sim {

bool RawPty::Create(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slave_ = name;
    // The master's settings are the slave's: raw from the start, or the slave's line
    // discipline would echo and translate before the port has set it up.
    termios tio{};
    if (tcgetattr(master_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(master_, TCSANOW, &tio);
    }
    return true;
}

RawPty::~RawPty() {
    Unlink();
    Close();
}

void RawPty::Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool RawPty::Link(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::path link(path);
    if (link.has_parent_path()) fs::create_directories(link.parent_path(), ec);
    if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
    fs::create_symlink(slave_, link, ec);
    if (ec) {
        error = "cannot link " + path + ": " + ec.message();
        return false;
    }
    link_ = path;
    return true;
}

void RawPty::Unlink() {
    if (link_.empty()) return;
    std::error_code ec;
    if (fs::read_symlink(link_, ec) == fs::path(slave_)) fs::remove(link_, ec);
    link_.clear();
}

}  // namespace qel::sim
